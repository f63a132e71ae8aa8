// What both benchmark programs share: the performance counter as milliseconds, the median
// and maximum of a set of samples, the words for a goal, and the figures' second form.
// Every figure is printed once for the reader and once more as a tab-separated line
// starting with "@fig", which tools/bench.sh takes out of the printed text and sets beside
// the same figure of another build in its summary table.
#pragma once

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline LONGLONG Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

inline double MsBetween(LONGLONG llFrom, LONGLONG llTo)
{
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    return 1000.0 * static_cast<double>(llTo - llFrom) / static_cast<double>(freq.QuadPart);
}

inline double MsSince(LONGLONG llFrom)
{
    return MsBetween(llFrom, Now());
}

struct Spread {
    size_t nSamples = 0;
    double dMedian = 0;
    double dMax = 0;
};

inline Spread SpreadOf(std::vector<double> samples)
{
    Spread spread;
    spread.nSamples = samples.size();
    if (samples.empty())
        return spread;
    std::sort(samples.begin(), samples.end());
    spread.dMedian = samples[samples.size() / 2];
    spread.dMax = samples.back();
    return spread;
}

inline const char* Verdict(bool bMet)
{
    return bMet ? "met" : "not met";
}

// printf into a std::string (narrow: every figure is plain ASCII).
template <class... Args>
std::string Format(const char* lpFormat, Args... args)
{
    char szText[512];
    std::snprintf(szText, sizeof(szText), lpFormat, args...);
    return szText;
}

// One figure for the summary table: a key that stays the same between builds, what it is,
// its value as text, and its goal ("" when it has none).
inline void Figure(const char* lpKey, const std::string& label, const std::string& value, const char* lpGoal = "")
{
    std::printf("@fig\t%s\t%s\t%s\t%s\n", lpKey, label.c_str(), value.c_str(), lpGoal);
}

// A line for the reader, flushed at once: the run takes minutes and shows its progress.
template <class... Args>
void Say(const char* lpFormat, Args... args)
{
    std::printf(lpFormat, args...);
    std::fflush(stdout);
}

inline void Say(const char* lpText)
{
    std::fputs(lpText, stdout);
    std::fflush(stdout);
}

} // namespace bench
