// The command exchange on its own, over a link in memory and with a clock moved by hand:
// the orders of events that real links make rare. Answers arrive at the deadline, Clear
// meets a dispatch halfway, windows go while their commands are in flight, writes hang,
// and the user-interface thread stops taking lines.
#include "comm/exchange/CommandExchange.h"
#include "support/CommTestSupport.h"
#include "support/MemoryLink.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <algorithm>
#include <map>
#include <thread>

using namespace testsupport;

namespace {

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(reply.Create());
        ASSERT_TRUE(exchange.Start(link));
    }
    void TearDown() override
    {
        exchange.MarkClosed();
        EXPECT_TRUE(exchange.Join(10000));
        exchange.Detach();
        // Every notification copy that was posted is freed by its window (or at once, when
        // the window is gone).
        EXPECT_TRUE(PumpUntil([] { return NotifyTextsOutstanding() == 0; }, 5000)) << NotifyTextsOutstanding();
    }

    bool Written(size_t n) { return PumpUntil([&] { return link.Written().size() >= n; }, 10000); }
    bool Noted(size_t n) { return PumpUntil([&] { return reply.notes.size() >= n; }, 10000); }
    // Wakes the watchdog until a thread other than this one has read the clock three times
    // at its present time: the watchdog has looked at the deadline and gone back to waiting.
    // Its first look may only take note of a deadline armed meanwhile, the second judges it,
    // and a third shows that the second declared no time-out (after one, the watchdog ends
    // and looks no more). The dispatcher reads the clock at most once after a write the test
    // has seen, and the test's own thread is not counted. False when the watchdog does not
    // look (it does not run) or stops looking (it declared a time-out).
    bool WatchdogLookedAndWaitsOn()
    {
        const std::map<DWORD, long long> before = clock.Reads();
        const DWORD dwSelf = GetCurrentThreadId();
        return PumpUntil(
            [&] {
                exchange.WakeWatchdog();
                for (const auto& [dwThread, nReads] : clock.Reads()) {
                    const auto it = before.find(dwThread);
                    if (dwThread != dwSelf && nReads - (it != before.end() ? it->second : 0) >= 3)
                        return true;
                }
                return false;
            },
            10000);
    }
    bool Has(CCommInbox::EventType type)
    {
        for (const CCommInbox::Event& event : inbox.TakeEvents())
            if (event.type == type)
                return true;
        return false;
    }

    CManualClock clock;
    CCommInbox inbox;
    CMemoryLink link;
    CCommandExchange exchange{inbox, clock};
    CRecorderWnd reply;
};

