#include "comm/record/SessionRecorder.h"

#include "storage/DebugLog.h"

#include <cwchar>

CSessionRecorder::~CSessionRecorder()
{
    Stop();
}

void CSessionRecorder::Start()
{
    // A link brought back by "Reconnect" goes on in the record of the link it replaces (one
    // that failed is ended and a new one started).
    if (m_bTapSet && m_session.IsRunning())
        return;
    if (m_bTapSet)
        Stop();
    if (m_folder.empty())
        return;
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    std::wstring error;
    m_session.SetFolderLimit(m_nFolderLimit);
    if (!m_session.Start(m_folder, st, error)) {
        // The link goes on without a record.
        LOG_ERROR(L"Session record not written: %s", error.c_str());
        m_inbox.WriteLine(LOG_KIND_DATA, (L"Session record not written: " + error).c_str());
        return;
    }
    m_nTapFirstSeq.store(~0ull);
    m_nTapEndSeq.store(0);
    m_inbox.Record().SetTap(this);
    m_bTapSet = true;
    // The writer makes the folder and the file: a place that cannot hold them is told by Check.
    m_inbox.WriteLine(LOG_KIND_DATA, (L"Session record: " + m_session.FirstPartPath()).c_str());
}

void CSessionRecorder::Stop()
{
    // The tap goes first (waiting for a line being handed over), then the writer writes
    // what waits and ends.
    m_inbox.Record().SetTap(nullptr);
    m_bTapSet = false;
    const bool bHadLines = m_nTapFirstSeq.load() != ~0ull;
    m_session.Stop();
    Check();
    if (bHadLines)
        m_spans.push_back(Span{m_session.Parts(), m_nTapFirstSeq.load(), m_nTapEndSeq.load(), false});
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
    const std::wstring notice = m_session.TakeNotice();
    if (!notice.empty())
        m_inbox.WriteLine(LOG_KIND_DATA, (L"Session records: " + notice).c_str());
    const std::wstring failure = m_session.TakeFailure();
    if (!failure.empty()) {
        // A record whose file could not even be made was never written.
        const wchar_t* lpHead = m_session.Parts().empty() ? L"Session record not written: " : L"Session record: ";
        LOG_ERROR(L"%s%s", lpHead, failure.c_str());
        m_inbox.WriteLine(LOG_KIND_DATA, (lpHead + failure).c_str());
        // A record that stopped takes no more lines: nothing says they are kept there.
        if (!m_session.IsRunning())
            m_inbox.Record().SetTap(nullptr);
    }
    if (!m_bDropTold && m_inbox.Record().Dropped() > 0) {
        m_bDropTold = true;
        const std::wstring path = m_session.Path();
        if (path.empty())
            m_inbox.WriteLine(LOG_KIND_DATA, L"The console keeps only its latest lines from here on (no session record runs: the others went to the debug output only)");
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

std::unique_ptr<CSessionRecorder::CReader> CSessionRecorder::OpenReader()
{
    std::vector<Span> spans = m_spans;
    if (m_nTapFirstSeq.load() != ~0ull) {
        m_session.FlushSoon();
        spans.push_back(Span{m_session.Parts(), m_nTapFirstSeq.load(), m_nTapEndSeq.load(), true});
    }
    return std::make_unique<CReader>(std::move(spans), m_nClearSeq);
}

std::vector<CSessionRecorder::Span> CSessionRecorder::Spans() const
{
    std::vector<Span> spans = m_spans;
    const unsigned long long nFirst = m_nTapFirstSeq.load();
    if (nFirst != ~0ull)
        spans.push_back(Span{m_session.Parts(), nFirst, m_nTapEndSeq.load(), true});
    return spans;
}

namespace {
// How long one save waits in all for the current record's writer to catch up with the tap
// (it writes within 100 ms); a writer the disk holds longer leaves a note instead.
constexpr DWORD kWriterCatchUpMs = 1000;
} // namespace

CSessionRecorder::CReader::CReader(std::vector<Span> spans, unsigned long long nClearSeq)
    : m_spans(std::move(spans)), m_nClearSeq(nClearSeq)
{
    m_nSeq = m_spans.empty() ? 0 : m_spans.front().nFirstSeq;
}

CSessionRecorder::CReader::~CReader()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_hFile);
}

