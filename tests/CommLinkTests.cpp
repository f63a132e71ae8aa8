// The link manager's transports driven for real: a pseudo-terminal pair mapped as COM5/COM6
// and loopback TCP, with the program's side in this process and a plain peer on the other.
#include "comm/Comm.h"
#include "comm/link/SerialLink.h"
#include "comm/link/TcpLink.h"
#include "support/CommTestSupport.h"
#include "support/SimUnitProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

using namespace testsupport;

namespace {

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(owner.Create());
        comm = CComm::GetInstance();
        ASSERT_NE(nullptr, comm);
        comm->SetOwnerWnd(&owner);
    }

    void TearDown() override
    {
        if (comm->IsConnected())
            comm->Close();
        delete comm;
        EXPECT_EQ(nullptr, CComm::PeekInstance());
    }

    // A link the program closed by itself is released by the user-interface thread.
    bool WaitReleased(DWORD dwTimeoutMs = 10000)
    {
        return PumpUntil([&] { return !comm->IsConnected() && comm->RunningWorkerCount() == 0; }, dwTimeoutMs);
    }

    CRecorderWnd owner;
    CComm* comm = nullptr;
};

class SerialLinkTest : public LinkTest {
protected:
    void SetUp() override
    {
        LinkTest::SetUp();
        programPort = ProgramComPort();
        unitPort = UnitComPort();
        ASSERT_NE(0, programPort) << "run inside tools/wine-env.sh";
        ASSERT_TRUE(peer.Open(unitPort));
    }
    int programPort = 0;
    int unitPort = 0;
    SerialPeer peer;
};

class TcpLinkTest : public LinkTest {};

// What a link's receive thread hands on, counted; only what the tests below look at.
class CountingSink : public ILinkSink {
public:
    void OnFrame(const wchar_t*) override { ++nFrames; }
    void OnDataLine(const wchar_t*) override {}
    void OnLinkLost(const wchar_t*) override { ++nLost; }
    void OnLinkError(const wchar_t*) override { ++nErrors; }
    std::atomic<int> nFrames{0}, nLost{0}, nErrors{0};
};

// The link manager's close, as it does it: the link is marked closed, then woken. Returns the
// tick of the Wake.
ULONGLONG CloseAndWake(CLink& link, std::atomic<unsigned char>& bOpen)
{
    bOpen.store(0);
    const ULONGLONG ullWoken = GetTickCount64();
    link.Wake();
    return ullWoken;
}

TEST_F(SerialLinkTest, BytesCrossThePortUnchangedBothWays)
{
    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), 19200));
    EXPECT_TRUE(comm->IsConnected());
    EXPECT_EQ(3, comm->RunningWorkerCount());
    EXPECT_EQ(LinkKind::Serial, comm->GetCommType());

    // Every byte value but the flow-control characters, which XON/XOFF takes out of the data.
    std::string bytes;
    for (int b = 1; b < 256; ++b) {
        if (b != 0x11 && b != 0x13)
            bytes += static_cast<char>(b);
    }
    EXPECT_TRUE(comm->SendBytes(bytes));
    EXPECT_EQ(bytes, peer.Read(bytes.size(), 10000));

    // What the unit sends is read by the receive thread and shown; blanks are dropped on
    // the serial link.
    ASSERT_TRUE(peer.Write("[SMP_AB CD]\r\n"));
    EXPECT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SMP) == 1; }, 10000));
    EXPECT_TRUE(ConsoleHasLine(comm, L"<< [SMP_ABCD]"));
    ASSERT_EQ(1u, owner.notes.size());
    EXPECT_EQ(L"[SMP_ABCD]", owner.notes[0].text);
    EXPECT_EQ(enRECV_SMP_COMMAND, owner.notes[0].kind);
}

