// One connection of the simulated unit, from connect to hang-up. A reader thread cuts the
// received bytes into frames and decides what to send; the session's own thread sends it at
// the planned times, one planned transmission after the other, so pieces of different
// answers never mix. The session owns neither the link nor the script; it ends its reader
// thread before Run returns.
#pragma once

#include "SimLink.h"
#include "SimLog.h"
#include "SimScript.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace simunit {

class CSimSession {
public:
    enum class End { PeerGone, HangUp, Stopped, LinkFailed };

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
        unsigned long floodCount = 0;       // > 0: a flood of this frame instead of pieces
        std::string floodFrame;
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
    Job FrameJob(const std::string& frame, ULONGLONG ullDue) const;
    void PlanAfterCommand(unsigned long ulCommand, ULONGLONG ullDue);
    bool Send(Job& job, std::string& reason);
    bool SendFlood(Job& job, std::string& reason);
    void ExpectEchoes(const std::vector<std::string>& frames);
    void ArmEchoDeadlines();
    ULONGLONG CheckEchoDeadlines(ULONGLONG ullNow);
    void ReportMissingEchoes(const char* lpWhy);

    CSimLink& m_link;
    const CSimScript& m_script;
    CSimLog& m_log;
    HANDLE m_hStop;
    HANDLE m_hWake;                 // auto-reset: the reader planned something or the link went
    std::atomic<bool> m_bEnded{false};

    std::mutex m_mutex;             // guards m_jobs, m_seq and m_echoes
    std::vector<Job> m_jobs;
    unsigned long long m_seq = 0;
    std::deque<PendingEcho> m_echoes;

    // Reader thread only.
    std::string m_frame;
    bool m_bInFrame = false;
    std::string m_loose;
    unsigned long m_ulCommands = 0;
};

} // namespace simunit