TEST_F(ExchangeTest, AnAnswerAtTheDeadlineCountsAndTheNextCommandGetsItsOwnTime)
{
    ASSERT_TRUE(exchange.Send(L"[SPL_CSON]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(exchange.Send(L"[SPL_HSON]", reply, enRECV_PACKING_CHECK, false)) << "waits for CSON's answer";
    ASSERT_TRUE(Written(1));
    EXPECT_EQ(1, exchange.QueueCount());

    // CSON left at t0 and has 3 s. At t0 + 3 s the watchdog looks and keeps waiting, and
    // CSON's answer comes.
    clock.AdvanceMs(3000);
    ASSERT_TRUE(WatchdogLookedAndWaitsOn()) << "the watchdog judged CSON's deadline and did not time it out";
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_CSON_001]"));
    ASSERT_TRUE(Written(2)) << "HSON leaves once CSON is answered";
    ASSERT_TRUE(Noted(1));
    EXPECT_EQ(L"[EPL_CSON_001]", reply.notes[0].text);
    EXPECT_EQ(enRECV_COMMAND, reply.notes[0].kind);

    // HSON left at t0 + 3 s: at that moment and up to its own deadline the watchdog looks at
    // it and does not time it out.
    for (int nMs : {0, 1500, 1500}) {
        clock.AdvanceMs(nMs);
        ASSERT_TRUE(WatchdogLookedAndWaitsOn()) << "the watchdog judged HSON's deadline and kept waiting";
        EXPECT_EQ(1u, reply.notes.size()) << "no time-out before HSON's deadline";
        EXPECT_TRUE(exchange.IsConnected());
    }
    // One millisecond past it, it is.
    clock.AdvanceMs(1);
    exchange.WakeWatchdog();
    ASSERT_TRUE(Noted(2));
    EXPECT_EQ(L"[SPL_HSON]", reply.notes[1].text);
    EXPECT_EQ(enRECV_TIMEOUT, reply.notes[1].kind);
    EXPECT_TRUE(PumpUntil([&] { return Has(CCommInbox::EventType::LinkLost); }, 5000)) << "a time-out ends the link";
    EXPECT_FALSE(exchange.IsConnected());
    EXPECT_FALSE(exchange.TakeAnswer(L"[EPL_HSON_001]")) << "a late answer finds nothing in flight";
}

TEST_F(ExchangeTest, ClearDuringADispatchKeepsWhatWasTakenFromLeavingAfterIt)
{
    // A awaits its answer; B (no answer awaited) and C wait for it.
    ASSERT_TRUE(exchange.Send(L"[SPL_AAAA]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(1));
    ASSERT_TRUE(exchange.Send(L"[SPL_BBBB]", reply, enRECV_NONE, false));
    ASSERT_TRUE(exchange.Send(L"[SPL_CCCC]", reply, enRECV_COMMAND, false));
    EXPECT_EQ(2, exchange.QueueCount());

    // A's answer: the dispatcher takes B and C from the queue and starts writing B, which
    // the unit holds.
    link.CloseGate();
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_AAAA_001]"));
    ASSERT_TRUE(PumpUntil([&] { return link.WritesBegun() == 2; }, 10000));
    EXPECT_EQ(0, exchange.QueueCount());

    // The engineer clears now: C was taken before, but has not left; it must not leave after.
    exchange.ClearQueue();
    EXPECT_TRUE(Has(CCommInbox::EventType::QueueChanged));
    link.OpenGate();
    ASSERT_TRUE(Written(2)) << "B was under way and finishes";
    ASSERT_TRUE(PumpUntil([&] { return exchange.IsReady(); }, 10000));
    EXPECT_FALSE(exchange.TakeAnswer(L"[EPL_CCCC_001]")) << "C is not in flight";

    // Nothing is in flight: the next command leaves at once and is the one awaited.
    ASSERT_TRUE(exchange.Send(L"[SPL_DDDD]", reply, enRECV_START_OK, false));
    ASSERT_TRUE(Written(3));
    EXPECT_EQ((std::vector<std::string>{"[SPL_AAAA]", "[SPL_BBBB]", "[SPL_DDDD]"}), link.Written());
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_DDDD_001]"));
    ASSERT_TRUE(Noted(2));
    EXPECT_EQ(L"[EPL_AAAA_001]", reply.notes[0].text);
    EXPECT_EQ(L"[EPL_DDDD_001]", reply.notes[1].text);
    EXPECT_EQ(enRECV_START_OK, reply.notes[1].kind);
}

TEST_F(ExchangeTest, AReplyWindowThatIsGoneIsNeverTouched)
{
    // The answer's window goes while its command is in flight.
    auto gone = std::make_unique<CRecorderWnd>();
    ASSERT_TRUE(gone->Create());
    ASSERT_TRUE(exchange.Send(L"[SPL_PANO]", *gone, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(1));
    gone.reset();
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_PANO_001]"));
    ASSERT_TRUE(PumpUntil([&] { return exchange.IsReady(); }, 10000));
    EXPECT_TRUE(PumpUntil([] { return NotifyTextsOutstanding() == 0; }, 5000)) << "the answer's copy is freed when it cannot be delivered";

    // The same for a time-out.
    gone = std::make_unique<CRecorderWnd>();
    ASSERT_TRUE(gone->Create());
    ASSERT_TRUE(exchange.Send(L"[SPL_CSON]", *gone, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(2));
    gone.reset();
    clock.AdvanceMs(3001);
    exchange.WakeWatchdog();
    ASSERT_TRUE(PumpUntil([&] { return !exchange.IsConnected(); }, 10000));
    EXPECT_TRUE(PumpUntil([] { return NotifyTextsOutstanding() == 0; }, 5000)) << "the time-out's copy is freed";
    EXPECT_TRUE(reply.notes.empty());
}

TEST_F(ExchangeTest, AWriteTheUnitHoldsNeverHoldsTheSenderAndACloseEndsIt)
{
    link.CloseGate();
    // Should a send wait for the write, this thread would stay here until the gate opens;
    // the gate is opened by a timer thread only if the test has gone wrong.
    std::atomic<bool> bOpenedByTimer{false};
    HANDLE hDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread rescue([&] {
        if (WaitForSingleObject(hDone, 20000) == WAIT_TIMEOUT) {
            bOpenedByTimer = true;
            link.OpenGate();
        }
    });
    ASSERT_TRUE(exchange.Send(L"[SPL_PANO]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return link.WritesBegun() == 1; }, 10000));
    for (int i = 0; i < 299; ++i)
        ASSERT_TRUE(exchange.Send(L"[SPL_CEPH]", reply, enRECV_COMMAND, false));
    EXPECT_EQ(299, exchange.QueueCount());
    exchange.ClearQueue();
    EXPECT_TRUE(exchange.Send(L"[SPL_OCEP]", reply, enRECV_NONE, true));
    EXPECT_FALSE(bOpenedByTimer.load()) << "a send or the Clear waited for the held write";

    // The close wakes the held write: the dispatcher ends, nothing more is written.
    exchange.MarkClosed();
    EXPECT_TRUE(exchange.Join(5000));
    EXPECT_FALSE(bOpenedByTimer.load());
    EXPECT_TRUE(link.Written().empty());
    SetEvent(hDone);
    rescue.join();
    CloseHandle(hDone);
}

// The console's lines so far, as "<kind> text" (kinds: > sent, < received, - anything else).
std::vector<std::wstring> RecordLines(CCommInbox& inbox)
{
    std::vector<CConsoleRecord::Line> lines;
    inbox.Record().Copy(0, 1000, lines);
    std::vector<std::wstring> out;
    for (const CConsoleRecord::Line& line : lines)
        out.push_back((line.nKind == LOG_KIND_SEND ? L"> " : line.nKind == LOG_KIND_RECV ? L"< " : L"- ") + line.text);
    return out;
}

// Index of the first line that starts with the text, or -1.
int LineIndex(const std::vector<std::wstring>& lines, const std::wstring& start)
{
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].rfind(start, 0) == 0)
            return static_cast<int>(i);
    return -1;
}

TEST_F(ExchangeTest, AWriteTheUnitHoldsWaitsWithoutABoundIsShownHeldAndItsLineFollowsTheBytes)
{
    link.SetKind(LinkKind::Serial);
    link.CloseGate();
    ASSERT_TRUE(exchange.Send(L"[SPL_PANO]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(exchange.Send(L"[SPL_STAT]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return link.WritesBegun() == 1; }, 10000));

    // Just under a second: the write is not shown held yet.
    clock.AdvanceMs(CCommandExchange::kHoldShownAfterMs - 1);
    ASSERT_TRUE(WatchdogLookedAndWaitsOn());
    EXPECT_EQ(-1, LineIndex(RecordLines(inbox), L"- The link: the unit holds the line"));
    // At a second it is, once, with what waits: the held command and the queued one.
    clock.AdvanceMs(1);
    exchange.WakeWatchdog();
    ASSERT_TRUE(PumpUntil([&] { return LineIndex(RecordLines(inbox), L"- The link: the unit holds the line since ") >= 0; }, 10000));
    const std::wstring held = RecordLines(inbox)[LineIndex(RecordLines(inbox), L"- The link: the unit holds")];
    EXPECT_NE(std::wstring::npos, held.find(L"; 2 commands waiting")) << std::string(held.begin(), held.end());
    // Far past any time a write was once given, it still waits, and nothing says it was sent.
    clock.AdvanceMs(29000);
    exchange.WakeWatchdog();
    PumpFor(300);
    EXPECT_TRUE(link.Written().empty());
    EXPECT_TRUE(exchange.IsConnected());
    std::vector<std::wstring> lines = RecordLines(inbox);
    EXPECT_EQ(-1, LineIndex(lines, L"> [SPL_PANO]")) << "no sent line before the bytes have left";
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const std::wstring& l) { return l.find(L"holds the line") != std::wstring::npos; }));

    // The unit lets go: the bytes leave, the console says so, then shows the command sent.
    link.OpenGate();
    ASSERT_TRUE(Written(1));
    ASSERT_TRUE(PumpUntil([&] { return LineIndex(RecordLines(inbox), L"> [SPL_PANO]") >= 0; }, 10000));
    lines = RecordLines(inbox);
    const int nLetGo = LineIndex(lines, L"- The link: the unit let go of the line after 30.0 s");
    EXPECT_GE(nLetGo, 0);
    EXPECT_LT(LineIndex(lines, L"- The link: the unit holds"), nLetGo);
    EXPECT_LT(nLetGo, LineIndex(lines, L"> [SPL_PANO]"));
    // Its answer time runs from the bytes leaving: 90 s from now, not from the write's start.
    clock.AdvanceMs(89000);
    ASSERT_TRUE(WatchdogLookedAndWaitsOn());
    EXPECT_TRUE(exchange.IsConnected()) << "the command's time-out ran from its write's start";
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_PANO_001]"));
    ASSERT_TRUE(Written(2)) << "the queued command follows";
    ASSERT_TRUE(Noted(1));
    EXPECT_EQ(L"[EPL_PANO_001]", reply.notes[0].text);
}

