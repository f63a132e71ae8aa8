// The simulated unit driven from outside, as the program's tests will use it: a real
// SimUnit.exe child, real loopback sockets, the real COM pair, and its log files read back.
#include "support/SimUnitProcess.h"
#include "support/TestSupport.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>

using testsupport::SimUnitProcess;

namespace {

bool StartWinsock()
{
    static const bool s_bStarted = [] {
        WSADATA wsa;
        return WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    }();
    return s_bStarted;
}

class Client {
public:
    ~Client() { Close(); }

    bool Connect(int port)
    {
        if (!StartWinsock())
            return false;
        m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<u_short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return m_socket != INVALID_SOCKET && connect(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }

    bool Send(const std::string& bytes)
    {
        return send(m_socket, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
    }

    // Collects bytes until done(received) holds, the peer closes, or the time is up.
    std::string Receive(const std::function<bool(const std::string&)>& done, DWORD dwTimeoutMs)
    {
        std::string got;
        const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
        while (!done(got) && !m_bClosed && GetTickCount64() < deadline) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(m_socket, &set);
            timeval tv{0, 20 * 1000};
            if (select(0, &set, nullptr, nullptr, &tv) <= 0)
                continue;
            char buf[4096];
            const int n = recv(m_socket, buf, sizeof(buf), 0);
            if (n <= 0) {
                m_bClosed = true;
                break;
            }
            got.append(buf, static_cast<size_t>(n));
            ++m_chunks;
        }
        return got;
    }
    std::string ReceiveBytes(size_t cb, DWORD dwTimeoutMs = 10000)
    {
        return Receive([cb](const std::string& s) { return s.size() >= cb; }, dwTimeoutMs);
    }

    bool PeerClosed() const { return m_bClosed; }
    int Chunks() const { return m_chunks; }

    void Close()
    {
        if (m_socket != INVALID_SOCKET)
            closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }

private:
    SOCKET m_socket = INVALID_SOCKET;
    bool m_bClosed = false;
    int m_chunks = 0;
};

std::wstring Port(int port)
{
    return L"--quiet --tcp " + std::to_wstring(port);
}

bool LogHas(const std::wstring& path, const std::string& text, DWORD dwTimeoutMs = 10000)
{
    return testsupport::PumpUntil(
        [&] { return testsupport::ReadFileBytes(path).find(text) != std::string::npos; }, dwTimeoutMs);
}

// The program's end of the COM pair, 9600 8N1 with XON/XOFF as the program sets it; a write
// gives up after 20 s so that a test never hangs on a port that stays held.
HANDLE OpenProgramPort()
{
    const std::wstring name = L"\\\\.\\COM" + std::to_wstring(testsupport::ProgramComPort());
    HANDLE hPort = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (hPort == INVALID_HANDLE_VALUE)
        return hPort;
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 20000};
    bool ok = GetCommState(hPort, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutX = dcb.fInX = TRUE;
    ok = ok && SetCommState(hPort, &dcb) && SetCommTimeouts(hPort, &timeouts);
    PurgeComm(hPort, PURGE_RXCLEAR | PURGE_TXCLEAR);
    if (!ok) {
        CloseHandle(hPort);
        return INVALID_HANDLE_VALUE;
    }
    return hPort;
}

bool WritePort(HANDLE hPort, const std::string& bytes)
{
    DWORD dwDone = 0;
    return WriteFile(hPort, bytes.data(), static_cast<DWORD>(bytes.size()), &dwDone, nullptr) && dwDone == bytes.size();
}

// Polls the input queue and reads only what is there, until cb bytes came or the time is up.
std::string ReadPort(HANDLE hPort, size_t cb, DWORD dwTimeoutMs = 10000)
{
    std::string got;
    const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
    while (got.size() < cb && GetTickCount64() < deadline) {
        DWORD dwErrors = 0;
        COMSTAT stat{};
        ClearCommError(hPort, &dwErrors, &stat);
        if (stat.cbInQue == 0) {
            Sleep(20);
            continue;
        }
        char buf[256];
        DWORD dwRead = 0;
        const DWORD dwWant = stat.cbInQue < sizeof(buf) ? stat.cbInQue : sizeof(buf);
        if (ReadFile(hPort, buf, dwWant, &dwRead, nullptr))
            got.append(buf, dwRead);
    }
    return got;
}

size_t Count(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1))
        ++n;
    return n;
}

} // namespace

