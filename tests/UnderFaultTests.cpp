// The real program under a unit that misbehaves: it holds XOFF, stops reading, hangs up with
// commands waiting, or floods garbage; and an engineer who closes the link or the program
// with a full queue. Whatever the unit does, Close and Exit end (the bounds here are
// generous: the soak script measures how fast), the console shows the link as it is, and
// every console line the engineer saw reached the diagnostic log before the program ended.
#include "resource.h"
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <algorithm>

using namespace testsupport;

namespace {

// Longer than any of these exits may take: whether the program waited for the unit is told
// by the unit's log (its XON, its reading again), not by this bound.
constexpr DWORD kExitBoundMs = 30000;

HWND ConsoleItem(const ProgramRun& run, int nID)
{
    return GetDlgItem(run.Console(), nID);
}

bool WaitItemText(const ProgramRun& run, int nID, const std::wstring& text, DWORD dwTimeoutMs = 20000)
{
    return PumpUntil([&] { return WindowText(ConsoleItem(run, nID)) == text; }, dwTimeoutMs);
}

// The console shows a closed link: Open enabled, Close disabled, no command waiting.
void ExpectConsoleShowsTheLinkClosed(const ProgramRun& run)
{
    EXPECT_TRUE(PumpUntil([&] { return IsWindowEnabled(ConsoleItem(run, IDC_BTN_OPEN)) != FALSE; }, 20000)) << "Open enabled";
    EXPECT_FALSE(IsWindowEnabled(ConsoleItem(run, IDC_BTN_CLOSE))) << "Close disabled";
    EXPECT_TRUE(WaitItemText(run, IDC_EDIT_WAIT_COMMAND, L"")) << "no command shown waiting";
    EXPECT_TRUE(WaitItemText(run, IDC_EDIT_QUEUE_COUNT, L"0")) << "the queue shows empty";
}

// Asks the program to end as the system's close does and waits; the exit banner is the last
// thing the program traces, so the whole session's lines came before it.
void ExitAndExpectAllTraced(ProgramRun& run)
{
    const HWND hMain = run.MainWindow();
    ASSERT_NE(nullptr, hMain);
    PostMessageW(hMain, WM_CLOSE, 0, 0);
    ASSERT_TRUE(run.Child().WaitExit(kExitBoundMs)) << "the program ended";
    EXPECT_EQ(0u, run.Child().ExitCode());
    EXPECT_EQ(1u, CountTrace(run, "|      $---< Capture Software Closed >---$", "CBasicSheetDlg::SequenceExit"));
    EXPECT_EQ(0u, CountTrace(run, "did not end in time")) << "every worker ended";
}

size_t Occurrences(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

TEST(ProgramUnderFault, ExitEndsWhileTheUnitHoldsXoffOverAWriteWithCommandsWaiting)
{
    ProgramRun run(L"fault_xoff");
    ScriptedUnit unit;
    // The unit holds the line for 8 s: the exit comes well before that.
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Com, "xoff-after-command 1 8000\n"));

    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("XOFF sent"));
    ASSERT_GE(run.WaitForTrace("[EPL_STAT_001]", 20000, "CComm::LogWrite"), 0);
    // The next command's bytes are held by the XOFF; three more wait behind it.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_TRUE(WaitItemText(run, IDC_EDIT_QUEUE_COUNT, L"3"));
    EXPECT_TRUE(WaitItemText(run, IDC_EDIT_WAIT_COMMAND, L"[SPL_PANO]"));

    ExitAndExpectAllTraced(run);
    EXPECT_EQ(std::string::npos, unit.Log().find("XON sent")) << "the program did not wait for the XON";
    EXPECT_EQ(1u, CountTrace(run, "4 waiting commands dropped", "CComm::LogWrite"));
    // The line is left as it was found: the unit lets go of it.
    EXPECT_TRUE(unit.WaitLog("XON sent", 30000));
}

// Lines the program sent, as its trace has them: a command's sent line is written once its
// bytes have left.
size_t SentLines(const ProgramRun& run, const std::string& frame)
{
    size_t n = 0;
    for (const LogLine& line : run.Trace())
        if (line.tag == ":_COM_S_: " && line.message.find(frame) != std::string::npos)
            ++n;
    return n;
}

