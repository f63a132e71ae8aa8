// The command path driven over real links to the simulated unit: bytes on the wire, answers
// matched to the command in flight, unsolicited frames, time-outs and the queue, over TCP
// and over the pseudo-terminal COM pair.
#include "comm/Comm.h"
#include "support/CommTestSupport.h"
#include "support/SimUnitProcess.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <cstdio>
#include <fstream>
#include <thread>

using namespace testsupport;

namespace {

enum class Transport { Tcp, Serial };

class CommPathTest : public ::testing::TestWithParam<Transport> {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(owner.Create());
        ASSERT_TRUE(reply.Create());
        dir = MakeScratchDir(L"commpath");
        rawLog = dir + L"raw.bin";
        eventLog = dir + L"events.log";
        comm = CComm::GetInstance();
        comm->SetOwnerWnd(&owner);
    }

    void TearDown() override
    {
        Close();
        delete comm;
        unit.Stop();
        // Every notification copy that was sent has been freed by its window.
        EXPECT_TRUE(PumpUntil([] { return NotifyTextsOutstanding() == 0; }, 5000)) << NotifyTextsOutstanding();
    }

    // Starts the simulated unit with the extra arguments and opens the link to it.
    void StartAndOpen(const std::wstring& args)
    {
        std::wstring common = L" --raw-log \"" + rawLog + L"\" --log \"" + eventLog + L"\" --quiet " + args;
        if (GetParam() == Transport::Tcp) {
            tcpPort = UnusedTcpPort();
            ASSERT_TRUE(unit.Start(L"--tcp 127.0.0.1:" + std::to_wstring(tcpPort) + common));
        } else {
            ASSERT_NE(0, UnitComPort()) << "run inside tools/wine-env.sh";
            ASSERT_TRUE(unit.Start(L"--com " + std::to_wstring(UnitComPort()) + L" --baud 115200" + common));
        }
        ASSERT_TRUE(Open());
    }

    bool Open()
    {
        if (GetParam() == Transport::Tcp)
            return comm->Open_Ethernet(L"127.0.0.1", tcpPort);
        return comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), 115200);
    }

    void Close()
    {
        if (GetParam() == Transport::Tcp)
            comm->CloseEthernet();
        else
            comm->CloseSerial();
    }

    std::string Raw() const { return ReadFileBytes(rawLog); }
    bool RawHas(const std::string& bytes, DWORD dwTimeoutMs = 10000)
    {
        return PumpUntil([&] { return Raw().find(bytes) != std::string::npos; }, dwTimeoutMs);
    }
    bool EventsHave(const std::string& text, DWORD dwTimeoutMs = 10000)
    {
        return PumpUntil([&] { return ReadFileBytes(eventLog).find(text) != std::string::npos; }, dwTimeoutMs);
    }

    CRecorderWnd owner;
    CRecorderWnd reply;
    CComm* comm = nullptr;
    SimUnitProcess unit;
    std::wstring dir, rawLog, eventLog;
    int tcpPort = 0;
};