TEST(SimUnitTcp, AnswersEachCommandWithItsExactEchoAndLogsTheBytes)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_echo");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20501) + L" --log " + dir + L"events.log --raw-log " + dir + L"raw.bin"));
    Client c;
    ASSERT_TRUE(c.Connect(20501));

    const std::string sent1 = "abc\r\n[SPL_PANO]\r\n";
    ASSERT_TRUE(c.Send(sent1));
    EXPECT_EQ("[EPL_PANO_001]\r\n", c.ReceiveBytes(16));
    // Command words keep their case; data in the command does not reach the answer.
    const std::string sent2 = "[SPM_cson_12]\r\n[ELP_XXXX";
    ASSERT_TRUE(c.Send(sent2));
    EXPECT_EQ("[EPM_cson_001]\r\n", c.ReceiveBytes(16));
    // Nothing more than the answers came.
    EXPECT_EQ("", c.ReceiveBytes(1, 300));
    c.Close();

    ASSERT_TRUE(LogHas(dir + L"events.log", "DISCONNECT peer closed"));
    ASSERT_TRUE(sim.Stop());
    EXPECT_EQ(0u, sim.ExitCode());
    EXPECT_EQ(sent1 + sent2, testsupport::ReadFileBytes(dir + L"raw.bin"));
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    EXPECT_NE(std::string::npos, log.find("LOOSE \"abc\""));
    EXPECT_NE(std::string::npos, log.find("FRAME \"[SPL_PANO]\""));
    EXPECT_NE(std::string::npos, log.find("TX \"[EPL_PANO_001]\\r\\n\""));
    EXPECT_NE(std::string::npos, log.find("FRAME \"[SPM_cson_12]\""));
    EXPECT_NE(std::string::npos, log.find("LOOSE \"[ELP_XXXX\" (unfinished frame)"));
    EXPECT_NE(std::string::npos, log.find("END"));
}

TEST(SimUnitTcp, ScriptMakesWordsSilentAndAnswersSplitBehindNoise)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_script");
    const std::string script =
        "# silent word, noise and split answers\r\n"
        "\r\n"
        "silent ceph\r\n"
        "noise ~~ x\\r\\n\r\n"
        "split 3 300\r\n";
    HANDLE h = CreateFileW((dir + L"scenario.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwDone = 0;
    WriteFile(h, script.data(), static_cast<DWORD>(script.size()), &dwDone, nullptr);
    CloseHandle(h);

    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20502) + L" --script " + dir + L"scenario.txt --log " + dir + L"events.log"));
    Client c;
    ASSERT_TRUE(c.Connect(20502));
    ASSERT_TRUE(c.Send("[SPL_CEPH]\r\n"));
    EXPECT_EQ("", c.ReceiveBytes(1, 1500));

    ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
    const std::string expected = "~~ x\r\n[EPL_PANO_001]\r\n";
    EXPECT_EQ(expected, c.ReceiveBytes(expected.size()));
    // Noise and three pieces went out as separate writes, 300 ms apart.
    EXPECT_GE(c.Chunks(), 3);
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    EXPECT_NE(std::string::npos, log.find("SILENT \"[SPL_CEPH]\""));
    EXPECT_NE(std::string::npos, log.find("TX \"~~ x\\r\\n\""));
    EXPECT_NE(std::string::npos, log.find("TX \"[EPL_P\"\r\n"));
    EXPECT_NE(std::string::npos, log.find("TX \"ANO_0\"\r\n"));
    EXPECT_NE(std::string::npos, log.find("TX \"01]\\r\\n\"\r\n"));
}

