#include "comm/link/TcpLink.h"

#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <mstcpip.h>
#include <ws2tcpip.h>

#include <cwchar>
#include <new>
#include <string>
#include <vector>

namespace {
// A write to a unit that takes no bytes looks again this often (for its time bound and for
// a close).
constexpr long kWriteSliceMicros = 50 * 1000;

// A link with nothing to carry is probed after 5 s of quiet, and the probes follow a second
// apart: a unit whose network is gone (a switch that restarts, a cable pulled) stops
// answering them, and with five probes the link ends about 10 s after its last sign of life
// (5 s idle + 5 probes 1 s apart; where the system does not let the count be chosen it sends
// ten, about 15 s). A healthy unit that is silent for a few seconds (busy with an exposure,
// a switch that drops a packet or two) is not cut off. A unit that closes or resets its end
// is noticed at once by the receive, not by the probes.
constexpr ULONG kKeepAliveIdleMs = 5000;
constexpr ULONG kKeepAliveIntervalMs = 1000;
constexpr DWORD kKeepAliveProbes = 5;
// The socket option that sets the number of probes (TCP_KEEPCNT, Windows 10 1703 and later).
constexpr int kTcpKeepCount = 16;

void EnableKeepAlive(SOCKET hSocket)
{
    tcp_keepalive settings{1, kKeepAliveIdleMs, kKeepAliveIntervalMs};
    DWORD dwReturned = 0;
    if (::WSAIoctl(hSocket, SIO_KEEPALIVE_VALS, &settings, sizeof(settings), nullptr, 0, &dwReturned, nullptr, nullptr) != 0) {
        LOG_ERROR(L"Keep-alive not set, WSA error %d", ::WSAGetLastError());
        return;
    }
    // Systems that let the number of probes be chosen give up after fewer (older ones after
    // ten); a refusal changes nothing.
    DWORD dwProbes = kKeepAliveProbes;
    ::setsockopt(hSocket, IPPROTO_TCP, kTcpKeepCount, reinterpret_cast<const char*>(&dwProbes), sizeof(dwProbes));
}

// What a failed receive means for the engineer.
void DescribeReceiveFailure(int nError, wchar_t* lpWhy, size_t cchWhy)
{
    switch (nError) {
    case WSAECONNRESET:
    case WSAECONNABORTED:
        _snwprintf(lpWhy, cchWhy - 1, L"%s", L"the unit reset the connection");
        break;
    case WSAETIMEDOUT:
    case WSAENETRESET:
        _snwprintf(lpWhy, cchWhy - 1, L"%s", L"no answer to keep-alive");
        break;
    default:
        _snwprintf(lpWhy, cchWhy - 1, L"receive failed (WSA error %d)", nError);
        break;
    }
}
} // namespace