TEST_F(ExchangeTest, BytesACloseStopsAreSaidNotSentAndNeverShownSent)
{
    link.SetKind(LinkKind::Serial);
    link.CloseGate();
    exchange.SendEcho(L"[SLP_PANO_001]", nullptr);
    ASSERT_TRUE(PumpUntil([&] { return link.WritesBegun() == 1; }, 10000));
    clock.AdvanceMs(5000);
    exchange.WakeWatchdog();
    ASSERT_TRUE(PumpUntil([&] { return LineIndex(RecordLines(inbox), L"- The link: the unit holds the line since ") >= 0; }, 10000));
    EXPECT_GE(LineIndex(RecordLines(inbox), L"- The link: the unit holds the line since "), 0);
    const std::vector<std::wstring> before = RecordLines(inbox);
    const std::wstring held = before[LineIndex(before, L"- The link: the unit holds the line since ")];
    EXPECT_NE(std::wstring::npos, held.find(L"; 0 commands waiting")) << "an echo is no command";

    exchange.MarkClosed();
    EXPECT_TRUE(exchange.Join(5000)) << "the close ended the held write";
    const std::vector<std::wstring> lines = RecordLines(inbox);
    EXPECT_GE(LineIndex(lines, L"- [ELP_PANO_001] not sent: the link was closed (0 of 18 bytes had left)"), 0);
    EXPECT_EQ(-1, LineIndex(lines, L"> [ELP_PANO_001]"));
    EXPECT_EQ(-1, LineIndex(lines, L"- The link: the unit let go")) << "the unit never let go";
}