TEST(SimUnitTcp, SlpEchoIsCheckedFloodsArriveInOrderAndNextConnectionIsServed)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_slp");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20503) + L" --log " + dir + L"events.log --echo-timeout 500" +
                          L" --send-after-connect [SLP_PANO_123] --flood-after-command 1 300 [SMP_FLOD_{n}]"));
    {
        Client c;
        ASSERT_TRUE(c.Connect(20503));
        EXPECT_EQ("[SLP_PANO_123]\r\n", c.ReceiveBytes(16));
        ASSERT_TRUE(c.Send("[ELP_PANO_001]\r\n\r\n"));
        EXPECT_TRUE(LogHas(dir + L"events.log", "echo ok \"[ELP_PANO_001]\" for \"[SLP_PANO_123]\""));
    }
    // The unit takes the next connection; this time the echo does not come.
    Client c;
    ASSERT_TRUE(c.Connect(20503));
    EXPECT_EQ("[SLP_PANO_123]\r\n", c.ReceiveBytes(16));
    EXPECT_TRUE(LogHas(dir + L"events.log", "echo missing for \"[SLP_PANO_123]\""));

    ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
    std::string expected = "[EPL_PANO_001]\r\n";
    for (int i = 1; i <= 300; ++i)
        expected += "[SMP_FLOD_" + std::to_string(i) + "]\r\n";
    EXPECT_EQ(expected, c.ReceiveBytes(expected.size()));
    EXPECT_TRUE(LogHas(dir + L"events.log", "FLOOD done 300 frames"));
    EXPECT_EQ(2u, Count(testsupport::ReadFileBytes(dir + L"events.log"), "CONNECT 127.0.0.1:"));
}

TEST(SimUnitTcp, HangsUpInTheMiddleOfTheNthAnswer)
{
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20504) + L" --hangup-after-command 2 --answer-with-spaces"));
    Client c;
    ASSERT_TRUE(c.Connect(20504));
    ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
    EXPECT_EQ("[EPL_PA NO_001]\r\n", c.ReceiveBytes(17));
    ASSERT_TRUE(c.Send("[SPL_CEPH]\r\n"));
    EXPECT_EQ("[EPL_CE", c.ReceiveBytes(100));
    EXPECT_TRUE(c.PeerClosed());
    // ...and then serves the next connection.
    Client again;
    ASSERT_TRUE(again.Connect(20504));
    ASSERT_TRUE(again.Send("[SPL_PANO]\r\n"));
    EXPECT_EQ("[EPL_PA NO_001]\r\n", again.ReceiveBytes(17));
}

TEST(SimUnitTcp, PacedFramesArriveWholeInOrderZeroPaddedAndOnTheirSchedule)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_pace");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20506) + L" --log " + dir + L"events.log --pace-after-command 1 200 400 [SMP_F_{n6}]"));
    Client c;
    ASSERT_TRUE(c.Connect(20506));
    std::string frames;
    for (int i = 1; i <= 200; ++i) {
        char szFrame[32];
        std::snprintf(szFrame, sizeof(szFrame), "[SMP_F_%06d]\r\n", i);
        frames += szFrame;
    }
    ASSERT_EQ(200u * 16u, frames.size());

    const ULONGLONG ullStart = GetTickCount64();
    ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
    std::string got = c.ReceiveBytes(16 * 10);
    // A command during the pace is answered between two paced frames, never inside one.
    ASSERT_TRUE(c.Send("[SPL_CEPH]\r\n"));
    got += c.ReceiveBytes(16 + frames.size() + 16 - got.size());
    const ULONGLONG ullMs = GetTickCount64() - ullStart;
    const size_t cephAt = got.find("[EPL_CEPH_001]\r\n");
    ASSERT_NE(std::string::npos, cephAt) << got;
    EXPECT_EQ(0u, cephAt % 16) << got;
    got.erase(cephAt, 16);
    EXPECT_EQ("[EPL_PANO_001]\r\n" + frames, got);
    // The last frame is due 497.5 ms after the first.
    EXPECT_GE(ullMs, 400u);
    EXPECT_LE(ullMs, 5000u);
    EXPECT_TRUE(LogHas(dir + L"events.log", "PACE done 200 frames in "));
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    EXPECT_NE(std::string::npos, log.find("PACE 200 x \"[SMP_F_{n6}]\" at 400/s")) << log;
}

