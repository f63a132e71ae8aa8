// The frame router's hold on the link while the owner window falls behind the unit's frames:
// counted per link from what the window itself has taken, so a window's own input never waits
// behind more than a short run of reports, and reports that a destroyed window never took
// hold nothing back, neither on its link nor on the next.
#include "comm/exchange/FrameRouter.h"
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
