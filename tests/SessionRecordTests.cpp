// The console's session record, as the real program writes it beside itself in Logs: stamps
// that follow the unit's own clock, round-trip times, the queue's waits, the time-out line
// and the summary at the link's end; and a record that survives the program being killed in
// the middle of a flood.
#include "resource.h"
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

using namespace testsupport;

namespace {

std::vector<std::wstring> SessionFiles(const ProgramRun& run)
{
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW((run.Folder() + L"Logs\\Session-*.log").c_str(), &data);
    if (hFind == INVALID_HANDLE_VALUE)
        return files;
    do
        files.push_back(run.Folder() + L"Logs\\" + data.cFileName);
    while (FindNextFileW(hFind, &data));
    FindClose(hFind);
    return files;
}

// The lines of a session record; false when the file does not end in a whole line or is no
// valid UTF-8.
bool ReadRecord(const std::wstring& path, std::vector<std::string>& lines)
{
    const std::string bytes = ReadFileBytes(path);
    if (bytes.size() < 2 || bytes.compare(bytes.size() - 2, 2, "\r\n") != 0)
        return false;
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0) == 0)
        return false;
    lines.clear();
    for (size_t at = 0, end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(bytes.substr(at, end - at));
    return true;
}

// Milliseconds of the day of a line's stamp ("0012| 14:03:12.345 << ..."), or -1.
long StampMs(const std::string& line)
{
    const size_t at = line.find("| ");
    int h = 0, m = 0, s = 0, ms = 0;
    if (at == std::string::npos || std::sscanf(line.c_str() + at + 2, "%2d:%2d:%2d.%3d", &h, &m, &s, &ms) != 4)
        return -1;
    return ((h * 60L + m) * 60L + s) * 1000L + ms;
}

// The round-trip or wait at the end of a line ("...   312.4 ms"), or -1.
double EndMs(const std::string& line, const char* lpBefore = "   ")
{
    const size_t at = line.rfind(lpBefore);
    if (at == std::string::npos || line.size() < 3 || line.compare(line.size() - 3, 3, " ms") != 0)
        return -1;
    return std::atof(line.c_str() + at + std::strlen(lpBefore));
}

const std::string* Find(const std::vector<std::string>& lines, const std::string& part)
{
    for (const std::string& line : lines)
        if (line.find(part) != std::string::npos)
            return &line;
    return nullptr;
}