TEST(SimUnitTcp, StopsReadingForAStretchAndTheStopEventEndsLongStretchesAndPaces)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_stopread");
    {
        SimUnitProcess sim;
        ASSERT_TRUE(sim.Start(Port(20507) + L" --log " + dir + L"events.log --stop-reading-after-command 1 1500"));
        Client c;
        ASSERT_TRUE(c.Connect(20507));
        ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
        EXPECT_EQ("[EPL_PANO_001]\r\n", c.ReceiveBytes(16));
        ASSERT_TRUE(LogHas(dir + L"events.log", "READING stopped"));
        ASSERT_TRUE(c.Send("[SPL_CEPH]\r\n"));
        EXPECT_EQ("[EPL_CEPH_001]\r\n", c.ReceiveBytes(16, 15000));
        // The second command was read only after the stretch.
        const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
        const size_t resumedAt = log.find("READING resumed");
        ASSERT_NE(std::string::npos, resumedAt) << log;
        EXPECT_LT(resumedAt, log.find("FRAME \"[SPL_CEPH]\"")) << log;
    }
    // Both would last for days: the stop event ends them.
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20508) + L" --log " + dir + L"long.log --stop-reading-after-command 1 86400000" +
                          L" --pace-after-command 1 1000000 10 [SMP_SLOW_{n3}]"));
    Client c;
    ASSERT_TRUE(c.Connect(20508));
    ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
    EXPECT_EQ("[EPL_PANO_001]\r\n[SMP_SLOW_001]\r\n", c.ReceiveBytes(32));
    ASSERT_TRUE(LogHas(dir + L"long.log", "READING stopped"));
    ASSERT_TRUE(sim.Stop(10000));
    const std::string log = testsupport::ReadFileBytes(dir + L"long.log");
    EXPECT_NE(std::string::npos, log.find("PACE broken after ")) << log;
    EXPECT_EQ(std::string::npos, log.find("READING resumed")) << log;
    EXPECT_NE(std::string::npos, log.find("END")) << log;
}

TEST(SimUnitStart, FailsClearlyOnBusyPortMissingComPortAndBadOptions)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_start");
    // A plain listener takes the port first.
    ASSERT_TRUE(StartWinsock());
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(20505);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
    ASSERT_EQ(0, listen(listener, 1));

    struct Case {
        std::wstring args;
        DWORD code;
        const char* text;
    };
    const Case cases[] = {
        {Port(20505), 3, "in use"},
        {L"--com 49", 2, "cannot open COM49"},
        {L"--delay PANORAMA 5", 1, "4 characters"},
        {L"--split 3 soon", 1, "the pause must be a number"},
        {L"--pace 10 0 [SMP_X]", 1, "the rate must be a number"},
        {L"--hostile 10 1 loud", 1, "the kind must be random, high, printable or mixed"},
        {L"--hostile 100000001 1 random", 1, "the number of bytes must be a number from 1 to 100000000"},
        {L"--script " + dir + L"missing.txt", 1, "cannot open the script"},
    };
    int nCase = 0;
    for (const Case& t : cases) {
        SimUnitProcess sim;
        // One output file per case: a file of the previous case may still be held briefly.
        const std::wstring out = dir + L"out" + std::to_wstring(++nCase) + L".txt";
        EXPECT_FALSE(sim.Start(t.args, out)) << testsupport::ReadFileBytes(out);
        ASSERT_TRUE(sim.WaitExit(20000));
        EXPECT_EQ(t.code, sim.ExitCode()) << testsupport::ReadFileBytes(out);
        EXPECT_NE(std::string::npos, testsupport::ReadFileBytes(out).find(t.text)) << testsupport::ReadFileBytes(out);
    }
    closesocket(listener);
}

