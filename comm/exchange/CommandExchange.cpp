#include "comm/exchange/CommandExchange.h"

#include "comm/link/Link.h"
#include "comm/protocol/Notify.h"
#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <process.h>

#include <algorithm>

#include <cwchar>

namespace {
struct WordTimeOut {
    const wchar_t* lpWord;
    int nTimeOutMs;
};

// Answer time-outs of the command words that take longer than the usual 3 s.
constexpr WordTimeOut kWordTimeOuts[] = {
    {L"ARCT", 90000}, {L"PANO", 90000}, {L"CEPH", 90000}, {L"RET_", 90000}, {L"XRFV", 90000},
    {L"XLFV", 90000}, {L"YTFV", 90000}, {L"YBFV", 90000}, {L"COLM", 90000}, {L"ERDY", 5000},
};
constexpr int kDefaultTimeOutMs = 3000;

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return _wcsicmp(a, b) == 0;
}
} // namespace

CCommandExchange::CCommandExchange(CCommInbox& inbox, IClock& clock) : m_inbox(inbox), m_clock(clock)
{
    m_hQueueEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_hAnswerEvent = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
    m_hWatchEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

CCommandExchange::~CCommandExchange()
{
    // The owner ends the link first; whatever still runs is stopped here, because no thread
    // may outlive the object it works on.
    MarkClosed();
    while (!Join(30000))
        LOG_ERROR(L"Still waiting for the dispatcher and the watchdog to end");
    for (HANDLE hEvent : {m_hQueueEvent, m_hAnswerEvent, m_hWatchEvent}) {
        if (hEvent != nullptr)
            ::CloseHandle(hEvent);
    }
}

int CCommandExchange::GetAnswerTimeOut(const wchar_t* lpFrameText)
{
    if (lpFrameText == nullptr || lpFrameText[0] == L'\0')
        return kDefaultTimeOutMs;
    wchar_t szWord[5] = {};
    SplitFrame(lpFrameText, nullptr, szWord, nullptr);
    for (const WordTimeOut& entry : kWordTimeOuts) {
        if (SameText(szWord, entry.lpWord))
            return entry.nTimeOutMs;
    }
    return kDefaultTimeOutMs;
}

// ---------------------------------------------------------------------------------------
// The link's life

bool CCommandExchange::Start(CLink& link)
{
    if (m_hQueueEvent == nullptr || m_hAnswerEvent == nullptr || m_hWatchEvent == nullptr)
        return false;
    {
        CSingleLock lock(m_csLink);
        m_pLink = &link;
    }
    ++m_nSession;
    {
        CSingleLock lock(m_cs);
        m_flight = InFlight{};
        m_answers.clear();
        m_queue.Clear();
        m_outbox.clear();
        m_nNoticesWaiting = 0;
        m_bBusy = false;
        m_bExpiring = false;
        m_bAnswerPending = false;
        m_deferred = DeferredAnswer{};
        m_llWatchUntilUs = LLONG_MAX;
        m_llWriteSinceUs = 0;
        // The summary covers one link.
        m_stats.clear();
        m_bStatsChanged = false;
    }
    ::ResetEvent(m_hQueueEvent);
    ::ResetEvent(m_hWatchEvent);
    ::SetEvent(m_hAnswerEvent);
    m_bConnected.store(1);
    m_hDispatcher = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Thread_WaitComm, this, 0, nullptr));
    m_hWatchdog = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Thread_WatchTimeOut, this, 0, nullptr));
    if (m_hDispatcher == nullptr || m_hWatchdog == nullptr) {
        MarkClosed();
        return false;
    }
    return true;
}

bool CCommandExchange::MarkClosed(int* pnDropped)
{
    // Testing and clearing the flag is one step: of two closes at once only one proceeds.
    const bool bWasOpen = m_bConnected.exchange(0) != 0;
    std::vector<PostedNotice> notices;
    {
        CSingleLock lock(m_cs);
        if (pnDropped != nullptr)
            *pnDropped = WaitingCommandsLocked();
        m_flight.bAwaiting = false;
        m_bExpiring = false;
        m_answers.clear();
        m_queue.Clear();
        DropOutbox(false, notices);
    }
    // Frames the unit sent are reported even when their echo can no longer leave.
    PostAll(notices);
    for (HANDLE hEvent : {m_hAnswerEvent, m_hQueueEvent, m_hWatchEvent}) {
        if (hEvent != nullptr)
            ::SetEvent(hEvent);
    }
    {
        // Detach waits for this: the link is never woken after it went.
        CSingleLock lock(m_csLink);
        if (m_pLink != nullptr)
            m_pLink->Wake();
    }
    if (bWasOpen)
        m_inbox.Post(CCommInbox::EventType::QueueChanged);
    return bWasOpen;
}

