// Soak: works the real RigConsole.exe for a long time against the simulated unit, over TCP
// and over the COM pair, and prints what it saw: frames lost and duplicated, memory under
// hostile bytes, threads and memory after many console Close/Open cycles, and how long exits
// and closes take when the unit misbehaves. All the while a watcher thread pings the
// program's windows and samples its memory, so every section also tells the longest time a
// window message waited for an answer. Not a test: nothing fails on the figures, they are
// printed beside their goals for an engineer to read.
//
// Every wait here is bounded; a program that does not end when asked is ended with
// TerminateProcess and counted.
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Control ids of the program's dialogs (res/resource.h).
constexpr int IDC_BTN_SERIAL_DIALOG = 1625;
constexpr int IDC_RICHEDIT_LOG = 1122;
constexpr int IDC_EDIT_COMMAND = 1104;
constexpr int IDC_BTN_SEND = 1085;
constexpr int IDC_BTN_CLOSE = 1108;
constexpr int IDC_BTN_OPEN = 1109;
constexpr int IDC_EDIT_QUEUE_COUNT = 1148;

constexpr int kUnitTcpPort = 20130;
constexpr DWORD kPingPeriodMs = 20;
constexpr DWORD kPingTimeoutMs = 5000;
constexpr DWORD kExitBoundMs = 30000;

const char kUsage[] =
    "Soak - long runs of RigConsole.exe against SimUnit.exe (run by tools/soak.sh)\n"
    "\n"
    "Soak [--quick] [--only SECTION[,SECTION...]] [--links tcp,com] [--frames N]\n"
    "     [--hostile-bytes N] [--cycles N] [--reconnects N] [--rate R] [--stall-frames N]\n"
    "     [--console-hidden] [--bin DIR] [--work DIR]\n"
    "\n"
    "  sections: frames, hostile, openclose, faults, reconnect (default: all)\n"
    "  --quick            20000 frames, 1000000 hostile bytes, 50 cycles, 50 reconnects,\n"
    "                     20000 stall frames\n"
    "  --frames N         SLP frames the unit floods per link (default 1000000; rounded up to\n"
    "                     a multiple of 10000, the unit's progress step)\n"
    "  --rate R           pace the frames at R a second instead of a plain flood\n"
    "  --hostile-bytes N  hostile bytes per link, in four parts of the four kinds (10000000)\n"
    "  --cycles N         console Close/Open cycles per link (1000)\n"
    "  --reconnects N     lose-and-reconnect cycles, TCP only (1000)\n"
    "  --stall-frames N   frames whose echoes pile up at a unit that stops reading (300000)\n"
    "  --console-hidden   the hostile section runs with the console hidden (its view not\n"
    "                     drawn), to tell the view's memory from the rest\n"
    "  --bin DIR          where RigConsole.exe and SimUnit.exe are (default: Soak.exe's folder)\n"
    "  --work DIR         scratch folder (default: DIR\\..\\soak)\n"
    "  COM: the program on COM5, the unit on COM6 (RIG_COM_PROGRAM / RIG_COM_UNIT override)\n";

// ---------------------------------------------------------------------------------------
// Small helpers

void Out(const char* lpFormat, ...)
{
    va_list args;
    va_start(args, lpFormat);
    std::vprintf(lpFormat, args);
    va_end(args);
    std::fflush(stdout);
}

double NowMs()
{
    static const double s_freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / s_freq;
}

std::string Narrow(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int cb = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), &out[0], cb, nullptr, nullptr);
    return out;
}

std::wstring Wide(const std::string& text)
{
    std::wstring out;
    for (char c : text)
        out += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

bool WriteBytes(const std::wstring& path, const void* p, size_t cb)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD dwDone = 0;
    const bool ok = WriteFile(h, p, static_cast<DWORD>(cb), &dwDone, nullptr) && dwDone == cb;
    CloseHandle(h);
    return ok;
}

bool WriteUtf16(const std::wstring& path, const std::wstring& text)
{
    std::wstring content(1, static_cast<wchar_t>(0xFEFF));
    content += text;
    return WriteBytes(path, content.data(), content.size() * sizeof(wchar_t));
}

std::string ReadAll(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string content;
    char buf[65536];
    DWORD dwRead = 0;
    while (ReadFile(h, buf, sizeof(buf), &dwRead, nullptr) && dwRead > 0)
        content.append(buf, dwRead);
    CloseHandle(h);
    return content;
}

size_t CountOf(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1))
        ++n;
    return n;
}

// The value after "key=" in a line, or -1.
long long Field(const std::string& line, const char* lpKey)
{
    const std::string key = std::string(" ") + lpKey + "=";
    const size_t at = line.find(key);
    return at == std::string::npos ? -1 : std::atoll(line.c_str() + at + key.size());
}

