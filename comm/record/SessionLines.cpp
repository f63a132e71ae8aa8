#include "comm/record/SessionLines.h"

#include "comm/record/SessionLog.h"

#include <process.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace {
// Bytes read at once when an index grows or a find searches the files, and when a page is
// read from an index place (a place is at most kIndexStep lines, some 64 KiB, before it).
constexpr size_t kScanChunk = 1u << 20;
constexpr size_t kPageChunk = 64u << 10;
// Record lines copied at once: the record's writers wait for its lock no longer than that.
constexpr size_t kRecordChunk = 4096;

// The layout of a file line up to its searched text: its number, stamp and kind.
struct FilePrefix {
    bool bValid = false;
    int nNumber = -1;
    long long llTime = 0;
    int nKind = LOG_KIND_DATA;
    size_t nText = 0; // where the text after the mark starts
};

bool IsDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

int Digits(const char* p, size_t n)
{
    int nValue = 0;
    for (size_t i = 0; i < n; ++i)
        nValue = nValue * 10 + (p[i] - '0');
    return nValue;
}

FilePrefix ReadPrefix(const char* p, size_t n)
{
    FilePrefix prefix;
    size_t i = 0;
    if (n >= 6 && std::memcmp(p, "....| ", 6) == 0) {
        prefix.nNumber = 0;
        i = 6;
    } else {
        long long llNumber = 0;
        while (i < n && IsDigit(p[i]) && llNumber <= 0x7FFFFFFF) {
            llNumber = llNumber * 10 + (p[i] - '0');
            ++i;
        }
        if (i == 0 || llNumber > 0x7FFFFFFF || i + 2 > n || p[i] != '|' || p[i + 1] != ' ')
            return prefix;
        prefix.nNumber = static_cast<int>(llNumber);
        i += 2;
    }
    prefix.bValid = true;
    // "HH:MM:SS.mmm "
    const char* s = p + i;
    if (n - i >= 13 && IsDigit(s[0]) && IsDigit(s[1]) && s[2] == ':' && IsDigit(s[3]) && IsDigit(s[4]) && s[5] == ':' &&
        IsDigit(s[6]) && IsDigit(s[7]) && s[8] == '.' && IsDigit(s[9]) && IsDigit(s[10]) && IsDigit(s[11]) && s[12] == ' ') {
        const int nHour = Digits(s, 2);
        const int nMinute = Digits(s + 3, 2);
        const int nSecond = Digits(s + 6, 2);
        if (nHour < 24 && nMinute < 60 && nSecond < 60) {
            prefix.llTime = TimeOfDayStamp(((nHour * 60 + nMinute) * 60 + nSecond) * 1000 + Digits(s + 9, 3));
            i += 13;
        }
    }
    if (n - i >= 3 && std::memcmp(p + i, ">> ", 3) == 0) {
        prefix.nKind = LOG_KIND_SEND;
        i += 3;
    } else if (n - i >= 3 && std::memcmp(p + i, "<< ", 3) == 0) {
        prefix.nKind = LOG_KIND_RECV;
        i += 3;
    }
    prefix.nText = i;
    return prefix;
}

// UTF-8 to UTF-16; invalid bytes become U+FFFD.
std::wstring WideFromUtf8(const char* p, size_t n)
{
    if (n == 0)
        return std::wstring();
    std::wstring text(n, L'\0');
    const int nChars = ::MultiByteToWideChar(CP_UTF8, 0, p, static_cast<int>(n), text.data(), static_cast<int>(n));
    text.resize(nChars > 0 ? static_cast<size_t>(nChars) : 0);
    return text;
}

bool ParseBytes(const char* p, size_t n, unsigned long long nSeq, CConsoleRecord::Line& out)
{
    const FilePrefix prefix = ReadPrefix(p, n);
    out = CConsoleRecord::Line{nSeq, LOG_KIND_DATA, -1, std::wstring()};
    if (!prefix.bValid) {
        out.text = WideFromUtf8(p, n);
        return false;
    }
    out.nKind = prefix.nKind;
    out.nNumber = prefix.nNumber;
    out.llTime = prefix.llTime;
    out.text = WideFromUtf8(p + prefix.nText, n - prefix.nText);
    return true;
}

