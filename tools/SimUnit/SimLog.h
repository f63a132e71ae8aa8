// The simulated unit's record of what happened on the link: a readable event log (one line
// per event, each written through at once so a test can read it while the unit runs), a raw
// copy of every received byte, and the same lines on stdout for an engineer watching a demo.
// One object per run, shared by the reader and writer threads of a connection.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

namespace simunit {

class CSimLog {
public:
    CSimLog();
    ~CSimLog();
    CSimLog(const CSimLog&) = delete;
    CSimLog& operator=(const CSimLog&) = delete;

    // Both files are created afresh; false with error text when one cannot be created.
    bool OpenEventLog(const std::wstring& path, std::wstring& error);
    bool OpenRawLog(const std::wstring& path, std::wstring& error);
    void SetEcho(bool bEcho) { m_bEcho = bEcho; }

    // One event line, prefixed with the milliseconds since start; printf-style format.
    void Line(const char* lpFormat, ...);
    // Received bytes as they came.
    void Raw(const char* p, size_t cb);

private:
    std::mutex m_mutex;
    HANDLE m_hEvents = INVALID_HANDLE_VALUE;
    HANDLE m_hRaw = INVALID_HANDLE_VALUE;
    bool m_bEcho = true;
    ULONGLONG m_ullStart = 0;
};

// Plain output for messages that are not link events (READY, errors, help).
void WriteStd(DWORD dwStdHandle, const std::string& text);

} // namespace simunit
