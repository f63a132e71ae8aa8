// The console's view over a long session: a million lines (as a flood brings them, written
// from a worker while the console is shown and follows them) through a link to the simulated
// unit, with the session record on, so that most of the session is on disk only. Then what
// the engineer does: jump to the first line, page down and up, drag the scroll bar to the
// middle, find a word that only line 500 000 has, and what the process holds for it beside
// the same session with the view at the bottom. Prints figures only.
//
// ScrollBench [LINES]   (default 1000000)
#include "BenchCompat.h"
#include "BenchReport.h"
#include "resource.h"
#include "support/CommTestSupport.h"
#include "support/SimUnitProcess.h"
#include "support/TestSupport.h"

#include <psapi.h>

#include <algorithm>
#include <atomic>
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

double PrivateMb()
{
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory)))
        return 0;
    // Wine reports no private usage, but the page-file usage, which is the same figure.
    return static_cast<double>(memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage) / 1048576.0;
}

// One step of the engineer's, with the drawing it causes: milliseconds.
template <typename Step>
double Timed(CComm* comm, Step step)
{
    const LONGLONG llStart = Now();
    step();
    ::UpdateWindow(comm->Console().GetDlgItem(IDC_RICHEDIT_LOG));
    return MsSince(llStart);
}

std::wstring FirstViewLine(CComm* comm)
{
    const std::vector<std::wstring> lines = testsupport::ConsoleLines(comm);
    return lines.empty() ? std::wstring() : lines.front();
}

} // namespace

