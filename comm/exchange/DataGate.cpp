#include "comm/exchange/DataGate.h"

namespace {
// The allowance is kept in millionths of a character, so that lines a few microseconds
// apart still earn their share.
constexpr long long kScale = 1000000;

} // namespace

void CDataGate::Reset()
{
    m_llAllowance = kBurstChars * kScale;
    m_llLastUs = m_clock.NowMicros();
    m_nHidden.store(0);
    m_llLastReportUs = m_llLastUs;
}

unsigned long long CDataGate::TakeHiddenDue()
{
    if (m_nHidden.load() == 0)
        return 0;
    const long long llNow = m_clock.NowMicros();
    if (llNow - m_llLastReportUs < 1000000)
        return 0;
    m_llLastReportUs = llNow;
    return TakeHidden();
}

bool CDataGate::Admit(size_t nChars)
{
    const long long llNow = m_clock.NowMicros();
    if (llNow > m_llLastUs) {
        const long long llElapsed = llNow - m_llLastUs;
        // A long quiet spell fills the allowance whole (and the product cannot overflow).
        m_llAllowance = llElapsed >= 10 * kScale ? kBurstChars * kScale : m_llAllowance + llElapsed * kCharsPerSecond;
        if (m_llAllowance > kBurstChars * kScale)
            m_llAllowance = kBurstChars * kScale;
        m_llLastUs = llNow;
    }
    const long long llChars = static_cast<long long>(nChars);
    const long long llCost = (llChars > kLineChars ? llChars : kLineChars) * kScale;
    if (m_llAllowance >= llCost) {
        m_llAllowance -= llCost;
        return true;
    }
    m_nHidden.fetch_add(nChars);
    return false;
}
