// Prints what one console line costs as the log grows, and what its parts cost.
#include "comm/Comm.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>

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

TEST(LogAppendBench, CostPerLineAsTheLogGrows)
{
    CComm* comm = CComm::GetInstance(1);
    int nTotal = 0;
    for (int target : {100, 1000, 10000, 30000}) {
        const int nAdd = target - nTotal;
        const double all = MicrosPerLine(comm, nAdd);
        nTotal = target;
        const double at = MicrosPerLine(comm, 100);
        nTotal += 100;
        std::printf("[ bench ] log of %6d lines: %.1f us per line (average while growing %.1f us)\n", target, at, all);
    }
    HWND hLog = comm->GetDlgItem(1122);
    EXPECT_GE(SendMessageW(hLog, EM_GETLINECOUNT, 0, 0), nTotal);
    delete comm;
}

} // namespace
