// Serial side of the simulated unit: a COM port opened for overlapped I/O, 8N1 with XON/XOFF.
// The receive loop does not trust WaitCommEvent to block (under Wine on a pseudo-terminal it
// ends early with 995 or an empty mask, and EV_RXCHAR stays signalled while bytes wait), so
// every wake-up is followed by a look at the input queue.
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
    ULONGLONG m_ullLastBytes = 0; // reader: when bytes last came
    DWORD m_dwMask = 0;
    bool m_bWaitPending = false; // reader thread only
};

} // namespace simunit
