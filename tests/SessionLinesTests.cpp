// The session as one sequence of lines over a small console record and a real session record
// in a scratch folder: its front only in the files, lines the record never kept among them.
#include "comm/record/SessionLines.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using testsupport::MakeScratchDir;
using testsupport::PumpUntil;
using testsupport::ReadFileBytes;
using Line = CConsoleRecord::Line;

namespace {

const bool kAll[3] = {true, true, true};
constexpr size_t kKept = 200;
constexpr int kLines = 5000;
const UINT kFoundMsg = WM_APP + 17;

// A line's text as the session record writes it after its mark: breaks as \r and \n, then its
// round trip or wait.
std::wstring Body(const Line& line)
{
    std::wstring body;
    for (wchar_t ch : line.text)
        body += ch == L'\r' ? std::wstring(L"\\r") : ch == L'\n' ? std::wstring(L"\\n") : std::wstring(1, ch);
    return body + ConsoleLineSuffix(line);
}

// A console whose record keeps kKept lines, and the session record of one link.
struct SessionRig {
    explicit SessionRig(const wchar_t* lpName) : folder(MakeScratchDir(lpName))
    {
        recorder.SetFolder(folder);
        recorder.Start();
        TakeRecorderLines();
    }
    ~SessionRig() { recorder.Stop(); }

    CConsoleRecord& Record() { return inbox.Record(); }
    // Lines the recorder wrote itself ("Session record: ...") join what is expected.
    void TakeRecorderLines()
    {
        const unsigned long long nFrom = expected.empty() ? 0 : expected.back().nSeq + 1;
        Record().Copy(nFrom, 100, expected);
    }
    void Add(int nKind, const std::wstring& text, long long llRoundTripUs = -1, long long llQueuedUs = -1)
    {
        const unsigned long long nSeq = Record().NextSeq();
        Record().Append(nKind, text.c_str(), llRoundTripUs, llQueuedUs);
        Record().Copy(nSeq, 1, expected); // with its stamp
    }
    void AddUnkept(int nKind, const std::wstring& text)
    {
        const unsigned long long nSeq = Record().NextSeq();
        Record().AppendUnkept(nKind, text.c_str());
        expected.push_back(Line{nSeq, nKind, nNumber(), text, 0});
    }
    int nNumber()
    {
        // The number the record gave: one more than the last line's, past its breaks.
        const Line& last = expected.back();
        return last.nNumber + 1 + CountLineBreaks(last.text);
    }
    // A session longer than the record, with lines not kept in the files' part and the
    // record's; the words "alpha", "bravo", "charlie", "delta" at known places.
    void AddSession()
    {
        nSessionStart = expected.size();
        for (int i = 0; i < kLines; ++i) {
            const int nKind = LOG_KIND_SEND + i % 3;
            wchar_t szText[64] = {};
            _snwprintf(szText, 63, L"line %05d [CMD_%d]", i, i % 17);
            std::wstring text = szText;
            if (i == 3)
                text += std::wstring(10000, L'\n') + L"and a long one"; // numbers past 9999 after it
            if (i == 100)
                text = L"Needle alpha and ALPHA and Alpha";
            if (i == 4900)
                text = L"the word bravo in the record";
            if (i == 2050 || i == 4950)
                text = L"charlie, never kept by the console";
            if (i == 600 || i == 601)
                text = L"delta " + text;
            if ((i >= 2000 && i < 2100) || i == 4950)
                AddUnkept(nKind, text);
            else if (nKind == LOG_KIND_RECV && i % 7 == 0)
                Add(nKind, text, 1000LL * i + 123);
            else if (nKind == LOG_KIND_SEND && i % 11 == 0)
                Add(nKind, text, -1, 500LL * i + 50);
            else
                Add(nKind, text);
        }
    }
    // The session's lines all on disk: the record's writer has written them (it is behind
    // the tap by at most its tick).
    bool OnDisk()
    {
        return PumpUntil([&] {
            std::vector<Line> read;
            sessionLines.Read(sessionLines.Begin(), sessionLines.End(), static_cast<size_t>(-1), kAll, read);
            return read.size() == expected.size();
        }, 20000);
    }
    std::vector<Line> Expected(const bool bShown[3]) const
    {
        std::vector<Line> shown;
        for (const Line& line : expected)
            if (bShown[line.nKind - LOG_KIND_SEND])
                shown.push_back(line);
        return shown;
    }

