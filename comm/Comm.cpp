#include "comm/Comm.h"

#include "comm/CommPrivate.h"
#include "resource.h"
#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <commctrl.h>
#include <ws2tcpip.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <process.h>

namespace {
CComm* g_pCommInstance = nullptr;

// How long a connect may take before the open gives up (the unit answers on the local
// network at once; a missing host would otherwise hold the window for about 21 s).
constexpr int kConnectTimeoutMs = 10000;
// How long a send may wait for a peer that takes no more bytes.
constexpr ULONGLONG kSendStallMs = 10000;
// Console lines a worker may leave waiting before it waits for the console itself.
constexpr size_t kMaxPendingLines = 5000;
} // namespace

CWnd* CComm::m_pOwnerWnd = nullptr;

CComm* CComm::GetInstance(int nCommType)
{
    if (g_pCommInstance == nullptr)
        g_pCommInstance = new CComm(nCommType);
    return g_pCommInstance;
}

CComm* CComm::PeekInstance()
{
    return g_pCommInstance;
}

CComm::CComm(int nCommType) : m_nCommType(nCommType)
{
    m_dwUiThreadId = GetCurrentThreadId();
    m_queue.Clear();
    m_hQueueEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    m_hAnswerEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_hStopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES};
    InitCommonControlsEx(&icc);
    LoadRichEditLibrary();
    Create(IDD_COMM_DIALOG, nullptr);
}

CComm::~CComm()
{
    // The owner closes the link before it deletes the manager; whatever is still running
    // is stopped here, because no worker may outlive the object.
    m_bConnected.store(0);
    // Better to wait on than to free what a worker still uses.
    while (HasLinkResources() && !ReleaseLink(30000))
        LOG_ERROR(L"Still waiting for the link workers to end");

    if (m_hQueueEvent != nullptr)
        CloseHandle(m_hQueueEvent);
    if (m_hAnswerEvent != nullptr)
        CloseHandle(m_hAnswerEvent);
    if (m_hStopEvent != nullptr)
        CloseHandle(m_hStopEvent);
    m_hQueueEvent = m_hAnswerEvent = m_hStopEvent = nullptr;
    m_pOwnerWnd = nullptr;
    if (m_hWnd != nullptr)
        ::DestroyWindow(m_hWnd);
    if (m_hIcon != nullptr)
        DestroyIcon(m_hIcon);
    if (g_pCommInstance == this)
        g_pCommInstance = nullptr;
}

// ---------------------------------------------------------------------------------------
// Opening and closing

bool CComm::HasLinkResources() const
{
    return m_hComm != INVALID_HANDLE_VALUE || m_hSocket != 0 || m_bWsaStarted || m_hThreadRecv != nullptr ||
           m_hThreadWait != nullptr || m_hThreadTimeOut != nullptr;
}

void CComm::ShowSerialFields(bool bSerial)
{
    static const int kSerialFields[] = {IDC_STATIC_SERIAL_PORT, IDC_COMBO_PORT, IDC_STATIC_BAUDRATE, IDC_COMBO_BAUD};
    static const int kEthernetFields[] = {IDC_STATIC_IP, IDC_IPADDRESS, IDC_STATIC_PORT_NUM, IDC_EDIT_TCP_PORT};
    if (m_hWnd == nullptr)
        return;
    for (int nID : kSerialFields)
        ShowDlgItem(nID, bSerial);
    for (int nID : kEthernetFields)
        ShowDlgItem(nID, !bSerial);
}

bool CComm::StartWorkers(unsigned int(WINAPI* pfnReceive)(void*))
{
    ResetEvent(m_hStopEvent);
    m_hThreadRecv = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, pfnReceive, this, 0, nullptr));
    m_hThreadWait = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Thread_WaitComm, this, 0, nullptr));
    m_hThreadTimeOut = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Thread_WatchTimeOut, this, 0, nullptr));
    return m_hThreadRecv != nullptr && m_hThreadWait != nullptr && m_hThreadTimeOut != nullptr;
}

