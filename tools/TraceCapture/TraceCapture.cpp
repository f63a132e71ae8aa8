// TraceCapture: prints what running programs write to the system debug output
// (OutputDebugString), for workstations without a debug-output viewer. It is the debug-output
// listener: it owns the shared buffer DBWIN_BUFFER and the two events of the protocol while
// it runs, so only one such listener (this tool, a viewer, ...) can run at a time.
#include <windows.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

enum ExitCode {
    kExitOk = 0,
    kExitUsage = 1,
    kExitListenerBusy = 2,
    kExitCannotOpen = 3,
    kExitWriteFailed = 4,
};

// The protocol's buffer: the writer's process id, then its text in the ANSI code page.
constexpr DWORD kBufferBytes = 4096;
constexpr DWORD kTextBytes = kBufferBytes - sizeof(DWORD);

// After a stop request, lines still arriving are taken until the output has been quiet this
// long (a writer may be between taking the buffer and signalling it), but no longer than
// the cap, so that a busy writer cannot hold the stop off.
constexpr DWORD kDrainQuietMs = 100;
constexpr ULONGLONG kDrainCapMs = 2000;

// Console close, log-off and shut-down end the process as soon as the control handler
// returns: the handler waits this long for the main loop to finish its output.
constexpr DWORD kCloseGraceMs = 4000;

const wchar_t kUsage[] =
    L"TraceCapture - prints what running programs write to the debug output (OutputDebugString).\n"
    L"\n"
    L"Usage: TraceCapture [options]\n"
    L"\n"
    L"  --out FILE          write the lines to FILE (created, or emptied) instead of the console\n"
    L"  --append            with --out: add to the end of FILE instead of emptying it\n"
    L"  --pid N             only lines written by process N (may be given more than once)\n"
    L"  --show-pid          begin each line with its writer's process id: \"[1234] text\"\n"
    L"  --until-exit N      stop once process N has ended, after taking its last lines\n"
    L"  --stop-event NAME   stop when the named event is set\n"
    L"  --ready-event NAME  set the named event once capture has begun (it is created when missing)\n"
    L"  --global            capture the global debug output (services, session 0) instead of\n"
    L"                      this session's; needs administrator rights\n"
    L"  --help              this text\n"
    L"\n"
    L"It stops on Ctrl+C, Ctrl+Break or when its console closes. Each line is written as soon as it\n"
    L"arrives; in a file, lines keep the system's ANSI code page in which they were sent. A text\n"
    L"holding line breaks is written as several lines.\n"
    L"\n"
    L"Only one debug-output listener can run at a time: close a running viewer (DebugView, another\n"
    L"TraceCapture) first. A program run under a debugger sends its lines to the debugger instead.\n"
    L"\n"
    L"Exit codes: 0 stopped normally, 1 wrong command line, 2 another listener owns the debug\n"
    L"output, 3 something named on the command line or the debug output cannot be opened,\n"
    L"4 writing the output failed.\n";

struct Options {
    std::wstring outPath;
    bool append = false;
    std::vector<DWORD> pids;
    bool showPid = false;
    DWORD untilExitPid = 0;
    bool untilExit = false;
    std::wstring stopEvent;
    std::wstring readyEvent;
    bool global = false;
    bool help = false;
};

bool IsConsole(HANDLE h)
{
    DWORD dwMode = 0;
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &dwMode) != FALSE;
}

// Messages of our own: a console shows the wide text as it is; a file or pipe gets it in the
// ANSI code page with CR LF line ends.
void WriteText(HANDLE h, const wchar_t* lpText)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return;
    DWORD dwDone = 0;
    if (IsConsole(h)) {
        WriteConsoleW(h, lpText, static_cast<DWORD>(wcslen(lpText)), &dwDone, nullptr);
        return;
    }
    std::wstring text;
    for (const wchar_t* p = lpText; *p != L'\0'; ++p) {
        if (*p == L'\n')
            text += L'\r';
        text += *p;
    }
    const int cb = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (cb <= 0)
        return;
    std::string narrow(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), narrow.data(), cb, nullptr, nullptr);
    WriteFile(h, narrow.data(), static_cast<DWORD>(narrow.size()), &dwDone, nullptr);
}

void PrintError(const wchar_t* lpFormat, ...)
{
    wchar_t szText[1024] = {};
    va_list args;
    va_start(args, lpFormat);
    _vsnwprintf(szText, 1022, lpFormat, args);
    va_end(args);
    szText[1022] = L'\0';
    wcscat(szText, L"\n");
    WriteText(GetStdHandle(STD_ERROR_HANDLE), szText);
}

