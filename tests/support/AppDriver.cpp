#include "support/AppDriver.h"

#include "resource.h"

#include <algorithm>
#include <fstream>
#include <cwchar>

namespace testsupport {

namespace {
struct FindData {
    DWORD dwPid;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectTopLevel(HWND hWnd, LPARAM lParam)
{
    FindData* pData = reinterpret_cast<FindData*>(lParam);
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid == pData->dwPid)
        pData->windows.push_back(hWnd);
    return TRUE;
}

std::vector<HWND> TopLevelWindows(DWORD dwPid)
{
    FindData data{dwPid, {}};
    if (dwPid != 0)
        EnumWindows(&CollectTopLevel, reinterpret_cast<LPARAM>(&data));
    return data.windows;
}

std::wstring ClassOf(HWND hWnd)
{
    wchar_t szClass[64] = {};
    GetClassNameW(hWnd, szClass, 64);
    return szClass;
}

bool IsDialogWindow(HWND hWnd)
{
    return ClassOf(hWnd) == L"#32770";
}

// Texts of the static controls of a dialog (a message box shows its text in one).
std::vector<std::wstring> StaticTexts(HWND hDialog)
{
    std::vector<std::wstring> texts;
    for (HWND hChild = GetWindow(hDialog, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(hChild).c_str(), L"Static") == 0)
            texts.push_back(WindowText(hChild));
    }
    return texts;
}

std::wstring Utf16Section(const std::wstring& name, const std::vector<std::pair<std::wstring, std::wstring>>& keys)
{
    std::wstring text = L"[" + name + L"]\r\n";
    for (const auto& key : keys)
        text += key.first + L"=" + key.second + L"\r\n";
    return text;
}
} // namespace

std::wstring WindowText(HWND hWnd)
{
    wchar_t szText[4096] = {};
    DWORD_PTR dwResult = 0;
    if (hWnd == nullptr ||
        !SendMessageTimeoutW(hWnd, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(szText), SMTO_ABORTIFHUNG, 5000, &dwResult))
        return std::wstring();
    szText[4095] = L'\0';
    return szText;
}