    std::wstring folder;
    CCommInbox inbox{kKept};
    CSessionRecorder recorder{inbox};
    CSessionLines sessionLines{inbox.Record(), recorder};
    std::vector<Line> expected;
    size_t nSessionStart = 0;
    // Line i of AddSession.
    const Line& At(int i) const { return expected.at(nSessionStart + static_cast<size_t>(i)); }
};

// Occurrences of a text in the lines' searched texts, A-Z as a-z.
unsigned long long CountIn(const std::vector<Line>& lines, std::wstring needle)
{
    const auto lower = [](std::wstring text) {
        for (wchar_t& ch : text)
            ch = ch >= L'A' && ch <= L'Z' ? static_cast<wchar_t>(ch + 32) : ch;
        return text;
    };
    needle = lower(needle);
    unsigned long long nCount = 0;
    for (const Line& line : lines) {
        const std::wstring body = lower(Body(line));
        for (size_t nAt = body.find(needle); nAt != std::wstring::npos; nAt = body.find(needle, nAt + needle.size()))
            ++nCount;
    }
    return nCount;
}

testing::AssertionResult SameLines(const std::vector<Line>& want, const std::vector<Line>& got, unsigned long long nFirstKept)
{
    if (want.size() != got.size())
        return testing::AssertionFailure() << "lines: want " << want.size() << ", got " << got.size();
    for (size_t i = 0; i < want.size(); ++i) {
        const Line& w = want[i];
        const Line& g = got[i];
        if (w.nSeq != g.nSeq || w.nKind != g.nKind || w.nNumber != g.nNumber || Body(w) != Body(g))
            return testing::AssertionFailure() << "line " << i << ": want seq " << w.nSeq << " kind " << w.nKind << " number "
                                               << w.nNumber << " \"" << ToUtf8(Body(w)).substr(0, 80) << "\", got seq " << g.nSeq
                                               << " kind " << g.nKind << " number " << g.nNumber << " \""
                                               << ToUtf8(Body(g)).substr(0, 80) << "\"";
        // Lines before the record's oldest, and those it never kept, come from the files:
        // their stamp is a time of day.
        if (IsTimeOfDay(g.llTime) != (w.llTime == 0 || g.nSeq < nFirstKept))
            return testing::AssertionFailure() << "seq " << g.nSeq << " from the wrong place";
        if (w.llTime != 0 && FormatStamp(w.llTime) != FormatStamp(g.llTime))
            return testing::AssertionFailure() << "seq " << g.nSeq << " stamp " << ToUtf8(FormatStamp(g.llTime));
    }
    return testing::AssertionSuccess();
}

// Waits for a message posted to a window of this thread, without dispatching others to it.
bool WaitPosted(HWND hWnd, UINT uMsg, DWORD dwTimeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
    MSG msg;
    while (!PeekMessageW(&msg, hWnd, uMsg, uMsg, PM_REMOVE)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_POSTMESSAGE);
    }
    return true;
}

struct NotifyWindow {
    NotifyWindow() : hWnd(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}
    ~NotifyWindow() { DestroyWindow(hWnd); }
    HWND hWnd;
};

CSessionFind::Result Find(SessionRig& rig, const wchar_t* lpText, bool bSend = true, bool bRecv = true, bool bData = true)
{
    NotifyWindow window;
    CSessionFind find;
    CSessionFind::Query query;
    query.text = lpText;
    query.bKinds[0] = bSend;
    query.bKinds[1] = bRecv;
    query.bKinds[2] = bData;
    CSessionFind::Result result;
    EXPECT_TRUE(find.Start(rig.sessionLines, query, window.hWnd, kFoundMsg));
    EXPECT_TRUE(WaitPosted(window.hWnd, kFoundMsg, 60000));
    result = find.Take();
    EXPECT_FALSE(find.IsRunning());
    EXPECT_FALSE(result.bCancelled);
    return result;
}

std::vector<unsigned long long> HitSeqs(const CSessionFind::Result& result)
{
    std::vector<unsigned long long> seqs;
    for (const CSessionFind::Hit& hit : result.hits)
        seqs.push_back(hit.nSeq);
    return seqs;
}

} // namespace