void CCommandExchange::Detach()
{
    CSingleLock lock(m_csLink);
    m_pLink = nullptr;
}

void CCommandExchange::MarkLost(const wchar_t* lpWhy)
{
    // The session number lets the console tell this link from one opened after it.
    const int nSession = m_nSession.load();
    int nDropped = 0;
    if (MarkClosed(&nDropped))
        m_inbox.Post(CCommInbox::EventType::LinkLost, lpWhy, nSession, nDropped);
}

int CCommandExchange::WaitingCommands() const
{
    CSingleLock lock(m_cs);
    return WaitingCommandsLocked();
}

int CCommandExchange::WaitingCommandsLocked() const
{
    // The queue, the command awaiting its answer, and commands without an answer to await
    // that have not left yet (echoes and raw bytes are no commands).
    int nWaiting = m_queue.Count() + (m_flight.bAwaiting ? 1 : 0);
    for (const OutItem& item : m_outbox) {
        if (item.nSeq == 0 && !item.bKeepOnClear && !item.consoleText.empty())
            ++nWaiting;
    }
    return nWaiting;
}

bool CCommandExchange::Join(DWORD dwTimeoutMs)
{
    const ULONGLONG ullDeadline = ::GetTickCount64() + dwTimeoutMs;
    for (HANDLE* pThread : {&m_hDispatcher, &m_hWatchdog}) {
        if (*pThread == nullptr)
            continue;
        const ULONGLONG ullNow = ::GetTickCount64();
        const DWORD dwLeft = ullNow >= ullDeadline ? 0 : static_cast<DWORD>(ullDeadline - ullNow);
        if (::WaitForSingleObject(*pThread, dwLeft) != WAIT_OBJECT_0)
            return false;
        ::CloseHandle(*pThread);
        *pThread = nullptr;
    }
    return true;
}

int CCommandExchange::RunningThreads() const
{
    int nRunning = 0;
    for (HANDLE hThread : {m_hDispatcher, m_hWatchdog}) {
        if (hThread != nullptr && ::WaitForSingleObject(hThread, 0) == WAIT_TIMEOUT)
            ++nRunning;
    }
    return nRunning;
}

bool CCommandExchange::IsReady() const
{
    CSingleLock lock(m_cs);
    return !m_flight.bAwaiting && !m_bAnswerPending && m_queue.Count() == 0 && m_outbox.empty() && m_answers.empty() &&
           !m_bBusy && !m_bExpiring;
}

int CCommandExchange::QueueCount() const
{
    CSingleLock lock(m_cs);
    return m_queue.Count();
}

CCommandExchange::QueueState CCommandExchange::GetQueueState(unsigned long long nFrom) const
{
    CSingleLock lock(m_cs);
    QueueState state{m_queue.Clears(), m_queue.Popped(), m_queue.Pushed(), {}};
    for (unsigned long long n = nFrom > state.nPopped ? nFrom : state.nPopped; n < state.nPushed; ++n)
        state.items.push_back(m_queue.Item(n));
    return state;
}

// ---------------------------------------------------------------------------------------
// Commands

CCommandExchange::OutItem CCommandExchange::MakeOutItem(const wchar_t* lpText, bool bShown)
{
    OutItem item;
    // The frame text, CR and LF, in the system's code page: one byte a character.
    std::wstring line = lpText;
    line += L"\r\n";
    std::vector<char> bytes(2 * line.size() + 2, '\0');
    CUtilityTools::ToNarrow(line.c_str(), bytes.data(), bytes.size());
    item.bytes = bytes.data();
    if (bShown)
        item.consoleText = lpText;
    return item;
}

void CCommandExchange::PushOut(OutItem&& item)
{
    if (item.then.hWnd != nullptr)
        ++m_nNoticesWaiting;
    m_outbox.push_back(std::move(item));
}

void CCommandExchange::DropOutbox(bool bKeepEchoes, std::vector<PostedNotice>& notices)
{
    for (auto it = m_outbox.begin(); it != m_outbox.end();) {
        if (bKeepEchoes && it->bKeepOnClear) {
            ++it;
            continue;
        }
        if (it->then.hWnd != nullptr) {
            notices.push_back(std::move(it->then));
            --m_nNoticesWaiting;
        }
        it = m_outbox.erase(it);
    }
}

