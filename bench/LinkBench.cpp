// Link figures of the program against the simulated unit, each beside what a plain reader
// of the same bytes gets in the same run where that makes sense, and each with its goal:
//   flood       frames taken in per second, every frame shown, traced and notified, beside
//               the contract's floor (each frame traced and notified, nothing else);
//   paced       the unit sending at the 921 600-baud line rate: how far the receive thread
//               fell behind the wire, and the unit's own lateness;
//   trace       the same at 720 frames a second with the trace capture attached: every
//               frame notified and every trace line captured;
//   commands    commands answered per second, one after the other;
//   ui          how long the user-interface thread takes to answer a window message during
//               a flood, and while the unit holds XOFF and commands are sent;
//   timeouts    how late answer time-outs come.
// The bench's main thread is the program's user-interface thread: it created the link
// manager and serves its messages the way the program's message loop does (ServeUntil). The
// console window is shown throughout, so its view is live and painting, and no debug-output
// listener runs but in the trace section.
//
// LinkBench [FRAMES [COMMANDS [TIMEOUTS]]] [--only SECTION[,SECTION...]]
#include "BenchCompat.h"
#include "BenchReport.h"
#include "framework/MessageWindow.h"
#include "support/CommTestSupport.h"
#include "support/SimUnitProcess.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace testsupport;
using bench::Figure;
using bench::Format;
using bench::MsBetween;
using bench::MsSince;
using bench::Now;
using bench::Say;
using bench::Verdict;

namespace {

enum class Link { Tcp, Serial };

const char* Name(Link link)
{
    return link == Link::Tcp ? "TCP loopback" : "COM pair";
}

const char* Key(Link link)
{
    return link == Link::Tcp ? "tcp" : "com";
}

// The fastest line the unit has: 921 600 baud, ten bits a byte, 16 bytes a frame.
constexpr DWORD kBaud = 921600;
constexpr int kLineRateFrames = 5760;
// "[SMP_F_000001]" and CR LF.
constexpr size_t kFrameBytes = 16;
// What a real port's input buffer holds: a receive thread further behind loses bytes there.
constexpr size_t kPortInputBytes = 4096;
// What the pseudo-terminal under the COM pair holds at most (the kernel's line discipline
// keeps one byte of its 4096 free): a backlog this large means the buffer was full, the
// unit was held up, and the program would have been further behind on a real line.
constexpr size_t kPtyInputBytes = 4095;
// The unit counts as keeping its schedule within this: at the line rate a 4 KB input
// buffer fills in 44 ms.
constexpr double kUnitOnTimeMs = 50;
// The user-interface thread's goals for answering a message.
constexpr double kUiMedianGoalMs = 50;
constexpr double kUiMaxGoalMs = 200;

const wchar_t kFramePattern[] = L"[SMP_F_{n6}]";

std::wstring FrameText(size_t n)
{
    wchar_t szText[32] = {};
    _snwprintf(szText, 31, L"[SMP_F_%06u]", static_cast<unsigned>(n));
    return szText;
}

// The frames of a flood: short status frames, or long ones near the longest a frame may be.
enum class FloodFrames { Short, Long };
const std::wstring kLongTail(240, L'x');

std::wstring FloodPattern(FloodFrames frames)
{
    return frames == FloodFrames::Short ? std::wstring(kFramePattern) : L"[SMP_L_{n6}" + kLongTail + L"]";
}

std::wstring FloodFrameText(FloodFrames frames, size_t n)
{
    if (frames == FloodFrames::Short)
        return FrameText(n);
    wchar_t szHead[32] = {};
    _snwprintf(szHead, 31, L"[SMP_L_%06u", static_cast<unsigned>(n));
    return szHead + kLongTail + L"]";
}

std::wstring Num(long long n)
{
    return std::to_wstring(n);
}

// ---------------------------------------------------------------------------------------
// The unit and the program

// Starts the unit on the link with the scenario (SimUnit's directives as options); its
// event log goes to logPath when given. nTcpPort gets the port it listens on.
bool StartUnit(SimUnitProcess& unit, Link link, int& nTcpPort, const std::wstring& scenario, const std::wstring& logPath)
{
    std::wstring args = L" --quiet " + scenario;
    if (!logPath.empty())
        args += L" --log \"" + logPath + L"\"";
    if (link == Link::Tcp) {
        nTcpPort = UnusedTcpPort();
        return unit.Start(L"--tcp 127.0.0.1:" + Num(nTcpPort) + args, L"NUL");
    }
    return unit.Start(L"--com " + Num(UnitComPort()) + L" --baud " + Num(kBaud) + args, L"NUL");
}

// The unit, then the program's link manager with its console shown and an owner window
// that keeps every notification, with the link open. Ends in the opposite order: the link
// closed and the manager deleted first (every worker of the manager ends with it), then the
// windows, then the unit.
class CProgramSession {
public:
    explicit CProgramSession(Link link) : m_link(link) {}
    ~CProgramSession() { End(); }
    CProgramSession(const CProgramSession&) = delete;
    CProgramSession& operator=(const CProgramSession&) = delete;

    bool Begin(const std::wstring& scenario, const std::wstring& unitLog = L"", bool bShowConsole = true, bool bRecord = true)
    {
        if (!StartUnit(unit, m_link, m_nTcpPort, scenario, unitLog) || !owner.Create() || !reply.Create())
            return false;
        comm = benchcompat::CreateComm(m_link == Link::Tcp);
        benchcompat::SetOwner(comm, &owner);
        // As in the program: every line also goes to a session record on disk.
        if (bRecord)
            benchcompat::SetSessionFolder(comm, MakeScratchDir(L"benchsession") + L"Logs\\");
        if (bShowConsole)
            benchcompat::ConsoleOf(comm)->ShowWindow(SW_SHOW);
        PumpFor(100);
        return m_link == Link::Tcp ? comm->Open_Ethernet(L"127.0.0.1", m_nTcpPort)
                                   : comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), kBaud);
    }

    void End()
    {
        if (comm == nullptr)
            return;
        if (m_link == Link::Tcp)
            comm->CloseEthernet();
        else
            comm->CloseSerial();
        // The record's figures, once its writer has written everything (at the close).
        bSessionRecord = benchcompat::SessionRecordBytes(comm, nSessionWritten, nSessionDropped);
        delete comm;
        comm = nullptr;
    }

    HWND Console() const { return comm != nullptr ? benchcompat::ConsoleOf(comm)->m_hWnd : nullptr; }

    // Declared first, so that it goes last.
    SimUnitProcess unit;
    CRecorderWnd owner;
    CRecorderWnd reply;
    CComm* comm = nullptr;
    bool bSessionRecord = false;
    unsigned long long nSessionWritten = 0;
    unsigned long long nSessionDropped = 0;

private:
    Link m_link;
    int m_nTcpPort = 0;
};

