// A service day compressed: answered, unanswered and queued commands, unsolicited frames,
// the unit hanging up and the link reopened, over both links, for RIG_ENDURANCE_SECONDS
// (6 s by default, which holds hang-ups and a time-out on each link; set it for longer
// runs). Nothing may be lost within a connection, duplicated or misdelivered, and handles
// and memory must come back to their level after the first stretch.
#include "comm/Comm.h"
#include "support/CommTestSupport.h"
#include "support/SimUnitProcess.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <cstdlib>
#include <fstream>

using namespace testsupport;

namespace {

struct Usage {
    DWORD dwHandles = 0;
    SIZE_T private_ = 0;
};

Usage Measure()
{
    Usage usage;
    GetProcessHandleCount(GetCurrentProcess(), &usage.dwHandles);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory));
    // Wine reports no private usage, but the page-file usage, which is the same figure.
    usage.private_ = memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage;
    return usage;
}

class EnduranceTest : public ::testing::TestWithParam<bool> {};

TEST_P(EnduranceTest, MixedTrafficWithHangUpsAndReopens)
{
    const bool bSerial = GetParam();
    const char* lpSeconds = std::getenv("RIG_ENDURANCE_SECONDS");
    const DWORD dwSeconds = lpSeconds != nullptr ? static_cast<DWORD>(std::atoi(lpSeconds)) : 6;

    // The unit never answers CSON, hangs up at its 40th command, reports a door now and
    // then, and after the answer to its kth command sends the numbered frame [SMP_SEQ_k].
    const std::wstring dir = MakeScratchDir(L"endurance");
    {
        std::ofstream script((dir + L"unit.sim").c_str());
        script << "silent CSON\nhangup-after-command 40\nevery 700 [SLP_DOOR_OPEN]\n";
        for (int k = 1; k <= 200; ++k)
            script << "send-after-command " << k << " [SMP_SEQ_" << k << "]\n";
    }
    SimUnitProcess unit;
    int nPort = 0;
    const std::wstring common = L" --quiet --log \"" + dir + L"unit.log\" --script \"" + dir + L"unit.sim\"";
    if (bSerial) {
        ASSERT_TRUE(unit.Start(L"--com " + std::to_wstring(UnitComPort()) + L" --baud 115200" + common));
    } else {
        nPort = UnusedTcpPort();
        ASSERT_TRUE(unit.Start(L"--tcp 127.0.0.1:" + std::to_wstring(nPort) + common));
    }

    CRecorderWnd owner, reply;
    ASSERT_TRUE(owner.Create());
    ASSERT_TRUE(reply.Create());
    CComm* comm = CComm::GetInstance();
    comm->SetOwnerWnd(&owner);
    // The console shows a screenful of its latest lines: filled well beyond that from the
    // start (a tick's worth at a time, as lines come in a session), it holds as much at the
    // first measurement as at the last.
    for (int i = 1; i <= 400; ++i) {
        comm->LogWrite(LOG_KIND_DATA, L"%s", L"earlier line");
        if (i % 100 == 0)
            comm->ShowPendingLines();
    }
    const auto open = [&] {
        return bSerial ? comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), 115200)
                       : comm->Open_Ethernet(L"127.0.0.1", nPort);
    };

    struct Sent {
        std::wstring text;
        int kind;
    };
    // Each round's awaited commands and the reply window's notifications that came for them
    // (a round's notifications have all been posted before the next round starts), and
    // whether the link ended in it (time-out or hang-up), which drops the commands still
    // waiting without a word, as a close drops them.
    struct Round {
        std::vector<Sent> awaited;
        size_t nFirstNote = 0;
        size_t nEndNote = 0;
        bool bLinkLost = false;
    };
    std::vector<Round> rounds;
    int nConnections = 0;
    int nSequenceChecked = 0;
    size_t nSeenOwner = 0;
    int nLastSeq = 0;
    // Frames are numbered 1, 2, 3... without a gap or a repeat; the numbering starts again
    // only with a connection (on TCP every reopen; on the serial line the unit counts on
    // across our reopens until it hangs up itself).
    bool bFreshConnection = true;
    const auto checkOwnerNotes = [&] {
        for (; nSeenOwner < owner.notes.size(); ++nSeenOwner) {
            const CRecorderWnd::Note& note = owner.notes[nSeenOwner];
            if (note.message == WM_SERIAL_SLP) {
                ASSERT_EQ(L"[SLP_DOOR_OPEN]", note.text);
                continue;
            }
            if (bFreshConnection && note.text == L"[SMP_SEQ_1]")
                nLastSeq = 0;
            bFreshConnection = false;
            ASSERT_EQ(L"[SMP_SEQ_" + std::to_wstring(nLastSeq + 1) + L"]", note.text) << "connection " << nConnections;
            ++nLastSeq;
            ++nSequenceChecked;
        }
    };

    Usage first{};
    bool bFirstTaken = false;
    const ULONGLONG ullStart = GetTickCount64();
    const ULONGLONG ullEnd = ullStart + dwSeconds * 1000ull;
    int nRound = 0;
    while (GetTickCount64() < ullEnd) {
        if (!comm->IsConnected()) {
            // The link ended (time-out or hang-up): once it is released, every notification
            // of that connection has been posted; take them, then open anew.
            ASSERT_TRUE(PumpUntil([&] { return comm->RunningWorkerCount() == 0; }, 15000));
            PumpFor(50);
            checkOwnerNotes();
            bFreshConnection = true;
            ASSERT_TRUE(PumpUntil([&] { return open(); }, 15000)) << "reopen";
            ++nConnections;
        }
        ++nRound;
        if (!rounds.empty())
            rounds.back().nEndNote = reply.notes.size();
        rounds.emplace_back();
        Round& round = rounds.back();
        round.nFirstNote = reply.notes.size();
        const Sent commands[] = {{L"[SPL_OCEP]", enRECV_COMMAND}, {L"[SPM_ERDY]", enRECV_NONE}, {L"[SPL_HSON_7]", enRECV_PACKING_CHECK}};
        for (const Sent& command : commands) {
            if (comm->SendData(command.text.c_str(), &reply, command.kind, false) && command.kind != enRECV_NONE)
                round.awaited.push_back(command);
        }
        if (nRound % 15 == 0 && comm->SendData(L"[SPL_CSON]", &reply, enRECV_START_OK, false))
            round.awaited.push_back({L"[SPL_CSON]", enRECV_START_OK});
        // Ready means every answer has been posted: what is queued now is all of them.
        PumpUntil([&] { return comm->IsReady() || !comm->IsConnected(); }, 10000);
        PumpPending();
        round.bLinkLost = !comm->IsConnected();

        if (!bFirstTaken && GetTickCount64() - ullStart > dwSeconds * 250ull) {
            first = Measure();
            bFirstTaken = true;
        }
    }
    bSerial ? static_cast<void>(comm->CloseSerial()) : comm->CloseEthernet();
    PumpFor(100);
    checkOwnerNotes();
    rounds.back().nEndNote = reply.notes.size();

    // Each round's notifications are its awaited commands' answers, in order, once; only a
    // round whose link ended may stop short, its last one then being the time-out of the
    // command in flight.
    size_t nTimeOuts = 0;
    for (size_t r = 0; r < rounds.size(); ++r) {
        const Round& round = rounds[r];
        const size_t nNotes = round.nEndNote - round.nFirstNote;
        ASSERT_LE(nNotes, round.awaited.size()) << "round " << r + 1;
        if (!round.bLinkLost) {
            ASSERT_EQ(round.awaited.size(), nNotes) << "an answer of round " << r + 1 << " is missing, and its link stayed open";
        }
        for (size_t i = 0; i < nNotes; ++i) {
            const CRecorderWnd::Note& note = reply.notes[round.nFirstNote + i];
            const Sent& sent = round.awaited[i];
            std::wstring answer = sent.text.substr(0, 9) + L"_001]";
            answer[2] = L'P';
            answer[1] = L'E';
            ASSERT_EQ(WM_SERIAL_EPM, note.message);
            if (note.kind == enRECV_TIMEOUT) {
                ASSERT_EQ(sent.text, note.text) << "round " << r + 1;
                ASSERT_EQ(nNotes - 1, i) << "a time-out ends the round's link, round " << r + 1;
                ASSERT_TRUE(round.bLinkLost);
                ++nTimeOuts;
            } else {
                ASSERT_EQ(answer, note.text) << "round " << r + 1;
                ASSERT_EQ(sent.kind, note.kind) << "round " << r + 1;
            }
        }
    }

    const Usage last = Measure();
    std::printf("[ endurance ] %s, %d s: %d connections, %d rounds, %zu answers and %zu time-outs, %d numbered frames; "
                "handles %d -> %d, private memory %.1f -> %.1f MB\n",
                bSerial ? "serial" : "TCP", static_cast<int>(dwSeconds), nConnections, nRound, reply.notes.size() - nTimeOuts, nTimeOuts,
                nSequenceChecked, static_cast<int>(first.dwHandles), static_cast<int>(last.dwHandles), first.private_ / 1048576.0, last.private_ / 1048576.0);
    EXPECT_GT(nConnections, 1);
    EXPECT_GT(nTimeOuts, 0u);
    // Wine does not count a process's handles (it answers 0); Windows does.
    if (first.dwHandles != 0) {
        EXPECT_LE(last.dwHandles, first.dwHandles + 10);
    }
    EXPECT_LE(last.private_, first.private_ + 8 * 1048576);
    delete comm;
    EXPECT_TRUE(PumpUntil([] { return NotifyTextsOutstanding() == 0; }, 5000)) << NotifyTextsOutstanding();
}

INSTANTIATE_TEST_SUITE_P(Links, EnduranceTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? std::string("Serial") : std::string("Tcp"); });

} // namespace
