// The link's worker threads. Each loops while the link is open and ends on its own once
// m_bConnected drops; the user-interface thread waits for all of them before it releases
// the port or socket they use.
#include "comm/Comm.h"

#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

namespace {
// Consecutive hard failures of the port (a vanished USB adapter, say) before the link is
// given up; each is followed by a short pause, so this is about half a second.
constexpr int kMaxPortFailures = 50;
// Waits that end with nothing in a row before the serial port is polled instead, and the
// pause between two looks then.
constexpr int kEmptyWakeUpsBeforePolling = 10;
constexpr DWORD kPollMs = 5;
// The watchdog looks at the link at least this often while a command is in flight.
constexpr DWORD kWatchSliceMs = 100;
} // namespace

void CComm::FeedReceived(CFrameAssembler& assembler, const BYTE* pBytes, int nCount)
{
    for (int i = 0; i < nCount && m_bConnected.load() != 0; ++i) {
        switch (assembler.Feed(pBytes[i])) {
        case CFrameAssembler::Result::Frame:
            OnReceiveFrame(assembler.Completed());
            break;
        case CFrameAssembler::Result::Data:
            LogWrite(LOG_KIND_DATA, L"%s", assembler.Completed());
            break;
        case CFrameAssembler::Result::None:
            break;
        }
    }
}

unsigned int WINAPI Thread_WatchSerial(void* pParam)
{
    CComm* pComm = static_cast<CComm*>(pParam);
    LOG_FUN_S();

    CFrameAssembler assembler(false);
    OVERLAPPED osWait{};
    osWait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (osWait.hEvent == nullptr || !SetCommMask(pComm->m_hComm, EV_RXCHAR)) {
        wchar_t szText[128] = {};
        _snwprintf(szText, 127, L"Error while creating Thread_WatchSerial(), COM%d", static_cast<int>(pComm->m_wPort));
        LOG_ERROR(L"%s", szText);
        pComm->ShowError(szText);
        if (osWait.hEvent != nullptr)
            CloseHandle(osWait.hEvent);
        return 0;
    }

    BYTE buffer[CComm::kSerialReadBytes];
    int nFailures = 0;
    int nEmptyWakeUps = 0;
    bool bPolling = false;
    while (pComm->m_bConnected.load() != 0) {
        DWORD dwError = ERROR_SUCCESS;
        DWORD dwMask = EV_RXCHAR;
        if (bPolling) {
            DWORD dwErrors = 0;
            COMSTAT status{};
            if (!ClearCommError(pComm->m_hComm, &dwErrors, &status))
                dwError = GetLastError();
        } else if (!WaitCommEvent(pComm->m_hComm, &dwMask, &osWait)) {
            // The wait may end early (Wine ends it with 995 or an empty mask over and over,
            // and a received-character event stays set while bytes are queued): whatever it
            // says, the queue is drained. Every wait is completed before the next one
            // starts, so no wait is left pending on osWait when the thread ends.
            dwError = GetLastError();
            if (dwError == ERROR_IO_PENDING) {
                DWORD dwTransferred = 0;
                dwError = GetOverlappedResult(pComm->m_hComm, &osWait, &dwTransferred, TRUE) ? ERROR_SUCCESS : GetLastError();
            }
        }

        bool bRead = false;
        DWORD dwRead = 0;
        while (pComm->m_bConnected.load() != 0 && (dwRead = pComm->ReadSerial(buffer)) > 0) {
            pComm->FeedReceived(assembler, buffer, static_cast<int>(dwRead));
            bRead = true;
        }

        if (dwError == ERROR_SUCCESS || dwError == ERROR_OPERATION_ABORTED) {
            nFailures = 0;
            // A port whose waits keep ending without an event and without data (a
            // pseudo-terminal under Wine, where every such wait also costs memory) is looked
            // at every few milliseconds instead. A real port's wait ends only on an event.
            const bool bEmpty = !bRead && (dwError == ERROR_OPERATION_ABORTED || dwMask == 0);
            nEmptyWakeUps = bEmpty ? nEmptyWakeUps + 1 : 0;
            if (!bPolling && nEmptyWakeUps >= kEmptyWakeUpsBeforePolling && pComm->m_bConnected.load() != 0) {
                bPolling = true;
                LOG_DATA(L"COM%d: waits end without events; the port is polled every %d ms",
                         static_cast<int>(pComm->m_wPort), static_cast<int>(kPollMs));
            }
            if (bPolling && !bRead)
                Sleep(kPollMs);
        } else if (pComm->m_bConnected.load() != 0) {
            if (++nFailures >= kMaxPortFailures) {
                pComm->LogWrite(LOG_KIND_DATA, L"Serial port COM%d failed (error %d): link closed",
                                static_cast<int>(pComm->m_wPort), static_cast<int>(dwError));
                pComm->CloseSerial();
                break;
            }
            Sleep(10);
        }
    }

    CloseHandle(osWait.hEvent);
    return 1;
}

