// Serial side of the simulated unit: a COM port opened for overlapped I/O, 8N1 with XON/XOFF.
// The receive loop keeps a read pending, which Wine's ports complete as soon as bytes arrive;
// where a read returns at once with nothing (real ports), it waits for received characters,
// and does not trust WaitCommEvent to block (under Wine on a pseudo-terminal it ends early
// with 995 or an empty mask).
#pragma once

#include "SimLink.h"

#include <string>

namespace simunit {

class CSerialLink : public CSimLink {
public:
    CSerialLink();
    ~CSerialLink() override;

    // False with a readable error and the system error code when the port cannot be used.
    bool Open(unsigned long ulPort, unsigned long ulBaud, std::string& error, DWORD& dwError);

    int Read(char* pBuf, int cbBuf, std::string& reason) override;
    void EndReading() override;
    bool Write(const char* p, size_t cb, HANDLE hStop, std::string& reason) override;
    void Close() override;
    bool EatsFlowControlBytes() const override { return true; }

private:
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
    // One OVERLAPPED per kind of operation: the reader's wait and read, the writer's write.
    OVERLAPPED m_ovWait{};
    OVERLAPPED m_ovRead{};
    OVERLAPPED m_ovWrite{};
    // Reader thread only: its pending read, what the read took and is not yet handed on,
    // and its wait for received characters (real ports).
    bool m_bReadPending = false;
    char m_held[4096] = {};
    DWORD m_nHeld = 0;
    DWORD m_nFirstHeld = 0;
    DWORD m_dwMask = 0;
    bool m_bWaitPending = false;

    int TakeHeld(char* pBuf, int cbBuf);
    int WaitForBytes(std::string& reason);
};

} // namespace simunit
