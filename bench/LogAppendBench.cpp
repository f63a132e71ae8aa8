// What one console line costs the user-interface thread as the console's record grows:
// received-style lines written with LogWrite on that thread, each small batch followed by
// what the view's timer tick does (ShowPendingLines) and by the messages then waiting (its
// paint), measured at 100, 10 000 and 100 000 lines already in the record; the process's
// memory after them; then a burst of 10 000 lines at once, shown afterwards. The console
// window is shown, so the view does all its work. The record is filled up to each size by a
// worker thread, the way the receive thread's lines come in; only the measured lines are
// timed.
//
// LogAppendBench [SIZE...]   (record sizes to measure at; default 100 10000 100000)
#include "BenchCompat.h"
#include "BenchReport.h"
#include "support/TestSupport.h"
#include "resource.h"

#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using bench::Figure;
using bench::Format;
using bench::MsSince;
using bench::Now;
using bench::Say;
using bench::Verdict;
using testsupport::PumpPending;
using testsupport::PumpUntil;

namespace {

// Lines measured at each size, and how many go into the view at a time. 500 lines are two
// whole cycles of the view dropping its oldest 250 lines (one of the old console's 500), so
// each size pays for its share of them; a console that takes long is measured over fewer
// lines, so that the run stays bounded.
constexpr int kMeasuredLines = 500;
constexpr double kMeasureCapMs = 8000;
constexpr int kLinesPerTick = 20;
constexpr int kBurstLines = 10000;
constexpr double kBurstCapMs = 15000;
constexpr double kRatioGoal = 1.5;
constexpr double kBurstGoalUs = 150;

// Every line is a numbered frame as the unit sends them, so the view's last line tells
// which line it has taken last.
size_t g_nNextLine = 1;

std::wstring LineText(size_t n)
{
    wchar_t szText[32] = {};
    _snwprintf(szText, 31, L"[SMP_F_%06u]", static_cast<unsigned>(n));
    return szText;
}

void WriteLine(CComm* pComm, size_t n)
{
    pComm->LogWrite(LOG_KIND_RECV, L"%s", LineText(n).c_str());
}

// Brings the record to nTarget lines from a worker thread while this thread serves the
// console, then lets the view settle. The console is hidden meanwhile: the filling is not
// measured, and a shown console of the old core painted every line it took.
void FillTo(CComm* pComm, size_t nTarget)
{
    benchcompat::ConsoleOf(pComm)->ShowWindow(SW_HIDE);
    const size_t nHave = benchcompat::RecordLines(pComm);
    if (nTarget > nHave) {
        const size_t nFirst = g_nNextLine;
        const size_t nCount = nTarget - nHave;
        g_nNextLine += nCount;
        std::atomic<bool> bDone{false};
        std::thread writer([&] {
            for (size_t i = 0; i < nCount; ++i)
                WriteLine(pComm, nFirst + i);
            bDone.store(true);
        });
        // The old console's workers wait for this thread once many lines are pending: it
        // must keep serving until the writer is done.
        PumpUntil([&] { return bDone.load(); }, 600000);
        writer.join();
        PumpUntil([&] { return benchcompat::RecordLines(pComm) >= nTarget; }, 60000);
    }
    benchcompat::ConsoleOf(pComm)->ShowWindow(SW_SHOW);
    benchcompat::ShowPendingLines(pComm);
    PumpUntil([] { return false; }, 300);
}

// This thread's time per line, in microseconds, over kMeasuredLines lines in ticks of
// kLinesPerTick: in all, and in LogWrite, in the view's tick and in the messages after it.
struct PerLine {
    int nLines = 0;
    double dAllUs = 0;
    double dWriteUs = 0;
    double dTickUs = 0;
    double dMessagesUs = 0;
};

PerLine MeasureTicks(CComm* pComm, int nMaxLines = kMeasuredLines)
{
    PerLine cost;
    const LONGLONG llStart = Now();
    for (; cost.nLines < nMaxLines && MsSince(llStart) < kMeasureCapMs; cost.nLines += kLinesPerTick) {
        const LONGLONG llWrite = Now();
        for (int i = 0; i < kLinesPerTick; ++i)
            WriteLine(pComm, g_nNextLine++);
        const LONGLONG llTick = Now();
        benchcompat::ShowPendingLines(pComm);
        const LONGLONG llMessages = Now();
        PumpPending();
        const LONGLONG llEnd = Now();
        cost.dWriteUs += bench::MsBetween(llWrite, llTick);
        cost.dTickUs += bench::MsBetween(llTick, llMessages);
        cost.dMessagesUs += bench::MsBetween(llMessages, llEnd);
    }
    cost.dAllUs = MsSince(llStart);
    for (double* pUs : {&cost.dAllUs, &cost.dWriteUs, &cost.dTickUs, &cost.dMessagesUs})
        *pUs = 1000.0 * *pUs / cost.nLines;
    return cost;
}

// The text of the console's last line, prefix and all.
std::wstring LastViewLine(CComm* pComm)
{
    HWND hView = benchcompat::ConsoleOf(pComm)->GetDlgItem(IDC_RICHEDIT_LOG);
    const int nLength = GetWindowTextLengthW(hView);
    std::wstring text(static_cast<size_t>(nLength) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hView, text.data(), nLength + 1)));
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L'\v'))
        text.pop_back();
    const size_t nBreak = text.find_last_of(L"\r\n\v");
    return nBreak == std::wstring::npos ? text : text.substr(nBreak + 1);
}

