// Every line the console has been given, in order and numbered as the console numbers them:
// the one store that every thread writes into and that the console's view and its saved
// logs read. The worker threads never wait for the window to take a line: they add it here
// and go on. Bounded in lines and in characters, whatever the unit sends: past either limit
// the oldest lines go (and are counted; the diagnostic log has every line).
// Any thread; m_cs covers every field.
#pragma once

#include "framework/Sync.h"

#include <deque>
#include <string>
#include <vector>

// Kinds of console lines.
enum LogKind : int {
    LOG_KIND_SEND = 100,
    LOG_KIND_RECV = 101,
    LOG_KIND_DATA = 102,
};

inline bool IsKnownLogKind(int nKind)
{
    return nKind == LOG_KIND_SEND || nKind == LOG_KIND_RECV || nKind == LOG_KIND_DATA;
}

class CConsoleRecord {
public:
    struct Line {
        unsigned long long nSeq; // place in the record, counted from the first line ever added
        int nKind;
        int nNumber;             // the "nnnn| " number the console shows
        std::wstring text;
    };

    // Lines kept at most (a whole service day is far below it), and characters of text: a
    // day of frames fits both; a unit that sends garbage reaches the second long before the
    // first, and the record stays near 16 MB of memory.
    static constexpr size_t kKeptLines = 200000;
    static constexpr size_t kKeptChars = 4u << 20;

    explicit CConsoleRecord(size_t nKeptLines = kKeptLines, size_t nKeptChars = kKeptChars)
        : m_nKeptLines(nKeptLines), m_nKeptChars(nKeptChars)
    {
    }
    CConsoleRecord(const CConsoleRecord&) = delete;
    CConsoleRecord& operator=(const CConsoleRecord&) = delete;

    // Adds a line of a kind (100 sent, 101 received, 102 data; any other kind is a line with
    // its number only, and the number does not advance).
    void Append(int nKind, const wchar_t* lpText);
    // Forgets every line; numbering starts again at 1.
    void Clear();

    // Copies lines from sequence nFrom on (from the oldest kept one when nFrom is older), at
    // most nMax, oldest first, into out (appended). Returns the sequence after the last one
    // copied.
    unsigned long long Copy(unsigned long long nFrom, size_t nMax, std::vector<Line>& out) const;
    // The latest nMax lines of the kinds bShown[kind - 100] lets through, oldest first.
    void CopyLatest(size_t nMax, const bool bShown[3], std::vector<Line>& out) const;

    // The sequence the next line will get, and that of the oldest line kept.
    unsigned long long NextSeq() const;
    unsigned long long FirstSeq() const;
    size_t Count() const;
    // Lines that went past the limit since the last Clear.
    unsigned long long Dropped() const;

private:
    const size_t m_nKeptLines;
    const size_t m_nKeptChars;
    mutable CCriticalSection m_cs;
    std::deque<Line> m_lines;
    size_t m_nChars = 0; // characters of the kept lines' texts
    unsigned long long m_nNextSeq = 0;
    unsigned long long m_nDropped = 0;
    int m_nNextNumber = 1;
};

// The text of a line as the console shows and saves it: "0001| >> [SPL_PANO]" and CR LF.
std::wstring FormatConsoleLine(const CConsoleRecord::Line& line);
// Line breaks inside a text (CR LF, CR or LF each count once).
int CountLineBreaks(const std::wstring& text);
