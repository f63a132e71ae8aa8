// The link opener with links of the tests' own: an open whose CreateFile does not come back
// (a Bluetooth or virtual port) is given up at once by Close, by the program's end and by
// unticking "Reconnect", and its thread closes what it opened when it returns; the back-off
// of "Reconnect" grows while a unit accepts and drops at once.
#include "comm/link/LinkOpener.h"
#include "support/MemoryLink.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// A port whose open waits for the test (and does not look at the cancel event, as a
// CreateFile does not), and that counts its closes.
struct SlowPort {
    HANDLE hRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> nOpens{0};
    std::atomic<int> nCloses{0};
    std::atomic<int> nDestroyed{0};
    DWORD dwResult = 0;
    ~SlowPort() { CloseHandle(hRelease); }
};

class CSlowLink : public CMemoryLink {
public:
    explicit CSlowLink(SlowPort& port) : m_port(port) { SetKind(LinkKind::Serial); }
    ~CSlowLink() override { ++m_port.nDestroyed; }
    DWORD Open(const LinkParams&, HANDLE) override
    {
        ++m_port.nOpens;
        WaitForSingleObject(m_port.hRelease, 60000);
        return m_port.dwResult;
    }
    int Close() override
    {
        ++m_port.nCloses;
        return 0;
    }

private:
    SlowPort& m_port;
};

class CTestHost : public IOpenerHost {
public:
    bool OnLinkOpened(std::unique_ptr<CLink> pLink, const LinkParams&) override
    {
        links.push_back(std::move(pLink));
        bUp = true;
        return true;
    }
    bool IsLinkUp() const override { return bUp; }
    void OnOpenerLine(const std::wstring& text) override { lines.push_back(text); }
    void OnOpenerState() override {}

    bool Said(const std::wstring& part) const
    {
        for (const std::wstring& line : lines) {
            if (line.find(part) != std::wstring::npos)
                return true;
        }
        return false;
    }

    std::vector<std::unique_ptr<CLink>> links;
    std::vector<std::wstring> lines;
    bool bUp = false;
};

struct OpenerRig {
    SlowPort port;
    CTestHost host;
    std::unique_ptr<CLinkOpener> opener;

    OpenerRig()
    {
        SetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", L"50");
        opener = std::make_unique<CLinkOpener>(host, [this](LinkKind) { return std::make_unique<CSlowLink>(port); });
        SetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", nullptr);
    }
    ~OpenerRig()
    {
        // Every opener thread has returned before the port it uses goes.
        SetEvent(port.hRelease);
        opener->PrepareExit();
        PumpUntil([&] { return opener->RunningThreads() == 0; }, 20000);
        opener.reset();
    }
};

} // namespace

TEST(LinkOpener, CloseGivesUpAnOpenThatDoesNotComeBackAndItsThreadClosesWhatItOpened)
{
    OpenerRig rig;
    // The open waits while this thread serves its windows; a Close comes from a timer, as the
    // console's button would, and is dispatched by the open's own wait.
    struct Ctx {
        OpenerRig* pRig;
        bool bCancelled;
        ULONGLONG ullAt;
    };
    static Ctx s_ctx;
    s_ctx = Ctx{&rig, false, 0};
    const UINT_PTR nCancelTimer = SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR nId, DWORD) {
        KillTimer(nullptr, nId);
        s_ctx.ullAt = GetTickCount64();
        s_ctx.bCancelled = s_ctx.pRig->opener->Cancel(L"the link was closed");
    });
    ASSERT_NE(0u, nCancelTimer);
    const DWORD dwResult = rig.opener->OpenWaiting(LinkParams::Serial(9, 115200));
    const ULONGLONG ullReturnedAt = GetTickCount64();
    EXPECT_TRUE(s_ctx.bCancelled) << "the open was under way when Close came";
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), dwResult);
    EXPECT_LT(ullReturnedAt - s_ctx.ullAt, 2000u) << "Close does not wait for the port's open";
    EXPECT_FALSE(rig.opener->IsOpening());
    EXPECT_TRUE(rig.host.links.empty()) << "nobody is given a link that was given up";
    EXPECT_EQ(1, rig.opener->RunningThreads()) << "the opener thread is still in its open";
    // The port's open comes back at last: its thread closes the port and frees the link.
    SetEvent(rig.port.hRelease);
    EXPECT_TRUE(PumpUntil([&] { return rig.port.nCloses.load() == 1 && rig.port.nDestroyed.load() == 1; }, 10000));
    EXPECT_TRUE(PumpUntil([&] { return rig.opener->RunningThreads() == 0; }, 10000));
    EXPECT_TRUE(rig.host.links.empty());
}

TEST(LinkOpener, UntickingReconnectGivesUpTheAttemptUnderWay)
{
    OpenerRig rig;
    rig.opener->SetReconnect(true);
    rig.opener->OnLinkLost(LinkParams::Serial(9, 115200));
    ASSERT_TRUE(rig.opener->IsReconnecting());
    // The first attempt comes after one unit and hangs in the port's open.
    ASSERT_TRUE(PumpUntil([&] { return rig.port.nOpens.load() == 1; }, 10000));
    EXPECT_TRUE(rig.opener->IsOpening());
    rig.opener->SetReconnect(false);
    EXPECT_FALSE(rig.opener->IsOpening()) << "the attempt is given up at once";
    EXPECT_FALSE(rig.opener->IsReconnecting());
    EXPECT_TRUE(rig.host.Said(L"Reconnect stopped: \"Reconnect\" was switched off"));
    // The port opens after all: the link is not taken up, and no further attempt comes.
    SetEvent(rig.port.hRelease);
    EXPECT_TRUE(PumpUntil([&] { return rig.port.nCloses.load() == 1; }, 10000));
    PumpFor(500); // ten units: attempts would have come by now
    EXPECT_TRUE(rig.host.links.empty());
    EXPECT_EQ(1, rig.port.nOpens.load());
}

TEST(LinkOpener, BackOffGrowsWhileTheUnitDropsTheLinkSoonAfterEachAttempt)
{
    OpenerRig rig;
    SetEvent(rig.port.hRelease); // the port opens at once
    rig.opener->SetReconnect(true);
    const LinkParams params = LinkParams::Serial(9, 115200);
    rig.opener->OnLinkLost(params);
    EXPECT_TRUE(rig.host.Said(L"Reconnect: first attempt in"));
    ASSERT_TRUE(PumpUntil([&] { return !rig.opener->IsReconnecting(); }, 10000));
    ASSERT_EQ(1u, rig.host.links.size());
    EXPECT_TRUE(rig.host.Said(L"Reconnect attempt 1: "));
    // Lost again at once: the back-off goes on from where it was instead of starting again.
    rig.host.bUp = false;
    rig.opener->OnLinkLost(params);
    EXPECT_TRUE(rig.host.Said(L"Reconnect: the link was up for less than"));
    ASSERT_TRUE(PumpUntil([&] { return !rig.opener->IsReconnecting(); }, 10000));
    EXPECT_TRUE(rig.host.Said(L"Reconnect attempt 2: ")) << "the second attempt is counted as such";
    // A link that stays up for the stable time starts the back-off from its first step.
    rig.host.bUp = false;
    PumpFor(50 * CLinkOpener::kStableUnits + 200);
    rig.host.lines.clear();
    rig.opener->OnLinkLost(params);
    EXPECT_TRUE(rig.host.Said(L"Reconnect: first attempt in"));
    ASSERT_TRUE(PumpUntil([&] { return !rig.opener->IsReconnecting(); }, 10000));
    EXPECT_TRUE(rig.host.Said(L"Reconnect attempt 1: "));
}
