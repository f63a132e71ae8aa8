#include "SerialLink.h"

namespace simunit {

namespace {
std::string SystemText(DWORD dwError)
{
    char szText[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError, 0, szText,
                                   sizeof(szText) - 1, nullptr);
    std::string text(szText, n);
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}
} // namespace

CSerialLink::CSerialLink()
{
    m_ovWait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_ovRead.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_ovWrite.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CSerialLink::~CSerialLink()
{
    Close();
    for (OVERLAPPED* ov : {&m_ovWait, &m_ovRead, &m_ovWrite}) {
        if (ov->hEvent != nullptr)
            CloseHandle(ov->hEvent);
    }
}

bool CSerialLink::Open(unsigned long ulPort, unsigned long ulBaud, std::string& error, DWORD& dwError)
{
    const std::string name = "COM" + std::to_string(ulPort);
    dwError = 0;
    if (m_ovWait.hEvent == nullptr || m_ovRead.hEvent == nullptr || m_ovWrite.hEvent == nullptr) {
        dwError = GetLastError();
        error = "cannot create events for " + name + " (error " + std::to_string(dwError) + ")";
        return false;
    }
    wchar_t szDevice[32];
    _snwprintf(szDevice, 31, L"\\\\.\\COM%lu", ulPort);
    szDevice[31] = L'\0';
    m_hPort = CreateFileW(szDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (m_hPort == INVALID_HANDLE_VALUE) {
        dwError = GetLastError();
        error = "cannot open " + name + ": " + SystemText(dwError) + " (error " + std::to_string(dwError) + ")";
        return false;
    }

    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    COMMTIMEOUTS timeouts{};
    // Reads return what is queued at once; writes wait as long as flow control holds them.
    timeouts.ReadIntervalTimeout = MAXDWORD;
    bool ok = SetupComm(m_hPort, 4096, 4096) && GetCommState(m_hPort, &dcb);
    if (ok) {
        dcb.BaudRate = ulBaud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 1024;
        dcb.XoffLim = 1024;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        ok = SetCommState(m_hPort, &dcb) && SetCommTimeouts(m_hPort, &timeouts) && SetCommMask(m_hPort, EV_RXCHAR);
    }
    if (!ok) {
        dwError = GetLastError();
        error = "cannot set up " + name + ": " + SystemText(dwError) + " (error " + std::to_string(dwError) + ")";
        Close();
        return false;
    }
    // A unit that has just been switched on has heard nothing yet.
    PurgeComm(m_hPort, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return true;
}

int CSerialLink::Read(char* pBuf, int cbBuf, std::string& reason)
{
    // What a read took before the reading stopped comes first.
    if (m_nHeld > 0)
        return TakeHeld(pBuf, cbBuf);
    // A read is kept pending while nothing comes: Wine's ports complete it as soon as bytes
    // arrive (the unit answers at once, as a real one does). A real port's read returns at
    // once with nothing; then its wait for received characters is used.
    if (!m_bReadPending) {
        DWORD dwGot = 0;
        ResetEvent(m_ovRead.hEvent);
        if (ReadFile(m_hPort, m_held, sizeof(m_held), &dwGot, &m_ovRead)) {
            if (dwGot > 0) {
                m_nHeld = dwGot;
                return TakeHeld(pBuf, cbBuf);
            }
            return WaitForBytes(reason);
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            reason = "read error " + std::to_string(GetLastError());
            return -1;
        }
        m_bReadPending = true;
    }
    if (WaitForSingleObject(m_ovRead.hEvent, 50) != WAIT_OBJECT_0)
        return 0;
    m_bReadPending = false;
    DWORD dwGot = 0;
    if (!GetOverlappedResult(m_hPort, &m_ovRead, &dwGot, FALSE)) {
        reason = "read error " + std::to_string(GetLastError());
        return -1;
    }
    m_nHeld = dwGot;
    return m_nHeld > 0 ? TakeHeld(pBuf, cbBuf) : 0;
}

int CSerialLink::TakeHeld(char* pBuf, int cbBuf)
{
    const DWORD dwTake = m_nHeld < static_cast<DWORD>(cbBuf) ? m_nHeld : static_cast<DWORD>(cbBuf);
    memcpy(pBuf, m_held + m_nFirstHeld, dwTake);
    m_nFirstHeld += dwTake;
    m_nHeld -= dwTake;
    if (m_nHeld == 0)
        m_nFirstHeld = 0;
    return static_cast<int>(dwTake);
}

int CSerialLink::WaitForBytes(std::string& reason)
{
    // A real port: the wait for received characters, a short while at most. The next Read
    // reads again.
    if (!m_bWaitPending) {
        m_dwMask = 0;
        ResetEvent(m_ovWait.hEvent);
        if (WaitCommEvent(m_hPort, &m_dwMask, &m_ovWait)) {
            if (m_dwMask == 0)
                Sleep(1); // ended without an event: not spun on
            return 0;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            Sleep(1);
            return 0;
        }
        m_bWaitPending = true;
    }
    if (WaitForSingleObject(m_ovWait.hEvent, 50) == WAIT_OBJECT_0) {
        DWORD dwDummy = 0;
        GetOverlappedResult(m_hPort, &m_ovWait, &dwDummy, FALSE);
        m_bWaitPending = false;
    }
    DWORD dwErrors = 0;
    COMSTAT stat{};
    if (!ClearCommError(m_hPort, &dwErrors, &stat)) {
        reason = "port error " + std::to_string(GetLastError());
        return -1;
    }
    return 0;
}

void CSerialLink::EndReading()
{
    // A pending read and a pending wait must have ended before their OVERLAPPEDs go or are
    // used again; what the read took meanwhile is kept for the next Read.
    // A read that does not come back even then stays pending: the next Read waits for it
    // rather than start another into the same buffer.
    if (m_bReadPending) {
        CancelIoEx(m_hPort, &m_ovRead);
        if (WaitForSingleObject(m_ovRead.hEvent, 2000) == WAIT_OBJECT_0) {
            DWORD dwGot = 0;
            if (GetOverlappedResult(m_hPort, &m_ovRead, &dwGot, FALSE))
                m_nHeld = dwGot;
            m_bReadPending = false;
        }
    }
    if (!m_bWaitPending)
        return;
    // An empty mask ends a pending wait.
    SetCommMask(m_hPort, 0);
    if (WaitForSingleObject(m_ovWait.hEvent, 2000) != WAIT_OBJECT_0) {
        CancelIo(m_hPort);
        WaitForSingleObject(m_ovWait.hEvent, 2000);
    }
    DWORD dwDummy = 0;
    GetOverlappedResult(m_hPort, &m_ovWait, &dwDummy, FALSE);
    m_bWaitPending = false;
    SetCommMask(m_hPort, EV_RXCHAR);
}

bool CSerialLink::Write(const char* p, size_t cb, HANDLE hStop, std::string& reason)
{
    unsigned idleRounds = 0;
    while (cb > 0) {
        const DWORD dwChunk = cb > 4096 ? 4096 : static_cast<DWORD>(cb);
        DWORD dwDone = 0;
        ResetEvent(m_ovWrite.hEvent);
        if (!WriteFile(m_hPort, p, dwChunk, &dwDone, &m_ovWrite)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                reason = "write error " + std::to_string(GetLastError());
                return false;
            }
            HANDLE handles[2] = {m_ovWrite.hEvent, hStop};
            if (WaitForMultipleObjects(2, handles, FALSE, INFINITE) != WAIT_OBJECT_0) {
                CancelIo(m_hPort);
                GetOverlappedResult(m_hPort, &m_ovWrite, &dwDone, TRUE);
                reason = "stopped";
                return false;
            }
            if (!GetOverlappedResult(m_hPort, &m_ovWrite, &dwDone, FALSE)) {
                reason = "write error " + std::to_string(GetLastError());
                return false;
            }
        }
        // A write may complete with fewer bytes than asked; go on with the rest.
        if (dwDone == 0) {
            if (++idleRounds > 200) {
                reason = "the port takes no bytes";
                return false;
            }
            if (WaitForSingleObject(hStop, 10) == WAIT_OBJECT_0) {
                reason = "stopped";
                return false;
            }
            continue;
        }
        idleRounds = 0;
        p += dwDone;
        cb -= dwDone;
    }
    return true;
}

void CSerialLink::Close()
{
    if (m_hPort != INVALID_HANDLE_VALUE) {
        CloseHandle(m_hPort);
        m_hPort = INVALID_HANDLE_VALUE;
    }
}

} // namespace simunit
