// Loose text from the unit (whatever is not a frame) is kept in the console's memory as it
// comes while it comes at a rate an engineer can read; a unit that sends garbage faster than
// that has the excess counted, and the count is shown in one line ("N bytes of data kept in
// the session record only"), so that the console's memory is not taken over by it. The gate
// decides only what the console keeps: every line, shown or not, is traced and recorded.
// Frames always pass.
// Admit and Hide belong to the receive thread; Reset is called before it starts, TakeHidden
// by any thread (the count is atomic).
#pragma once

#include "comm/protocol/Clock.h"

#include <atomic>
#include <cstddef>

class CDataGate {
public:
    // Characters shown at once after a quiet spell, and shown every second after that. A
    // line costs at least kLineChars, so that a flood of short lines is held as well (each
    // line costs the console a line of its own).
    static constexpr long long kBurstChars = 256 * 1024;
    static constexpr long long kCharsPerSecond = 64 * 1024;
    static constexpr long long kLineChars = 128;

    explicit CDataGate(const IClock& clock) : m_clock(clock) {}
    CDataGate(const CDataGate&) = delete;
    CDataGate& operator=(const CDataGate&) = delete;

    // A new link: the whole burst is there again and nothing is hidden.
    void Reset();
    // Whether a line of this many characters is shown; when not, it is counted as hidden.
    bool Admit(size_t nChars);
    // Characters hidden since the last call.
    unsigned long long TakeHidden() { return m_nHidden.exchange(0); }
    // Receive thread: the same, but at most once a second while the excess goes on, so that
    // its count is one line a second.
    unsigned long long TakeHiddenDue();

private:
    const IClock& m_clock;
    // Receive thread (Reset: before it starts). The allowance in millionths of a character.
    long long m_llAllowance = kBurstChars * 1000000;
    long long m_llLastUs = 0;
    long long m_llLastReportUs = 0;
    // Receive thread adds, any thread takes.
    std::atomic<unsigned long long> m_nHidden{0};
};