CTcpLink::CTcpLink()
{
    m_hStopEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CTcpLink::~CTcpLink()
{
    Close();
    if (m_hStopEvent != nullptr)
        ::CloseHandle(m_hStopEvent);
}

DWORD CTcpLink::Open(const LinkParams& params, HANDLE hCancel)
{
    if (m_hStopEvent == nullptr)
        return ERROR_NOT_ENOUGH_MEMORY;
    ::ResetEvent(m_hStopEvent);
    SetName(params.address + L":" + std::to_wstring(params.nTcpPort));
    WSADATA wsaData{};
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        LOG_ERROR(L"WSAStartup failed");
        return ERROR_NOT_READY;
    }
    m_bWsaStarted = true;

    char szAddress[520] = {};
    CUtilityTools::ToNarrow(params.address.c_str(), szAddress, sizeof(szAddress));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(params.nTcpPort));
    if (::inet_pton(AF_INET, szAddress, &address.sin_addr) != 1) {
        LOG_ERROR(L"Not an IPv4 address : %s", params.address.c_str());
        Close();
        return ERROR_INVALID_NETNAME;
    }

    m_hSocket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // Signalled when the connect has ended. Selecting events makes the socket non-blocking:
    // the connect goes on in the network stack while this thread waits for it, for the
    // cancel, or for its bound.
    const WSAEVENT hConnected = ::WSACreateEvent();
    DWORD dwError = 0;
    if (m_hSocket == INVALID_SOCKET || hConnected == WSA_INVALID_EVENT ||
        ::WSAEventSelect(m_hSocket, hConnected, FD_CONNECT) != 0) {
        dwError = static_cast<DWORD>(::WSAGetLastError());
        LOG_ERROR(L"socket() failed, WSA error %d", static_cast<int>(dwError));
        if (dwError == 0)
            dwError = ERROR_NOT_READY;
    } else if (::connect(m_hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == SOCKET_ERROR &&
               ::WSAGetLastError() != WSAEWOULDBLOCK) {
        dwError = static_cast<DWORD>(::WSAGetLastError());
    } else {
        const HANDLE waits[2] = {hConnected, hCancel != nullptr ? hCancel : m_hStopEvent};
        const DWORD dwWait = ::WaitForMultipleObjects(2, waits, FALSE, kConnectTimeoutMs);
        WSANETWORKEVENTS events{};
        if (dwWait == WAIT_OBJECT_0 && ::WSAEnumNetworkEvents(m_hSocket, hConnected, &events) == 0 &&
            (events.lNetworkEvents & FD_CONNECT) != 0)
            dwError = static_cast<DWORD>(events.iErrorCode[FD_CONNECT_BIT]);
        else if (dwWait == WAIT_OBJECT_0)
            dwError = WSAECONNREFUSED;
        else
            dwError = dwWait == WAIT_TIMEOUT ? WSAETIMEDOUT : ERROR_CANCELLED;
    }
    // From now on the receive thread's overlapped receives wait for data and for the peer's
    // close; writes stay non-blocking, bounded by Write itself.
    if (dwError == 0) {
        EnableKeepAlive(m_hSocket);
        u_long nonBlocking = 1;
        if (::WSAEventSelect(m_hSocket, nullptr, 0) != 0 || ::ioctlsocket(m_hSocket, FIONBIO, &nonBlocking) != 0)
            dwError = static_cast<DWORD>(::WSAGetLastError());
    }
    if (hConnected != WSA_INVALID_EVENT)
        ::WSACloseEvent(hConnected);
    if (dwError != 0) {
        LOG_ERROR(L"connect() to %s:%d failed, error %d", params.address.c_str(), params.nTcpPort, static_cast<int>(dwError));
        Close();
    }
    return dwError;
}

void CTcpLink::Wake()
{
    // The stop event lives as long as the link and Close does not touch it: unlike the serial
    // link's, this Wake reads nothing that a close running at the same time lets go of.
    ::SetEvent(m_hStopEvent);
}

int CTcpLink::Close()
{
    int nResult = 0;
    if (m_hSocket != INVALID_SOCKET) {
        nResult = ::closesocket(m_hSocket);
        m_hSocket = INVALID_SOCKET;
    }
    if (m_bWsaStarted) {
        ::WSACleanup();
        m_bWsaStarted = false;
    }
    return nResult;
}

bool CTcpLink::Write(const char* pBytes, DWORD dwLength, DWORD dwTimeoutMs, DWORD& dwWritten)
{
    dwWritten = 0;
    if (m_hSocket == INVALID_SOCKET || pBytes == nullptr)
        return false;
    // While the unit's window is full, wait until it takes more: within dwTimeoutMs (without a
    // bound when INFINITE: the link's end, a reset or the keep-alive, ends it then), and not
    // past a close.
    ULONGLONG ullStalledSince = 0;
    while (dwWritten < dwLength) {
        const int nResult = ::send(m_hSocket, pBytes + dwWritten, static_cast<int>(dwLength - dwWritten), 0);
        if (nResult > 0) {
            dwWritten += static_cast<DWORD>(nResult);
            ullStalledSince = 0;
            continue;
        }
        if (nResult == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) {
            LOG_ERROR(L"send() failed, WSA error %d", ::WSAGetLastError());
            return false;
        }
        if (::WaitForSingleObject(m_hStopEvent, 0) == WAIT_OBJECT_0)
            return false;
        const ULONGLONG ullNow = ::GetTickCount64();
        if (ullStalledSince == 0) {
            ullStalledSince = ullNow;
        } else if (dwTimeoutMs != INFINITE && ullNow - ullStalledSince >= dwTimeoutMs) {
            LOG_ERROR(L"send() stalled for %d ms", static_cast<int>(dwTimeoutMs));
            return false;
        }
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(m_hSocket, &writable);
        timeval slice{0, kWriteSliceMicros};
        ::select(0, nullptr, &writable, nullptr, &slice);
    }
    return true;
}