TEST(SimUnitSerial, AnswersACommandOnTheComPair)
{
    if (testsupport::UnitComPort() == 0 || testsupport::ProgramComPort() == 0)
        GTEST_SKIP() << "no COM pair in this environment";
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_com");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(L"--quiet --com " + std::to_wstring(testsupport::UnitComPort()) + L" --log " + dir + L"events.log"));

    HANDLE hPort = OpenProgramPort();
    ASSERT_NE(INVALID_HANDLE_VALUE, hPort);
    EXPECT_TRUE(WritePort(hPort, "[SPL_PANO]\r\n"));
    const std::string got = ReadPort(hPort, 16);
    CloseHandle(hPort);
    EXPECT_EQ("[EPL_PANO_001]\r\n", got);
    ASSERT_TRUE(sim.Stop());
    EXPECT_EQ(0u, sim.ExitCode());
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    EXPECT_NE(std::string::npos, log.find("RX \"[SPL_PANO]\\r\\n\"")) << log;
    EXPECT_NE(std::string::npos, log.find("CLOSE COM")) << log;
}

TEST(SimUnitSerial, StopsReadingForAStretchOnTheComPairAndThenReadsWhatCameMeanwhile)
{
    if (testsupport::UnitComPort() == 0 || testsupport::ProgramComPort() == 0)
        GTEST_SKIP() << "no COM pair in this environment";
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_com_stopread");
    const std::wstring com = L"--quiet --com " + std::to_wstring(testsupport::UnitComPort());
    {
        SimUnitProcess sim;
        ASSERT_TRUE(sim.Start(com + L" --log " + dir + L"events.log --stop-reading-after-command 1 1500"));
        HANDLE hPort = OpenProgramPort();
        ASSERT_NE(INVALID_HANDLE_VALUE, hPort);
        EXPECT_TRUE(WritePort(hPort, "[SPL_PANO]\r\n"));
        EXPECT_EQ("[EPL_PANO_001]\r\n", ReadPort(hPort, 16));
        ASSERT_TRUE(LogHas(dir + L"events.log", "READING stopped"));
        // Sent during the stretch, in two pieces: no read of the unit's is pending meanwhile,
        // and the whole command is read once the stretch ends.
        EXPECT_TRUE(WritePort(hPort, "[SPL_"));
        Sleep(100);
        EXPECT_TRUE(WritePort(hPort, "CEPH]\r\n"));
        EXPECT_EQ("[EPL_CEPH_001]\r\n", ReadPort(hPort, 16, 15000));
        CloseHandle(hPort);
        const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
        const size_t resumedAt = log.find("READING resumed");
        ASSERT_NE(std::string::npos, resumedAt) << log;
        EXPECT_LT(resumedAt, log.find("FRAME \"[SPL_CEPH]\"")) << log;
    }
    // A stretch of a day: the stop event ends it.
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(com + L" --log " + dir + L"long.log --stop-reading-after-command 1 86400000"));
    HANDLE hPort = OpenProgramPort();
    ASSERT_NE(INVALID_HANDLE_VALUE, hPort);
    EXPECT_TRUE(WritePort(hPort, "[SPL_PANO]\r\n"));
    EXPECT_EQ("[EPL_PANO_001]\r\n", ReadPort(hPort, 16));
    CloseHandle(hPort);
    ASSERT_TRUE(LogHas(dir + L"long.log", "READING stopped"));
    ASSERT_TRUE(sim.Stop(10000));
    EXPECT_EQ(0u, sim.ExitCode());
}