// Serves this thread's messages as the program's own message loop does, one GetMessage
// each, until cond() or the time is up; a thread timer brings the loop back to look. (The
// tests' PumpUntil peeks until the queue is empty and then waits, which costs the system
// three calls a message where the program's loop costs one.)
bool ServeUntil(const std::function<bool()>& cond, DWORD dwTimeoutMs)
{
    const ULONGLONG ullDeadline = GetTickCount64() + dwTimeoutMs;
    const UINT_PTR nTimer = SetTimer(nullptr, 0, 10, nullptr);
    bool bDone = cond();
    MSG msg;
    while (!bDone && GetTickCount64() < ullDeadline) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            if (got == 0)
                PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        const bool bOurTimer = msg.message == WM_TIMER && msg.hwnd == nullptr && msg.wParam == nTimer;
        if (!bOurTimer && !RigPreTranslateMessage(&msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        bDone = cond();
    }
    KillTimer(nullptr, nTimer);
    return bDone;
}

// How the unit's own frames reached the owner window.
struct Arrival {
    size_t nGot = 0;
    size_t nInOrder = 0;
    double dLastMs = 0; // from the start to the last notification
    double Rate() const { return dLastMs > 0 ? static_cast<double>(nGot) / (dLastMs / 1000.0) : 0; }
};

// Serves messages until the owner window holds nFrames notifications, nothing new came for
// dwIdleMs (frames lost) or dwCapMs passed; then checks that the k-th is frame k.
Arrival WaitNotified(const CRecorderWnd& owner, size_t nFrames, LONGLONG llStart, DWORD dwIdleMs, DWORD dwCapMs,
                     FloodFrames frames = FloodFrames::Short)
{
    size_t nSeen = owner.notes.size();
    LONGLONG llProgress = Now();
    LONGLONG llLastNote = llStart;
    ServeUntil(
        [&] {
            const size_t n = owner.notes.size();
            if (n != nSeen) {
                nSeen = n;
                llProgress = llLastNote = Now();
            }
            return n >= nFrames || MsSince(llProgress) > dwIdleMs;
        },
        dwCapMs);
    Arrival arrival;
    arrival.nGot = owner.notes.size();
    arrival.dLastMs = MsBetween(llStart, llLastNote);
    for (size_t i = 0; i < owner.notes.size(); ++i) {
        const CRecorderWnd::Note& note = owner.notes[i];
        if (note.message == WM_SERIAL_SMP && note.text == FloodFrameText(frames, i + 1))
            ++arrival.nInOrder;
    }
    return arrival;
}

std::string DeliveryText(const Arrival& arrival, size_t nFrames)
{
    if (arrival.nGot == nFrames && arrival.nInOrder == nFrames)
        return Format("all %u notified in order", static_cast<unsigned>(nFrames));
    return Format("%u of %u notified, %u of them in their place: FRAMES LOST OR OUT OF ORDER",
                  static_cast<unsigned>(arrival.nGot), static_cast<unsigned>(nFrames), static_cast<unsigned>(arrival.nInOrder));
}

bool AllInOrder(const Arrival& arrival, size_t nFrames)
{
    return arrival.nGot == nFrames && arrival.nInOrder == nFrames;
}

// The unit's "PACE done" line from its event log: how late its writes came at most.
struct PaceReport {
    bool bDone = false;
    double dTookMs = 0;
    double dLateMs = 0;
};

PaceReport ReadPaceReport(const std::wstring& logPath)
{
    PaceReport report;
    const std::string log = ReadFileBytes(logPath);
    const size_t at = log.find("PACE done ");
    if (at == std::string::npos)
        return report;
    unsigned long ulFrames = 0;
    report.bDone = std::sscanf(log.c_str() + at, "PACE done %lu frames in %lf ms, at most %lf ms behind schedule", &ulFrames,
                               &report.dTookMs, &report.dLateMs) == 3;
    return report;
}

std::string LateText(const PaceReport& pace)
{
    return pace.bDone ? Format("%.1f ms", pace.dLateMs) : std::string("n/a (pace not finished)");
}

// Times a round trip to the user-interface thread about every 10 ms from a thread of its own.
// Stop (or the destructor) ends the thread, before the window it asks goes.
class CUiProbe {
public:
    // roundTrip asks the user-interface thread something and returns once it has answered.
    explicit CUiProbe(std::function<void()> roundTrip) : m_roundTrip(std::move(roundTrip)) {}
    CUiProbe(const CUiProbe&) = delete;
    CUiProbe& operator=(const CUiProbe&) = delete;
    ~CUiProbe()
    {
        Stop();
        if (m_hStop != nullptr)
            CloseHandle(m_hStop);
    }

    void Start()
    {
        m_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (m_hStop != nullptr)
            m_thread = std::thread([this] { Run(); });
    }

    void Stop()
    {
        if (!m_thread.joinable())
            return;
        SetEvent(m_hStop);
        // A round trip under way waits for this thread: it keeps serving its messages until
        // the probe has ended, or that round trip would be counted as the window's.
        PumpUntil([this] { return m_bEnded.load(); }, 30000);
        m_thread.join();
    }

    // After Stop: the round trips in milliseconds.
    bench::Spread Result() const { return bench::SpreadOf(m_samples); }

private:
    void Run()
    {
        do {
            const LONGLONG llStart = Now();
            m_roundTrip();
            m_samples.push_back(MsSince(llStart));
        } while (WaitForSingleObject(m_hStop, 10) == WAIT_TIMEOUT);
        m_bEnded = true;
    }

    std::function<void()> m_roundTrip;
    HANDLE m_hStop = nullptr;
    std::thread m_thread;
    std::vector<double> m_samples; // the probe's thread only, until it has ended
    std::atomic<bool> m_bEnded{false};
};

// The round trip the system makes when it checks whether a window still answers: a message
// sent to it, answered whenever the user-interface thread serves its messages.
std::function<void()> SentRoundTrip(HWND hWnd)
{
    return [hWnd] {
        DWORD_PTR dwResult = 0;
        SendMessageTimeoutW(hWnd, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &dwResult);
    };
}

// A window of the user-interface thread that a probe posts to and waits until it has handled
// the message: a posted message waits behind every message posted before it (a flood's
// reports), where a sent one does not, and the engineer's keys and the view's timer come after
// posted messages. Made on the user-interface thread.
class CPostTarget {
public:
    CPostTarget()
        : m_hHandled(CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_window([this](UINT message, WPARAM, LPARAM) {
              if (message != kProbeMessage)
                  return false;
              SetEvent(m_hHandled);
              return true;
          })
    {
    }
    CPostTarget(const CPostTarget&) = delete;
    CPostTarget& operator=(const CPostTarget&) = delete;
    ~CPostTarget()
    {
        if (m_hHandled != nullptr)
            CloseHandle(m_hHandled);
    }

    // The probe's thread: posts and waits until the window has handled it.
    void RoundTrip()
    {
        PostMessageW(m_window.Handle(), kProbeMessage, 0, 0);
        WaitForSingleObject(m_hHandled, 5000);
    }

private:
    static constexpr UINT kProbeMessage = WM_APP + 77;
    HANDLE m_hHandled; // auto-reset: set by the window, taken by the probe's thread
    CMessageWindow m_window;
};

std::string UiText(const bench::Spread& ui)
{
    return Format("median %.1f ms, max %.1f ms over %u round trips", ui.dMedian, ui.dMax, static_cast<unsigned>(ui.nSamples));
}

bool UiGoalMet(const bench::Spread& ui)
{
    return ui.nSamples > 0 && ui.dMedian <= kUiMedianGoalMs && ui.dMax <= kUiMaxGoalMs;
}

// ---------------------------------------------------------------------------------------
// Plain readers: the same bytes, read with nothing done to them.

// A client of the unit on TCP with blocking calls.
class CPlainTcp {
public:
    CPlainTcp()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~CPlainTcp()
    {
        if (m_s != INVALID_SOCKET)
            closesocket(m_s);
        WSACleanup();
    }
    CPlainTcp(const CPlainTcp&) = delete;
    CPlainTcp& operator=(const CPlainTcp&) = delete;

    bool Connect(int nPort)
    {
        m_s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (m_s == INVALID_SOCKET)
            return false;
        // A unit that stops sending must not hold the bench for ever.
        DWORD dwTimeoutMs = 15000;
        setsockopt(m_s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&dwTimeoutMs), sizeof(dwTimeoutMs));
        BOOL bNoDelay = TRUE;
        setsockopt(m_s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay), sizeof(bNoDelay));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(m_s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }
    bool Write(const std::string& bytes)
    {
        return send(m_s, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }
    // Reads until nBytes have come, handing each piece to sink when given; false when the
    // link ended or went quiet first.
    bool ReadBytes(size_t nBytes, const std::function<void(const char*, size_t)>& sink = nullptr)
    {
        size_t nGot = 0;
        while (nGot < nBytes) {
            const int n = recv(m_s, m_buffer, static_cast<int>(std::min(sizeof(m_buffer), nBytes - nGot)), 0);
            if (n <= 0)
                return false;
            if (sink)
                sink(m_buffer, static_cast<size_t>(n));
            nGot += static_cast<size_t>(n);
        }
        return true;
    }

private:
    SOCKET m_s = INVALID_SOCKET;
    char m_buffer[65536];
};

// The program's end of the COM pair, with blocking reads that return once the bytes asked
// for have come.
class CPlainSerial {
public:
    ~CPlainSerial()
    {
        if (m_h != INVALID_HANDLE_VALUE)
            CloseHandle(m_h);
    }
    bool Open(int nPort)
    {
        const std::wstring name = L"\\\\.\\COM" + Num(nPort);
        m_h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (m_h == INVALID_HANDLE_VALUE)
            return false;
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        GetCommState(m_h, &dcb);
        dcb.BaudRate = kBaud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        SetCommState(m_h, &dcb);
        COMMTIMEOUTS timeouts{};
        timeouts.ReadTotalTimeoutConstant = 15000;
        timeouts.WriteTotalTimeoutConstant = 5000;
        SetCommTimeouts(m_h, &timeouts);
        PurgeComm(m_h, PURGE_RXCLEAR | PURGE_TXCLEAR);
        return true;
    }
    bool Write(const std::string& bytes)
    {
        DWORD dwWritten = 0;
        return WriteFile(m_h, bytes.data(), static_cast<DWORD>(bytes.size()), &dwWritten, nullptr) && dwWritten == bytes.size();
    }
    bool ReadBytes(size_t nBytes, const std::function<void(const char*, size_t)>& sink = nullptr)
    {
        size_t nGot = 0;
        while (nGot < nBytes) {
            DWORD dwRead = 0;
            const DWORD dwAsk = static_cast<DWORD>(std::min(sizeof(m_buffer), nBytes - nGot));
            if (!ReadFile(m_h, m_buffer, dwAsk, &dwRead, nullptr) || dwRead == 0)
                return false;
            if (sink)
                sink(m_buffer, dwRead);
            nGot += dwRead;
        }
        return true;
    }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
    char m_buffer[65536];
};

// A plain reader on the link: the command that starts the unit's frames, then every byte
// that follows. Returns the milliseconds from the command to the last byte, or 0 when they
// did not all come.
double PlainReadAll(Link link, int nTcpPort, const std::string& command, size_t nBytes)
{
    if (link == Link::Tcp) {
        CPlainTcp reader;
        if (!reader.Connect(nTcpPort))
            return 0;
        const LONGLONG llStart = Now();
        return reader.Write(command) && reader.ReadBytes(nBytes) ? MsSince(llStart) : 0;
    }
    CPlainSerial reader;
    if (!reader.Open(ProgramComPort()))
        return 0;
    const LONGLONG llStart = Now();
    return reader.Write(command) && reader.ReadBytes(nBytes) ? MsSince(llStart) : 0;
}

// The contract's floor: the same bytes read as the receive thread reads them, and for each
// frame exactly what the contracts ask and nothing more: one debug-output line in the
// trace's layout, and one posted notification carrying its own heap copy of the frame to a
// window on another thread, which frees it (at most 128 waiting for that window, as the
// program's flow allows). What the program does beyond that is its own cost.
class CFloorWindow {
public:
    CFloorWindow()
    {
        m_hReady = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_hRoom = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        m_hThread = CreateThread(nullptr, 0, &CFloorWindow::Run, this, 0, nullptr);
        WaitForSingleObject(m_hReady, 10000);
    }
    ~CFloorWindow()
    {
        if (m_hWnd != nullptr)
            PostMessageW(m_hWnd, WM_CLOSE, 0, 0);
        // The window's thread ends before its object goes.
        if (m_hThread != nullptr) {
            WaitForSingleObject(m_hThread, 10000);
            CloseHandle(m_hThread);
        }
        CloseHandle(m_hReady);
        CloseHandle(m_hRoom);
    }
    CFloorWindow(const CFloorWindow&) = delete;
    CFloorWindow& operator=(const CFloorWindow&) = delete;

    // Reader thread: one frame's notification, waiting while the window is 128 behind.
    void Notify(const wchar_t* lpFrame, size_t nChars)
    {
        while (m_nOutstanding.load() >= 128)
            WaitForSingleObject(m_hRoom, 100);
        wchar_t* pCopy = new wchar_t[nChars + 1];
        wmemcpy(pCopy, lpFrame, nChars);
        pCopy[nChars] = L'\0';
        m_nOutstanding.fetch_add(1);
        PostMessageW(m_hWnd, WM_APP + 1, 0, reinterpret_cast<LPARAM>(pCopy));
    }
    size_t Freed() const { return m_nFreed.load(); }

private:
    static DWORD WINAPI Run(void* pParam)
    {
        CFloorWindow* pThis = static_cast<CFloorWindow*>(pParam);
        pThis->m_hWnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetEvent(pThis->m_hReady);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_APP + 1) {
                delete[] reinterpret_cast<wchar_t*>(msg.lParam);
                pThis->m_nFreed.fetch_add(1);
                if (pThis->m_nOutstanding.fetch_sub(1) == 64)
                    SetEvent(pThis->m_hRoom);
            } else if (msg.message == WM_CLOSE) {
                DestroyWindow(pThis->m_hWnd);
                break;
            } else {
                DispatchMessageW(&msg);
            }
        }
        return 0;
    }

    HANDLE m_hReady = nullptr;
    HANDLE m_hRoom = nullptr;
    HANDLE m_hThread = nullptr;
    HWND m_hWnd = nullptr;                 // written by the window's thread before m_hReady
    std::atomic<long> m_nOutstanding{0};   // raised by the reader, lowered by the window's thread
    std::atomic<size_t> m_nFreed{0};       // the window's thread
};

