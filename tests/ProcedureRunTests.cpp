// Service procedures run unattended by the real program against the simulated unit: the
// exit code, each step's verdict as the text report has it, and the refusals that send
// nothing.
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

struct Unattended {
    bool bEnded = false;
    DWORD dwExit = 0;
    std::string report;  // the text report, empty when none was written
    std::string errors;  // what the program wrote on standard error
};

// Writes the procedure into the run's folder, starts the unit (unless no scenario is given)
// and the program with "/procedure FILE /report FOLDER", and waits for the program's end.
Unattended RunUnattended(ProgramRun& run, ScriptedUnit& unit, const std::string& procedure, const std::string* pScenario)
{
    Unattended result;
    const std::wstring path = run.Folder() + L"Check procedure.txt";
    const std::wstring reports = run.Folder() + L"Reports\\";
    if (!WriteFileBytes(path, procedure) || !run.WriteConfig(UnitConfig(run, UnitLink::Tcp)))
        return result;
    if (pScenario != nullptr && !unit.StartTcp(run, PrivateLoopbackAddress(), *pScenario))
        return result;
    if (!run.Start(L"/procedure \"" + path + L"\" /report \"" + reports + L"\"", run.Folder() + L"stderr.txt"))
        return result;
    result.bEnded = run.Child().WaitExit(120000);
    result.dwExit = result.bEnded ? run.Child().ExitCode() : 0;
    result.errors = ReadFileBytes(run.Folder() + L"stderr.txt");
    WIN32_FIND_DATAW data;
    const HANDLE hFind = FindFirstFileW((reports + L"Report-*.txt").c_str(), &data);
    if (hFind != INVALID_HANDLE_VALUE) {
        result.report = ReadFileBytes(reports + data.cFileName);
        FindClose(hFind);
    }
    return result;
}