TEST(ProgramUnderFault, ACommandTheUnitHoldsLongerThanTenSecondsWaitsIsShownHeldAndIsAnsweredAfterXon)
{
    ProgramRun run(L"fault_hold");
    ScriptedUnit unit;
    // The unit holds the line for 12 s, longer than a write was once given.
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Com, "xoff-after-command 1 12000\n"));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("XOFF sent"));
    ASSERT_GE(run.WaitForTrace("[EPL_STAT_001]", 20000, "CComm::LogWrite"), 0);
    const ULONGLONG ullHeldFrom = GetTickCount64();
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_CEPH]"));

    // Shown held about a second after the write began, with what waits.
    const std::string holdsLine = "COM" + std::to_string(ProgramComPort()) + ": the unit holds the line since ";
    const int nHeld = run.WaitForTrace(holdsLine, 20000, "CComm::LogWrite");
    ASSERT_GE(nHeld, 0);
    EXPECT_NE(std::string::npos, run.Trace()[static_cast<size_t>(nHeld)].message.find("; 2 commands waiting"))
        << run.Trace()[static_cast<size_t>(nHeld)].message;
    EXPECT_EQ(0u, SentLines(run, "[SPL_PANO]")) << "shown sent while the unit held it";

    // The unit lets go: the held command leaves whole, is answered, and the next one follows.
    ASSERT_TRUE(unit.WaitLog("XON sent", 30000));
    const ULONGLONG ullHeldMs = GetTickCount64() - ullHeldFrom;
    EXPECT_GE(run.WaitForTrace("COM" + std::to_string(ProgramComPort()) + ": the unit let go of the line after ", 20000, "CComm::LogWrite"), 0);
    EXPECT_TRUE(unit.WaitLog("FRAME \"[SPL_PANO]\""));
    EXPECT_GE(run.WaitForTrace("[EPL_PANO_001]", 20000, "CComm::LogWrite"), 0);
    EXPECT_TRUE(unit.WaitLog("FRAME \"[SPL_CEPH]\""));
    EXPECT_EQ(1u, SentLines(run, "[SPL_PANO]"));
    EXPECT_GT(ullHeldMs, 10000u) << "the hold did not outlast the former bound of a write";
    EXPECT_EQ(0u, CountTrace(run, "not sent"));
    EXPECT_EQ(0u, CountTrace(run, "No answer to"));
    ExitAndExpectAllTraced(run);
}

TEST(ProgramUnderFault, CloseWhileTheUnitHoldsTheLineEndsAtOnceAndSaysTheCommandWasNotSent)
{
    ProgramRun run(L"fault_holdclose");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Com, "xoff-after-command 1 30000\n"));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("XOFF sent"));
    ASSERT_GE(run.WaitForTrace("[EPL_STAT_001]", 20000, "CComm::LogWrite"), 0);
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_GE(run.WaitForTrace(": the unit holds the line since ", 20000, "CComm::LogWrite"), 0);

    const ULONGLONG ullClose = GetTickCount64();
    PostClick(ConsoleItem(run, IDC_BTN_CLOSE));
    ExpectConsoleShowsTheLinkClosed(run);
    // Generous: the close waits for no unit, only for its workers to notice.
    EXPECT_LT(GetTickCount64() - ullClose, 10000u);
    EXPECT_GE(run.WaitForTrace("[SPL_PANO] not sent: the link was closed", 10000, "CComm::LogWrite"), 0);
    EXPECT_EQ(0u, SentLines(run, "[SPL_PANO]"));
    EXPECT_EQ(0u, CountTrace(run, "let go of the line"));
    EXPECT_EQ(std::string::npos, unit.Log().find("XON sent")) << "the close waited for the unit";
    ExitAndExpectAllTraced(run);
    // Under Wine the pair's line stays stopped until an XON comes, whoever opens it next: the
    // unit's side sends it, as the unit would have after its hold.
    ASSERT_TRUE(unit.process.Stop());
    const std::wstring unitPort = L"\\\\.\\COM" + std::to_wstring(UnitComPort());
    HANDLE hUnit = CreateFileW(unitPort.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hUnit);
    const char xon = 0x11;
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteFile(hUnit, &xon, 1, &dwWritten, nullptr) && dwWritten == 1);
    CloseHandle(hUnit);
}

