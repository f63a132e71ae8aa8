// Frame texts, answer time-outs, the byte-stream cutter, receive kind names and the command
// ring, on their own.
#include "comm/Comm.h"
#include "comm/exchange/CommandQueue.h"
#include "comm/record/ConsoleRecord.h"
#include "comm/exchange/DataGate.h"
#include "comm/protocol/Frame.h"
#include "comm/protocol/RecvKind.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(SplitFrame, FieldsByFixedPositions)
{
    wchar_t cls[4] = {}, word[5] = {}, data[260] = {};
    SplitFrame(L"[ELP_PANO_001]", cls, word, data);
    EXPECT_STREQ(L"ELP", cls);
    EXPECT_STREQ(L"PANO", word);
    EXPECT_STREQ(L"001", data);

    wchar_t data2[260] = {};
    SplitFrame(L"[SPL_CT__]", cls, word, data2);
    EXPECT_STREQ(L"SPL", cls);
    EXPECT_STREQ(L"CT__", word);
    EXPECT_STREQ(L"", data2);

    wchar_t untouched[5] = L"keep";
    SplitFrame(L"[SPL_PAN]", nullptr, untouched, nullptr);
    EXPECT_STREQ(L"keep", untouched) << "shorter than 10 characters: outputs untouched";

    // A data field longer than any frame is cut to the 260-character buffer.
    std::wstring longFrame = L"[SMP_DATA_" + std::wstring(400, L'x') + L"]";
    wchar_t longData[260] = {};
    SplitFrame(longFrame.c_str(), nullptr, nullptr, longData);
    EXPECT_EQ(259u, wcslen(longData));
}

TEST(AnswerTimeOut, ByCommandWordIgnoringCase)
{
    EXPECT_EQ(90000, CComm::GetAnswerTimeOut(L"[SPL_PANO]"));
    EXPECT_EQ(90000, CComm::GetAnswerTimeOut(L"[spl_pano]"));
    EXPECT_EQ(90000, CComm::GetAnswerTimeOut(L"[SPM_COLM_12]"));
    EXPECT_EQ(90000, CComm::GetAnswerTimeOut(L"[SPL_RET_]"));
    EXPECT_EQ(5000, CComm::GetAnswerTimeOut(L"[SPL_ERDY]"));
    EXPECT_EQ(3000, CComm::GetAnswerTimeOut(L"[SPL_CSON]"));
    EXPECT_EQ(3000, CComm::GetAnswerTimeOut(L"[SPL_ZZZZ]"));
    EXPECT_EQ(3000, CComm::GetAnswerTimeOut(L"[SPL_PAN]"));
    EXPECT_EQ(3000, CComm::GetAnswerTimeOut(L""));
}

// Feeds text to an assembler and lists what came out: "F:" frames and "D:" data lines.
std::vector<std::wstring> Cut(CFrameAssembler& assembler, const std::string& bytes)
{
    std::vector<std::wstring> out;
    for (unsigned char b : bytes) {
        const CFrameAssembler::Result result = assembler.Feed(b);
        if (result == CFrameAssembler::Result::Frame)
            out.push_back(std::wstring(L"F:") + assembler.Completed());
        else if (result == CFrameAssembler::Result::Data)
            out.push_back(std::wstring(L"D:") + assembler.Completed());
    }
    return out;
}

TEST(FrameAssembler, FramesDataLinesAndPieces)
{
    CFrameAssembler tcp(true);
    EXPECT_EQ((std::vector<std::wstring>{L"D:abc", L"F:[SMP_TEST]"}), Cut(tcp, "abc\r\n[SMP_TEST]\r\n"));
    // A frame in two reads.
    EXPECT_TRUE(Cut(tcp, "[SPL_").empty());
    EXPECT_EQ((std::vector<std::wstring>{L"F:[SPL_PANO]"}), Cut(tcp, "PANO]"));
    // An unfinished frame ends as data at a new "[" or at a line end.
    EXPECT_EQ((std::vector<std::wstring>{L"D:[AB", L"F:[SMP_X_1]"}), Cut(tcp, "[AB[SMP_X_1]"));
    EXPECT_EQ((std::vector<std::wstring>{L"D:[EPL_PA"}), Cut(tcp, "[EPL_PA\n"));
    // "]" outside a frame is text; empty lines are dropped.
    EXPECT_EQ((std::vector<std::wstring>{L"D:a]b"}), Cut(tcp, "\r\n\r\na]b\r"));
    // Blanks: kept on TCP, dropped on the serial link.
    EXPECT_EQ((std::vector<std::wstring>{L"F:[SMP_A B C]"}), Cut(tcp, "[SMP_A B C]"));
    CFrameAssembler serial(false);
    EXPECT_EQ((std::vector<std::wstring>{L"F:[SMP_ABC]"}), Cut(serial, "[SMP_A B C]"));
}