TEST_F(ExchangeTest, AnAnswerThatComesWhileItsCommandIsStillLeavingIsShownAfterIt)
{
    link.CloseGate();
    ASSERT_TRUE(exchange.Send(L"[SPL_STAT]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return link.WritesBegun() == 1; }, 10000));
    // The answer is read before the writer has come back from the write.
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_STAT_001]"));
    PumpFor(200);
    EXPECT_EQ(-1, LineIndex(RecordLines(inbox), L"< [EPL_STAT_001]")) << "an answer shown before its command";
    EXPECT_TRUE(reply.notes.empty());
    link.OpenGate();
    ASSERT_TRUE(Noted(1));
    const std::vector<std::wstring> lines = RecordLines(inbox);
    const int nSent = LineIndex(lines, L"> [SPL_STAT]");
    ASSERT_GE(nSent, 0);
    EXPECT_EQ(nSent + 1, LineIndex(lines, L"< [EPL_STAT_001]"));
    ASSERT_TRUE(PumpUntil([&] { return exchange.IsReady(); }, 10000));
    // The exchange goes on as usual.
    ASSERT_TRUE(exchange.Send(L"[SPL_CSON]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(2));
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_CSON_001]"));
    ASSERT_TRUE(Noted(2));
}

TEST_F(ExchangeTest, ACommandTooLongForAFrameIsRefusedWithItsRealLength)
{
    const std::wstring text = L"[SPL_" + std::wstring(294, L'X') + L"]";
    ASSERT_EQ(300u, text.size());
    EXPECT_FALSE(exchange.Send(text.c_str(), reply, enRECV_COMMAND, false));
    EXPECT_GE(LineIndex(RecordLines(inbox), L"- Command not sent: 300 characters, at most 257 fit a frame"), 0);
    EXPECT_EQ(0, link.WritesBegun());
}

TEST_F(ExchangeTest, TheUnitsFramesAreReportedInTheirOrderAndAnSlpOnlyOnceItsEchoLeft)
{
    // The unit's SLP frame: its echo is held at the gate, so its report waits for it; an SMP
    // frame that came after it waits behind that report.
    link.CloseGate();
    const PostedNotice slp{reply, WM_SERIAL_SLP, L"[SLP_DOOR_1]", enRECV_SLP_COMMAND};
    exchange.SendEcho(L"[SLP_DOOR_1]", &slp);
    ASSERT_TRUE(PumpUntil([&] { return link.WritesBegun() == 1; }, 10000));
    exchange.PostInOrder(PostedNotice{reply, WM_SERIAL_SMP, L"[SMP_TICK_2]", enRECV_SMP_COMMAND});
    PumpFor(200);
    EXPECT_TRUE(reply.notes.empty()) << "nothing is reported before the SLP's echo has left";
    link.OpenGate();
    ASSERT_TRUE(Noted(2));
    EXPECT_EQ(L"[SLP_DOOR_1]", reply.notes[0].text);
    EXPECT_EQ(L"[SMP_TICK_2]", reply.notes[1].text);
    EXPECT_EQ((std::vector<std::string>{"[ELP_DOOR_001]"}), link.Written());
    // With no echo under way, a frame's report goes at once.
    exchange.PostInOrder(PostedNotice{reply, WM_SERIAL_SMP, L"[SMP_TICK_3]", enRECV_SMP_COMMAND});
    ASSERT_TRUE(Noted(3));
    EXPECT_EQ(enRECV_SMP_COMMAND, reply.notes[2].kind);
}

TEST_F(ExchangeTest, AFailedSerialWriteKeepsTheLinkAndItsCommandTimesOut)
{
    // Serial: the command's missing answer is what reports it; the link stays.
    link.SetKind(LinkKind::Serial);
    link.FailNextWrite();
    ASSERT_TRUE(exchange.Send(L"[SPL_PANO]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return link.WritesBegun() == 1; }, 10000));
    // The failed write is told in the console, and the link is not given up for it.
    const auto hasLine = [&] {
        std::vector<CConsoleRecord::Line> lines;
        inbox.Record().Copy(0, 100, lines);
        for (const CConsoleRecord::Line& line : lines)
            if (line.text == L"[SPL_PANO] not sent: the port refused the bytes (0 of 12 bytes had left)")
                return true;
        return false;
    };
    EXPECT_TRUE(PumpUntil(hasLine, 10000));
    EXPECT_TRUE(exchange.IsConnected());
    // Its deadline runs from the failed write: up to it nothing times out, just past it the
    // command does.
    clock.AdvanceMs(90000);
    ASSERT_TRUE(WatchdogLookedAndWaitsOn()) << "the watchdog judged the deadline and kept waiting";
    EXPECT_TRUE(reply.notes.empty());
    EXPECT_TRUE(exchange.IsConnected());
    clock.AdvanceMs(1);
    exchange.WakeWatchdog();
    ASSERT_TRUE(Noted(1));
    EXPECT_EQ(enRECV_TIMEOUT, reply.notes[0].kind) << "the write that failed armed its deadline";
    EXPECT_EQ(L"[SPL_PANO]", reply.notes[0].text);
}

TEST_F(ExchangeTest, AFailedTcpWriteShowsItsBoxAndEndsTheLink)
{
    link.SetKind(LinkKind::Tcp);
    link.FailNextWrite();
    ASSERT_TRUE(exchange.Send(L"[SPL_PANO]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return !exchange.IsConnected(); }, 10000));
    bool bBox = false;
    bool bLost = false;
    PumpUntil(
        [&] {
            for (const CCommInbox::Event& event : inbox.TakeEvents()) {
                bBox = bBox || (event.type == CCommInbox::EventType::ShowError && event.text == L"send() - Fail");
                bLost = bLost || event.type == CCommInbox::EventType::LinkLost;
            }
            return bBox && bLost;
        },
        5000);
    EXPECT_TRUE(bBox);
    EXPECT_TRUE(bLost);
}

TEST_F(ExchangeTest, EachThreadsTraceLinesCarryTheThreadsName)
{
    // Trace filters of the service department key on these names.
    DebugCapture capture;
    ASSERT_TRUE(capture.Start());
    ASSERT_TRUE(exchange.Send(L"[SPL_CEPH]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(1));
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_CEPH_001]"));
    ASSERT_TRUE(Noted(1));
    ASSERT_TRUE(exchange.Send(L"[SPL_HSON]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(2));
    clock.AdvanceMs(3001);
    exchange.WakeWatchdog();
    ASSERT_TRUE(Noted(2));
    const std::vector<std::string> lines = capture.Take();
    const auto functionOf = [&](const char* lpTag, const std::string& text) {
        for (const std::string& raw : lines) {
            LogLine line;
            if (LogLine::Parse(raw, line) && line.tag == lpTag && line.message == text)
                return line.function;
        }
        return std::string("(no line)");
    };
    EXPECT_EQ("CComm::SendData", functionOf(":_DAT_A_: ", "SendData([SPL_CEPH]) - m_TimeOutCnt(90 sec) - ResetEvent"));
    EXPECT_EQ("CComm::LogWrite", functionOf(":_COM_S_: ", "[SPL_CEPH]"));
    EXPECT_EQ("Thread_WaitComm", functionOf(":_DAT_A_: ", "WaitForSingleObject()==WAIT_OBJECT_0"));
    EXPECT_EQ("Thread_WatchTimeOut", functionOf(":_ERROR_: ", "Answer time-out : [SPL_HSON]"));
    capture.Stop();
}

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
    // Wine reports no private usage, but the page-file usage, which is the same figure.
    return memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
}

TEST_F(ExchangeTest, RoundTripsAndQueueWaitsAreMeasuredAndSummarisedPerWord)
{
    // Ten PANO answers after known delays; the summary's median is between the 5th and 6th,
    // its 95th percentile the 10th.
    const int kDelaysMs[] = {300, 310, 320, 330, 340, 350, 360, 370, 380, 1000};
    size_t nWritten = 0;
    for (int nDelayMs : kDelaysMs) {
        ASSERT_TRUE(exchange.Send(L"[SPL_PANO]", reply, enRECV_COMMAND, false));
        ASSERT_TRUE(Written(++nWritten));
        clock.AdvanceMs(nDelayMs);
        ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_PANO_001]"));
        ASSERT_TRUE(Noted(nWritten));
    }
    // HSON waits in the queue behind a PANO for 500 ms.
    ASSERT_TRUE(exchange.Send(L"[SPL_PANO]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(exchange.Send(L"[SPL_HSON]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(++nWritten));
    clock.AdvanceMs(500);
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_PANO_001]"));
    ASSERT_TRUE(Written(++nWritten));
    clock.AdvanceMs(20);
    ASSERT_TRUE(exchange.TakeAnswer(L"[EPL_HSON_001]"));
    ASSERT_TRUE(Noted(nWritten));

    std::vector<CConsoleRecord::Line> lines;
    inbox.Record().Copy(0, 1000, lines);
    std::vector<long long> trips;
    long long llHsonWaited = -2;
    for (const CConsoleRecord::Line& line : lines) {
        if (line.nKind == LOG_KIND_RECV)
            trips.push_back(line.llRoundTripUs);
        if (line.nKind == LOG_KIND_SEND && line.text == L"[SPL_HSON]")
            llHsonWaited = line.llQueuedUs;
        if (line.nKind == LOG_KIND_SEND && line.text == L"[SPL_PANO]") {
            EXPECT_EQ(-1, line.llQueuedUs) << "a command that left at once did not wait";
        }
    }
    ASSERT_EQ(12u, trips.size());
    for (size_t i = 0; i < 10; ++i)
        EXPECT_EQ(1000LL * kDelaysMs[i], trips[i]) << i;
    EXPECT_EQ(500000, trips[10]);
    EXPECT_EQ(20000, trips[11]);
    EXPECT_EQ(500000, llHsonWaited);
    const auto answerLine = std::find_if(lines.begin(), lines.end(), [](const CConsoleRecord::Line& line) { return line.nKind == LOG_KIND_RECV; });
    EXPECT_EQ(L"<< [EPL_PANO_001]   300.0 ms\r\n", FormatConsoleLine(*answerLine).substr(6));

    // A time-out is counted too (and ends the link).
    ASSERT_TRUE(exchange.Send(L"[SPL_CSON]", reply, enRECV_COMMAND, false));
    ASSERT_TRUE(Written(++nWritten));
    clock.AdvanceMs(3001);
    exchange.WakeWatchdog();
    ASSERT_TRUE(PumpUntil([&] { return !exchange.IsConnected(); }, 10000));
    EXPECT_TRUE(exchange.SummaryChanged());
    const std::vector<std::wstring> summary = exchange.SummaryLines();
    ASSERT_EQ(4u, summary.size());
    EXPECT_EQ(L"  CSON  sent 1, answered 0, timed out 1", summary[1]);
    EXPECT_EQ(L"  HSON  sent 1, answered 1, timed out 0; round trip 20.0 / 20.0 / 20.0 / 20.0 ms", summary[2]);
    EXPECT_EQ(L"  PANO  sent 11, answered 11, timed out 0; round trip 300.0 / 350.0 / 1000.0 / 1000.0 ms", summary[3]);
    exchange.MarkSummaryShown();
    EXPECT_FALSE(exchange.SummaryChanged());
}

TEST(InboxTest, LinesPilingUpWhileTheWindowStallsStayBoundedAndCounted)
{
    // The window (this thread) takes nothing while a worker writes many long lines.
    CRecorderWnd target;
    ASSERT_TRUE(target.Create());
    constexpr size_t kKept = 10000;
    CCommInbox inbox(kKept);
    inbox.SetTarget(target.m_hWnd);
    const std::wstring payload(300, L'x');
    const auto write = [&](int nFrom, int nTo) {
        std::thread worker([&] {
            wchar_t szLine[400];
            for (int i = nFrom; i < nTo; ++i) {
                _snwprintf(szLine, 399, L"%d %s", i, payload.c_str());
                inbox.WriteLine(LOG_KIND_RECV, szLine);
            }
        });
        worker.join();
    };
    write(0, 20000);
    const SIZE_T after20k = PrivateBytes();
    write(20000, 60000);
    const SIZE_T after60k = PrivateBytes();

    // One wake-up for all of it.
    MSG msg;
    int nWakeUps = 0;
    while (PeekMessageW(&msg, target.m_hWnd, WM_COMM_INBOX, WM_COMM_INBOX, PM_REMOVE))
        ++nWakeUps;
    EXPECT_EQ(1, nWakeUps);

    // The latest lines, whole, in order and numbered without a gap; the rest counted.
    const CConsoleRecord& record = inbox.Record();
    EXPECT_EQ(kKept, record.Count());
    EXPECT_EQ(60000u - kKept, record.Dropped());
    std::vector<CConsoleRecord::Line> lines;
    record.Copy(0, kKept, lines);
    ASSERT_EQ(kKept, lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const int n = static_cast<int>(60000 - kKept + i);
        ASSERT_EQ(std::to_wstring(n) + L" " + payload, lines[i].text) << i;
        ASSERT_EQ(n + 1, lines[i].nNumber) << i;
    }
    // 40 000 more lines of 600 bytes would be 24 MB held; bounded, the record holds no more.
    EXPECT_LT(after60k, after20k + 8 * 1048576) << after20k << " -> " << after60k;
}

} // namespace
