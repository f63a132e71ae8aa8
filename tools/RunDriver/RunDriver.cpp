// RunDriver: works the program from outside for the demonstration run, the way an engineer's
// hands would, through window messages: it starts the program and times its start, waits for
// the settings page, opens the console and sends commands from it, tells where the windows
// lie for screenshots, and closes the program. Each call does one step and ends, so a script
// can take a screenshot between two steps.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kUsage[] =
    L"RunDriver - drives a running Rig Console from outside (one step per call).\n"
    L"\n"
    L"  RunDriver prepare FOLDER ADDRESS  write Config.ini and Environment.ini into FOLDER for a TCP\n"
    L"                                    link to ADDRESS (the unit's port is always 20130)\n"
    L"  RunDriver launch EXE              start EXE and wait until its main window shows; prints\n"
    L"                                    the time from process start to the main window shown\n"
    L"  RunDriver wait-page               wait until the settings page shows (an error box on the\n"
    L"                                    way is printed and dismissed)\n"
    L"  RunDriver rect main|sheet|console print a window's place as WxH+X+Y (sheet: tab strip and page)\n"
    L"  RunDriver click ID                click the settings page's button or check box ID\n"
    L"  RunDriver console-click ID        click the console's button or check box ID\n"
    L"  RunDriver console-text            print what the console's log shows\n"
    L"  RunDriver send FRAME [EXPECT]     show the console, send FRAME from it and wait until its log\n"
    L"                                    shows EXPECT (default: the answer \"<< [E\")\n"
    L"  RunDriver console-find TEXT       find TEXT through the console's session and print its hit\n"
    L"  RunDriver close                   close the main window and wait for the program to end\n"
    L"  RunDriver wait-exit               wait until the program has ended\n"
    L"\n"
    L"Exit code 0 when the step was done, 1 on a wrong command line, 2 when it timed out or failed.\n";

constexpr int IDC_TAB_SHEET = 1140;
constexpr int IDC_BTN_SERIAL_DIALOG = 1625;
constexpr int IDC_RICHEDIT_LOG = 1122;
constexpr int IDC_EDIT_COMMAND = 1104;
constexpr int IDC_BTN_SEND = 1085;
constexpr int IDC_EDIT_FIND = 1178;
constexpr int IDC_BTN_FIND_NEXT = 1181;
constexpr int IDC_STATIC_LOG_STATUS = 1182;
constexpr DWORD kStepTimeoutMs = 60000;

std::wstring TextOf(HWND hWnd)
{
    std::vector<wchar_t> text(65536);
    DWORD_PTR dwResult = 0;
    if (!SendMessageTimeoutW(hWnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 5000,
                             &dwResult))
        return std::wstring();
    text.back() = L'\0';
    return text.data();
}

std::wstring ClassOf(HWND hWnd)
{
    wchar_t szClass[64] = {};
    GetClassNameW(hWnd, szClass, 64);
    return szClass;
}

struct Windows {
    HWND hMain = nullptr;
    HWND hConsole = nullptr;
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectWindow(HWND hWnd, LPARAM lParam)
{
    Windows* pFound = reinterpret_cast<Windows*>(lParam);
    if (ClassOf(hWnd) != L"#32770")
        return TRUE;
    const std::wstring caption = TextOf(hWnd);
    if (caption.rfind(L"Rig Console  Ver ", 0) == 0)
        pFound->hMain = hWnd;
    else if (caption == L"Serial Communication")
        pFound->hConsole = hWnd;
    else if (caption == L"Rig Console" && IsWindowVisible(hWnd))
        pFound->boxes.push_back(hWnd);
    return TRUE;
}

Windows FindProgram()
{
    Windows found;
    EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

HWND FindPage(HWND hMain)
{
    return hMain != nullptr ? FindWindowExW(hMain, nullptr, L"#32770", nullptr) : nullptr;
}

// Polls until cond() holds or the time is up.
template <class Cond>
bool WaitFor(Cond cond, DWORD dwTimeoutMs = kStepTimeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
    while (!cond()) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(20);
    }
    return true;
}

// The first static text of a message box.
std::wstring BoxText(HWND hBox)
{
    for (HWND hChild = GetWindow(hBox, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(hChild).c_str(), L"Static") == 0) {
            const std::wstring text = TextOf(hChild);
            if (!text.empty())
                return text;
        }
    }
    return std::wstring();
}