void CCommandExchange::PostAll(const std::vector<PostedNotice>& notices)
{
    // At the program's end nobody would read them: thousands of posts would only delay it.
    if (m_bDropNotices.load())
        return;
    for (const PostedNotice& notice : notices)
        PostNotify(notice.hWnd, notice.message, notice.text.c_str(), notice.nKind, notice.flow.Get());
}

int CCommandExchange::Arm(const wchar_t* lpText, HWND hReply, int nKind, OutItem& item)
{
    m_flight = InFlight{};
    m_flight.nSeq = ++m_nSeq;
    CUtilityTools::CopyText(m_flight.szText, kFrameTextChars, lpText);
    m_flight.nKind = nKind;
    m_flight.hReply = hReply;
    m_flight.nTimeOutMs = GetAnswerTimeOut(m_flight.szText);
    m_flight.bAwaiting = true;
    item.nSeq = m_flight.nSeq;
    item.nTimeOutMs = m_flight.nTimeOutMs;
    return m_flight.nTimeOutMs;
}

void CCommandExchange::Announce(const wchar_t* lpText, int nTimeOutMs)
{
    m_inbox.Post(CCommInbox::EventType::CommandWaiting, lpText, nTimeOutMs);
}

bool CCommandExchange::Send(const wchar_t* lpText, HWND hReply, int nKind, bool bDirect)
{
    if (!IsConnected() || lpText == nullptr)
        return false;
    const size_t length = wcslen(lpText);
    if (length > kMaxSendChars) {
        wchar_t szLine[128] = {};
        _snwprintf(szLine, 127, L"Command not sent: %d characters, at most %d fit a frame", static_cast<int>(length),
                   static_cast<int>(kMaxSendChars));
        m_inbox.WriteLine(LOG_KIND_DATA, szLine);
        return false;
    }

    OutItem item = MakeOutItem(lpText, true);
    bool bSendNow = false;
    bool bQueued = false;
    int nTimeOutMs = 0;
    {
        // The decision, the queue and the command in flight change together or not at all.
        CSingleLock lock(m_cs);
        bSendNow = bDirect || (m_queue.Count() == 0 && !m_flight.bAwaiting);
        if (!bSendNow) {
            CommandItem waiting{};
            CUtilityTools::CopyText(waiting.szCommand, kFrameTextChars, lpText);
            waiting.nRecvKind = nKind;
            waiting.hReplyWnd = hReply;
            waiting.llQueuedUs = m_clock.NowMicros();
            bQueued = m_queue.Push(waiting);
        } else {
            // In flight from now, before its bytes leave: an answer that comes back at once
            // still finds it.
            if (nKind != enRECV_NONE)
                nTimeOutMs = Arm(lpText, hReply, nKind, item);
            PushOut(std::move(item));
        }
    }
    if (!bSendNow) {
        if (!bQueued) {
            // A full queue refuses the command, and says so: it is not lost without a word.
            wchar_t szLine[kFrameTextChars + 96] = {};
            _snwprintf(szLine, kFrameTextChars + 95, L"Queue is full: %s not sent (%d commands wait)", lpText,
                       CCommandQueue::kSlots - 1);
            m_inbox.WriteLine(LOG_KIND_DATA, szLine);
            return false;
        }
        m_inbox.Post(CCommInbox::EventType::QueueChanged);
        return true;
    }
    if (nKind != enRECV_NONE)
        Announce(lpText, nTimeOutMs);
    ::SetEvent(m_hQueueEvent);
    return true;
}

void CCommandExchange::SendEcho(const wchar_t* lpFrame, const PostedNotice* pThen)
{
    wchar_t szClass[4] = {};
    wchar_t szWord[5] = {};
    SplitFrame(lpFrame, szClass, szWord, nullptr);
    szClass[0] = L'E';
    // The echo carries its own line end and gets one more as every frame does: the unit has
    // always seen it so.
    wchar_t szEcho[64] = {};
    _snwprintf(szEcho, 63, L"[%s_%s_%s]%c%c", szClass, szWord, L"001", L'\r', L'\n');
    OutItem item = MakeOutItem(szEcho, true);
    item.bKeepOnClear = true;
    if (pThen != nullptr)
        item.then = *pThen;
    {
        CSingleLock lock(m_cs);
        if (IsConnected()) {
            PushOut(std::move(item));
            ::SetEvent(m_hQueueEvent);
            return;
        }
    }
    // No link to echo on: the frame is still reported.
    if (pThen != nullptr)
        PostNotify(pThen->hWnd, pThen->message, pThen->text.c_str(), pThen->nKind, pThen->flow.Get());
}

