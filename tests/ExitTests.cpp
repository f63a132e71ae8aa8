// The real program asked to end while the unit streams its own frames as fast as the link
// carries them, with a command awaiting an answer that will not come: it ends promptly, and
// no box (the answer's time-out) appears once the exit was asked.
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

TEST(Exit, EndsPromptlyInAFloodOfFramesWithACommandAwaitingItsAnswerAndShowsNoBoxAfterwards)
{
    ProgramRun run(L"exit_flood");
    const std::wstring address = PrivateLoopbackAddress();
    ASSERT_TRUE(run.WriteConfig(TcpConfig(run, address)));
    ScriptedUnit unit;
    // The unit never answers CSON, and streams door frames without pause.
    ASSERT_TRUE(unit.StartTcp(run, address, "silent PANO\nflood 2000000 [SMP_DOOR_{n7}]\n"));
    ASSERT_TRUE(run.Start());
    ASSERT_GE(run.WaitForTrace("[SMP_DOOR_0002000]", 60000, "CComm::LogWrite"), 0);
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_GE(run.WaitForTrace("[SPL_PANO]", 20000, "CComm::LogWrite"), 0);
    // Asked long before the command's 90 s answer time-out ends.
    const ULONGLONG ullAsked = GetTickCount64();
    ASSERT_TRUE(PostMessageW(run.MainWindow(), WM_CLOSE, 0, 0));
    std::vector<std::wstring> boxes;
    const bool bEnded = PumpUntil(
        [&] {
            for (const std::wstring& box : run.OpenMessageBoxes())
                boxes.push_back(box);
            return run.Child().WaitExit(0);
        },
        40000);
    const ULONGLONG ullTook = GetTickCount64() - ullAsked;
    for (const std::wstring& box : run.OpenMessageBoxes())
        run.Dismiss(run.WaitMessageBox(box, 1000));
    EXPECT_TRUE(bEnded) << "the program ended";
    EXPECT_TRUE(boxes.empty()) << "a box came after the exit was asked: " << boxes.size();
    // A generous bound for a loaded machine; the benchmark and the soak measure the figure.
    EXPECT_LT(ullTook, 5000u) << "the exit took " << ullTook << " ms";
    printf("exit in a frame flood with a command awaiting its answer: %llu ms\n", ullTook);
}