bool WriteUtf16(const std::wstring& path, const std::wstring& text)
{
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    const wchar_t bom = 0xFEFF;
    DWORD dwWritten = 0;
    bool ok = WriteFile(hFile, &bom, sizeof(bom), &dwWritten, nullptr) != FALSE;
    ok = ok && WriteFile(hFile, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &dwWritten, nullptr) != FALSE;
    CloseHandle(hFile);
    return ok;
}

int Prepare(const std::wstring& folderArg, const std::wstring& address)
{
    wchar_t szFull[MAX_PATH] = {};
    if (GetFullPathNameW(folderArg.c_str(), MAX_PATH, szFull, nullptr) == 0)
        return 2;
    std::wstring folder = szFull;
    if (folder.empty() || folder.back() != L'\\')
        folder += L'\\';
    // The program's own settings in use: a TCP link to the unit. The capture software's
    // environment file beside it shows its values in the settings page's second group.
    const std::wstring config = L"[SETTINGS]\r\nEnvironPath=" + folder + L"\r\nEnvironName=Environment.ini\r\nCommMode=0\r\n"
                                L"[COMMUNICATION]\r\nCommType=1\r\nComport=5\r\nBaudrate=19200\r\nEthernetIP=" + address +
                                L"\r\nEthernetPort=20130\r\n";
    const std::wstring environment = L"[MACHINE_SETTING]\r\nMachineName=Simulated unit\r\nUseCommType=1\r\nComport=5\r\n"
                                     L"Baudrate=19200\r\nMachineIP=" + address + L"\r\nEthernetPort=20130\r\n";
    if (!WriteUtf16(folder + L"Config.ini", config) || !WriteUtf16(folder + L"Environment.ini", environment)) {
        fwprintf(stderr, L"run-driver: cannot write the settings into %ls\n", folder.c_str());
        return 2;
    }
    return 0;
}

int Launch(const std::wstring& exe)
{
    wchar_t szFull[MAX_PATH] = {};
    GetFullPathNameW(exe.c_str(), MAX_PATH, szFull, nullptr);
    std::wstring folder = szFull;
    folder.resize(folder.find_last_of(L'\\') + 1);
    std::wstring commandLine = L"\"" + std::wstring(szFull) + L"\"";

    LARGE_INTEGER frequency{};
    LARGE_INTEGER started{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&started);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &si, &pi)) {
        fwprintf(stderr, L"run-driver: cannot start %ls (error %lu)\n", szFull, GetLastError());
        return 2;
    }
    HWND hMain = nullptr;
    const bool bShown = WaitFor([&] {
        hMain = FindProgram().hMain;
        return (hMain != nullptr && IsWindowVisible(hMain)) || WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0;
    });
    LARGE_INTEGER shown{};
    QueryPerformanceCounter(&shown);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    if (!bShown || hMain == nullptr) {
        fwprintf(stderr, L"run-driver: the main window did not show\n");
        return 2;
    }
    const double ms = 1000.0 * static_cast<double>(shown.QuadPart - started.QuadPart) / static_cast<double>(frequency.QuadPart);
    wprintf(L"start-up: %.0f ms from process start to the main window shown (process %lu)\n", ms, pi.dwProcessId);
    return 0;
}

