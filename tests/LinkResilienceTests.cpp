// A link that survives the workshop: the port lists show the ports the system has, a port
// that vanishes and a unit that resets, closes or goes away are noticed at once, and with
// "Reconnect" on the link comes back by itself, while Close and Exit stop it at once.
// The figures printed (time to notice, time to link again) are what the engineer waits; the
// bounds asserted are generous.
#include "comm/link/PortList.h"
#include "resource.h"
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <winsock2.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

using namespace testsupport;

namespace {

constexpr DWORD kBoundMs = 30000;

std::vector<std::wstring> ItemTexts(HWND hCombo)
{
    std::vector<std::wstring> items;
    const int nCount = static_cast<int>(SendMessageW(hCombo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < nCount; ++i) {
        wchar_t szItem[64] = {};
        if (SendMessageW(hCombo, CB_GETLBTEXTLEN, i, 0) < 63)
            SendMessageW(hCombo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(szItem));
        items.push_back(szItem);
    }
    return items;
}

bool Has(const std::vector<std::wstring>& items, const std::wstring& item)
{
    return std::find(items.begin(), items.end(), item) != items.end();
}

HWND ConsoleItem(const ProgramRun& run, int nID)
{
    return GetDlgItem(run.Console(), nID);
}

// The settings with the console's "Reconnect" as given.
std::function<void(ConfigValues&)> WithReconnect(bool bReconnect)
{
    return [bReconnect](ConfigValues& cfg) { cfg.Reconnect = bReconnect ? 1 : 0; };
}

// Waits until the trace holds nCount lines with the text; returns the milliseconds it took
// from ullFrom (or -1 when they did not come).
long long WaitTraceCount(const ProgramRun& run, const std::string& text, size_t nCount, ULONGLONG ullFrom, DWORD dwBoundMs = kBoundMs)
{
    if (!PumpUntil([&] { return CountTrace(run, text, "CComm::LogWrite") >= nCount; }, dwBoundMs))
        return -1;
    return static_cast<long long>(GetTickCount64() - ullFrom);
}

bool Responsive(const ProgramRun& run)
{
    DWORD_PTR dwResult = 0;
    return SendMessageTimeoutW(run.MainWindow(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &dwResult) != 0;
}

void ExitAndExpectEveryWorkerEnded(ProgramRun& run)
{
    PostMessageW(run.MainWindow(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.Child().WaitExit(kBoundMs)) << "the program ended";
    EXPECT_EQ(0u, run.Child().ExitCode());
    EXPECT_EQ(0u, CountTrace(run, "did not end in time")) << "every worker ended";
    EXPECT_EQ(0u, CountTrace(run, "did not end within")) << "every worker ended";
}

int ThreadCount(DWORD dwPid)
{
    int nThreads = 0;
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL b = Thread32First(hSnap, &entry); b; b = Thread32Next(hSnap, &entry))
        nThreads += entry.th32OwnerProcessID == dwPid ? 1 : 0;
    CloseHandle(hSnap);
    return nThreads;
}

size_t MemoryBytes(HANDLE hProcess)
{
    // Wine reports the private bytes as 0; the page-file share holds the same.
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof(pmc);
    return GetProcessMemoryInfo(hProcess, &pmc, sizeof(pmc)) ? pmc.PagefileUsage : 0;
}

TEST(PortLists, ShowThePortsTheSystemHasAndKeepAStoredPortThatIsGone)
{
    HWND hCombo = CreateWindowExW(0, L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_POPUP, 0, 0, 120, 200, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(nullptr, hCombo);
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                             REG_OPTION_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &hKey, nullptr));
    // A USB adapter is plugged in at a number above the fixed entries.
    const wchar_t kAdapter[] = L"\\Device\\RigTestAdapter";
    const wchar_t kAdapterPort[] = L"COM42";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(hKey, kAdapter, 0, REG_SZ, reinterpret_cast<const BYTE*>(kAdapterPort), sizeof(kAdapterPort)));

    FillPortList(hCombo, 10, 12);
    std::vector<std::wstring> items = ItemTexts(hCombo);
    // The ports the test environment maps are present, and so is the adapter.
    for (int nPort : {ProgramComPort(), UnitComPort(), PulledProgramComPort(), PulledUnitComPort(), 42})
        EXPECT_TRUE(Has(items, L"COM " + std::to_wstring(nPort))) << nPort;
    // Every entry not marked absent is a device the system can name; the marked ones are not.
    for (const std::wstring& item : items) {
        const int nPort = _wtoi(item.c_str() + 4);
        wchar_t szTarget[512] = {};
        const bool bDevice = QueryDosDeviceW((L"COM" + std::to_wstring(nPort)).c_str(), szTarget, 511) != 0;
        if (nPort != 42) {
            EXPECT_EQ(bDevice, item.find(L"(absent)") == std::wstring::npos) << std::string(item.begin(), item.end());
        }
    }
    // The fixed entries stay reachable; the stored port that is not there is selected, marked.
    EXPECT_GE(items.size(), 11u);
    EXPECT_TRUE(Has(items, L"COM 0 (absent)"));
    EXPECT_TRUE(Has(items, L"COM 12 (absent)"));
    EXPECT_EQ(12, SelectedPort(hCombo));

    // The adapter is pulled: opened again, the list no longer has it; the selection stays.
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueW(hKey, kAdapter));
    RefreshPortList(hCombo, 10);
    items = ItemTexts(hCombo);
    EXPECT_FALSE(Has(items, L"COM 42"));
    EXPECT_FALSE(Has(items, L"COM 42 (absent)"));
    EXPECT_EQ(12, SelectedPort(hCombo));
    // Nothing selected stays nothing selected.
    FillPortList(hCombo, 10, -1);
    EXPECT_EQ(-1, SelectedPort(hCombo));
    RegCloseKey(hKey);
    DestroyWindow(hCombo);
}