TEST(SimUnitSerial, XoffHoldsTheProgramsWritesUntilXon)
{
    if (testsupport::UnitComPort() == 0 || testsupport::ProgramComPort() == 0)
        GTEST_SKIP() << "no COM pair in this environment";
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_xoff");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(L"--quiet --com " + std::to_wstring(testsupport::UnitComPort()) + L" --log " + dir +
                          L"events.log --raw-log " + dir + L"raw.bin --xoff-after-command 1 2000" +
                          L" --send-after-command 1 [SMP_MARK]"));
    HANDLE hPort = OpenProgramPort();
    ASSERT_NE(INVALID_HANDLE_VALUE, hPort);
    EXPECT_TRUE(WritePort(hPort, "[SPL_PANO]\r\n"));
    // The mark leaves behind the XOFF, which the port keeps out of the data: once the mark is
    // here, the port's output is held.
    EXPECT_EQ("[EPL_PANO_001]\r\n[SMP_MARK]\r\n", ReadPort(hPort, 28));

    bool bWritten = false; // written by the writer thread, read after it has been joined
    std::thread writer([&] { bWritten = WritePort(hPort, "[SPL_HELD]\r\n"); });
    const bool bArrived = LogHas(dir + L"raw.bin", "[SPL_HELD]", 20000);
    // Read at once: the unit logs "XON sent" before it writes the XON, so held bytes that
    // have arrived find it in the log already.
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    writer.join();
    EXPECT_TRUE(bArrived);
    EXPECT_TRUE(bWritten);
    EXPECT_NE(std::string::npos, log.find("XOFF sent")) << log;
    EXPECT_NE(std::string::npos, log.find("XON sent")) << log;
    EXPECT_EQ("[EPL_HELD_001]\r\n", ReadPort(hPort, 16));
    CloseHandle(hPort);
}

namespace {

// The bytes the unit's hostile "random" kind must send: the low byte of each draw of
// std::mt19937 seeded with the seed; on a line that takes out XON and XOFF those two
// become 'x'.
std::string MersenneLowBytes(unsigned long ulSeed, size_t cb, bool bNoFlowControl)
{
    std::mt19937 gen(static_cast<std::mt19937::result_type>(ulSeed));
    std::string out(cb, '\0');
    for (size_t i = 0; i < cb; ++i) {
        unsigned char b = static_cast<unsigned char>(gen() & 0xFF);
        if (bNoFlowControl && (b == 0x11 || b == 0x13))
            b = 'x';
        out[i] = static_cast<char>(b);
    }
    return out;
}

size_t CountOutside(const std::string& bytes, unsigned char lo, unsigned char hi)
{
    size_t n = 0;
    for (char c : bytes) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b < lo || b > hi)
            ++n;
    }
    return n;
}

bool LogCount(const std::wstring& path, const std::string& text, size_t n, DWORD dwTimeoutMs = 10000)
{
    return testsupport::PumpUntil([&] { return Count(testsupport::ReadFileBytes(path), text) >= n; }, dwTimeoutMs);
}

// Frame number in four base-36 digits, as {b4} writes it.
std::string Base36Word(unsigned long v)
{
    std::string s(4, '0');
    for (size_t k = 4; k > 0 && v > 0; --k, v /= 36)
        s[k - 1] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[v % 36];
    return s;
}

} // namespace

