#include "comm/record/SessionLog.h"

#include <process.h>

#include <cwchar>

namespace {

// The system's text for an error code, without its line break; the number when it has none.
std::wstring SystemMessage(DWORD dwError)
{
    wchar_t* pText = nullptr;
    const DWORD dwLength = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwError,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&pText), 0, nullptr);
    std::wstring text = dwLength != 0 && pText != nullptr ? std::wstring(pText, dwLength) : std::wstring();
    if (pText != nullptr)
        LocalFree(pText);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    if (text.empty())
        text = L"System error " + std::to_wstring(dwError) + L".";
    return text;
}

bool IsFolder(const std::wstring& path)
{
    const DWORD dwAttributes = GetFileAttributesW(path.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsSeparator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

// Length of the part of a folder path that names no folder to create: a drive (C:\), the
// backslash of a rooted path (\Data), server and share of a network path (\\server\share\),
// and the \\?\ prefix before either.
size_t RootLength(const std::wstring& path)
{
    size_t i = 0;
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        i = 4;
    if (i + 1 < path.size() && path[i + 1] == L':') {
        i += 2;
    } else if (i == 0 && path.size() > 1 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        i = 2;
        for (int separators = 0; i < path.size() && separators < 2; ++i) {
            if (IsSeparator(path[i]))
                ++separators;
        }
        return i;
    }
    while (i < path.size() && IsSeparator(path[i]))
        ++i;
    return i;
}

// Creates every missing folder of the chain. On failure, lpFailedAt is the folder that could
// not be made and dwError the system's code.
bool CreateFolderChain(const std::wstring& folder, std::wstring& failedAt, DWORD& dwError)
{
    if (IsFolder(folder))
        return true;
    const size_t nRoot = RootLength(folder);
    for (size_t i = nRoot; i <= folder.size(); ++i) {
        if (i < folder.size() && !IsSeparator(folder[i]))
            continue;
        if (i == nRoot || IsSeparator(folder[i - 1]))
            continue; // a doubled separator
        const std::wstring part = folder.substr(0, i);
        if (IsFolder(part))
            continue;
        if (!CreateDirectoryW(part.c_str(), nullptr)) {
            dwError = GetLastError();
            // Another process may have made it meanwhile; a file of that name is a failure.
            if (dwError == ERROR_ALREADY_EXISTS && IsFolder(part))
                continue;
            failedAt = part;
            return false;
        }
    }
    return true;
}

} // namespace

std::string ToUtf8(const std::wstring& text)
{
    // Lone surrogates are replaced here: what the system makes of them differs between its
    // versions (and Wine's).
    std::wstring clean;
    const std::wstring* pText = &text;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const bool bHigh = c >= 0xD800 && c <= 0xDBFF;
        const bool bLow = c >= 0xDC00 && c <= 0xDFFF;
        if (bHigh && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i; // a pair
            continue;
        }
        if (bHigh || bLow) {
            if (pText != &clean) {
                clean = text;
                pText = &clean;
            }
            clean[i] = 0xFFFD;
        }
    }
    // In pieces that an int counts, never ending between the two halves of a pair.
    std::string out;
    const size_t nPiece = 1u << 24;
    for (size_t i = 0; i < pText->size();) {
        size_t n = pText->size() - i < nPiece ? pText->size() - i : nPiece;
        if (i + n < pText->size() && (*pText)[i + n - 1] >= 0xD800 && (*pText)[i + n - 1] <= 0xDBFF)
            --n;
        const int cchWide = static_cast<int>(n);
        const int cbNeeded = WideCharToMultiByte(CP_UTF8, 0, pText->data() + i, cchWide, nullptr, 0, nullptr, nullptr);
        const size_t nAt = out.size();
        out.resize(nAt + static_cast<size_t>(cbNeeded));
        WideCharToMultiByte(CP_UTF8, 0, pText->data() + i, cchWide, &out[nAt], cbNeeded, nullptr, nullptr);
        i += n;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// The owner's side

CSessionLog::CSessionLog(unsigned long long nPartBytes) : CSessionLog(nPartBytes, kFlushMs, kWaitingBytes) {}

CSessionLog::CSessionLog(unsigned long long nPartBytes, DWORD dwFlushMs, size_t nWaitingBytes)
    : m_nPartBytes(nPartBytes > 0 ? nPartBytes : 1),
      m_dwFlushMs(dwFlushMs),
      // Whatever waits goes to WriteFile in one call, whose count is a DWORD.
      m_nWaitingBytes(nWaitingBytes < (1u << 30) ? nWaitingBytes : (1u << 30))
{
    m_hWake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

CSessionLog::~CSessionLog()
{
    Stop();
    if (m_hWake != nullptr)
        ::CloseHandle(m_hWake);
}

bool CSessionLog::Start(const std::wstring& folder, const SYSTEMTIME& stOpenedLocal, std::wstring& error)
{
    Stop();
    error.clear();
    m_bStopAsked.store(false);
    m_bFailed.store(false);
    m_nWritten.store(0);
    m_nDropped.store(0);
    m_nPart = 1;
    m_nPartSize = 0;
    {
        CSingleLock lock(m_cs);
        m_waiting.clear();
        m_nOverflow = 0;
        m_bOverflowReported = false;
        m_parts.clear();
        m_failure.clear();
    }
    if (m_hWake == nullptr) {
        error = L"The session record cannot be written: " + SystemMessage(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    ::ResetEvent(m_hWake);

    std::wstring dir = folder;
    while (dir.size() > RootLength(dir) && IsSeparator(dir.back()))
        dir.pop_back();
    if (dir.empty()) {
        error = L"The session record has no folder to go into.";
        return false;
    }
    std::wstring failedAt;
    DWORD dwError = 0;
    if (!CreateFolderChain(dir, failedAt, dwError)) {
        error = L"The folder of the session record, " + dir + L", cannot be made";
        if (failedAt != dir)
            error += L" (at " + failedAt + L")";
        error += L": " + SystemMessage(dwError);
        return false;
    }

    wchar_t szName[64] = {};
    _snwprintf(szName, 63, L"Session-%04u%02u%02u-%02u%02u%02u", stOpenedLocal.wYear, stOpenedLocal.wMonth,
               stOpenedLocal.wDay, stOpenedLocal.wHour, stOpenedLocal.wMinute, stOpenedLocal.wSecond);
    const std::wstring sep = IsSeparator(dir.back()) ? L"" : L"\\";
    // An earlier record of the same second keeps its file: this one takes -b, -c, ... -z.
    for (wchar_t cSuffix = L'a'; cSuffix <= L'z'; ++cSuffix) {
        m_base = dir + sep + szName;
        if (cSuffix != L'a')
            m_base += std::wstring(L"-") + cSuffix;
        m_hFile = ::CreateFileW(PartPath(1).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_hFile != INVALID_HANDLE_VALUE)
            break;
        dwError = GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS)
            break;
    }
    if (m_hFile == INVALID_HANDLE_VALUE) {
        error = L"The session record file " + PartPath(1) + L" cannot be made: " + SystemMessage(dwError);
        return false;
    }
    {
        CSingleLock lock(m_cs);
        m_parts.push_back(PartPath(1));
        m_bAccepting = true;
    }
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Thread_WriteSession, this, 0, nullptr));
    if (m_hThread == nullptr) {
        dwError = GetLastError();
        {
            CSingleLock lock(m_cs);
            m_bAccepting = false;
            m_parts.clear();
        }
        ::CloseHandle(m_hFile);
        m_hFile = INVALID_HANDLE_VALUE;
        ::DeleteFileW(PartPath(1).c_str());
        error = L"The writer of the session record " + PartPath(1) + L" cannot be started: " + SystemMessage(dwError);
        return false;
    }
    return true;
}

void CSessionLog::Append(const std::string& utf8Lines)
{
    const unsigned long long n = utf8Lines.size();
    if (n == 0)
        return;
    // A record that failed drops everything, without the lock.
    if (m_bFailed.load()) {
        m_nDropped += n;
        return;
    }
    CSingleLock lock(m_cs);
    if (!m_bAccepting) {
        if (m_bFailed.load())
            m_nDropped += n;
        return;
    }
    if (m_waiting.size() + n > m_nWaitingBytes) {
        m_nOverflow += n;
        m_nDropped += n;
        return;
    }
    if (m_waiting.empty())
        m_ullFirstWaiting = ::GetTickCount64();
    m_waiting += utf8Lines;
}

void CSessionLog::FlushSoon()
{
    if (m_hWake != nullptr)
        ::SetEvent(m_hWake);
}

void CSessionLog::Stop()
{
    if (m_hThread == nullptr)
        return;
    {
        // What is given from here on is not taken: the writer's last turn takes all before it.
        CSingleLock lock(m_cs);
        m_bAccepting = false;
    }
    m_bStopAsked.store(true);
    ::SetEvent(m_hWake);
    ::WaitForSingleObject(m_hThread, INFINITE);
    ::CloseHandle(m_hThread);
    m_hThread = nullptr;
}

bool CSessionLog::IsRunning() const
{
    CSingleLock lock(m_cs);
    return m_bAccepting;
}

std::wstring CSessionLog::Path() const
{
    CSingleLock lock(m_cs);
    return m_bAccepting && !m_parts.empty() ? m_parts.back() : std::wstring();
}

std::vector<std::wstring> CSessionLog::Parts() const
{
    CSingleLock lock(m_cs);
    return m_parts;
}

std::wstring CSessionLog::TakeFailure()
{
    std::wstring text;
    CSingleLock lock(m_cs);
    text.swap(m_failure);
    return text;
}

std::wstring CSessionLog::PartPath(int nPart) const
{
    return nPart > 1 ? m_base + L"-" + std::to_wstring(nPart) + L".log" : m_base + L".log";
}

bool CSessionLog::WriteBytes(HANDLE hFile, const char* pData, DWORD cbData, DWORD& cbWritten)
{
    cbWritten = 0;
    return ::WriteFile(hFile, pData, cbData, &cbWritten, nullptr) != FALSE;
}

// ---------------------------------------------------------------------------------------
// The writer

unsigned __stdcall CSessionLog::Thread_WriteSession(void* pParam)
{
    static_cast<CSessionLog*>(pParam)->WriterLoop();
    return 0;
}

void CSessionLog::WriterLoop()
{
    std::string batch;
    for (;;) {
        const bool bStop = m_bStopAsked.load();
        if (!bStop) {
            // Nothing waits: a tick. Something waits: until 100 ms after its first byte.
            DWORD dwWaitMs = m_dwFlushMs;
            {
                CSingleLock lock(m_cs);
                if (!m_waiting.empty()) {
                    const ULONGLONG ullNow = ::GetTickCount64();
                    const ULONGLONG ullDue = m_ullFirstWaiting + m_dwFlushMs;
                    dwWaitMs = ullNow >= ullDue ? 0 : static_cast<DWORD>(ullDue - ullNow);
                }
            }
            if (dwWaitMs > 0) {
                const DWORD dwResult = ::WaitForSingleObject(m_hWake, dwWaitMs);
                if (dwResult == WAIT_TIMEOUT)
                    continue; // the next turn sees whether something is due
                if (dwResult != WAIT_OBJECT_0)
                    ::Sleep(m_dwFlushMs); // the event failed: write at the tick's pace
            }
        }
        {
            CSingleLock lock(m_cs);
            batch.swap(m_waiting);
        }
        ReportDropped();
        if (!batch.empty() && !WriteBatch(batch))
            break;
        batch.clear();
        // A burst leaves its buffer behind only up to a size.
        if (batch.capacity() > (4u << 20))
            std::string().swap(batch);
        if (bStop)
            break;
    }
    CloseFile();
}

bool CSessionLog::WriteBatch(const std::string& batch)
{
    size_t i = 0;
    while (i < batch.size()) {
        const unsigned long long nRoom = m_nPartSize < m_nPartBytes ? m_nPartBytes - m_nPartSize : 0;
        size_t n = batch.size() - i;
        if (n > nRoom) {
            // The whole lines that still fit into this part.
            const size_t nEnd = nRoom > 0 ? batch.rfind('\n', i + static_cast<size_t>(nRoom) - 1) : std::string::npos;
            if (nEnd != std::string::npos && nEnd >= i) {
                n = nEnd + 1 - i;
            } else if (m_nPartSize > 0) {
                if (!NextPart()) {
                    const DWORD dwError = GetLastError();
                    Fail(L"The next part of the session record, " + PartPath(m_nPart) + L", cannot be made: " +
                             SystemMessage(dwError),
                         batch.size() - i);
                    return false;
                }
                continue;
            } else {
                // A line longer than a part fills a part alone.
                const size_t nLineEnd = batch.find('\n', i);
                n = nLineEnd == std::string::npos ? batch.size() - i : nLineEnd + 1 - i;
            }
        }
        size_t cbKept = 0;
        if (!WritePiece(batch.data() + i, n, cbKept)) {
            const DWORD dwError = GetLastError();
            Fail(L"Writing the session record " + PartPath(m_nPart) + L" failed: " + SystemMessage(dwError) +
                     L" The record stops here.",
                 batch.size() - i - cbKept);
            return false;
        }
        i += n;
    }
    return true;
}

bool CSessionLog::WritePiece(const char* pData, size_t cbData, size_t& cbKept)
{
    // Whole lines only (the caller cut them), and no more than m_nWaitingBytes: a DWORD.
    const DWORD cb = static_cast<DWORD>(cbData);
    DWORD dwDone = 0;
    while (dwDone < cb) {
        DWORD dwWritten = 0;
        const bool bOk = WriteBytes(m_hFile, pData + dwDone, cb - dwDone, dwWritten);
        const DWORD dwError = bOk ? ERROR_WRITE_FAULT : GetLastError();
        dwDone += dwWritten < cb - dwDone ? dwWritten : cb - dwDone;
        if (bOk && dwWritten > 0)
            continue;
        // Failed part-way: the file keeps the whole lines that went, not a piece of the next.
        size_t nKept = dwDone;
        while (nKept > 0 && pData[nKept - 1] != '\n')
            --nKept;
        if (nKept < dwDone) {
            LARGE_INTEGER liEnd;
            liEnd.QuadPart = static_cast<LONGLONG>(m_nPartSize + nKept);
            if (!::SetFilePointerEx(m_hFile, liEnd, nullptr, FILE_BEGIN) || !::SetEndOfFile(m_hFile))
                nKept = dwDone; // it stays; counted as written
        }
        m_nPartSize += nKept;
        m_nWritten += nKept;
        cbKept = nKept;
        SetLastError(dwError);
        return false;
    }
    m_nPartSize += cb;
    m_nWritten += cb;
    cbKept = cb;
    return true;
}

bool CSessionLog::NextPart()
{
    // A finished part is made durable; the running one only at Stop.
    CloseFile();
    ++m_nPart;
    m_hFile = ::CreateFileW(PartPath(m_nPart).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hFile == INVALID_HANDLE_VALUE)
        return false;
    m_nPartSize = 0;
    CSingleLock lock(m_cs);
    m_parts.push_back(PartPath(m_nPart));
    return true;
}

void CSessionLog::Fail(const std::wstring& why, unsigned long long nLost)
{
    // Appenders that look from here on drop without the lock; those that got in first are
    // counted with what waits.
    m_bFailed.store(true);
    {
        CSingleLock lock(m_cs);
        m_bAccepting = false;
        nLost += m_waiting.size();
        std::string().swap(m_waiting);
        m_failure += m_failure.empty() ? why : L" " + why;
    }
    m_nDropped += nLost;
}

void CSessionLog::ReportDropped()
{
    unsigned long long nBytes = 0;
    std::wstring path;
    {
        CSingleLock lock(m_cs);
        if (m_bOverflowReported || m_nOverflow == 0)
            return;
        m_bOverflowReported = true;
        nBytes = m_nOverflow;
        path = m_parts.empty() ? std::wstring() : m_parts.back();
    }
    const std::wstring text = std::to_wstring(nBytes) + L" bytes of the session record were dropped: the disk does not keep up with " +
                              path + L".";
    CSingleLock lock(m_cs);
    m_failure += m_failure.empty() ? text : L" " + text;
}

void CSessionLog::CloseFile()
{
    if (m_hFile == INVALID_HANDLE_VALUE)
        return;
    ::FlushFileBuffers(m_hFile);
    ::CloseHandle(m_hFile);
    m_hFile = INVALID_HANDLE_VALUE;
}