struct Burst {
    int nLines = 0;
    double dWriteUs = 0; // per line
    double dViewUs = 0;  // per line
    bool bViewCurrent = false;
};

// kBurstLines lines at once, then the view's tick until nothing is left.
Burst MeasureBurst(CComm* pComm)
{
    Burst burst;
    const LONGLONG llStart = Now();
    for (; burst.nLines < kBurstLines && (burst.nLines % 100 != 0 || MsSince(llStart) < kBurstCapMs); ++burst.nLines)
        WriteLine(pComm, g_nNextLine++);
    const size_t nLast = g_nNextLine - 1;
    const LONGLONG llWritten = Now();
    // The view takes what came in one tick (a second finds nothing left), then paints.
    benchcompat::ShowPendingLines(pComm);
    benchcompat::ShowPendingLines(pComm);
    PumpPending();
    burst.dWriteUs = 1000.0 * bench::MsBetween(llStart, llWritten) / burst.nLines;
    burst.dViewUs = 1000.0 * MsSince(llWritten) / burst.nLines;
    const std::wstring last = LastViewLine(pComm);
    burst.bViewCurrent = last.size() >= LineText(nLast).size() &&
                         last.compare(last.size() - LineText(nLast).size(), std::wstring::npos, LineText(nLast)) == 0;
    return burst;
}

} // namespace

// The session record's writer on its own: 60 s of console lines at the line rate (5 760
// frames a second, each line as the record formats it) handed over as fast as they can be,
// and the time until all of them are on disk.
void SessionWriterSection()
{
#if RIG_BENCH_SESSION_RECORD
    const int kLines = 5760 * 60;
    Say("\n-- Session record writer: %d lines of a minute at 5 760 frames/s, handed over at once, written by its thread\n", kLines);
    const std::wstring folder = testsupport::MakeScratchDir(L"benchwriter");
    CSessionLog record;
    SYSTEMTIME st{};
    GetLocalTime(&st);
    std::wstring error;
    if (!record.Start(folder, st, error)) {
        Say("session record not started: its folder cannot be made\n");
        return;
    }
    LARGE_INTEGER frequency, start, handed, written;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    char szLine[96];
    for (int i = 1; i <= kLines; ++i) {
        std::snprintf(szLine, sizeof(szLine), "%06d| 14:03:12.345 << [SMP_FLOOD_%07d]\r\n", i % 1000000, i);
        record.Append(szLine);
    }
    QueryPerformanceCounter(&handed);
    record.Stop();
    QueryPerformanceCounter(&written);
    const auto seconds = [&](const LARGE_INTEGER& a, const LARGE_INTEGER& b) {
        return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(frequency.QuadPart);
    };
    const double dRate = kLines / seconds(start, written);
    Say("%.1f MB: handed over in %.0f ms, on disk after %.0f ms: %.0f lines/s, %llu bytes dropped; goal >= 5760 lines/s and "
        "nothing dropped: %s\n",
        static_cast<double>(record.BytesWritten()) / 1e6, 1000.0 * seconds(start, handed), 1000.0 * seconds(start, written), dRate,
        record.BytesDropped(), Verdict(dRate >= 5760 && record.BytesDropped() == 0));
    Figure("record.writer", "session record writer, lines/s", Format("%.0f", dRate), ">= 5760");
#endif
}

