// Owns a file handle from CreateFileW and closes it when it goes (INVALID_HANDLE_VALUE: none).
#pragma once

#include <windows.h>

class CFileHandle {
public:
    explicit CFileHandle(HANDLE hFile) : m_hFile(hFile) {}
    ~CFileHandle()
    {
        if (m_hFile != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_hFile);
    }
    CFileHandle(const CFileHandle&) = delete;
    CFileHandle& operator=(const CFileHandle&) = delete;
    HANDLE Get() const { return m_hFile; }

private:
    HANDLE m_hFile;
};