TEST(SessionFileLine, TheTapsLinesReadBackToWhatWasWritten)
{
    SessionRig rig(L"lines_parse");
    rig.AddSession();
    rig.Add(LOG_KIND_DATA, L"bytes \xFFFD and \x00E9\x4E2D");
    rig.recorder.Stop();
    std::vector<std::wstring> parts = rig.recorder.Spans().at(0).parts;
    ASSERT_EQ(1u, parts.size());
    const std::string bytes = ReadFileBytes(parts[0]);
    size_t nLines = 0;
    bool bPastNumber9999 = false;
    for (size_t i = 0, end; (end = bytes.find("\r\n", i)) != std::string::npos; i = end + 2, ++nLines) {
        const std::string fileLine = bytes.substr(i, end - i);
        Line line;
        ASSERT_TRUE(ParseSessionFileLine(fileLine, 77, line)) << fileLine;
        EXPECT_EQ(77u, line.nSeq);
        EXPECT_TRUE(IsTimeOfDay(line.llTime)) << fileLine;
        ASSERT_EQ(fileLine + "\r\n", ToUtf8(FormatConsoleLine(line, true)));
        bPastNumber9999 = bPastNumber9999 || line.nNumber > 9999;
    }
    EXPECT_EQ(rig.expected.size(), nLines);
    EXPECT_TRUE(bPastNumber9999);

    // A note of the view, and a line of each kind with a round trip or a wait.
    Line note{5, LOG_KIND_DATA, 0, L"12 earlier lines not kept here", TimeOfDayStamp(45296789)};
    Line sent{6, LOG_KIND_SEND, 12345, L"[SPL_PANO]", TimeOfDayStamp(1), -1, 1203500};
    Line answer{7, LOG_KIND_RECV, 12346, L"[EPL_PANO]", TimeOfDayStamp(86399999), 312400};
    for (const Line& written : {note, sent, answer}) {
        const std::wstring text = FormatConsoleLine(written, true);
        Line line;
        ASSERT_TRUE(ParseSessionFileLine(ToUtf8(text.substr(0, text.size() - 2)), written.nSeq, line));
        EXPECT_EQ(written.nKind, line.nKind);
        EXPECT_EQ(written.nNumber, line.nNumber);
        EXPECT_EQ(written.llTime, line.llTime);
        EXPECT_EQ(Body(written), line.text);
        EXPECT_EQ(text, FormatConsoleLine(line, true));
    }
    EXPECT_EQ(L"12:34:56.789", FormatStamp(note.llTime));

    // Bytes that are no such line are a line as written; bytes that are no UTF-8 are U+FFFD.
    Line line;
    EXPECT_FALSE(ParseSessionFileLine("12x| not a line", 9, line));
    EXPECT_EQ(-1, line.nNumber);
    EXPECT_EQ(LOG_KIND_DATA, line.nKind);
    EXPECT_EQ(L"12x| not a line", line.text);
    EXPECT_FALSE(ParseSessionFileLine("", 9, line));
    ASSERT_TRUE(ParseSessionFileLine("0003| << a\xFF" "b", 9, line));
    EXPECT_EQ(LOG_KIND_RECV, line.nKind);
    EXPECT_EQ(0, line.llTime);
    EXPECT_EQ(L"a\xFFFD" L"b", line.text);
}

TEST(SessionLines, ReadGivesEveryLineOfTheSessionInOrderFromTheRecordOrTheFiles)
{
    SessionRig rig(L"lines_read");
    rig.AddSession();
    rig.recorder.Stop();
    rig.TakeRecorderLines();
    CSessionLines& lines = rig.sessionLines;
    const unsigned long long nFirstKept = rig.Record().FirstSeq();
    ASSERT_GT(nFirstKept, 4000u) << "the session's front is only in the files";
    EXPECT_EQ(0u, lines.Begin());
    EXPECT_EQ(rig.Record().NextSeq(), lines.End());

    std::vector<Line> all;
    EXPECT_EQ(lines.End(), lines.Read(lines.Begin(), lines.End(), static_cast<size_t>(-1), kAll, all));
    EXPECT_TRUE(SameLines(rig.expected, all, nFirstKept));

    // Page by page, each read going on where the last stopped.
    std::vector<Line> paged;
    unsigned long long nAt = lines.Begin();
    while (nAt < lines.End()) {
        const size_t nBefore = paged.size();
        nAt = lines.Read(nAt, lines.End(), 37, kAll, paged);
        ASSERT_LE(paged.size() - nBefore, 37u);
        ASSERT_EQ(paged.back().nSeq + 1, nAt);
    }
    EXPECT_TRUE(SameLines(rig.expected, paged, nFirstKept));

    // One kind only; and the same from a fresh index, read from the middle first.
    const bool bSent[3] = {true, false, false};
    std::vector<Line> sent;
    lines.Read(lines.Begin(), lines.End(), static_cast<size_t>(-1), bSent, sent);
    EXPECT_TRUE(SameLines(rig.Expected(bSent), sent, nFirstKept));
    lines.Reset();
    std::vector<Line> middle;
    lines.Read(3000, 3040, static_cast<size_t>(-1), kAll, middle);
    EXPECT_TRUE(SameLines(std::vector<Line>(rig.expected.begin() + 3000, rig.expected.begin() + 3040), middle, nFirstKept));
}

