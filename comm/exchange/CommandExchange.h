// The command exchange of the link manager: the one record of the command in flight, the
// queue of commands waiting for its answer, the outbox of bytes for the link, and the two
// threads that serve them. The dispatcher (Thread_WaitComm) is the link's only writer: it
// writes what the outbox holds, reports answers to the windows that sent the commands and
// sends what waits in the queue. The watchdog (Thread_WatchTimeOut) waits for the deadline of
// the command in flight and turns a missing answer into a time-out. The exchange knows the
// link it writes to and the inbox it reports to, not the console. Owned by the link manager.
//
// Locks: m_cs covers the command in flight, the answers to report, the queue, the outbox
// and the write under way; m_csWrite is held around each write to the link and nothing else;
// m_csHold orders the two lines about a unit that holds the line (taken by the watchdog and
// the dispatcher, with the record's lock inside it and nothing else). Otherwise no lock is
// held while another is taken, while writing, or while waiting: the inbox, the link and the
// notifications are reached only after m_cs is released.
//
// Writes have no time bound: a unit may hold XOFF (or its TCP window) for as long as an
// exposure takes. A write ends when its bytes have gone, or when the link is closed or lost
// (CLink::Wake). One that has waited kHoldShownAfterMs is told in the console, and so is its
// end.
#pragma once

#include "comm/protocol/Clock.h"
#include "comm/record/CommInbox.h"
#include "comm/exchange/CommandQueue.h"
#include "comm/protocol/Frame.h"
#include "comm/protocol/Notify.h"
#include "comm/protocol/RecvKind.h"
#include "framework/Sync.h"

#include <windows.h>

#include <atomic>
#include <climits>
#include <deque>
#include <map>
#include <string>
#include <vector>

class CLink;

unsigned int WINAPI Thread_WaitComm(void* pParam);
unsigned int WINAPI Thread_WatchTimeOut(void* pParam);

// A notification posted once some bytes have left: the report of an SLP frame follows its
// echo onto the wire.
struct PostedNotice {
    HWND hWnd = nullptr;
    UINT message = 0;
    std::wstring text;
    int nKind = 0;
    CNotifyFlowRef flow;   // the reports of the unit's frames count on their link's flow
};

class CCommandExchange {
public:
    CCommandExchange(CCommInbox& inbox, IClock& clock);
    ~CCommandExchange();
    CCommandExchange(const CCommandExchange&) = delete;
    CCommandExchange& operator=(const CCommandExchange&) = delete;

    // --- The link's life (user-interface thread, but MarkClosed and MarkLost: any thread).
    // Marks the link open with nothing in flight or waiting, and starts the dispatcher and the
    // watchdog. False, with the link marked closed again, when a thread cannot be started.
    bool Start(CLink& link);
    // Marks the link closed, forgets what waits, and wakes both threads and the link's
    // receive thread and writer. True when this call closed it.
    // pnDropped, when given, takes the number of commands that were waiting (see
    // WaitingCommands).
    bool MarkClosed(int* pnDropped = nullptr);
    // The link ended by itself: marked closed, and the console told why and how many waiting
    // commands went with it (by the first only).
    void MarkLost(const wchar_t* lpWhy);
    // Commands given and not done: those in the queue, the one awaiting its answer, and those
    // not yet written.
    int WaitingCommands() const;
    // Waits for both threads to end; true when they have (only then may the link go).
    bool Join(DWORD dwTimeoutMs);
    // Forgets the link, once both threads have ended; a close on another thread that is
    // waking the link at this moment is waited for.
    void Detach();
    int RunningThreads() const;

    bool IsConnected() const { return m_bConnected.load() != 0; }
    // Counts the links started; a LinkLost event carries the one it is about.
    int Session() const { return m_nSession.load(); }
    // Nothing in flight, nothing waiting, nothing on its way to the link or to a window: every
    // answer of what was sent has been posted.
    bool IsReady() const;
    int QueueCount() const;

    // --- Commands (any thread).
    // Sends the frame text now (bDirect, or nothing in flight and nothing waiting) or puts it
    // in the queue. A command of a kind other than enRECV_NONE becomes the command in
    // flight when it is sent, and hReply gets its answer or its time-out. The bytes leave on
    // the dispatcher: this never waits for the link. False when the link is closed or the
    // text does not fit a frame, or the queue is full (each with a console line that says so).
    bool Send(const wchar_t* lpText, HWND hReply, int nKind, bool bDirect);
    // The ELP echo of an SLP frame; pThen (when given) is posted once the echo has left.
    void SendEcho(const wchar_t* lpFrame, const PostedNotice* pThen);
    // Bytes as they are, without a frame around them or a console line.
    bool SendBytes(const std::string& bytes);
    // Receive thread: posts the report of a frame the unit sent by itself, after the reports
    // of earlier frames that still wait for their echo to leave: the owner hears of the
    // unit's frames in the order they came.
    void PostInOrder(const PostedNotice& notice);
    // Receive thread: true when the frame answers the command in flight; then its console
    // line (with the round-trip time) is written here, and the dispatcher reports it to the
    // command's window. A frame that answers nothing is the caller's to show.
    bool TakeAnswer(const wchar_t* lpFrame);

