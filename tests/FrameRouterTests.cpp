// The frame router's hold on the link while the owner window falls behind the unit's frames:
// counted per link from what the window itself has taken, so a window's own input never waits
// behind more than a short run of reports, and reports that a destroyed window never took
// hold nothing back, neither on its link nor on the next.
#include "comm/console/ConsoleView.h"
#include "comm/exchange/FrameRouter.h"
#include "comm/protocol/RecvKind.h"
#include "comm/record/SessionRecorder.h"
#include "support/CommTestSupport.h"
#include "support/MemoryLink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace testsupport;

namespace {

struct RouterRig {
    CManualClock clock;
    CCommInbox inbox;
    CCommandExchange exchange{inbox, clock};
    CFrameRouter router{exchange, inbox, clock};
    CMemoryLink link;

    RouterRig()
    {
        router.StartLink();
        exchange.Start(link);
    }
    ~RouterRig()
    {
        exchange.MarkClosed();
        exchange.Join(5000);
        exchange.Detach();
    }
};

// The unit's frames, handed to the router on a thread of their own as the receive thread
// does; counts how many it has handed over.
void Stream(CFrameRouter& router, int nFrames, std::atomic<int>& nDone)
{
    for (int i = 0; i < nFrames; ++i) {
        router.OnFrame(L"[SMP_DOOR_1]");
        ++nDone;
    }
}

} // namespace

TEST(FrameRouter, HoldsTheLinkWhileTheOwnerIsBehindAndGoesOnAsItTakesItsReports)
{
    RouterRig rig;
    CRecorderWnd owner;
    ASSERT_TRUE(owner.Create());
    rig.router.SetOwner(owner.m_hWnd);
    std::atomic<int> nDone{0};
    // The owner's thread (this one) does not look at its messages meanwhile.
    std::thread reader(Stream, std::ref(rig.router), 1000, std::ref(nDone));
    const ULONGLONG ullStart = GetTickCount64();
    while (GetTickCount64() - ullStart < 3000 && nDone.load() < 1000)
        Sleep(50);
    EXPECT_LE(nDone.load(), CFrameRouter::kReportsAhead + 1) << "the reader waits for the window";
    EXPECT_GE(rig.router.ReportsWaiting(), CFrameRouter::kReportsAhead);
    // The window takes its reports: every frame reaches it, in order, none lost.
    EXPECT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SMP) == 1000; }, 30000));
    reader.join();
    EXPECT_EQ(1000, nDone.load());
    EXPECT_EQ(0, rig.router.ReportsWaiting());
}

TEST(FrameRouter, ReportsADestroyedWindowNeverTookHoldNothingBack)
{
    RouterRig rig;
    auto owner = std::make_unique<CRecorderWnd>();
    ASSERT_TRUE(owner->Create());
    rig.router.SetOwner(owner->m_hWnd);
    std::atomic<int> nDone{0};
    std::thread first(Stream, std::ref(rig.router), 500, std::ref(nDone));
    // (this thread does not look at its messages: the window takes nothing)
    const ULONGLONG ullStart = GetTickCount64();
    while (GetTickCount64() - ullStart < 10000 && rig.router.ReportsWaiting() < CFrameRouter::kReportsAhead)
        Sleep(20);
    ASSERT_LT(nDone.load(), 500) << "the reader waits for the window";
    // The window goes with its reports still queued (their texts are never freed).
    const HWND hGone = owner->m_hWnd;
    DestroyWindow(hGone);
    first.join();
    EXPECT_EQ(500, nDone.load()) << "a window that is gone holds the reader no longer";
    // The next link counts afresh: the leaked reports of the last one do not count.
    rig.router.StartLink();
    EXPECT_EQ(0, rig.router.ReportsWaiting());
    CRecorderWnd next;
    ASSERT_TRUE(next.Create());
    rig.router.SetOwner(next.m_hWnd);
    nDone = 0;
    std::thread second(Stream, std::ref(rig.router), 50, std::ref(nDone));
    second.join();
    EXPECT_EQ(50, nDone.load());
    EXPECT_TRUE(PumpUntil([&] { return next.Count(WM_SERIAL_SMP) == 50; }, 10000));
}

namespace {

// The record's lines of a kind, in order.
std::vector<std::wstring> RecordTexts(const CConsoleRecord& record, int nKind)
{
    std::vector<CConsoleRecord::Line> lines;
    record.Copy(0, 100000, lines);
    std::vector<std::wstring> texts;
    for (const CConsoleRecord::Line& line : lines)
        if (line.nKind == nKind)
            texts.push_back(line.text);
    return texts;
}

} // namespace

// Bracketed noise is shown as a frame ("<< "), not as loose text, and a frame too short to
// have a class goes no further.
TEST(FrameRouter, WhateverTheCutterTookBetweenBracketsIsShownAsAFrame)
{
    RouterRig rig;
    const std::vector<std::wstring> noise = {L"[]", L"[ab]", L"[SPLPANO12]", L"[SPL_P\x00E9NO]", L"[\x0001\x001B\x007F\x00FF]",
                                             L"[SMP_\x0007\x0001XY]"};
    CRecorderWnd owner;
    ASSERT_TRUE(owner.Create());
    rig.router.SetOwner(owner.m_hWnd);
    for (const std::wstring& frame : noise)
        rig.router.OnFrame(frame.c_str());
    EXPECT_EQ(noise, RecordTexts(rig.inbox.Record(), LOG_KIND_RECV));
    EXPECT_TRUE(RecordTexts(rig.inbox.Record(), LOG_KIND_DATA).empty());
    // Its class field decides: the last one is the unit's SMP, with a bell in its word.
    EXPECT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SMP) == 1; }, 10000));
    PumpFor(100);
    ASSERT_EQ(1u, owner.notes.size());
    EXPECT_EQ(L"[SMP_\x0007\x0001XY]", owner.notes[0].text);
}