// The last log line of the unit that contains text ("" when none).
std::string LastLine(const std::string& log, const std::string& text)
{
    const size_t at = log.rfind(text);
    if (at == std::string::npos)
        return std::string();
    size_t begin = log.rfind('\n', at);
    begin = begin == std::string::npos ? 0 : begin + 1;
    size_t end = log.find('\n', at);
    if (end == std::string::npos)
        end = log.size();
    std::string line = log.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

// A unit log line's time stamp: milliseconds since the unit started.
long long StampOf(const std::string& line)
{
    return line.empty() ? -1 : std::atoll(line.c_str());
}

std::string Mb(long long bytes)
{
    char sz[32];
    std::snprintf(sz, sizeof(sz), "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return sz;
}

// ---------------------------------------------------------------------------------------
// Child processes

class Child {
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Close(); }

    // Output goes to NUL: a program that inherited a pipe would hold it open.
    bool Start(const std::wstring& commandLine, const std::wstring& folder)
    {
        Close();
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        HANDLE hNul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        if (hNul != INVALID_HANDLE_VALUE) {
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdInput = si.hStdOutput = si.hStdError = hNul;
        }
        PROCESS_INFORMATION pi{};
        std::wstring line = commandLine;
        const BOOL ok = CreateProcessW(nullptr, &line[0], nullptr, nullptr, hNul != INVALID_HANDLE_VALUE, CREATE_NO_WINDOW,
                                       nullptr, folder.empty() ? nullptr : folder.c_str(), &si, &pi);
        if (hNul != INVALID_HANDLE_VALUE)
            CloseHandle(hNul);
        if (!ok)
            return false;
        CloseHandle(pi.hThread);
        m_hProcess = pi.hProcess;
        m_dwPid = pi.dwProcessId;
        return true;
    }
    bool Running() const { return m_hProcess != nullptr && WaitForSingleObject(m_hProcess, 0) == WAIT_TIMEOUT; }
    bool WaitExit(DWORD dwMs) const { return m_hProcess == nullptr || WaitForSingleObject(m_hProcess, dwMs) == WAIT_OBJECT_0; }
    DWORD ExitCode() const
    {
        DWORD dwCode = 0;
        return m_hProcess != nullptr && GetExitCodeProcess(m_hProcess, &dwCode) ? dwCode : 0;
    }
    void Kill()
    {
        if (Running()) {
            TerminateProcess(m_hProcess, 0xDEAD);
            WaitForSingleObject(m_hProcess, 10000);
        }
    }
    void Close()
    {
        if (m_hProcess != nullptr)
            CloseHandle(m_hProcess);
        m_hProcess = nullptr;
        m_dwPid = 0;
    }
    HANDLE Handle() const { return m_hProcess; }
    DWORD Pid() const { return m_dwPid; }

private:
    HANDLE m_hProcess = nullptr;
    DWORD m_dwPid = 0;
};

// ---------------------------------------------------------------------------------------
// Options and what the run collected

enum class Link { Tcp, Com };
const char* LinkName(Link link) { return link == Link::Tcp ? "tcp" : "com"; }

struct Options {
    bool bQuick = false;
    std::set<std::string> sections{"frames", "hostile", "openclose", "faults", "reconnect"};
    std::vector<Link> links{Link::Tcp, Link::Com};
    unsigned long ulFrames = 1000000;
    unsigned long ulRate = 0;
    unsigned long ulHostileBytes = 10000000;
    unsigned long ulCycles = 1000;
    unsigned long ulReconnects = 1000;
    unsigned long ulStallFrames = 300000;
    bool bConsoleHidden = false;
    std::wstring bin;
    std::wstring work;
    int nComProgram = 5;
    int nComUnit = 6;
};

// One row of the final table: a section on one link.
struct Row {
    std::string section;
    std::string link;
    std::string lost = "-";
    std::string duplicated = "-";
    int crashes = 0;
    int kills = 0;
    std::string memoryAboveIdle = "-";
    std::string threadsAtEnd = "-";
    double longestWaitMs = 0;
};

struct Timing {
    std::string name;
    std::string link;
    double ms = -1; // -1: not measured (failed or killed)
    double goalMs = 0;
    std::string note;
};

std::vector<Row> g_rows;
std::vector<Timing> g_timings;

// ---------------------------------------------------------------------------------------
// The program's windows

std::wstring ClassOf(HWND hWnd)
{
    wchar_t sz[64] = {};
    GetClassNameW(hWnd, sz, 64);
    return sz;
}

std::wstring TextOf(HWND hWnd)
{
    DWORD_PTR dwLength = 0;
    if (hWnd == nullptr || !SendMessageTimeoutW(hWnd, WM_GETTEXTLENGTH, 0, 0, SMTO_NORMAL, 5000, &dwLength))
        return std::wstring();
    std::vector<wchar_t> text(dwLength + 2, L'\0');
    DWORD_PTR dwResult = 0;
    if (!SendMessageTimeoutW(hWnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_NORMAL, 5000, &dwResult))
        return std::wstring();
    text.back() = L'\0';
    return text.data();
}

struct Windows {
    HWND hMain = nullptr;
    HWND hConsole = nullptr;
    std::vector<HWND> boxes;
};

struct FindCtx {
    DWORD dwPid;
    Windows* pFound;
};

BOOL CALLBACK CollectWindow(HWND hWnd, LPARAM lParam)
{
    FindCtx* pCtx = reinterpret_cast<FindCtx*>(lParam);
    DWORD dwPid = 0;
    GetWindowThreadProcessId(hWnd, &dwPid);
    if (dwPid != pCtx->dwPid || ClassOf(hWnd) != L"#32770")
        return TRUE;
    wchar_t szCaption[128] = {};
    // The caption of another process's window is read without sending it a message.
    InternalGetWindowText(hWnd, szCaption, 128);
    const std::wstring caption = szCaption;
    if (caption.rfind(L"Rig Console  Ver ", 0) == 0)
        pCtx->pFound->hMain = hWnd;
    else if (caption == L"Serial Communication" && GetDlgItem(hWnd, IDC_BTN_SEND) != nullptr)
        pCtx->pFound->hConsole = hWnd;
    else if (IsWindowVisible(hWnd))
        pCtx->pFound->boxes.push_back(hWnd);
    return TRUE;
}

Windows WindowsOf(DWORD dwPid)
{
    Windows found;
    FindCtx ctx{dwPid, &found};
    if (dwPid != 0)
        EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&ctx));
    return found;
}

std::wstring BoxText(HWND hBox)
{
    for (HWND hChild = GetWindow(hBox, GW_CHILD); hChild != nullptr; hChild = GetWindow(hChild, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(hChild).c_str(), L"Static") == 0) {
            wchar_t sz[256] = {};
            InternalGetWindowText(hChild, sz, 256);
            if (sz[0] != L'\0')
                return sz;
        }
    }
    return std::wstring();
}

// ---------------------------------------------------------------------------------------
// The watcher: one worker thread per program run that pings the main window and the
// console with WM_NULL every ~20 ms and samples the program's memory.

struct MemorySample {
    long long llPrivate = 0;    // PrivateUsage, or PagefileUsage where PrivateUsage reads 0 (Wine)
    long long llWorkingSet = 0;
};

MemorySample MemoryOf(HANDLE hProcess)
{
    MemorySample s;
    PROCESS_MEMORY_COUNTERS_EX pmc{};
    pmc.cb = sizeof(pmc);
    if (hProcess != nullptr &&
        GetProcessMemoryInfo(hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc))) {
        s.llPrivate = static_cast<long long>(pmc.PrivateUsage != 0 ? pmc.PrivateUsage : pmc.PagefileUsage);
        s.llWorkingSet = static_cast<long long>(pmc.WorkingSetSize);
    }
    return s;
}

int ThreadsOf(DWORD dwPid)
{
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnap == INVALID_HANDLE_VALUE)
        return -1;
    int n = 0;
    THREADENTRY32 te{};
    te.dwSize = sizeof(te);
    for (BOOL more = Thread32First(hSnap, &te); more; more = Thread32Next(hSnap, &te)) {
        if (te.th32OwnerProcessID == dwPid)
            ++n;
    }
    CloseHandle(hSnap);
    return n;
}

class Watcher {
public:
    Watcher() = default;
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;
    ~Watcher() { Stop(); }

    // hProcess stays open until Stop has joined the thread (the Program closes it after).
    void Start(HANDLE hProcess, DWORD dwPid)
    {
        Stop();
        m_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_llLongestUs = 0;
        m_nTimeouts = 0;
        m_llPeakPrivate = 0;
        m_llPeakWorkingSet = 0;
        m_thread = std::thread([this, hProcess, dwPid] { Main(hProcess, dwPid); });
    }
    void Stop()
    {
        if (m_thread.joinable()) {
            SetEvent(m_hStop);
            m_thread.join();
        }
        if (m_hStop != nullptr)
            CloseHandle(m_hStop);
        m_hStop = nullptr;
    }
    // From now on the peaks and the longest wait start again: the start-up is behind, and
    // the idle figure is taken at the same moment.
    void ResetPeaks()
    {
        m_llPeakPrivate = 0;
        m_llPeakWorkingSet = 0;
        m_llLongestUs = 0;
        m_nTimeouts = 0;
    }
    double LongestWaitMs() const { return static_cast<double>(m_llLongestUs.load()) / 1000.0; }
    int Timeouts() const { return m_nTimeouts.load(); }
    long long PeakPrivate() const { return m_llPeakPrivate.load(); }
    long long PeakWorkingSet() const { return m_llPeakWorkingSet.load(); }

private:
    static void Raise(std::atomic<long long>& peak, long long value)
    {
        long long seen = peak.load();
        while (value > seen && !peak.compare_exchange_weak(seen, value)) {
        }
    }

    void Main(HANDLE hProcess, DWORD dwPid)
    {
        Windows windows;
        double dLastFind = -1e9;
        while (WaitForSingleObject(m_hStop, kPingPeriodMs) == WAIT_TIMEOUT) {
            if (WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0)
                continue;
            const MemorySample s = MemoryOf(hProcess);
            Raise(m_llPeakPrivate, s.llPrivate);
            Raise(m_llPeakWorkingSet, s.llWorkingSet);
            if (NowMs() - dLastFind > 250) {
                windows = WindowsOf(dwPid);
                dLastFind = NowMs();
            }
            for (HWND hWnd : {windows.hMain, windows.hConsole}) {
                if (hWnd == nullptr || !IsWindow(hWnd))
                    continue;
                DWORD_PTR dwResult = 0;
                const double dStart = NowMs();
                const LRESULT ok = SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, kPingTimeoutMs, &dwResult);
                const double dWaited = NowMs() - dStart;
                if (!ok && GetLastError() == ERROR_TIMEOUT)
                    ++m_nTimeouts;
                if (ok || GetLastError() == ERROR_TIMEOUT)
                    Raise(m_llLongestUs, static_cast<long long>(dWaited * 1000.0));
            }
        }
    }

    std::thread m_thread;
    HANDLE m_hStop = nullptr; // created and closed by the owner's thread, around the worker's life
    // Written by the watcher thread (raised) and by the owner's thread (reset); atomics.
    std::atomic<long long> m_llLongestUs{0};
    std::atomic<int> m_nTimeouts{0};
    std::atomic<long long> m_llPeakPrivate{0};
    std::atomic<long long> m_llPeakWorkingSet{0};
};

