// The session record: every console line of one link session, appended as UTF-8 text to
// Session-YYYYMMDD-HHMMSS.log (local time of the open) in a folder the caller names. Lines
// are handed over under a short lock and written by the record's own thread, never by the
// thread that gives them (the user-interface or the receive thread), so no caller ever
// waits for the disk.
//
// The writer writes what waits at the latest 100 ms after its first byte came, and at once
// when asked (an answer, a time-out, a link close): a process killed at any moment loses at
// most the last 100 ms. Each WriteFile is given whole lines only, so the file never ends in
// half a line. A part that would grow past its size goes on in the next numbered part
// (-2.log, -3.log, ...), always after a whole line. A name already taken (two opens within
// one second) gets -b, -c, ... before .log: an earlier record is never appended to or
// replaced.
//
// A write that fails stops the record: the reason is kept for the console to take once, and
// everything given afterwards is dropped and counted, without a lock. A disk that does not
// keep up is not waited for either: beyond kWaitingBytes waiting, new lines are dropped and
// counted, and that too is reported once.
//
// Start and Stop belong to the owner's thread; Append and FlushSoon to any thread.
#pragma once

#include "framework/Sync.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

class CSessionLog {
public:
    // Bytes of a part at most before the next part starts (tests pass a small one).
    static constexpr unsigned long long kPartBytes = 64ull << 20;
    // Bytes waiting for the writer at most; beyond it new lines are dropped.
    static constexpr size_t kWaitingBytes = 64u << 20;
    // What waits is written at the latest this long after its first byte came.
    static constexpr DWORD kFlushMs = 100;

    explicit CSessionLog(unsigned long long nPartBytes = kPartBytes);
    // Stops. A class that overrides WriteBytes calls Stop in its own destructor, so that the
    // writer has ended before the override goes.
    virtual ~CSessionLog();
    CSessionLog(const CSessionLog&) = delete;
    CSessionLog& operator=(const CSessionLog&) = delete;

    // Creates the folder (and its parents) when missing, creates the first file named from
    // stOpenedLocal, starts the writer thread. False, with the reason in error (a sentence
    // naming the folder or file and the system's message), when the folder or file cannot be
    // made; then nothing runs and Append does nothing. A record still running from an earlier
    // Start is stopped first.
    bool Start(const std::wstring& folder, const SYSTEMTIME& stOpenedLocal, std::wstring& error);
    // Any thread: whole lines (each ending in "\r\n"), already UTF-8. Never blocks on the disk:
    // appends to a buffer under a short lock and returns.
    void Append(const std::string& utf8Lines);
    // Any thread: the writer writes what waits now instead of at its next tick.
    void FlushSoon();
    // Writes everything given so far, ends the writer and closes the file; returns when the
    // thread has ended. Safe to call twice and when Start failed.
    void Stop();
    // Started, not stopped, and no write has failed.
    bool IsRunning() const;
    // The file being written (the current part); empty when none (before Start, after Stop or
    // a failed write).
    std::wstring Path() const;
    // All parts written in this session, first first.
    std::vector<std::wstring> Parts() const;
    // The reason the record stopped or lost lines (a sentence with the file and the system's
    // message), set once by the writer for a failed write and once for lines dropped because
    // the disk did not keep up; taken once (empty afterwards and when there is none).
    std::wstring TakeFailure();
    // Bytes of whole lines on disk so far / bytes given but dropped (after a failure, or
    // beyond kWaitingBytes waiting).
    unsigned long long BytesWritten() const { return m_nWritten.load(); }
    unsigned long long BytesDropped() const { return m_nDropped.load(); }

protected:
    // Tests: a writer that ticks at another pace, and a smaller bound of what may wait.
    CSessionLog(unsigned long long nPartBytes, DWORD dwFlushMs, size_t nWaitingBytes);

    // The one place bytes go to the disk (writer thread): WriteFile's contract. Tests
    // override it to make a write fail part-way or stall.
    virtual bool WriteBytes(HANDLE hFile, const char* pData, DWORD cbData, DWORD& cbWritten);

private:
    static unsigned __stdcall Thread_WriteSession(void* pParam);
    void WriterLoop();
    // Writer thread: a batch cut into parts at line ends; false when a write failed (the
    // failure is then recorded).
    bool WriteBatch(const std::string& batch);
    bool WritePiece(const char* pData, size_t cbData, size_t& cbKept);
    bool NextPart();
    void Fail(const std::wstring& why, unsigned long long nLost);
    void ReportDropped();
    void CloseFile();
    // Path of part nPart (1 is the first) of the session.
    std::wstring PartPath(int nPart) const;

    const unsigned long long m_nPartBytes;
    const DWORD m_dwFlushMs;
    const size_t m_nWaitingBytes;

    // Made by the constructor, used by any thread, closed by the destructor after Stop.
    HANDLE m_hWake = nullptr;  // auto-reset: flush now, or stop
    // Owner's thread (Start, Stop); the writer only exists between the two and only reads
    // m_base, which Start sets before the writer starts.
    HANDLE m_hThread = nullptr;
    std::wstring m_base;       // folder and name without ".log": C:\...\Session-20240229-235958-b

    // Writer thread alone once it runs (Start sets them before it starts).
    HANDLE m_hFile = INVALID_HANDLE_VALUE;
    int m_nPart = 1;
    unsigned long long m_nPartSize = 0; // bytes of whole lines in the current part

    // Set by Stop (owner) and read by the writer; atomic.
    std::atomic<bool> m_bStopAsked{false};
    // Set by the writer when a write failed, read by Append without the lock; atomic.
    std::atomic<bool> m_bFailed{false};
    // Counters written by the writer (written) and by any appender (dropped); atomic.
    std::atomic<unsigned long long> m_nWritten{0};
    std::atomic<unsigned long long> m_nDropped{0};

    // Written by appenders (the lines), the writer (swap, parts, failure), the owner
    // (accepting, reset at Start); m_cs covers the group and is held for a copy or a swap only.
    mutable CCriticalSection m_cs;
    std::string m_waiting;                 // lines not yet taken by the writer
    ULONGLONG m_ullFirstWaiting = 0;       // tick of the first byte that waits
    bool m_bAccepting = false;             // between Start and Stop, until a write fails
    unsigned long long m_nOverflow = 0;    // bytes dropped beyond m_nWaitingBytes
    bool m_bOverflowReported = false;
    std::vector<std::wstring> m_parts;
    std::wstring m_failure;                // waiting to be taken
};

// UTF-16 text to UTF-8 (WideCharToMultiByte with CP_UTF8); lone surrogates become U+FFFD.
std::string ToUtf8(const std::wstring& text);
