// Where the link manager takes the time from: the high-resolution counter in the program,
// a clock the test moves by hand in the exchange's tests.
#pragma once

#include <windows.h>

class IClock {
public:
    virtual ~IClock() = default;
    // Microseconds since an arbitrary start; never goes backwards.
    virtual long long NowMicros() const = 0;
};

class CPerformanceClock : public IClock {
public:
    CPerformanceClock()
    {
        LARGE_INTEGER frequency;
        ::QueryPerformanceFrequency(&frequency);
        m_llFrequency = frequency.QuadPart;
    }

    long long NowMicros() const override
    {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        // Split so that the product cannot overflow however long the machine has run.
        const long long llSeconds = now.QuadPart / m_llFrequency;
        const long long llRest = now.QuadPart % m_llFrequency;
        return llSeconds * 1000000 + llRest * 1000000 / m_llFrequency;
    }

private:
    long long m_llFrequency = 1;
};
