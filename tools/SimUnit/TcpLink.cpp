#include "TcpLink.h"

#include "SimText.h"

#include <ws2tcpip.h>

namespace simunit {

namespace {
const long kPollUs = 50 * 1000;

// Waits until the socket is readable (bWrite false) or writable; true when it is.
bool WaitSocket(SOCKET s, bool bWrite, long lMicros)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{0, lMicros};
    const int r = select(0, bWrite ? nullptr : &set, bWrite ? &set : nullptr, &failed, &tv);
    return r > 0;
}

std::string AddressText(const sockaddr_in& addr)
{
    char szIp[64] = {};
    inet_ntop(AF_INET, &addr.sin_addr, szIp, sizeof(szIp));
    return std::string(szIp) + ":" + std::to_string(ntohs(addr.sin_port));
}
} // namespace

int CTcpLink::Read(char* pBuf, int cbBuf, std::string& reason)
{
    if (!WaitSocket(m_socket, false, kPollUs))
        return 0;
    const int n = recv(m_socket, pBuf, cbBuf, 0);
    if (n > 0)
        return n;
    if (n == 0) {
        reason = "peer closed";
        return -1;
    }
    const int err = WSAGetLastError();
    if (err == WSAEWOULDBLOCK)
        return 0;
    reason = "receive error " + std::to_string(err);
    return -1;
}

bool CTcpLink::Write(const char* p, size_t cb, HANDLE hStop, std::string& reason)
{
    while (cb > 0) {
        const int chunk = cb > 0x10000 ? 0x10000 : static_cast<int>(cb);
        const int n = send(m_socket, p, chunk, 0);
        if (n > 0) {
            p += n;
            cb -= static_cast<size_t>(n);
            continue;
        }
        const int err = WSAGetLastError();
        if (n == SOCKET_ERROR && err == WSAEWOULDBLOCK) {
            // Only a write that has to wait looks at the stop event.
            if (WaitForSingleObject(hStop, 0) == WAIT_OBJECT_0) {
                reason = "stopped";
                return false;
            }
            WaitSocket(m_socket, true, kPollUs);
            continue;
        }
        reason = "send error " + std::to_string(err);
        return false;
    }
    return true;
}

void CTcpLink::HangUp()
{
    if (m_socket != INVALID_SOCKET)
        shutdown(m_socket, SD_SEND);
}

void CTcpLink::Reset()
{
    if (m_socket == INVALID_SOCKET)
        return;
    // Closed at once with nothing lingering: the stack sends a reset.
    linger hard{1, 0};
    setsockopt(m_socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
    closesocket(m_socket);
    m_socket = INVALID_SOCKET;
}

void CTcpLink::Close()
{
    if (m_socket == INVALID_SOCKET)
        return;
    // Read what the peer still sent, so that closing sends an orderly end and not a reset
    // that could cost the peer the last bytes it has not read yet.
    shutdown(m_socket, SD_SEND);
    char buf[1024];
    for (int i = 0; i < 64 && recv(m_socket, buf, sizeof(buf), 0) > 0; ++i) {
    }
    closesocket(m_socket);
    m_socket = INVALID_SOCKET;
}

bool CTcpListener::Listen(const std::string& hostPort, std::string& error, DWORD& dwError)
{
    dwError = 0;
    std::string host = "127.0.0.1";
    std::string portText = hostPort;
    const size_t colon = hostPort.rfind(':');
    if (colon != std::string::npos) {
        host = hostPort.substr(0, colon);
        portText = hostPort.substr(colon + 1);
    }
    unsigned long ulPort = 0;
    if (!ParseNumber(portText, 65535, ulPort) || ulPort == 0 || host.empty()) {
        error = "bad TCP address \"" + hostPort + "\" (expected [HOST:]PORT)";
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* pInfo = nullptr;
    const int gai = getaddrinfo(host.c_str(), portText.c_str(), &hints, &pInfo);
    if (gai != 0 || pInfo == nullptr) {
        dwError = static_cast<DWORD>(gai);
        error = "cannot resolve the host \"" + host + "\" (error " + std::to_string(gai) + ")";
        return false;
    }
    sockaddr_in addr{};
    memcpy(&addr, pInfo->ai_addr, sizeof(addr));
    freeaddrinfo(pInfo);
    m_address = AddressText(addr);

    m_socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (m_socket == INVALID_SOCKET) {
        dwError = static_cast<DWORD>(WSAGetLastError());
        error = "cannot create a socket (error " + std::to_string(dwError) + ")";
        return false;
    }
    // Without this another program could bind the same port beside us and steal connections.
    BOOL bExclusive = TRUE;
    setsockopt(m_socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&bExclusive), sizeof(bExclusive));
    if (bind(m_socket, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == SOCKET_ERROR ||
        listen(m_socket, 4) == SOCKET_ERROR) {
        dwError = static_cast<DWORD>(WSAGetLastError());
        if (dwError == WSAEADDRINUSE || dwError == WSAEACCES)
            error = "TCP port " + m_address + " is in use (error " + std::to_string(dwError) + ")";
        else
            error = "cannot listen on " + m_address + " (error " + std::to_string(dwError) + ")";
        Close();
        return false;
    }
    u_long nonBlocking = 1;
    ioctlsocket(m_socket, FIONBIO, &nonBlocking);
    return true;
}

CTcpLink* CTcpListener::Accept(HANDLE hStop, std::string& error)
{
    while (WaitForSingleObject(hStop, 0) != WAIT_OBJECT_0) {
        if (!WaitSocket(m_socket, false, 100 * 1000))
            continue;
        sockaddr_in peer{};
        int cbPeer = sizeof(peer);
        SOCKET s = accept(m_socket, reinterpret_cast<sockaddr*>(&peer), &cbPeer);
        if (s == INVALID_SOCKET) {
            const int err = WSAGetLastError();
            if (err == WSAEWOULDBLOCK || err == WSAECONNRESET)
                continue;
            error = "accept failed (error " + std::to_string(err) + ")";
            return nullptr;
        }
        u_long nonBlocking = 1;
        ioctlsocket(s, FIONBIO, &nonBlocking);
        // Split answers must leave as separate segments, not be merged by Nagle's rule.
        BOOL bNoDelay = TRUE;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&bNoDelay), sizeof(bNoDelay));
        return new CTcpLink(s, AddressText(peer));
    }
    return nullptr;
}

void CTcpListener::Close()
{
    if (m_socket != INVALID_SOCKET) {
        closesocket(m_socket);
        m_socket = INVALID_SOCKET;
    }
}

} // namespace simunit