// A whole decimal number that fits 32 bits, nothing else.
bool ParseNumber(const wchar_t* lpText, DWORD& value)
{
    if (lpText == nullptr || *lpText < L'0' || *lpText > L'9')
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long n = wcstoull(lpText, &end, 10);
    if (errno != 0 || *end != L'\0' || n > 0xFFFFFFFFull)
        return false;
    value = static_cast<DWORD>(n);
    return true;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        const wchar_t* value = hasValue ? argv[i + 1] : nullptr;
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            options.help = true;
        } else if (arg == L"--append") {
            options.append = true;
        } else if (arg == L"--show-pid") {
            options.showPid = true;
        } else if (arg == L"--global") {
            options.global = true;
        } else if (arg == L"--out" || arg == L"--stop-event" || arg == L"--ready-event") {
            if (!hasValue || value[0] == L'\0') {
                PrintError(L"TraceCapture: %s needs a value (see --help).", arg.c_str());
                return false;
            }
            (arg == L"--out" ? options.outPath : arg == L"--stop-event" ? options.stopEvent : options.readyEvent) = value;
            ++i;
        } else if (arg == L"--pid" || arg == L"--until-exit") {
            DWORD pid = 0;
            if (!hasValue || !ParseNumber(value, pid)) {
                PrintError(L"TraceCapture: %s needs a process id, a decimal number (see --help).", arg.c_str());
                return false;
            }
            if (arg == L"--pid") {
                options.pids.push_back(pid);
            } else {
                options.untilExit = true;
                options.untilExitPid = pid;
            }
            ++i;
        } else {
            PrintError(L"TraceCapture: unknown argument \"%s\" (see --help).", arg.c_str());
            return false;
        }
    }
    if (options.append && options.outPath.empty()) {
        PrintError(L"TraceCapture: --append needs --out FILE (see --help).");
        return false;
    }
    return true;
}

// Where the captured lines go: a file, a pipe or the console. Every line is handed to the
// system in one write as soon as it is complete, so a reader sees whole lines and nothing
// stays behind in a buffer of ours when the process is stopped.
class LineWriter {
public:
    ~LineWriter()
    {
        if (m_bOwned && m_hOut != INVALID_HANDLE_VALUE)
            CloseHandle(m_hOut);
    }

    bool OpenFile(const std::wstring& path, bool bAppend)
    {
        // Others may read (and remove) the file while it is being written.
        m_hOut = CreateFileW(path.c_str(), bAppend ? FILE_APPEND_DATA : GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             bAppend ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        m_bOwned = true;
        return m_hOut != INVALID_HANDLE_VALUE;
    }

    bool OpenStdout()
    {
        m_hOut = GetStdHandle(STD_OUTPUT_HANDLE);
        if (m_hOut == nullptr || m_hOut == INVALID_HANDLE_VALUE) {
            m_hOut = INVALID_HANDLE_VALUE;
            return false;
        }
        m_bConsole = IsConsole(m_hOut);
        return true;
    }

    bool Write(DWORD dwPid, bool bShowPid, const char* lpText, size_t cbText)
    {
        char szPrefix[16] = {};
        int cbPrefix = 0;
        if (bShowPid)
            cbPrefix = _snprintf(szPrefix, sizeof(szPrefix) - 1, "[%lu] ", static_cast<unsigned long>(dwPid));
        if (cbPrefix < 0)
            cbPrefix = 0;

        m_line.assign(szPrefix, static_cast<size_t>(cbPrefix));
        m_line.append(lpText, cbText);
        m_line.append("\r\n");

        DWORD dwDone = 0;
        if (m_bConsole) {
            // The console would show ANSI bytes in its own (OEM) code page: widen them first.
            const int cch = MultiByteToWideChar(CP_ACP, 0, m_line.data(), static_cast<int>(m_line.size()), nullptr, 0);
            m_wide.resize(static_cast<size_t>(cch > 0 ? cch : 0));
            if (cch > 0)
                MultiByteToWideChar(CP_ACP, 0, m_line.data(), static_cast<int>(m_line.size()), m_wide.data(), cch);
            return WriteConsoleW(m_hOut, m_wide.data(), static_cast<DWORD>(m_wide.size()), &dwDone, nullptr) != FALSE;
        }
        return WriteFile(m_hOut, m_line.data(), static_cast<DWORD>(m_line.size()), &dwDone, nullptr) &&
               dwDone == m_line.size();
    }

private:
    HANDLE m_hOut = INVALID_HANDLE_VALUE;
    bool m_bOwned = false;
    bool m_bConsole = false;
    std::string m_line;
    std::wstring m_wide;
};

// Set by the console control handler; the main loop waits on it.
HANDLE g_hCtrlStop = nullptr;
// Set by the main loop when its output is complete, so the handler may let the process go.
HANDLE g_hFinished = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD dwCtrlType)
{
    SetEvent(g_hCtrlStop);
    if (dwCtrlType == CTRL_CLOSE_EVENT || dwCtrlType == CTRL_LOGOFF_EVENT || dwCtrlType == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_hFinished, kCloseGraceMs);
    return TRUE;
}