    // What the commands of this link came to, per command word, as console lines: sent,
    // answered, timed out, and the round trip's minimum, median, 95th percentile and maximum.
    std::vector<std::wstring> SummaryLines() const;
    // Whether a command was sent, answered or timed out since the last MarkSummaryShown.
    bool SummaryChanged() const;
    void MarkSummaryShown();
    // Empties the queue and forgets the command in flight: nothing taken from the queue
    // before leaves after (a write already under way finishes, and is not waited for).
    // Returns how many commands it dropped (see WaitingCommands).
    int ClearQueue();

    // The queue as the console lists it: the commands pushed from nFrom on that still wait.
    struct QueueState {
        unsigned long long nClears;
        unsigned long long nPopped;
        unsigned long long nPushed;
        std::vector<CommandItem> items;
    };
    QueueState GetQueueState(unsigned long long nFrom) const;

    // The program is ending: reports of frames whose echo can no longer leave are dropped at
    // the close instead of posted to windows that will not read them.
    void DropNoticesAtClose() { m_bDropNotices.store(true); }

    // Tells the watchdog to look at the deadline again (a clock moved by hand in the tests).
    void WakeWatchdog() { ::SetEvent(m_hWatchEvent); }

    static int GetAnswerTimeOut(const wchar_t* lpFrameText);
    // A write that has waited this long for the unit is shown as held ("the unit holds the
    // line"); the write itself goes on waiting.
    static constexpr DWORD kHoldShownAfterMs = 1000;
    // The longest frame text that fits the wire buffer of 260 bytes with CR, LF and the end.
    static constexpr size_t kMaxSendChars = 257;

    // The names the threads and the trace have always known. m_bConnected is 1 while the
    // link is open: written by Start (user-interface thread) and by whoever closes the link
    // (any thread, one atomic exchange); every worker tests it in each turn of its loop.
    std::atomic<unsigned char> m_bConnected{0};
    // Held by the dispatcher around each write to the link.
    CCriticalSection m_csWrite;
    // Auto-reset: wakes the dispatcher (bytes to write, an answer to report, a close).
    HANDLE m_hQueueEvent = nullptr;
    // Manual-reset: set while no answer is awaited, reset while a command awaits one.
    HANDLE m_hAnswerEvent = nullptr;

private:
    friend unsigned int WINAPI Thread_WaitComm(void* pParam);
    friend unsigned int WINAPI Thread_WatchTimeOut(void* pParam);

    // The command in flight.
    struct InFlight {
        unsigned long long nSeq = 0;  // its sequence number; every command sent gets a new one
        wchar_t szText[kFrameTextChars] = {};
        int nKind = enRECV_NONE;
        HWND hReply = nullptr;
        int nTimeOutMs = 0;
        long long llWriteUs = 0;      // when its write began; 0 until then
        long long llSentUs = 0;       // when its last byte left; 0 until then
        long long llDeadlineUs = 0;   // 0 until armed (when it has left)
        bool bAwaiting = false;
        bool bSentShown = false;      // its sent line (or the word that it was not sent) is written
    };
    // An answer matched to its command, for the dispatcher to report.
    struct Answer {
        std::wstring text;
        int nKind;
        HWND hReply;
    };
    // Bytes waiting for the dispatcher to write them.
    struct OutItem {
        std::string bytes;
        std::wstring consoleText;      // shown as a sent line when the bytes leave; empty: none
        unsigned long long nSeq = 0;   // the command in flight these bytes carry, or 0
        int nTimeOutMs = 0;            // and its time-out
        long long llQueuedUs = -1;     // when it entered the queue, if it waited there
        bool bKeepOnClear = false;     // echoes answer the unit: a Clear does not stop them
        PostedNotice then;
    };
    // What the dispatcher does next.
    struct Step {
        enum class Type { Report, Write, QueueMoved } type = Type::Report;
        Answer answer{};
        OutItem item;
        std::wstring waitingText;      // QueueMoved: the queued command now in flight, if any
        int nWaitingTimeOutMs = 0;
    };
    struct Expired {
        std::wstring text;
        HWND hReply = nullptr;
        int nWaitedMs = 0;
    };
    // A write the watchdog found waiting for the unit kHoldShownAfterMs or longer.
    struct HeldWrite {
        unsigned long long nWrite = 0;  // 0: none
        SYSTEMTIME stSince{};
        bool bCommand = false;          // it carries a command not counted by WaitingCommands
    };
    // An answer that came while its command's write was still being noted as done: its line
    // follows the command's sent line, written by the dispatcher.
    struct DeferredAnswer {
        Answer answer{};
        long long llRoundTripUs = -1;
        unsigned long long nSeq = 0;    // the command it answers
        bool bWaiting = false;
    };