TEST_F(SerialLinkTest, OpenTwiceCloseTwiceThenReopen)
{
    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), 19200));
    const HANDLE hFirst = comm->GetPortHandle();
    EXPECT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), 9600)) << "open on an open link";
    EXPECT_EQ(hFirst, comm->GetPortHandle());

    EXPECT_TRUE(comm->CloseSerial());
    EXPECT_FALSE(comm->IsConnected());
    EXPECT_EQ(0, comm->RunningWorkerCount());
    EXPECT_EQ(INVALID_HANDLE_VALUE, comm->GetPortHandle());
    EXPECT_FALSE(comm->CloseSerial()) << "close on a closed link";

    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), 19200));
    EXPECT_EQ(3, comm->RunningWorkerCount());
    const std::string frame = "[SPL_PANO]\r\n";
    EXPECT_TRUE(comm->SendBytes(frame));
    EXPECT_EQ(frame, peer.Read(frame.size(), 10000));
    EXPECT_TRUE(comm->CloseSerial());
    EXPECT_EQ(0, comm->RunningWorkerCount());
}

TEST_F(SerialLinkTest, MissingPortFailsAndHoldsNothing)
{
    EXPECT_FALSE(comm->Open_Serial(42, 19200));
    EXPECT_FALSE(comm->IsConnected());
    EXPECT_EQ(INVALID_HANDLE_VALUE, comm->GetPortHandle());
    EXPECT_EQ(0, comm->RunningWorkerCount());
    // The program's port is still free for a real open.
    EXPECT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), 19200));
}

TEST_F(SerialLinkTest, LineSettingsReachThePort)
{
    for (unsigned long dwBaud : {115200ul, 230400ul, 9600ul}) {
        ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), dwBaud));
        DCB dcb{};
        dcb.DCBlength = sizeof(dcb);
        ASSERT_TRUE(GetCommState(comm->GetPortHandle(), &dcb));
        EXPECT_EQ(dwBaud, dcb.BaudRate);
        EXPECT_EQ(8, dcb.ByteSize);
        EXPECT_EQ(NOPARITY, dcb.Parity);
        EXPECT_EQ(ONESTOPBIT, dcb.StopBits);
        EXPECT_TRUE(dcb.fOutX);
        EXPECT_TRUE(dcb.fInX);
        EXPECT_EQ(0x11, dcb.XonChar);
        EXPECT_EQ(0x13, dcb.XoffChar);
        ASSERT_TRUE(comm->CloseSerial());
    }
}

TEST_F(SerialLinkTest, AUnitHoldingXoffHoldsNeitherTheSenderNorTheClose)
{
    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), 19200));
    // The unit says XOFF: the program's port stops sending, and every write waits.
    ASSERT_TRUE(peer.Write("\x13"));
    PumpFor(200);
    const ULONGLONG ullStart = GetTickCount64();
    ASSERT_TRUE(comm->SendData(L"[SPL_PANO]", &owner, enRECV_COMMAND, false));
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(comm->SendData(L"[SPL_CEPH]", &owner, enRECV_COMMAND, false));
    EXPECT_EQ(20, comm->GetQueueCount());
    EXPECT_EQ("", peer.Read(1, 500)) << "nothing leaves while the unit holds XOFF";
    EXPECT_TRUE(comm->IsConnected());

    // Close ends the held write, the workers and the port, within the time the link manager
    // gives its workers (and some for the port's own close), long before the write's bound.
    const ULONGLONG ullClosing = GetTickCount64();
    EXPECT_TRUE(comm->CloseSerial());
    const ULONGLONG ullClosed = GetTickCount64();
    EXPECT_LT(ullClosed - ullClosing, CLink::kJoinBudgetMs + 1000ull);
    EXPECT_EQ(0, comm->RunningWorkerCount());
    EXPECT_EQ(INVALID_HANDLE_VALUE, comm->GetPortHandle());
    std::printf("[ xoff ] sends and close took %llu ms while the unit held XOFF (close %llu ms)\n", ullClosed - ullStart,
                ullClosed - ullClosing);

    // The port is free again, and once the unit lets go a command goes through.
    ASSERT_TRUE(peer.Write("\x11"));
    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(programPort), 19200));
    PumpFor(100);
    peer.Read(4096, 300);
    ASSERT_TRUE(comm->SendData(L"[SPL_OCEP]", &owner, enRECV_NONE, false));
    EXPECT_EQ("[SPL_OCEP]\r\n", peer.Read(12, 10000));
}