// Cuts frames by their brackets from the bytes and gives each to the floor's notification,
// after its trace line.
class CFloorCutter {
public:
    explicit CFloorCutter(CFloorWindow& window) : m_window(window) {}
    void Feed(const char* pBytes, size_t nBytes)
    {
        for (size_t i = 0; i < nBytes; ++i) {
            const wchar_t ch = static_cast<unsigned char>(pBytes[i]);
            if (ch == L'[') {
                m_nChars = 0;
                m_bIn = true;
            }
            if (!m_bIn || m_nChars >= 255)
                continue;
            m_szFrame[m_nChars++] = ch;
            if (ch == L']') {
                m_szFrame[m_nChars] = L'\0';
                wchar_t szLine[320];
                _snwprintf(szLine, 319, L"[%-40s: %-5d]:_COM_R_: %s\n", L"CFrameRouter::OnFrame", 100, m_szFrame);
                szLine[319] = L'\0';
                OutputDebugStringW(szLine);
                m_window.Notify(m_szFrame, m_nChars);
                m_bIn = false;
            }
        }
    }

private:
    CFloorWindow& m_window;
    wchar_t m_szFrame[260] = {};
    size_t m_nChars = 0;
    bool m_bIn = false;
};

// The contract's floor on the link: frames per second from the command to the last frame's
// copy freed by its window, or 0 when they did not all come.
double FloorReadAll(Link link, int nTcpPort, const std::string& command, size_t nBytes, size_t nFrames)
{
    CFloorWindow window;
    CFloorCutter cutter(window);
    const auto feed = [&](const char* p, size_t n) { cutter.Feed(p, n); };
    bool bRead = false;
    const LONGLONG llStart = Now();
    if (link == Link::Tcp) {
        CPlainTcp reader;
        bRead = reader.Connect(nTcpPort) && reader.Write(command) && reader.ReadBytes(nBytes, feed);
    } else {
        CPlainSerial reader;
        bRead = reader.Open(ProgramComPort()) && reader.Write(command) && reader.ReadBytes(nBytes, feed);
    }
    // The answer to the command is a frame too.
    while (bRead && window.Freed() < nFrames + 1 && MsSince(llStart) < 180000)
        Sleep(1);
    const double dMs = MsSince(llStart);
    return bRead && window.Freed() >= nFrames + 1 && dMs > 0 ? static_cast<double>(nFrames) / (dMs / 1000.0) : 0;
}