TEST_P(CommPathTest, CommandLeavesAsItsTextAndCrLfAndItsAnswerReachesTheReplyWindowOnce)
{
    StartAndOpen(L"");
    ASSERT_TRUE(comm->SendData(L"[SPL_PANO]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 1; }, 10000));
    EXPECT_EQ("[SPL_PANO]\r\n", Raw()) << "exactly 12 bytes";
    EXPECT_EQ(L"[EPL_PANO_001]", reply.notes[0].text);
    EXPECT_EQ(enRECV_COMMAND, reply.notes[0].kind);
    EXPECT_TRUE(owner.notes.empty()) << "answers go to the reply window only";
    EXPECT_TRUE(ConsoleHasLine(comm, L">> [SPL_PANO]"));
    EXPECT_TRUE(ConsoleHasLine(comm, L"<< [EPL_PANO_001]"));
    EXPECT_EQ(L"[SPL_PANO]", comm->Console().GetDlgItemText(1146));
    EXPECT_EQ(L"90", comm->Console().GetDlgItemText(1151));
    EXPECT_TRUE(PumpUntil([&] { return comm->IsReady(); }, 5000));

    // A command that awaits nothing leaves the wait fields alone; its answer is only shown.
    ASSERT_TRUE(comm->SendData(L"[SPM_ERDY]", &reply, enRECV_NONE, false));
    ASSERT_TRUE(PumpUntil([&] { return ConsoleHasLine(comm, L"<< [EPM_ERDY_001]"); }, 10000));
    EXPECT_EQ(L"90", comm->Console().GetDlgItemText(1151));
    EXPECT_TRUE(PumpUntil([&] { return Raw() == "[SPL_PANO]\r\n[SPM_ERDY]\r\n"; }, 10000)) << Raw();
    // Time for a report that should not come.
    PumpFor(200);
    EXPECT_EQ(1u, reply.Count(WM_SERIAL_EPM));
}

TEST_P(CommPathTest, SlpFramesAreEchoedAndSmpFramesReported)
{
    StartAndOpen(L"--send-after-command 1 [SLP_PANO_XYZ] --send-after-command 1 [SMP_CEPH_1]");
    ASSERT_TRUE(comm->SendData(L"[SPL_CT__]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SLP) == 1 && owner.Count(WM_SERIAL_SMP) == 1; }, 10000));
    EXPECT_TRUE(EventsHave("echo ok"));
    EXPECT_EQ("[SPL_CT__]\r\n[ELP_PANO_001]\r\n\r\n", Raw());
    for (const CRecorderWnd::Note& note : owner.notes) {
        if (note.message == WM_SERIAL_SLP) {
            EXPECT_EQ(L"[SLP_PANO_XYZ]", note.text);
            EXPECT_EQ(enRECV_SLP_COMMAND, note.kind);
        } else {
            EXPECT_EQ(L"[SMP_CEPH_1]", note.text);
            EXPECT_EQ(enRECV_SMP_COMMAND, note.kind);
        }
    }
    EXPECT_EQ(1u, reply.Count(WM_SERIAL_EPM));
}

TEST_P(CommPathTest, MissingAnswerBecomesATimeOutAndTheLinkCanBeOpenedAgain)
{
    StartAndOpen(L"--silent CSON");
    const ULONGLONG ullSent = GetTickCount64();
    ASSERT_TRUE(comm->SendData(L"[SPL_CSON]", &reply, enRECV_COMMAND, false));
    EXPECT_EQ(L"3", comm->Console().GetDlgItemText(1151));
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 1; }, 20000));
    const ULONGLONG ullElapsed = GetTickCount64() - ullSent;
    EXPECT_EQ(L"[SPL_CSON]", reply.notes[0].text);
    EXPECT_EQ(enRECV_TIMEOUT, reply.notes[0].kind);
    EXPECT_GE(ullElapsed, 3000u);
    std::printf("[ time-out ] 3000 ms command reported after %llu ms\n", ullElapsed);
    EXPECT_FALSE(comm->IsConnected());

    // The timed-out link gives back its port or socket and every worker ends.
    EXPECT_TRUE(PumpUntil([&] { return comm->RunningWorkerCount() == 0; }, 10000));
    if (GetParam() == Transport::Serial) {
        EXPECT_TRUE(PumpUntil([&] { return comm->GetPortHandle() == INVALID_HANDLE_VALUE; }, 10000));
    }

    ASSERT_TRUE(Open());
    EXPECT_EQ(3, comm->RunningWorkerCount());
    ASSERT_TRUE(comm->SendData(L"[SPL_PANO]", &reply, enRECV_START_OK, false));
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 2; }, 10000));
    EXPECT_EQ(enRECV_START_OK, reply.notes[1].kind);
}