// Letters A-Z as a-z, every other unit as it is (UTF-8 bytes or UTF-16 units alike).
template <typename Char>
void LowerAscii(Char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (p[i] >= 'A' && p[i] <= 'Z')
            p[i] = static_cast<Char>(p[i] + ('a' - 'A'));
    }
}

HANDLE OpenPart(const std::wstring& path, unsigned long long nOffset)
{
    // Shared so the writer goes on writing, and the folder's limit may still remove the file.
    HANDLE hFile = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (hFile == INVALID_HANDLE_VALUE || nOffset == 0)
        return hFile;
    LARGE_INTEGER liOffset;
    liOffset.QuadPart = static_cast<LONGLONG>(nOffset);
    if (!::SetFilePointerEx(hFile, liOffset, nullptr, FILE_BEGIN)) {
        ::CloseHandle(hFile);
        return INVALID_HANDLE_VALUE;
    }
    return hFile;
}

// Reads on; 0 at the end of what is on disk (or when the file cannot be read).
size_t ReadSome(HANDLE hFile, char* p, size_t n)
{
    DWORD dwRead = 0;
    if (!::ReadFile(hFile, p, static_cast<DWORD>(n), &dwRead, nullptr))
        return 0;
    return dwRead;
}
} // namespace

bool ParseSessionFileLine(const std::string& utf8, unsigned long long nSeq, CConsoleRecord::Line& out)
{
    return ParseBytes(utf8.data(), utf8.size(), nSeq, out);
}

// A line's start in a record: its part (index into the span's parts) and byte offset there.
struct CSessionLines::Place {
    size_t nPart;
    unsigned long long nOffset;
};

// The index of one record (span): where every kIndexStep-th line starts, as far as the files
// were counted. A running record's files grow; its index goes on from where counting stopped.
struct CSessionLines::SpanIndex {
    unsigned long long nFirstSeq = 0;
    unsigned long long nEndSeq = 0;
    std::vector<std::wstring> parts;
    std::vector<Place> places;      // places[k]: line nFirstSeq + k * kIndexStep
    Place scan{0, 0};               // the start of the first line not counted yet...
    unsigned long long nScanSeq = 0; // ...and its sequence
};

namespace {
// Whole lines of a record forward from a place, across its parts, as far as they are on disk.
class CLineCursor {
public:
    CLineCursor(const std::vector<std::wstring>& parts, size_t nPart, unsigned long long nOffset)
        : m_parts(parts), m_nPart(nPart), m_nOffset(nOffset), m_buffer(kPageChunk)
    {
    }
    ~CLineCursor() { Close(); }
    CLineCursor(const CLineCursor&) = delete;
    CLineCursor& operator=(const CLineCursor&) = delete;