int main(int argc, char** argv)
{
    const int nLines = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int nNeedle = nLines / 2;
    Say("ScrollBench: the console's view over a session of %d lines, session record on, console shown\n", nLines);

    testsupport::SimUnitProcess unit;
    const int nPort = testsupport::UnusedTcpPort();
    if (!unit.Start(L"--tcp 127.0.0.1:" + std::to_wstring(nPort) + L" --quiet", L"NUL")) {
        Say("the simulated unit did not start\n");
        return 1;
    }
    testsupport::CRecorderWnd owner;
    owner.Create();
    CComm* comm = benchcompat::CreateComm(true);
    benchcompat::SetOwner(comm, &owner);
    benchcompat::SetSessionFolder(comm, testsupport::MakeScratchDir(L"scrollbench") + L"Logs\\");
    comm->Console().ShowWindow(SW_SHOW);
    if (!comm->Open_Ethernet(L"127.0.0.1", nPort)) {
        Say("the link did not open\n");
        return 1;
    }
    PumpUntil([] { return false; }, 300);
    const double dIdleMb = PrivateMb();

    // The flood: a worker writes the lines while this thread serves the console, which
    // follows them at its ticks.
    const LONGLONG llFill = Now();
    std::atomic<bool> bDone{false};
    std::thread writer([&] {
        for (int i = 1; i <= nLines; ++i) {
            if (i == nNeedle)
                comm->LogWrite(LOG_KIND_RECV, L"[SMP_FLOOD_%07d] unique-needle-word", i);
            else
                comm->LogWrite(LOG_KIND_RECV, L"[SMP_FLOOD_%07d]", i);
        }
        bDone.store(true);
    });
    PumpUntil([&] { return bDone.load(); }, 1800000);
    writer.join();
    PumpUntil([] { return false; }, 500);
    Say("%d lines written in %.1f s while the view followed them; %llu of them kept in memory, the rest in the session "
        "record only\n",
        nLines, MsSince(llFill) / 1000.0, static_cast<unsigned long long>(comm->GetRecord().Count()));

    CConsoleView& view = comm->Console().View();
    // The view at the bottom, as today's view always is: what a tick of 20 new lines costs.
    std::vector<double> ticks;
    for (int k = 0; k < 20; ++k) {
        for (int i = 0; i < 20; ++i)
            comm->LogWrite(LOG_KIND_RECV, L"[SMP_TAIL_%04d]", k * 20 + i);
        ticks.push_back(Timed(comm, [&] { comm->ShowPendingLines(); }));
    }
    const bench::Spread tick = bench::SpreadOf(ticks);
    Say("at the bottom (the view following, as before): a tick of 20 new lines %.2f ms median, %.2f ms max\n", tick.dMedian, tick.dMax);
    Figure("scroll.tick", "view at the bottom, a tick of 20 lines", Format("%.2f ms", tick.dMedian));
    PumpUntil([] { return false; }, 300);
    const double dBottomMb = PrivateMb();

    // Jump to the first line (Ctrl+Home).
    const double dFirstMs = Timed(comm, [&] { view.ScrollToStart(); });
    const std::wstring first = FirstViewLine(comm);
    Say("jump to the first line: %.1f ms (\"%ls\"); goal <= 100 ms: %s\n", dFirstMs, first.c_str(), Verdict(dFirstMs <= 100));
    Figure("scroll.first", "jump to the session's first line", Format("%.1f ms", dFirstMs), "<= 100 ms");

    // Page down and up, each with its drawing.
    std::vector<double> pages;
    for (int i = 0; i < 25; ++i)
        pages.push_back(Timed(comm, [&] { view.ScrollPages(1); }));
    for (int i = 0; i < 25; ++i)
        pages.push_back(Timed(comm, [&] { view.ScrollPages(-1); }));
    const bench::Spread page = bench::SpreadOf(pages);
    Say("page down / up near the start: %.1f ms median, %.1f ms max of %zu; goal <= 30 ms: %s\n", page.dMedian, page.dMax,
        pages.size(), Verdict(page.dMax <= 30));
    Figure("scroll.page", "page down or up, max", Format("%.1f ms", page.dMax), "<= 30 ms");

    // The scroll bar dragged to the middle (the files' index made on the way), then pages there.
    const unsigned long long nMiddle = comm->GetRecord().StartSeq() + static_cast<unsigned long long>(nLines) / 2;
    const double dMiddleMs = Timed(comm, [&] { view.ScrollTo(nMiddle); });
    std::vector<double> middlePages;
    for (int i = 0; i < 10; ++i)
        middlePages.push_back(Timed(comm, [&] { view.ScrollPages(i % 2 == 0 ? -1 : 1); }));
    const bench::Spread middlePage = bench::SpreadOf(middlePages);
    Say("to the middle by the scroll bar: %.1f ms (\"%ls\"); pages there %.1f ms median, %.1f ms max; goal <= 30 ms: %s\n",
        dMiddleMs, FirstViewLine(comm).c_str(), middlePage.dMedian, middlePage.dMax, Verdict(middlePage.dMax <= 30));
    Figure("scroll.middle", "scroll bar to the middle, first time", Format("%.1f ms", dMiddleMs));

    // Find a word that only line 500 000 has, from memory and files, as the engineer does:
    // typed into the find box, Enter; until the hit is shown.
    view.ScrollToStart();
    ::SetDlgItemTextW(comm->Console().m_hWnd, IDC_EDIT_FIND, L"unique-needle-word");
    const LONGLONG llFind = Now();
    comm->Console().FindNext(true);
    PumpUntil([&] { return !comm->Console().IsFinding(); }, 60000);
    PumpPending();
    ::UpdateWindow(comm->Console().GetDlgItem(IDC_RICHEDIT_LOG));
    const double dFindMs = MsSince(llFind);
    Say("find a word only line %d has: %.0f ms (\"%ls\"); goal <= 1000 ms: %s\n", nNeedle, dFindMs, comm->Console().StatusText().c_str(),
        Verdict(dFindMs <= 1000));
    Figure("scroll.find", "find a word only the middle line has", Format("%.0f ms", dFindMs), "<= 1000 ms");

    PumpUntil([] { return false; }, 300);
    const double dScrolledMb = PrivateMb();
    Say("process memory: %.1f MB idle, %.1f MB with the session and the view at the bottom, %.1f MB after scrolling and "
        "finding through it: %+.1f MB; goal <= +10 MB: %s\n",
        dIdleMb, dBottomMb, dScrolledMb, dScrolledMb - dBottomMb, Verdict(dScrolledMb - dBottomMb <= 10));
    Figure("scroll.memory", "memory scrolled back and found, above the view at the bottom", Format("%+.1f MB", dScrolledMb - dBottomMb),
           "<= 10 MB");

    comm->CloseEthernet();
    delete comm;
    return 0;
}
