// Prints what one console line costs as the log grows: the time of 200 lines written at
// 100, 10 000 and 100 000 lines already in the log.
#include "comm/Comm.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

double MicrosPerLine(CComm* comm, int nLines)
{
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < nLines; ++i)
        comm->LogWrite(LOG_KIND_RECV, L"%s", L"[EPL_PANO_001]");
    QueryPerformanceCounter(&end);
    return 1e6 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(freq.QuadPart) / nLines;
}

} // namespace

int main(int argc, char** argv)
{
    // The log sizes to measure at, by default 100, 10 000 and 100 000 lines.
    std::vector<int> targets;
    for (int i = 1; i < argc; ++i)
        targets.push_back(std::atoi(argv[i]));
    if (targets.empty())
        targets = {100, 10000, 100000};

    CComm* comm = CComm::GetInstance();
    // Wine finishes starting its own processes during the first lines: warm up, then start
    // from an empty log.
    MicrosPerLine(comm, 300);
    comm->SendMessage(WM_COMMAND, MAKEWPARAM(1087, BN_CLICKED), reinterpret_cast<LPARAM>(comm->GetDlgItem(1087)));
    int nTotal = 0;
    for (int nTarget : targets) {
        const double growing = MicrosPerLine(comm, nTarget - nTotal);
        const double at = MicrosPerLine(comm, 200);
        nTotal = nTarget + 200;
        std::printf("console append: %7d lines in the log: %7.1f us per line (while growing to it: %7.1f us)\n", nTarget, at,
                    growing);
        std::fflush(stdout);
    }
    // What the process holds after all those lines (the log keeps every line).
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory)))
        // Wine reports no private usage, but the page-file usage, which is the same figure.
        std::printf("process memory after %d console lines: %.1f MB private, %.1f MB working set\n", nTotal,
                    static_cast<double>(memory.PrivateUsage != 0 ? memory.PrivateUsage : memory.PagefileUsage) / 1048576.0,
                    static_cast<double>(memory.WorkingSetSize) / 1048576.0);
    delete comm;
    return 0;
}
