#include "comm/record/CommInbox.h"

#include "messages.h"
#include "storage/DebugLog.h"

void CCommInbox::Trace(int nKind, const wchar_t* lpText)
{
    // Every console line reaches the diagnostic log too, under the name of the console's
    // writer, whichever thread wrote it.
    static const wchar_t kFunction[] = L"CComm::LogWrite";
    switch (nKind) {
    case LOG_KIND_SEND:
        DebugLog(kFunction, __LINE__, TAG_COM_S, L"%s", lpText);
        break;
    case LOG_KIND_RECV:
        DebugLog(kFunction, __LINE__, TAG_COM_R, L"%s", lpText);
        break;
    case LOG_KIND_DATA:
        DebugLog(kFunction, __LINE__, TAG_DAT_A, L"%s", lpText);
        break;
    default:
        break;
    }
}

void CCommInbox::WriteLine(int nKind, const wchar_t* lpText, long long llRoundTripUs, long long llQueuedUs)
{
    Trace(nKind, lpText);
    m_record.Append(nKind, lpText, llRoundTripUs, llQueuedUs);
    const bool bFirst = !m_bLinesWaiting.exchange(true);
    if (m_bViewTicking.load() ? ViewOverdue() : bFirst)
        Wake();
}

void CCommInbox::PassLine(int nKind, const wchar_t* lpText)
{
    // Nobody is woken: there is nothing new to show.
    Trace(nKind, lpText);
    m_record.AppendUnkept(nKind, lpText);
}

void CCommInbox::SetTarget(HWND hWnd)
{
    m_dwTargetThread.store(hWnd != nullptr ? ::GetWindowThreadProcessId(hWnd, nullptr) : 0);
    m_hTarget.store(hWnd);
}

void CCommInbox::Post(EventType type, const wchar_t* lpText, int nValue, int nCount)
{
    {
        CSingleLock lock(m_cs);
        if (type == EventType::QueueChanged) {
            if (m_bQueueChangeWaiting)
                return;
            m_bQueueChangeWaiting = true;
        }
        m_events.push_back(Event{type, lpText != nullptr ? lpText : L"", nValue, nCount});
    }
    if (type != EventType::CommandAnswered && type != EventType::CommandTimedOut)
        Wake();
}

void CCommInbox::Wake()
{
    HWND hTarget = m_hTarget.load();
    if (hTarget == nullptr || ::GetCurrentThreadId() == m_dwTargetThread.load())
        return;
    CSingleLock lock(m_cs);
    if (m_bWakePosted)
        return;
    // Posting does not wait for the window; a message that cannot be posted (the window has
    // gone, its queue is full) is tried again by the next line or event.
    m_bWakePosted = ::PostMessageW(hTarget, WM_COMM_INBOX, 0, 0) != FALSE;
}

std::vector<CCommInbox::Event> CCommInbox::TakeEvents()
{
    std::vector<Event> events;
    CSingleLock lock(m_cs);
    events.swap(m_events);
    m_bQueueChangeWaiting = false;
    m_bWakePosted = false;
    return events;
}