    // The next line without its CR LF; false when no whole line follows on disk.
    bool Next(const char*& p, size_t& n)
    {
        for (;;) {
            const char* pStart = m_buffer.data() + m_nAt;
            const void* pBreak = std::memchr(pStart, '\n', m_nEnd - m_nAt);
            if (pBreak != nullptr) {
                const char* pEnd = static_cast<const char*>(pBreak);
                p = pStart;
                n = static_cast<size_t>(pEnd - pStart);
                if (n > 0 && pStart[n - 1] == '\r')
                    --n;
                m_nAt += static_cast<size_t>(pEnd - pStart) + 1;
                return true;
            }
            if (!Fill())
                return false;
        }
    }

private:
    bool Fill()
    {
        // Keeps the unfinished line, making room for a line longer than the buffer.
        std::memmove(m_buffer.data(), m_buffer.data() + m_nAt, m_nEnd - m_nAt);
        m_nEnd -= m_nAt;
        m_nAt = 0;
        if (m_nEnd == m_buffer.size())
            m_buffer.resize(m_buffer.size() * 2);
        while (m_nPart < m_parts.size()) {
            if (m_hFile == INVALID_HANDLE_VALUE) {
                m_hFile = OpenPart(m_parts[m_nPart], m_nOffset);
                if (m_hFile == INVALID_HANDLE_VALUE)
                    return false;
            }
            const size_t nRead = ReadSome(m_hFile, m_buffer.data() + m_nEnd, m_buffer.size() - m_nEnd);
            if (nRead > 0) {
                m_nEnd += nRead;
                return true;
            }
            // A part ends after a whole line; the last one is where the writer is.
            if (m_nPart + 1 >= m_parts.size())
                return false;
            Close();
            m_nEnd = 0;
            ++m_nPart;
            m_nOffset = 0;
        }
        return false;
    }
    void Close()
    {
        if (m_hFile != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
    }

    const std::vector<std::wstring>& m_parts;
    size_t m_nPart;
    unsigned long long m_nOffset; // where the part is opened
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    std::vector<char> m_buffer;
    size_t m_nAt = 0;  // the unread bytes are [m_nAt, m_nEnd)
    size_t m_nEnd = 0;
};

// Counts the lines of a record (its SpanIndex) forward from its scan place until the place
// of line nFirstSeq + kIndexStep * nWanted is known, or to the end of what is on disk.
template <typename Index>
void ExtendIndex(Index& index, size_t nWanted)
{
    std::vector<char> buffer;
    HANDLE hFile = INVALID_HANDLE_VALUE;
    unsigned long long nReadAt = 0; // file offset of the next byte read
    while (index.places.size() <= nWanted && index.scan.nPart < index.parts.size()) {
        if (hFile == INVALID_HANDLE_VALUE) {
            hFile = OpenPart(index.parts[index.scan.nPart], index.scan.nOffset);
            if (hFile == INVALID_HANDLE_VALUE)
                break;
            nReadAt = index.scan.nOffset;
            if (buffer.empty())
                buffer.resize(kScanChunk);
        }
        const size_t nRead = ReadSome(hFile, buffer.data(), buffer.size());
        if (nRead == 0) {
            ::CloseHandle(hFile);
            hFile = INVALID_HANDLE_VALUE;
            // The last part ends where the writer is: counting goes on from here next time.
            if (index.scan.nPart + 1 >= index.parts.size())
                break;
            ++index.scan.nPart;
            index.scan.nOffset = 0;
            continue;
        }
        // Only whole lines move the scan place; a line that goes on past the chunk is
        // counted when its end is read.
        const char* p = buffer.data();
        const char* const pEnd = p + nRead;
        while (index.places.size() <= nWanted) {
            const void* pBreak = std::memchr(p, '\n', static_cast<size_t>(pEnd - p));
            if (pBreak == nullptr)
                break;
            p = static_cast<const char*>(pBreak) + 1;
            ++index.nScanSeq;
            index.scan.nOffset = nReadAt + static_cast<unsigned long long>(p - buffer.data());
            if ((index.nScanSeq - index.nFirstSeq) % CSessionLines::kIndexStep == 0)
                index.places.push_back(index.scan);
        }
        nReadAt += nRead;
    }
    if (hFile != INVALID_HANDLE_VALUE)
        ::CloseHandle(hFile);
}
} // namespace

CSessionLines::CSessionLines(const CConsoleRecord& record, CSessionRecorder& recorder) : m_record(record), m_recorder(recorder)
{
}

CSessionLines::~CSessionLines() = default;

std::vector<CSessionRecorder::Span> CSessionLines::Spans() const
{
    return m_recorder.Spans();
}

unsigned long long CSessionLines::Begin() const
{
    const unsigned long long nStart = m_record.StartSeq();
    const unsigned long long nFirstKept = m_record.FirstSeq();
    // Lines before the record's oldest one that no record holds are not shown anyway: the
    // session then begins where its lines do.
    for (const CSessionRecorder::Span& span : m_recorder.Spans()) {
        const unsigned long long nFrom = span.nFirstSeq > nStart ? span.nFirstSeq : nStart;
        if (nFrom < span.nEndSeq && nFrom < nFirstKept)
            return nStart;
    }
    return nFirstKept > nStart ? nFirstKept : nStart;
}

unsigned long long CSessionLines::End() const
{
    return m_record.NextSeq();
}

void CSessionLines::Reset()
{
    m_indexes.clear();
}

CSessionLines::SpanIndex* CSessionLines::IndexOf(const CSessionRecorder::Span& span)
{
    // A span is known by its first sequence: sequences are never given twice.
    for (const std::unique_ptr<SpanIndex>& pIndex : m_indexes) {
        if (pIndex->nFirstSeq == span.nFirstSeq) {
            // A running record grows: more lines, and a new part past a part's size.
            if (span.parts.size() > pIndex->parts.size())
                pIndex->parts = span.parts;
            pIndex->nEndSeq = span.nEndSeq;
            return pIndex.get();
        }
    }
    auto pIndex = std::make_unique<SpanIndex>();
    pIndex->nFirstSeq = span.nFirstSeq;
    pIndex->nEndSeq = span.nEndSeq;
    pIndex->parts = span.parts;
    pIndex->places.push_back(Place{0, 0});
    pIndex->nScanSeq = span.nFirstSeq;
    m_indexes.push_back(std::move(pIndex));
    return m_indexes.back().get();
}

void CSessionLines::ReadFiles(unsigned long long nFrom, unsigned long long nTo, size_t nMax, std::vector<Line>& out)
{
    size_t nTaken = 0;
    for (const CSessionRecorder::Span& span : m_recorder.Spans()) {
        const unsigned long long nSpanFrom = span.nFirstSeq > nFrom ? span.nFirstSeq : nFrom;
        const unsigned long long nSpanTo = span.nEndSeq < nTo ? span.nEndSeq : nTo;
        if (nSpanFrom >= nSpanTo || span.parts.empty())
            continue;
        SpanIndex& index = *IndexOf(span);
        const size_t nPlace = static_cast<size_t>((nSpanFrom - index.nFirstSeq) / kIndexStep);
        ExtendIndex(index, nPlace);
        // Not counted that far: those lines are not on disk (yet).
        if (nPlace >= index.places.size())
            continue;
        const Place& place = index.places[nPlace];
        CLineCursor cursor(index.parts, place.nPart, place.nOffset);
        unsigned long long nSeq = index.nFirstSeq + nPlace * kIndexStep;
        const char* p = nullptr;
        size_t n = 0;
        while (nSeq < nSpanTo && nTaken < nMax && cursor.Next(p, n)) {
            if (nSeq >= nSpanFrom) {
                Line line;
                ParseBytes(p, n, nSeq, line);
                out.push_back(std::move(line));
                ++nTaken;
            }
            ++nSeq;
        }
        if (nTaken >= nMax)
            return;
    }
}

unsigned long long CSessionLines::Read(unsigned long long nFrom, unsigned long long nTo, size_t nMax, const bool bShown[3],
                                       std::vector<Line>& out)
{
    // Lines cleared from the console stay out.
    const unsigned long long nStart = m_record.StartSeq();
    if (nFrom < nStart)
        nFrom = nStart;
    if (nTo <= nFrom)
        return nTo > nFrom ? nTo : nFrom;
    // Notes and lines of other kinds always pass.
    const auto shown = [&](const Line& line) {
        return !IsKnownLogKind(line.nKind) || line.nNumber <= 0 || bShown[line.nKind - LOG_KIND_SEND];
    };
    size_t nTaken = 0;
    std::vector<Line> lines;
    // The sequences [nGapFrom, nGapTo) the record does not keep, from the files; returns the
    // sequence after the last one looked at.
    const auto readGap = [&](unsigned long long nGapFrom, unsigned long long nGapTo) {
        while (nGapFrom < nGapTo && nTaken < nMax) {
            const size_t nAsk = std::min<size_t>(std::max<size_t>(nMax - nTaken, 256), kRecordChunk);
            lines.clear();
            ReadFiles(nGapFrom, nGapTo, nAsk, lines);
            for (Line& line : lines) {
                if (!shown(line))
                    continue;
                out.push_back(std::move(line));
                if (++nTaken == nMax)
                    return out.back().nSeq + 1;
            }
            if (lines.size() < nAsk)
                return nGapTo;
            nGapFrom = lines.back().nSeq + 1;
        }
        return nGapFrom;
    };

    unsigned long long nSeq = nFrom;
    std::vector<Line> kept;
    while (nSeq < nTo && nTaken < nMax) {
        const unsigned long long nLeft = nTo - nSeq;
        const size_t nAsk = static_cast<size_t>(std::min<unsigned long long>(
            nLeft, std::min<size_t>(std::max<size_t>(nMax - nTaken, 64), kRecordChunk)));
        kept.clear();
        m_record.Copy(nSeq, nAsk, kept);
        bool bPastKept = kept.size() < nAsk;
        for (Line& line : kept) {
            if (line.nSeq >= nTo) {
                bPastKept = true;
                break;
            }
            if (line.nSeq > nSeq) {
                nSeq = readGap(nSeq, line.nSeq);
                if (nTaken == nMax)
                    return nSeq;
            }
            nSeq = line.nSeq + 1;
            if (shown(line)) {
                out.push_back(std::move(line));
                if (++nTaken == nMax)
                    return nSeq;
            }
        }
        if (bPastKept || kept.empty()) {
            // No kept line before nTo: the rest is in the files, if anywhere.
            return readGap(nSeq, nTo);
        }
    }
    return nSeq;
}

void CSessionLines::ReadBefore(unsigned long long nTo, size_t nMax, const bool bShown[3], std::vector<Line>& out)
{
    const unsigned long long nBegin = Begin();
    // Backwards block by block, each read forward; the blocks come latest first. The first
    // block is little more than what is asked for (a screenful at the end costs a screenful),
    // the next ones twice the one before, up to kIndexStep.
    std::vector<std::vector<Line>> blocks;
    size_t nFound = 0;
    unsigned long long nHigh = nTo;
    unsigned long long nBlock = nMax + 16 < kIndexStep ? nMax + 16 : kIndexStep;
    while (nFound < nMax && nHigh > nBegin) {
        const unsigned long long nLow = nHigh - nBegin > nBlock ? nHigh - nBlock : nBegin;
        nBlock = 2 * nBlock < kIndexStep ? 2 * nBlock : kIndexStep;
        std::vector<Line> block;
        Read(nLow, nHigh, static_cast<size_t>(-1), bShown, block);
        nFound += block.size();
        blocks.push_back(std::move(block));
        nHigh = nLow;
    }
    size_t nSkip = nFound > nMax ? nFound - nMax : 0;
    for (auto it = blocks.rbegin(); it != blocks.rend(); ++it) {
        for (Line& line : *it) {
            if (nSkip > 0) {
                --nSkip;
                continue;
            }
            out.push_back(std::move(line));
        }
    }
}

// One find: what Start saw of the session, and what the worker found.
struct CSessionFind::Job {
    // Set by Start on the user-interface thread before the worker starts; read-only after.
    // The record is the console's: it outlives every find (the console cancels its find
    // before it goes), and its Copy takes the record's own lock.
    std::vector<CSessionRecorder::Span> spans;
    const CConsoleRecord* pRecord = nullptr;
    unsigned long long nBegin = 0;
    unsigned long long nEnd = 0;
    Query query;
    HWND hNotify = nullptr;
    UINT uMsg = 0;