TEST_P(CommPathTest, QueuedCommandsLeaveInOrderAfterTheAnswer)
{
    StartAndOpen(L"--delay PANO 700");
    ASSERT_TRUE(comm->SendData(L"[SPL_PANO]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(comm->SendData(L"[SPL_CSON]", &reply, enRECV_NONE, false));
    ASSERT_TRUE(comm->SendData(L"[SPL_CEPH]", &reply, enRECV_PACKING_CHECK, false));
    EXPECT_EQ(2, comm->GetQueueCount());
    comm->ShowPendingLines();
    CListCtrl list;
    list.Attach(comm->Console().GetDlgItem(1166));
    ASSERT_EQ(2, list.GetItemCount());
    EXPECT_EQ(L"[SPL_CSON]", list.GetItemText(0, 0));
    EXPECT_EQ(L"Non", list.GetItemText(0, 1));
    EXPECT_EQ(L"[SPL_CEPH]", list.GetItemText(1, 0));
    EXPECT_EQ(L"Ack", list.GetItemText(1, 1));
    EXPECT_EQ(L"2", comm->Console().GetDlgItemText(1148));

    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) >= 1 && list.GetItemCount() == 0; }, 10000)) << "the list follows by itself";
    EXPECT_EQ(L"[EPL_PANO_001]", reply.notes[0].text);
    EXPECT_EQ(enRECV_COMMAND, reply.notes[0].kind);
    EXPECT_TRUE(RawHas("[SPL_PANO]\r\n[SPL_CSON]\r\n[SPL_CEPH]\r\n"));
    EXPECT_EQ(L"0", comm->Console().GetDlgItemText(1148));
    EXPECT_EQ(L"[SPL_CEPH]", comm->Console().GetDlgItemText(1146)) << "C is in flight";

    // While C is in flight a new command waits for C's answer.
    ASSERT_TRUE(comm->SendData(L"[SPL_OCEP]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 3; }, 10000));
    EXPECT_EQ(L"[EPL_CEPH_001]", reply.notes[1].text);
    EXPECT_EQ(enRECV_PACKING_CHECK, reply.notes[1].kind);
    EXPECT_EQ(L"[EPL_OCEP_001]", reply.notes[2].text);
    list.Detach();
}

TEST_P(CommPathTest, FullQueueClearAndReopenDropWaitingCommands)
{
    StartAndOpen(L"--silent PANO");
    ASSERT_TRUE(comm->SendData(L"[SPL_PANO]", &reply, enRECV_COMMAND, false));
    for (int i = 0; i < 300; ++i) {
        wchar_t text[32];
        _snwprintf(text, 31, L"[SPL_Q%03d]", i);
        EXPECT_EQ(i < 299, comm->SendData(text, &reply, i % 2 == 0 ? enRECV_NONE : enRECV_COMMAND, false)) << i;
    }
    std::vector<CConsoleRecord::Line> lines;
    comm->GetRecord().Copy(0, 100000, lines);
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), [](const CConsoleRecord::Line& line) {
                  return line.text == L"Queue is full: [SPL_Q299] not sent (299 commands wait)";
              })) << "the refusal is told";
    comm->ShowPendingLines();
    CListCtrl list;
    list.Attach(comm->Console().GetDlgItem(1166));
    EXPECT_EQ(299, list.GetItemCount());
    EXPECT_EQ(L"[SPL_Q298]", list.GetItemText(298, 0)) << "the 300th waiting command is refused";
    EXPECT_EQ(L"299", comm->Console().GetDlgItemText(1148));
    EXPECT_EQ(L"300", comm->Console().GetDlgItemText(1149));

    comm->ClearQueue();
    comm->ShowPendingLines();
    EXPECT_EQ(0, list.GetItemCount());
    EXPECT_EQ(L"0", comm->Console().GetDlgItemText(1148));
    ASSERT_TRUE(comm->SendData(L"[SPL_ERDY]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 1; }, 10000)) << "leaves at once";
    EXPECT_EQ(L"[EPL_ERDY_001]", reply.notes[0].text);

    // Commands waiting at a close are gone after the next open.
    ASSERT_TRUE(comm->SendData(L"[SPL_PANO]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(comm->SendData(L"[SPL_LOST]", &reply, enRECV_COMMAND, false));
    Close();
    comm->ShowPendingLines();
    EXPECT_EQ(0, list.GetItemCount());
    ASSERT_TRUE(Open());
    ASSERT_TRUE(comm->SendData(L"[SPL_HSON]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 2; }, 10000));
    EXPECT_EQ(std::string::npos, Raw().find("LOST"));
    EXPECT_EQ(std::string::npos, Raw().find("Q000"));
    list.Detach();
}

TEST_P(CommPathTest, ThousandsOfCommandsAndUnsolicitedFramesNoneLostOrMisdelivered)
{
    // A thousand round trips (half that on the slower serial line) beside the flood; the
    // soak sends a million frames.
    const int nCommands = GetParam() == Transport::Tcp ? 1000 : 500;
    const int nFlood = 2000;
    StartAndOpen(L"--split 2 0 --noise x\\r\\n --flood-after-command 2 " + std::to_wstring(nFlood) +
                 L" [SMP_TICK_{n}]");
    static const wchar_t* const kWords[] = {L"PANO", L"CEPH", L"ERDY", L"CSON", L"OCEP"};
    const ULONGLONG ullStart = GetTickCount64();
    for (int i = 0; i < nCommands; ++i) {
        wchar_t text[32];
        _snwprintf(text, 31, L"[SP%c_%s_%d]", i % 2 ? L'M' : L'L', kWords[i % 5], i);
        const int nKind = enRECV_COMMAND + (i % 3);
        ASSERT_TRUE(comm->SendData(text, &reply, nKind, false)) << i;
        ASSERT_TRUE(PumpUntil([&] { return reply.notes.size() == static_cast<size_t>(i + 1); }, 10000)) << i;
        wchar_t expected[32];
        _snwprintf(expected, 31, L"[EP%c_%s_001]", i % 2 ? L'M' : L'L', kWords[i % 5]);
        ASSERT_EQ(expected, reply.notes[static_cast<size_t>(i)].text) << i;
        ASSERT_EQ(nKind, reply.notes[static_cast<size_t>(i)].kind) << i;
    }
    ASSERT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SMP) >= static_cast<size_t>(nFlood); }, 60000));
    const double seconds = static_cast<double>(GetTickCount64() - ullStart) / 1000.0;
    PumpFor(300);
    ASSERT_EQ(static_cast<size_t>(nFlood), owner.notes.size()) << "nothing duplicated";
    for (int n = 1; n <= nFlood; ++n)
        ASSERT_EQ(L"[SMP_TICK_" + std::to_wstring(n) + L"]", owner.notes[static_cast<size_t>(n - 1)].text);
    EXPECT_EQ(static_cast<size_t>(nCommands), reply.notes.size());
    std::printf("[ endurance ] %s: %d commands answered and %d unsolicited frames in %.2f s (%.0f frames/s)\n",
                GetParam() == Transport::Tcp ? "TCP" : "serial", nCommands, nFlood, seconds,
                (2.0 * nCommands + nFlood) / seconds);
}

INSTANTIATE_TEST_SUITE_P(Links, CommPathTest, ::testing::Values(Transport::Tcp, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return info.param == Transport::Tcp ? std::string("Tcp") : std::string("Serial");
                         });

// Precise control of the far end, on TCP: answers that do not match, duplicates, loose text.
class CommClassifyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(owner.Create());
        ASSERT_TRUE(reply.Create());
        comm = CComm::GetInstance();
        comm->SetOwnerWnd(&owner);
        const int nPort = UnusedTcpPort();
        ASSERT_TRUE(peer.Listen(nPort));
        ASSERT_TRUE(comm->Open_Ethernet(L"127.0.0.1", nPort));
        ASSERT_TRUE(peer.Accept(10000));
    }
    void TearDown() override
    {
        comm->CloseEthernet();
        delete comm;
        EXPECT_TRUE(PumpUntil([] { return NotifyTextsOutstanding() == 0; }, 5000)) << NotifyTextsOutstanding();
    }
    CRecorderWnd owner;
    CRecorderWnd reply;
    CComm* comm = nullptr;
    TcpPeer peer;
};

