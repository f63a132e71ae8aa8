// The session recorder: from each link's open to its end, every console line goes through
// the console record's tap into that link's session record on disk (CSessionLog); Save file
// reads back from those records the lines the console record let go of or never kept.
// Owned by the link manager.
//
// Threads: OnLine is the record's tap, called on whichever thread wrote a line, inside the
// record's lock. Everything else belongs to the user-interface thread.
#pragma once

#include "comm/record/CommInbox.h"
#include "comm/record/ConsoleRecord.h"
#include "comm/record/SessionLog.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class CSessionRecorder : private CConsoleRecord::ITap {
public:
    explicit CSessionRecorder(CCommInbox& inbox) : m_inbox(inbox) {}
    ~CSessionRecorder() override;
    CSessionRecorder(const CSessionRecorder&) = delete;
    CSessionRecorder& operator=(const CSessionRecorder&) = delete;

    // The folder of the session records; empty: none are written. It is kept within nLimit
    // bytes (0: no limit), the oldest records going first.
    void SetFolder(const std::wstring& folder) { m_folder = folder; }
    const std::wstring& Folder() const { return m_folder; }
    void SetFolderLimit(unsigned long long nLimit) { m_nFolderLimit = nLimit; }
    // A link opened: its record starts (named from the local time now), and the tap with it;
    // a record still running (a link brought back by "Reconnect") goes on instead.
    void Start();
    // A record was started and not stopped (its tap is taken off early when it fails).
    bool IsRunning() const { return m_bTapSet; }
    // The link ended: the tap goes (waiting for a line being handed over), then the writer
    // writes what waits and ends (bounded: a disk that does not answer is left behind).
    void Stop();
    // A record that failed, or a console record that began letting lines go, is told once in
    // the console.
    void Check();
    // The console was cleared: saved logs start after nNextSeq; the records stay on disk.
    void OnClear(unsigned long long nNextSeq);
    // The records' spans of sequences, as Save file reads them.
    struct Span {
        std::vector<std::wstring> parts;
        unsigned long long nFirstSeq;
        unsigned long long nEndSeq;
        bool bRunning; // the current link's: its writer may still be behind the tap
    };

    // Reads lines back from the session records for one Save file, forward only: each Write
    // asks for a later range of sequences than the one before, so a save with many gaps
    // (loose text the console did not keep) reads each file once. User-interface thread.
    class CReader {
    public:
        CReader(std::vector<Span> spans, unsigned long long nClearSeq);
        ~CReader();
        CReader(const CReader&) = delete;
        CReader& operator=(const CReader&) = delete;
        // Gives, through emit, the lines of sequences nFrom to nTo (not included) from the
        // records, with a note for those no record holds; false when emit failed.
        bool Write(unsigned long long nFrom, unsigned long long nTo, const CConsoleRecord::LineSink& emit);

    private:
        bool ReadLine(std::string& bytes);
        void NextSpan();

        const std::vector<Span> m_spans;
        const unsigned long long m_nClearSeq;
        size_t m_nSpan = 0;
        size_t m_nPart = 0;
        unsigned long long m_nSeq = 0; // the sequence of the next line of the current span
        HANDLE m_hFile = INVALID_HANDLE_VALUE;
        std::string m_pending;
        size_t m_nAt = 0;
        DWORD m_dwWaitedMs = 0;
    };
    // A reader over the records since the console was last cleared; the current record's
    // writer is asked to write what waits first.
    std::unique_ptr<CReader> OpenReader();
    // The records since the console was last cleared, the running one last (its parts and
    // its end grow while it runs, and its writer may be up to kFlushMs behind the tap).
    std::vector<Span> Spans() const;

    const CSessionLog& Log() const { return m_session; }

private:
    void OnLine(const CConsoleRecord::Line& line) override;

    CCommInbox& m_inbox;
    // User-interface thread.
    std::wstring m_folder;
    unsigned long long m_nFolderLimit = 0;
    bool m_bTapSet = false;
    // The current link's record: started and stopped by the user-interface thread, appended
    // to by the tap on any thread (the tap is set only while it runs).
    CSessionLog m_session;
    // The first and the end sequence the tap gave it: written by the tap inside the record's
    // lock, read by the user-interface thread (while it runs too: Spans, OpenReader); atomic.
    std::atomic<unsigned long long> m_nTapFirstSeq{~0ull};
    std::atomic<unsigned long long> m_nTapEndSeq{0};
    // The records since the console was last cleared, and which sequences each holds
    // (user-interface thread).
    std::vector<Span> m_spans;
    unsigned long long m_nClearSeq = 0;
    bool m_bDropTold = false;
};