TEST(SessionLines, ReadBeforeGivesTheShownLinesJustBeforeAPlace)
{
    SessionRig rig(L"lines_before");
    rig.AddSession();
    rig.recorder.Stop();
    rig.TakeRecorderLines();
    CSessionLines& lines = rig.sessionLines;
    const unsigned long long nFirstKept = rig.Record().FirstSeq();
    const auto expectBefore = [&](unsigned long long nTo, size_t nMax, const bool bShown[3]) {
        std::vector<Line> want;
        for (const Line& line : rig.Expected(bShown))
            if (line.nSeq < nTo)
                want.push_back(line);
        if (want.size() > nMax)
            want.erase(want.begin(), want.end() - static_cast<std::ptrdiff_t>(nMax));
        std::vector<Line> got;
        lines.ReadBefore(nTo, nMax, bShown, got);
        return SameLines(want, got, nFirstKept);
    };
    EXPECT_TRUE(expectBefore(lines.End(), 40, kAll)) << "at the end";
    EXPECT_TRUE(expectBefore(nFirstKept + 10, 40, kAll)) << "across the record's oldest line";
    EXPECT_TRUE(expectBefore(2110, 40, kAll)) << "just after the lines not kept";
    EXPECT_TRUE(expectBefore(15, 40, kAll)) << "at the start";
    const bool bReceived[3] = {false, true, false};
    EXPECT_TRUE(expectBefore(lines.End(), 40, bReceived)) << "one kind";
    EXPECT_TRUE(expectBefore(nFirstKept + 5, 3000, bReceived)) << "many blocks";
}

TEST(SessionLines, ARunningRecordIsReadAsFarAsItsWriterWrote)
{
    SessionRig rig(L"lines_running");
    rig.AddSession();
    // The writer is up to its tick behind: the session is whole once it wrote.
    ASSERT_TRUE(rig.OnDisk());
    std::vector<Line> all;
    rig.sessionLines.Read(rig.sessionLines.Begin(), rig.sessionLines.End(), static_cast<size_t>(-1), kAll, all);
    EXPECT_TRUE(SameLines(rig.expected, all, rig.Record().FirstSeq()));
    // More lines: the index goes on from where it was.
    for (int i = 0; i < 3000; ++i)
        rig.AddUnkept(LOG_KIND_DATA, L"more " + std::to_wstring(i));
    ASSERT_TRUE(rig.OnDisk());
    std::vector<Line> tail;
    rig.sessionLines.ReadBefore(rig.sessionLines.End(), 10, kAll, tail);
    ASSERT_EQ(10u, tail.size());
    EXPECT_EQ(L"more 2999", tail.back().text);
    EXPECT_EQ(rig.expected.back().nSeq, tail.back().nSeq);
    // After a Clear the session starts again.
    rig.Record().Clear();
    rig.recorder.OnClear(rig.Record().NextSeq());
    rig.sessionLines.Reset();
    rig.Add(LOG_KIND_DATA, L"after the clear");
    EXPECT_EQ(rig.expected.back().nSeq, rig.sessionLines.Begin());
    std::vector<Line> after;
    rig.sessionLines.Read(0, rig.sessionLines.End(), static_cast<size_t>(-1), kAll, after);
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ(L"after the clear", after[0].text);
}