TEST_F(CommClassifyTest, OnlyTheMatchingAnswerIsReportedAndOnlyOnce)
{
    // Nothing awaited: an answer is only shown.
    ASSERT_TRUE(peer.Send("[EPM_PANO_001]\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return ConsoleHasLine(comm, L"<< [EPM_PANO_001]"); }, 10000));

    ASSERT_TRUE(comm->SendData(L"[SPM_CEPH]", &reply, enRECV_GET_CAPCOUNT, false));
    ASSERT_EQ("[SPM_CEPH]\r\n", peer.Receive(12, 10000));
    // Another word, then the match split over two writes, then a duplicate.
    ASSERT_TRUE(peer.Send("[EPL_PANO_001]\r\n[EPM_CE"));
    PumpFor(100);
    ASSERT_TRUE(peer.Send("PH_001]\r\n[EPM_CEPH_001]\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return ConsoleLines(comm).size() >= 7; }, 10000));
    ASSERT_TRUE(PumpUntil([&] { return !reply.notes.empty(); }, 10000));
    // Time for a second report that should not come.
    PumpFor(200);
    ASSERT_EQ(1u, reply.notes.size());
    EXPECT_EQ(L"[EPM_CEPH_001]", reply.notes[0].text);
    EXPECT_EQ(enRECV_GET_CAPCOUNT, reply.notes[0].kind);
    EXPECT_TRUE(owner.notes.empty());
}

TEST_F(CommClassifyTest, AFrameTooLongForTheWireIsRefusedWhole)
{
    // 257 characters fit the wire buffer with CR, LF and the terminator; 258 do not.
    const std::wstring fits = L"[SPL_PANO_" + std::wstring(246, L'd') + L"]";
    ASSERT_EQ(257u, fits.size());
    ASSERT_TRUE(comm->SendData(fits.c_str(), &reply, enRECV_NONE, false));
    EXPECT_EQ(std::string(fits.begin(), fits.end()) + "\r\n", peer.Receive(259, 10000));
    const std::wstring tooLong = L"[SPL_PANO_" + std::wstring(247, L'd') + L"]";
    EXPECT_FALSE(comm->SendData(tooLong.c_str(), &reply, enRECV_COMMAND, false));
    EXPECT_TRUE(ConsoleHasLine(comm, L"Command not sent: 258 characters, at most 257 fit a frame"));
    EXPECT_EQ("", peer.Receive(1, 300));
    EXPECT_TRUE(comm->IsReady()) << "a refused command does not become the one in flight";
}

TEST_F(CommClassifyTest, LooseTextAndBrokenFramesAreShownAsData)
{
    ASSERT_TRUE(peer.Send("abc\r\n[SMP_DOOR_1]\r\n[AB[SMP_DOOR_2]\r\n[SLP_"));
    ASSERT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SMP) == 2; }, 10000));
    EXPECT_TRUE(ConsoleHasLine(comm, L"abc"));
    EXPECT_TRUE(ConsoleHasLine(comm, L"[AB"));
    EXPECT_EQ(L"[SMP_DOOR_1]", owner.notes[0].text);
    EXPECT_EQ(L"[SMP_DOOR_2]", owner.notes[1].text);

    // The echo of an SLP frame is on the wire before the owner hears of the frame.
    ASSERT_TRUE(peer.Send("PANO_77]"));
    ASSERT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_SLP) == 1; }, 10000));
    EXPECT_EQ("[ELP_PANO_001]\r\n\r\n", peer.Receive(18, 0));
}

} // namespace

TEST_P(CommPathTest, TheExitWritesTheSummaryAndEndsTheRecordEvenWhenTheLinkWasLostJustBeforeItsClose)
{
    comm->SetConsoleOptions(false, false, dir + L"Logs\\");
    StartAndOpen(L"");
    ASSERT_TRUE(comm->SendData(L"[SPL_CSON]", &reply, enRECV_COMMAND, false));
    ASSERT_TRUE(PumpUntil([&] { return reply.Count(WM_SERIAL_EPM) == 1; }, 10000));
    ASSERT_TRUE(comm->SessionRecord().IsRunning());
    // The exit sequence, with the link lost by another thread between its clear and its
    // close (nothing is drained in between).
    comm->PrepareExit();
    comm->ClearQueue();
    std::thread([&] { comm->CloseEthernet(); }).join();
    ASSERT_FALSE(comm->IsConnected());
    Close();
    EXPECT_TRUE(comm->IsReleased());
    EXPECT_FALSE(comm->SessionRecord().IsRunning()) << "the session record was ended";
    const std::vector<std::wstring> lines = ConsoleLines(comm);
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::wstring& line) {
        return line.find(L"Summary per command word") != std::wstring::npos;
    })) << "the link's summary was written";
}

