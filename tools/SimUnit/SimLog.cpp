#include "SimLog.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace simunit {

namespace {
HANDLE CreateLogFile(const std::wstring& path, std::wstring& error)
{
    // Readers may open the file while the unit writes it, and delete it after the run.
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        wchar_t szMsg[400];
        _snwprintf(szMsg, 399, L"cannot create %ls (error %lu)", path.c_str(), GetLastError());
        szMsg[399] = L'\0';
        error = szMsg;
    }
    return h;
}

void WriteAll(HANDLE h, const char* p, size_t cb)
{
    while (cb > 0) {
        DWORD dwDone = 0;
        const DWORD dwChunk = cb > 0x10000 ? 0x10000 : static_cast<DWORD>(cb);
        if (!WriteFile(h, p, dwChunk, &dwDone, nullptr) || dwDone == 0)
            return;
        p += dwDone;
        cb -= dwDone;
    }
}
} // namespace

void WriteStd(DWORD dwStdHandle, const std::string& text)
{
    HANDLE h = GetStdHandle(dwStdHandle);
    if (h != nullptr && h != INVALID_HANDLE_VALUE)
        WriteAll(h, text.data(), text.size());
}

CSimLog::CSimLog() : m_ullStart(GetTickCount64()) {}

CSimLog::~CSimLog()
{
    if (m_hEvents != INVALID_HANDLE_VALUE)
        CloseHandle(m_hEvents);
    if (m_hRaw != INVALID_HANDLE_VALUE)
        CloseHandle(m_hRaw);
}

bool CSimLog::OpenEventLog(const std::wstring& path, std::wstring& error)
{
    m_hEvents = CreateLogFile(path, error);
    return m_hEvents != INVALID_HANDLE_VALUE;
}

bool CSimLog::OpenRawLog(const std::wstring& path, std::wstring& error)
{
    m_hRaw = CreateLogFile(path, error);
    return m_hRaw != INVALID_HANDLE_VALUE;
}

void CSimLog::Line(const char* lpFormat, ...)
{
    va_list args;
    va_start(args, lpFormat);
    va_list copy;
    va_copy(copy, args);
    const int cch = std::vsnprintf(nullptr, 0, lpFormat, copy);
    va_end(copy);
    std::vector<char> body(cch > 0 ? static_cast<size_t>(cch) + 1 : 1, '\0');
    if (cch > 0)
        std::vsnprintf(body.data(), body.size(), lpFormat, args);
    va_end(args);

    char szTime[32];
    std::snprintf(szTime, sizeof(szTime), "%8llu ", static_cast<unsigned long long>(GetTickCount64() - m_ullStart));
    std::string line = szTime;
    line += body.data();
    line += "\r\n";

    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_hEvents != INVALID_HANDLE_VALUE)
        WriteAll(m_hEvents, line.data(), line.size());
    if (m_bEcho)
        WriteStd(STD_OUTPUT_HANDLE, line);
}

void CSimLog::Raw(const char* p, size_t cb)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_hRaw != INVALID_HANDLE_VALUE)
        WriteAll(m_hRaw, p, cb);
}

} // namespace simunit