bool CComm::Open_Serial(unsigned short wPort, unsigned long dwBaud)
{
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", L"CComm::Open_Serial");
    if (m_bConnected.load() != 0)
        return true;
    // A link that ended by itself (time-out, lost port) is released before the new one.
    if (HasLinkResources() && !ReleaseLink())
        return false;

    m_nCommType = 0;
    ShowSerialFields(true);
    {
        CSingleLock lock(m_csState);
        m_szRecvFrame[0] = L'\0';
        m_szLastSend[0] = L'\0';
    }
    wchar_t szDevice[32] = {};
    // The device namespace prefix lets COM10 and above open too; the port is still COMn.
    _snwprintf(szDevice, 31, L"\\\\.\\COM%d", static_cast<int>(wPort));
    m_wPort = wPort;
    m_dwBaud = dwBaud;
    m_bReady.store(1);

    m_osRead = OVERLAPPED{};
    m_osWrite = OVERLAPPED{};
    m_osRead.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    m_osWrite.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (m_osRead.hEvent == nullptr || m_osWrite.hEvent == nullptr) {
        ReleaseLink();
        return false;
    }

    m_hComm = CreateFileW(szDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (m_hComm == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        LOG_ERROR(L"Open COM%d failed", static_cast<int>(wPort));
        LOG_ERROR(L"CodeNo : %d", static_cast<int>(dwError));
        ReleaseLink();
        return false;
    }

    SetCommMask(m_hComm, EV_RXCHAR);
    SetupComm(m_hComm, 4096, 4096);
    PurgeComm(m_hComm, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);

    // Reads return at once with whatever has arrived; writes never time out.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    SetCommTimeouts(m_hComm, &timeouts);

    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    bool bSettings = GetCommState(m_hComm, &dcb) != FALSE;
    if (bSettings) {
        dcb.BaudRate = dwBaud;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutX = TRUE;
        dcb.fInX = TRUE;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 100;
        dcb.XoffLim = 100;
        bSettings = SetCommState(m_hComm, &dcb) != FALSE;
    }
    if (!bSettings) {
        LOG_ERROR(L"SetCommState COM%d failed", static_cast<int>(wPort));
        LOG_ERROR(L"CodeNo : %d", static_cast<int>(GetLastError()));
        ReleaseLink();
        return false;
    }

    m_bConnected.store(1);
    if (!StartWorkers(&Thread_WatchSerial)) {
        CloseSerial();
        return false;
    }

    ClearQueue();
    LogWrite(LOG_KIND_DATA, L"FUN_E - %s", L"CComm::Open_Serial");
    return true;
}

bool CComm::CloseSerial()
{
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", L"CComm::CloseSerial");
    // Testing and clearing the flag is one step: of two closes at once only one proceeds.
    if (m_bConnected.exchange(0) == 0) {
        if (OnUiThread() && HasLinkResources())
            ReleaseLink();
        return false;
    }
    ClearQueue();
    if (OnUiThread())
        ReleaseLink();
    else
        MarkClosed();
    LogWrite(LOG_KIND_DATA, L"FUN_E - %s", L"CComm::CloseSerial");
    return true;
}

bool CComm::Open_Ethernet(const wchar_t* lpIPText, int nTcpPort)
{
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", L"CComm::Open_Ethernet");
    if (m_bConnected.load() != 0)
        return true;
    if (nTcpPort <= 0 || nTcpPort > 65535 || lpIPText == nullptr)
        return false;
    if (HasLinkResources() && !ReleaseLink())
        return false;

    m_nCommType = 1;
    ShowSerialFields(false);
    m_bReady.store(1);
    _snwprintf(m_szIPAddress, 259, L"%s", lpIPText);
    m_szIPAddress[259] = L'\0';
    _snwprintf(m_szTcpPort, 259, L"%d", nTcpPort);
    m_szTcpPort[259] = L'\0';

    if (WSAStartup(MAKEWORD(2, 2), &m_wsaData) != 0) {
        LOG_ERROR(L"WSAStartup failed");
        return false;
    }
    m_bWsaStarted = true;

    bool bOpen = false;
    const SOCKET hSocket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (hSocket != INVALID_SOCKET) {
        m_hSocket = hSocket;
        char szAddress[520] = {};
        CUtilityTools::ToNarrow(m_szIPAddress, szAddress, sizeof(szAddress));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(nTcpPort));
        if (inet_pton(AF_INET, szAddress, &address.sin_addr) == 1) {
            // Connect without blocking, bounded in time; the socket stays non-blocking.
            u_long nonBlocking = 1;
            ioctlsocket(hSocket, FIONBIO, &nonBlocking);
            int result = connect(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
            if (result == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
                fd_set writable;
                fd_set failed;
                FD_ZERO(&writable);
                FD_ZERO(&failed);
                FD_SET(hSocket, &writable);
                FD_SET(hSocket, &failed);
                timeval timeout{kConnectTimeoutMs / 1000, (kConnectTimeoutMs % 1000) * 1000};
                result = select(0, nullptr, &writable, &failed, &timeout) == 1 && FD_ISSET(hSocket, &writable) ? 0 : SOCKET_ERROR;
            }
            bOpen = result == 0;
            if (!bOpen) {
                LOG_ERROR(L"connect() to %s:%d failed", m_szIPAddress, nTcpPort);
            } else {
                // The receive thread waits for socket events together with the stop event,
                // so a close wakes it without closing the socket under it.
                m_hNetEvent = WSACreateEvent();
                bOpen = m_hNetEvent != WSA_INVALID_EVENT &&
                        WSAEventSelect(hSocket, m_hNetEvent, FD_READ | FD_CLOSE) == 0;
            }
        } else {
            LOG_ERROR(L"Not an IPv4 address : %s", m_szIPAddress);
        }
    }

    if (bOpen) {
        m_bConnected.store(1);
        bOpen = StartWorkers(&Thread_WatchEthernet);
    }
    if (!bOpen) {
        m_bConnected.store(0);
        ReleaseLink();
        return false;
    }

    ClearQueue();
    LogWrite(LOG_KIND_DATA, L"FUN_E - %s", L"CComm::Open_Ethernet");
    return true;
}

void CComm::CloseEthernet()
{
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", L"CComm::CloseEthernet");
    if (m_bConnected.exchange(0) == 0) {
        if (OnUiThread() && HasLinkResources())
            ReleaseLink();
        return;
    }
    ClearQueue();
    if (OnUiThread())
        ReleaseLink();
    else
        MarkClosed();
    LogWrite(LOG_KIND_DATA, L"FUN_E - %s", L"CComm::CloseEthernet");
}

void CComm::MarkClosed()
{
    m_bConnected.store(0);
    // Wake every worker: the dispatcher waits on the queue event, the watchdog on the
    // answer event, the serial thread on a port event, the TCP thread on the stop event.
    if (m_hStopEvent != nullptr)
        SetEvent(m_hStopEvent);
    if (m_hQueueEvent != nullptr)
        SetEvent(m_hQueueEvent);
    if (m_hAnswerEvent != nullptr)
        SetEvent(m_hAnswerEvent);
    if (m_hComm != INVALID_HANDLE_VALUE)
        SetCommMask(m_hComm, 0);
    if (m_hSocket != 0)
        shutdown(m_hSocket, SD_BOTH);
    if (!OnUiThread() && m_hWnd != nullptr)
        ::PostMessageW(m_hWnd, WM_COMM_REAP, 0, 0);
}

bool CComm::ReleaseLink(DWORD dwWaitMs)
{
    MarkClosed();
    if (m_hComm != INVALID_HANDLE_VALUE)
        PurgeComm(m_hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    // Wait for the workers while serving the console lines they send us meanwhile.
    const ULONGLONG deadline = GetTickCount64() + dwWaitMs;
    HANDLE* const threads[] = {&m_hThreadRecv, &m_hThreadWait, &m_hThreadTimeOut};
    for (HANDLE* pThread : threads) {
        while (*pThread != nullptr) {
            const ULONGLONG now = GetTickCount64();
            if (now >= deadline)
                break;
            const DWORD dwSlice = static_cast<DWORD>(deadline - now < 100 ? deadline - now : 100);
            const DWORD dwResult = MsgWaitForMultipleObjects(1, pThread, FALSE, dwSlice, QS_SENDMESSAGE);
            if (dwResult == WAIT_OBJECT_0) {
                CloseHandle(*pThread);
                *pThread = nullptr;
            } else if (dwResult == WAIT_OBJECT_0 + 1) {
                MSG msg;
                PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            } else if (dwResult == WAIT_TIMEOUT) {
                // A wait for port events that began after the first wake-up is ended again.
                if (m_hComm != INVALID_HANDLE_VALUE)
                    SetCommMask(m_hComm, 0);
            } else {
                break;
            }
        }
    }
    if (m_hThreadRecv != nullptr || m_hThreadWait != nullptr || m_hThreadTimeOut != nullptr) {
        LOG_ERROR(L"Link workers did not end within %d ms; port and socket kept", static_cast<int>(dwWaitMs));
        return false;
    }

    if (m_hComm != INVALID_HANDLE_VALUE) {
        // Modem lines may not exist (a pseudo-terminal has none): failures do not matter.
        EscapeCommFunction(m_hComm, CLRDTR);
        PurgeComm(m_hComm, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        CloseHandle(m_hComm);
        m_hComm = INVALID_HANDLE_VALUE;
    }
    for (OVERLAPPED* pOverlapped : {&m_osRead, &m_osWrite}) {
        if (pOverlapped->hEvent != nullptr)
            CloseHandle(pOverlapped->hEvent);
        *pOverlapped = OVERLAPPED{};
    }
    if (m_hSocket != 0) {
        const int nResult = closesocket(m_hSocket);
        m_hSocket = 0;
        LogWrite(LOG_KIND_DATA, L"DAT_A - %d = closesocket()", nResult);
    }
    if (m_hNetEvent != nullptr) {
        WSACloseEvent(m_hNetEvent);
        m_hNetEvent = nullptr;
    }
    if (m_bWsaStarted) {
        WSACleanup();
        m_bWsaStarted = false;
    }
    return true;
}

LRESULT CComm::OnReapLink(WPARAM, LPARAM)
{
    if (m_bConnected.load() == 0 && HasLinkResources())
        ReleaseLink();
    return 0;
}

int CComm::RunningWorkerCount() const
{
    int nRunning = 0;
    for (HANDLE hThread : {m_hThreadRecv, m_hThreadWait, m_hThreadTimeOut}) {
        if (hThread != nullptr && WaitForSingleObject(hThread, 0) == WAIT_TIMEOUT)
            ++nRunning;
    }
    return nRunning;
}

// ---------------------------------------------------------------------------------------
// Raw transfer

DWORD CComm::WriteSerial(const BYTE* pBytes, DWORD dwLength)
{
    CSingleLock lock(m_csWrite);
    if (m_hComm == INVALID_HANDLE_VALUE || pBytes == nullptr || dwLength == 0)
        return 0;
    DWORD dwWritten = 0;
    if (WriteFile(m_hComm, pBytes, dwLength, &dwWritten, &m_osWrite))
        return dwWritten;
    if (GetLastError() == ERROR_IO_PENDING) {
        for (;;) {
            if (GetOverlappedResult(m_hComm, &m_osWrite, &dwWritten, TRUE))
                return dwWritten;
            if (GetLastError() != ERROR_IO_INCOMPLETE)
                break;
        }
    }
    // Clearing the error state also resumes a port stopped by a line error.
    DWORD dwErrors = 0;
    COMSTAT status{};
    ClearCommError(m_hComm, &dwErrors, &status);
    return 0;
}

DWORD CComm::ReadSerial(BYTE* pBuffer)
{
    DWORD dwErrors = 0;
    COMSTAT status{};
    if (m_hComm == INVALID_HANDLE_VALUE || !ClearCommError(m_hComm, &dwErrors, &status) || status.cbInQue == 0)
        return 0;
    const DWORD dwWanted = status.cbInQue < kSerialReadBytes ? status.cbInQue : kSerialReadBytes;
    DWORD dwRead = 0;
    if (ReadFile(m_hComm, pBuffer, dwWanted, &dwRead, &m_osRead))
        return dwRead;
    if (GetLastError() == ERROR_IO_PENDING) {
        for (;;) {
            if (GetOverlappedResult(m_hComm, &m_osRead, &dwRead, TRUE))
                return dwRead;
            if (GetLastError() != ERROR_IO_INCOMPLETE)
                break;
        }
    }
    ClearCommError(m_hComm, &dwErrors, &status);
    return 0;
}

bool CComm::SendEthernet(const char* pBytes, int nLength)
{
    {
        CSingleLock lock(m_csWrite);
        if (m_bConnected.load() == 0)
            return false;
        // The socket does not block: while the peer's window is full, wait until it takes
        // more, but not for ever (a unit that stopped reading fails the send).
        int nSent = 0;
        ULONGLONG ullStalledSince = 0;
        while (nSent < nLength && m_bConnected.load() != 0) {
            const int nResult = send(m_hSocket, pBytes + nSent, nLength - nSent, 0);
            if (nResult > 0) {
                nSent += nResult;
                ullStalledSince = 0;
                continue;
            }
            if (nResult == 0 || WSAGetLastError() != WSAEWOULDBLOCK)
                break;
            const ULONGLONG ullNow = GetTickCount64();
            if (ullStalledSince == 0)
                ullStalledSince = ullNow;
            else if (ullNow - ullStalledSince >= kSendStallMs)
                break;
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(m_hSocket, &writable);
            timeval slice{0, 100 * 1000};
            select(0, nullptr, &writable, nullptr, &slice);
        }
        if (nSent == nLength)
            return true;
        LOG_ERROR(L"send() failed, WSA error %d", WSAGetLastError());
    }
    CloseEthernet();
    ShowError(L"send() - Fail");
    return false;
}

void CComm::ShowError(const wchar_t* lpText)
{
    if (m_hWnd == nullptr)
        return;
    ::PostMessageW(m_hWnd, WM_COMM_SHOWERROR, 0, reinterpret_cast<LPARAM>(MakeNotifyText(lpText)));
}

LRESULT CComm::OnShowError(WPARAM, LPARAM lParam)
{
    const wchar_t* lpText = reinterpret_cast<const wchar_t*>(lParam);
    HWND hOwner = m_pOwnerWnd != nullptr && m_pOwnerWnd->m_hWnd != nullptr ? m_pOwnerWnd->m_hWnd : m_hWnd;
    ::MessageBoxW(hOwner, lpText, L"Serial Communication", MB_OK | MB_ICONERROR);
    FreeNotifyText(static_cast<WPARAM>(lParam));
    return 0;
}

// ---------------------------------------------------------------------------------------
// Console log

void CComm::LogWrite(int nKind, const wchar_t* lpFormat, ...)
{
    if (m_ctrlLog.m_hWnd == nullptr || lpFormat == nullptr)
        return;
    wchar_t szText[512] = {};
    va_list args;
    va_start(args, lpFormat);
    _vsnwprintf(szText, 511, lpFormat, args);
    va_end(args);
    szText[511] = L'\0';

    switch (nKind) {
    case LOG_KIND_SEND:
        LOG_COM_S(L"%s", szText);
        break;
    case LOG_KIND_RECV:
        LOG_COM_R(L"%s", szText);
        break;
    case LOG_KIND_DATA:
        LOG_DATA(L"%s", szText);
        break;
    default:
        break;
    }

    // The user-interface thread writes every line to the console, each whole, in the order
    // the lines were written. A worker hands its line over and goes on; only when the
    // user-interface thread falls far behind does it wait for it.
    if (OnUiThread()) {
        TakePendingLines();
        m_log.Append(nKind, szText);
        return;
    }
    size_t nPending = 0;
    {
        CSingleLock lock(m_csPending);
        m_pendingLines.push_back(CConsoleLog::Pending{nKind, szText});
        nPending = m_pendingLines.size();
    }
    if (nPending == 1)
        ::PostMessageW(m_hWnd, WM_COMM_LOGLINES, 0, 0);
    else if (nPending >= kMaxPendingLines)
        ::SendMessageW(m_hWnd, WM_COMM_LOGLINES, 0, 0);
}

void CComm::TakePendingLines()
{
    std::vector<CConsoleLog::Pending> lines;
    {
        CSingleLock lock(m_csPending);
        lines.swap(m_pendingLines);
    }
    if (!lines.empty())
        m_log.AppendBatch(lines);
}

LRESULT CComm::OnLogLines(WPARAM, LPARAM)
{
    TakePendingLines();
    return 0;
}

void CComm::UpdateLinkButtons(bool bOpenEnabled, bool bCloseEnabled)
{
    if (m_hWnd == nullptr)
        return;
    if (HWND hOpen = GetDlgItem(IDC_BTN_OPEN))
        ::EnableWindow(hOpen, bOpenEnabled ? TRUE : FALSE);
    if (HWND hClose = GetDlgItem(IDC_BTN_CLOSE))
        ::EnableWindow(hClose, bCloseEnabled ? TRUE : FALSE);
    wchar_t szCount[16] = {};
    _snwprintf(szCount, 15, L"%d", m_queue.Count());
    if (GetDlgItem(IDC_EDIT_QUEUE_COUNT) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_COUNT, szCount);
    if (GetDlgItem(IDC_EDIT_QUEUE_MAX) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_MAX, L"300");
}