TEST(FrameAssembler, LongRunsWithoutAnEndBecomeDataLinesWithoutOverflow)
{
    CFrameAssembler tcp(true);
    // 600 characters inside a frame that never ends: handed on in pieces of 255.
    const std::vector<std::wstring> out = Cut(tcp, "[" + std::string(599, 'x') + "\r\n");
    ASSERT_EQ(3u, out.size());
    EXPECT_EQ(2u + 255u, out[0].size());
    EXPECT_EQ(L'[', out[0][2]);
    EXPECT_EQ(2u + 255u, out[1].size());
    EXPECT_EQ(2u + 90u, out[2].size());
    // And the next frame is whole again; a NUL byte does not cut it short.
    EXPECT_EQ((std::vector<std::wstring>{L"F:[SMP_OK]"}), Cut(tcp, std::string("[SMP_\0OK]", 9)));
}

TEST(RecvKindName, NamesEveryKindAndFlagsOthers)
{
    wchar_t name[kRecvKindNameChars];
    GetRecvKindName(name, enRECV_NONE);
    EXPECT_STREQ(L"enRECV_NONE", name);
    GetRecvKindName(name, 5024);
    EXPECT_STREQ(L"enRECV_TIMEOUT", name);
    GetRecvKindName(name, 5010);
    EXPECT_STREQ(L"enRECV_3DPHOTO_QUEUE_END", name);
    for (int kind : {4999, 5004, 5030, -1})  {
        GetRecvKindName(name, kind);
        EXPECT_STREQ(L"ERROR_INVALID_INDEX", name) << kind;
    }
}

TEST(CommandQueue, RingOf299InOrder)
{
    CCommandQueue queue;
    CommandItem item{};
    for (int i = 0; i < 299; ++i) {
        _snwprintf(item.szCommand, 259, L"[SPL_%04d]", i);
        item.nRecvKind = 5000 + (i % 2);
        ASSERT_TRUE(queue.Push(item)) << i;
    }
    EXPECT_FALSE(queue.Push(item)) << "one slot always stays free";
    EXPECT_EQ(299, queue.Count());
    for (int i = 0; i < 299; ++i) {
        const CommandItem popped = queue.Pop();
        wchar_t expected[16];
        _snwprintf(expected, 15, L"[SPL_%04d]", i);
        ASSERT_STREQ(expected, popped.szCommand);
        EXPECT_EQ(5000 + (i % 2), popped.nRecvKind);
    }
    const CommandItem empty = queue.Pop();
    EXPECT_STREQ(L"", empty.szCommand);
    EXPECT_EQ(0, empty.nRecvKind);
    // Around the end of the ring and back.
    for (int round = 0; round < 700; ++round) {
        ASSERT_TRUE(queue.Push(item));
        ASSERT_EQ(1, queue.Count());
        queue.Pop();
    }
    queue.Push(item);
    queue.Clear();
    EXPECT_EQ(0, queue.Count());
}

TEST(CommandQueue, CountsOfPushesAndPopsFindEachWaitingCommandAcrossTheRingsEnd)
{
    // The console's list follows the ring by these counts: the nth command ever pushed must
    // be found while it waits, also once the ring has wrapped round.
    CCommandQueue queue;
    const unsigned long long nClears = queue.Clears();
    CommandItem item{};
    const auto push = [&](int n) {
        _snwprintf(item.szCommand, 259, L"[SPL_%04d]", n);
        return queue.Push(item);
    };
    for (int n = 0; n < 250; ++n)
        ASSERT_TRUE(push(n));
    for (int n = 0; n < 200; ++n)
        queue.Pop();
    for (int n = 250; n < 499; ++n)
        ASSERT_TRUE(push(n));
    EXPECT_FALSE(push(499)) << "one slot stays free";
    EXPECT_EQ(499u, queue.Pushed());
    EXPECT_EQ(200u, queue.Popped());
    EXPECT_EQ(299, queue.Count());
    for (unsigned long long n = queue.Popped(); n < queue.Pushed(); ++n) {
        wchar_t expected[16];
        _snwprintf(expected, 15, L"[SPL_%04d]", static_cast<int>(n));
        ASSERT_STREQ(expected, queue.Item(n).szCommand) << n;
    }
    queue.Clear();
    EXPECT_EQ(nClears + 1, queue.Clears());
    EXPECT_EQ(0u, queue.Pushed());
    EXPECT_EQ(0, queue.Count());
}