namespace {

// The receive thread's overlapped receive: its record and buffer, which the network stack
// writes into until the receive has come back. On the heap, so that a receive a cancel does
// not bring back keeps them for ever rather than have them written into after they went.
struct PendingReceive {
    WSAOVERLAPPED os{};
    std::vector<char> buffer;
    PendingReceive() : buffer(CTcpLink::kReadBytes) { os.hEvent = ::WSACreateEvent(); }
    ~PendingReceive()
    {
        if (os.hEvent != WSA_INVALID_EVENT)
            ::WSACloseEvent(os.hEvent);
    }
    PendingReceive(const PendingReceive&) = delete;
    PendingReceive& operator=(const PendingReceive&) = delete;
};

} // namespace

unsigned int WINAPI Thread_WatchEthernet(void* pParam)
{
    CTcpLink* pLink = static_cast<CTcpLink*>(pParam);
    CFrameAssembler assembler(true);
    // One overlapped receive at a time: it completes at once while bytes wait, and is waited
    // for together with the stop event when none do. It has come back before the thread ends,
    // or (a cancel that the stack does not answer) it keeps its record and buffer.
    PendingReceive* pReceive = new (std::nothrow) PendingReceive;
    const wchar_t* lpLost = nullptr;
    wchar_t szWhy[96] = {};
    if (pReceive == nullptr || pReceive->os.hEvent == WSA_INVALID_EVENT)
        lpLost = L"the receive thread could not start";
    while (lpLost == nullptr && pLink->IsOpen()) {
        WSAOVERLAPPED& osRecv = pReceive->os;
        WSABUF wsaBuffer{static_cast<ULONG>(CTcpLink::kReadBytes), pReceive->buffer.data()};
        DWORD dwReceived = 0;
        DWORD dwFlags = 0;
        ::WSAResetEvent(osRecv.hEvent);
        if (::WSARecv(pLink->m_hSocket, &wsaBuffer, 1, &dwReceived, &dwFlags, &osRecv, nullptr) != 0) {
            const int nError = ::WSAGetLastError();
            if (nError != WSA_IO_PENDING) {
                DescribeReceiveFailure(nError, szWhy, 96);
                lpLost = szWhy;
                break;
            }
            const HANDLE waits[2] = {osRecv.hEvent, pLink->m_hStopEvent};
            const DWORD dwWait = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (dwWait != WAIT_OBJECT_0) {
                // A close (or a failed wait): the receive is ended before its record goes,
                // within the link's cancel bound.
                const DWORD dwError = ::GetLastError();
                ::CancelIoEx(reinterpret_cast<HANDLE>(pLink->m_hSocket), &osRecv);
                if (::WaitForSingleObject(osRecv.hEvent, CLink::kCancelWaitMs) != WAIT_OBJECT_0) {
                    LOG_ERROR(L"A cancelled receive did not come back; its record is left to it");
                    pReceive = nullptr;
                } else {
                    ::WSAGetOverlappedResult(pLink->m_hSocket, &osRecv, &dwReceived, FALSE, &dwFlags);
                }
                if (dwWait != WAIT_OBJECT_0 + 1) {
                    // The link is given up as any other lost link is: everyone is told.
                    _snwprintf(szWhy, 95, L"the receive thread's wait failed (error %d)", static_cast<int>(dwError));
                    lpLost = szWhy;
                }
                break;
            }
            if (!::WSAGetOverlappedResult(pLink->m_hSocket, &osRecv, &dwReceived, FALSE, &dwFlags)) {
                DescribeReceiveFailure(::WSAGetLastError(), szWhy, 96);
                lpLost = szWhy;
                break;
            }
        }
        // The peer's close shows as a receive of 0 bytes once its last bytes have been read.
        if (dwReceived == 0) {
            lpLost = L"the unit closed the connection";
            break;
        }
        // One receive takes all that waits (up to the buffer): how far behind we are.
        pLink->NoteBacklog(dwReceived);
        pLink->Feed(assembler, reinterpret_cast<const BYTE*>(pReceive->buffer.data()), dwReceived);
    }
    if (lpLost != nullptr && pLink->IsOpen())
        pLink->Sink().OnLinkLost(lpLost);
    delete pReceive;
    return 1;
}