int main(int argc, char** argv)
{
    std::vector<size_t> targets;
    for (int i = 1; i < argc; ++i)
        targets.push_back(static_cast<size_t>(std::atoi(argv[i])));
    if (targets.empty())
        targets = {100, 10000, 100000};

    Say("LogAppendBench: %s\n", benchcompat::CoreName());
    Say("\n-- Console cost per line on the user-interface thread: LogWrite of received lines, %d at a time, each time "
        "followed by ShowPendingLines (the view's timer tick) and the messages then waiting (paint); console shown; %s\n",
        kLinesPerTick, benchcompat::ViewKind().c_str());
    CComm* comm = benchcompat::CreateComm(true);
    benchcompat::ConsoleOf(comm)->ShowWindow(SW_SHOW);
    // Wine finishes starting its own processes during the first lines: warm up, then start
    // from an empty record.
    MeasureTicks(comm, 200);
    benchcompat::ConsoleOf(comm)->SendMessage(WM_COMMAND, MAKEWPARAM(IDC_BTN_LOG_CLEAR, BN_CLICKED), reinterpret_cast<LPARAM>(benchcompat::ConsoleOf(comm)->GetDlgItem(IDC_BTN_LOG_CLEAR)));
    PumpPending();

    std::vector<double> perLine;
    for (size_t nTarget : targets) {
        FillTo(comm, nTarget);
        const PerLine cost = MeasureTicks(comm);
        const double dUs = cost.dAllUs;
        perLine.push_back(dUs);
        Say("%7u lines in the record: %8.1f us per line over %d lines (LogWrite %.1f, view's tick %.1f, messages and paint "
            "%.1f)\n",
            static_cast<unsigned>(nTarget), dUs, cost.nLines, cost.dWriteUs, cost.dTickUs, cost.dMessagesUs);
        Figure(Format("console.%u", static_cast<unsigned>(nTarget)).c_str(),
               Format("console, us per line at %u lines", static_cast<unsigned>(nTarget)), Format("%.1f us", dUs));
    }
    if (perLine.size() >= 2 && perLine.front() > 0) {
        const double dRatio = perLine.back() / perLine.front();
        Say("ratio %u lines / %u lines: %.2f; goal <= %.1f: %s\n", static_cast<unsigned>(targets.back()),
            static_cast<unsigned>(targets.front()), dRatio, kRatioGoal, Verdict(dRatio <= kRatioGoal));
        Figure("console.ratio", Format("console, ratio %u / %u lines", static_cast<unsigned>(targets.back()),
                                       static_cast<unsigned>(targets.front())),
               Format("%.2f", dRatio), "<= 1.5");
    }

    // What the process holds after all those lines (the record keeps every line).
    PumpUntil([] { return false; }, 200);
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory))) {
        // Wine reports no private usage, but the page-file usage, which is the same figure.
        const double dPrivateMb =
            static_cast<double>(memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage) / 1048576.0;
        Say("process memory after %u console lines: %.1f MB private, %.1f MB working set\n",
            static_cast<unsigned>(benchcompat::RecordLines(comm)), dPrivateMb,
            static_cast<double>(memory.WorkingSetSize) / 1048576.0);
        Figure("console.memory", "console, process private memory after the lines", Format("%.1f MB", dPrivateMb));
    }

    const size_t nBefore = benchcompat::RecordLines(comm);
    const Burst burst = MeasureBurst(comm);
    const double dBurstUs = burst.dWriteUs + burst.dViewUs;
    const std::string tick = benchcompat::ViewKind();
    const std::string cut = burst.nLines < kBurstLines ? Format(" (cut after %.0f s)", kBurstCapMs / 1000.0) : std::string();
    Say("burst of %d lines%s at %u lines in the record, then the view's tick (%s): %.1f us per line amortised (LogWrite "
        "%.1f, view %.1f); goal <= %.0f us: %s; the view ends with the burst's last line: %s\n",
        burst.nLines, cut.c_str(), static_cast<unsigned>(nBefore), tick.c_str(), dBurstUs, burst.dWriteUs, burst.dViewUs, kBurstGoalUs,
        Verdict(dBurstUs <= kBurstGoalUs), burst.bViewCurrent ? "yes" : "NO");
    Figure("console.burst", Format("console, burst of %d lines, us per line", kBurstLines),            Format("%.1f us%s", dBurstUs, burst.nLines < kBurstLines ? " (cut)" : ""), "<= 150 us");

    delete comm;
    SessionWriterSection();
    return 0;
}