TEST_F(TcpLinkTest, OpenSendReceiveAndPeerHangUp)
{
    const int nPort = UnusedTcpPort();
    TcpPeer peer;
    ASSERT_TRUE(peer.Listen(nPort));
    ASSERT_TRUE(comm->Open_Ethernet(L"127.0.0.1", nPort));
    ASSERT_TRUE(peer.Accept(10000));
    EXPECT_EQ(LinkKind::Tcp, comm->GetCommType());
    EXPECT_EQ(3, comm->RunningWorkerCount());
    EXPECT_TRUE(comm->Open_Ethernet(L"127.0.0.1", nPort)) << "open on an open link";

    const std::string bytes = "[SPL_PANO]\r\n\x01\xFF";
    EXPECT_TRUE(comm->SendBytes(bytes));
    EXPECT_EQ(bytes, peer.Receive(bytes.size(), 10000));

    // Blanks stay on TCP.
    ASSERT_TRUE(peer.Send("[SMP_AB CD]\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SMP) == 1; }, 10000));
    EXPECT_EQ(L"[SMP_AB CD]", owner.notes[0].text);

    // The unit hangs up: the link closes by itself and its threads end.
    peer.CloseConnection();
    EXPECT_TRUE(WaitReleased());
    EXPECT_TRUE(PumpUntil([&] { return ConsoleHasLine(comm, L"DAT_A - 0 = closesocket()"); }, 5000));

    // And it can be opened again.
    ASSERT_TRUE(comm->Open_Ethernet(L"127.0.0.1", nPort));
    ASSERT_TRUE(peer.Accept(10000));
    EXPECT_EQ(3, comm->RunningWorkerCount());
    comm->CloseEthernet();
    EXPECT_FALSE(comm->IsConnected());
    EXPECT_EQ(0, comm->RunningWorkerCount());
}

TEST_F(TcpLinkTest, RefusedBadPortsAndBadAddressesFail)
{
    EXPECT_FALSE(comm->Open_Ethernet(L"127.0.0.1", UnusedTcpPort()));
    EXPECT_EQ(0, comm->RunningWorkerCount());
    EXPECT_FALSE(comm->Open_Ethernet(L"unit.local", 20130));
    EXPECT_FALSE(comm->Open_Ethernet(L"127.0.0.300", 20130));
    EXPECT_FALSE(comm->IsConnected());

    // Ports out of range fail before anything else is touched: the console keeps showing
    // the fields of the serial link it was created for.
    delete comm;
    comm = CComm::GetInstance();
    for (int nPort : {0, -1, 65536})
        EXPECT_FALSE(comm->Open_Ethernet(L"127.0.0.1", nPort)) << nPort;
    const auto shown = [&](int nID) { return (GetWindowLongPtrW(comm->Console().GetDlgItem(nID), GWL_STYLE) & WS_VISIBLE) != 0; };
    EXPECT_TRUE(shown(1081)) << "serial port combo";
    EXPECT_FALSE(shown(1559)) << "IP address control";
    EXPECT_EQ(LinkKind::Serial, comm->GetCommType());
}

TEST_F(TcpLinkTest, AConnectThatHangsKeepsTheWindowAliveAndCloseEndsIt)
{
    // A unit that does not accept: its queue of connections is full, so a connect waits.
    const int nPort = UnusedTcpPort();
    TcpPeer unit;
    ASSERT_TRUE(unit.Listen(nPort, 0));
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 4; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(nPort));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        fillers.push_back(s);
    }
    PumpFor(200);

    // While the program connects, this thread goes on serving its windows: the engineer's
    // Close, already waiting, is taken and ends the connect.
    comm->Console().ShowWindow(SW_SHOW);
    PostMessageW(comm->Console().m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_BTN_CLOSE, BN_CLICKED), reinterpret_cast<LPARAM>(comm->Console().GetDlgItem(IDC_BTN_CLOSE)));
    EXPECT_FALSE(comm->Open_Ethernet(L"127.0.0.1", nPort));
    EXPECT_FALSE(comm->IsConnected());
    EXPECT_EQ(0, comm->RunningWorkerCount());
    EXPECT_TRUE(ConsoleHasLine(comm, L"Connecting to 127.0.0.1:" + std::to_wstring(nPort) + L" ..."));
    EXPECT_TRUE(ConsoleHasLine(comm, L"127.0.0.1:" + std::to_wstring(nPort) + L" not opened: cancelled"));
    EXPECT_TRUE(IsWindowEnabled(comm->Console().GetDlgItem(IDC_BTN_OPEN)));
    for (SOCKET s : fillers)
        closesocket(s);
}