// The answer to "[SPL_GO__]", ahead of the unit's frames.
const size_t kGoAnswerBytes = std::string("[EPL_GO___001]\r\n").size();

std::wstring FloodScenario(size_t nFrames)
{
    return L"--flood-after-command 1 " + Num(static_cast<long long>(nFrames)) + L" " + kFramePattern;
}

std::wstring PaceScenario(size_t nFrames, int nRate)
{
    return L"--pace-after-command 1 " + Num(static_cast<long long>(nFrames)) + L" " + Num(nRate) + L" " + kFramePattern;
}

// ---------------------------------------------------------------------------------------
// Flood

double PlainFloodRate(Link link, size_t nFrames)
{
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, link, nPort, FloodScenario(nFrames), L""))
        return 0;
    const double dMs = PlainReadAll(link, nPort, "[SPL_GO__]\r\n", kGoAnswerBytes + nFrames * kFrameBytes);
    return dMs > 0 ? static_cast<double>(nFrames) / (dMs / 1000.0) : 0;
}

double FloorFloodRate(Link link, size_t nFrames)
{
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, link, nPort, FloodScenario(nFrames), L""))
        return 0;
    return FloorReadAll(link, nPort, "[SPL_GO__]\r\n", kGoAnswerBytes + nFrames * kFrameBytes, nFrames);
}

struct FloodResult {
    bool bRan = false;
    Arrival arrival;
    bench::Spread ui;
    bench::Spread posted;
    bool bSessionRecord = false;
    unsigned long long nSessionWritten = 0;
    unsigned long long nSessionDropped = 0;
};

// The program takes a flood of nFrames with its console shown; with bProbe the probes
// measure the user-interface thread meanwhile (a sent message and a posted one).
FloodResult ProgramFlood(Link link, size_t nFrames, bool bProbe, FloodFrames frames = FloodFrames::Short,
                         bool bShowConsole = true, bool bRecord = true)
{
    FloodResult result;
    CProgramSession session(link);
    if (!session.Begin(L"--flood-after-command 1 " + Num(static_cast<long long>(nFrames)) + L" " + FloodPattern(frames), L"",
                       bShowConsole, bRecord))
        return result;
    CPostTarget target;
    CUiProbe probe(SentRoundTrip(session.Console()));
    CUiProbe posted([&target] { target.RoundTrip(); });
    if (bProbe) {
        probe.Start();
        posted.Start();
    }
    const LONGLONG llStart = Now();
    session.comm->SendData(L"[SPL_GO__]", nullptr, enRECV_NONE, false);
    result.arrival = WaitNotified(session.owner, nFrames, llStart, 5000, 180000, frames);
    probe.Stop();
    posted.Stop();
    result.ui = probe.Result();
    result.posted = posted.Result();
    result.bRan = true;
    session.End();
    result.bSessionRecord = session.bSessionRecord;
    result.nSessionWritten = session.nSessionWritten;
    result.nSessionDropped = session.nSessionDropped;
    return result;
}