TEST(SessionRecord, HoldsStampsRoundTripsWaitsTheTimeOutAndTheSummaryOfTheLink)
{
    ProgramRun run(L"session_link");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "delay PANO 300\nsilent STAT\nevery 200 [SMP_TICK]\n"));

    // PANO is answered after 300 ms; CSON waits behind it; STAT is never answered.
    // (each Send is taken before the next text is set: the click reads the command field)
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    ASSERT_TRUE(PumpUntil([&] { return WindowText(GetDlgItem(run.Console(), IDC_EDIT_WAIT_COMMAND)) == L"[SPL_PANO]"; }, 20000));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_CSON]"));
    ASSERT_GE(run.WaitForTrace("[EPL_CSON_001]", 20000, "CComm::LogWrite"), 0);
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_GE(run.WaitForTrace("Link closed: answer time-out", 20000, "CComm::LogWrite"), 0);
    ASSERT_TRUE(run.WaitAndDismiss(L"[Error] Communication timeout has occurred", 20000));
    ASSERT_TRUE(run.CloseAndWait());

    const std::vector<std::wstring> files = SessionFiles(run);
    ASSERT_EQ(1u, files.size());
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadRecord(files[0], lines)) << "whole lines of UTF-8";
    ASSERT_GT(lines.size(), 10u);
    EXPECT_NE(std::string::npos, lines[0].find("Session record: ")) << lines[0];

    const std::string* pPano = Find(lines, "<< [EPL_PANO_001]");
    ASSERT_NE(nullptr, pPano);
    // The unit waits 300 ms before it answers; a busy machine may add to that, but not a
    // second (a round trip in other units, or counted from another moment, would).
    EXPECT_GE(EndMs(*pPano), 300.0) << *pPano;
    EXPECT_LE(EndMs(*pPano), 1300.0) << *pPano;
    // CSON was given while PANO awaited its answer, and left once it came: it waited, not
    // longer than PANO was out (a busy machine may add to that, but not a second), and its
    // line comes after PANO's answer.
    const std::string* pCson = Find(lines, ">> [SPL_CSON]");
    ASSERT_NE(nullptr, pCson);
    EXPECT_GT(EndMs(*pCson, "   waited "), 0.0) << *pCson;
    EXPECT_LE(EndMs(*pCson, "   waited "), EndMs(*pPano) + 1000.0) << *pCson;
    EXPECT_GT(pCson, pPano) << "CSON left after PANO's answer";
    const std::string* pTimeOut = Find(lines, "No answer to [SPL_STAT] within ");
    ASSERT_NE(nullptr, pTimeOut);
    EXPECT_GE(std::atoi(pTimeOut->c_str() + pTimeOut->find("within ") + 7), 3000) << *pTimeOut;
    const std::string* pPanoSummary = Find(lines, "  PANO  sent 1, answered 1, timed out 0; round trip ");
    ASSERT_NE(nullptr, pPanoSummary) << "the link's summary is in its record";
    EXPECT_NE(nullptr, Find(lines, "  STAT  sent 1, answered 0, timed out 1"));

    // Stamps never go back, and the unit's ticks lie in the record where the unit's own log
    // has them.
    long nLast = -1;
    std::vector<long> ticks;
    for (const std::string& line : lines) {
        const long nMs = StampMs(line);
        ASSERT_GE(nMs, 0) << line;
        EXPECT_GE(nMs, nLast) << line;
        nLast = nMs;
        if (line.find("<< [SMP_TICK]") != std::string::npos)
            ticks.push_back(nMs);
    }
    std::vector<long> sent;
    std::istringstream log(unit.Log());
    for (std::string line; std::getline(log, line);) {
        if (line.find("TX \"[SMP_TICK]") != std::string::npos)
            sent.push_back(std::atol(line.c_str()));
    }
    // Each tick's stamp, counted from the first tick's, is where the unit's log puts it; the
    // bound allows a busy machine to take a tick in late by up to a second, while stamps
    // that stand still, or run at another rate than the clock, are seconds off by the end
    // of the link's three or more seconds.
    ASSERT_GE(ticks.size(), 5u);
    ASSERT_GE(sent.size(), ticks.size());
    ASSERT_GE(sent[ticks.size() - 1] - sent[0], 2000) << "the ticks span long enough to tell a clock from a wrong one";
    for (size_t i = 1; i < ticks.size(); ++i)
        EXPECT_NEAR(sent[i] - sent[0], ticks[i] - ticks[0], 1000) << "tick " << i;
}

TEST(SessionRecord, AProgramKilledInAFloodLeavesWholeLinesUpToItsLastMomentsAndTheNextStartANewFile)
{
    ProgramRun run(L"session_kill");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "pace 200000 2000 [SMP_FLOOD_{n7}]\n", nullptr, false));
    ASSERT_GE(run.WaitForTrace("[SMP_FLOOD_0003000]", 60000, "CComm::LogWrite"), 0);
    // Killed as the system kills a process: no exit sequence, no flush.
    run.Child().Terminate();

    // The last frame the program traced before it died, and what its record holds.
    long nTraced = 0;
    for (const LogLine& line : run.Trace()) {
        const size_t at = line.message.find("[SMP_FLOOD_");
        if (at != std::string::npos)
            nTraced = std::max(nTraced, std::atol(line.message.c_str() + at + 11));
    }
    std::vector<std::wstring> files = SessionFiles(run);
    ASSERT_EQ(1u, files.size());
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadRecord(files[0], lines)) << "whole lines of UTF-8 up to the end";
    long nExpected = 1;
    for (const std::string& line : lines) {
        const size_t at = line.find("<< [SMP_FLOOD_");
        if (at == std::string::npos)
            continue;
        ASSERT_EQ(nExpected, std::atol(line.c_str() + at + 14)) << "no frame missing before the end";
        ++nExpected;
    }
    // The flood comes at 2000 frames a second: a record written every 100 ms misses about
    // 200 at the end; a second's worth is allowed for a busy machine.
    EXPECT_GE(nExpected - 1, nTraced - 2000) << "frames traced " << nTraced << ", in the record " << nExpected - 1;

    // The next start writes a record of its own.
    ASSERT_TRUE(run.Start());
    ASSERT_GE(run.WaitForTrace("Session record: ", 30000), 0);
    // (its writer makes the file just after)
    EXPECT_TRUE(PumpUntil([&] { return SessionFiles(run).size() == 2u; }, 20000));
    run.Child().Terminate();
}

} // namespace