// A named event to wait on or to set: opened when it exists, created (manual reset) when not.
HANDLE OpenNamedEvent(const std::wstring& name)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    if (hEvent == nullptr)
        PrintError(L"TraceCapture: cannot open the event \"%s\" (error %lu).", name.c_str(), GetLastError());
    return hEvent;
}

// The objects of the debug-output protocol, created by the listener; a writer finds them
// by name for each line.
class DebugOutputChannel {
public:
    ~DebugOutputChannel()
    {
        if (m_pView != nullptr)
            UnmapViewOfFile(m_pView);
        for (HANDLE h : {m_hMapping, m_hBufferReady, m_hDataReady}) {
            if (h != nullptr)
                CloseHandle(h);
        }
    }

    int Create(bool bGlobal)
    {
        const std::wstring prefix = bGlobal ? L"Global\\" : L"";
        // Writers may run as other accounts (services) or elevated while we are not: the
        // objects get no access restriction, as debug-output viewers do.
        SECURITY_DESCRIPTOR sd;
        InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
        SECURITY_ATTRIBUTES sa{sizeof(sa), &sd, FALSE};

        // Any of the three existing already means that another listener holds them (or a
        // writer still does, in the seconds after a listener has gone).
        m_hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, kBufferBytes,
                                        (prefix + L"DBWIN_BUFFER").c_str());
        DWORD dwError = GetLastError();
        if (m_hMapping != nullptr && dwError != ERROR_ALREADY_EXISTS) {
            m_hBufferReady = CreateEventW(&sa, FALSE, FALSE, (prefix + L"DBWIN_BUFFER_READY").c_str());
            dwError = GetLastError();
        }
        if (m_hBufferReady != nullptr && dwError != ERROR_ALREADY_EXISTS) {
            m_hDataReady = CreateEventW(&sa, FALSE, FALSE, (prefix + L"DBWIN_DATA_READY").c_str());
            dwError = GetLastError();
        }
        if (dwError == ERROR_ALREADY_EXISTS) {
            PrintError(L"TraceCapture: another debug-output listener already owns %sDBWIN_BUFFER.\n"
                       L"Close the running debug-output viewer (DebugView, another TraceCapture) and try again.",
                       prefix.c_str());
            return kExitListenerBusy;
        }
        if (m_hDataReady != nullptr)
            m_pView = static_cast<const BYTE*>(MapViewOfFile(m_hMapping, FILE_MAP_READ, 0, 0, kBufferBytes));
        if (m_pView == nullptr) {
            dwError = GetLastError();
            PrintError(L"TraceCapture: cannot create the debug-output buffer %sDBWIN_BUFFER (error %lu).%s",
                       prefix.c_str(), dwError,
                       bGlobal && dwError == ERROR_ACCESS_DENIED ? L" --global needs administrator rights." : L"");
            return kExitCannotOpen;
        }
        return kExitOk;
    }

    HANDLE DataReady() const { return m_hDataReady; }

    // Lets the next writer fill the buffer.
    void Release() const { SetEvent(m_hBufferReady); }

    // Copies the line that a writer has just signalled, then frees the buffer for the next
    // one at once, so writers are not held while the line is being written out.
    void Take(DWORD& dwPid, std::string& text) const
    {
        memcpy(&dwPid, m_pView, sizeof(DWORD));
        const char* pText = reinterpret_cast<const char*>(m_pView + sizeof(DWORD));
        text.assign(pText, strnlen(pText, kTextBytes));
        Release();
    }

private:
    HANDLE m_hMapping = nullptr;
    HANDLE m_hBufferReady = nullptr;
    HANDLE m_hDataReady = nullptr;
    const BYTE* m_pView = nullptr;
};

class Capture {
public:
    Capture(const Options& options, const DebugOutputChannel& channel, LineWriter& writer)
        : m_options(options), m_channel(channel), m_writer(writer)
    {
    }

    // Takes one signalled line; false when the output could not be written.
    bool TakeLine()
    {
        DWORD dwPid = 0;
        m_channel.Take(dwPid, m_text);
        if (!m_options.pids.empty()) {
            bool bWanted = false;
            for (DWORD pid : m_options.pids)
                bWanted = bWanted || pid == dwPid;
            if (!bWanted)
                return true;
        }
        // Writers often end their text with a line break, and some send several lines in one
        // text: each line of the text becomes one output line.
        size_t length = m_text.size();
        while (length > 0 && (m_text[length - 1] == '\n' || m_text[length - 1] == '\r'))
            --length;
        size_t begin = 0;
        for (;;) {
            size_t end = begin;
            while (end < length && m_text[end] != '\n' && m_text[end] != '\r')
                ++end;
            if (!m_writer.Write(dwPid, m_options.showPid, m_text.data() + begin, end - begin))
                return false;
            if (end >= length)
                return true;
            begin = end + ((m_text[end] == '\r' && end + 1 < length && m_text[end + 1] == '\n') ? 2 : 1);
        }
    }

