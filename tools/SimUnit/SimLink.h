// One open connection of the simulated unit, TCP or serial, seen by a session. A session has
// two threads on it: the reader calls Read and finally EndReading; the writer calls Write and
// HangUp. Close runs after both threads are done with the link.
#pragma once

#include <windows.h>

#include <string>

namespace simunit {

class CSimLink {
public:
    virtual ~CSimLink() = default;

    // Waits a short while (about 50 ms) for bytes. Returns the count read, 0 when nothing came,
    // or -1 when the link is gone (reason says why).
    virtual int Read(char* pBuf, int cbBuf, std::string& reason) = 0;

    // Reader thread, after its last Read and before it stops reading for a while: ends
    // anything still pending on the receive side (bytes it took meanwhile come with the next
    // Read).
    virtual void EndReading() {}

    // Writes every byte, waiting as long as the link holds them back. False when the link
    // failed (reason says why) or hStop was set meanwhile.
    virtual bool Write(const char* p, size_t cb, HANDLE hStop, std::string& reason) = 0;

    // Drops the line as a unit being switched off would: what was written still goes out.
    virtual void HangUp() {}

    // Ends the line at once, as a unit that restarts does: a TCP connection is reset (the
    // peer sees no orderly end); other lines hang up.
    virtual void Reset() { HangUp(); }

    virtual void Close() = 0;

    // True when the line takes the flow-control bytes XON (0x11) and XOFF (0x13) out of the
    // data (a serial port with XON/XOFF): such bytes never reach the peer as data.
    virtual bool EatsFlowControlBytes() const { return false; }
};

} // namespace simunit