TEST_F(TcpLinkTest, TalksToTheSimulatedUnit)
{
    const int nPort = UnusedTcpPort();
    SimUnitProcess unit;
    ASSERT_TRUE(unit.Start(L"--tcp 127.0.0.1:" + std::to_wstring(nPort) + L" --quiet"));
    ASSERT_TRUE(comm->Open_Ethernet(L"127.0.0.1", nPort));
    const std::string command = "[SPL_PANO]\r\n";
    ASSERT_TRUE(comm->SendBytes(command));
    EXPECT_TRUE(PumpUntil([&] { return ConsoleHasLine(comm, L"<< [EPL_PANO_001]"); }, 10000));
    comm->CloseEthernet();
    EXPECT_EQ(0, comm->RunningWorkerCount());
}

// The transports on their own: a write is bounded in time and a close ends it, whatever the
// unit does.
TEST(LinkWrite, TcpWriteToAUnitThatStoppedReadingFailsInItsTimeAndWakeEndsIt)
{
    const int nPort = UnusedTcpPort();
    TcpPeer peer;
    ASSERT_TRUE(peer.Listen(nPort));
    CTcpLink link;
    ASSERT_EQ(0u, link.Open(LinkParams::Tcp(L"127.0.0.1", nPort), nullptr));
    ASSERT_TRUE(peer.Accept(10000));
    CountingSink sink;
    std::atomic<unsigned char> bOpen{1};
    ASSERT_TRUE(link.Start(sink, bOpen));
    // More than the two sockets' buffers take while the peer reads nothing.
    const std::string bytes(32 * 1024 * 1024, 'x');
    DWORD dwWritten = 0;
    EXPECT_FALSE(link.Write(bytes.data(), static_cast<DWORD>(bytes.size()), 500, dwWritten));
    EXPECT_GT(dwWritten, 0u);
    EXPECT_LT(dwWritten, bytes.size());

    // A close wakes a write that would otherwise wait a minute, and the receive thread.
    std::atomic<ULONGLONG> ullWoken{0};
    std::thread closer([&] {
        Sleep(300);
        ullWoken = CloseAndWake(link, bOpen);
    });
    EXPECT_FALSE(link.Write(bytes.data(), static_cast<DWORD>(bytes.size()), 60000, dwWritten));
    const ULONGLONG ullEnded = GetTickCount64();
    closer.join();
    EXPECT_LT(ullEnded - ullWoken.load(), 3000u) << "the write ended long after Wake";
    EXPECT_TRUE(link.Join(CLink::kJoinBudgetMs));
    EXPECT_EQ(0, link.Close());
    EXPECT_EQ(0, sink.nLost.load() + sink.nErrors.load());
}

TEST(LinkWrite, SerialWriteHeldByXoffEndsSoonAfterWakeAndTheReceiveThreadJoins)
{
    SerialPeer peer;
    ASSERT_TRUE(peer.Open(UnitComPort()));
    CSerialLink link;
    ASSERT_EQ(0u, link.Open(LinkParams::Serial(ProgramComPort(), 19200), nullptr));
    CountingSink sink;
    std::atomic<unsigned char> bOpen{1};
    ASSERT_TRUE(link.Start(sink, bOpen));
    ASSERT_TRUE(peer.Write("\x13"));
    Sleep(200);
    std::atomic<ULONGLONG> ullWoken{0};
    std::thread closer([&] {
        Sleep(300);
        ullWoken = CloseAndWake(link, bOpen);
    });
    // The unit holds XOFF far longer than this test waits for the write.
    const std::string frame = "[SPL_PANO]\r\n";
    DWORD dwWritten = 0;
    EXPECT_FALSE(link.Write(frame.data(), static_cast<DWORD>(frame.size()), 60000, dwWritten));
    const ULONGLONG ullEnded = GetTickCount64();
    closer.join();
    EXPECT_LT(ullEnded - ullWoken.load(), 3000u) << "the write ended long after Wake";
    EXPECT_TRUE(link.Join(CLink::kJoinBudgetMs));
    const ULONGLONG ullClosing = GetTickCount64();
    EXPECT_EQ(0, link.Close());
    EXPECT_LT(GetTickCount64() - ullClosing, static_cast<ULONGLONG>(CLink::kJoinBudgetMs));
    ASSERT_TRUE(peer.Write("\x11"));
}

