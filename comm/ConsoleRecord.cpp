#include "comm/ConsoleRecord.h"

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

std::wstring FormatConsoleLine(const CConsoleRecord::Line& line)
{
    wchar_t szPrefix[16] = {};
    _snwprintf(szPrefix, 15, L"%04d| ", line.nNumber);
    if (!IsKnownLogKind(line.nKind))
        return szPrefix;
    const wchar_t* lpMark = line.nKind == LOG_KIND_SEND ? L">> " : line.nKind == LOG_KIND_RECV ? L"<< " : L"";
    return szPrefix + std::wstring(lpMark) + line.text + L"\r\n";
}

void CConsoleRecord::Append(int nKind, const wchar_t* lpText)
{
    const bool bKnown = IsKnownLogKind(nKind);
    std::wstring text = bKnown && lpText != nullptr ? lpText : L"";
    // Counting is done before the lock: the receive thread holds it as briefly as it can.
    const int nBreaks = bKnown ? CountLineBreaks(text) : 0;
    CSingleLock lock(m_cs);
    m_nChars += text.size();
    m_lines.push_back(Line{m_nNextSeq++, nKind, m_nNextNumber, std::move(text)});
    // The number counts the lines before it, as the view shows them.
    if (bKnown)
        m_nNextNumber += 1 + nBreaks;
    while (m_lines.size() > 1 && (m_lines.size() > m_nKeptLines || m_nChars > m_nKeptChars)) {
        m_nChars -= m_lines.front().text.size();
        m_lines.pop_front();
        ++m_nDropped;
    }
}

void CConsoleRecord::Clear()
{
    CSingleLock lock(m_cs);
    m_lines.clear();
    m_nChars = 0;
    m_nNextNumber = 1;
    m_nDropped = 0;
}

unsigned long long CConsoleRecord::Copy(unsigned long long nFrom, size_t nMax, std::vector<Line>& out) const
{
    CSingleLock lock(m_cs);
    if (m_lines.empty())
        return nFrom > m_nNextSeq ? nFrom : m_nNextSeq;
    const unsigned long long nFirst = m_lines.front().nSeq;
    size_t i = nFrom > nFirst ? static_cast<size_t>(nFrom - nFirst) : 0;
    for (size_t n = 0; i < m_lines.size() && n < nMax; ++i, ++n)
        out.push_back(m_lines[i]);
    return i < m_lines.size() ? m_lines[i].nSeq : m_nNextSeq;
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
