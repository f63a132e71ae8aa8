// The session record: every console line of one link session, appended as UTF-8 text to
// Session-YYYYMMDD-HHMMSS.log (local time of the open) in a folder the caller names. Lines
// are handed over under a short lock and written by the record's own thread, never by the
// thread that gives them (the user-interface or the receive thread), so no caller ever
// waits for the disk.
//
// The writer makes the folder and the file itself: Start only prepares and starts it. Lines
// given before the file exists wait for it. A folder or file that cannot be made stops the
// record as a failed write does.
//
// The writer writes what waits at the latest 100 ms after its first byte came, and at once
// when asked (an answer, a time-out, a link close): a process killed at any moment loses at
// most the last 100 ms. Each write is given whole lines only, so the file never ends in half
// a line. A part that would grow past its size goes on in the next numbered part (-2.log,
// -3.log, ...), always after a whole line. A name already taken (two opens within one
// second) gets -b, -c, ... before .log: an earlier record is never appended to or replaced.
//
// A write that fails stops the record: the reason is kept for the console to take once, and
// everything given afterwards is dropped and counted, without a lock. A disk that does not
// keep up is not waited for either: beyond kWaitingBytes waiting, new lines are dropped and
// counted, and that too is reported once.
//
// Life of the writer: one thread per Start. Stop asks it to write what waits and end, and
// waits for that at most kStopWaitMs. A writer still held by the disk then (a LogFolder on a
// network share that dropped holds WriteFile or CreateDirectory for minutes) is left to
// finish on its own: everything it uses (file, waiting lines, wake event, write hook) is in a
// state it shares with the record and frees when the last of the two lets go, so the record
// may be destroyed, or started again, while the old writer is still held.
//
// Start and Stop belong to the owner's thread (the user-interface thread); Append and
// FlushSoon to any thread; the other calls to any thread.
#pragma once

#include "framework/Sync.h"

#include <windows.h>

#include <functional>
#include <memory>
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
    // How long Stop (and the destructor) wait for the writer to finish before leaving it to
    // finish on its own: the user-interface thread is never held longer by a disk.
    static constexpr DWORD kStopWaitMs = 2000;

    // The one place bytes go to the disk (writer thread), with WriteFile's contract: true
    // when the call succeeded, cbWritten the bytes that went, the reason in the thread's last
    // error when it failed. Tests give one that fails part-way or stalls; it is owned by the
    // writer's state and may be called after the record was destroyed.
    using WriteHook = std::function<bool(HANDLE hFile, const char* pData, DWORD cbData, DWORD& cbWritten)>;

    explicit CSessionLog(unsigned long long nPartBytes = kPartBytes);
    // Stops, waiting for the writer at most kStopWaitMs.
    ~CSessionLog();
    CSessionLog(const CSessionLog&) = delete;
    CSessionLog& operator=(const CSessionLog&) = delete;

    // Owner's thread. Stops a record still running from an earlier Start (at most
    // kStopWaitMs), then prepares the new one and starts its writer, touching no disk: the
    // writer creates the folder (and its parents) when missing and the first file named from
    // stOpenedLocal. True when the writer started; a folder or file it cannot make is told
    // later through TakeFailure. False, with the reason in error, only for what Start sees
    // itself: no folder named, no writer thread; then nothing runs and Append does nothing.
    bool Start(const std::wstring& folder, const SYSTEMTIME& stOpenedLocal, std::wstring& error);
    // Any thread: whole lines (each ending in "\r\n"), already UTF-8. Never blocks on the disk:
    // appends to a buffer under a short lock and returns.
    void Append(const std::string& utf8Lines);
    // Any thread: the writer writes what waits now instead of at its next tick.
    void FlushSoon();
    // Owner's thread: asks the writer to write everything given so far, close the file and
    // end, and waits for that at most kStopWaitMs. A writer that has not ended by then is left
    // to finish on its own, and the record says so once through TakeFailure. Safe to call
    // twice and when Start failed.
    void Stop();
    // Started, not stopped, and no write (nor the making of the folder or file) has failed.
    bool IsRunning() const;
    // The file being written (the current part) once the writer has made it; empty when none
    // (before that, after Stop or a failure). This is the true name.
    std::wstring Path() const;
    // The name the first part will have, known as soon as Start returned, without waiting
    // for the writer: the folder and the time of the open. When that name is taken (two opens
    // within one second) the writer chooses -b, -c, ... and Path() then differs from it.
    // Empty before Start.
    std::wstring FirstPartPath() const;
    // All parts written in this session, first first (empty until the first file exists).
    std::vector<std::wstring> Parts() const;
    // The reason the record stopped or lost lines (a sentence with the folder or file and the
    // system's message), set once for a failure to make the folder, the file or a write, once
    // for lines dropped because the disk did not keep up, and once by Stop for a writer left
    // unfinished; taken once (empty afterwards and when there is none).
    std::wstring TakeFailure();
    // Owner's thread, before Start: the folder is kept within this many bytes of session
    // records (0: no limit). When a record's first or next part is made, the writer removes
    // the oldest session records of the folder (never a part of the running one) until the
    // folder is within the limit again.
    void SetFolderLimit(unsigned long long nBytes) { m_nFolderLimit = nBytes; }
    // What the writer removed to keep the folder within its limit (a sentence), set the first
    // time it removed something in this record; taken once.
    std::wstring TakeNotice();
    // Bytes of whole lines on disk so far / bytes given but dropped (after a failure, or
    // beyond kWaitingBytes waiting).
    unsigned long long BytesWritten() const;
    unsigned long long BytesDropped() const;

protected:
    // Tests: a writer that ticks at another pace, a smaller bound of what may wait, and a
    // write hook of their own (empty: WriteFile).
    CSessionLog(unsigned long long nPartBytes, DWORD dwFlushMs, size_t nWaitingBytes, WriteHook writeHook = WriteHook());

private:
    // Everything one writer uses; defined with the writer.
    struct Shared;

    std::shared_ptr<Shared> Current() const;

    // Made by the constructor, read-only afterwards; each Start copies them into the writer's
    // state.
    const unsigned long long m_nPartBytes;
    const DWORD m_dwFlushMs;
    const size_t m_nWaitingBytes;
    const WriteHook m_writeHook;
    // Owner's thread; each Start copies it into the writer's state.
    unsigned long long m_nFolderLimit = 0;

    // The state of the latest Start: replaced by Start (owner's thread), read by every call.
    // m_csShared covers the pointer only and is held for a copy of it; the state has its own
    // lock for what it holds.
    mutable CCriticalSection m_csShared;
    std::shared_ptr<Shared> m_pShared;
};

// UTF-16 text to UTF-8 (WideCharToMultiByte with CP_UTF8); lone surrogates become U+FFFD.
std::string ToUtf8(const std::wstring& text);
