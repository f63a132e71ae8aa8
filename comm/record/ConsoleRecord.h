// Every line the console has been given, in order and numbered as the console numbers them:
// the one store that every thread writes into and that the console's view and its saved
// logs read. The worker threads never wait for the window to take a line: they add it here
// and go on. Bounded in lines and in characters, whatever the unit sends: past either limit
// the oldest lines go (and are counted; the diagnostic log and the session record have every
// line). Each line is stamped as it is added, under the lock, so stamps follow the order of
// the lines and never go backwards.
// A line may also be numbered, stamped and told to the tap without being kept (the data gate
// holds back loose text beyond a readable rate so): its sequence is then missing from the
// record, as if it had gone already, and Save file takes it from the session record.
// Any thread; m_cs covers every field.
#pragma once

#include "comm/protocol/Clock.h"
#include "framework/Sync.h"

#include <deque>
#include <functional>
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
        int nNumber;             // the "nnnn| " number the console shows; 0: a note of the view;
                                 // -1: a line written out already (text is all of it)
        std::wstring text;
        long long llTime = 0;          // when its bytes were taken or sent: UTC, 100 ns units
        long long llRoundTripUs = -1;  // an answer: from its command's last byte leaving to it
        long long llQueuedUs = -1;     // a command that waited in the queue: how long it waited
    };
    // Told of every line as it is added, inside the record's lock (so in the record's order);
    // it must not take the record again. The session record listens so.
    // Takes lines to be written; false when they could not be.
    using LineSink = std::function<bool(const std::vector<Line>&)>;

    class ITap {
    public:
        virtual ~ITap() = default;
        virtual void OnLine(const Line& line) = 0;
    };

    // Lines kept at most (a whole service day is far below it), and characters of text: a
    // day of frames fits both; a unit that sends garbage reaches the second long before the
    // first, and the record stays near 16 MB of memory.
    static constexpr size_t kKeptLines = 200000;
    static constexpr size_t kKeptChars = 4u << 20;

    explicit CConsoleRecord(size_t nKeptLines = kKeptLines, size_t nKeptChars = kKeptChars);
    CConsoleRecord(const CConsoleRecord&) = delete;
    CConsoleRecord& operator=(const CConsoleRecord&) = delete;

    // Adds a line of a kind (100 sent, 101 received, 102 data; any other kind is a line with
    // its number only, and the number does not advance), stamped now; an answer carries its
    // round-trip time, a command that waited in the queue its wait (microseconds, or -1).
    void Append(int nKind, const wchar_t* lpText, long long llRoundTripUs = -1, long long llQueuedUs = -1);
    // The same line, numbered, stamped and given to the tap, but not kept: it costs the record
    // no memory, and the record's sequences have a gap where it was.
    void AppendUnkept(int nKind, const wchar_t* lpText);
    // Whether a tap hears the lines (a session record runs).
    bool IsTapped() const;
    // Ties the stamps to the system's time again (each link open): from here on a stamp is
    // the system time now plus what the high-resolution counter counted since, never earlier
    // than the last stamp given.
    void Anchor();
    // The tap that hears of every line from now on; nullptr for none.
    void SetTap(ITap* pTap);
    // Forgets every line; numbering starts again at 1.
    void Clear();

    // Copies the kept lines from sequence nFrom on (from the oldest kept one when nFrom is
    // older), at most nMax, oldest first, into out (appended). Returns the sequence after the
    // last one copied (NextSeq when it was the last).
    unsigned long long Copy(unsigned long long nFrom, size_t nMax, std::vector<Line>& out) const;
    // Kept lines from sequence nFrom on; and the sequence of the one nSkip kept lines after
    // the first of them (NextSeq when there are no more).
    size_t CountFrom(unsigned long long nFrom) const;
    unsigned long long SkipFrom(unsigned long long nFrom, size_t nSkip) const;
    // The latest nMax lines of the kinds bShown[kind - 100] lets through, oldest first.
    void CopyLatest(size_t nMax, const bool bShown[3], std::vector<Line>& out) const;

    // The sequence the next line will get, and that of the oldest line kept.
    unsigned long long NextSeq() const;
    unsigned long long FirstSeq() const;
    // The sequence of the first line given since the record was made or last cleared.
    unsigned long long StartSeq() const;
    size_t Count() const;
    // Lines that went past the limit since the last Clear.
    unsigned long long Dropped() const;
    // Sequences from nSeq up to the oldest kept line, once the record has let lines go from
    // its front (0 before that): what a reader that stopped at nSeq missed. Lines never kept
    // among them count too; Save file has them all.
    unsigned long long DroppedSince(unsigned long long nSeq) const;
    // Lines given but not kept (AppendUnkept) since the last Clear.
    unsigned long long Unkept() const;

private:
    long long StampLocked() const;
    void AddLocked(int nKind, std::wstring text, int nBreaks, long long llRoundTripUs, long long llQueuedUs, bool bKeep);
    size_t IndexLocked(unsigned long long nSeq) const;

    const size_t m_nKeptLines;
    const size_t m_nKeptChars;
    CPerformanceClock m_clock;
    mutable CCriticalSection m_cs;
    long long m_llAnchorTime = 0; // system time (UTC, 100 ns) at the anchor
    long long m_llAnchorUs = 0;   // the counter at the anchor
    long long m_llLastTime = 0;
    ITap* m_pTap = nullptr;
    std::deque<Line> m_lines;
    size_t m_nChars = 0; // characters of the kept lines' texts
    unsigned long long m_nNextSeq = 0;
    unsigned long long m_nStartSeq = 0;
    unsigned long long m_nDropped = 0;
    unsigned long long m_nUnkept = 0;
    int m_nNextNumber = 1;
};

// The text of a line as the console shows and saves it: "0001| >> [SPL_PANO]" and CR LF;
// with bStamp the local time after the number ("0001| 14:03:12.345 >> [SPL_PANO]"). An
// answer ends with its round-trip time ("   312.4 ms"), a command that waited in the queue
// with its wait ("   waited 1203.5 ms"). A note of the view is numbered "....| ".
std::wstring FormatConsoleLine(const CConsoleRecord::Line& line, bool bStamp = false);
// "0001| " (or "....| " for a note); the prefix of a line up to its mark; and what follows
// its text before the line end.
std::wstring ConsoleLineNumber(const CConsoleRecord::Line& line);
std::wstring ConsoleLinePrefix(const CConsoleRecord::Line& line, bool bStamp);
std::wstring ConsoleLineSuffix(const CConsoleRecord::Line& line);
// "14:03:12.345": a stamp in local time.
std::wstring FormatStamp(long long llTime);
// A stamp read back from a session record file has only its local time of day: it is kept as
// a negative llTime (-1 - milliseconds since midnight), which FormatStamp shows as it was.
inline long long TimeOfDayStamp(int nMsOfDay) { return -1 - static_cast<long long>(nMsOfDay); }
inline bool IsTimeOfDay(long long llTime) { return llTime < 0; }
// Line breaks inside a text (CR LF, CR or LF each count once).
int CountLineBreaks(const std::wstring& text);