// The answer is the command's whatever else it holds: its class and command word decide.
TEST(FrameRouter, AnAnswerWithOddBytesIsMatchedToItsCommandByItsWord)
{
    RouterRig rig;
    CRecorderWnd reply;
    ASSERT_TRUE(reply.Create());
    ASSERT_TRUE(rig.exchange.Send(L"[SPL_PANO]", reply, enRECV_START_OK, false));
    ASSERT_TRUE(PumpUntil([&] { return !rig.link.Written().empty(); }, 10000));
    const std::wstring answer = L"[EPL_PANO_\x0001\x00FF\t{]";
    rig.router.OnFrame(answer.c_str());
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 1; }, 10000));
    EXPECT_EQ(answer, reply.notes[0].text);
    EXPECT_EQ(enRECV_START_OK, reply.notes[0].kind);
    // Shown once, as the answer, with its round trip.
    std::vector<CConsoleRecord::Line> lines;
    rig.inbox.Record().Copy(0, 100, lines);
    size_t nShown = 0;
    for (const CConsoleRecord::Line& line : lines) {
        if (line.nKind == LOG_KIND_RECV && line.text == answer) {
            ++nShown;
            EXPECT_GE(line.llRoundTripUs, 0);
        }
    }
    EXPECT_EQ(1u, nShown);
}

// Loose text beyond the gate's rate is not kept by the console, but the session record has
// every line in its place, and Save file gives them all back in order.
TEST(FrameRouter, LooseTextBeyondTheGateIsRecordedAndSavedButNotKept)
{
    RouterRig rig;
    const std::wstring folder = MakeScratchDir(L"gate_record");
    CSessionRecorder recorder(rig.inbox);
    // Without a record the count says where the text is instead.
    rig.router.TellHiddenData(5);
    EXPECT_EQ((std::vector<std::wstring>{L"5 bytes of data not shown here (in the diagnostic log)"}),
              RecordTexts(rig.inbox.Record(), LOG_KIND_DATA));
    recorder.SetFolder(folder);
    recorder.Start();
    ASSERT_TRUE(rig.inbox.Record().IsTapped());

    // Twice the burst in lines of 200 characters, with a frame now and then; the clock stands.
    const int nLines = static_cast<int>(2 * CDataGate::kBurstChars / 200);
    for (int i = 0; i < nLines; ++i) {
        wchar_t szHead[32] = {};
        _snwprintf(szHead, 31, L"loose %06d ", i);
        rig.router.OnDataLine((szHead + std::wstring(200 - 13, L'x')).c_str());
        if (i % 1000 == 999)
            rig.router.OnFrame(L"[SMP_MARK]");
    }
    rig.clock.AdvanceMs(1500);
    rig.router.OnDataLine(L"loose last");
    const CConsoleRecord& record = rig.inbox.Record();
    EXPECT_GT(record.Unkept(), static_cast<unsigned long long>(nLines / 3)) << "the gate held text back from the console";
    EXPECT_LT(record.Count(), static_cast<size_t>(nLines));
    std::wstring told;
    for (const std::wstring& text : RecordTexts(record, LOG_KIND_DATA))
        if (text.find(L"bytes of data kept in the session record only") != std::wstring::npos)
            told = text;
    EXPECT_NE(std::wstring::npos, told.find(L" bytes of data kept in the session record only")) << told;

    // Save file: every line, in order, the ones the console did not keep from the record.
    CSessionLines lines(record, recorder);
    CConsoleView view;
    view.Attach(nullptr, nullptr, &lines, nullptr);
    const std::wstring path = folder + L"saved.txt";
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    const std::unique_ptr<CSessionRecorder::CReader> reader = recorder.OpenReader();
    const bool bSaved = view.Save(hFile, false, {}, [&](unsigned long long nFrom, unsigned long long nTo, const CConsoleRecord::LineSink& emit) {
        return reader->Write(nFrom, nTo, emit);
    });
    CloseHandle(hFile);
    ASSERT_TRUE(bSaved);
    const std::string saved = ReadFileBytes(path);
    EXPECT_EQ(std::string::npos, saved.find("not kept here")) << "no line is missing";
    size_t nAt = 0;
    int nNumber = 0;
    for (int i = 0; i < nLines; ++i) {
        char szHead[32] = {};
        std::snprintf(szHead, sizeof(szHead), "loose %06d ", i);
        const size_t nFound = saved.find(szHead, nAt);
        ASSERT_NE(std::string::npos, nFound) << "line " << i << " in its place";
        // Its console number, at the start of its line, one more than the line before
        // (or two after a frame, or the gate's count, between them).
        const size_t nStart = saved.rfind("\r\n", nFound) + 2;
        const int nThis = std::atoi(saved.c_str() + nStart);
        ASSERT_GT(nThis, nNumber) << i;
        ASSERT_LE(nThis, nNumber + 3) << i;
        nNumber = nThis;
        nAt = nFound;
    }
    EXPECT_NE(std::string::npos, saved.find("loose last", nAt));
    recorder.Stop();
}