TEST(ConsoleRecord, NumbersCountTheViewsLinesAndWhatGoesPastTheLimitIsCounted)
{
    CConsoleRecord record(5);
    record.Append(LOG_KIND_DATA, L"one");
    record.Append(LOG_KIND_SEND, L"[ELP_DOOR_001]\r\n"); // two lines in the view
    record.Append(999, L"ignored");                       // a number only, which does not advance
    record.Append(LOG_KIND_RECV, L"[EPL_PANO_001]");
    std::vector<CConsoleRecord::Line> lines;
    record.Copy(0, 100, lines);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(1, lines[0].nNumber);
    EXPECT_EQ(2, lines[1].nNumber);
    EXPECT_EQ(4, lines[2].nNumber);
    EXPECT_EQ(4, lines[3].nNumber);
    EXPECT_EQ(L"0002| >> [ELP_DOOR_001]\r\n\r\n", FormatConsoleLine(lines[1]));
    EXPECT_EQ(L"0004| ", FormatConsoleLine(lines[2]));
    EXPECT_EQ(L"0004| << [EPL_PANO_001]\r\n", FormatConsoleLine(lines[3]));

    // Past the limit the oldest go and are counted; a reader behind them starts at the oldest.
    for (int i = 0; i < 4; ++i)
        record.Append(LOG_KIND_DATA, (L"more " + std::to_wstring(i)).c_str());
    EXPECT_EQ(5u, record.Count());
    EXPECT_EQ(3u, record.Dropped());
    lines.clear();
    const unsigned long long nNext = record.Copy(0, 2, lines);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(3u, lines[0].nSeq);
    EXPECT_EQ(5u, nNext);
    // The latest of the kinds shown, oldest first.
    const bool bShown[3] = {false, true, false};
    lines.clear();
    record.CopyLatest(10, bShown, lines);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(L"[EPL_PANO_001]", lines[0].text);
    record.Clear();
    record.Append(LOG_KIND_DATA, L"anew");
    lines.clear();
    record.Copy(0, 10, lines);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(1, lines[0].nNumber) << "numbering starts again after a Clear";
    EXPECT_EQ(0u, record.Dropped());
}

} // namespace

namespace {
class CSetClock : public IClock {
public:
    long long NowMicros() const override { return llNow; }
    long long llNow = 5000000;
};
} // namespace

TEST(DataGate, LooseTextFlowsAtAReadableRateAndTheExcessIsCounted)
{
    CSetClock clock;
    CDataGate gate(clock);
    gate.Reset();
    // A burst passes whole, then the rest of it is counted.
    const size_t nLine = 200;
    long long llShown = 0;
    while (gate.Admit(nLine))
        llShown += nLine;
    EXPECT_GT(llShown, CDataGate::kBurstChars - static_cast<long long>(nLine));
    EXPECT_LE(llShown, CDataGate::kBurstChars);
    for (int i = 0; i < 99; ++i)
        EXPECT_FALSE(gate.Admit(nLine));
    EXPECT_EQ(0u, gate.TakeHiddenDue()) << "the count is told at most once a second";

    // Half a second later half a second's worth passes again.
    clock.llNow += 500000;
    long long llAgain = 0;
    while (gate.Admit(nLine))
        llAgain += nLine;
    EXPECT_NEAR(static_cast<double>(CDataGate::kCharsPerSecond / 2), static_cast<double>(llAgain), nLine);
    clock.llNow += 600000;
    EXPECT_EQ(101u * nLine, gate.TakeHiddenDue()) << "every hidden line is in the count";
    EXPECT_EQ(0u, gate.TakeHiddenDue());
    EXPECT_FALSE(gate.Admit(CDataGate::kBurstChars + 1)) << "a line beyond any allowance is counted";
    EXPECT_EQ(static_cast<unsigned long long>(CDataGate::kBurstChars + 1), gate.TakeHidden());
    // After a quiet spell the whole burst is there again.
    clock.llNow += 60000000;
    EXPECT_TRUE(gate.Admit(CDataGate::kBurstChars));
}