TEST(SessionFind, FindsEachHitInTheFilesAndTheRecordInSessionOrder)
{
    SessionRig rig(L"find");
    rig.AddSession();
    rig.recorder.Stop();
    rig.TakeRecorderLines();
    const unsigned long long nFirstKept = rig.Record().FirstSeq();
    ASSERT_LT(nFirstKept, 4900u) << "bravo is in the record";

    // Only in the files, three times in one line, any case.
    CSessionFind::Result alpha = Find(rig, L"aLpHa");
    EXPECT_EQ(3u, alpha.nTotal);
    ASSERT_EQ(3u, alpha.hits.size());
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(rig.At(100).nSeq, alpha.hits[i].nSeq);
        EXPECT_EQ(static_cast<int>(7 + 10 * i), alpha.hits[i].nColumn);
    }
    EXPECT_EQ(rig.Record().NextSeq(), alpha.nEnd);

    // In the record's part; and in lines the console never kept (the files have them).
    CSessionFind::Result bravo = Find(rig, L"BRAVO");
    ASSERT_EQ(1u, bravo.hits.size());
    EXPECT_EQ(rig.At(4900).nSeq, bravo.hits[0].nSeq);
    EXPECT_EQ(9, bravo.hits[0].nColumn);
    CSessionFind::Result charlie = Find(rig, L"Charlie");
    EXPECT_EQ((std::vector<unsigned long long>{rig.At(2050).nSeq, rig.At(4950).nSeq}), HitSeqs(charlie));

    // Kinds: "delta" is in a line sent and a line received.
    EXPECT_EQ((std::vector<unsigned long long>{rig.At(600).nSeq, rig.At(601).nSeq}), HitSeqs(Find(rig, L"delta ")));
    EXPECT_EQ((std::vector<unsigned long long>{rig.At(601).nSeq}), HitSeqs(Find(rig, L"delta", false, true, false)));

    // Every line, and the waits and round trips written after the texts, wherever they are.
    EXPECT_EQ(CountIn(rig.expected, L"line "), Find(rig, L"line ").nTotal);
    EXPECT_EQ(CountIn(rig.expected, L"waited"), Find(rig, L"WAITED").nTotal);
    EXPECT_EQ(CountIn(rig.expected, L"3.1 ms"), Find(rig, L"3.1 ms").nTotal);
    EXPECT_GT(CountIn(rig.expected, L"waited"), 100u);
    EXPECT_EQ(0u, Find(rig, L"no such text").nTotal);
    // The number and the stamp are not searched.
    EXPECT_EQ(0u, Find(rig, L"| ").nTotal);
}

TEST(SessionFind, ACancelledFindPostsItsMessageAndEnds)
{
    SessionRig rig(L"find_cancel");
    rig.AddSession();
    rig.recorder.Stop();
    rig.TakeRecorderLines();
    const unsigned long long nAll = CountIn(rig.expected, L"line");
    NotifyWindow window;
    CSessionFind find;
    CSessionFind::Query query;
    query.text = L"line";
    EXPECT_FALSE(find.Start(rig.sessionLines, CSessionFind::Query(), window.hWnd, kFoundMsg)) << "empty query";
    ASSERT_TRUE(find.Start(rig.sessionLines, query, window.hWnd, kFoundMsg));
    find.Cancel();
    EXPECT_FALSE(find.IsRunning());
    EXPECT_TRUE(WaitPosted(window.hWnd, kFoundMsg, 20000));
    const CSessionFind::Result cancelled = find.Take();
    // It stopped where it was, or had found every line already.
    if (!cancelled.bCancelled) {
        EXPECT_EQ(nAll, cancelled.nTotal);
    }
    EXPECT_LE(cancelled.nTotal, nAll);
    std::printf("find cancelled: %s, %llu hits\n", cancelled.bCancelled ? "yes" : "no (it had ended)", cancelled.nTotal);
    EXPECT_EQ(0u, find.Take().nTotal) << "taken once";
    // A find started again runs to its end; the destructor waits for a find under way.
    ASSERT_TRUE(find.Start(rig.sessionLines, query, window.hWnd, kFoundMsg));
    ASSERT_TRUE(WaitPosted(window.hWnd, kFoundMsg, 60000));
    const CSessionFind::Result whole = find.Take();
    EXPECT_FALSE(whole.bCancelled);
    EXPECT_EQ(nAll, whole.nTotal);
    CSessionFind left;
    ASSERT_TRUE(left.Start(rig.sessionLines, query, window.hWnd, kFoundMsg));
}