TEST(SimUnitTcp, HostileBytesArriveWholeInTheirClassAndRepeatForTheSameSeed)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_hostile");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20509) + L" --log " + dir + L"events.log --hostile 100000 1234 random" +
                          L" --hostile-after-command 1 40000 99 high --hostile-after-command 2 40000 99 printable"));
    std::string first;
    {
        Client c;
        ASSERT_TRUE(c.Connect(20509));
        first = c.ReceiveBytes(100000, 30000);
        ASSERT_EQ(100000u, first.size());
        // Every byte value, exactly the generator's sequence.
        EXPECT_TRUE(first == MersenneLowBytes(1234, 100000, false)) << "hostile bytes differ from mt19937(1234)";
        EXPECT_EQ(0u, CountOutside(first, 0x00, 0xFF));
        EXPECT_GT(CountOutside(first, 0x20, 0x7E), 0u);

        ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
        const std::string high = c.ReceiveBytes(16 + 40000, 30000);
        ASSERT_EQ(16u + 40000u, high.size());
        EXPECT_EQ("[EPL_PANO_001]\r\n", high.substr(0, 16));
        EXPECT_EQ(0u, CountOutside(high.substr(16), 0x80, 0xFF));

        ASSERT_TRUE(c.Send("[SPL_CEPH]\r\n"));
        const std::string printable = c.ReceiveBytes(16 + 40000, 30000);
        ASSERT_EQ(16u + 40000u, printable.size());
        EXPECT_EQ("[EPL_CEPH_001]\r\n", printable.substr(0, 16));
        const std::string body = printable.substr(16);
        EXPECT_EQ(0u, CountOutside(body, 0x20, 0x7E));
        EXPECT_NE(std::string::npos, body.find('['));
        EXPECT_NE(std::string::npos, body.find(']'));
        // Nothing beyond what the script asked for.
        EXPECT_EQ("", c.ReceiveBytes(1, 300));
    }
    // The next connection gets the same bytes again.
    Client again;
    ASSERT_TRUE(again.Connect(20509));
    const std::string second = again.ReceiveBytes(100000, 30000);
    EXPECT_EQ(100000u, second.size());
    EXPECT_TRUE(first == second) << "the same seed gave different bytes";
    again.Close();

    ASSERT_TRUE(LogCount(dir + L"events.log", "HOSTILE done 100000 bytes", 2));
    ASSERT_TRUE(sim.Stop());
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    EXPECT_EQ(2u, Count(log, "HOSTILE 100000 bytes seed 1234 random")) << log;
    EXPECT_EQ(2u, Count(log, "HOSTILE done 100000 bytes")) << log;
    EXPECT_NE(std::string::npos, log.find("HOSTILE 40000 bytes seed 99 high")) << log;
    EXPECT_NE(std::string::npos, log.find("HOSTILE 40000 bytes seed 99 printable")) << log;
    EXPECT_EQ(2u, Count(log, "HOSTILE done 40000 bytes")) << log;
}

TEST(SimUnitTcp, EchoSummaryCountsEachKindOfEchoInOneLine)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_echosum");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(Port(20510) + L" --log " + dir + L"events.log --echo-summary --echo-timeout 60000" +
                          L" --flood-after-command 1 40 [SLP_{b4}_{n3}]"));
    Client c;
    ASSERT_TRUE(c.Connect(20510));
    ASSERT_TRUE(c.Send("[SPL_PANO]\r\n"));
    std::string expected = "[EPL_PANO_001]\r\n";
    for (unsigned long i = 1; i <= 40; ++i) {
        char szNumber[8];
        std::snprintf(szNumber, sizeof(szNumber), "%03lu", i);
        expected += "[SLP_" + Base36Word(i) + "_" + szNumber + "]\r\n";
    }
    ASSERT_EQ(expected, c.ReceiveBytes(expected.size()));
    ASSERT_NE(std::string::npos, expected.find("[SLP_0010_036]"));

    // 1..37 echoed, 3 wrongly; 38..40 never; frame 36 twice; a word never sent.
    std::string echoes;
    for (unsigned long i = 1; i <= 37; ++i)
        echoes += "[ELP_" + Base36Word(i) + (i == 3 ? "_002]\r\n" : "_001]\r\n");
    echoes += "[ELP_0010_001]\r\n[ELP_ZZZZ_001]\r\n";
    ASSERT_TRUE(c.Send(echoes));
    // The last echo is in once the unit answers a command sent after them.
    ASSERT_TRUE(c.Send("[SPL_CEPH]\r\n"));
    EXPECT_EQ("[EPL_CEPH_001]\r\n", c.ReceiveBytes(16));
    c.Close();

    ASSERT_TRUE(LogHas(dir + L"events.log", "ECHO summary"));
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    EXPECT_NE(std::string::npos, log.find("ECHO summary ok=36 wrong=1 missing=3 unexpected=1 duplicate=1")) << log;
    // Counted, not logged one by one.
    EXPECT_EQ(std::string::npos, log.find("echo ok")) << log;
    EXPECT_EQ(std::string::npos, log.find("echo missing")) << log;
    EXPECT_EQ(std::string::npos, log.find("RX \"")) << log;
    EXPECT_NE(std::string::npos, log.find("FRAME \"[SPL_CEPH]\"")) << log;
}