bool CCommandExchange::SendBytes(const std::string& bytes)
{
    OutItem item;
    item.bytes = bytes;
    {
        CSingleLock lock(m_cs);
        if (!IsConnected())
            return false;
        PushOut(std::move(item));
    }
    ::SetEvent(m_hQueueEvent);
    return true;
}

void CCommandExchange::PostInOrder(const PostedNotice& notice)
{
    {
        CSingleLock lock(m_cs);
        if (m_nNoticesWaiting > 0 && IsConnected()) {
            OutItem item;
            item.bKeepOnClear = true;
            item.then = notice;
            PushOut(std::move(item));
            ::SetEvent(m_hQueueEvent);
            return;
        }
    }
    // Nothing earlier waits (echoes are queued by this same thread): it goes at once.
    PostNotify(notice.hWnd, notice.message, notice.text.c_str(), notice.nKind, notice.flow.Get());
}

bool CCommandExchange::TakeAnswer(const wchar_t* lpFrame)
{
    wchar_t szClass[4] = {};
    wchar_t szWord[5] = {};
    SplitFrame(lpFrame, szClass, szWord, nullptr);
    if (!SameText(szClass, L"EPM") && !SameText(szClass, L"EPL"))
        return false;
    Answer answer{};
    long long llRoundTripUs = -1;
    {
        CSingleLock lock(m_cs);
        wchar_t szSentWord[5] = {};
        SplitFrame(m_flight.szText, nullptr, szSentWord, nullptr);
        if (!m_flight.bAwaiting || m_flight.nKind == enRECV_NONE || !SameText(szWord, szSentWord))
            return false;
        // Answered once, with the kind and the window the command was sent with. The round
        // trip runs from its last byte leaving (from its write's start when the answer beat
        // the writer's note of the end).
        m_flight.bAwaiting = false;
        m_bAnswerPending = true;
        const long long llFrom = m_flight.llSentUs != 0 ? m_flight.llSentUs : m_flight.llWriteUs;
        if (llFrom != 0) {
            llRoundTripUs = m_clock.NowMicros() - llFrom;
            if (llRoundTripUs < 0)
                llRoundTripUs = 0;
        }
        WordStats& stats = StatsOf(m_flight.szText);
        ++stats.nAnswered;
        if (llRoundTripUs >= 0)
            stats.roundTripsUs.push_back(llRoundTripUs);
        m_bStatsChanged = true;
        answer = Answer{lpFrame, m_flight.nKind, m_flight.hReply};
        if (m_flight.llWriteUs != 0 && !m_flight.bSentShown) {
            // The command's write is just ending on the dispatcher, which has not yet written
            // its sent line: the answer's line follows that one, from the dispatcher.
            m_deferred = DeferredAnswer{std::move(answer), llRoundTripUs, m_flight.nSeq, true};
            return true;
        }
    }
    // The answer's line goes before its report, and before the next command can leave.
    m_inbox.WriteLine(LOG_KIND_RECV, lpFrame, llRoundTripUs);
    {
        CSingleLock lock(m_cs);
        m_bAnswerPending = false;
        m_answers.push_back(std::move(answer));
    }
    // The dispatcher first; the watchdog is not woken: when its wait ends it finds the
    // command answered.
    ::SetEvent(m_hQueueEvent);
    CSingleLock lock(m_cs);
    if (!m_flight.bAwaiting)
        ::SetEvent(m_hAnswerEvent);
    return true;
}

int CCommandExchange::ClearQueue()
{
    std::vector<PostedNotice> notices;
    int nDropped = 0;
    {
        CSingleLock lock(m_cs);
        nDropped = WaitingCommandsLocked();
        m_queue.Clear();
        m_flight.bAwaiting = false;
        // Commands taken from the queue but not yet written stay behind; echoes go on.
        DropOutbox(true, notices);
        ::SetEvent(m_hAnswerEvent);
    }
    PostAll(notices);
    m_inbox.Post(CCommInbox::EventType::QueueChanged);
    return nDropped;
}

// ---------------------------------------------------------------------------------------
// The summary