TEST(LinkResilience, APulledComAdapterIsNoticedAndTheLinkComesBackWhenItIsPluggedIn)
{
    ProgramRun run(L"pulled_com");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::PulledCom, "", WithReconnect(true)));
    EXPECT_EQ(BST_CHECKED, SendMessageW(ConsoleItem(run, IDC_CHECK_RECONNECT), BM_GETCHECK, 0, 0)) << "the stored choice is shown";

    const std::string gone = "Link closed: COM" + std::to_string(PulledProgramComPort()) + " is gone";
    ULONGLONG ullPulled = GetTickCount64();
    ASSERT_TRUE(PullComPair(true));
    const long long llNoticeMs = WaitTraceCount(run, gone, 1, ullPulled);
    ASSERT_GE(llNoticeMs, 0) << "the vanished port is told";
    EXPECT_TRUE(Responsive(run));
    EXPECT_TRUE(run.OpenMessageBoxes().empty()) << "no error box";
    // While it is out, attempts fail and say so.
    EXPECT_GE(WaitTraceCount(run, "Reconnect attempt 1: COM", 1, 0), 0);

    const ULONGLONG ullPlugged = GetTickCount64();
    ASSERT_TRUE(PullComPair(false));
    const long long llRelinkMs = WaitTraceCount(run, "is linked again", 1, ullPlugged, 60000);
    ASSERT_GE(llRelinkMs, 0) << "the link comes back by itself";
    std::printf("[ figures  ] COM pulled: noticed after %lld ms; linked again %lld ms after it was plugged in\n", llNoticeMs,
                llRelinkMs);
    EXPECT_FALSE(IsWindowEnabled(ConsoleItem(run, IDC_BTN_OPEN)));
    EXPECT_TRUE(IsWindowEnabled(ConsoleItem(run, IDC_BTN_CLOSE)) != FALSE);

    // The link carries a command and its answer again (the unit reopens its end by itself).
    ASSERT_TRUE(unit.WaitLog("OPEN COM" + std::to_string(PulledUnitComPort()), kBoundMs));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    EXPECT_GE(WaitTraceCount(run, "[EPL_PANO_001]", 1, 0), 0);
    ExitAndExpectEveryWorkerEnded(run);
}