TEST(LinkReceive, SerialReceiveThreadOnAnIdlePortEndsPromptlyAfterWake)
{
    SerialPeer peer;
    ASSERT_TRUE(peer.Open(UnitComPort()));
    CSerialLink link;
    ASSERT_EQ(0u, link.Open(LinkParams::Serial(ProgramComPort(), 19200), nullptr));
    CountingSink sink;
    std::atomic<unsigned char> bOpen{1};
    ASSERT_TRUE(link.Start(sink, bOpen));
    // A frame shows the thread reads; then the port stays quiet long enough for the thread to
    // settle into its idle wait.
    ASSERT_TRUE(peer.Write("[SMP_AB]\r\n"));
    EXPECT_TRUE(PumpUntil([&] { return sink.nFrames.load() == 1; }, 10000));
    Sleep(500);
    EXPECT_TRUE(link.IsReceiving());
    const ULONGLONG ullWoken = CloseAndWake(link, bOpen);
    EXPECT_TRUE(link.Join(CLink::kJoinBudgetMs)) << "the receive thread is still waiting";
    std::printf("[ idle ] the receive thread ended %llu ms after Wake\n", GetTickCount64() - ullWoken);
    EXPECT_EQ(0, link.Close());
    EXPECT_EQ(0, sink.nLost.load() + sink.nErrors.load());
}

namespace {
// What a link's receive thread cut into frames, in order.
class FrameListSink : public ILinkSink {
public:
    void OnFrame(const wchar_t* lpFrame) override
    {
        CSingleLock lock(m_cs);
        m_frames.emplace_back(lpFrame);
    }
    void OnDataLine(const wchar_t*) override {}
    void OnLinkLost(const wchar_t*) override { ++nLost; }
    void OnLinkError(const wchar_t*) override { ++nLost; }
    std::vector<std::wstring> Frames()
    {
        CSingleLock lock(m_cs);
        return m_frames;
    }
    std::atomic<int> nLost{0};

private:
    CCriticalSection m_cs;
    std::vector<std::wstring> m_frames;
};

std::wstring NumberedFrame(int n)
{
    wchar_t szFrame[32] = {};
    _snwprintf(szFrame, 31, L"[SMP_%06d]", n);
    return szFrame;
}
} // namespace

TEST(LinkReceive, SerialReceiveThreadTakesTricklesPausesAndBurstsBeyondItsBufferWholeAndInOrder)
{
    // The thread's read waits for the next bytes: a byte at a time, after a pause long enough
    // to settle into the wait, and more at once than one read takes, all arrive as they were
    // sent.
    SerialPeer peer;
    ASSERT_TRUE(peer.Open(UnitComPort()));
    CSerialLink link;
    ASSERT_EQ(0u, link.Open(LinkParams::Serial(ProgramComPort(), 19200), nullptr));
    FrameListSink sink;
    std::atomic<unsigned char> bOpen{1};
    ASSERT_TRUE(link.Start(sink, bOpen));
    std::vector<std::wstring> expected;
    int n = 0;
    for (; n < 3; ++n) {
        expected.push_back(NumberedFrame(n));
        const std::string bytes = std::string(expected.back().begin(), expected.back().end()) + "\r\n";
        for (char ch : bytes)
            ASSERT_TRUE(peer.Write(std::string(1, ch)));
    }
    Sleep(300);
    std::string burst;
    for (; n < 3 + 1000; ++n) {
        expected.push_back(NumberedFrame(n));
        burst += std::string(expected.back().begin(), expected.back().end()) + "\r\n";
    }
    ASSERT_GT(burst.size(), 2 * static_cast<size_t>(CSerialLink::kReadBytes));
    ASSERT_TRUE(peer.Write(burst));
    EXPECT_TRUE(PumpUntil([&] { return sink.Frames().size() >= expected.size(); }, 20000));
    EXPECT_EQ(expected, sink.Frames());
    CloseAndWake(link, bOpen);
    EXPECT_TRUE(link.Join(CLink::kJoinBudgetMs));
    EXPECT_EQ(0, link.Close());
    EXPECT_EQ(0, sink.nLost.load());
}

