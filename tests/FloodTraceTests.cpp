// The real program under a flood of loose text from the unit: the console keeps only what
// its data gate lets through, but every line reaches the diagnostic log (read here from the
// program's own debug output) and the session record on disk, and memory stays flat.
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <psapi.h>

#include <algorithm>
#include <cstdlib>
#include <string>

using namespace testsupport;

namespace {

constexpr unsigned long kLines = 6000;
constexpr size_t kPadding = 180;

// Memory the program holds, as the system counts it for the process.
SIZE_T ProgramMemory(ProgramRun& run)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(run.Child().Handle(), &counters, sizeof(counters)) ? counters.PagefileUsage : 0;
}

// The flood's line number in a text ("loose_line_000123_xxx..."), or 0.
unsigned long LooseNumber(const std::string& text)
{
    const size_t at = text.find("loose_line_");
    return at == std::string::npos ? 0 : std::strtoul(text.c_str() + at + 11, nullptr, 10);
}

class FloodTrace : public ::testing::TestWithParam<UnitLink> {};

TEST_P(FloodTrace, EveryLooseLineIsTracedAndRecordedWhileTheConsoleKeepsFewer)
{
    ProgramRun run(GetParam() == UnitLink::Tcp ? L"flood_trace_tcp" : L"flood_trace_com");
    ScriptedUnit unit;
    const std::string line = "loose_line_{n6}_" + std::string(kPadding, 'x');
    ASSERT_TRUE(StartAgainstUnit(run, unit, GetParam(), "flood-after-command 1 " + std::to_string(kLines) + " " + line + "\n"));
    const SIZE_T idle = ProgramMemory(run);
    ASSERT_GT(idle, 0u);
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    ASSERT_TRUE(unit.WaitLog("FLOOD done", 120000));
    SIZE_T peak = idle;
    size_t nTraced = 0;
    // Each traced line waits for the capture's handshake: generous bounds.
    ASSERT_TRUE(PumpUntil(
        [&] {
            peak = std::max(peak, ProgramMemory(run));
            nTraced = CountTrace(run, "loose_line_", "CComm::LogWrite");
            return nTraced >= kLines;
        },
        240000))
        << nTraced << " of " << kLines << " lines traced";

    // Every line in the trace once, in order, whole, as loose text.
    unsigned long nNext = 1;
    unsigned long long nHidden = 0;
    for (const LogLine& traced : run.Trace()) {
        if (traced.function != "CComm::LogWrite")
            continue;
        if (const unsigned long n = LooseNumber(traced.message)) {
            ASSERT_EQ(nNext, n) << traced.message;
            ASSERT_EQ(":_DAT_A_:", traced.tag.substr(0, 9));
            ASSERT_EQ(11u + 6u + 1u + kPadding, traced.message.size()) << traced.message;
            ++nNext;
        }
        const size_t at = traced.message.find(" bytes of data kept in the session record only");
        if (at != std::string::npos)
            nHidden += std::strtoull(traced.message.c_str(), nullptr, 10);
    }
    EXPECT_EQ(kLines + 1, nNext);
    // The console kept fewer: the gate told what it held back, and where it is.
    EXPECT_GT(nHidden, 0u);
    EXPECT_LT(nHidden, static_cast<unsigned long long>(kLines) * (18 + kPadding));
    EXPECT_LT(peak - idle, static_cast<SIZE_T>(32) << 20) << "memory above idle: " << (peak - idle) / 1024 << " KB";
    std::printf("flood: %lu lines sent, %zu traced, %llu bytes not kept by the console, memory above idle %zu KB\n", kLines,
                nTraced, nHidden, static_cast<size_t>((peak - idle) / 1024));

    ASSERT_TRUE(run.CloseAndWait());
    // The session record has every line too, in order.
    WIN32_FIND_DATAW data;
    HANDLE hFind = FindFirstFileW((run.Folder() + L"Logs\\Session-*.log").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFind);
    const std::wstring path = run.Folder() + L"Logs\\" + data.cFileName;
    FindClose(hFind);
    const std::string record = ReadFileBytes(path);
    nNext = 1;
    for (size_t at = 0, end; (end = record.find("\r\n", at)) != std::string::npos; at = end + 2) {
        if (const unsigned long n = LooseNumber(record.substr(at, end - at))) {
            ASSERT_EQ(nNext, n);
            ++nNext;
        }
    }
    EXPECT_EQ(kLines + 1, nNext) << "lines in the session record";
}

INSTANTIATE_TEST_SUITE_P(Links, FloodTrace, ::testing::Values(UnitLink::Tcp, UnitLink::Com),
                         [](const ::testing::TestParamInfo<UnitLink>& info) { return info.param == UnitLink::Tcp ? "Tcp" : "Com"; });

} // namespace