TEST(SimUnitSerial, HostileBytesOnTheComPairCarryNoFlowControlBytes)
{
    if (testsupport::UnitComPort() == 0 || testsupport::ProgramComPort() == 0)
        GTEST_SKIP() << "no COM pair in this environment";
    const std::wstring dir = testsupport::MakeScratchDir(L"simunit_hostile_com");
    SimUnitProcess sim;
    ASSERT_TRUE(sim.Start(L"--quiet --com " + std::to_wstring(testsupport::UnitComPort()) + L" --log " + dir +
                          L"events.log --hostile-after-command 1 30000 17 random" +
                          L" --hostile-after-command 2 30000 18 mixed"));
    HANDLE hPort = OpenProgramPort();
    ASSERT_NE(INVALID_HANDLE_VALUE, hPort);
    EXPECT_TRUE(WritePort(hPort, "[SPL_PANO]\r\n"));
    // Had an XON or XOFF gone out, the port would have taken it and fewer bytes would come.
    const std::string random = ReadPort(hPort, 16 + 30000, 30000);
    ASSERT_EQ(16u + 30000u, random.size());
    EXPECT_EQ("[EPL_PANO_001]\r\n", random.substr(0, 16));
    EXPECT_TRUE(random.substr(16) == MersenneLowBytes(17, 30000, true)) << "hostile bytes differ from mt19937(17)";

    EXPECT_TRUE(WritePort(hPort, "[SPL_CEPH]\r\n"));
    const std::string mixed = ReadPort(hPort, 16 + 30000, 30000);
    CloseHandle(hPort);
    ASSERT_EQ(16u + 30000u, mixed.size());
    const std::string body = mixed.substr(16);
    EXPECT_EQ(std::string::npos, body.find('\x11'));
    EXPECT_EQ(std::string::npos, body.find('\x13'));
    // A mixture: line ends, brackets, high bytes and control bytes all among them.
    for (char c : std::string("\r\n[]\x80\x01"))
        EXPECT_NE(std::string::npos, body.find(c)) << static_cast<int>(static_cast<unsigned char>(c));
    EXPECT_GT(CountOutside(body, 0x00, 0x7F), 3000u);

    ASSERT_TRUE(LogCount(dir + L"events.log", "HOSTILE done 30000 bytes", 2));
    ASSERT_TRUE(sim.Stop());
    const std::string log = testsupport::ReadFileBytes(dir + L"events.log");
    EXPECT_NE(std::string::npos, log.find("HOSTILE 30000 bytes seed 17 random")) << log;
    EXPECT_NE(std::string::npos, log.find("HOSTILE 30000 bytes seed 18 mixed")) << log;
    EXPECT_EQ(2u, Count(log, "HOSTILE done 30000 bytes")) << log;
}