void FloodSection(size_t nFrames)
{
    Say("\n-- Flood: %u unsolicited frames of 16 bytes as fast as the link takes them; each shown in the console (window "
        "shown), traced and notified to the owner window; no debug-output listener\n",
        static_cast<unsigned>(nFrames));
    for (Link link : {Link::Tcp, Link::Serial}) {
        const double dPlain = PlainFloodRate(link, nFrames);
        const double dFloor = FloorFloodRate(link, nFrames);
        const FloodResult program = ProgramFlood(link, nFrames, false);
        const double dRate = program.arrival.Rate();
        const bool bMet = program.bRan && dRate >= kLineRateFrames && dRate >= 0.8 * dFloor && AllInOrder(program.arrival, nFrames);
        Say("%s: program %.0f frames/s (%s), contract floor %.0f frames/s (program %.2f of it), plain reader %.0f frames/s; "
            "goal >= %d/s and >= 0.8 of the floor, nothing lost: %s\n",
            Name(link), dRate, program.bRan ? DeliveryText(program.arrival, nFrames).c_str() : "link not opened", dFloor,
            dFloor > 0 ? dRate / dFloor : 0.0, dPlain, kLineRateFrames, Verdict(bMet));
        Figure(Format("flood.%s.floor", Key(link)).c_str(), Format("flood %s, contract-floor reader frames/s", Name(link)),
               Format("%.0f", dFloor));
        Figure(Format("flood.%s.ratio", Key(link)).c_str(), Format("flood %s, program / contract floor", Name(link)),
               Format("%.2f", dFloor > 0 ? dRate / dFloor : 0.0), ">= 0.80");
        Figure(Format("flood.%s", Key(link)).c_str(), Format("flood %s, frames/s", Name(link)),
               Format("%.0f%s", dRate, AllInOrder(program.arrival, nFrames) ? "" : " (LOST)"), ">= 5760");
        Figure(Format("flood.%s.plain", Key(link)).c_str(), Format("flood %s, plain reader frames/s", Name(link)),
               Format("%.0f", dPlain));
        // What the console's view and the session record cost the flood: the same with the
        // console hidden, and hidden without a session record.
        const FloodResult hidden = ProgramFlood(link, nFrames, false, FloodFrames::Short, false);
        const FloodResult bare = ProgramFlood(link, nFrames, false, FloodFrames::Short, false, false);
        Say("%s, console hidden: %.0f frames/s (%s); hidden and no session record: %.0f frames/s (%s)\n", Name(link),
            hidden.arrival.Rate(), hidden.bRan ? DeliveryText(hidden.arrival, nFrames).c_str() : "link not opened",
            bare.arrival.Rate(), bare.bRan ? DeliveryText(bare.arrival, nFrames).c_str() : "link not opened");
        Figure(Format("flood.%s.hidden", Key(link)).c_str(), Format("flood %s, console hidden, frames/s", Name(link)),
               Format("%.0f", hidden.arrival.Rate()));
        Figure(Format("flood.%s.bare", Key(link)).c_str(), Format("flood %s, console hidden, no session record, frames/s", Name(link)),
               Format("%.0f", bare.arrival.Rate()));
        if (program.bSessionRecord) {
            // The session record's writer kept up when it dropped nothing at the flood's rate.
            Say("%s: session record %.1f MB written, %llu bytes dropped; goal: nothing dropped at >= %d frames/s: %s\n",
                Name(link), static_cast<double>(program.nSessionWritten) / 1e6, program.nSessionDropped, kLineRateFrames,
                Verdict(program.nSessionDropped == 0 && program.nSessionWritten > 0 && dRate >= kLineRateFrames));
            Figure(Format("flood.%s.record", Key(link)).c_str(), Format("flood %s, session record bytes dropped", Name(link)),
                   Format("%llu of %llu", program.nSessionDropped, program.nSessionDropped + program.nSessionWritten), "0");
        }
    }
}

// ---------------------------------------------------------------------------------------
// Paced

struct PacedResult {
    bool bRan = false;
    Arrival arrival;
    bool bBacklogKnown = false;
    size_t nBacklog = 0;
    PaceReport pace;
};

PacedResult ProgramPaced(Link link, size_t nFrames, int nRate)
{
    PacedResult result;
    const std::wstring log = MakeScratchDir(L"benchpace") + L"unit.log";
    {
        CProgramSession session(link);
        if (!session.Begin(PaceScenario(nFrames, nRate), log))
            return result;
        const LONGLONG llStart = Now();
        session.comm->SendData(L"[SPL_GO__]", nullptr, enRECV_NONE, false);
        const DWORD dwCapMs = static_cast<DWORD>(1000.0 * static_cast<double>(nFrames) / nRate) + 60000;
        result.arrival = WaitNotified(session.owner, nFrames, llStart, 5000, dwCapMs);
        // Read before the close: the figure belongs to the link session.
        result.bBacklogKnown = benchcompat::MaxReceiveBacklog(session.comm, result.nBacklog);
        session.End();
        session.unit.Stop();
        result.bRan = true;
    }
    result.pace = ReadPaceReport(log);
    return result;
}

PaceReport PlainPaced(Link link, size_t nFrames, int nRate)
{
    const std::wstring log = MakeScratchDir(L"benchpaceplain") + L"unit.log";
    {
        SimUnitProcess unit;
        int nPort = 0;
        if (!StartUnit(unit, link, nPort, PaceScenario(nFrames, nRate), log))
            return PaceReport{};
        PlainReadAll(link, nPort, "[SPL_GO__]\r\n", kGoAnswerBytes + nFrames * kFrameBytes);
        unit.Stop();
    }
    return ReadPaceReport(log);
}

bool BufferFull(Link link, const PacedResult& paced)
{
    return link == Link::Serial && paced.bBacklogKnown && paced.nBacklog >= kPtyInputBytes;
}

std::string BacklogText(Link link, const PacedResult& paced)
{
    if (!paced.bBacklogKnown)
        return "n/a";
    return Format("%u bytes%s", static_cast<unsigned>(paced.nBacklog), BufferFull(link, paced) ? " (buffer full)" : "");
}

std::string BacklogVerdict(Link link, const PacedResult& paced)
{
    if (!paced.bBacklogKnown)
        return "n/a";
    if (BufferFull(link, paced))
        return "not met: the pseudo-terminal's whole 4095-byte buffer was waiting, so the unit was held up and a real "
               "port's buffer would have overflowed";
    return Verdict(paced.nBacklog <= kPortInputBytes);
}

