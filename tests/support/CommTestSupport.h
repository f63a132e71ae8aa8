// Helpers for the link manager's tests: an owner window that records the notifications it
// gets, the console log's text, and plain peers on the far end of a serial or TCP link.
#pragma once

#include "comm/Comm.h"
#include "support/TestSupport.h"

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

namespace testsupport {

// A hidden top-level window bound like every window of the program; it keeps every
// WM_SERIAL_* notification it receives (text and kind) and frees the copies as the
// program's windows do.
class CRecorderWnd : public CWnd {
public:
    struct Note {
        UINT message;
        std::wstring text;
        int kind;
    };

    bool Create();
    ~CRecorderWnd() override;

    std::vector<Note> notes;
    size_t Count(UINT message) const;

protected:
    LRESULT OnEpm(WPARAM wParam, LPARAM lParam) { return Keep(WM_SERIAL_EPM, wParam, lParam); }
    LRESULT OnSlp(WPARAM wParam, LPARAM lParam) { return Keep(WM_SERIAL_SLP, wParam, lParam); }
    LRESULT OnSmp(WPARAM wParam, LPARAM lParam) { return Keep(WM_SERIAL_SMP, wParam, lParam); }
    DECLARE_MESSAGE_MAP()

private:
    LRESULT Keep(UINT message, WPARAM wParam, LPARAM lParam);
};

// The console log's lines as the engineer sees them once the view has taken what waits.
std::vector<std::wstring> ConsoleLines(CComm* pComm);
// (an answer's round-trip time at the end of its line is left aside)
bool ConsoleHasLine(CComm* pComm, const std::wstring& line);

// The unit's end of the pseudo-terminal pair, driven with plain blocking calls.
class SerialPeer {
public:
    ~SerialPeer() { Close(); }
    bool Open(int nPort, DWORD dwBaud = 19200);
    void Close();
    bool Write(const std::string& bytes);
    // Collects received bytes until nBytes have come or the time is up (the caller's thread
    // keeps serving its windows meanwhile).
    std::string Read(size_t nBytes, DWORD dwTimeoutMs);

private:
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

// A loopback listener standing in for the unit on TCP.
class TcpPeer {
public:
    TcpPeer();
    ~TcpPeer();
    bool Listen(int nPort, int nBacklog = 1);
    bool Accept(DWORD dwTimeoutMs);
    bool Send(const std::string& bytes);
    std::string Receive(size_t nBytes, DWORD dwTimeoutMs);
    void CloseConnection();

private:
    SOCKET m_listen = INVALID_SOCKET;
    SOCKET m_conn = INVALID_SOCKET;
};

// A loopback port that nothing listens on.
int UnusedTcpPort();

} // namespace testsupport
