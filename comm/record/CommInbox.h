// The one hand-over from the link's worker threads to the user-interface thread. Console
// lines go into the console's record at once, so the thread that writes them never waits
// for the window; every other event waits in a locked list. One message (WM_COMM_INBOX)
// wakes the console when something starts waiting, and is not posted again until the
// console has taken what waits. No worker ever calls into a window of the user-interface
// thread: posting this message and the notifications is all they do.
#pragma once

#include "comm/record/ConsoleRecord.h"
#include "framework/Sync.h"

#include <windows.h>

#include <atomic>
#include <string>
#include <vector>

class CCommInbox {
public:
    enum class EventType {
        QueueChanged,     // the queue of waiting commands changed
        CommandWaiting,   // a command awaits its answer: text, nValue its time-out in ms
        CommandAnswered,  // the command in flight was answered: text the answer, nValue its kind
        CommandTimedOut,  // no answer in time: text the command, nValue the ms waited
        // (these two wake nobody by themselves: the console takes them with what comes next)
        ShowError,        // an error box to show: text
        LinkLost,         // the link ended by itself: text says why, nValue its session,
                          // nCount the waiting commands it dropped
    };
    struct Event {
        EventType type;
        std::wstring text;
        int nValue;
        int nCount;
    };

    explicit CCommInbox(size_t nKeptLines = CConsoleRecord::kKeptLines) : m_record(nKeptLines) {}
    CCommInbox(const CCommInbox&) = delete;
    CCommInbox& operator=(const CCommInbox&) = delete;

    // The window that is woken (the console); none: nothing is posted, events still wait.
    // What its own thread adds wakes nobody: that thread takes it itself (CComm drains the
    // inbox after each call that may add to it, and keeps its view's timer going).
    void SetTarget(HWND hWnd);
    // Whether the console's view timer runs: lines added meanwhile need no wake-up, the next
    // tick takes them. Set by the user-interface thread.
    void SetViewTicking(bool bTicking) { m_bViewTicking.store(bTicking); }
    // The view took the record's lines (user-interface thread). A ticking view that has not
    // for kViewOverdueMs is woken by the next line as if it did not tick: a stream of posted
    // messages (the reports of a frame flood) comes before timers, and would starve it.
    void MarkViewShown() { m_ullViewShownMs.store(::GetTickCount64()); }
    bool ViewOverdue() const { return ::GetTickCount64() - m_ullViewShownMs.load() >= kViewOverdueMs; }
    static constexpr ULONGLONG kViewOverdueMs = 100;

    // A console line from any thread: traced to the diagnostic log and kept in the record.
    // An answer carries its round-trip time, a command that waited its wait (µs, or -1).
    void WriteLine(int nKind, const wchar_t* lpText, long long llRoundTripUs = -1, long long llQueuedUs = -1);
    // A console line from any thread that the record does not keep (loose text beyond the
    // data gate's rate): traced to the diagnostic log and given to the session record like
    // any other, numbered in its place, but neither held in memory nor shown.
    void PassLine(int nKind, const wchar_t* lpText);
    void Post(EventType type, const wchar_t* lpText = L"", int nValue = 0, int nCount = 0);

    // User-interface thread: the events waiting, oldest first. A wake-up is posted again for
    // whatever comes after this.
    std::vector<Event> TakeEvents();
    // User-interface thread: whether lines came since the last call.
    bool TakeLinesWaiting() { return m_bLinesWaiting.exchange(false); }
    bool LinesWaiting() const { return m_bLinesWaiting.load(); }

    CConsoleRecord& Record() { return m_record; }
    const CConsoleRecord& Record() const { return m_record; }

private:
    static void Trace(int nKind, const wchar_t* lpText);
    void Wake();

    CConsoleRecord m_record;
    // Written by the user-interface thread (the target, whether the view ticks and when it
    // last took the record's lines), read by any thread that adds a line; atomic, no lock.
    std::atomic<HWND> m_hTarget{nullptr};
    std::atomic<DWORD> m_dwTargetThread{0};
    std::atomic<bool> m_bViewTicking{false};
    std::atomic<ULONGLONG> m_ullViewShownMs{0};
    // Set by the thread that adds the first line after the console looked; cleared by it.
    std::atomic<bool> m_bLinesWaiting{false};

    // Written by any thread, taken by the user-interface thread; m_cs covers the group.
    mutable CCriticalSection m_cs;
    std::vector<Event> m_events;
    bool m_bQueueChangeWaiting = false; // one QueueChanged waits at most: it says "look again"
    bool m_bWakePosted = false;         // WM_COMM_INBOX is on its way
};
