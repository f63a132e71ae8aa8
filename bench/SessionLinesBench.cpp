// What reading and finding cost in a long session: a million console lines (about 60 MB of
// session record) go through a console record that keeps its usual 200 000, so most of the
// session is on disk only; then the view's reads at the start, the middle (index made
// meanwhile) and a page next to it, a page before the end, and a find of a word in every
// line and of one in a single line. Prints figures only.
//
// SessionLinesBench [LINES]   (default 1000000)
#include "comm/record/SessionLines.h"
#include "support/TestSupport.h"

#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

size_t PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters.PrivateUsage;
}

const UINT kFoundMsg = WM_APP + 1;

void TimeFind(CSessionLines& lines, HWND hWnd, const wchar_t* lpText)
{
    CSessionFind find;
    CSessionFind::Query query;
    query.text = lpText;
    const Clock::time_point start = Clock::now();
    if (!find.Start(lines, query, hWnd, kFoundMsg))
        return;
    MSG msg;
    while (!PeekMessageW(&msg, hWnd, kFoundMsg, kFoundMsg, PM_REMOVE))
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, QS_POSTMESSAGE);
    const CSessionFind::Result result = find.Take();
    std::printf("find \"%ls\": %llu hits, %.1f ms in the worker, %.1f ms to the message\n", lpText, result.nTotal, result.dMs,
                MsSince(start));
}
} // namespace

int main(int argc, char** argv)
{
    const int nLines = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const std::wstring folder = testsupport::MakeScratchDir(L"lines_bench");
    CCommInbox inbox;
    CSessionRecorder recorder(inbox);
    recorder.SetFolder(folder);
    recorder.Start();
    Clock::time_point start = Clock::now();
    for (int i = 0; i < nLines; ++i) {
        wchar_t szText[96] = {};
        _snwprintf(szText, 95, L"[SPL_STATUS_%05d] value=%d word%s", i % 50000, i, i == nLines / 3 ? L" needle" : L"");
        inbox.Record().Append(LOG_KIND_SEND + i % 3, szText, i % 3 == 1 ? 1000 + i % 9000 : -1);
    }
    recorder.Stop();
    std::printf("%d lines written in %.0f ms; the record keeps %zu from sequence %llu\n", nLines, MsSince(start),
                inbox.Record().Count(), inbox.Record().FirstSeq());

    const bool kAll[3] = {true, true, true};
    CSessionLines lines(inbox.Record(), recorder);
    const size_t nMemory = PrivateBytes();
    std::vector<CConsoleRecord::Line> page;
    const auto timeRead = [&](const char* lpWhat, unsigned long long nFrom) {
        page.clear();
        const Clock::time_point at = Clock::now();
        lines.Read(nFrom, lines.End(), 40, kAll, page);
        std::printf("read 40 lines %s (sequence %llu): %.2f ms\n", lpWhat, nFrom, MsSince(at));
    };
    timeRead("at the start", lines.Begin());
    timeRead("in the middle, the first time", lines.Begin() + (lines.End() - lines.Begin()) / 2);
    timeRead("next to it", lines.Begin() + (lines.End() - lines.Begin()) / 2 + 5000);
    timeRead("before it", lines.Begin() + (lines.End() - lines.Begin()) / 4);
    page.clear();
    start = Clock::now();
    lines.ReadBefore(lines.End(), 40, kAll, page);
    std::printf("read 40 lines before the end: %.2f ms\n", MsSince(start));
    page.clear();
    start = Clock::now();
    lines.ReadBefore(inbox.Record().FirstSeq() + 20, 40, kAll, page);
    std::printf("read 40 lines across the record's oldest line: %.2f ms\n", MsSince(start));
    std::printf("memory of the reads and their index: %lld KB\n",
                (static_cast<long long>(PrivateBytes()) - static_cast<long long>(nMemory)) / 1024);

    HWND hWnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    TimeFind(lines, hWnd, L"WORD");
    TimeFind(lines, hWnd, L"needle");
    DestroyWindow(hWnd);
    return 0;
}