// While it lives, a program started tries to link again after delays of this unit
// (RIG_RECONNECT_UNIT_MS) instead of a second.
class ReconnectUnit {
public:
    explicit ReconnectUnit(DWORD dwMs) { SetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", std::to_wstring(dwMs).c_str()); }
    ~ReconnectUnit() { SetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", nullptr); }
    ReconnectUnit(const ReconnectUnit&) = delete;
    ReconnectUnit& operator=(const ReconnectUnit&) = delete;
};

TEST(LinkResilience, ATcpUnitThatResetsClosesOrGoesAwayIsNoticedAndLinkedAgain)
{
    // A unit that is lost again soon after it came back is tried after growing delays: a
    // quarter-second unit lets a 2.5 s absence see refused attempts.
    ReconnectUnit unit(250);
    ProgramRun run(L"tcp_loss");
    const std::wstring address = PrivateLoopbackAddress();
    ScriptedUnit unitA;
    ASSERT_TRUE(StartAgainstUnit(run, unitA, UnitLink::Tcp, "reset-after-command 1\n", WithReconnect(true)));

    // A reset, after the answer to the first command.
    ULONGLONG ullFrom = GetTickCount64();
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    // (Under Wine a unit's reset reaches the program as an orderly end.)
    const long long llResetMs = WaitTraceCount(run, "Link closed: the unit ", 1, ullFrom);
    ASSERT_GE(llResetMs, 0);
    ullFrom = GetTickCount64();
    const long long llRelinkResetMs = WaitTraceCount(run, "is linked again", 1, ullFrom);
    ASSERT_GE(llRelinkResetMs, 0) << "the unit still listens: the link comes back";

    // An orderly close: the unit stops.
    ullFrom = GetTickCount64();
    ASSERT_TRUE(unitA.process.Stop());
    const long long llCloseMs = WaitTraceCount(run, "Link closed: the unit ", 2, ullFrom);
    ASSERT_GE(llCloseMs, 0);
    EXPECT_TRUE(Responsive(run));

    // Another unit listens from now on; after its first answer it goes away for 2.5 s.
    ScriptedUnit unitB;
    ASSERT_TRUE(unitB.StartTcp(run, address, "vanish-after-command 1 2500\n"));
    ASSERT_GE(WaitTraceCount(run, "is linked again", 2, 0), 0) << "a unit that restarts is linked again";
    ASSERT_TRUE(unitB.WaitLog("CONNECT", kBoundMs));
    ullFrom = GetTickCount64();
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_CEPH]"));
    const long long llAwayMs = WaitTraceCount(run, "Link closed: the unit ", 3, ullFrom);
    ASSERT_GE(llAwayMs, 0);
    EXPECT_GE(CountTrace(run, "[EPL_CEPH_001]", "CComm::LogWrite"), 1u) << "the answer came before the close";
    // While it is away its connections are refused, and the attempts say so.
    ASSERT_TRUE(unitB.WaitLog("AWAY for 2500 ms", kBoundMs));
    ASSERT_TRUE(PumpUntil([&] { const std::string log = unitB.Log(); return log.find("LISTEN", log.find("AWAY")) != std::string::npos; },
                          kBoundMs));
    const ULONGLONG ullBack = GetTickCount64();
    const long long llRelinkMs = WaitTraceCount(run, "is linked again", 3, ullBack, 60000);
    ASSERT_GE(llRelinkMs, 0);
    EXPECT_GE(CountTrace(run, "not opened: ", "CComm::LogWrite"), 1u) << "a refused attempt is told";
    std::printf("[ figures  ] TCP reset noticed after %lld ms (from the command's send), linked again %lld ms later;\n"
                "[ figures  ] TCP close noticed after %lld ms; unit away 2.5 s: close noticed after %lld ms, linked again %lld ms "
                "after it listened again\n",
                llResetMs, llRelinkResetMs, llCloseMs, llAwayMs, llRelinkMs);
    EXPECT_TRUE(run.OpenMessageBoxes().empty()) << "no error box";
    ExitAndExpectEveryWorkerEnded(run);
    // The links brought back went on in the session's one record, which tells each return.
    std::vector<std::wstring> records;
    WIN32_FIND_DATAW found{};
    HANDLE hFind = FindFirstFileW((run.Folder() + L"Logs\\Session-*.log").c_str(), &found);
    for (BOOL bMore = hFind != INVALID_HANDLE_VALUE; bMore; bMore = FindNextFileW(hFind, &found))
        records.push_back(run.Folder() + L"Logs\\" + found.cFileName);
    if (hFind != INVALID_HANDLE_VALUE)
        FindClose(hFind);
    ASSERT_EQ(1u, records.size()) << "one record for the whole session";
    const std::string record = ReadFileBytes(records[0]);
    size_t nLinkedAgain = 0;
    for (size_t at = record.find("is linked again"); at != std::string::npos; at = record.find("is linked again", at + 1))
        ++nLinkedAgain;
    EXPECT_EQ(3u, nLinkedAgain);
}

TEST(LinkResilience, WithoutReconnectALostLinkStaysClosed)
{
    ProgramRun run(L"no_reconnect");
    // A unit that comes back at once: only the program's choice keeps the link closed.
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "vanish-after-command 1 0\n", WithReconnect(false)));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_GE(WaitTraceCount(run, "Link closed: the unit closed the connection", 1, GetTickCount64()), 0);
    // The first attempt would have come after a second.
    EXPECT_FALSE(PumpUntil([&] { return CountTrace(run, "Reconnect") > 0; }, 3000)) << "nothing is retried";
    EXPECT_TRUE(IsWindowEnabled(ConsoleItem(run, IDC_BTN_OPEN)) != FALSE);
    EXPECT_FALSE(IsWindowEnabled(ConsoleItem(run, IDC_BTN_CLOSE)));
    ExitAndExpectEveryWorkerEnded(run);
}