    // Takes the lines that are still on their way after a stop request.
    bool Drain()
    {
        const ULONGLONG deadline = GetTickCount64() + kDrainCapMs;
        while (GetTickCount64() < deadline && WaitForSingleObject(m_channel.DataReady(), kDrainQuietMs) == WAIT_OBJECT_0) {
            if (!TakeLine())
                return false;
        }
        return true;
    }

private:
    const Options& m_options;
    const DebugOutputChannel& m_channel;
    LineWriter& m_writer;
    std::string m_text;
};

// Closes a handle at the end of its scope.
struct HandleGuard {
    HANDLE h = nullptr;
    ~HandleGuard()
    {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
};

int Run(const Options& options)
{
    LineWriter writer;
    if (!options.outPath.empty()) {
        if (!writer.OpenFile(options.outPath, options.append)) {
            PrintError(L"TraceCapture: cannot open the output file \"%s\" (error %lu).", options.outPath.c_str(),
                       GetLastError());
            return kExitCannotOpen;
        }
    } else if (!writer.OpenStdout()) {
        PrintError(L"TraceCapture: there is no standard output; use --out FILE.");
        return kExitCannotOpen;
    }

    HandleGuard stopEvent;
    HandleGuard readyEvent;
    HandleGuard process;
    if (!options.stopEvent.empty() && (stopEvent.h = OpenNamedEvent(options.stopEvent)) == nullptr)
        return kExitCannotOpen;
    if (!options.readyEvent.empty() && (readyEvent.h = OpenNamedEvent(options.readyEvent)) == nullptr)
        return kExitCannotOpen;
    if (options.untilExit) {
        // Held open from now on, so the id cannot pass to another process meanwhile.
        process.h = OpenProcess(SYNCHRONIZE, FALSE, options.untilExitPid);
        if (process.h == nullptr) {
            PrintError(L"TraceCapture: process %lu for --until-exit cannot be opened (error %lu); is it running?",
                       static_cast<unsigned long>(options.untilExitPid), GetLastError());
            return kExitCannotOpen;
        }
    }

    DebugOutputChannel channel;
    const int created = channel.Create(options.global);
    if (created != kExitOk)
        return created;

    HANDLE waits[4] = {channel.DataReady(), g_hCtrlStop};
    DWORD nWaits = 2;
    if (stopEvent.h != nullptr)
        waits[nWaits++] = stopEvent.h;
    if (process.h != nullptr)
        waits[nWaits++] = process.h;

    channel.Release();
    if (readyEvent.h != nullptr)
        SetEvent(readyEvent.h);
    if (IsConsole(GetStdHandle(STD_ERROR_HANDLE)))
        PrintError(L"TraceCapture: capturing the debug output; Ctrl+C stops.");

    Capture capture(options, channel, writer);
    for (;;) {
        // New lines come first: the data event has the lowest index.
        const DWORD dwWait = WaitForMultipleObjects(nWaits, waits, FALSE, INFINITE);
        if (dwWait == WAIT_OBJECT_0) {
            if (!capture.TakeLine())
                break;
            continue;
        }
        if (dwWait > WAIT_OBJECT_0 && dwWait < WAIT_OBJECT_0 + nWaits) {
            if (capture.Drain())
                return kExitOk;
            break;
        }
        PrintError(L"TraceCapture: waiting for the debug output failed (error %lu).", GetLastError());
        return kExitCannotOpen;
    }
    PrintError(L"TraceCapture: writing the output failed (error %lu); capture stopped.", GetLastError());
    return kExitWriteFailed;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options))
        return kExitUsage;
    if (options.help) {
        WriteText(GetStdHandle(STD_OUTPUT_HANDLE), kUsage);
        return kExitOk;
    }

    g_hCtrlStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_hFinished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_hCtrlStop == nullptr || g_hFinished == nullptr) {
        PrintError(L"TraceCapture: cannot create an event (error %lu).", GetLastError());
        return kExitCannotOpen;
    }
    // Started by a parent that ignores Ctrl+C (or in a new process group), we would inherit
    // that and never see it: take Ctrl+C back, then handle it ourselves.
    SetConsoleCtrlHandler(nullptr, FALSE);
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);

    const int result = Run(options);

    // The handler may be waiting for this before the system ends the process; both events
    // stay open until then.
    SetEvent(g_hFinished);
    return result;
}