TEST(LinkReceive, WakeFromAnotherThreadWhileTheLinkClosesAndOpensAgain)
{
    // The link manager's Close and a worker's Wake meet: Wake must neither block behind the
    // close nor touch a port handle that the close let go of.
    CSerialLink link;
    std::atomic<bool> bDone{false};
    std::atomic<ULONGLONG> ullLongestWake{0};
    std::thread waker([&] {
        while (!bDone.load()) {
            const ULONGLONG ullStart = GetTickCount64();
            link.Wake();
            const ULONGLONG ullTook = GetTickCount64() - ullStart;
            if (ullTook > ullLongestWake.load())
                ullLongestWake = ullTook;
            Sleep(0);
        }
    });
    // The sink and the flag outlive a receive thread that would fail to end.
    CountingSink sink;
    std::atomic<unsigned char> bOpen{1};
    for (int i = 0; i < 50; ++i) {
        bOpen = 1;
        if (link.Open(LinkParams::Serial(ProgramComPort(), 19200), nullptr) != 0 || !link.Start(sink, bOpen)) {
            ADD_FAILURE() << "open " << i;
            break;
        }
        CloseAndWake(link, bOpen);
        if (!link.Join(CLink::kJoinBudgetMs)) {
            ADD_FAILURE() << "the receive thread did not end, cycle " << i;
            break;
        }
        EXPECT_EQ(0, link.Close());
    }
    bDone = true;
    waker.join();
    EXPECT_LT(ullLongestWake.load(), 1000u);
}

TEST(LinkWrite, SerialWriteHeldByXoffFailsInItsTimeAndThePortWorksAfterXon)
{
    SerialPeer peer;
    ASSERT_TRUE(peer.Open(UnitComPort()));
    CSerialLink link;
    ASSERT_EQ(0u, link.Open(LinkParams::Serial(ProgramComPort(), 19200), nullptr));
    ASSERT_TRUE(peer.Write("\x13"));
    Sleep(200);
    const std::string frame = "[SPL_PANO]\r\n";
    DWORD dwWritten = 0;
    EXPECT_FALSE(link.Write(frame.data(), static_cast<DWORD>(frame.size()), 500, dwWritten));
    EXPECT_EQ("", peer.Read(1, 300)) << "the held bytes were taken back";
    ASSERT_TRUE(peer.Write("\x11"));
    Sleep(200);
    EXPECT_TRUE(link.Write(frame.data(), static_cast<DWORD>(frame.size()), 5000, dwWritten));
    EXPECT_EQ(frame, peer.Read(frame.size(), 10000));
    link.Close();
}

TEST(ConsoleLog, LinesAreNumberedByTheControlsLineCount)
{
    CComm* comm = CComm::GetInstance();
    comm->LogWrite(LOG_KIND_DATA, L"first %s %d", L"line", 1);
    comm->LogWrite(LOG_KIND_SEND, L"%s", L"[SPL_PANO]");
    comm->LogWrite(LOG_KIND_RECV, L"%s", L"[EPL_PANO_001]");
    comm->LogWrite(LOG_KIND_DATA, L"%s", L"100% sure");
    comm->LogWrite(999, L"%s", L"not shown");
    const std::vector<std::wstring> lines = ConsoleLines(comm);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(L"0001| first line 1", lines[0]);
    EXPECT_EQ(L"0002| >> [SPL_PANO]", lines[1]);
    EXPECT_EQ(L"0003| << [EPL_PANO_001]", lines[2]);
    EXPECT_EQ(L"0004| 100% sure", lines[3]);
    EXPECT_EQ(L"0005| ", lines[4]) << "an unknown kind writes the prefix only";
    delete comm;
}

} // namespace
