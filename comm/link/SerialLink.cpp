#include "comm/link/SerialLink.h"

#include "storage/DebugLog.h"

#include <cwchar>
#include <new>
#include <string>

namespace {
// Consecutive hard failures of the port (a vanished USB adapter, say) before the link is
// given up; each is followed by a short pause, so this is about half a second.
constexpr int kMaxPortFailures = 50;
// Rounds that end with nothing in a row (a read that returned nothing at once, then a wait
// that ended without an event) before the port is looked at every few milliseconds instead.
constexpr int kEmptyRoundsBeforePolling = 10;
constexpr DWORD kPollMs = 5;
} // namespace

CSerialLink::CSerialLink()
{
    m_osWrite.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CSerialLink::~CSerialLink()
{
    Close();
    for (HANDLE hEvent : {m_osWrite.hEvent, m_hStopEvent}) {
        if (hEvent != nullptr)
            ::CloseHandle(hEvent);
    }
}

DWORD CSerialLink::Open(const LinkParams& params, HANDLE)
{
    if (m_osWrite.hEvent == nullptr || m_hStopEvent == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (params.nComPort < 0 || params.nComPort > 0xFFFF) {
        LOG_ERROR(L"No such COM port : %d", params.nComPort);
        return ERROR_FILE_NOT_FOUND;
    }
    m_nPort = params.nComPort;
    SetName(L"COM" + std::to_wstring(m_nPort));
    ::ResetEvent(m_hStopEvent);

    wchar_t szDevice[32] = {};
    // The device namespace prefix lets COM10 and above open too; the port is still COMn.
    _snwprintf(szDevice, 31, L"\\\\.\\COM%d", m_nPort);
    const HANDLE hComm =
        ::CreateFileW(szDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    const DWORD dwOpenError = ::GetLastError();
    {
        CSingleLock lock(m_csHandle);
        m_hComm = hComm;
    }
    if (m_hComm == INVALID_HANDLE_VALUE) {
        const DWORD dwError = dwOpenError;
        LOG_ERROR(L"Open COM%d failed", m_nPort);
        LOG_ERROR(L"CodeNo : %d", static_cast<int>(dwError));
        return dwError != 0 ? dwError : ERROR_OPEN_FAILED;
    }

    ::SetCommMask(m_hComm, EV_RXCHAR);
    ::SetupComm(m_hComm, 4096, 4096);
    ::PurgeComm(m_hComm, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);

    // Reads return at once with whatever has arrived; the driver never times a write out
    // (Write bounds it itself, so that it can also end it early).
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    ::SetCommTimeouts(m_hComm, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    bool bSettings = ::GetCommState(m_hComm, &dcb) != FALSE;
    if (bSettings) {
        dcb.BaudRate = params.dwBaud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 100;
        dcb.XoffLim = 100;
        bSettings = ::SetCommState(m_hComm, &dcb) != FALSE;
    }
    if (!bSettings) {
        const DWORD dwError = ::GetLastError();
        LOG_ERROR(L"SetCommState COM%d failed", m_nPort);
        LOG_ERROR(L"CodeNo : %d", static_cast<int>(dwError));
        Close();
        return dwError != 0 ? dwError : ERROR_INVALID_PARAMETER;
    }
    // An XOFF that reached the port before it was opened (left from a former session) does
    // not hold this one: output starts as if XON had come.
    ::EscapeCommFunction(m_hComm, SETXON);
    return 0;
}

void CSerialLink::Wake()
{
    // Only these two quick calls under the lock: a close that waits for the lock waits for
    // nothing longer.
    CSingleLock lock(m_csHandle);
    // The stop event ends the writer's wait and the receive thread's wait for its read
    // (which then cancels the read); an empty mask ends a pending wait for received
    // characters.
    ::SetEvent(m_hStopEvent);
    if (m_hComm != INVALID_HANDLE_VALUE)
        ::SetCommMask(m_hComm, 0);
}

bool CSerialLink::PeerHoldsOutput()
{
    // Under the handle's lock, as Wake: a close running meanwhile has not let go of it.
    CSingleLock lock(m_csHandle);
    if (m_hComm == INVALID_HANDLE_VALUE)
        return false;
    DWORD dwErrors = 0;
    COMSTAT status{};
    return ::ClearCommError(m_hComm, &dwErrors, &status) && status.fXoffHold;
}

int CSerialLink::Close()
{
    // The handle is taken out under the lock and let go of outside it: from here on Wake no
    // longer sees it, and Wake never waits for the port's own close.
    HANDLE hComm = INVALID_HANDLE_VALUE;
    {
        CSingleLock lock(m_csHandle);
        hComm = m_hComm;
        m_hComm = INVALID_HANDLE_VALUE;
    }
    if (hComm != INVALID_HANDLE_VALUE) {
        // Modem lines may not exist (a pseudo-terminal has none): failures do not matter.
        ::EscapeCommFunction(hComm, CLRDTR);
        ::PurgeComm(hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        ::CloseHandle(hComm);
        // Closing the port ends a write that a cancel could not; its record is free after.
        if (m_bWriteStuck && ::WaitForSingleObject(m_osWrite.hEvent, kCancelWaitMs) != WAIT_OBJECT_0)
            LOG_ERROR(L"COM%d: a write is still pending after the port was closed", m_nPort);
        m_bWriteStuck = false;
    }
    return 0;
}

bool CSerialLink::Write(const char* pBytes, DWORD dwLength, DWORD dwTimeoutMs, DWORD& dwWritten)
{
    dwWritten = 0;
    if (m_hComm == INVALID_HANDLE_VALUE || pBytes == nullptr || m_bWriteStuck)
        return false;
    if (dwLength == 0)
        return true;
    if (::WriteFile(m_hComm, pBytes, dwLength, &dwWritten, &m_osWrite))
        return dwWritten == dwLength;
    if (::GetLastError() == ERROR_IO_PENDING) {
        // A unit that holds XOFF holds the write as long as it likes (the exchange writes
        // without a bound); a close or a lost link ends it (the stop event).
        const HANDLE waits[2] = {m_osWrite.hEvent, m_hStopEvent};
        if (::WaitForMultipleObjects(2, waits, FALSE, dwTimeoutMs) != WAIT_OBJECT_0) {
            ::PurgeComm(m_hComm, PURGE_TXABORT | PURGE_TXCLEAR);
            ::CancelIoEx(m_hComm, &m_osWrite);
            // The record is the driver's until the write has come back; one that does not
            // come back is left to the close of the port, and nothing more is written.
            if (::WaitForSingleObject(m_osWrite.hEvent, kCancelWaitMs) != WAIT_OBJECT_0) {
                LOG_ERROR(L"COM%d: a cancelled write has not come back", m_nPort);
                m_bWriteStuck = true;
                return false;
            }
        }
        if (::GetOverlappedResult(m_hComm, &m_osWrite, &dwWritten, TRUE) && dwWritten == dwLength)
            return true;
    }
    // Clearing the error state also resumes a port stopped by a line error.
    DWORD dwErrors = 0;
    COMSTAT status{};
    ::ClearCommError(m_hComm, &dwErrors, &status);
    return false;
}

// An overlapped record of the receive thread, with its event. The driver writes into a
// record (and into what comes with it: a read's buffer, a wait's mask) until its operation
// has come back, so records live on the heap, and one whose operation does not come back even
// after a cancel is kept for ever (event and all) rather than have the driver write into
// memory that went.
struct SerialRecord {
    OVERLAPPED os{};
    SerialRecord() { os.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~SerialRecord()
    {
        if (os.hEvent != nullptr)
            ::CloseHandle(os.hEvent);
    }
    SerialRecord(const SerialRecord&) = delete;
    SerialRecord& operator=(const SerialRecord&) = delete;
};

// The receive thread's read and its buffer.
struct CSerialLink::PortRead : SerialRecord {
    BYTE buffer[CSerialLink::kReadBytes];
};

DWORD CSerialLink::Read(PortRead& read, DWORD& dwError, bool& bLeft)
{
    bLeft = false;
    DWORD dwRead = 0;
    ::ResetEvent(read.os.hEvent);
    if (!::ReadFile(m_hComm, read.buffer, kReadBytes, &dwRead, &read.os)) {
        dwError = ::GetLastError();
        if (dwError == ERROR_IO_PENDING) {
            // The read waits for the port's next bytes (Wine's ports do so even with reads
            // that return at once): until they come, or until Wake, which cancels it and lets
            // it come back within the cancel bound. What it took before the cancel is handed
            // on as any bytes are (a closed link's receive loop takes nothing more).
            const HANDLE waits[2] = {read.os.hEvent, m_hStopEvent};
            if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                ::CancelIoEx(m_hComm, &read.os);
                bLeft = ::WaitForSingleObject(read.os.hEvent, kCancelWaitMs) != WAIT_OBJECT_0;
                if (bLeft)
                    return 0;
            }
            dwError = ::GetOverlappedResult(m_hComm, &read.os, &dwRead, FALSE) ? ERROR_SUCCESS : ::GetLastError();
        }
    }
    if (dwRead > 0 && dwError == ERROR_SUCCESS)
        return dwRead;
    // Nothing came, or the read failed: whether the port is still there (a vanished adapter
    // fails here); clearing its error state also resumes a port stopped by a line error.
    DWORD dwErrors = 0;
    COMSTAT status{};
    if (!::ClearCommError(m_hComm, &dwErrors, &status) && dwError == ERROR_SUCCESS)
        dwError = ::GetLastError();
    return 0;
}

namespace {

// The receive thread's wait for received characters (real ports) and the mask it reports
// into; a wait that does not come back even after SetCommMask(0) and a cancel is kept.
struct CommWait : SerialRecord {
    DWORD dwMask = 0;
};

// Waits for a pending wait on the port to end, or for the stop event. Woken by the stop event,
// it ends the wait itself (SetCommMask(0), then a cancel) and lets it come back, within
// CLink::kCancelWaitMs each. Returns the wait's result as WaitCommEvent's error code
// (ERROR_SUCCESS when it ended with an event). bStopped says that it was ended here, bLeft
// that it did not come back.
DWORD FinishCommWait(HANDLE hComm, HANDLE hStopEvent, OVERLAPPED& os, bool& bStopped, bool& bLeft)
{
    bLeft = false;
    const HANDLE waits[2] = {os.hEvent, hStopEvent};
    DWORD dwWait = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    bStopped = dwWait != WAIT_OBJECT_0;
    if (bStopped) {
        // Stopped (or the wait failed): the port's wait is ended here, and its record stays
        // untouched until it has come back.
        ::SetCommMask(hComm, 0);
        dwWait = ::WaitForSingleObject(os.hEvent, CLink::kCancelWaitMs);
        if (dwWait != WAIT_OBJECT_0) {
            ::CancelIoEx(hComm, &os);
            dwWait = ::WaitForSingleObject(os.hEvent, CLink::kCancelWaitMs);
        }
        if (dwWait != WAIT_OBJECT_0) {
            bLeft = true;
            return ERROR_OPERATION_ABORTED;
        }
    }
    DWORD dwTransferred = 0;
    return ::GetOverlappedResult(hComm, &os, &dwTransferred, FALSE) ? ERROR_SUCCESS : ::GetLastError();
}

} // namespace

unsigned int WINAPI Thread_WatchSerial(void* pParam)
{
    CSerialLink* pLink = static_cast<CSerialLink*>(pParam);
    LOG_FUN_S();

    CFrameAssembler assembler(false);
    CSerialLink::PortRead* pRead = new (std::nothrow) CSerialLink::PortRead;
    CommWait* pWait = new (std::nothrow) CommWait;
    if (pRead == nullptr || pRead->os.hEvent == nullptr || pWait == nullptr || pWait->os.hEvent == nullptr ||
        !::SetCommMask(pLink->m_hComm, EV_RXCHAR)) {
        wchar_t szText[128] = {};
        _snwprintf(szText, 127, L"Error while creating Thread_WatchSerial(), COM%d", pLink->m_nPort);
        LOG_ERROR(L"%s", szText);
        pLink->Sink().OnLinkError(szText);
        delete pRead;
        delete pWait;
        return 0;
    }

    int nFailures = 0;
    int nEmptyRounds = 0;
    bool bPollingTold = false;
    while (pLink->IsOpen()) {
        // A read takes what the port holds, up to the buffer. Where nothing waits it either
        // waits itself for the next bytes (Wine's ports) or returns at once (real ports), and
        // then the port's event for received characters is waited for.
        DWORD dwError = ERROR_SUCCESS;
        bool bLeft = false;
        const DWORD dwRead = pLink->Read(*pRead, dwError, bLeft);
        if (bLeft) {
            LOG_ERROR(L"COM%d: a cancelled read did not come back; its record is left to it", pLink->m_nPort);
            pRead = nullptr;
            break;
        }
        if (dwRead > 0) {
            nFailures = 0;
            nEmptyRounds = 0;
            // One read takes all that waits (up to the buffer): how far behind we are.
            pLink->NoteBacklog(dwRead);
            pLink->Feed(assembler, pRead->buffer, dwRead);
            continue;
        }
        if (dwError == ERROR_SUCCESS && pLink->IsOpen()) {
            // Reported into by the port's wait (and kept when the wait is left, below).
            DWORD& dwMask = pWait->dwMask;
            dwMask = EV_RXCHAR;
            if (!::WaitCommEvent(pLink->m_hComm, &dwMask, &pWait->os)) {
                // Every wait is completed before the next one starts; a close (the stop
                // event) ends a wait that no byte ends, and a wait that does not come back
                // even then keeps its record when the thread ends.
                dwError = ::GetLastError();
                if (dwError == ERROR_IO_PENDING) {
                    bool bStopped = false;
                    dwError = FinishCommWait(pLink->m_hComm, pLink->m_hStopEvent, pWait->os, bStopped, bLeft);
                    if (bLeft) {
                        LOG_ERROR(L"COM%d: a wait for received characters did not come back; its record is left to it",
                                  pLink->m_nPort);
                        pWait = nullptr;
                        break;
                    }
                    if (bStopped && pLink->IsOpen())
                        ::SetCommMask(pLink->m_hComm, EV_RXCHAR); // woken while open: wait again
                }
            }
            if (dwError == ERROR_SUCCESS && dwMask != 0)
                nEmptyRounds = -1; // the port announced bytes: the round was not empty
        }

        if (dwError == ERROR_SUCCESS || dwError == ERROR_OPERATION_ABORTED) {
            nFailures = 0;
            // A port whose reads and waits both end at once with nothing is looked at every
            // few milliseconds instead of being spun on (and so is a link woken while open).
            if (++nEmptyRounds >= kEmptyRoundsBeforePolling && pLink->IsOpen()) {
                if (!bPollingTold)
                    LOG_DATA(L"COM%d: waits end without events; the port is polled every %d ms", pLink->m_nPort,
                             static_cast<int>(kPollMs));
                bPollingTold = true;
                ::Sleep(kPollMs);
            }
        } else if (pLink->IsOpen()) {
            if (++nFailures >= kMaxPortFailures) {
                // The port no longer answers at all: its adapter was pulled or its driver went.
                LOG_ERROR(L"COM%d fails with error %d", pLink->m_nPort, static_cast<int>(dwError));
                wchar_t szWhy[64] = {};
                _snwprintf(szWhy, 63, L"COM%d is gone", pLink->m_nPort);
                pLink->Sink().OnLinkLost(szWhy);
                break;
            }
            ::WaitForSingleObject(pLink->m_hStopEvent, 10);
        }
    }

    delete pRead;
    delete pWait;
    return 1;
}