void PacedSection()
{
    const int nRate = kLineRateFrames;
    const size_t nFrames = static_cast<size_t>(nRate) * 5;
    Say("\n-- Paced: the unit sends %u frames at %d frames/s (the 921 600-baud line rate) for 5 s; console shown\n",
        static_cast<unsigned>(nFrames), nRate);
    for (Link link : {Link::Tcp, Link::Serial}) {
        const PaceReport plain = PlainPaced(link, nFrames, nRate);
        const PacedResult program = ProgramPaced(link, nFrames, nRate);
        Say("%s: receive backlog at most %s (goal <= %u bytes: %s); unit at most %s behind schedule (with a plain reader "
            "%s); %s\n",
            Name(link), BacklogText(link, program).c_str(), static_cast<unsigned>(kPortInputBytes),
            BacklogVerdict(link, program).c_str(), LateText(program.pace).c_str(), LateText(plain).c_str(),
            program.bRan ? DeliveryText(program.arrival, nFrames).c_str() : "link not opened");
        Figure(Format("paced.%s.backlog", Key(link)).c_str(), Format("paced %s, receive backlog", Name(link)),
               BacklogText(link, program), "<= 4096 bytes");
        Figure(Format("paced.%s.late", Key(link)).c_str(), Format("paced %s, unit behind schedule", Name(link)),
               LateText(program.pace));
        Figure(Format("paced.%s.late.plain", Key(link)).c_str(),
               Format("paced %s, unit behind schedule, plain reader", Name(link)), LateText(plain));
        Figure(Format("paced.%s.notified", Key(link)).c_str(), Format("paced %s, frames notified in order", Name(link)),
               Format("%u of %u", static_cast<unsigned>(program.arrival.nInOrder), static_cast<unsigned>(nFrames)), "all");
    }
}

// ---------------------------------------------------------------------------------------
// Trace capture attached

struct TraceResult {
    bool bRan = false;
    PacedResult paced;
    size_t nTraceLines = 0;    // lines with the frames' text and the receive tag
    size_t nTracedFrames = 0;  // different frames among them
};

TraceResult TracedPaced(Link link, size_t nFrames, int nRate)
{
    TraceResult result;
    const std::wstring dir = MakeScratchDir(L"benchtrace");
    const std::wstring tag = Num(GetCurrentProcessId()) + (link == Link::Tcp ? L"_tcp" : L"_com");
    const std::wstring readyName = L"RigBenchTraceReady_" + tag;
    const std::wstring stopName = L"RigBenchTraceStop_" + tag;
    HANDLE hReady = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE hStop = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
    {
        ChildProcess capture;
        if (hReady != nullptr && hStop != nullptr &&
            capture.Start(L"\"" + BinDir() + L"TraceCapture.exe\" --pid " + Num(GetCurrentProcessId()) + L" --out \"" + dir +
                          L"trace.txt\" --ready-event " + readyName + L" --stop-event " + stopName) &&
            WaitForSingleObject(hReady, 30000) == WAIT_OBJECT_0) {
            result.paced = ProgramPaced(link, nFrames, nRate);
            result.bRan = result.paced.bRan;
        }
        // The capture takes what is still on its way, then ends.
        SetEvent(hStop);
        capture.WaitExit(15000);
    }
    CloseHandle(hReady);
    CloseHandle(hStop);

    const std::string trace = ReadFileBytes(dir + L"trace.txt");
    std::vector<bool> seen(nFrames + 1, false);
    size_t nLineStart = 0;
    while (nLineStart < trace.size()) {
        size_t nLineEnd = trace.find('\n', nLineStart);
        if (nLineEnd == std::string::npos)
            nLineEnd = trace.size();
        const std::string line = trace.substr(nLineStart, nLineEnd - nLineStart);
        nLineStart = nLineEnd + 1;
        const size_t at = line.find("[SMP_F_");
        if (line.find(":_COM_R_:") == std::string::npos || at == std::string::npos)
            continue;
        ++result.nTraceLines;
        const unsigned long ulFrame = std::strtoul(line.c_str() + at + 7, nullptr, 10);
        if (ulFrame >= 1 && ulFrame <= nFrames && !seen[ulFrame]) {
            seen[ulFrame] = true;
            ++result.nTracedFrames;
        }
    }
    return result;
}

void TraceSection()
{
    const int nRate = 720;
    const size_t nFrames = 3600;
    Say("\n-- Trace capture attached (TraceCapture listening to this process): the unit sends %u frames at %d frames/s; "
        "console shown\n",
        static_cast<unsigned>(nFrames), nRate);
    for (Link link : {Link::Tcp, Link::Serial}) {
        const TraceResult traced = TracedPaced(link, nFrames, nRate);
        const PacedResult& paced = traced.paced;
        const bool bKeptUp = traced.bRan && AllInOrder(paced.arrival, nFrames) && paced.pace.bDone &&
                             paced.pace.dLateMs <= kUnitOnTimeMs;
        const bool bAllTraced = traced.nTraceLines == nFrames && traced.nTracedFrames == nFrames;
        Say("%s: %s; unit at most %s behind schedule; receive backlog at most %s; goal all notified and the unit at most %.0f "
            "ms behind: %s\n",
            Name(link), traced.bRan ? DeliveryText(paced.arrival, nFrames).c_str() : "capture or link not started",
            LateText(paced.pace).c_str(), BacklogText(link, paced).c_str(), kUnitOnTimeMs, Verdict(bKeptUp));
        Say("%s: the capture holds %u receive trace lines of the frames (%u different frames) for %u frames sent; goal every "
            "frame's line: %s\n",
            Name(link), static_cast<unsigned>(traced.nTraceLines), static_cast<unsigned>(traced.nTracedFrames),
            static_cast<unsigned>(nFrames), Verdict(bAllTraced));
        Figure(Format("trace.%s.notified", Key(link)).c_str(), Format("trace attached %s, frames notified in order", Name(link)),
               Format("%u of %u", static_cast<unsigned>(paced.arrival.nInOrder), static_cast<unsigned>(nFrames)), "all");
        Figure(Format("trace.%s.late", Key(link)).c_str(), Format("trace attached %s, unit behind schedule", Name(link)),
               LateText(paced.pace), "<= 50 ms");
        Figure(Format("trace.%s.lines", Key(link)).c_str(), Format("trace attached %s, frames' trace lines captured", Name(link)),
               Format("%u of %u", static_cast<unsigned>(traced.nTraceLines), static_cast<unsigned>(nFrames)), "all");
    }
}

// ---------------------------------------------------------------------------------------
// Answered commands

// Two words the unit answers at once, one after the other.
const wchar_t* CommandText(int i)
{
    return i % 2 ? L"[SPL_PANO]" : L"[SPM_CEPH]";
}

const char* CommandBytes(int i)
{
    return i % 2 ? "[SPL_PANO]\r\n" : "[SPM_CEPH]\r\n";
}

struct CommandsResult {
    double dRate = 0;
    int nDone = 0;      // commands answered or timed out, in order
    int nAnswered = 0;
    int nTimedOut = 0;
    bool bCut = false;  // the time ran out before all were sent
    double dInnerMs = 0; // median of the program's own round trips: its command's last byte out to its answer in
};

// A program that answers slowly is measured over the commands done within this time.
constexpr double kCommandsCapMs = 40000;