int WaitPage()
{
    const bool bShown = WaitFor([] {
        const Windows program = FindProgram();
        for (HWND hBox : program.boxes) {
            wprintf(L"run-driver: the program says \"%ls\"; dismissed\n", BoxText(hBox).c_str());
            PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
        HWND hPage = FindPage(program.hMain);
        return hPage != nullptr && IsWindowVisible(hPage) != FALSE;
    });
    if (!bShown) {
        fwprintf(stderr, L"run-driver: the settings page did not show\n");
        return 2;
    }
    // Give the page one paint cycle before anyone looks at it.
    HWND hPage = FindPage(FindProgram().hMain);
    DWORD_PTR dwResult = 0;
    SendMessageTimeoutW(hPage, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &dwResult);
    return 0;
}

int Rect(const std::wstring& which)
{
    const Windows program = FindProgram();
    RECT rc{};
    if (which == L"main" && program.hMain != nullptr) {
        GetWindowRect(program.hMain, &rc);
    } else if (which == L"console" && program.hConsole != nullptr && IsWindowVisible(program.hConsole)) {
        GetWindowRect(program.hConsole, &rc);
    } else if (which == L"sheet" && FindPage(program.hMain) != nullptr) {
        RECT rcTabs{};
        GetWindowRect(GetDlgItem(program.hMain, IDC_TAB_SHEET), &rcTabs);
        GetWindowRect(FindPage(program.hMain), &rc);
        UnionRect(&rc, &rc, &rcTabs);
    } else {
        fwprintf(stderr, L"run-driver: no %ls window\n", which.c_str());
        return 2;
    }
    wprintf(L"%ldx%ld+%ld+%ld\n", rc.right - rc.left, rc.bottom - rc.top, rc.left, rc.top);
    return 0;
}

int Click(int nID, bool bConsole)
{
    const Windows program = FindProgram();
    HWND hItem = GetDlgItem(bConsole ? program.hConsole : FindPage(program.hMain), nID);
    if (hItem == nullptr || !IsWindowEnabled(hItem)) {
        fwprintf(stderr, L"run-driver: no enabled control %d on the %ls\n", nID, bConsole ? L"console" : L"settings page");
        return 2;
    }
    // Sent, so the click has been handled when the step ends.
    DWORD_PTR dwResult = 0;
    SendMessageTimeoutW(hItem, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &dwResult);
    return 0;
}

int Send(const std::wstring& frame, const std::wstring& expect)
{
    const Windows program = FindProgram();
    HWND hPage = FindPage(program.hMain);
    if (program.hConsole == nullptr || hPage == nullptr) {
        fwprintf(stderr, L"run-driver: no console to send from\n");
        return 2;
    }
    if (!IsWindowVisible(program.hConsole))
        PostMessageW(GetDlgItem(hPage, IDC_BTN_SERIAL_DIALOG), BM_CLICK, 0, 0);
    if (!WaitFor([&] { return IsWindowVisible(program.hConsole) != FALSE; })) {
        fwprintf(stderr, L"run-driver: \"Serial Dialog\" did not show the console\n");
        return 2;
    }
    HWND hLog = GetDlgItem(program.hConsole, IDC_RICHEDIT_LOG);
    const std::wstring before = TextOf(hLog);
    DWORD_PTR dwResult = 0;
    SendMessageTimeoutW(GetDlgItem(program.hConsole, IDC_EDIT_COMMAND), WM_SETTEXT, 0,
                        reinterpret_cast<LPARAM>(frame.c_str()), SMTO_ABORTIFHUNG, 5000, &dwResult);
    PostMessageW(GetDlgItem(program.hConsole, IDC_BTN_SEND), BM_CLICK, 0, 0);
    // The log shows a screenful of the latest lines: the command's line, then what is expected
    // after it; or, when what followed has pushed the command's line out of sight already, a
    // new screen that shows what is expected.
    std::wstring added;
    const bool bSeen = WaitFor([&] {
        const std::wstring text = TextOf(hLog);
        const size_t nSent = text.rfind(L">> " + frame);
        added = nSent != std::wstring::npos ? text.substr(nSent) : text;
        if (nSent != std::wstring::npos)
            return text.find(expect, nSent) != std::wstring::npos;
        return text != before && text.find(expect) != std::wstring::npos;
    });
    wprintf(L"%ls", added.c_str());
    if (!added.empty() && added.back() != L'\n' && added.back() != L'\r')
        wprintf(L"\n");
    if (!bSeen) {
        fwprintf(stderr, L"run-driver: the console did not show \"%ls\"\n", expect.c_str());
        return 2;
    }
    return 0;
}

// Finds text through the console's session as the engineer does (the find box, then ">"),
// and prints what the status line then says.
int Find(const std::wstring& text)
{
    const Windows program = FindProgram();
    if (program.hConsole == nullptr || !IsWindowVisible(program.hConsole)) {
        fwprintf(stderr, L"run-driver: no console shown to find in\n");
        return 2;
    }
    DWORD_PTR dwResult = 0;
    SendMessageTimeoutW(GetDlgItem(program.hConsole, IDC_EDIT_FIND), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &dwResult);
    PostMessageW(GetDlgItem(program.hConsole, IDC_BTN_FIND_NEXT), BM_CLICK, 0, 0);
    std::wstring status;
    const bool bFound = WaitFor([&] {
        status = TextOf(GetDlgItem(program.hConsole, IDC_STATIC_LOG_STATUS));
        return status.rfind(L"hit ", 0) == 0 || status.find(L"not found") != std::wstring::npos;
    });
    wprintf(L"%ls\n", status.c_str());
    return bFound && status.rfind(L"hit ", 0) == 0 ? 0 : 2;
}

int WaitExit(bool bClose)
{
    const Windows program = FindProgram();
    if (program.hMain == nullptr)
        return 0;
    DWORD dwPid = 0;
    GetWindowThreadProcessId(program.hMain, &dwPid);
    HANDLE hProcess = OpenProcess(SYNCHRONIZE, FALSE, dwPid);
    if (bClose)
        PostMessageW(program.hMain, WM_CLOSE, 0, 0);
    const DWORD dwWait = hProcess != nullptr ? INFINITE : 0;
    const bool bEnded = hProcess == nullptr || WaitForSingleObject(hProcess, bClose ? kStepTimeoutMs : dwWait) == WAIT_OBJECT_0;
    if (hProcess != nullptr)
        CloseHandle(hProcess);
    if (!bEnded) {
        fwprintf(stderr, L"run-driver: the program did not end\n");
        return 2;
    }
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    int nResult = 1;
    if (command == L"prepare" && argc == 4)
        nResult = Prepare(argv[2], argv[3]);
    else if (command == L"launch" && argc == 3)
        nResult = Launch(argv[2]);
    else if (command == L"wait-page" && argc == 2)
        nResult = WaitPage();
    else if (command == L"rect" && argc == 3)
        nResult = Rect(argv[2]);
    else if (command == L"click" && argc == 3 && _wtoi(argv[2]) > 0)
        nResult = Click(_wtoi(argv[2]), false);
    else if (command == L"console-click" && argc == 3 && _wtoi(argv[2]) > 0)
        nResult = Click(_wtoi(argv[2]), true);
    else if (command == L"console-text" && argc == 2) {
        const Windows program = FindProgram();
        nResult = program.hConsole != nullptr ? 0 : 2;
        if (program.hConsole != nullptr)
            wprintf(L"%ls\n", TextOf(GetDlgItem(program.hConsole, IDC_RICHEDIT_LOG)).c_str());
    }
    else if (command == L"send" && (argc == 3 || argc == 4))
        nResult = Send(argv[2], argc == 4 ? argv[3] : L"<< [E");
    else if (command == L"console-find" && argc == 3)
        nResult = Find(argv[2]);
    else if (command == L"close" && argc == 2)
        nResult = WaitExit(true);
    else if (command == L"wait-exit" && argc == 2)
        nResult = WaitExit(false);
    if (nResult == 1)
        fwprintf(stderr, L"%ls", kUsage);
    fflush(stdout);
    return nResult;
}
