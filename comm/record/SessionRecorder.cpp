#include "comm/record/SessionRecorder.h"

#include "storage/DebugLog.h"

#include <cwchar>

CSessionRecorder::~CSessionRecorder()
{
    Stop();
}

void CSessionRecorder::Start()
{
    if (m_folder.empty())
        return;
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    std::wstring error;
    if (!m_session.Start(m_folder, st, error)) {
        // The link goes on without a record.
        LOG_ERROR(L"Session record not written: %s", error.c_str());
        m_inbox.WriteLine(LOG_KIND_DATA, (L"Session record not written: " + error).c_str());
        return;
    }
    m_nTapFirstSeq.store(~0ull);
    m_nTapEndSeq.store(0);
    m_inbox.Record().SetTap(this);
    // The writer makes the folder and the file: a place that cannot hold them is told by Check.
    m_inbox.WriteLine(LOG_KIND_DATA, (L"Session record: " + m_session.FirstPartPath()).c_str());
}

void CSessionRecorder::Stop()
{
    // The tap goes first (waiting for a line being handed over), then the writer writes
    // what waits and ends.
    m_inbox.Record().SetTap(nullptr);
    const bool bHadLines = m_nTapFirstSeq.load() != ~0ull;
    m_session.Stop();
    Check();
    if (bHadLines)
        m_spans.push_back(Span{m_session.Parts(), m_nTapFirstSeq.load(), m_nTapEndSeq.load()});
    m_nTapFirstSeq.store(~0ull);
}

void CSessionRecorder::OnLine(const CConsoleRecord::Line& line)
{
    // Inside the record's lock, on the thread that wrote the line: one line of the file for
    // each line of the record, line breaks within its text written as \r and \n.
    unsigned long long nUnset = ~0ull;
    m_nTapFirstSeq.compare_exchange_strong(nUnset, line.nSeq);
    m_nTapEndSeq.store(line.nSeq + 1);
    std::wstring text = ConsoleLinePrefix(line, true);
    if (IsKnownLogKind(line.nKind)) {
        for (wchar_t ch : line.text)
            text += ch == L'\r' ? std::wstring(L"\\r") : ch == L'\n' ? std::wstring(L"\\n") : std::wstring(1, ch);
        text += ConsoleLineSuffix(line);
    }
    text += L"\r\n";
    m_session.Append(ToUtf8(text));
    // An answer and a time-out ("No answer to ...", the watchdog's line) are on disk at once.
    if (line.llRoundTripUs >= 0 || (line.nKind == LOG_KIND_DATA && line.text.rfind(L"No answer to ", 0) == 0))
        m_session.FlushSoon();
}

void CSessionRecorder::Check()
{
    const std::wstring failure = m_session.TakeFailure();
    if (!failure.empty()) {
        // A record whose file could not even be made was never written.
        const wchar_t* lpHead = m_session.Parts().empty() ? L"Session record not written: " : L"Session record: ";
        LOG_ERROR(L"%s%s", lpHead, failure.c_str());
        m_inbox.WriteLine(LOG_KIND_DATA, (lpHead + failure).c_str());
    }
    if (!m_bDropTold && m_inbox.Record().Dropped() > 0) {
        m_bDropTold = true;
        const std::wstring path = m_session.Path();
        if (path.empty())
            m_inbox.WriteLine(LOG_KIND_DATA, L"The console keeps only its latest lines from here on (the diagnostic log has every line)");
        else
            m_inbox.WriteLine(LOG_KIND_DATA, (L"The console keeps only its latest lines from here on; every line is in " + path).c_str());
    }
}

void CSessionRecorder::OnClear(unsigned long long nNextSeq)
{
    m_nClearSeq = nNextSeq;
    // Saved logs start after the Clear; what the session records hold stays on disk.
    m_spans.clear();
    m_bDropTold = false;
}

bool CSessionRecorder::WriteEarlierLines(unsigned long long nBeforeSeq, const CConsoleRecord::LineSink& emit) const
{
    std::vector<Span> spans = m_spans;
    if (m_nTapFirstSeq.load() != ~0ull)
        spans.push_back(Span{m_session.Parts(), m_nTapFirstSeq.load(), m_nTapEndSeq.load()});
    // Lines no session record held (those before a link was open) are told first, in one note.
    const auto note = [&](unsigned long long nCount, const wchar_t* lpWhat) {
        wchar_t szNote[160] = {};
        _snwprintf(szNote, 159, L"%llu earlier lines not kept here (%s)", nCount, lpWhat);
        return emit({CConsoleRecord::Line{0, LOG_KIND_DATA, 0, szNote}});
    };
    const unsigned long long nWanted = nBeforeSeq > m_nClearSeq ? nBeforeSeq - m_nClearSeq : 0;
    unsigned long long nHeld = 0;
    for (const Span& span : spans) {
        const unsigned long long nFrom = span.nFirstSeq > m_nClearSeq ? span.nFirstSeq : m_nClearSeq;
        const unsigned long long nTo = span.nEndSeq < nBeforeSeq ? span.nEndSeq : nBeforeSeq;
        nHeld += nTo > nFrom ? nTo - nFrom : 0;
    }
    if (nHeld < nWanted && !note(nWanted - nHeld, L"outside the session records; the diagnostic log has every line"))
        return false;
    unsigned long long nWritten = 0;
    std::vector<CConsoleRecord::Line> lines;
    for (const Span& span : spans) {
        unsigned long long nSeq = span.nFirstSeq;
        const unsigned long long nEnd = span.nEndSeq < nBeforeSeq ? span.nEndSeq : nBeforeSeq;
        std::string pending;
        for (const std::wstring& part : span.parts) {
            HANDLE hFile = ::CreateFileW(part.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
            if (hFile == INVALID_HANDLE_VALUE)
                break;
            std::vector<char> buffer(1 << 20);
            DWORD dwRead = 0;
            while (nSeq < nEnd && ::ReadFile(hFile, buffer.data(), static_cast<DWORD>(buffer.size()), &dwRead, nullptr) &&
                   dwRead > 0) {
                pending.append(buffer.data(), dwRead);
                size_t nAt = 0;
                for (size_t nBreak; nSeq < nEnd && (nBreak = pending.find("\r\n", nAt)) != std::string::npos; nAt = nBreak + 2) {
                    // Lines the engineer cleared from the console stay out.
                    if (nSeq++ < m_nClearSeq)
                        continue;
                    const std::string bytes = pending.substr(nAt, nBreak - nAt);
                    std::wstring text(bytes.size(), L'\0');
                    text.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                                          text.data(), static_cast<int>(text.size()))));
                    lines.push_back(CConsoleRecord::Line{nSeq - 1, LOG_KIND_DATA, -1, std::move(text)});
                    ++nWritten;
                }
                pending.erase(0, nAt);
                if (lines.size() >= 5000) {
                    if (!emit(lines)) {
                        ::CloseHandle(hFile);
                        return false;
                    }
                    lines.clear();
                }
            }
            ::CloseHandle(hFile);
        }
    }
    if (!emit(lines))
        return false;
    // A session record that lost lines (a full disk, a file gone) is told too.
    if (nWritten < nHeld)
        return note(nHeld - nWritten, L"missing from the session records; the diagnostic log has every line");
    return true;
}
