// One connection of the simulated unit, from connect to hang-up. A reader thread cuts the
// received bytes into frames and decides what to send; the session's own thread sends it at
// the planned times, one planned transmission after the other, so pieces of different
// answers never mix. Paced frames go out between planned transmissions, never inside one.
// The session owns neither the link nor the script; it ends its reader thread before Run
// returns.
#pragma once

#include "SimLink.h"
#include "SimLog.h"
#include "SimScript.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace simunit {

class CSimSession {
public:
    // Vanish: the unit goes away for a while (the script's time away) and comes back.
    enum class End { PeerGone, HangUp, Stopped, LinkFailed, Vanish, Reset };

    CSimSession(CSimLink& link, const CSimScript& script, CSimLog& log, HANDLE hStop);
    ~CSimSession();
    CSimSession(const CSimSession&) = delete;
    CSimSession& operator=(const CSimSession&) = delete;

    End Run();

private:
    struct Piece {
        std::string bytes;
        DWORD dwPauseBeforeMs = 0;
    };
    // One planned transmission: sent whole before the next one starts.
    struct Job {
        ULONGLONG ullDue = 0;
        unsigned long long seq = 0;
        std::vector<Piece> pieces;
        std::vector<std::string> slpFrames; // frames whose ELP echo is then awaited
        bool bHangUp = false;
        End hangUpAs = End::HangUp;         // with bHangUp: HangUp, Vanish or Reset
        unsigned long floodCount = 0;       // > 0: a flood of this frame instead of pieces
        std::string floodFrame;
        unsigned long paceCount = 0;        // > 0: starts a pace of this frame instead of pieces
        unsigned long paceRate = 0;
        std::string paceFrame;
        char flowByte = 0;                  // XOFF or XON instead of pieces
        DWORD dwXonAfterMs = 0;             // after an XOFF: the XON follows this long after it
        unsigned long hostileCount = 0;     // > 0: this many hostile bytes instead of pieces
        unsigned long hostileSeed = 0;
        HostileKind hostileKind = HostileKind::Random;
    };
    // A pace under way; frame k is due at llStart + (k - 1) / rate seconds.
    struct Pace {
        unsigned long count = 0;
        unsigned long rate = 0;
        std::string frame;
        LONGLONG llStart = 0;               // performance-counter ticks
        unsigned long next = 1;             // the next frame to send
        unsigned long sent = 0;             // frames whose write has ended
        unsigned long long ullBytes = 0;
        LONGLONG llMostLate = 0;            // ticks: the largest (write end - due time) so far
        LONGLONG llLastWriteEnd = 0;
    };
    struct PendingEcho {
        std::string slpFrame;
        std::string word;
        std::string expected;
        ULONGLONG ullDeadline = 0; // 0 while the SLP frame is still being written
    };

    void ReaderMain(std::string& reason);
    void OnBytes(const char* p, size_t cb);
    void FlushLoose();
    void OnFrame(const std::string& frame);
    void OnCommand(const std::string& frame, const std::string& cls, const std::string& word);
    void OnEcho(const std::string& frame, const std::string& word);

    void Plan(Job&& job);
    // Reader thread: sends an answer due now itself when nothing else is planned or being
    // written, sparing the hand-over to the session thread. False when it did not.
    bool TrySendNow(const std::string& bytes);
    // Session thread: waits until no write of the reader is under way and claims the link
    // (false at the stop event); ReleaseLink gives it back.
    bool ClaimLink();
    void ReleaseLink();
    Job FrameJob(const std::string& frame, ULONGLONG ullDue) const;
    static Job PaceJob(const ScriptPace& pace, ULONGLONG ullDue);
    void PlanAfterCommand(unsigned long ulCommand, ULONGLONG ullDue);
    bool Send(Job& job, std::string& reason);
    bool SendFlood(Job& job, std::string& reason);
    bool SendFlowByte(const Job& job, std::string& reason);
    bool SendHostile(const Job& job, std::string& reason);
    static Job HostileJob(const ScriptHostile& hostile, ULONGLONG ullDue);
    void StartPace(const Job& job);
    LONGLONG PaceDue(const Pace& pace, unsigned long ulFrame) const;
    bool SendDuePaces(std::string& reason);
    DWORD MsToNextPaceFrame() const;
    void PauseReading(DWORD dwMs);
    void ExpectEchoes(const std::vector<std::string>& frames);
    void ArmEchoDeadlines();
    ULONGLONG CheckEchoDeadlines(ULONGLONG ullNow);
    void ReportMissingEchoes(const char* lpWhy);
    // m_mutex held: one more echo accounted for (ok, wrong, missing, unexpected, duplicate).
    void CountEcho(unsigned long& counter);

    CSimLink& m_link;
    const CSimScript& m_script;
    CSimLog& m_log;
    HANDLE m_hStop;
    HANDLE m_hWake;                 // auto-reset: something was planned (by either thread) or the link went
    HANDLE m_hEnding;               // manual reset: set with m_bEnded by Run, wakes a paused reader
    std::atomic<bool> m_bEnded{false};
    LONGLONG m_llTicksPerSecond = 1; // performance counter; set once before the reader starts

    std::mutex m_mutex;             // guards m_jobs, m_seq, m_echoes, m_bWriting and the echo counts
    std::vector<Job> m_jobs;
    unsigned long long m_seq = 0;
    std::deque<PendingEcho> m_echoes;
    // Echo counts under echo-summary; written by the reader (ok, wrong, unexpected, duplicate)
    // and the session thread (missing), under m_mutex.
    unsigned long m_ulEchoOk = 0;
    unsigned long m_ulEchoWrong = 0;
    unsigned long m_ulEchoMissing = 0;
    unsigned long m_ulEchoUnexpected = 0;
    unsigned long m_ulEchoDuplicate = 0;
    unsigned long m_ulEchoCounted = 0;          // the sum of the five
    std::unordered_set<std::string> m_echoed;   // upper-case words of SLP frames echoed (under m_mutex)
    // A write to the link is under way: a job's or a pace's by the session thread, or an
    // answer the reader sends at once. Whoever sets it writes, and clears it after.
    bool m_bWriting = false;

    // Session thread only: the paces under way, in the order they started, and whether the
    // last paced write left due frames behind (it was cut at the block size).
    std::vector<Pace> m_paces;
    bool m_bPaceBacklog = false;

    // Reader thread only (read by Run after the reader has ended): why a write of its own
    // failed.
    std::string m_readerWriteFailure;

    // Reader thread only.
    std::string m_frame;
    bool m_bInFrame = false;
    std::string m_loose;
    unsigned long m_ulCommands = 0;
    struct ReadingStop {
        ULONGLONG ullAt = 0;
        DWORD dwMs = 0;
    };
    std::vector<ReadingStop> m_readingStops; // planned stretches without reading
};

} // namespace simunit