CCommandExchange::WordStats& CCommandExchange::StatsOf(const wchar_t* lpCommand)
{
    wchar_t szWord[5] = {};
    SplitFrame(lpCommand, nullptr, szWord, nullptr);
    std::wstring word = szWord[0] != L'\0' ? szWord : L"?";
    CharUpperBuffW(word.data(), static_cast<DWORD>(word.size()));
    return m_stats[word];
}

bool CCommandExchange::SummaryChanged() const
{
    CSingleLock lock(m_cs);
    return m_bStatsChanged;
}

void CCommandExchange::MarkSummaryShown()
{
    CSingleLock lock(m_cs);
    m_bStatsChanged = false;
}

std::vector<std::wstring> CCommandExchange::SummaryLines() const
{
    std::map<std::wstring, WordStats> stats;
    {
        CSingleLock lock(m_cs);
        stats = m_stats;
    }
    std::vector<std::wstring> lines;
    if (stats.empty()) {
        lines.push_back(L"Summary: no command sent on this link");
        return lines;
    }
    lines.push_back(L"Summary per command word: sent, answered, timed out; round trip min / median / 95% / max");
    const auto ms = [](long long llUs) { return static_cast<double>(llUs) / 1000.0; };
    for (auto& [word, s] : stats) {
        wchar_t szLine[256] = {};
        int n = _snwprintf(szLine, 255, L"  %-4s  sent %lu, answered %lu, timed out %lu", word.c_str(), s.nSent, s.nAnswered,
                           s.nTimedOut);
        std::vector<long long>& trips = s.roundTripsUs;
        if (!trips.empty() && n > 0) {
            std::sort(trips.begin(), trips.end());
            const size_t nCount = trips.size();
            const double dMedian =
                nCount % 2 == 1 ? ms(trips[nCount / 2]) : (ms(trips[nCount / 2 - 1]) + ms(trips[nCount / 2])) / 2.0;
            // The 95th percentile by nearest rank: the smallest time at least 95% of the
            // answers took no longer than.
            const size_t nRank = (95 * nCount + 99) / 100;
            _snwprintf(szLine + n, 255 - static_cast<size_t>(n), L"; round trip %.1f / %.1f / %.1f / %.1f ms", ms(trips.front()),
                       dMedian, ms(trips[nRank - 1]), ms(trips.back()));
        }
        szLine[255] = L'\0';
        lines.push_back(szLine);
    }
    return lines;
}

// ---------------------------------------------------------------------------------------
// The dispatcher

bool CCommandExchange::NextStep(Step& step)
{
    CSingleLock lock(m_cs);
    // The step taken last time is done: the dispatcher asks for the next one only then.
    m_bBusy = false;
    if (!m_answers.empty()) {
        step.type = Step::Type::Report;
        step.answer = std::move(m_answers.front());
        m_answers.pop_front();
        m_bBusy = true;
        return true;
    }
    if (!m_outbox.empty()) {
        step.type = Step::Type::Write;
        step.item = std::move(m_outbox.front());
        m_outbox.pop_front();
        m_bBusy = true;
        return true;
    }
    // An answer whose line is still being written is reported before anything moves on.
    if (m_flight.bAwaiting || m_bAnswerPending || m_queue.Count() == 0)
        return false;
    // What waits goes out in its order: commands that await no answer back to back, up to
    // and including the first one that awaits an answer, which is then in flight; later
    // commands wait for its answer.
    step.type = Step::Type::QueueMoved;
    step.waitingText.clear();
    while (m_queue.Count() > 0) {
        const CommandItem waiting = m_queue.Pop();
        OutItem item = MakeOutItem(waiting.szCommand, true);
        item.llQueuedUs = waiting.llQueuedUs;
        const bool bAwaits = waiting.nRecvKind != enRECV_NONE;
        if (bAwaits) {
            step.nWaitingTimeOutMs = Arm(waiting.szCommand, waiting.hReplyWnd, waiting.nRecvKind, item);
            step.waitingText = waiting.szCommand;
        }
        PushOut(std::move(item));
        if (bAwaits)
            break;
    }
    return true;
}