size_t Count(const std::string& text, const std::string& part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

// The report's line of the step on the procedure's line nLine.
std::string StepLine(const std::string& report, int nLine)
{
    const std::string key = "line " + std::to_string(nLine) + " ";
    for (size_t at = 0, end; (end = report.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = report.substr(at, end - at);
        if (line.find(key) != std::string::npos)
            return line;
    }
    return std::string();
}

TEST(ProcedureUnattended, EveryStepPassesAgainstTheUnitAndTheRunEndsWithZero)
{
    ProgramRun run(L"procedure_pass");
    ScriptedUnit unit;
    const std::string scenario = "send-after-command 1 [SMP_STAT_READY]\n";
    const Unattended r = RunUnattended(run, unit,
                                       "# daily check\r\n"
                                       "note \"morning check of the unit\"\r\n"
                                       "send [SPL_STAT] expect [EPL_STAT_001]\r\n"
                                       "expect [SMP_STAT_*] within 5 s   # the unit says it is ready\r\n"
                                       "send [SPL_PANO] expect [EPL_PANO_???] within 5 s\r\n"
                                       "wait 200 ms\r\n"
                                       "send [SPL_DOOR]\r\n",
                                       &scenario);
    ASSERT_TRUE(r.bEnded) << "the program did not end";
    EXPECT_EQ(0u, r.dwExit) << r.errors << r.report;
    ASSERT_FALSE(r.report.empty());
    EXPECT_EQ(0u, StepLine(r.report, 3).find("PASS")) << r.report;
    EXPECT_NE(std::string::npos, StepLine(r.report, 3).find("received [EPL_STAT_001]"));
    EXPECT_NE(std::string::npos, StepLine(r.report, 3).find(" ms"));
    EXPECT_NE(std::string::npos, StepLine(r.report, 4).find("received [SMP_STAT_READY]")) << r.report;
    EXPECT_NE(std::string::npos, StepLine(r.report, 5).find("received [EPL_PANO_001]"));
    EXPECT_EQ(5u, Count(r.report, "PASS ")) << r.report;
    EXPECT_NE(std::string::npos, r.report.find("Summary: 5 passed, 0 failed, 0 skipped")) << r.report;
    EXPECT_NE(std::string::npos, r.report.find("morning check of the unit"));
    EXPECT_NE(std::string::npos, r.report.find("Check procedure.txt"));
    // The commands went as a console Send goes: through the exchange, in order.
    const std::string log = unit.Log();
    const size_t stat = log.find("FRAME \"[SPL_STAT]\""), pano = log.find("FRAME \"[SPL_PANO]\""), door = log.find("FRAME \"[SPL_DOOR]\"");
    ASSERT_NE(std::string::npos, door) << log;
    EXPECT_LT(stat, pano);
    EXPECT_LT(pano, door);
}

TEST(ProcedureUnattended, WrongLateAndMissingAnswersFailTheirStepsAndTheRunGoesOnWhenAskedTo)
{
    ProgramRun run(L"procedure_fail");
    ScriptedUnit unit;
    const std::string scenario = "delay CEPH 1500\nsilent STAT\n";
    const Unattended r = RunUnattended(run, unit,
                                       "continue-on-fail\n"
                                       "send [SPL_PANO] expect [EPL_PANO_002]\n"
                                       "send [SPL_CEPH] expect [EPL_CEPH_001] within 500 ms\n"
                                       "send [SPL_DOOR] expect [EPL_DOOR_001]\n"
                                       "send [SPL_STAT] expect [EPL_STAT_001]\n"
                                       "send [SPL_ARCT] expect [EPL_ARCT_001]\n",
                                       &scenario);
    ASSERT_TRUE(r.bEnded);
    EXPECT_EQ(1u, r.dwExit) << r.errors << r.report;
    EXPECT_EQ(0u, StepLine(r.report, 2).find("FAIL")) << r.report;
    EXPECT_NE(std::string::npos, StepLine(r.report, 2).find("received [EPL_PANO_001]"));
    EXPECT_NE(std::string::npos, StepLine(r.report, 2).find("does not match [EPL_PANO_002]"));
    EXPECT_EQ(0u, StepLine(r.report, 3).find("FAIL"));
    EXPECT_NE(std::string::npos, StepLine(r.report, 3).find("no answer within 500 ms")) << r.report;
    // The late answer of the step before is not taken for this one's.
    EXPECT_EQ(0u, StepLine(r.report, 4).find("PASS")) << r.report;
    EXPECT_NE(std::string::npos, StepLine(r.report, 4).find("received [EPL_DOOR_001]"));
    // A command the unit never answers ends the link when its word's time-out runs out, and
    // with it the run.
    EXPECT_EQ(0u, StepLine(r.report, 5).find("FAIL"));
    EXPECT_NE(std::string::npos, StepLine(r.report, 5).find("no answer within 3 s (the word's time-out)")) << r.report;
    EXPECT_EQ(0u, StepLine(r.report, 6).find("SKIPPED"));
    EXPECT_NE(std::string::npos, r.report.find("Summary: 1 passed, 3 failed, 1 skipped")) << r.report;
}

TEST(ProcedureUnattended, ALinkLostHalfWayEndsTheRunAsFailedAndSkipsTheRest)
{
    ProgramRun run(L"procedure_lost");
    ScriptedUnit unit;
    const std::string scenario = "vanish-after-command 2 20000\n";
    const Unattended r = RunUnattended(run, unit,
                                       "send [SPL_STAT] expect [EPL_STAT_001]\n"
                                       "send [SPL_PANO] expect [EPL_PANO_001]\n"
                                       "wait 5 s\n"
                                       "send [SPL_CEPH] expect [EPL_CEPH_001]\n",
                                       &scenario);
    ASSERT_TRUE(r.bEnded);
    EXPECT_EQ(1u, r.dwExit) << r.errors << r.report;
    EXPECT_EQ(0u, StepLine(r.report, 1).find("PASS")) << r.report;
    EXPECT_EQ(0u, StepLine(r.report, 2).find("PASS"));
    EXPECT_EQ(0u, StepLine(r.report, 3).find("SKIPPED"));
    EXPECT_EQ(0u, StepLine(r.report, 4).find("SKIPPED"));
    EXPECT_NE(std::string::npos, r.report.find("the link ended in the middle of the run")) << r.report;
    EXPECT_NE(std::string::npos, r.report.find("Summary: 2 passed, 0 failed, 2 skipped")) << r.report;
}

TEST(ProcedureUnattended, WhatCannotRunEndsWithTwoAndItsReasonAndSendsNothing)
{
    struct Case {
        const char* name;
        std::string procedure;
        bool bUnit;
        const char* reason;
    };
    const Case cases[] = {
        {"typo", "send [SPL_STAT] expect [EPL_STAT_001]\nsendd [SPL_PANO]\n", true, "line 2: unknown step \"sendd\""},
        {"ask", "send [SPL_STAT]\nask \"Is the door closed?\"\n", true, "no one is there to answer"},
        {"no_unit", "send [SPL_STAT]\n", false, "could not be opened"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProgramRun run((L"procedure_refused_" + std::wstring(c.name, c.name + strlen(c.name))).c_str());
        ScriptedUnit unit;
        const std::string scenario;
        const Unattended r = RunUnattended(run, unit, c.procedure, c.bUnit ? &scenario : nullptr);
        ASSERT_TRUE(r.bEnded);
        EXPECT_EQ(2u, r.dwExit) << r.errors;
        EXPECT_NE(std::string::npos, r.errors.find(c.reason)) << r.errors;
        EXPECT_TRUE(r.report.empty()) << r.report;
        EXPECT_EQ(std::string::npos, unit.Log().find("FRAME \"[SPL_STAT]\"")) << "nothing is sent";
    }
}

TEST(ProcedureUnattended, TheExampleProceduresPassAgainstTheSimulatedUnit)
{
    // The source tree as the test environment sees it (Wine's Z: drive is the root).
    std::wstring source = L"Z:" + std::wstring(RIG_SOURCE_DIR, RIG_SOURCE_DIR + strlen(RIG_SOURCE_DIR)) + L"/";
    for (wchar_t& ch : source)
        ch = ch == L'/' ? L'\\' : ch;
    const std::string scenario = ReadFileBytes(source + L"tools\\demo.sim");
    ASSERT_FALSE(scenario.empty());
    for (const wchar_t* lpName : {L"daily-check.txt", L"door-test.txt"}) {
        SCOPED_TRACE(std::string(lpName, lpName + wcslen(lpName)));
        ProgramRun run(L"procedure_example");
        ScriptedUnit unit;
        const std::string procedure = ReadFileBytes(source + L"docs\\procedures\\" + lpName);
        ASSERT_FALSE(procedure.empty());
        const Unattended r = RunUnattended(run, unit, procedure, &scenario);
        ASSERT_TRUE(r.bEnded);
        EXPECT_EQ(0u, r.dwExit) << r.errors << r.report;
        EXPECT_EQ(std::string::npos, r.report.find("FAIL")) << r.report;
    }
}

} // namespace