// A listener that takes no connection: its queue is filled, so a connect to it waits.
class BlackHole {
public:
    bool Open(const std::wstring& address)
    {
        WSADATA wsa;
        if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
            return false;
        m_bStarted = true;
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(20130);
        const std::string narrow(address.begin(), address.end());
        if (inet_pton(AF_INET, narrow.c_str(), &at.sin_addr) != 1)
            return false;
        m_listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        const BOOL bReuse = TRUE;
        setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&bReuse), sizeof(bReuse));
        if (bind(m_listener, reinterpret_cast<const sockaddr*>(&at), sizeof(at)) != 0 || listen(m_listener, 0) != 0)
            return false;
        for (int i = 0; i < 3; ++i) {
            SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            u_long nonBlocking = 1;
            ioctlsocket(s, FIONBIO, &nonBlocking);
            connect(s, reinterpret_cast<const sockaddr*>(&at), sizeof(at));
            m_fillers.push_back(s);
        }
        return true;
    }
    ~BlackHole()
    {
        for (SOCKET s : m_fillers)
            closesocket(s);
        if (m_listener != INVALID_SOCKET)
            closesocket(m_listener);
        if (m_bStarted)
            WSACleanup();
    }

private:
    bool m_bStarted = false;
    SOCKET m_listener = INVALID_SOCKET;
    std::vector<SOCKET> m_fillers;
};

// Reconnect attempt lines of the trace after the line at index nFrom.
size_t AttemptsAfter(const ProgramRun& run, int nFrom)
{
    const std::vector<LogLine> lines = run.Trace();
    size_t n = 0;
    for (size_t i = static_cast<size_t>(nFrom) + 1; i < lines.size(); ++i)
        if (lines[i].function == "CComm::LogWrite" && lines[i].message.find("Reconnect attempt ") != std::string::npos)
            ++n;
    return n;
}

void ShowConsole(const ProgramRun& run)
{
    PostClick(run.PageItem(IDC_BTN_SERIAL_DIALOG));
    ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(run.Console()) != FALSE; }, kBoundMs));
}

TEST(LinkResilience, CloseStopsTheAttemptsThatWereComing)
{
    // Attempts after 1, 2, 4, 8, 16 and then every 30 units of 50 ms: a few seconds hold many.
    constexpr DWORD kUnitMs = 50;
    ProgramRun run(L"reconnect_close");
    ScriptedUnit unit;
    {
        ReconnectUnit unitMs(kUnitMs);
        ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "", WithReconnect(true)));
    }
    ASSERT_NO_FATAL_FAILURE(ShowConsole(run));

    // The unit goes: refused attempts follow, each after its delay, so the third comes no
    // sooner than 1 + 2 + 4 units after the unit went, however busy the machine (less a few
    // ticks of the system's clock).
    const ULONGLONG ullGone = GetTickCount64();
    ASSERT_TRUE(unit.process.Stop());
    ASSERT_GE(WaitTraceCount(run, "Reconnect: first attempt in ", 1, 0), 0);
    const long long llThirdMs = WaitTraceCount(run, "Reconnect attempt 3: ", 1, ullGone);
    ASSERT_GE(llThirdMs, 0) << "attempts are made";
    EXPECT_EQ(1u, CountTrace(run, "Reconnect attempt 1: ", "CComm::LogWrite"));
    EXPECT_EQ(1u, CountTrace(run, "Reconnect attempt 2: ", "CComm::LogWrite"));
    EXPECT_GE(CountTrace(run, "not opened: ", "CComm::LogWrite"), 3u) << "each refused attempt says so";
    EXPECT_GE(llThirdMs, static_cast<long long>(7 * kUnitMs) - 70) << "attempts wait for their delays";
    std::printf("[ figures  ] the third attempt came %lld ms after the unit went (its delays add up to %lu ms)\n", llThirdMs,
                7 * kUnitMs);

    // Close in the wait for the next one: the countdown goes, and in the next 100 units, in
    // which at least three more attempts would have come, none does.
    ASSERT_TRUE(PumpUntil([&] { return WindowText(ConsoleItem(run, IDC_STATIC_RECONNECT)).rfind(L"again in ", 0) == 0; }, kBoundMs));
    PostClick(ConsoleItem(run, IDC_BTN_CLOSE));
    const int nStopped = run.WaitForTrace("Reconnect stopped: the link was closed", kBoundMs, "CComm::LogWrite");
    ASSERT_GE(nStopped, 0);
    EXPECT_TRUE(PumpUntil([&] { return WindowText(ConsoleItem(run, IDC_STATIC_RECONNECT)).empty(); }, kBoundMs));
    EXPECT_FALSE(PumpUntil([&] { return AttemptsAfter(run, nStopped) > 0; }, 100 * kUnitMs)) << "no attempt after Close";
    EXPECT_TRUE(IsWindowEnabled(ConsoleItem(run, IDC_BTN_OPEN)) != FALSE);

    // Linked again by hand.
    ASSERT_TRUE(unit.StartTcp(run, PrivateLoopbackAddress(), ""));
    PostClick(ConsoleItem(run, IDC_BTN_OPEN));
    ASSERT_GE(WaitTraceCount(run, "FUN_E - CComm::Open_Ethernet", 2, 0), 0);
    ExitAndExpectEveryWorkerEnded(run);
}