TEST(ProgramUnderFault, ExitEndsWhileTheTcpUnitHasStoppedReadingItsEchoes)
{
    ProgramRun run(L"fault_noread");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "stop-reading-after-command 1 60000\nflood-after-command 1 3000 [SLP_DOOR_{n}]\n"));

    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("FLOOD done"));
    // The echoes go out to a unit that takes none of them; exit comes while they do.
    ASSERT_GE(run.WaitForTrace("[SLP_DOOR_100]", 30000, "CComm::LogWrite"), 0);
    ExitAndExpectAllTraced(run);
    EXPECT_EQ(std::string::npos, unit.Log().find("reading again")) << "the program did not wait for the unit";
}

// Memory the program holds, as the system counts it for the process.
SIZE_T ProgramMemory(ProgramRun& run)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(run.Child().Handle(), &counters, sizeof(counters)) ? counters.PagefileUsage : 0;
}

TEST(ProgramUnderFault, HostileBytesKeepMemoryBoundedAndExitEndsInTheMiddleOfThem)
{
    ProgramRun run(L"fault_hostile");
    ScriptedUnit unit;
    // 2 MB of garbage after the first command (every line of it is traced, and the trace is
    // captured here: the soak takes 10 MB); after the second, more than it could ever take
    // before the engineer closes the program.
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "hostile-after-command 1 2000000 7 mixed\nhostile-after-command 2 100000000 9 random\n"));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("HOSTILE 2000000"));
    const SIZE_T idle = ProgramMemory(run);
    ASSERT_GT(idle, 0u);
    SIZE_T peak = idle;
    ASSERT_TRUE(PumpUntil(
        [&] {
            peak = std::max(peak, ProgramMemory(run));
            return unit.Log().find("HOSTILE done") != std::string::npos;
        },
        180000));
    // The garbage is summarised, not kept line by line, and the window still answers.
    EXPECT_GE(run.WaitForTrace(" bytes of data kept in the session record only", 20000, "CComm::LogWrite"), 0);
    DWORD_PTR dwResult = 0;
    EXPECT_NE(0, SendMessageTimeoutW(run.MainWindow(), WM_NULL, 0, 0, SMTO_NORMAL, 10000, &dwResult));
    EXPECT_LT(peak - idle, static_cast<SIZE_T>(32) << 20) << "memory above idle: " << (peak - idle) / 1024 << " KB";

    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("HOSTILE 100000000"));
    PumpFor(500);
    ExitAndExpectAllTraced(run);
    EXPECT_TRUE(unit.WaitLog("HOSTILE broken after")) << "the program ended in the middle of the flood";
}

TEST(ProgramUnderFault, CloseWithAFullQueueDropsItWithAWordAndTheLinkOpensAgain)
{
    ProgramRun run(L"fault_fullqueue");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "silent PANO\n"));

    // One command awaits its answer (for 90 s), 299 wait behind it: the queue is full.
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_TRUE(WaitItemText(run, IDC_EDIT_QUEUE_COUNT, L"299", 60000));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_GE(run.WaitForTrace("Queue is full", 20000), 0) << "one more is refused with a word";

    PostClick(ConsoleItem(run, IDC_BTN_CLOSE));
    ExpectConsoleShowsTheLinkClosed(run);
    EXPECT_EQ(1u, CountTrace(run, "300 waiting commands dropped", "CComm::LogWrite"));
    EXPECT_EQ(1, static_cast<int>(Occurrences(unit.Log(), "FRAME \"[SPL_PANO]\""))) << "nothing queued left after the close";

    // The link opens again and carries a command.
    PostClick(ConsoleItem(run, IDC_BTN_OPEN));
    ASSERT_TRUE(PumpUntil([&] { return CountTrace(run, "FUN_E - CComm::Open_Ethernet", "CComm::LogWrite") == 2; }, 20000));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    EXPECT_GE(run.WaitForTrace("[EPL_STAT_001]", 20000, "CComm::LogWrite"), 0);
    ExitAndExpectAllTraced(run);
}