    static OutItem MakeOutItem(const wchar_t* lpText, bool bShown);
    // m_cs held: puts an item into the outbox.
    void PushOut(OutItem&& item);
    // m_cs held: empties the outbox, keeping the notices of what it held for posting.
    void DropOutbox(bool bKeepEchoes, std::vector<PostedNotice>& notices);
    int WaitingCommandsLocked() const; // m_cs held
    void PostAll(const std::vector<PostedNotice>& notices);
    // m_cs held: makes the command the one in flight; returns its time-out.
    int Arm(const wchar_t* lpText, HWND hReply, int nKind, OutItem& item);
    // Outside m_cs: the console's waiting fields show a command now in flight.
    void Announce(const wchar_t* lpText, int nTimeOutMs);
    // Dispatcher: takes the next thing to do; false when nothing is left.
    bool NextStep(Step& step);
    void WriteOut(OutItem& item);
    // Watchdog: true when the command in flight whose deadline the last wait was for is
    // past it (then taken out of flight); otherwise how long to wait next. held names a
    // write that has waited kHoldShownAfterMs for the unit and is not shown yet.
    bool CheckDeadline(unsigned long long& nArmedSeq, DWORD& dwWaitMs, Expired& expired, HeldWrite& held);
    // Watchdog: the console line that the unit holds the line, unless the write has ended.
    void ShowHold(const HeldWrite& held);
    // The link's name for the console's lines.
    std::wstring LinkName() const;

    CCommInbox& m_inbox;
    IClock& m_clock;
    // Set by Start before the threads run and cleared by Detach after they ended (user-
    // interface thread, under m_csLink); the dispatcher uses it between the two without the
    // lock, a closer on any thread wakes it under m_csLink.
    CLink* m_pLink = nullptr;
    CCriticalSection m_csLink;
    // Auto-reset: wakes the watchdog (a deadline armed or gone, a close).
    HANDLE m_hWatchEvent = nullptr;
    // Written by Start (user-interface thread), read by any thread that loses the link.
    std::atomic<int> m_nSession{0};
    // Set once by the user-interface thread at the program's end; read by whoever closes.
    std::atomic<bool> m_bDropNotices{false};
    // User-interface thread only (Start, Join).
    HANDLE m_hDispatcher = nullptr;
    HANDLE m_hWatchdog = nullptr;

    // What the commands of one link came to, per command word.
    struct WordStats {
        unsigned long nSent = 0;
        unsigned long nAnswered = 0;
        unsigned long nTimedOut = 0;
        std::vector<long long> roundTripsUs;
    };
    // m_cs held: the statistics of the word of a command text.
    WordStats& StatsOf(const wchar_t* lpCommand);

    // Covered by m_cs; written by any thread that sends, answers, clears or closes.
    mutable CCriticalSection m_cs;
    std::map<std::wstring, WordStats> m_stats; // this link's commands, by word
    bool m_bStatsChanged = false;
    bool m_bAnswerPending = false;     // an answer is taken and its line not yet written
    InFlight m_flight;
    std::deque<Answer> m_answers;
    CCommandQueue m_queue;
    std::deque<OutItem> m_outbox;
    unsigned long long m_nSeq = 0;
    bool m_bBusy = false;              // the dispatcher is doing a step it took (a write, a report)
    bool m_bExpiring = false;          // the watchdog is reporting a time-out and ending the link
    int m_nNoticesWaiting = 0;         // outbox items whose notice is not posted yet
    // When the watchdog's current wait ends (LLONG_MAX: it waits for a wake-up): a deadline
    // armed later than that needs no wake-up, the watchdog looks again when its wait ends.
    long long m_llWatchUntilUs = LLONG_MAX;
    DeferredAnswer m_deferred;         // set by the receive thread, taken by the dispatcher
    // The write under way: set by the dispatcher as it begins and cleared as it ends, looked
    // at by the watchdog.
    unsigned long long m_nWrite = 0;   // counts the writes of this object; the latest one
    long long m_llWriteSinceUs = 0;    // when the write under way began; 0: none under way
    SYSTEMTIME m_stWriteSince{};       // the same on the engineer's clock
    bool m_bWriteIsCommand = false;    // it carries a command no answer is awaited for
    unsigned long long m_nHoldTaken = 0; // the write the watchdog has taken up to show held

    // Covered by m_csHold; written by the dispatcher (the write going) and the watchdog (the
    // write shown held).
    CCriticalSection m_csHold;
    unsigned long long m_nWriteGoing = 0; // the write under way; 0: none
    unsigned long long m_nHoldShown = 0;  // the write whose hold line is written
};
