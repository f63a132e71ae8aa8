// Frames on the link: sending a command (at once or through the queue), the echo of an SLP
// frame, and the classification of every frame the unit sends.
#include "comm/Comm.h"

#include "comm/CommPrivate.h"
#include "resource.h"
#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

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

// The longest frame text that fits the wire buffer of 260 bytes with CR, LF and terminator.
constexpr size_t kMaxSendChars = 257;

bool SameText(const wchar_t* a, const wchar_t* b)
{
    return _wcsicmp(a, b) == 0;
}
} // namespace

int CComm::GetAnswerTimeOut(const wchar_t* lpFrameText)
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

bool CComm::SendData(const wchar_t* lpText, CWnd* pReplyWnd, int nKind, bool bDirect)
{
    if (m_bConnected.load() == 0 || lpText == nullptr)
        return false;
    const size_t length = wcsnlen(lpText, kFrameTextChars);
    if (length > kMaxSendChars) {
        LogWrite(LOG_KIND_DATA, L"Command not sent: %d characters, at most %d fit a frame", static_cast<int>(length),
                 static_cast<int>(kMaxSendChars));
        return false;
    }

    bool bSendNow = false;
    bool bQueued = false;
    int nTimeOutMs = 0;
    {
        // The decision, the queue and the wait state change together or not at all.
        CSingleLock lock(m_csState);
        bSendNow = bDirect || (m_queue.Count() == 0 && m_bReady.load() != 0);
        if (!bSendNow) {
            CommandItem item{};
            CUtilityTools::CopyText(item.szCommand, kFrameTextChars, lpText);
            item.nRecvKind = nKind;
            item.pReplyWnd = pReplyWnd;
            bQueued = m_queue.Push(item);
        } else if (nKind != enRECV_NONE) {
            // The command becomes the one in flight, armed before its bytes leave, so an
            // answer that comes back at once still finds it.
            m_nWaitKind = nKind;
            m_pReplyWnd = pReplyWnd;
            CUtilityTools::CopyText(m_szLastSend, kFrameTextChars, lpText);
            m_bAwaiting = true;
            nTimeOutMs = GetAnswerTimeOut(m_szLastSend);
            m_TimeOutCnt.store(nTimeOutMs);
            m_ullArmedAt.store(GetTickCount64());
            m_bReady.store(0);
            ResetEvent(m_hAnswerEvent);
        }
    }
    if (!bSendNow) {
        if (bQueued)
            SyncQueueView();
        return true;
    }

    LogWrite(LOG_KIND_SEND, L"%s", lpText);

    wchar_t szLine[kFrameTextChars + 2] = {};
    _snwprintf(szLine, kFrameTextChars + 1, L"%s\r\n", lpText);
    char szBytes[2 * (kFrameTextChars + 2) + 2] = {};
    CUtilityTools::ToNarrow(szLine, szBytes, sizeof(szBytes));
    const int nBytes = static_cast<int>(strlen(szBytes));
    if (m_nCommType == 0) {
        WriteSerial(reinterpret_cast<const BYTE*>(szBytes), static_cast<DWORD>(nBytes));
    } else if (!SendEthernet(szBytes, nBytes)) {
        return false;
    }

    if (nKind == enRECV_NONE)
        return true;
    ShowWaitingCommand(lpText, nTimeOutMs);
    LOG_DATA(L"SendData(%s) - m_TimeOutCnt(%d sec) - ResetEvent", lpText, nTimeOutMs / 1000);
    return true;
}

void CComm::SendEcho(const wchar_t* lpFrameText)
{
    wchar_t szClass[4] = {};
    wchar_t szWord[5] = {};
    SplitFrame(lpFrameText, szClass, szWord, nullptr);
    szClass[0] = L'E';
    wchar_t szEcho[64] = {};
    _snwprintf(szEcho, 63, L"[%s_%s_%s]%c%c", szClass, szWord, L"001", L'\r', L'\n');
    SendData(szEcho, nullptr, enRECV_NONE, true);
}

void CComm::OnReceiveFrame(const wchar_t* lpFrameText)
{
    {
        CSingleLock lock(m_csState);
        CUtilityTools::CopyText(m_szRecvFrame, kFrameTextChars, lpFrameText);
    }
    LogWrite(LOG_KIND_RECV, L"%s", lpFrameText);

    wchar_t szClass[4] = {};
    wchar_t szWord[5] = {};
    SplitFrame(lpFrameText, szClass, szWord, nullptr);

    bool bAnswer = false;
    if (SameText(szClass, L"EPM") || SameText(szClass, L"EPL")) {
        CSingleLock lock(m_csState);
        wchar_t szSentWord[5] = {};
        SplitFrame(m_szLastSend, nullptr, szSentWord, nullptr);
        if (m_bAwaiting && m_nWaitKind != enRECV_NONE && SameText(szWord, szSentWord)) {
            // The answer to the command in flight; it is reported once, with the kind and
            // the window the command was sent with.
            m_bAwaiting = false;
            m_bAnswerPending = true;
            CUtilityTools::CopyText(m_szAnswer, kFrameTextChars, lpFrameText);
            m_nAnswerKind = m_nWaitKind;
            m_pAnswerWnd = m_pReplyWnd;
            bAnswer = true;
        }
    }
    if (bAnswer) {
        SetEvent(m_hAnswerEvent);
        SetEvent(m_hQueueEvent);
        return;
    }

    HWND hOwner = m_pOwnerWnd != nullptr ? m_pOwnerWnd->m_hWnd : nullptr;
    if (SameText(szClass, L"SMP")) {
        PostNotify(hOwner, WM_SERIAL_SMP, lpFrameText, enRECV_SMP_COMMAND);
    } else if (SameText(szClass, L"SLP")) {
        // The echo is on the wire before the owner hears of the frame.
        SendEcho(lpFrameText);
        PostNotify(hOwner, WM_SERIAL_SLP, lpFrameText, enRECV_SLP_COMMAND);
    }
}