std::wstring IpControlText(HWND hIp)
{
    std::vector<std::pair<LONG, std::wstring>> fields;
    for (HWND hChild = GetWindow(hIp, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        RECT rc;
        GetWindowRect(hChild, &rc);
        fields.emplace_back(rc.left, WindowText(hChild));
    }
    std::sort(fields.begin(), fields.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::wstring text;
    for (size_t i = 0; i < fields.size(); ++i)
        text += (i > 0 ? L"." : L"") + fields[i].second;
    return text;
}

int ScreenTickState(HWND hCheck)
{
    // The kit's box with a filled mark: the mark's middle is red (grey while disabled); an
    // empty box is white there.
    RECT rc;
    if (!GetWindowRect(hCheck, &rc))
        return -1;
    const int H = rc.bottom - rc.top;
    const int B = H - H / 5;
    const int Y2 = B + (H - B) / 2;
    const int x = rc.left + (5 + B - 1) / 2;
    const int y = rc.top + (5 + Y2 - 2) / 2;
    HDC hScreen = GetDC(nullptr);
    const COLORREF cr = GetPixel(hScreen, x, y);
    ReleaseDC(nullptr, hScreen);
    if (cr == RGB(255, 0, 0) || cr == RGB(120, 120, 120))
        return 1;
    if (cr == RGB(255, 255, 255))
        return 0;
    return -1;
}

void PostClick(HWND hButton)
{
    PostMessageW(hButton, BM_CLICK, 0, 0);
}

bool WriteUtf16Ini(const std::wstring& path,
                   const std::vector<std::pair<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>>>& sections)
{
    std::wstring text;
    for (const auto& section : sections)
        text += Utf16Section(section.first, section.second);
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

std::wstring ReadIniValue(const std::wstring& path, const wchar_t* lpSection, const wchar_t* lpKey)
{
    wchar_t szValue[1024] = {};
    GetPrivateProfileStringW(lpSection, lpKey, L"<missing>", szValue, 1024, path.c_str());
    return szValue;
}

std::wstring PrivateLoopbackAddress()
{
    const DWORD dwPid = GetCurrentProcessId();
    return L"127." + std::to_wstring(100 + dwPid % 100) + L"." + std::to_wstring(1 + (dwPid / 100) % 250) + L".7";
}

ProgramRun::ProgramRun(const wchar_t* lpName) : m_folder(MakeScratchDir(lpName))
{
    CopyFileW((BinDir() + L"RigConsole.exe").c_str(), ExePath().c_str(), FALSE);
}

ProgramRun::~ProgramRun()
{
    // A run left open by a failed test must not hold the single-instance mutex for the next.
    m_child.Terminate();
    if (m_capture)
        m_capture->Stop();
}

bool ProgramRun::WriteConfig(const ConfigValues& v)
{
    std::vector<std::pair<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>>> sections{
        {L"SETTINGS", {{L"EnvironPath", v.EnvironPath}, {L"EnvironName", v.EnvironName}, {L"CommMode", std::to_wstring(v.CommMode)}}},
        {L"COMMUNICATION",
         {{L"CommType", std::to_wstring(v.CommType)},
          {L"Comport", std::to_wstring(v.Comport)},
          {L"Baudrate", std::to_wstring(v.Baudrate)},
          {L"EthernetIP", v.EthernetIP},
          {L"EthernetPort", std::to_wstring(v.EthernetPort)}}}};
    if (v.Reconnect >= 0)
        sections.push_back({L"CONSOLE", {{L"Reconnect", std::to_wstring(v.Reconnect)}}});
    return WriteUtf16Ini(ConfigPath(), sections);
}

std::wstring ProgramRun::WriteEnvironment(const MachineValues& v)
{
    WriteUtf16Ini(m_folder + L"Environment.ini", {{L"MACHINE_SETTING",
                                                   {{L"MachineName", v.MachineName},
                                                    {L"UseCommType", std::to_wstring(v.UseCommType)},
                                                    {L"Comport", std::to_wstring(v.Comport)},
                                                    {L"Baudrate", std::to_wstring(v.Baudrate)},
                                                    {L"MachineIP", v.MachineIP},
                                                    {L"EthernetPort", std::to_wstring(v.EthernetPort)}}}});
    return m_folder;
}

bool ProgramRun::Start(const ProgramRun* pTraceHost)
{
    return Start(pTraceHost, L"", L"");
}

bool ProgramRun::Start(const std::wstring& arguments, const std::wstring& outputFile)
{
    return Start(nullptr, arguments, outputFile);
}

bool ProgramRun::Start(const ProgramRun* pTraceHost, const std::wstring& arguments, const std::wstring& outputFile)
{
    if (!m_child.Start(L"\"" + ExePath() + L"\"" + (arguments.empty() ? L"" : L" " + arguments), outputFile, true))
        return false;
    if (pTraceHost != nullptr && pTraceHost->m_capture) {
        m_pHostCapture = pTraceHost->m_capture.get();
        m_pHostCapture->AlsoKeep(m_child.Id());
        return m_child.Resume();
    }
    // One listener at a time: a capture of an earlier start of this run goes first.
    m_capture.reset();
    m_capture = std::make_unique<DebugCapture>(m_child.Id());
    if (!m_capture->Start()) {
        m_child.Terminate();
        return false;
    }
    return m_child.Resume();
}

HWND ProgramRun::MainWindow() const
{
    for (HWND hWnd : TopLevelWindows(Pid())) {
        if (IsDialogWindow(hWnd) && WindowText(hWnd).rfind(L"Rig Console  Ver ", 0) == 0)
            return hWnd;
    }
    return nullptr;
}

HWND ProgramRun::Page() const
{
    HWND hMain = MainWindow();
    return hMain != nullptr ? FindWindowExW(hMain, nullptr, L"#32770", nullptr) : nullptr;
}

HWND ProgramRun::Console() const
{
    for (HWND hWnd : TopLevelWindows(Pid())) {
        if (IsDialogWindow(hWnd) && WindowText(hWnd) == L"Serial Communication")
            return hWnd;
    }
    return nullptr;
}

bool ProgramRun::WaitMainWindowShown(DWORD dwTimeoutMs) const
{
    return PumpUntil(
        [&] {
            HWND hMain = MainWindow();
            return hMain != nullptr && IsWindowVisible(hMain);
        },
        dwTimeoutMs);
}

bool ProgramRun::WaitPageShown(DWORD dwTimeoutMs) const
{
    return PumpUntil(
        [&] {
            HWND hPage = Page();
            return hPage != nullptr && IsWindowVisible(hPage);
        },
        dwTimeoutMs);
}

std::vector<std::wstring> ProgramRun::OpenMessageBoxes() const
{
    std::vector<std::wstring> texts;
    for (HWND hWnd : TopLevelWindows(Pid())) {
        if (!IsDialogWindow(hWnd) || !IsWindowVisible(hWnd) || hWnd == MainWindow() || hWnd == Console())
            continue;
        for (const std::wstring& text : StaticTexts(hWnd))
            if (!text.empty())
                texts.push_back(text);
    }
    return texts;
}

HWND ProgramRun::WaitMessageBox(const std::wstring& text, DWORD dwTimeoutMs) const
{
    HWND hFound = nullptr;
    PumpUntil(
        [&] {
            for (HWND hWnd : TopLevelWindows(Pid())) {
                if (!IsDialogWindow(hWnd) || !IsWindowVisible(hWnd))
                    continue;
                for (const std::wstring& staticText : StaticTexts(hWnd)) {
                    if (staticText == text) {
                        hFound = hWnd;
                        return true;
                    }
                }
            }
            return false;
        },
        dwTimeoutMs);
    return hFound;
}

bool ProgramRun::Dismiss(HWND hBox, DWORD dwTimeoutMs) const
{
    if (hBox == nullptr)
        return false;
    PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return PumpUntil([&] { return !IsWindow(hBox); }, dwTimeoutMs);
}

bool ProgramRun::WaitAndDismiss(const std::wstring& text, DWORD dwTimeoutMs) const
{
    return Dismiss(WaitMessageBox(text, dwTimeoutMs));
}

std::vector<std::string> ProgramRun::RawTrace() const
{
    if (m_pHostCapture != nullptr)
        return m_pHostCapture->LinesOf(Pid());
    return m_capture ? m_capture->Lines() : std::vector<std::string>();
}

std::vector<LogLine> ProgramRun::Trace() const
{
    std::vector<LogLine> lines;
    for (const std::string& raw : RawTrace()) {
        LogLine line;
        if (!LogLine::Parse(raw, line))
            line.message = raw;
        lines.push_back(line);
    }
    return lines;
}

int ProgramRun::WaitForTrace(const std::string& messagePart, DWORD dwTimeoutMs, const char* lpFunction) const
{
    int nFound = -1;
    PumpUntil(
        [&] {
            const std::vector<LogLine> lines = Trace();
            for (size_t i = 0; i < lines.size(); ++i) {
                if (lines[i].message.find(messagePart) != std::string::npos &&
                    (lpFunction == nullptr || lines[i].function == lpFunction)) {
                    nFound = static_cast<int>(i);
                    return true;
                }
            }
            return false;
        },
        dwTimeoutMs);
    return nFound;
}

bool ProgramRun::CloseAndWait(DWORD dwTimeoutMs)
{
    HWND hMain = MainWindow();
    if (hMain == nullptr)
        return false;
    PostMessageW(hMain, WM_CLOSE, 0, 0);
    return PumpUntil([&] { return m_child.WaitExit(0); }, dwTimeoutMs);
}

ConfigValues TcpConfig(const ProgramRun& run, const std::wstring& address)
{
    ConfigValues cfg;
    cfg.EnvironPath = run.Folder();
    cfg.CommMode = 0;
    cfg.CommType = 1;
    cfg.EthernetIP = address;
    return cfg;
}

ConfigValues UnitConfig(const ProgramRun& run, UnitLink link)
{
    if (link == UnitLink::Tcp)
        return TcpConfig(run, PrivateLoopbackAddress());
    ConfigValues cfg;
    cfg.EnvironPath = run.Folder();
    cfg.CommMode = 0;
    cfg.CommType = 0;
    cfg.Comport = link == UnitLink::Com ? ProgramComPort() : PulledProgramComPort();
    cfg.Baudrate = 19200;
    return cfg;
}

::testing::AssertionResult StartAgainstUnit(ProgramRun& run, ScriptedUnit& unit, UnitLink link, const std::string& scenario,
                                            const std::function<void(ConfigValues&)>& adjust, bool bWaitPage)
{
    if (link != UnitLink::Tcp && (link == UnitLink::Com ? ProgramComPort() : PulledProgramComPort()) == 0)
        return ::testing::AssertionFailure() << "the test environment has no such COM pair (run inside tools/wine-env.sh)";
    ConfigValues cfg = UnitConfig(run, link);
    if (adjust)
        adjust(cfg);
    if (!run.WriteConfig(cfg))
        return ::testing::AssertionFailure() << "Config.ini not written";
    const bool bUnit = link == UnitLink::Tcp ? unit.StartTcp(run, PrivateLoopbackAddress(), scenario)
                       : link == UnitLink::Com ? unit.StartCom(run, scenario)
                                               : unit.StartCom(run, scenario, PulledUnitComPort());
    if (!bUnit)
        return ::testing::AssertionFailure() << "the simulated unit did not start";
    if (!run.Start())
        return ::testing::AssertionFailure() << "the program did not start with its trace captured";
    const char* lpOpened = link == UnitLink::Tcp ? "FUN_E - CComm::Open_Ethernet" : "FUN_E - CComm::Open_Serial";
    if (run.WaitForTrace(lpOpened, 30000, "CComm::LogWrite") < 0)
        return ::testing::AssertionFailure() << "the link did not open (no \"" << lpOpened << "\" in the trace)";
    if (bWaitPage && !run.WaitPageShown())
        return ::testing::AssertionFailure() << "the settings page was not shown";
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult StartWithoutUnit(ProgramRun& run, const std::function<void(ConfigValues&)>& adjust)
{
    ConfigValues cfg = TcpConfig(run, PrivateLoopbackAddress());
    if (adjust)
        adjust(cfg);
    if (!run.WriteConfig(cfg))
        return ::testing::AssertionFailure() << "Config.ini not written";
    if (!run.Start())
        return ::testing::AssertionFailure() << "the program did not start with its trace captured";
    if (!run.WaitAndDismiss(kLinkErrorText))
        return ::testing::AssertionFailure() << "no link error box to dismiss";
    if (!run.WaitPageShown())
        return ::testing::AssertionFailure() << "the settings page was not shown";
    return ::testing::AssertionSuccess();
}

size_t CountTrace(const ProgramRun& run, const std::string& part, const char* lpFunction)
{
    size_t n = 0;
    for (const LogLine& line : run.Trace())
        if (line.message.find(part) != std::string::npos && (lpFunction == nullptr || line.function == lpFunction))
            ++n;
    return n;
}

bool SendFromConsole(const ProgramRun& run, const std::wstring& command)
{
    HWND hConsole = run.Console();
    if (hConsole == nullptr)
        return false;
    if (!IsWindowVisible(hConsole)) {
        PostClick(run.PageItem(IDC_BTN_SERIAL_DIALOG));
        if (!PumpUntil([&] { return IsWindowVisible(hConsole) != FALSE; }, 10000))
            return false;
    }
    DWORD_PTR dwResult = 0;
    SendMessageTimeoutW(GetDlgItem(hConsole, IDC_EDIT_COMMAND), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(command.c_str()),
                        SMTO_ABORTIFHUNG, 5000, &dwResult);
    PostClick(GetDlgItem(hConsole, IDC_BTN_SEND));
    return true;
}

bool ScriptedUnit::Start(const ProgramRun& run, const std::wstring& link, const std::string& scenario)
{
    const std::wstring script = run.Folder() + L"unit.sim";
    std::ofstream(script.c_str()) << scenario;
    m_log = run.Folder() + L"unit.log";
    return process.Start(link + L" --script \"" + script + L"\" --log \"" + m_log + L"\" --quiet");
}

} // namespace testsupport
