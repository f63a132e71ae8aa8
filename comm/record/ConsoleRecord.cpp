#include "comm/record/ConsoleRecord.h"

#include <cwchar>

int CountLineBreaks(const std::wstring& text)
{
    int n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' || (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')))
            ++n;
    }
    return n;
}

namespace {
long long SystemTimeNow()
{
    FILETIME ft;
    ::GetSystemTimeAsFileTime(&ft);
    return static_cast<long long>((static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime);
}

std::wstring Milliseconds(const wchar_t* lpBefore, long long llMicros)
{
    wchar_t szText[48] = {};
    _snwprintf(szText, 47, L"   %s%.1f ms", lpBefore, static_cast<double>(llMicros) / 1000.0);
    return szText;
}
} // namespace

std::wstring FormatStamp(long long llTime)
{
    if (IsTimeOfDay(llTime)) {
        const long long llMs = -1 - llTime;
        wchar_t szStamp[16] = {};
        _snwprintf(szStamp, 15, L"%02lld:%02lld:%02lld.%03lld", llMs / 3600000 % 24, llMs / 60000 % 60, llMs / 1000 % 60, llMs % 1000);
        return szStamp;
    }
    const unsigned long long ullTime = static_cast<unsigned long long>(llTime);
    const FILETIME ftUtc{static_cast<DWORD>(ullTime & 0xFFFFFFFFu), static_cast<DWORD>(ullTime >> 32)};
    FILETIME ftLocal{};
    SYSTEMTIME st{};
    if (!::FileTimeToLocalFileTime(&ftUtc, &ftLocal) || !::FileTimeToSystemTime(&ftLocal, &st))
        return L"--:--:--.---";
    wchar_t szStamp[16] = {};
    _snwprintf(szStamp, 15, L"%02u:%02u:%02u.%03u", st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return szStamp;
}

std::wstring ConsoleLineNumber(const CConsoleRecord::Line& line)
{
    if (line.nNumber <= 0)
        return L"....| ";
    wchar_t szNumber[16] = {};
    _snwprintf(szNumber, 15, L"%04d| ", line.nNumber);
    return szNumber;
}

std::wstring ConsoleLinePrefix(const CConsoleRecord::Line& line, bool bStamp)
{
    std::wstring prefix = ConsoleLineNumber(line);
    if (!IsKnownLogKind(line.nKind))
        return prefix;
    if (bStamp && line.llTime != 0)
        prefix += FormatStamp(line.llTime) + L" ";
    prefix += line.nKind == LOG_KIND_SEND ? L">> " : line.nKind == LOG_KIND_RECV ? L"<< " : L"";
    return prefix;
}

std::wstring ConsoleLineSuffix(const CConsoleRecord::Line& line)
{
    std::wstring suffix;
    if (line.llQueuedUs >= 0)
        suffix += Milliseconds(L"waited ", line.llQueuedUs);
    if (line.llRoundTripUs >= 0)
        suffix += Milliseconds(L"", line.llRoundTripUs);
    return suffix;
}

std::wstring FormatConsoleLine(const CConsoleRecord::Line& line, bool bStamp)
{
    if (line.nNumber < 0)
        return line.text + L"\r\n";
    if (!IsKnownLogKind(line.nKind))
        return ConsoleLinePrefix(line, bStamp);
    return ConsoleLinePrefix(line, bStamp) + line.text + ConsoleLineSuffix(line) + L"\r\n";
}

CConsoleRecord::CConsoleRecord(size_t nKeptLines, size_t nKeptChars) : m_nKeptLines(nKeptLines), m_nKeptChars(nKeptChars)
{
    Anchor();
}

void CConsoleRecord::Anchor()
{
    CSingleLock lock(m_cs);
    m_llAnchorUs = m_clock.NowMicros();
    const long long llNow = SystemTimeNow();
    // A system clock set back meanwhile does not make the stamps go back.
    m_llAnchorTime = llNow > m_llLastTime ? llNow : m_llLastTime;
}

long long CConsoleRecord::StampLocked() const
{
    return m_llAnchorTime + 10 * (m_clock.NowMicros() - m_llAnchorUs);
}

void CConsoleRecord::SetTap(ITap* pTap)
{
    CSingleLock lock(m_cs);
    m_pTap = pTap;
}

void CConsoleRecord::Append(int nKind, const wchar_t* lpText, long long llRoundTripUs, long long llQueuedUs)
{
    const bool bKnown = IsKnownLogKind(nKind);
    std::wstring text = bKnown && lpText != nullptr ? lpText : L"";
    // Counting is done before the lock: the receive thread holds it as briefly as it can.
    const int nBreaks = bKnown ? CountLineBreaks(text) : 0;
    CSingleLock lock(m_cs);
    AddLocked(nKind, std::move(text), nBreaks, llRoundTripUs, llQueuedUs, true);
}

void CConsoleRecord::AppendUnkept(int nKind, const wchar_t* lpText)
{
    const bool bKnown = IsKnownLogKind(nKind);
    std::wstring text = bKnown && lpText != nullptr ? lpText : L"";
    const int nBreaks = bKnown ? CountLineBreaks(text) : 0;
    CSingleLock lock(m_cs);
    AddLocked(nKind, std::move(text), nBreaks, -1, -1, false);
}

void CConsoleRecord::AddLocked(int nKind, std::wstring text, int nBreaks, long long llRoundTripUs, long long llQueuedUs,
                               bool bKeep)
{
    m_llLastTime = StampLocked();
    Line line{m_nNextSeq++, nKind, m_nNextNumber, std::move(text), m_llLastTime, llRoundTripUs, llQueuedUs};
    // The number counts the lines before it, as the view shows them; a line not kept counts
    // too, so that the numbers of the record, the session record and Save file agree.
    if (IsKnownLogKind(nKind))
        m_nNextNumber += 1 + nBreaks;
    if (!bKeep) {
        ++m_nUnkept;
        if (m_pTap != nullptr)
            m_pTap->OnLine(line);
        return;
    }
    m_nChars += line.text.size();
    m_lines.push_back(std::move(line));
    if (m_pTap != nullptr)
        m_pTap->OnLine(m_lines.back());
    while (m_lines.size() > 1 && (m_lines.size() > m_nKeptLines || m_nChars > m_nKeptChars)) {
        m_nChars -= m_lines.front().text.size();
        m_lines.pop_front();
        ++m_nDropped;
    }
}

bool CConsoleRecord::IsTapped() const
{
    CSingleLock lock(m_cs);
    return m_pTap != nullptr;
}

void CConsoleRecord::Clear()
{
    CSingleLock lock(m_cs);
    m_lines.clear();
    m_nChars = 0;
    m_nNextNumber = 1;
    m_nDropped = 0;
    m_nUnkept = 0;
    m_nStartSeq = m_nNextSeq;
}

size_t CConsoleRecord::IndexLocked(unsigned long long nSeq) const
{
    // Sequences rise along the kept lines, with gaps where lines were not kept.
    size_t nLow = 0;
    size_t nHigh = m_lines.size();
    while (nLow < nHigh) {
        const size_t nMid = nLow + (nHigh - nLow) / 2;
        if (m_lines[nMid].nSeq < nSeq)
            nLow = nMid + 1;
        else
            nHigh = nMid;
    }
    return nLow;
}

unsigned long long CConsoleRecord::Copy(unsigned long long nFrom, size_t nMax, std::vector<Line>& out) const
{
    CSingleLock lock(m_cs);
    size_t i = IndexLocked(nFrom);
    for (size_t n = 0; i < m_lines.size() && n < nMax; ++i, ++n)
        out.push_back(m_lines[i]);
    if (i < m_lines.size())
        return m_lines[i].nSeq;
    return nFrom > m_nNextSeq ? nFrom : m_nNextSeq;
}

size_t CConsoleRecord::CountFrom(unsigned long long nFrom) const
{
    CSingleLock lock(m_cs);
    return m_lines.size() - IndexLocked(nFrom);
}

unsigned long long CConsoleRecord::SkipFrom(unsigned long long nFrom, size_t nSkip) const
{
    CSingleLock lock(m_cs);
    const size_t i = IndexLocked(nFrom);
    return nSkip < m_lines.size() - i ? m_lines[i + nSkip].nSeq : m_nNextSeq;
}

void CConsoleRecord::CopyLatest(size_t nMax, const bool bShown[3], std::vector<Line>& out) const
{
    CSingleLock lock(m_cs);
    size_t nFirst = m_lines.size();
    size_t nTaken = 0;
    while (nFirst > 0 && nTaken < nMax) {
        const int nKind = m_lines[nFirst - 1].nKind;
        if (!IsKnownLogKind(nKind) || bShown[nKind - LOG_KIND_SEND])
            ++nTaken;
        --nFirst;
    }
    for (size_t i = nFirst; i < m_lines.size(); ++i) {
        const int nKind = m_lines[i].nKind;
        if (!IsKnownLogKind(nKind) || bShown[nKind - LOG_KIND_SEND])
            out.push_back(m_lines[i]);
    }
}

unsigned long long CConsoleRecord::NextSeq() const
{
    CSingleLock lock(m_cs);
    return m_nNextSeq;
}

unsigned long long CConsoleRecord::FirstSeq() const
{
    CSingleLock lock(m_cs);
    return m_lines.empty() ? m_nNextSeq : m_lines.front().nSeq;
}

unsigned long long CConsoleRecord::StartSeq() const
{
    CSingleLock lock(m_cs);
    return m_nStartSeq;
}

unsigned long long CConsoleRecord::DroppedSince(unsigned long long nSeq) const
{
    CSingleLock lock(m_cs);
    if (m_nDropped == 0 || m_lines.empty())
        return 0;
    return m_lines.front().nSeq > nSeq ? m_lines.front().nSeq - nSeq : 0;
}

unsigned long long CConsoleRecord::Unkept() const
{
    CSingleLock lock(m_cs);
    return m_nUnkept;
}

size_t CConsoleRecord::Count() const
{
    CSingleLock lock(m_cs);
    return m_lines.size();
}

unsigned long long CConsoleRecord::Dropped() const
{
    CSingleLock lock(m_cs);
    return m_nDropped;
}