unsigned int WINAPI Thread_WatchEthernet(void* pParam)
{
    CComm* pComm = static_cast<CComm*>(pParam);
    CFrameAssembler assembler(true);
    char buffer[CComm::kTcpReadBytes];

    const HANDLE waits[2] = {pComm->m_hNetEvent, pComm->m_hStopEvent};
    bool bClosedHere = false;
    while (pComm->m_bConnected.load() != 0 && !bClosedHere) {
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0)
            break; // stop event (or a failed wait)
        WSANETWORKEVENTS events{};
        WSAEnumNetworkEvents(pComm->m_hSocket, pComm->m_hNetEvent, &events);
        // Take everything that is there; the peer's close shows as a receive of 0 bytes
        // once its last bytes have been read.
        while (pComm->m_bConnected.load() != 0) {
            const int nReceived = recv(pComm->m_hSocket, buffer, CComm::kTcpReadBytes, 0);
            if (nReceived > 0) {
                pComm->FeedReceived(assembler, reinterpret_cast<const BYTE*>(buffer), nReceived);
                continue;
            }
            if (nReceived == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
                break;
            // Peer closed (0), reset or other error.
            pComm->CloseEthernet();
            bClosedHere = true;
            break;
        }
    }
    pComm->m_bConnected.store(0);
    return 1;
}

unsigned int WINAPI Thread_WatchTimeOut(void* pParam)
{
    CComm* pComm = static_cast<CComm*>(pParam);
    while (pComm->m_bConnected.load() != 0 && pComm->m_hAnswerEvent != nullptr) {
        const DWORD dwIdle = WaitForSingleObject(pComm->m_hAnswerEvent, 0);
        if (dwIdle == WAIT_OBJECT_0) {
            // No answer awaited.
            Sleep(10);
            continue;
        }
        if (dwIdle != WAIT_TIMEOUT) {
            pComm->MarkClosed();
            break;
        }
        // A command is in flight: its time-out runs from the moment it was armed.
        const ULONGLONG ullDeadline = pComm->m_ullArmedAt.load() + static_cast<ULONGLONG>(pComm->m_TimeOutCnt.load());
        const ULONGLONG ullNow = GetTickCount64();
        if (ullNow < ullDeadline) {
            const ULONGLONG ullLeft = ullDeadline - ullNow;
            const DWORD dwWait = WaitForSingleObject(pComm->m_hAnswerEvent,
                                                     static_cast<DWORD>(ullLeft < kWatchSliceMs ? ullLeft : kWatchSliceMs));
            if (dwWait == WAIT_FAILED || dwWait == WAIT_ABANDONED) {
                pComm->MarkClosed();
                break;
            }
            continue;
        }

        // No answer in time.
        wchar_t szCommand[kFrameTextChars] = {};
        HWND hReply = nullptr;
        {
            CSingleLock lock(pComm->m_csState);
            if (!pComm->m_bAwaiting)
                continue; // answered at the last moment
            pComm->m_bAwaiting = false;
            CUtilityTools::CopyText(szCommand, kFrameTextChars, pComm->m_szLastSend);
            hReply = pComm->m_pReplyWnd != nullptr ? pComm->m_pReplyWnd->m_hWnd : nullptr;
        }
        // The link counts as closed from now on; the port or socket is released by the
        // user-interface thread.
        if (pComm->m_bConnected.exchange(0) != 0) {
            LOG_ERROR(L"Answer time-out : %s", szCommand);
            PostNotify(hReply, WM_SERIAL_EPM, szCommand, enRECV_TIMEOUT);
            pComm->MarkClosed();
        }
        break;
    }
    return 1;
}

unsigned int WINAPI Thread_WaitComm(void* pParam)
{
    CComm* pComm = static_cast<CComm*>(pParam);
    if (pComm->m_bConnected.load() == 0)
        return 0;
    while (pComm->m_bConnected.load() != 0 && pComm->m_hQueueEvent != nullptr) {
        const DWORD dwResult = WaitForSingleObject(pComm->m_hQueueEvent, INFINITE);
        if (dwResult != WAIT_OBJECT_0) {
            pComm->MarkClosed();
            break;
        }
        if (pComm->m_bConnected.load() == 0)
            break;
        pComm->DispatchQueued();
    }
    return 1;
}