    // Set by the user-interface thread (Cancel), read by the worker between chunks; atomic.
    std::atomic<bool> bCancel{false};
    // Cleared by the worker just before it posts its message; read by the user-interface
    // thread; atomic.
    std::atomic<bool> bRunning{true};

    // Written by the worker once as it ends, taken by the user-interface thread; cs covers
    // the group.
    CCriticalSection cs;
    bool bDone = false;
    Result result;

    static unsigned __stdcall ThreadMain(void* pArg);

    // Worker thread only.
    bool Search(Result& result);
    void SearchRecord(unsigned long long nFrom, unsigned long long nTo, Result& result);
    unsigned long long SearchFiles(const CSessionRecorder::Span& span, unsigned long long nFrom, unsigned long long nTo,
                                   Result& result);
    void SearchText(std::wstring& text, unsigned long long nSeq, Result& result) const;
    bool Searched(int nKind) const { return !IsKnownLogKind(nKind) || query.bKinds[nKind - LOG_KIND_SEND]; }

    std::wstring needle;   // the query, A-Z as a-z
    std::string needleUtf8; // the same in UTF-8
};

unsigned __stdcall CSessionFind::Job::ThreadMain(void* pArg)
{
    std::shared_ptr<Job> pJob = std::move(*static_cast<std::shared_ptr<Job>*>(pArg));
    delete static_cast<std::shared_ptr<Job>*>(pArg);
    LARGE_INTEGER liFrequency{}, liStart{}, liEnd{};
    ::QueryPerformanceFrequency(&liFrequency);
    ::QueryPerformanceCounter(&liStart);
    Result result;
    result.nEnd = pJob->nEnd;
    result.bCancelled = !pJob->Search(result);
    ::QueryPerformanceCounter(&liEnd);
    result.dMs = 1000.0 * static_cast<double>(liEnd.QuadPart - liStart.QuadPart) / static_cast<double>(liFrequency.QuadPart);
    {
        CSingleLock lock(pJob->cs);
        pJob->result = std::move(result);
        pJob->bDone = true;
    }
    pJob->bRunning.store(false);
    // A window that has gone takes nothing: the result waits for Take, or goes with the job.
    ::PostMessageW(pJob->hNotify, pJob->uMsg, 0, 0);
    return 0;
}

void CSessionFind::Job::SearchText(std::wstring& text, unsigned long long nSeq, Result& result) const
{
    LowerAscii(text.data(), text.size());
    for (size_t nAt = text.find(needle); nAt != std::wstring::npos; nAt = text.find(needle, nAt + needle.size())) {
        ++result.nTotal;
        if (result.hits.size() < kMaxHits)
            result.hits.push_back(Hit{nSeq, static_cast<int>(nAt)});
    }
}

bool CSessionFind::Job::Search(Result& result)
{
    needle = query.text;
    LowerAscii(needle.data(), needle.size());
    needleUtf8 = ToUtf8(needle);
    std::sort(spans.begin(), spans.end(),
              [](const CSessionRecorder::Span& a, const CSessionRecorder::Span& b) { return a.nFirstSeq < b.nFirstSeq; });
    // In session order: what a record holds on disk from its files, the rest from the
    // console's record.
    unsigned long long nSeq = nBegin;
    for (const CSessionRecorder::Span& span : spans) {
        const unsigned long long nSpanFrom = span.nFirstSeq > nSeq ? span.nFirstSeq : nSeq;
        const unsigned long long nSpanTo = span.nEndSeq < nEnd ? span.nEndSeq : nEnd;
        if (nSpanFrom >= nSpanTo)
            continue;
        if (nSeq < nSpanFrom)
            SearchRecord(nSeq, nSpanFrom, result);
        const unsigned long long nOnDisk = SearchFiles(span, nSpanFrom, nSpanTo, result);
        if (bCancel.load())
            return false;
        if (nOnDisk < nSpanTo)
            SearchRecord(nOnDisk, nSpanTo, result);
        nSeq = nSpanTo;
    }
    if (nSeq < nEnd)
        SearchRecord(nSeq, nEnd, result);
    return !bCancel.load();
}

void CSessionFind::Job::SearchRecord(unsigned long long nFrom, unsigned long long nTo, Result& result)
{
    std::vector<CConsoleRecord::Line> lines;
    while (nFrom < nTo && !bCancel.load()) {
        lines.clear();
        const unsigned long long nNext = pRecord->Copy(nFrom, kRecordChunk, lines);
        for (CConsoleRecord::Line& line : lines) {
            if (line.nSeq >= nTo)
                return;
            if (!Searched(line.nKind))
                continue;
            std::wstring text = line.text + ConsoleLineSuffix(line);
            SearchText(text, line.nSeq, result);
        }
        if (lines.empty() || nNext <= nFrom)
            return;
        nFrom = nNext;
    }
}

unsigned long long CSessionFind::Job::SearchFiles(const CSessionRecorder::Span& span, unsigned long long nFrom,
                                                  unsigned long long nTo, Result& result)
{
    // The raw bytes chunk by chunk, A-Z made a-z in place; lines are counted by their ends,
    // and only a line whose text holds the query is decoded.
    const std::string_view needleBytes(needleUtf8);
    std::vector<char> buffer(kScanChunk);
    unsigned long long nSeq = span.nFirstSeq;
    for (size_t nPart = 0; nPart < span.parts.size(); ++nPart) {
        HANDLE hFile = OpenPart(span.parts[nPart], 0);
        if (hFile == INVALID_HANDLE_VALUE)
            return nSeq;
        size_t nKept = 0; // bytes of an unfinished line at the buffer's front
        for (;;) {
            if (bCancel.load()) {
                ::CloseHandle(hFile);
                return nSeq;
            }
            if (nKept == buffer.size())
                buffer.resize(buffer.size() * 2);
            const size_t nRead = ReadSome(hFile, buffer.data() + nKept, buffer.size() - nKept);
            if (nRead == 0)
                break;
            char* const pBase = buffer.data();
            const size_t nHave = nKept + nRead;
            size_t nWhole = nHave;
            while (nWhole > 0 && pBase[nWhole - 1] != '\n')
                --nWhole;
            if (nWhole == 0) {
                nKept = nHave;
                continue;
            }
            LowerAscii(pBase + nKept, nRead);
            const std::string_view chunk(pBase, nWhole);
            size_t nAt = 0;
            // Lines before the range (cleared from the console) are counted only.
            while (nSeq < nFrom && nAt < nWhole) {
                nAt = chunk.find('\n', nAt) + 1;
                ++nSeq;
            }
            while (nAt < nWhole && nSeq < nTo) {
                const size_t nHit = needleBytes.empty() ? std::string_view::npos : chunk.find(needleBytes, nAt);
                if (nHit == std::string_view::npos) {
                    nSeq += static_cast<unsigned long long>(std::count(pBase + nAt, pBase + nWhole, '\n'));
                    nAt = nWhole;
                    break;
                }
                nSeq += static_cast<unsigned long long>(std::count(pBase + nAt, pBase + nHit, '\n'));
                if (nSeq >= nTo)
                    break;
                const size_t nBreak = chunk.rfind('\n', nHit);
                const size_t nLineStart = nBreak == std::string_view::npos || nBreak < nAt ? nAt : nBreak + 1;
                const size_t nLineEnd = chunk.find('\n', nHit);
                size_t nLength = nLineEnd - nLineStart;
                if (nLength > 0 && pBase[nLineStart + nLength - 1] == '\r')
                    --nLength;
                // The hit counts where the line's searched text holds the query.
                const FilePrefix prefix = ReadPrefix(pBase + nLineStart, nLength);
                const size_t nText = prefix.bValid ? prefix.nText : 0;
                const int nKind = prefix.bValid ? prefix.nKind : LOG_KIND_DATA;
                if (Searched(nKind) && chunk.substr(nLineStart + nText, nLength - nText).find(needleBytes) != std::string_view::npos) {
                    std::wstring text = WideFromUtf8(pBase + nLineStart + nText, nLength - nText);
                    SearchText(text, nSeq, result);
                }
                nAt = nLineEnd + 1;
                ++nSeq;
            }
            if (nSeq >= nTo) {
                ::CloseHandle(hFile);
                return nTo;
            }
            nKept = nHave - nWhole;
            std::memmove(pBase, pBase + nWhole, nKept);
        }
        ::CloseHandle(hFile);
        // An unfinished line at the end of the last part is not on disk yet.
    }
    return nSeq < nTo ? nSeq : nTo;
}

CSessionFind::~CSessionFind()
{
    Cancel();
}

bool CSessionFind::Start(CSessionLines& lines, const Query& query, HWND hNotify, UINT uMsg)
{
    Cancel();
    if (query.text.empty())
        return false;
    auto pJob = std::make_shared<Job>();
    pJob->spans = lines.Spans();
    pJob->pRecord = &lines.Record();
    pJob->nBegin = lines.Begin();
    pJob->nEnd = lines.End();
    pJob->query = query;
    pJob->hNotify = hNotify;
    pJob->uMsg = uMsg;
    auto* pArg = new std::shared_ptr<Job>(pJob);
    const uintptr_t hThread = _beginthreadex(nullptr, 0, &Job::ThreadMain, pArg, 0, nullptr);
    if (hThread == 0) {
        delete pArg;
        return false;
    }
    m_pJob = std::move(pJob);
    m_hThread = reinterpret_cast<HANDLE>(hThread);
    return true;
}

void CSessionFind::Cancel()
{
    if (m_pJob)
        m_pJob->bCancel.store(true);
    if (m_hThread != nullptr) {
        // The worker looks at the flag between chunks of the files and of the record.
        ::WaitForSingleObject(m_hThread, INFINITE);
        ::CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
}

bool CSessionFind::IsRunning() const
{
    return m_pJob && m_pJob->bRunning.load();
}

CSessionFind::Result CSessionFind::Take()
{
    Result result;
    if (!m_pJob)
        return result;
    {
        CSingleLock lock(m_pJob->cs);
        if (!m_pJob->bDone)
            return result;
        result = std::move(m_pJob->result);
        m_pJob->result = Result();
        m_pJob->bDone = false;
    }
    // The worker has posted its message and is returning.
    if (m_hThread != nullptr) {
        ::WaitForSingleObject(m_hThread, INFINITE);
        ::CloseHandle(m_hThread);
        m_hThread = nullptr;
    }
    return result;
}
