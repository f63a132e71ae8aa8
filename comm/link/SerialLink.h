// The RS-232C link: a COM port opened for overlapped I/O, 8N1 with XON/XOFF both ways, and
// its receive thread Thread_WatchSerial. Owned by the link manager for one link session.
#pragma once

#include "comm/link/Link.h"
#include "framework/Sync.h"

unsigned int WINAPI Thread_WatchSerial(void* pParam);

class CSerialLink : public CLink {
public:
    CSerialLink();
    ~CSerialLink() override;

    LinkKind Kind() const override { return LinkKind::Serial; }
    DWORD Open(const LinkParams& params, HANDLE hCancel) override;
    bool Write(const char* pBytes, DWORD dwLength, DWORD dwTimeoutMs, DWORD& dwWritten) override;
    void Wake() override;
    bool PeerHoldsOutput() override;
    int Close() override;

    HANDLE Handle() const { return m_hComm; }

    // Bytes taken from the port in one read at most.
    static constexpr DWORD kReadBytes = 4096;

protected:
    ThreadRoutine ReceiveRoutine() const override { return &Thread_WatchSerial; }

private:
    friend unsigned int WINAPI Thread_WatchSerial(void* pParam);

    struct PortRead;
    // Receive thread only: reads what the port holds into read's buffer, waiting for the
    // next bytes where the port's reads wait (until Wake). A read that failed, or a port that
    // cannot be looked at, sets dwError; bLeft says that a cancelled read did not come back
    // (its record must then be left to it).
    DWORD Read(PortRead& read, DWORD& dwError, bool& bLeft);

    // The port. Written by Open (the opener) and Close (user-interface thread) under
    // m_csHandle, while neither the receive thread nor the writer runs; they read it without
    // the lock in between. Wake, which any thread may call at any time (a worker's close
    // while the user-interface thread closes too), reads it under m_csHandle only, so it never
    // touches a handle that Close let go of (and the system may have given to something else).
    CCriticalSection m_csHandle;
    HANDLE m_hComm = INVALID_HANDLE_VALUE;
    int m_nPort = 0;
    // The writer's overlapped record; its event is made at construction and lives as long as
    // the object. (The receive thread's read and wait records are its own, on the heap.)
    OVERLAPPED m_osWrite{};
    // Set by Wake (any thread), reset by Open; ends a write's wait and the receive thread's.
    HANDLE m_hStopEvent = nullptr;
    // Writer only (then Close): a cancelled write never came back.
    bool m_bWriteStuck = false;
};
