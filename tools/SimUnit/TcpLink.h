// TCP side of the simulated unit: a listening socket that hands out one accepted connection
// at a time, and the connection itself. Sockets are non-blocking and waited on with select,
// so the reader can notice the end of its session and the writer a stop request.
#pragma once

#include "SimLink.h"

#include <winsock2.h>

#include <string>

namespace simunit {

class CTcpLink : public CSimLink {
public:
    CTcpLink(SOCKET s, const std::string& peer) : m_socket(s), m_peer(peer) {}
    ~CTcpLink() override { Close(); }

    int Read(char* pBuf, int cbBuf, std::string& reason) override;
    bool Write(const char* p, size_t cb, HANDLE hStop, std::string& reason) override;
    void HangUp() override;
    void Reset() override;
    void Close() override;

    const std::string& Peer() const { return m_peer; }

private:
    SOCKET m_socket;
    std::string m_peer;
};

class CTcpListener {
public:
    ~CTcpListener() { Close(); }

    // hostPort is "[HOST:]PORT". False with a readable error (and the socket error code in
    // dwError) when the address is bad or the port cannot be taken.
    bool Listen(const std::string& hostPort, std::string& error, DWORD& dwError);

    // Waits for the next connection until hStop is set. Null when stopped or failed.
    CTcpLink* Accept(HANDLE hStop, std::string& error);

    const std::string& Address() const { return m_address; }
    void Close();

private:
    SOCKET m_socket = INVALID_SOCKET;
    std::string m_address;
};

} // namespace simunit