namespace {

// The cutter's rules as the unit's protocol states them, each case on both links: what a
// serial and a TCP receive thread hand on for the same bytes.
struct CutCase {
    std::string bytes;
    std::vector<std::wstring> serial;
    std::vector<std::wstring> tcp;
};

TEST(FrameAssembler, CutsByBracketsAloneOnBothLinks)
{
    const std::vector<CutCase> cases = {
        {"[EPL_PANO_001]\r\n", {L"F:[EPL_PANO_001]"}, {L"F:[EPL_PANO_001]"}},
        {"abc\r\n[SMP_TEST]", {L"D:abc", L"F:[SMP_TEST]"}, {L"D:abc", L"F:[SMP_TEST]"}},
        // Blanks go on the serial link, inside frames and out; TCP keeps them.
        {"[SMP_A B C]", {L"F:[SMP_ABC]"}, {L"F:[SMP_A B C]"}},
        {"a b\r\n", {L"D:ab"}, {L"D:a b"}},
        // An unfinished frame ends as data at a new "[" or a line end.
        {"[AB[SMP_TEST]", {L"D:[AB", L"F:[SMP_TEST]"}, {L"D:[AB", L"F:[SMP_TEST]"}},
        {"[EPL_PA\n", {L"D:[EPL_PA"}, {L"D:[EPL_PA"}},
        // "]" outside a frame is text; line ends alone are nothing.
        {"\r\n\r\na]b\r", {L"D:a]b"}, {L"D:a]b"}},
        // Whatever lies between the brackets is a frame, however short or odd.
        {"[]", {L"F:[]"}, {L"F:[]"}},
        {"[ab]", {L"F:[ab]"}, {L"F:[ab]"}},
        {"[SPLPANO12]", {L"F:[SPLPANO12]"}, {L"F:[SPLPANO12]"}},
        {"[SPL_P\xE9NO]", {L"F:[SPL_P\xE9NO]"}, {L"F:[SPL_P\xE9NO]"}},
        {"[\x01\x1B\x7F\xFF]", {L"F:[\x01\x1B\x7F\xFF]"}, {L"F:[\x01\x1B\x7F\xFF]"}},
        {"[EPM_PANO_\t#]", {L"F:[EPM_PANO_\t#]"}, {L"F:[EPM_PANO_\t#]"}},
        // A NUL byte is dropped: the frame stays whole.
        {std::string("[SMP_\0OK]", 9), {L"F:[SMP_OK]"}, {L"F:[SMP_OK]"}},
    };
    for (const CutCase& c : cases) {
        CFrameAssembler serial(false);
        CFrameAssembler tcp(true);
        EXPECT_EQ(c.serial, Cut(serial, c.bytes)) << "serial: " << c.bytes;
        EXPECT_EQ(c.tcp, Cut(tcp, c.bytes)) << "tcp: " << c.bytes;
    }
    // A frame in two reads is one frame.
    CFrameAssembler tcp(true);
    EXPECT_TRUE(Cut(tcp, "[SPL_").empty());
    EXPECT_EQ((std::vector<std::wstring>{L"F:[SPL_PANO]"}), Cut(tcp, "PANO]"));
}

TEST(ConsoleRecord, LinesNotKeptAreNumberedAndTappedButLeaveAGap)
{
    struct Tap : CConsoleRecord::ITap {
        std::vector<CConsoleRecord::Line> lines;
        void OnLine(const CConsoleRecord::Line& line) override { lines.push_back(line); }
    } tap;
    CConsoleRecord record;
    record.SetTap(&tap);
    EXPECT_TRUE(record.IsTapped());
    record.Append(LOG_KIND_DATA, L"kept 1");
    record.AppendUnkept(LOG_KIND_DATA, L"passed 1");
    record.AppendUnkept(LOG_KIND_DATA, L"passed 2");
    record.Append(LOG_KIND_RECV, L"[SMP_KEPT]");
    record.AppendUnkept(LOG_KIND_DATA, L"passed 3");
    record.Append(LOG_KIND_DATA, L"kept 2");

    // The tap hears every line, in order, numbered one after the other.
    ASSERT_EQ(6u, tap.lines.size());
    for (size_t i = 0; i < tap.lines.size(); ++i) {
        EXPECT_EQ(i, tap.lines[i].nSeq);
        EXPECT_EQ(static_cast<int>(i) + 1, tap.lines[i].nNumber);
    }
    EXPECT_EQ(L"passed 2", tap.lines[2].text);
    // The record holds the kept ones only, with their own sequences.
    EXPECT_EQ(3u, record.Count());
    EXPECT_EQ(3u, record.Unkept());
    EXPECT_EQ(0u, record.Dropped());
    EXPECT_EQ(6u, record.NextSeq());
    std::vector<CConsoleRecord::Line> lines;
    EXPECT_EQ(5u, record.Copy(1, 1, lines)) << "the next kept line after the one copied";
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(L"[SMP_KEPT]", lines[0].text);
    EXPECT_EQ(4, lines[0].nNumber);
    EXPECT_EQ(2u, record.CountFrom(1));
    EXPECT_EQ(5u, record.SkipFrom(1, 1));
    EXPECT_EQ(6u, record.SkipFrom(1, 2));
    record.Clear();
    EXPECT_EQ(6u, record.StartSeq());
    EXPECT_EQ(0u, record.Unkept());
    record.SetTap(nullptr);
    EXPECT_FALSE(record.IsTapped());
}

} // namespace