void CComm::ClearQueue()
{
    {
        CSingleLock lock(m_csState);
        m_queue.Clear();
        m_bReady.store(1);
        m_nWaitKind = enRECV_NONE;
        m_bAwaiting = false;
        if (m_hAnswerEvent != nullptr)
            SetEvent(m_hAnswerEvent);
    }
    SyncQueueView();
}

void CComm::DispatchQueued()
{
    // Report the answer that woke us, to the window that sent the command.
    bool bReport = false;
    wchar_t szAnswer[kFrameTextChars] = {};
    int nKind = enRECV_NONE;
    HWND hReply = nullptr;
    {
        CSingleLock lock(m_csState);
        if (m_bAnswerPending) {
            m_bAnswerPending = false;
            bReport = m_pAnswerWnd != nullptr;
            CUtilityTools::CopyText(szAnswer, kFrameTextChars, m_szAnswer);
            nKind = m_nAnswerKind;
            hReply = m_pAnswerWnd != nullptr ? m_pAnswerWnd->m_hWnd : nullptr;
        }
    }
    if (bReport) {
        LOG_DATA(L"WaitForSingleObject()==WAIT_OBJECT_0");
        PostNotify(hReply, WM_SERIAL_EPM, szAnswer, nKind);
    }

    // Then send what waits: commands that await no answer back to back, up to and including
    // the first one that awaits an answer, which is then in flight; later commands keep
    // waiting for its answer.
    while (m_bConnected.load() != 0) {
        CommandItem item;
        {
            CSingleLock lock(m_csState);
            if (m_queue.Count() == 0) {
                m_bReady.store(1);
                break;
            }
            item = m_queue.Pop();
        }
        SyncQueueView();
        if (!SendData(item.szCommand, item.pReplyWnd, item.nRecvKind, true))
            break;
        if (item.nRecvKind != enRECV_NONE)
            break;
    }
}

void CComm::SyncQueueView()
{
    if (m_hWnd == nullptr)
        return;
    if (!OnUiThread()) {
        ::PostMessageW(m_hWnd, WM_COMM_SYNCQUEUE, 0, 0);
        return;
    }
    static CommandItem s_items[CCommandQueue::kSlots];
    const int nCount = m_queue.Snapshot(s_items, CCommandQueue::kSlots);

    if (m_listQueue.m_hWnd != nullptr) {
        // Rows that already show the oldest waiting commands stay; the rest is rebuilt.
        const int nRows = m_listQueue.GetItemCount();
        int nFirstKept = 0;
        while (nFirstKept < nRows && (nRows - nFirstKept) > nCount)
            ++nFirstKept;
        bool bMatch = true;
        for (int i = nFirstKept; i < nRows && bMatch; ++i)
            bMatch = m_listQueue.GetItemText(i, 0) == s_items[i - nFirstKept].szCommand;
        if (!bMatch) {
            m_listQueue.DeleteAllItems();
            nFirstKept = 0;
        } else {
            for (int i = 0; i < nFirstKept; ++i)
                m_listQueue.DeleteItem(0);
        }
        for (int i = m_listQueue.GetItemCount(); i < nCount; ++i) {
            const int nRow = m_listQueue.InsertItem(i, s_items[i].szCommand);
            m_listQueue.SetItemText(nRow, 1, s_items[i].nRecvKind == enRECV_NONE ? L"Non" : L"Ack");
        }
    }
    wchar_t szCount[16] = {};
    _snwprintf(szCount, 15, L"%d", nCount);
    if (GetDlgItem(IDC_EDIT_QUEUE_COUNT) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_COUNT, szCount);
}

LRESULT CComm::OnSyncQueue(WPARAM, LPARAM)
{
    SyncQueueView();
    return 0;
}

void CComm::ShowWaitingCommand(const wchar_t* lpText, int nTimeOutMs)
{
    if (m_hWnd == nullptr)
        return;
    wchar_t szSeconds[16] = {};
    _snwprintf(szSeconds, 15, L"%d", nTimeOutMs / 1000);
    SetDlgItemText(IDC_EDIT_WAIT_SECONDS, szSeconds);
    SetDlgItemText(IDC_EDIT_WAIT_COMMAND, lpText);
}