void CSessionRecorder::CReader::NextSpan()
{
    if (m_hFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
    m_pending.clear();
    m_nAt = 0;
    m_nPart = 0;
    if (++m_nSpan < m_spans.size())
        m_nSeq = m_spans[m_nSpan].nFirstSeq;
}

bool CSessionRecorder::CReader::ReadLine(std::string& bytes)
{
    const Span& span = m_spans[m_nSpan];
    for (;;) {
        const size_t nBreak = m_pending.find("\r\n", m_nAt);
        if (nBreak != std::string::npos) {
            bytes.assign(m_pending, m_nAt, nBreak - m_nAt);
            m_nAt = nBreak + 2;
            return true;
        }
        m_pending.erase(0, m_nAt);
        m_nAt = 0;
        if (m_hFile == INVALID_HANDLE_VALUE) {
            if (m_nPart >= span.parts.size())
                return false;
            m_hFile = ::CreateFileW(span.parts[m_nPart].c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (m_hFile == INVALID_HANDLE_VALUE)
                return false;
        }
        char buffer[64 * 1024];
        DWORD dwRead = 0;
        if (::ReadFile(m_hFile, buffer, sizeof(buffer), &dwRead, nullptr) && dwRead > 0) {
            m_pending.append(buffer, dwRead);
            continue;
        }
        // The last part of the running record may still be behind the tap by a moment.
        if (span.bRunning && m_nPart + 1 == span.parts.size() && m_dwWaitedMs < kWriterCatchUpMs) {
            ::Sleep(10);
            m_dwWaitedMs += 10;
            continue;
        }
        ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        ++m_nPart;
    }
}

bool CSessionRecorder::CReader::Write(unsigned long long nFrom, unsigned long long nTo, const CConsoleRecord::LineSink& emit)
{
    // Lines the engineer cleared from the console stay out.
    if (nFrom < m_nClearSeq)
        nFrom = m_nClearSeq;
    if (nTo <= nFrom)
        return true;
    // Lines no session record held (those before a link was open) are told in one note.
    const auto note = [&](unsigned long long nCount, const wchar_t* lpWhat) {
        wchar_t szNote[160] = {};
        _snwprintf(szNote, 159, L"%llu %slines not kept here (%s)", nCount, nFrom == m_nClearSeq ? L"earlier " : L"", lpWhat);
        return emit({CConsoleRecord::Line{0, LOG_KIND_DATA, 0, szNote}});
    };
    unsigned long long nHeld = 0;
    for (const Span& span : m_spans) {
        const unsigned long long nSpanFrom = span.nFirstSeq > nFrom ? span.nFirstSeq : nFrom;
        const unsigned long long nSpanTo = span.nEndSeq < nTo ? span.nEndSeq : nTo;
        nHeld += nSpanTo > nSpanFrom ? nSpanTo - nSpanFrom : 0;
    }
    if (nHeld < nTo - nFrom && !note(nTo - nFrom - nHeld, L"outside the session records; they went to the debug output only"))
        return false;
    unsigned long long nWritten = 0;
    std::vector<CConsoleRecord::Line> lines;
    std::string bytes;
    while (m_nSpan < m_spans.size() && m_nSeq < nTo) {
        if (m_nSeq >= m_spans[m_nSpan].nEndSeq || !ReadLine(bytes)) {
            // A record that ends early (a full disk, a file gone) is told below.
            NextSpan();
            continue;
        }
        const unsigned long long nSeq = m_nSeq++;
        if (nSeq < nFrom)
            continue;
        std::wstring text(bytes.size(), L'\0');
        text.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(),
                                                              static_cast<int>(text.size()))));
        lines.push_back(CConsoleRecord::Line{nSeq, LOG_KIND_DATA, -1, std::move(text)});
        ++nWritten;
        if (lines.size() >= 5000) {
            if (!emit(lines))
                return false;
            lines.clear();
        }
    }
    if (!emit(lines))
        return false;
    // A session record that lost lines (a full disk, a file gone) is told too.
    if (nWritten < nHeld)
        return note(nHeld - nWritten, L"missing from the session records; they went to the debug output only");
    return true;
}
