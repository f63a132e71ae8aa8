// The TCP link: one client connection to the unit, connected without holding the calling
// thread past its bound, and its receive thread Thread_WatchEthernet. Owned by the link
// manager for one link session.
#pragma once

#include "comm/link/Link.h"

#include <winsock2.h>

unsigned int WINAPI Thread_WatchEthernet(void* pParam);

class CTcpLink : public CLink {
public:
    CTcpLink();
    ~CTcpLink() override;

    LinkKind Kind() const override { return LinkKind::Tcp; }
    DWORD Open(const LinkParams& params, HANDLE hCancel) override;
    bool Write(const char* pBytes, DWORD dwLength, DWORD dwTimeoutMs, DWORD& dwWritten) override;
    void Wake() override;
    int Close() override;

    // How long a connect may take (the unit answers on the local network at once; a missing
    // host would otherwise hold the open for about 21 s).
    static constexpr DWORD kConnectTimeoutMs = 10000;
    // Bytes taken from the socket in one receive at most.
    static constexpr int kReadBytes = 65536;

protected:
    ThreadRoutine ReceiveRoutine() const override { return &Thread_WatchEthernet; }

private:
    friend unsigned int WINAPI Thread_WatchEthernet(void* pParam);

    // Written by Open and Close while no other thread uses the link; read by the receive
    // thread and the writer in between.
    SOCKET m_hSocket = INVALID_SOCKET;
    bool m_bWsaStarted = false;
    // Set by Wake (any thread), reset by Open; ends the receive thread's wait and a write.
    HANDLE m_hStopEvent = nullptr;
};