CommandsResult ProgramCommands(Link link, int nCommands, bool bShowConsole)
{
    CommandsResult result;
    CProgramSession session(link);
    if (!session.Begin(L"", L"", bShowConsole))
        return result;
    const LONGLONG llStart = Now();
    int i = 0;
    for (; i < nCommands && MsSince(llStart) < kCommandsCapMs; ++i) {
        session.comm->SendData(CommandText(i), &session.reply, enRECV_COMMAND, false);
        if (!ServeUntil([&] { return session.reply.notes.size() == static_cast<size_t>(i + 1); }, 10000))
            break;
    }
    const double dMs = MsSince(llStart);
    for (const CRecorderWnd::Note& note : session.reply.notes)
        (note.kind == enRECV_TIMEOUT ? result.nTimedOut : result.nAnswered) += 1;
    result.nDone = static_cast<int>(session.reply.notes.size());
    result.bCut = i < nCommands && result.nDone == i;
#if RIG_BENCH_SESSION_RECORD
    // Where the time of a command goes: the part between the link's bytes, as the program
    // itself measures it for each answer.
    std::vector<CConsoleRecord::Line> lines;
    session.comm->GetRecord().Copy(0, CConsoleRecord::kKeptLines, lines);
    std::vector<double> inner;
    for (const CConsoleRecord::Line& line : lines)
        if (line.llRoundTripUs >= 0)
            inner.push_back(static_cast<double>(line.llRoundTripUs) / 1000.0);
    result.dInnerMs = bench::SpreadOf(inner).dMedian;
#endif
    if (result.nDone == i && i > 0)
        result.dRate = i / (dMs / 1000.0);
    return result;
}

// One command after the other through a plain client: the unit's and the link's own pace.
double PlainCommands(Link link, int nCommands)
{
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, link, nPort, L"", L""))
        return 0;
    auto run = [&](auto& reader) {
        const LONGLONG llStart = Now();
        for (int i = 0; i < nCommands; ++i) {
            // "[EPL_PANO_001]" or "[EPM_CEPH_001]" and CR LF.
            if (!reader.Write(CommandBytes(i)) || !reader.ReadBytes(16))
                return 0.0;
        }
        return nCommands / (MsSince(llStart) / 1000.0);
    };
    if (link == Link::Tcp) {
        CPlainTcp reader;
        return reader.Connect(nPort) ? run(reader) : 0;
    }
    CPlainSerial reader;
    return reader.Open(ProgramComPort()) ? run(reader) : 0;
}

void CommandsSection(int nCommands)
{
    Say("\n-- Answered commands: %d commands, each sent when the last was answered (SendData with enRECV_COMMAND, the "
        "answer to a reply window), the unit answering at once; with the console hidden (as the engineer works in the "
        "main window; the goal) and shown\n",
        nCommands);
    for (Link link : {Link::Tcp, Link::Serial}) {
        const double dPlain = PlainCommands(link, nCommands);
        for (bool bShown : {false, true}) {
            const CommandsResult program = ProgramCommands(link, nCommands, bShown);
            const bool bGoal = link == Link::Tcp && !bShown;
            const std::string goal = bGoal ? Format("goal >= 500/s: %s", Verdict(program.dRate >= 500)) : std::string("no goal");
            const std::string cut = program.bCut ? Format(", cut after %.0f s", kCommandsCapMs / 1000.0) : std::string();
            const char* lpConsole = bShown ? "console shown" : "console hidden";
            Say("%s, %s: program %.0f answered commands/s (%d answered, %d timed out%s), plain client %.0f/s; %s\n", Name(link),
                lpConsole, program.dRate, program.nAnswered, program.nTimedOut, cut.c_str(), dPlain, goal.c_str());
            // A command's whole cycle beside the part the program measures between the bytes.
            if (program.dRate > 0 && dPlain > 0) {
                Say("%s, %s: a command's cycle %.2f ms (plain client %.2f ms, so the program adds %.2f ms); of it, from its last "
                    "byte out to its answer in (the program's own round trip), median %.2f ms\n",
                    Name(link), lpConsole, 1000.0 / program.dRate, 1000.0 / dPlain, 1000.0 / program.dRate - 1000.0 / dPlain,
                    program.dInnerMs);
                Figure(Format("commands.%s%s.added", Key(link), bShown ? ".shown" : "").c_str(),
                       Format("commands %s, %s, ms the program adds to a cycle", Name(link), lpConsole),
                       Format("%.2f ms (round trip between the bytes %.2f ms)", 1000.0 / program.dRate - 1000.0 / dPlain,
                              program.dInnerMs),
                       bShown ? "" : "<= 1 ms");
            }
            Figure(Format("commands.%s%s", Key(link), bShown ? ".shown" : "").c_str(),
                   Format("commands %s, %s, answered/s", Name(link), lpConsole), Format("%.0f", program.dRate),
                   bGoal ? ">= 500" : "");
        }
        Figure(Format("commands.%s.plain", Key(link)).c_str(), Format("commands %s, plain client/s", Name(link)),
               Format("%.0f", dPlain));
    }
}

// ---------------------------------------------------------------------------------------
// Responsiveness of the user-interface thread

struct XoffResult {
    bool bRan = false;
    bench::Spread ui;
    double dLongestSendMs = 0;
    int nSent = 0;
    int nAnswered = 0;
    int nTimedOut = 0;
    double dHeldMs = 0; // from the XOFF to the last answer
};

// The unit holds XOFF for 3 s after its first answer; meanwhile this thread sends five
// commands, 400 ms apart, and keeps serving its messages in between.
XoffResult XoffHold()
{
    XoffResult result;
    const std::wstring log = MakeScratchDir(L"benchxoff") + L"unit.log";
    CProgramSession session(Link::Serial);
    if (!session.Begin(L"--xoff-after-command 1 3000", log))
        return result;
    CUiProbe probe(SentRoundTrip(session.Console()));
    probe.Start();
    session.comm->SendData(L"[SPM_CEPH]", &session.reply, enRECV_COMMAND, false);
    PumpUntil([&] { return !session.reply.notes.empty(); }, 10000);
    // The XOFF leaves right after the answer; the hold runs from the unit's log line on.
    PumpUntil([&] { return ReadFileBytes(log).find("XOFF sent") != std::string::npos; }, 2000);
    const LONGLONG llHold = Now();
    PumpFor(150);
    const int nHoldCommands = 5;
    for (int i = 0; i < nHoldCommands; ++i) {
        const LONGLONG llStart = Now();
        if (session.comm->SendData(L"[SPM_CEPH]", &session.reply, enRECV_COMMAND, false))
            ++result.nSent;
        result.dLongestSendMs = std::max(result.dLongestSendMs, MsSince(llStart));
        const double dNextMs = 150.0 + 400.0 * (i + 1);
        PumpUntil([&] { return MsSince(llHold) >= dNextMs; }, 5000);
    }
    // The commands leave once the unit sends XON, and are answered one by one.
    PumpUntil([&] { return session.reply.notes.size() >= static_cast<size_t>(1 + nHoldCommands); }, 20000);
    result.dHeldMs = MsSince(llHold);
    probe.Stop();
    result.ui = probe.Result();
    for (size_t i = 1; i < session.reply.notes.size(); ++i)
        (session.reply.notes[i].kind == enRECV_TIMEOUT ? result.nTimedOut : result.nAnswered) += 1;
    result.bRan = true;
    return result;
}