TEST(ProgramUnderFault, ALinkTheUnitEndsShowsClosedAndTellsWhatItDropped)
{
    ProgramRun run(L"fault_hangup");
    ScriptedUnit unit;
    // The unit takes its time over the first command and then hangs up half-way through its
    // answer, with four more commands waiting.
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "delay * 1500\nhangup-after-command 1\n"));

    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_TRUE(WaitItemText(run, IDC_EDIT_QUEUE_COUNT, L"4"));
    ExpectConsoleShowsTheLinkClosed(run);
    const std::vector<LogLine> trace = run.Trace();
    size_t nClosedLines = 0;
    for (const LogLine& line : trace) {
        if (line.function == "CComm::LogWrite" && line.message.rfind("Link closed: ", 0) == 0) {
            ++nClosedLines;
            EXPECT_NE(std::string::npos, line.message.find("; 5 waiting commands dropped")) << line.message;
        }
    }
    EXPECT_EQ(1u, nClosedLines) << "one line says what ended the link";
    // The socket's close is traced as a close by hand is: start, closesocket, end.
    const std::vector<LogLine> after = run.Trace();
    size_t i = 0;
    const auto next = [&](const std::string& message) {
        for (; i < after.size(); ++i)
            if (after[i].function == "CComm::LogWrite" && after[i].message.find(message) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(next("Link closed: "));
    EXPECT_TRUE(next("FUN_S - CComm::CloseEthernet"));
    EXPECT_TRUE(next("DAT_A - 0 = closesocket()"));
    EXPECT_TRUE(next("FUN_E - CComm::CloseEthernet"));
    EXPECT_TRUE(run.OpenMessageBoxes().empty()) << "no error box";
    ExitAndExpectAllTraced(run);
}

// The console's view text, whole (the view holds a few thousand characters at most).
std::wstring ConsoleViewText(const ProgramRun& run)
{
    const HWND hView = GetDlgItem(run.Console(), 1122);
    DWORD_PTR dwLength = 0;
    if (hView == nullptr || !SendMessageTimeoutW(hView, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &dwLength))
        return std::wstring();
    std::wstring text(dwLength + 1, L'\0');
    DWORD_PTR dwGot = 0;
    if (!SendMessageTimeoutW(hView, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG, 5000, &dwGot))
        return std::wstring();
    text.resize(dwGot);
    return text;
}

// The highest number of the flood's frames ("[SMP_DOOR_0001234]") the text shows.
unsigned long HighestFlooded(const std::wstring& text)
{
    unsigned long nHighest = 0;
    for (size_t at = text.find(L"[SMP_DOOR_"); at != std::wstring::npos; at = text.find(L"[SMP_DOOR_", at + 1))
        nHighest = std::max(nHighest, std::wcstoul(text.c_str() + at + 10, nullptr, 10));
    return nHighest;
}

TEST(ProgramUnderFault, TheConsoleKeepsShowingNewLinesWhileTheUnitFloodsFrames)
{
    // Every frame is reported to the owner window by a posted message; a stream of them must
    // not keep the console's view from taking its turn.
    ProgramRun run(L"frame_flood_view");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "flood-after-command 1 2000000 [SMP_DOOR_{n7}]\n"));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("FLOOD", 20000));
    unsigned long nLast = 0;
    int nMoves = 0;
    for (int i = 0; i < 20 && nMoves < 3; ++i) {
        PumpFor(1000);
        const unsigned long n = HighestFlooded(ConsoleViewText(run));
        if (n > nLast) {
            ++nMoves;
            nLast = n;
        }
    }
    EXPECT_EQ(std::string::npos, unit.Log().find("FLOOD done")) << "the flood ended before the view was looked at";
    EXPECT_GE(nMoves, 3) << "the view showed frame " << nLast << " at most";
}

} // namespace