void CCommandExchange::WriteOut(OutItem& item)
{
    const long long llWriteUs = m_clock.NowMicros();
    const bool bCommand = !item.consoleText.empty() && !item.bKeepOnClear;
    const bool bBytes = !item.bytes.empty();
    unsigned long long nWrite = 0;
    bool bWakeWatchdog = false;
    {
        CSingleLock lock(m_cs);
        if (item.nSeq != 0 && m_flight.nSeq == item.nSeq)
            m_flight.llWriteUs = llWriteUs;
        if (bBytes) {
            nWrite = ++m_nWrite;
            m_llWriteSinceUs = llWriteUs;
            ::GetLocalTime(&m_stWriteSince);
            m_bWriteIsCommand = bCommand && item.nSeq == 0;
            // The watchdog looks whether the bytes have gone once they could have waited
            // kHoldShownAfterMs; it is woken only when its own wait would end later.
            bWakeWatchdog = llWriteUs + 1000LL * kHoldShownAfterMs < m_llWatchUntilUs;
        }
    }
    if (bBytes) {
        CSingleLock lock(m_csHold);
        m_nWriteGoing = nWrite;
    }
    if (bWakeWatchdog)
        ::SetEvent(m_hWatchEvent);

    // No time bound: the write ends when the bytes have gone, or when a close or a lost link
    // wakes the link.
    DWORD dwWritten = 0;
    bool bWritten = true;
    if (bBytes) {
        CSingleLock lock(m_csWrite);
        bWritten = m_pLink->Write(item.bytes.data(), static_cast<DWORD>(item.bytes.size()), INFINITE, dwWritten);
    }
    const long long llDoneUs = m_clock.NowMicros();

    // The answer's time runs from the command's last byte leaving. A command whose write
    // failed is armed as well: its missing answer is what reports it.
    bool bArmed = false;
    DeferredAnswer deferred;
    {
        CSingleLock lock(m_cs);
        m_llWriteSinceUs = 0;
        if (bWritten && bCommand) {
            ++StatsOf(item.consoleText.c_str()).nSent;
            m_bStatsChanged = true;
        }
        if (item.nSeq != 0 && m_flight.nSeq == item.nSeq) {
            if (m_flight.bAwaiting) {
                m_flight.llSentUs = llDoneUs;
                m_flight.llDeadlineUs = m_flight.llSentUs + 1000LL * m_flight.nTimeOutMs;
                bArmed = m_flight.llDeadlineUs < m_llWatchUntilUs;
                // Under the lock and only while the command still awaits its answer: an
                // answer that came before its last byte was counted leaves the event set.
                ::ResetEvent(m_hAnswerEvent);
            }
            m_flight.bSentShown = true;
        }
        // Taken even when another command is in flight by now (one sent right after the
        // answer): the answer waits for this write's line only.
        if (item.nSeq != 0 && m_deferred.bWaiting && m_deferred.nSeq == item.nSeq) {
            deferred = std::move(m_deferred);
            m_deferred = DeferredAnswer{};
        }
    }
    if (bBytes) {
        // After the line that said the unit holds the line, if the watchdog wrote one.
        CSingleLock lock(m_csHold);
        m_nWriteGoing = 0;
        if (m_nHoldShown == nWrite && bWritten) {
            wchar_t szLine[400] = {};
            _snwprintf(szLine, 399, L"%.300s: the unit let go of the line after %.1f s", LinkName().c_str(),
                       static_cast<double>(llDoneUs - llWriteUs) / 1e6);
            m_inbox.WriteLine(LOG_KIND_DATA, szLine);
        }
    }
    // The console shows a command once its bytes have left, with how long it waited in the
    // queue; bytes that did not leave are said not sent.
    if (!item.consoleText.empty() && bWritten) {
        m_inbox.WriteLine(LOG_KIND_SEND, item.consoleText.c_str(), -1,
                          item.llQueuedUs >= 0 ? llWriteUs - item.llQueuedUs : -1);
    } else if (!bWritten) {
        // The frame as the engineer knows it, without the line end an echo carries.
        std::wstring what = item.consoleText.empty() ? L"Bytes" : item.consoleText;
        while (!what.empty() && (what.back() == L'\r' || what.back() == L'\n'))
            what.pop_back();
        const wchar_t* lpWhat = what.c_str();
        const wchar_t* lpWhy = !IsConnected()                        ? L"the link was closed"
                               : m_pLink->Kind() == LinkKind::Tcp    ? L"send() failed"
                                                                     : L"the port refused the bytes";
        wchar_t szLine[kFrameTextChars + 128] = {};
        _snwprintf(szLine, kFrameTextChars + 127, L"%s not sent: %s (%lu of %lu bytes had left)", lpWhat, lpWhy, dwWritten,
                   static_cast<unsigned long>(item.bytes.size()));
        m_inbox.WriteLine(LOG_KIND_DATA, szLine);
    }
    if (deferred.bWaiting) {
        m_inbox.WriteLine(LOG_KIND_RECV, deferred.answer.text.c_str(), deferred.llRoundTripUs);
        CSingleLock lock(m_cs);
        m_bAnswerPending = false;
        m_answers.push_back(std::move(deferred.answer));
        if (!m_flight.bAwaiting)
            ::SetEvent(m_hAnswerEvent);
    }
    if (item.nSeq != 0)
        DebugLog(L"CComm::SendData", __LINE__, TAG_DAT_A, L"SendData(%s) - m_TimeOutCnt(%d sec) - ResetEvent",
                 item.consoleText.c_str(), item.nTimeOutMs / 1000);
    if (bArmed)
        ::SetEvent(m_hWatchEvent);
    if (item.then.hWnd != nullptr) {
        PostNotify(item.then.hWnd, item.then.message, item.then.text.c_str(), item.then.nKind, item.then.flow.Get());
        CSingleLock lock(m_cs);
        --m_nNoticesWaiting;
    }
    if (bWritten || !IsConnected())
        return;
    // A port that does not take the bytes is no reason to give the link up: the command's
    // missing answer is reported by the watchdog. A socket that refuses is gone.
    if (m_pLink->Kind() == LinkKind::Tcp) {
        MarkLost(L"send() failed");
        m_inbox.Post(CCommInbox::EventType::ShowError, L"send() - Fail");
    }
}