void UiSection(size_t nFrames)
{
    Say("\n-- User-interface thread: a probe thread sends WM_NULL to the console (SendMessageTimeout) about every 10 ms and "
        "times the round trip, and another posts a message to a window of that thread and times until it is handled (a "
        "posted message waits behind the flood's reports); goal median <= %.0f ms and max <= %.0f ms\n",
        kUiMedianGoalMs, kUiMaxGoalMs);
    for (Link link : {Link::Tcp, Link::Serial}) {
        // Short status frames, then long ones (fewer: a tenth as many, some 250 bytes each).
        for (FloodFrames frames : {FloodFrames::Short, FloodFrames::Long}) {
            const bool bLong = frames == FloodFrames::Long;
            const size_t nCount = bLong ? nFrames / 10 : nFrames;
            const FloodResult flood = ProgramFlood(link, nCount, true, frames);
            Say("%s, during a flood of %u %s frames (%.0f frames/s, %s): sent %s; posted %s; goal: %s\n", Name(link),
                static_cast<unsigned>(nCount), bLong ? "254-byte" : "16-byte", flood.arrival.Rate(),
                flood.bRan ? DeliveryText(flood.arrival, nCount).c_str() : "link not opened", UiText(flood.ui).c_str(),
                UiText(flood.posted).c_str(), Verdict(UiGoalMet(flood.ui) && UiGoalMet(flood.posted)));
            const char* lpWhich = bLong ? "longflood" : "flood";
            const std::string what = bLong ? "flood of long frames" : "flood";
            Figure(Format("ui.%s.%s", lpWhich, Key(link)).c_str(), Format("UI round trip during %s %s", what.c_str(), Name(link)),
                   Format("median %.1f ms, max %.1f ms", flood.ui.dMedian, flood.ui.dMax), "<= 50 / <= 200 ms");
            Figure(Format("ui.%s.%s.posted", lpWhich, Key(link)).c_str(),
                   Format("posted message's wait during %s %s", what.c_str(), Name(link)),
                   Format("median %.1f ms, max %.1f ms", flood.posted.dMedian, flood.posted.dMax), "<= 50 / <= 200 ms");
        }
    }
    const XoffResult xoff = XoffHold();
    Say("COM pair, unit holding XOFF for 3000 ms while this thread sends 5 commands: %s; goal: %s; longest SendData call "
        "%.1f ms; %d of 5 answered and %d timed out within %.0f ms of the XOFF\n",
        UiText(xoff.ui).c_str(), Verdict(UiGoalMet(xoff.ui)), xoff.dLongestSendMs, xoff.nAnswered, xoff.nTimedOut, xoff.dHeldMs);
    Figure("ui.xoff", "UI round trip during an XOFF hold (COM)", Format("median %.1f ms, max %.1f ms", xoff.ui.dMedian, xoff.ui.dMax),
           "<= 50 / <= 200 ms");
    Figure("ui.xoff.send", "longest SendData during an XOFF hold (COM)", Format("%.1f ms", xoff.dLongestSendMs));
}

// ---------------------------------------------------------------------------------------
// Answer time-outs

void TimeOutSection(int nSamples)
{
    Say("\n-- Answer time-outs: [SPL_CSON] to a unit that never answers it (time-out 3000 ms), TCP\n");
    SimUnitProcess unit;
    int nPort = 0;
    if (!StartUnit(unit, Link::Tcp, nPort, L"--silent CSON", L""))
        return;
    CRecorderWnd reply;
    reply.Create();
    CComm* comm = benchcompat::CreateComm(true);
    benchcompat::ConsoleOf(comm)->ShowWindow(SW_SHOW);
    std::vector<double> lateness;
    for (int i = 0; i < nSamples; ++i) {
        if (!comm->Open_Ethernet(L"127.0.0.1", nPort))
            break;
        const LONGLONG llStart = Now();
        comm->SendData(L"[SPL_CSON]", &reply, enRECV_COMMAND, false);
        if (!PumpUntil([&] { return reply.notes.size() == static_cast<size_t>(i + 1); }, 20000))
            break;
        lateness.push_back(MsSince(llStart) - 3000.0);
        // A time-out closes the link; the next round opens it again.
        PumpUntil([&] { return comm->RunningWorkerCount() == 0; }, 10000);
    }
    comm->CloseEthernet();
    delete comm;
    if (lateness.empty()) {
        Say("no time-out measured\n");
        return;
    }
    const double dMin = *std::min_element(lateness.begin(), lateness.end());
    const bench::Spread spread = bench::SpreadOf(lateness);
    Say("answer time-out lateness over %u time-outs: min %.0f ms, median %.0f ms, max %.0f ms\n",
        static_cast<unsigned>(spread.nSamples), dMin, spread.dMedian, spread.dMax);
    Figure("timeout.late", "answer time-out lateness (median / max)", Format("%.0f / %.0f ms", spread.dMedian, spread.dMax));
}

bool Wanted(const std::string& only, const char* lpSection)
{
    if (only.empty())
        return true;
    const std::string list = "," + only + ",";
    return list.find("," + std::string(lpSection) + ",") != std::string::npos;
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<int> numbers;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc)
            only = argv[++i];
        else
            numbers.push_back(std::atoi(argv[i]));
    }
    const size_t nFrames = numbers.size() > 0 && numbers[0] > 0 ? static_cast<size_t>(numbers[0]) : 20000;
    const int nCommands = numbers.size() > 1 && numbers[1] > 0 ? numbers[1] : 500;
    const int nTimeOuts = numbers.size() > 2 && numbers[2] > 0 ? numbers[2] : 10;

    Say("LinkBench: %s; COM pair at %lu baud\n", benchcompat::CoreName(), static_cast<unsigned long>(kBaud));
    if (ProgramComPort() == 0)
        Say("(no COM pair: run inside tools/wine-env.sh)\n");
    if (Wanted(only, "flood"))
        FloodSection(nFrames);
    if (Wanted(only, "paced"))
        PacedSection();
    if (Wanted(only, "trace"))
        TraceSection();
    if (Wanted(only, "commands"))
        CommandsSection(nCommands);
    if (Wanted(only, "ui"))
        UiSection(nFrames);
    if (Wanted(only, "timeouts"))
        TimeOutSection(nTimeOuts);
    return 0;
}
