// The whole console session, line by line, wherever its lines are kept: the console record's
// lines in memory and, for the lines the record let go of or never kept, the session records
// on disk. The console's view pages through it and its find searches it, at flat memory
// whatever the session's length: of the files only a sparse index is held (where every
// kIndexStep-th line of a record starts), made the first time a place is read and kept.
//
// A sequence is a line's place in the session (CConsoleRecord::Line::nSeq). The session runs
// from the first line since the console was last cleared to the record's next sequence; a
// line neither the record nor a session record holds (written while no record ran and let
// go of since) is skipped.
//
// CSessionLines belongs to the user-interface thread. CSessionFind searches on a thread of
// its own, over a snapshot of where the lines are.
#pragma once

#include "comm/record/ConsoleRecord.h"
#include "comm/record/SessionRecorder.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// A line of a session record file as the view shows it: "0042| 14:03:12.345 >> [SPL_PANO]
// 312.4 ms" gives number 42, the kind by its mark (">> " sent, "<< " received, none: data),
// the stamp (kept as its local time of day: TimeOfDayStamp) and the text after the mark, its
// round trip or wait included, line breaks within it as written (\r, \n). "....| " is a note
// (number 0). False for bytes that are no such line; out is then a data line holding them.
bool ParseSessionFileLine(const std::string& utf8, unsigned long long nSeq, CConsoleRecord::Line& out);

class CSessionLines {
public:
    using Line = CConsoleRecord::Line;
    // Lines of a record file between two places the index keeps.
    static constexpr unsigned long long kIndexStep = 1024;

    CSessionLines(const CConsoleRecord& record, CSessionRecorder& recorder);
    ~CSessionLines(); // where SpanIndex is complete
    CSessionLines(const CSessionLines&) = delete;
    CSessionLines& operator=(const CSessionLines&) = delete;

    // The session's sequences: the first line since the last Clear, and the record's next.
    unsigned long long Begin() const;
    unsigned long long End() const;

    // The lines of sequences nFrom to nTo (not included) whose kind bShown lets through
    // (bShown[kind - LOG_KIND_SEND]; lines of other kinds always), oldest first, at most nMax,
    // appended to out: from the record where it keeps them, else from the session records.
    // Returns the sequence after the last one looked at (nTo when it went through the range).
    unsigned long long Read(unsigned long long nFrom, unsigned long long nTo, size_t nMax, const bool bShown[3],
                            std::vector<Line>& out);
    // The nMax shown lines just before sequence nTo (fewer at the session's start), oldest
    // first, appended to out.
    void ReadBefore(unsigned long long nTo, size_t nMax, const bool bShown[3], std::vector<Line>& out);
    // The console was cleared, or the records changed: forgets the index.
    void Reset();

    const CConsoleRecord& Record() const { return m_record; }
    // Where the lines are now, for a find: the records' spans (the running one last).
    std::vector<CSessionRecorder::Span> Spans() const;

private:
    struct Place;
    struct SpanIndex;
    // Reads file lines of sequences [nFrom, nTo) into out (all kinds), skipping those no span
    // holds; stops after nMax lines.
    void ReadFiles(unsigned long long nFrom, unsigned long long nTo, size_t nMax, std::vector<Line>& out);
    SpanIndex* IndexOf(const CSessionRecorder::Span& span);

    const CConsoleRecord& m_record;
    CSessionRecorder& m_recorder;
    std::vector<std::unique_ptr<SpanIndex>> m_indexes;
};

// Finds text in every line of the session, forward from its start, on a thread of its own:
// the window never waits for it and may cancel it at any moment. Letters A-Z match either
// case. A line's searched text is what follows its mark (Line::text and its round trip or
// wait), never its number or stamp.
class CSessionFind {
public:
    struct Query {
        std::wstring text;
        bool bKinds[3] = {true, true, true}; // which kinds are searched (sent, received, data)
    };
    struct Hit {
        unsigned long long nSeq;
        int nColumn; // where the hit starts in the line's searched text (UTF-16 units)
    };
    struct Result {
        std::vector<Hit> hits;         // in session order, at most kMaxHits
        unsigned long long nTotal = 0; // every hit, also those past kMaxHits
        unsigned long long nEnd = 0;   // the session's end sequence the find went up to
        bool bCancelled = false;
        double dMs = 0;                // how long it took
    };
    static constexpr size_t kMaxHits = 100000;

    CSessionFind() = default;
    // Cancels a find under way and waits for its thread.
    ~CSessionFind();
    CSessionFind(const CSessionFind&) = delete;
    CSessionFind& operator=(const CSessionFind&) = delete;

    // User-interface thread: cancels any find under way, then starts one over the session as
    // it is now; uMsg is posted to hNotify when it has ended (also when cancelled). False when
    // the query is empty or no thread could start.
    bool Start(CSessionLines& lines, const Query& query, HWND hNotify, UINT uMsg);
    // Asks the find to stop and waits for its thread (at once: it looks between chunks).
    void Cancel();
    bool IsRunning() const;
    // After the message: the ended find's result (empty when none ended since).
    Result Take();

private:
    struct Job;
    std::shared_ptr<Job> m_pJob;
    HANDLE m_hThread = nullptr;
};