// ---------------------------------------------------------------------------------------
// The simulated unit

class Unit {
public:
    Unit(const Options& opt, Link link, const std::string& name) : m_opt(opt), m_link(link)
    {
        m_base = opt.work + Wide(name) + L"-" + Wide(LinkName(link));
    }
    ~Unit() { Stop(); }

    bool Start(const std::string& script)
    {
        static LONG s_lCount = 0;
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(InterlockedIncrement(&s_lCount));
        const std::wstring readyName = L"RigSoakUnitReady_" + tag;
        const std::wstring stopName = L"RigSoakUnitStop_" + tag;
        m_hReady = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
        m_hStop = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
        if (!WriteBytes(m_base + L".sim", script.data(), script.size()))
            return false;
        const std::wstring where = m_link == Link::Tcp ? L"--tcp 127.0.0.1:" + std::to_wstring(kUnitTcpPort)
                                                       : L"--com " + std::to_wstring(m_opt.nComUnit) + L" --baud 19200";
        const std::wstring line = L"\"" + m_opt.bin + L"SimUnit.exe\" --quiet " + where + L" --script \"" + m_base +
                                  L".sim\" --log \"" + LogPath() + L"\" --ready-event " + readyName + L" --stop-event " + stopName;
        // The TCP port of the previous unit may still be held for a moment.
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (!m_child.Start(line, m_opt.work))
                return false;
            HANDLE handles[2] = {m_hReady, m_child.Handle()};
            const DWORD dwWait = WaitForMultipleObjects(2, handles, FALSE, 30000);
            if (dwWait == WAIT_OBJECT_0)
                return true;
            if (dwWait != WAIT_OBJECT_0 + 1) {
                m_child.Kill();
                return false;
            }
            Sleep(250);
        }
        return false;
    }
    // Ends the unit (its last log lines, the echo summary among them, are written then).
    void Stop()
    {
        if (m_hStop != nullptr)
            SetEvent(m_hStop);
        if (!m_child.WaitExit(20000))
            m_child.Kill();
        m_child.Close();
        for (HANDLE* ph : {&m_hReady, &m_hStop}) {
            if (*ph != nullptr)
                CloseHandle(*ph);
            *ph = nullptr;
        }
    }
    std::wstring LogPath() const { return m_base + L".log"; }
    std::string Log() const { return ReadAll(LogPath()); }

private:
    const Options& m_opt;
    Link m_link;
    std::wstring m_base;
    Child m_child;
    HANDLE m_hReady = nullptr;
    HANDLE m_hStop = nullptr;
};

// ---------------------------------------------------------------------------------------
// The program under soak

class Program {
public:
    Program(const Options& opt, Link link) : m_opt(opt), m_link(link) {}
    ~Program() { End(); }

    // A fresh copy in its run folder with its settings (consoleSettings: lines of the
    // [CONSOLE] section), started; true once its console is shown, with the link open when
    // bWaitLink.
    bool Start(const std::wstring& consoleSettings = std::wstring(), bool bWaitLink = true)
    {
        m_folder = m_opt.work + L"run-" + Wide(LinkName(m_link)) + L"\\";
        CreateDirectoryW(m_folder.c_str(), nullptr);
        DeleteFileW((m_folder + L"RigConsole.exe").c_str());
        if (!CopyFileW((m_opt.bin + L"RigConsole.exe").c_str(), (m_folder + L"RigConsole.exe").c_str(), FALSE)) {
            Out("  cannot copy RigConsole.exe (error %lu)\n", GetLastError());
            return false;
        }
        const bool bTcp = m_link == Link::Tcp;
        const std::wstring port = std::to_wstring(m_opt.nComProgram);
        const std::wstring config = L"[SETTINGS]\r\nEnvironPath=" + m_folder + L"\r\nEnvironName=Environment.ini\r\nCommMode=0\r\n"
                                    L"[COMMUNICATION]\r\nCommType=" + std::wstring(bTcp ? L"1" : L"0") + L"\r\nComport=" + port +
                                    L"\r\nBaudrate=19200" +
                                    L"\r\nEthernetIP=127.0.0.1\r\nEthernetPort=" + std::to_wstring(kUnitTcpPort) + L"\r\n" +
                                    (consoleSettings.empty() ? std::wstring() : L"[CONSOLE]\r\n" + consoleSettings);
        const std::wstring environment = L"[MACHINE_SETTING]\r\nMachineName=Simulated unit\r\nUseCommType=1\r\nComport=" + port +
                                         L"\r\nBaudrate=19200\r\nMachineIP=127.0.0.1\r\nEthernetPort=" +
                                         std::to_wstring(kUnitTcpPort) + L"\r\n";
        if (!WriteUtf16(m_folder + L"Config.ini", config) || !WriteUtf16(m_folder + L"Environment.ini", environment)) {
            Out("  cannot write the settings\n");
            return false;
        }
        m_bAskedToEnd = false;
        m_bEnded = false;
        m_bWatchStopped = false;
        if (!m_child.Start(L"\"" + m_folder + L"RigConsole.exe\"", m_folder)) {
            Out("  cannot start RigConsole.exe (error %lu)\n", GetLastError());
            return false;
        }
        m_watcher.Start(m_child.Handle(), m_child.Pid());
        HWND hPage = nullptr;
        if (!WaitFor([&] {
                const Windows w = WindowsOf(m_child.Pid());
                hPage = w.hMain != nullptr ? FindWindowExW(w.hMain, nullptr, L"#32770", nullptr) : nullptr;
                return hPage != nullptr && IsWindowVisible(hPage);
            }, 60000)) {
            Out("  the settings page did not show\n");
            return false;
        }
        PostMessageW(GetDlgItem(hPage, IDC_BTN_SERIAL_DIALOG), BM_CLICK, 0, 0);
        if (!WaitFor([&] { return Console() != nullptr && IsWindowVisible(Console()); }, 30000)) {
            Out("  \"Serial Dialog\" did not show the console\n");
            return false;
        }
        if (bWaitLink && !WaitLinkOpen(30000)) {
            Out("  the link did not open\n");
            return false;
        }
        return true;
    }

    // Polls cond every 10 ms until it holds (true) or the time is up or the program has
    // ended (false); meanwhile message boxes of the program are noted and dismissed.
    bool WaitFor(const std::function<bool()>& cond, DWORD dwMs, DWORD dwPollMs = 10)
    {
        const double dEnd = NowMs() + dwMs;
        for (;;) {
            if (cond())
                return true;
            if (!m_child.Running() || NowMs() > dEnd)
                return false;
            DismissBoxes();
            Sleep(dwPollMs);
        }
    }