TEST(LinkResilience, ExitDuringAnAttemptEndsAtOnce)
{
    // Attempts three seconds apart leave the time to put a listener in the way that never
    // takes the connection: the program is ended while its attempt waits for it.
    ProgramRun run(L"reconnect_exit");
    ScriptedUnit unit;
    {
        ReconnectUnit unitMs(3000);
        ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "", WithReconnect(true)));
    }
    ASSERT_NO_FATAL_FAILURE(ShowConsole(run));
    ASSERT_TRUE(unit.process.Stop());
    ASSERT_GE(WaitTraceCount(run, "Reconnect: first attempt in 3 s", 1, 0), 0);
    BlackHole hole;
    ASSERT_TRUE(hole.Open(PrivateLoopbackAddress()));
    EXPECT_TRUE(PumpUntil([&] { return WindowText(ConsoleItem(run, IDC_STATIC_RECONNECT)).rfind(L"again in ", 0) == 0; }, kBoundMs))
        << "the countdown is shown";
    ASSERT_TRUE(PumpUntil([&] { return WindowText(ConsoleItem(run, IDC_STATIC_RECONNECT)) == L"attempt 1 ..."; }, kBoundMs));
    const ULONGLONG ullExit = GetTickCount64();
    ExitAndExpectEveryWorkerEnded(run);
    std::printf("[ figures  ] exit during a connect attempt took %llu ms\n", GetTickCount64() - ullExit);
}

TEST(LinkResilience, LossesAndReconnectsKeepMemoryAndThreadsFlat)
{
    // The unit goes away at each connect and is back at once; the schedule's unit is 1 ms
    // (a link dropped at once is tried after 1, 2, 4 ... and then every 30 units).
    // Fifty cycles here; the soak (tools/soak.sh --only reconnect) runs a thousand.
    ProgramRun run(L"reconnect_cycles");
    ScriptedUnit unit;
    {
        ReconnectUnit unitMs(1);
        ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "vanish-after-connect 0\n", WithReconnect(true)));
    }

    HANDLE hProcess = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, run.Pid());
    ASSERT_NE(nullptr, hProcess);
    constexpr size_t kWarmUp = 20;
    constexpr size_t kCycles = 50;
    const ULONGLONG ullStart = GetTickCount64();
    ASSERT_GE(WaitTraceCount(run, "is linked again", kWarmUp, ullStart, 120000), 0);
    const size_t nMemoryFrom = MemoryBytes(hProcess);
    const int nThreadsFrom = ThreadCount(run.Pid());
    const ULONGLONG ullFrom = GetTickCount64();
    ASSERT_GE(WaitTraceCount(run, "is linked again", kWarmUp + kCycles, ullStart, 120000), 0);
    const size_t nMemoryTo = MemoryBytes(hProcess);
    const int nThreadsTo = ThreadCount(run.Pid());
    const double dSeconds = (GetTickCount64() - ullFrom) / 1000.0;
    std::printf("[ figures  ] %zu lose-and-reconnect cycles in %.1f s; memory %.1f MB -> %.1f MB; threads %d -> %d\n",
                kCycles, dSeconds, nMemoryFrom / 1048576.0, nMemoryTo / 1048576.0, nThreadsFrom, nThreadsTo);
    // Fifty cycles that each kept 160 KB would break it.
    EXPECT_LT(nMemoryTo, nMemoryFrom + 8u * 1048576u) << "memory stays flat";
    // A link's own threads (receive, dispatcher, watchdog, session writer, opener) may be up at
    // one look and down at the other; a thread left behind by each cycle would be fifty.
    EXPECT_LE(nThreadsTo, nThreadsFrom + 5) << "threads stay flat";
    EXPECT_TRUE(Responsive(run));
    CloseHandle(hProcess);
    ExitAndExpectEveryWorkerEnded(run);
}

} // namespace