std::wstring CCommandExchange::LinkName() const
{
    const std::wstring& name = m_pLink != nullptr ? m_pLink->Name() : std::wstring();
    return name.empty() ? std::wstring(L"The link") : name;
}

void CCommandExchange::ShowHold(const HeldWrite& held)
{
    // Asked outside every lock: the port's own word on XOFF, and what waits (the held
    // command among them).
    const bool bXoff = m_pLink->PeerHoldsOutput();
    const int nWaiting = WaitingCommands() + (held.bCommand ? 1 : 0);
    wchar_t szLine[400] = {};
    _snwprintf(szLine, 399, L"%.300s: the unit holds the line since %02u:%02u:%02u.%03u; %d %s waiting%s", LinkName().c_str(),
               held.stSince.wHour, held.stSince.wMinute, held.stSince.wSecond, held.stSince.wMilliseconds, nWaiting,
               nWaiting == 1 ? L"command" : L"commands", bXoff ? L" (the port reports XOFF)" : L"");
    CSingleLock lock(m_csHold);
    // Bytes that went meanwhile were not held after all: nothing to say.
    if (m_nWriteGoing != held.nWrite)
        return;
    m_inbox.WriteLine(LOG_KIND_DATA, szLine);
    m_nHoldShown = held.nWrite;
}