    void DismissBoxes()
    {
        for (HWND hBox : WindowsOf(m_child.Pid()).boxes) {
            const std::string text = Narrow(BoxText(hBox));
            if (m_boxHandles.insert(hBox).second) {
                Out("  [the program shows a box: \"%s\"; dismissed]\n", text.c_str());
                m_boxes.push_back(text);
            }
            PostMessageW(hBox, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
    }

    HWND Main() const { return WindowsOf(m_child.Pid()).hMain; }
    HWND Console() const { return WindowsOf(m_child.Pid()).hConsole; }
    HWND ConsoleItem(int nID) const { return GetDlgItem(Console(), nID); }
    bool Enabled(int nID) const
    {
        HWND h = ConsoleItem(nID);
        return h != nullptr && IsWindowEnabled(h);
    }
    bool LinkOpen() const { return Enabled(IDC_BTN_CLOSE) && !Enabled(IDC_BTN_OPEN); }
    bool LinkClosed() const { return !Enabled(IDC_BTN_CLOSE) && Enabled(IDC_BTN_OPEN); }
    bool WaitLinkOpen(DWORD dwMs) { return WaitFor([&] { return LinkOpen(); }, dwMs); }

    bool SetCommand(const std::wstring& text)
    {
        DWORD_PTR dwResult = 0;
        return SendMessageTimeoutW(ConsoleItem(IDC_EDIT_COMMAND), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                                   SMTO_NORMAL, 5000, &dwResult) != 0;
    }
    // One Send click, handled when this returns (or after 5 s).
    bool ClickSend()
    {
        DWORD_PTR dwResult = 0;
        return SendMessageTimeoutW(ConsoleItem(IDC_BTN_SEND), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, &dwResult) != 0;
    }
    bool SendCommand(const std::wstring& text) { return SetCommand(text) && ClickSend(); }
    // Send as the button's notification (and the Enter key) reach the console, without the
    // mouse press and capture a click costs the system; handled when this returns.
    static bool CommandSend(HWND hConsole)
    {
        DWORD_PTR dwResult = 0;
        return SendMessageTimeoutW(hConsole, WM_COMMAND, MAKEWPARAM(IDC_BTN_SEND, BN_CLICKED),
                                   reinterpret_cast<LPARAM>(GetDlgItem(hConsole, IDC_BTN_SEND)), SMTO_NORMAL, 5000,
                                   &dwResult) != 0;
    }
    void PostClick(int nID) { PostMessageW(ConsoleItem(nID), BM_CLICK, 0, 0); }
    std::wstring ConsoleLog() const { return TextOf(ConsoleItem(IDC_RICHEDIT_LOG)); }
    // The console's last line, as the reason of a step that did not happen.
    std::string LastConsoleLine() const
    {
        std::wstring log = ConsoleLog();
        while (!log.empty() && (log.back() == L'\r' || log.back() == L'\n'))
            log.pop_back();
        const size_t at = log.find_last_of(L"\r\n");
        return Narrow(at == std::wstring::npos ? log : log.substr(at + 1));
    }
    int QueueCount() const
    {
        const std::wstring text = TextOf(ConsoleItem(IDC_EDIT_QUEUE_COUNT));
        return text.empty() ? -1 : _wtoi(text.c_str());
    }

    MemorySample Memory() const { return MemoryOf(m_child.Handle()); }
    int Threads() const { return ThreadsOf(m_child.Pid()); }
    bool Alive() const { return m_child.Running(); }
    // Answers a window message within 5 s.
    bool Answers() const
    {
        DWORD_PTR dwResult = 0;
        HWND hMain = Main();
        return hMain != nullptr && SendMessageTimeoutW(hMain, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &dwResult) != 0;
    }
    Watcher& Watch() { return m_watcher; }
    // Ends the watching before the run ends, where the exit is not what is measured.
    void StopWatching()
    {
        if (!m_bEnded) {
            m_dLongestWaitMs = std::max(m_dLongestWaitMs, m_watcher.LongestWaitMs());
            m_watcher.Stop();
            m_bWatchStopped = true;
        }
    }

    // Closes the main window (as the system close does) and times the process's end; -1
    // when it did not end within the bound and was killed.
    double TimedExit(DWORD dwBoundMs = kExitBoundMs)
    {
        m_bAskedToEnd = true;
        HWND hMain = Main();
        const double dStart = NowMs();
        if (hMain != nullptr)
            PostMessageW(hMain, WM_CLOSE, 0, 0);
        const bool bEnded = m_child.WaitExit(dwBoundMs);
        const double dMs = NowMs() - dStart;
        if (!bEnded) {
            Out("  the program did not end within %lu ms: ended with TerminateProcess\n", dwBoundMs);
            m_child.Kill();
            ++m_nKills;
        }
        Finish();
        return bEnded ? dMs : -1;
    }

    // Ends the run if it still runs, and counts how it ended.
    void End()
    {
        if (m_child.Handle() == nullptr)
            return;
        if (m_child.Running()) {
            DismissBoxes();
            TimedExit();
        } else {
            Finish();
        }
    }

    // The program ended: unasked, or asked with an exit code other than 0, is a crash.
    bool CheckCrash()
    {
        if (m_bEnded || m_child.Handle() == nullptr || m_child.Running())
            return false;
        Finish();
        return true;
    }

    int Crashes() const { return m_nCrashes; }
    int Kills() const { return m_nKills; }
    const std::vector<std::string>& Boxes() const { return m_boxes; }

private:
    void Finish()
    {
        if (m_bEnded)
            return;
        m_bEnded = true;
        m_watcher.Stop();
        if (!m_bWatchStopped)
            m_dLongestWaitMs = std::max(m_dLongestWaitMs, m_watcher.LongestWaitMs());
        const DWORD dwCode = m_child.ExitCode();
        if (!m_bAskedToEnd) {
            Out("  CRASH: the program ended unasked, exit code 0x%lX\n", dwCode);
            ++m_nCrashes;
        } else if (dwCode != 0 && dwCode != 0xDEAD) {
            Out("  CRASH: the program ended with exit code 0x%lX\n", dwCode);
            ++m_nCrashes;
        }
        m_child.Close();
    }

public:
    // Longest wait of a window message over every run of this object.
    double LongestWaitMs() const
    {
        return std::max(m_dLongestWaitMs, m_bEnded || m_bWatchStopped ? 0.0 : m_watcher.LongestWaitMs());
    }

private:
    const Options& m_opt;
    Link m_link;
    std::wstring m_folder;
    Child m_child;
    Watcher m_watcher;
    bool m_bAskedToEnd = false;
    bool m_bEnded = false;
    bool m_bWatchStopped = false;
    int m_nCrashes = 0;
    int m_nKills = 0;
    double m_dLongestWaitMs = 0;
    std::set<HWND> m_boxHandles;
    std::vector<std::string> m_boxes;
};

void NoteRun(Row& row, const Program& program)
{
    row.crashes += program.Crashes();
    row.kills += program.Kills();
    row.longestWaitMs = std::max(row.longestWaitMs, program.LongestWaitMs());
}

void PrintWait(const Program& program)
{
    Out("  longest unanswered window message: %.1f ms (goal: within 200 ms)%s\n", program.LongestWaitMs(),
        program.LongestWaitMs() > 200 ? "  ** over its goal" : "");
}

// ---------------------------------------------------------------------------------------
// 1. frames

void SectionFrames(const Options& opt, Link link)
{
    Out("\n-- frames over %s: %lu SLP frames from the unit (%s), each to be echoed\n", LinkName(link), opt.ulFrames,
        opt.ulRate > 0 ? ("paced at " + std::to_string(opt.ulRate) + "/s").c_str() : "plain flood");
    Row row{"frames", LinkName(link)};
    Unit unit(opt, link, "frames");
    std::string script = "echo-summary\necho-timeout 3600000\n";
    if (opt.ulRate > 0)
        script += "pace-after-command 1 " + std::to_string(opt.ulFrames) + " " + std::to_string(opt.ulRate) + " [SLP_{b4}_{n7}]\n";
    else
        script += "flood-after-command 1 " + std::to_string(opt.ulFrames) + " [SLP_{b4}_{n7}]\n";
    Program program(opt, link);
    if (!unit.Start(script) || !program.Start()) {
        Out("  not run: the unit or the program did not start\n");
        program.End();
        NoteRun(row, program);
        g_rows.push_back(row);
        return;
    }
    const MemorySample idle = program.Memory();
    program.Watch().ResetPeaks();
    program.SendCommand(L"[SPL_STAT]");

    // The unit counts the echoes and says so every 10 000; a run that stops moving for a
    // minute has ended as far as it goes.
    long long llCounted = 0;
    double dLastMove = NowMs();
    std::string progress;
    double dNextReport = NowMs() + 30000;
    while (llCounted < static_cast<long long>(opt.ulFrames)) {
        Sleep(200);
        program.DismissBoxes();
        if (!program.Alive())
            break;
        const std::string line = LastLine(unit.Log(), "ECHO progress");
        const long long llNow = line.empty() ? 0
                                             : Field(line, "ok") + Field(line, "wrong") + Field(line, "missing") +
                                                   Field(line, "unexpected") + Field(line, "duplicate");
        if (llNow != llCounted) {
            llCounted = llNow;
            progress = line;
            dLastMove = NowMs();
        } else if (NowMs() - dLastMove > 60000) {
            Out("  no progress for 60 s: %lld echoes accounted for\n", llCounted);
            break;
        }
        if (NowMs() > dNextReport) {
            Out("  ... %lld of %lu echoes in\n", llCounted, opt.ulFrames);
            dNextReport = NowMs() + 30000;
        }
    }
    const std::string log = unit.Log();
    const long long llStart = StampOf(LastLine(log, opt.ulRate > 0 ? "PACE " : "FLOOD "));
    const long long llEnd = StampOf(progress);
    const bool bAlive = program.Alive();
    const int nThreads = program.Threads();
    const long long llPeak = program.Watch().PeakPrivate();
    program.CheckCrash();
    program.StopWatching();
    program.End();
    unit.Stop();

    const std::string summary = LastLine(unit.Log(), "ECHO summary");
    Out("  unit: %s\n", summary.empty() ? "(no summary)" : summary.c_str() + summary.find("ECHO"));
    if (!summary.empty()) {
        const long long llOk = Field(summary, "ok");
        row.lost = std::to_string(static_cast<long long>(opt.ulFrames) - llOk);
        row.duplicated = std::to_string(Field(summary, "duplicate"));
        Out("  lost %s (missing %lld, wrong %lld), duplicated %s, unexpected %lld\n", row.lost.c_str(),
            Field(summary, "missing"), Field(summary, "wrong"), row.duplicated.c_str(), Field(summary, "unexpected"));
    }
    if (llStart >= 0 && llEnd > llStart)
        Out("  %lld echoes in %.1f s from the first frame: %.0f frames/s\n", llCounted, (llEnd - llStart) / 1000.0,
            static_cast<double>(llCounted) * 1000.0 / static_cast<double>(llEnd - llStart));
    row.memoryAboveIdle = Mb(llPeak - idle.llPrivate);
    row.threadsAtEnd = std::to_string(nThreads);
    Out("  program %s; private memory idle %s, peak %s above it; %d threads at the end\n", bAlive ? "alive" : "GONE",
        Mb(idle.llPrivate).c_str(), row.memoryAboveIdle.c_str(), nThreads);
    PrintWait(program);
    NoteRun(row, program);
    g_rows.push_back(row);
}

// ---------------------------------------------------------------------------------------
// 2. hostile

void SectionHostile(const Options& opt, Link link)
{
    const char* kinds[4] = {"random", "high", "printable", "mixed"};
    const unsigned long ulPart = std::max(1UL, opt.ulHostileBytes / 4);
    Out("\n-- hostile over %s: %lu seeded hostile bytes in four parts (random, high, printable, mixed)\n", LinkName(link),
        ulPart * 4);
    Row row{"hostile", LinkName(link)};
    Unit unit(opt, link, "hostile");
    // A line end before each answer ends whatever unfinished frame the bytes left behind.
    std::string script = "echo-summary\nnoise \\r\\n\n";
    for (int i = 0; i < 4; ++i)
        script += "hostile-after-command " + std::to_string(i + 1) + " " + std::to_string(ulPart) + " " +
                  std::to_string(1000 + i) + " " + kinds[i] + "\n";
    Program program(opt, link);
    if (!unit.Start(script) || !program.Start()) {
        Out("  not run: the unit or the program did not start\n");
        program.End();
        NoteRun(row, program);
        g_rows.push_back(row);
        return;
    }
    if (opt.bConsoleHidden) {
        ShowWindow(program.Console(), SW_HIDE);
        Out("  the console is hidden while the bytes come\n");
    }
    Sleep(1000);
    const MemorySample idle = program.Memory();
    program.Watch().ResetPeaks();
    Out("  idle: private %s, working set %s\n", Mb(idle.llPrivate).c_str(), Mb(idle.llWorkingSet).c_str());
    const double dStart = NowMs();
    for (int i = 0; i < 4 && program.Alive(); ++i) {
        if (!program.LinkOpen()) {
            Out("  the link is closed before part %d: opening it again\n", i + 1);
            program.PostClick(IDC_BTN_OPEN);
            program.WaitLinkOpen(30000);
        }
        program.SendCommand(L"[SPL_STAT]");
        const DWORD dwBound = 60000 + ulPart / 20;
        const bool bDone = program.WaitFor([&] { return CountOf(unit.Log(), "HOSTILE done") + CountOf(unit.Log(), "HOSTILE broken") >= static_cast<size_t>(i + 1); },
                                           dwBound, 100);
        const MemorySample now = program.Memory();
        Out("  part %d (%s): %s; private now %s above idle, working set %s\n", i + 1, kinds[i],
            bDone ? "sent" : "NOT sent in time", Mb(now.llPrivate - idle.llPrivate).c_str(), Mb(now.llWorkingSet).c_str());
    }
    // Whatever the program still had to take in.
    program.WaitFor([] { return false; }, 2000, 100);
    const double dSeconds = (NowMs() - dStart) / 1000.0;
    const bool bAlive = program.Alive();
    bool bAnswers = false;
    if (bAlive && opt.bConsoleHidden)
        ShowWindow(program.Console(), SW_SHOW);
    if (bAlive) {
        if (!program.LinkOpen()) {
            program.PostClick(IDC_BTN_OPEN);
            program.WaitLinkOpen(30000);
        }
        // The answer shows in the console's latest lines.
        program.SendCommand(L"[SPL_ARCT]");
        bAnswers = program.WaitFor([&] {
            const std::wstring log = program.ConsoleLog();
            return log.find(L"[EPL_ARCT_001]") != std::wstring::npos;
        }, 20000, 200) && program.Answers();
    }
    const long long llPeakPrivate = program.Watch().PeakPrivate();
    const long long llPeakWs = program.Watch().PeakWorkingSet();
    const int nThreads = program.Threads();
    program.CheckCrash();
    program.StopWatching();
    program.End();
    unit.Stop();
    const std::string log = unit.Log();
    Out("  %zu parts sent in %.1f s, %zu broken; the program %s, %s a command afterwards\n", CountOf(log, "HOSTILE done"),
        dSeconds, CountOf(log, "HOSTILE broken"), bAlive ? "alive" : "GONE", bAnswers ? "answers" : "does NOT answer");
    const std::string summary = LastLine(log, "ECHO summary");
    if (!summary.empty())
        Out("  frames the program found in the bytes and echoed: %lld\n", Field(summary, "unexpected") + Field(summary, "duplicate"));
    const long long llAbove = llPeakPrivate - idle.llPrivate;
    row.memoryAboveIdle = Mb(llAbove);
    row.threadsAtEnd = std::to_string(nThreads);
    Out("  peak private memory %s above idle (goal: within 32 MB for 10 MB of hostile bytes)%s; peak working set %s (%s above idle)\n",
        Mb(llAbove).c_str(), llAbove > 32LL * 1024 * 1024 ? "  ** over its goal" : "", Mb(llPeakWs).c_str(),
        Mb(llPeakWs - idle.llWorkingSet).c_str());
    PrintWait(program);
    NoteRun(row, program);
    g_rows.push_back(row);
}

// ---------------------------------------------------------------------------------------
// 3. open/close

void SectionOpenClose(const Options& opt, Link link)
{
    Out("\n-- open/close over %s: %lu console Close/Open cycles\n", LinkName(link), opt.ulCycles);
    Row row{"openclose", LinkName(link)};
    Unit unit(opt, link, "openclose");
    Program program(opt, link);
    if (!unit.Start("echo-summary\n") || !program.Start()) {
        Out("  not run: the unit or the program did not start\n");
        program.End();
        NoteRun(row, program);
        g_rows.push_back(row);
        return;
    }
    Sleep(500);
    const MemorySample start = program.Memory();
    const int nThreadsStart = program.Threads();
    program.Watch().ResetPeaks();
    unsigned long ulDone = 0;
    int nCloseFailed = 0;
    int nOpenFailed = 0;
    double dCloseMax = 0;
    double dOpenMax = 0;
    const double dStart = NowMs();
    int nFailedInARow = 0;
    for (unsigned long i = 0; i < opt.ulCycles && program.Alive(); ++i) {
        double d0 = NowMs();
        program.PostClick(IDC_BTN_CLOSE);
        bool bFailed = false;
        if (!program.WaitFor([&] { return program.LinkClosed(); }, 10000, 1)) {
            ++nCloseFailed;
            bFailed = true;
            Out("  cycle %lu: Close did not finish in 10 s; console: \"%s\"\n", i + 1, program.LastConsoleLine().c_str());
        }
        dCloseMax = std::max(dCloseMax, NowMs() - d0);
        d0 = NowMs();
        program.PostClick(IDC_BTN_OPEN);
        if (!program.WaitFor([&] { return program.LinkOpen(); }, 15000, 1)) {
            ++nOpenFailed;
            bFailed = true;
            Out("  cycle %lu: Open did not finish in 15 s; console: \"%s\"\n", i + 1, program.LastConsoleLine().c_str());
        }
        dOpenMax = std::max(dOpenMax, NowMs() - d0);
        ++ulDone;
        nFailedInARow = bFailed ? nFailedInARow + 1 : 0;
        if (nFailedInARow >= 3) {
            Out("  three cycles in a row failed: stopped\n");
            break;
        }
    }
    const double dSeconds = (NowMs() - dStart) / 1000.0;
    // The last cycle's threads have ended by now if they end at all.
    program.WaitFor([] { return false; }, 1000, 100);
    const MemorySample end = program.Memory();
    const int nThreadsEnd = program.Threads();
    // Never below the start: the link's threads and buffers go while the link is closed.
    const long long llPeak = std::max(program.Watch().PeakPrivate(), std::max(start.llPrivate, end.llPrivate));
    program.CheckCrash();
    program.StopWatching();
    program.End();
    unit.Stop();
    Out("  %lu cycles in %.1f s; closes that did not finish in 10 s: %d, opens in 15 s: %d; slowest close %.1f ms, open %.1f ms\n",
        ulDone, dSeconds, nCloseFailed, nOpenFailed, dCloseMax, dOpenMax);
    Out("  private memory %s at the start, %s at the end (%s), peak %s above the start\n", Mb(start.llPrivate).c_str(),
        Mb(end.llPrivate).c_str(), Mb(end.llPrivate - start.llPrivate).c_str(), Mb(llPeak - start.llPrivate).c_str());
    Out("  working set %s at the start, %s at the end; threads %d at the start, %d at the end\n",
        Mb(start.llWorkingSet).c_str(), Mb(end.llWorkingSet).c_str(), nThreadsStart, nThreadsEnd);
    row.memoryAboveIdle = Mb(llPeak - start.llPrivate);
    row.threadsAtEnd = std::to_string(nThreadsEnd) + " (start " + std::to_string(nThreadsStart) + ")";
    PrintWait(program);
    NoteRun(row, program);
    g_rows.push_back(row);
}

// ---------------------------------------------------------------------------------------
// 5. reconnect

// With "Reconnect" on and a schedule unit of 1 ms (RIG_RECONNECT_UNIT_MS: a unit that drops the
// link at once is tried after 1, 2, 4 ... and then every 30 units), against a unit that
// goes away as soon as a connection starts and is back at once: the program loses the link
// and links again, cycle after cycle. Each cycle is one connection in the unit's log. TCP
// only: the pseudo-terminal pair cannot tell the program that the unit went.
void SectionReconnect(const Options& opt, Link link)
{
    if (link != Link::Tcp) {
        Out("\n-- reconnect over %s: not run (a COM pair has no connection to lose)\n", LinkName(link));
        return;
    }
    constexpr unsigned long kWarmUp = 20;
    Out("\n-- reconnect over %s: %lu lose-and-reconnect cycles after %lu to warm up (attempts 10 ms apart)\n", LinkName(link),
        opt.ulReconnects, kWarmUp);
    Row row{"reconnect", LinkName(link)};
    Unit unit(opt, link, "reconnect");
    Program program(opt, link);
    // The program takes the unit of its delays from the environment it inherits.
    SetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", L"1");
    const bool bStarted = unit.Start("vanish-after-connect 0\n") && program.Start(L"Reconnect=1\r\n", false);
    SetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", nullptr);
    if (!bStarted) {
        Out("  not run: the unit or the program did not start\n");
        program.End();
        NoteRun(row, program);
        g_rows.push_back(row);
        return;
    }
    const auto cycles = [&] { return static_cast<unsigned long>(CountOf(unit.Log(), "VANISH planned at connect")); };
    // Waits until the unit has seen nCycles connections; false when they stop coming for a
    // minute or the program is gone.
    const auto waitCycles = [&](unsigned long nCycles) {
        for (unsigned long nLast = cycles(); nLast < nCycles; nLast = cycles()) {
            if (!program.WaitFor([&] { return cycles() != nLast; }, 60000, 50))
                return false;
        }
        return true;
    };
    if (!waitCycles(kWarmUp)) {
        Out("  the warm-up cycles did not come: %lu connections\n", cycles());
    } else {
        const MemorySample start = program.Memory();
        const int nThreadsStart = program.Threads();
        const unsigned long nFrom = cycles();
        program.Watch().ResetPeaks();
        const double dStart = NowMs();
        const bool bAll = waitCycles(nFrom + opt.ulReconnects);
        const double dSeconds = (NowMs() - dStart) / 1000.0;
        const unsigned long nDone = cycles() - nFrom;
        const MemorySample end = program.Memory();
        const int nThreadsEnd = program.Threads();
        const long long llPeak = std::max(program.Watch().PeakPrivate(), std::max(start.llPrivate, end.llPrivate));
        Out("  %lu cycles in %.1f s (%.1f ms a cycle)%s\n", nDone, dSeconds, nDone > 0 ? dSeconds * 1000.0 / nDone : 0.0,
            bAll ? "" : "; stopped: no connection for a minute, or the program is gone");
        Out("  private memory %s before, %s after (%s), peak %s above the start\n", Mb(start.llPrivate).c_str(),
            Mb(end.llPrivate).c_str(), Mb(end.llPrivate - start.llPrivate).c_str(), Mb(llPeak - start.llPrivate).c_str());
        Out("  working set %s before, %s after; threads %d before, %d after\n", Mb(start.llWorkingSet).c_str(),
            Mb(end.llWorkingSet).c_str(), nThreadsStart, nThreadsEnd);
        row.memoryAboveIdle = Mb(llPeak - start.llPrivate);
        row.threadsAtEnd = std::to_string(nThreadsEnd) + " (start " + std::to_string(nThreadsStart) + ")";
        Out("  the program %s a window message afterwards\n", program.Answers() ? "answers" : "does NOT answer");
    }
    program.CheckCrash();
    program.StopWatching();
    program.End();
    unit.Stop();
    PrintWait(program);
    NoteRun(row, program);
    g_rows.push_back(row);
}

// ---------------------------------------------------------------------------------------
// 4. exits and closes under fault

void AddTiming(const std::string& name, Link link, double ms, double goalMs, const std::string& note = std::string())
{
    g_timings.push_back(Timing{name, LinkName(link), ms, goalMs, note});
    if (ms < 0)
        Out("  %s: NOT measured (the program was killed or the step failed)%s%s\n", name.c_str(), note.empty() ? "" : "; ",
            note.c_str());
    else
        Out("  %s: %.1f ms (goal: under %.0f ms)%s%s%s\n", name.c_str(), ms, goalMs, ms > goalMs ? "  ** over its goal" : "",
            note.empty() ? "" : "; ", note.c_str());
}

// Queues 300 [SPL_PANO] (the unit keeps silent: one in flight, 299 waiting) with the Send
// button's command, 300 of them posted at once as a quick hand on Enter would; the time
// until the console shows 299 waiting, or -1. Then times a few Sends one by one (each
// waited for: a round trip between the processes each) and a few full clicks (BM_CLICK: the
// system's mouse press, capture and release around the same command) on the full queue.
double Queue300(Program& program)
{
    program.SetCommand(L"[SPL_PANO]");
    const HWND hConsole = program.Console();
    const double dStart = NowMs();
    for (int i = 0; i < 300; ++i)
        PostMessageW(hConsole, WM_COMMAND, MAKEWPARAM(IDC_BTN_SEND, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(hConsole, IDC_BTN_SEND)));
    if (!program.WaitFor([&] { return program.QueueCount() == 299; }, 30000, 1)) {
        Out("  the console shows %d waiting, not 299\n", program.QueueCount());
        return -1;
    }
    const double dQueued = NowMs() - dStart;
    Out("  300 Sends posted at once: the console shows 299 waiting after %.1f ms\n", dQueued);
    const double dOneByOne = NowMs();
    for (int i = 0; i < 20; ++i)
        Program::CommandSend(hConsole);
    Out("  20 Sends on the full queue, each waited for: %.2f ms a Send\n", (NowMs() - dOneByOne) / 20.0);
    const double dClicks = NowMs();
    for (int i = 0; i < 10; ++i)
        program.ClickSend();
    Out("  10 Send clicks on the full queue (BM_CLICK, refused with a line each): %.1f ms a click\n", (NowMs() - dClicks) / 10.0);
    return dQueued;
}

void SectionFaults(const Options& opt, Link link, Row& row)
{
    Out("\n-- exits and closes under fault over %s\n", LinkName(link));
    auto finish = [&row](Program& program, Unit& unit) {
        program.CheckCrash();
        program.End();
        unit.Stop();
        PrintWait(program);
        NoteRun(row, program);
    };

    if (link == Link::Tcp) {
        // The unit stops reading; the program's echoes of a flood pile up in the socket.
        Unit unit(opt, link, "fault-stopread");
        Program program(opt, link);
        const std::string script = "echo-summary\nstop-reading-after-command 1 3600000\nflood-after-command 1 " +
                                   std::to_string(opt.ulStallFrames) + " [SLP_{b4}_{n7}]\n";
        if (unit.Start(script) && program.Start()) {
            program.Watch().ResetPeaks();
            program.SendCommand(L"[SPL_STAT]");
            const bool bFlooded = program.WaitFor([&] { return unit.Log().find("FLOOD done") != std::string::npos; },
                                                  60000 + opt.ulStallFrames / 10, 100);
            program.SendCommand(L"[SPL_STAT]");
            program.WaitFor([] { return false; }, 1000, 100);
            char szNote[160];
            std::snprintf(szNote, sizeof(szNote), "%s; about %.1f MB of echoes to write (the socket takes ~3.9 MB before a send blocks)",
                          bFlooded ? "flood sent" : "flood NOT all sent", opt.ulStallFrames * 16.0 / (1024 * 1024));
            AddTiming("exit while the unit stops reading", link, program.TimedExit(), 1000, szNote);
        } else {
            AddTiming("exit while the unit stops reading", link, -1, 1000, "did not start");
        }
        finish(program, unit);
    }

    {
        // Exit in the middle of 100 MB of hostile bytes.
        Unit unit(opt, link, "fault-hostile");
        Program program(opt, link);
        if (unit.Start("echo-summary\nhostile-after-command 1 100000000 7 mixed\n") && program.Start()) {
            program.Watch().ResetPeaks();
            program.SendCommand(L"[SPL_STAT]");
            const bool bStarted = program.WaitFor([&] { return unit.Log().find("HOSTILE 100000000") != std::string::npos; }, 15000, 50);
            program.WaitFor([] { return false; }, 1000, 100);
            const bool bStill = unit.Log().find("HOSTILE done") == std::string::npos;
            AddTiming("exit during a hostile flood", link, program.TimedExit(), 1000,
                      bStarted && bStill ? "" : "the flood was not under way");
        } else {
            AddTiming("exit during a hostile flood", link, -1, 1000, "did not start");
        }
        finish(program, unit);
    }

    {
        // A full queue: 1 in flight (90 s time-out), 299 waiting.
        Unit unit(opt, link, "fault-queue");
        Program program(opt, link);
        if (unit.Start("silent PANO\n") && program.Start()) {
            program.Watch().ResetPeaks();
            AddTiming("queue 300 commands (300 Sends at once)", link, Queue300(program), 1000);
            const double dStart = NowMs();
            program.PostClick(IDC_BTN_CLOSE);
            const bool bClosed = program.WaitFor([&] { return program.LinkClosed(); }, 30000, 1);
            AddTiming("Close with 299 commands waiting", link, bClosed ? NowMs() - dStart : -1, 200);
            program.PostClick(IDC_BTN_OPEN);
            if (program.WaitLinkOpen(30000)) {
                const double dQueued = Queue300(program);
                AddTiming("exit with a full queue", link, dQueued >= 0 ? program.TimedExit() : -1, 200,
                          dQueued >= 0 ? "" : "the queue did not fill");
            } else {
                AddTiming("exit with a full queue", link, -1, 200,
                          "the link did not open again; console: \"" + program.LastConsoleLine() + "\"");
            }
        } else {
            AddTiming("queue 300 commands (300 Sends at once)", link, -1, 1000, "did not start");
        }
        finish(program, unit);
    }

    if (link == Link::Com) {
        // The unit holds XOFF for a minute; the program has output waiting behind it. Last of
        // all: the pair's line stays stopped until the XON, whoever opens the port next.
        Unit unit(opt, link, "fault-xoff");
        Program program(opt, link);
        if (unit.Start("xoff-after-command 1 60000\nsend-after-command 1 [SMP_MARK]\n") && program.Start()) {
            program.Watch().ResetPeaks();
            program.SendCommand(L"[SPL_STAT]");
            const bool bHeld = program.WaitFor([&] { return program.ConsoleLog().find(L"SMP_MARK") != std::wstring::npos; }, 15000, 50);
            for (int i = 0; i < 5; ++i)
                program.SendCommand(L"[SPL_STAT]");
            program.WaitFor([] { return false; }, 300, 50);
            AddTiming("exit while the unit holds XOFF", link, program.TimedExit(), 1000, bHeld ? "" : "the XOFF was not seen");
        } else {
            AddTiming("exit while the unit holds XOFF", link, -1, 1000, "did not start");
        }
        finish(program, unit);
    }
}

// ---------------------------------------------------------------------------------------

bool ParseList(const std::string& text, std::vector<std::string>& items)
{
    items.clear();
    size_t pos = 0;
    while (pos <= text.size()) {
        const size_t comma = text.find(',', pos);
        const std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        if (item.empty())
            return false;
        items.push_back(item);
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return !items.empty();
}

bool ParseCount(const std::string& text, unsigned long ulMax, unsigned long& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v == 0 || v > ulMax)
        return false;
    value = static_cast<unsigned long>(v);
    return true;
}

int Usage(const char* lpWhy)
{
    if (lpWhy != nullptr)
        std::fprintf(stderr, "soak: %s\n\n", lpWhy);
    std::fprintf(stderr, "%s", kUsage);
    return 1;
}

std::wstring WithSlash(std::wstring path)
{
    wchar_t szFull[MAX_PATH] = {};
    if (GetFullPathNameW(path.c_str(), MAX_PATH, szFull, nullptr) != 0)
        path = szFull;
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    return path;
}

void PrintTable()
{
    Out("\n==== Summary ====\n");
    Out("%-10s %-4s %-8s %-10s %-7s %-6s %-22s %-18s %s\n", "section", "link", "lost", "duplicated", "crashes", "killed",
        "peak memory above idle", "threads at the end", "longest unanswered window message");
    for (const Row& r : g_rows) {
        char szWait[48];
        std::snprintf(szWait, sizeof(szWait), "%.1f ms%s", r.longestWaitMs, r.longestWaitMs > 200 ? " **" : "");
        Out("%-10s %-4s %-8s %-10s %-7d %-6d %-22s %-18s %s\n", r.section.c_str(), r.link.c_str(), r.lost.c_str(),
            r.duplicated.c_str(), r.crashes, r.kills, r.memoryAboveIdle.c_str(), r.threadsAtEnd.c_str(), szWait);
    }
    if (!g_timings.empty()) {
        Out("\n%-40s %-4s %-12s %s\n", "exit / close under fault", "link", "time", "goal");
        for (const Timing& t : g_timings) {
            char szTime[32];
            if (t.ms < 0)
                std::snprintf(szTime, sizeof(szTime), "not measured");
            else
                std::snprintf(szTime, sizeof(szTime), "%.1f ms", t.ms);
            Out("%-40s %-4s %-12s under %.0f ms%s\n", t.name.c_str(), t.link.c_str(), szTime, t.goalMs,
                t.ms < 0 || t.ms > t.goalMs ? "  ** missed" : "");
        }
    }
    Out("\nGoals: window answers within 200 ms; memory within 32 MB above idle for 10 MB of hostile bytes;\n"
        "exit and close within 1 s under any fault; close/exit with a full queue under 200 ms; queuing 300\n"
        "commands under 1 s. \"**\" marks a figure outside its goal.\n");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options opt;
    bool bFramesSet = false;
    bool bHostileSet = false;
    bool bCyclesSet = false;
    bool bReconnectsSet = false;
    bool bStallSet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = Narrow(argv[i]);
        const bool bHasValue = i + 1 < argc;
        const std::string value = bHasValue ? Narrow(argv[i + 1]) : std::string();
        std::vector<std::string> items;
        if (arg == "--help" || arg == "-h") {
            Usage(nullptr);
            return 0;
        } else if (arg == "--quick") {
            opt.bQuick = true;
        } else if (arg == "--only" && bHasValue && ParseList(value, items)) {
            opt.sections.clear();
            for (const std::string& s : items) {
                if (s != "frames" && s != "hostile" && s != "openclose" && s != "faults" && s != "reconnect")
                    return Usage(("unknown section " + s).c_str());
                opt.sections.insert(s);
            }
            ++i;
        } else if (arg == "--links" && bHasValue && ParseList(value, items)) {
            opt.links.clear();
            for (const std::string& s : items) {
                if (s != "tcp" && s != "com")
                    return Usage(("unknown link " + s).c_str());
                opt.links.push_back(s == "tcp" ? Link::Tcp : Link::Com);
            }
            ++i;
        } else if (arg == "--frames" && bHasValue && ParseCount(value, 100000000, opt.ulFrames)) {
            bFramesSet = true;
            ++i;
        } else if (arg == "--rate" && bHasValue && ParseCount(value, 1000000, opt.ulRate)) {
            ++i;
        } else if (arg == "--hostile-bytes" && bHasValue && ParseCount(value, 400000000, opt.ulHostileBytes)) {
            bHostileSet = true;
            ++i;
        } else if (arg == "--cycles" && bHasValue && ParseCount(value, 10000000, opt.ulCycles)) {
            bCyclesSet = true;
            ++i;
        } else if (arg == "--reconnects" && bHasValue && ParseCount(value, 10000000, opt.ulReconnects)) {
            bReconnectsSet = true;
            ++i;
        } else if (arg == "--stall-frames" && bHasValue && ParseCount(value, 10000000, opt.ulStallFrames)) {
            bStallSet = true;
            ++i;
        } else if (arg == "--console-hidden") {
            opt.bConsoleHidden = true;
        } else if (arg == "--bin" && bHasValue) {
            opt.bin = argv[++i];
        } else if (arg == "--work" && bHasValue) {
            opt.work = argv[++i];
        } else {
            return Usage(("unknown or incomplete option " + arg).c_str());
        }
    }
    if (opt.bQuick) {
        if (!bFramesSet)
            opt.ulFrames = 20000;
        if (!bHostileSet)
            opt.ulHostileBytes = 1000000;
        if (!bCyclesSet)
            opt.ulCycles = 50;
        if (!bReconnectsSet)
            opt.ulReconnects = 50;
        if (!bStallSet)
            opt.ulStallFrames = 20000;
    }
    opt.ulFrames = (opt.ulFrames + 9999) / 10000 * 10000;
    if (opt.bin.empty()) {
        wchar_t szExe[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, szExe, MAX_PATH);
        opt.bin = szExe;
        opt.bin.resize(opt.bin.find_last_of(L'\\') + 1);
    }
    opt.bin = WithSlash(opt.bin);
    opt.work = WithSlash(opt.work.empty() ? opt.bin + L"..\\soak" : opt.work);
    CreateDirectoryW(opt.work.c_str(), nullptr);
    wchar_t szCom[16] = {};
    if (GetEnvironmentVariableW(L"RIG_COM_PROGRAM", szCom, 16) > 0 && _wtoi(szCom) > 0)
        opt.nComProgram = _wtoi(szCom);
    if (GetEnvironmentVariableW(L"RIG_COM_UNIT", szCom, 16) > 0 && _wtoi(szCom) > 0)
        opt.nComUnit = _wtoi(szCom);

    Out("Soak of %sRigConsole.exe%s: links", Narrow(opt.bin).c_str(), opt.bQuick ? " (quick)" : "");
    for (Link l : opt.links)
        Out(" %s", LinkName(l));
    Out("; sections");
    for (const char* s : {"frames", "hostile", "openclose", "faults", "reconnect"}) {
        if (opt.sections.count(s))
            Out(" %s", s);
    }
    Out("\n%lu frames, %lu hostile bytes, %lu cycles, %lu reconnects, %lu stall frames per link; TCP 127.0.0.1:%d, COM%d (program) / COM%d (unit) at 19200 (the pseudo-terminal pair ignores the rate)\n",
        opt.ulFrames, opt.ulHostileBytes, opt.ulCycles, opt.ulReconnects, opt.ulStallFrames, kUnitTcpPort, opt.nComProgram, opt.nComUnit);
    Out("Memory: private bytes from PROCESS_MEMORY_COUNTERS_EX.PrivateUsage, or PagefileUsage where that reads 0 (Wine)\n");
    const double dStart = NowMs();

    if (opt.sections.count("frames")) {
        Out("\n==== 1. frames ====\n");
        for (Link l : opt.links)
            SectionFrames(opt, l);
    }
    if (opt.sections.count("hostile")) {
        Out("\n==== 2. hostile ====\n");
        for (Link l : opt.links)
            SectionHostile(opt, l);
    }
    if (opt.sections.count("openclose")) {
        Out("\n==== 3. open/close ====\n");
        for (Link l : opt.links)
            SectionOpenClose(opt, l);
    }
    if (opt.sections.count("faults")) {
        Out("\n==== 4. exits and closes under fault ====\n");
        for (Link l : opt.links) {
            Row row{"faults", LinkName(l)};
            SectionFaults(opt, l, row);
            g_rows.push_back(row);
        }
    }
    if (opt.sections.count("reconnect")) {
        Out("\n==== 5. reconnect ====\n");
        for (Link l : opt.links)
            SectionReconnect(opt, l);
    }
    PrintTable();
    Out("\nsoak: %.0f s in all\n", (NowMs() - dStart) / 1000.0);
    return 0;
}
