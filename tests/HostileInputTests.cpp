// Hostile byte streams: random bytes, stray brackets, line ends, bytes above 0x7F and runs
// longer than the frame buffer, with valid frames spread through them. Every valid frame
// must come out exactly once, whole, and nothing may overflow; first for the frame cutter
// alone over many seeds, then through the real receive path on both links.
#include "comm/Comm.h"
#include "comm/protocol/Frame.h"
#include "support/CommTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

// A stream of noise and valid frames; frames are "[SMP_Wnnn_<n>]" or "[SLP_Wnnn_<n>]"
// with a serial number, noise never contains an "S", so no noise can look like one.
struct HostileStream {
    std::string bytes;
    std::vector<std::string> frames;
};

HostileStream MakeStream(unsigned int seed, int nSegments, bool bSerial)
{
    std::mt19937 random(seed);
    static const char kAlphabet[] = "[[[]]]\r\n\r\n  abcdXYZ_0123456789ELPM{}#";
    HostileStream stream;
    int nFrame = 0;
    for (int segment = 0; segment < nSegments; ++segment) {
        const int choice = static_cast<int>(random() % 10);
        if (choice < 4) {
            const bool bSlp = random() % 4 == 0;
            char frame[64];
            std::snprintf(frame, sizeof(frame), "[%s_W%03u_%d]", bSlp ? "SLP" : "SMP", static_cast<unsigned>(random() % 1000), ++nFrame);
            stream.frames.push_back(frame);
            stream.bytes += frame;
            continue;
        }
        // Noise: short runs of the alphabet, or a long run without any end (overflow), or
        // raw high bytes.
        const int length = choice == 9 ? 300 + static_cast<int>(random() % 400) : 1 + static_cast<int>(random() % 40);
        for (int i = 0; i < length; ++i) {
            char ch;
            if (choice == 9)
                ch = static_cast<char>('a' + random() % 20);
            else if (choice == 8)
                ch = static_cast<char>(0x80 + random() % 0x80);
            else
                ch = kAlphabet[random() % (sizeof(kAlphabet) - 1)];
            // The serial line's flow control takes XON and XOFF out of the data.
            if (bSerial && (ch == 0x11 || ch == 0x13))
                ch = 'x';
            stream.bytes += ch;
        }
    }
    return stream;
}

TEST(HostileInput, FrameCutterDeliversEveryValidFrameOnceOverManySeeds)
{
    for (unsigned int seed = 1; seed <= 200; ++seed) {
        const HostileStream stream = MakeStream(seed, 400, false);
        CFrameAssembler assembler(true);
        std::vector<std::string> frames;
        for (unsigned char b : stream.bytes) {
            const CFrameAssembler::Result result = assembler.Feed(b);
            const std::wstring text = assembler.Completed();
            ASSERT_LT(text.size(), static_cast<size_t>(kFrameBufferChars));
            if (result == CFrameAssembler::Result::Frame && (text.rfind(L"[SMP_", 0) == 0 || text.rfind(L"[SLP_", 0) == 0))
                frames.push_back(std::string(text.begin(), text.end()));
        }
        ASSERT_EQ(stream.frames, frames) << "seed " << seed;
    }
}

class HostileLinkTest : public ::testing::TestWithParam<bool> {};

TEST_P(HostileLinkTest, ReceivePathReportsEveryValidFrameOnce)
{
    const bool bSerial = GetParam();
    CRecorderWnd owner;
    ASSERT_TRUE(owner.Create());
    CComm* comm = CComm::GetInstance();
    comm->SetOwnerWnd(&owner);
    const HostileStream stream = MakeStream(20261207, 1500, bSerial);

    TcpPeer tcp;
    SerialPeer serial;
    if (bSerial) {
        ASSERT_TRUE(serial.Open(UnitComPort(), 115200));
        ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), 115200));
    } else {
        const int nPort = UnusedTcpPort();
        ASSERT_TRUE(tcp.Listen(nPort));
        ASSERT_TRUE(comm->Open_Ethernet(L"127.0.0.1", nPort));
        ASSERT_TRUE(tcp.Accept(10000));
    }
    // In pieces of every size, as a unit's bytes come, from a thread of its own: this
    // thread serves the console meanwhile, as the program's would.
    std::atomic<bool> bWritten{false};
    std::atomic<bool> bWriteFailed{false};
    std::thread writer([&] {
        std::mt19937 random(7);
        for (size_t at = 0; at < stream.bytes.size();) {
            const size_t n = std::min(stream.bytes.size() - at, static_cast<size_t>(1 + random() % 700));
            if (!(bSerial ? serial.Write(stream.bytes.substr(at, n)) : tcp.Send(stream.bytes.substr(at, n)))) {
                bWriteFailed = true;
                break;
            }
            at += n;
        }
        bWritten = true;
    });
    const size_t nExpected = stream.frames.size();
    const bool bAll = PumpUntil([&] { return owner.notes.size() >= nExpected; }, 120000);
    PumpUntil([&] { return bWritten.load(); }, 30000);
    writer.join();
    ASSERT_FALSE(bWriteFailed.load());
    ASSERT_TRUE(bAll) << owner.notes.size() << " of " << nExpected;
    PumpFor(300);
    ASSERT_EQ(nExpected, owner.notes.size());
    size_t nSlp = 0;
    for (size_t i = 0; i < nExpected; ++i) {
        const std::string& frame = stream.frames[i];
        ASSERT_EQ(std::wstring(frame.begin(), frame.end()), owner.notes[i].text) << i;
        const bool bSlp = frame.rfind("[SLP_", 0) == 0;
        ASSERT_EQ(bSlp ? WM_SERIAL_SLP : WM_SERIAL_SMP, owner.notes[i].message);
        nSlp += bSlp ? 1 : 0;
    }
    // Every SLP frame was echoed.
    const std::string echoes = bSerial ? serial.Read(nSlp * 18, 20000) : tcp.Receive(nSlp * 18, 20000);
    EXPECT_EQ(nSlp * 18, echoes.size());
    EXPECT_TRUE(comm->IsConnected());
    bSerial ? static_cast<void>(comm->CloseSerial()) : comm->CloseEthernet();
    EXPECT_EQ(0, comm->RunningWorkerCount());
    delete comm;
    EXPECT_EQ(0, NotifyTextsOutstanding());
}

INSTANTIATE_TEST_SUITE_P(Links, HostileLinkTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? std::string("Serial") : std::string("Tcp"); });

} // namespace