unsigned int WINAPI Thread_WaitComm(void* pParam)
{
    CCommandExchange* pExchange = static_cast<CCommandExchange*>(pParam);
    if (pExchange->m_bConnected.load() == 0)
        return 0;
    CCommandExchange::Step step;
    while (pExchange->m_bConnected.load() != 0) {
        if (::WaitForSingleObject(pExchange->m_hQueueEvent, INFINITE) != WAIT_OBJECT_0) {
            pExchange->MarkLost(L"the dispatcher's wait failed");
            break;
        }
        while (pExchange->m_bConnected.load() != 0 && pExchange->NextStep(step)) {
            switch (step.type) {
            case CCommandExchange::Step::Type::Report:
                // The answer goes to the window that sent the command, as it was then.
                LOG_DATA(L"WaitForSingleObject()==WAIT_OBJECT_0");
                PostNotify(step.answer.hReply, WM_SERIAL_EPM, step.answer.text.c_str(), step.answer.nKind);
                pExchange->m_inbox.Post(CCommInbox::EventType::CommandAnswered, step.answer.text.c_str(), step.answer.nKind);
                break;
            case CCommandExchange::Step::Type::Write:
                pExchange->WriteOut(step.item);
                break;
            case CCommandExchange::Step::Type::QueueMoved:
                pExchange->m_inbox.Post(CCommInbox::EventType::QueueChanged);
                if (!step.waitingText.empty())
                    pExchange->Announce(step.waitingText.c_str(), step.nWaitingTimeOutMs);
                break;
            }
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------------------
// The watchdog

bool CCommandExchange::CheckDeadline(unsigned long long& nArmedSeq, DWORD& dwWaitMs, Expired& expired, HeldWrite& held)
{
    CSingleLock lock(m_cs);
    dwWaitMs = INFINITE;
    m_llWatchUntilUs = LLONG_MAX;
    const bool bArmed = m_flight.bAwaiting && m_flight.llDeadlineUs != 0;
    const bool bWriteToWatch = m_llWriteSinceUs != 0 && m_nHoldTaken != m_nWrite;
    if (!bArmed)
        nArmedSeq = 0;
    if (!bArmed && !bWriteToWatch)
        return false;
    // The clock is read only when there is something to judge.
    const long long llNow = m_clock.NowMicros();
    // A write still waiting for the unit after kHoldShownAfterMs is shown once; until then
    // the watchdog looks again when that time comes.
    DWORD dwHoldWaitMs = INFINITE;
    if (bWriteToWatch) {
        const long long llLeftUs = m_llWriteSinceUs + 1000LL * kHoldShownAfterMs - llNow;
        if (llLeftUs <= 0) {
            held.nWrite = m_nWrite;
            held.stSince = m_stWriteSince;
            held.bCommand = m_bWriteIsCommand;
            m_nHoldTaken = m_nWrite;
        } else {
            dwHoldWaitMs = static_cast<DWORD>((llLeftUs + 999) / 1000);
        }
    }
    if (bArmed) {
        // A time-out is declared only for the command whose deadline the last wait was for:
        // one answered meanwhile and followed by the next command is not timed out on its
        // behalf.
        if (m_flight.nSeq == nArmedSeq && llNow > m_flight.llDeadlineUs) {
            expired.text = m_flight.szText;
            expired.hReply = m_flight.hReply;
            expired.nWaitedMs = static_cast<int>((llNow - m_flight.llSentUs) / 1000);
            m_flight.bAwaiting = false;
            ++StatsOf(m_flight.szText).nTimedOut;
            m_bStatsChanged = true;
            // Not ready, but ending: the link is closed next, and until then nobody may take
            // the exchange for idle.
            m_bExpiring = true;
            ::SetEvent(m_hAnswerEvent);
            return true;
        }
        nArmedSeq = m_flight.nSeq;
        const long long llLeftUs = m_flight.llDeadlineUs - llNow;
        // An answer at the deadline itself is still in time: the time-out comes after it.
        dwWaitMs = llLeftUs <= 0 ? 1 : static_cast<DWORD>((llLeftUs + 999) / 1000);
    }
    if (dwHoldWaitMs < dwWaitMs)
        dwWaitMs = dwHoldWaitMs;
    if (dwWaitMs != INFINITE)
        m_llWatchUntilUs = llNow + 1000LL * dwWaitMs;
    return false;
}

unsigned int WINAPI Thread_WatchTimeOut(void* pParam)
{
    CCommandExchange* pExchange = static_cast<CCommandExchange*>(pParam);
    unsigned long long nArmedSeq = 0;
    while (pExchange->m_bConnected.load() != 0) {
        DWORD dwWaitMs = INFINITE;
        CCommandExchange::Expired expired;
        CCommandExchange::HeldWrite held;
        if (pExchange->CheckDeadline(nArmedSeq, dwWaitMs, expired, held)) {
            // No answer in time: the reply window hears of it and the link counts as closed.
            LOG_ERROR(L"Answer time-out : %s", expired.text.c_str());
            PostNotify(expired.hReply, WM_SERIAL_EPM, expired.text.c_str(), enRECV_TIMEOUT);
            wchar_t szLine[kFrameTextChars + 96] = {};
            _snwprintf(szLine, kFrameTextChars + 95, L"No answer to %s within %d ms", expired.text.c_str(), expired.nWaitedMs);
            pExchange->m_inbox.WriteLine(LOG_KIND_DATA, szLine);
            pExchange->m_inbox.Post(CCommInbox::EventType::CommandTimedOut, expired.text.c_str(), expired.nWaitedMs);
            pExchange->MarkLost(L"answer time-out");
            break;
        }
        if (held.nWrite != 0)
            pExchange->ShowHold(held);
        if (::WaitForSingleObject(pExchange->m_hWatchEvent, dwWaitMs) == WAIT_FAILED) {
            pExchange->MarkLost(L"the watchdog's wait failed");
            break;
        }
    }
    return 1;
}
