#include "comm/record/SessionLog.h"

#include "storage/UtilityTools.h"

#include <process.h>

#include <atomic>
#include <algorithm>
#include <cwchar>
#include <utility>

namespace {


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
// The writer's state, shared by the record and its writer thread; freed by the last of the
// two to let go, so a writer left to finish on its own never touches the record.

struct CSessionLog::Shared {
    Shared(unsigned long long nPartBytesIn, DWORD dwFlushMsIn, size_t nWaitingBytesIn, WriteHook hook)
        : nPartBytes(nPartBytesIn), dwFlushMs(dwFlushMsIn), nWaitingBytes(nWaitingBytesIn), writeHook(std::move(hook))
    {
        hWake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    ~Shared()
    {
        // The writer has ended (it let go of its share), or never ran.
        if (hFile != INVALID_HANDLE_VALUE)
            ::CloseHandle(hFile);
        if (hThread != nullptr)
            ::CloseHandle(hThread);
        if (hWake != nullptr)
            ::CloseHandle(hWake);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    static unsigned __stdcall Thread_WriteSession(void* pParam);
    void WriterLoop();
    // Writer thread: the folder chain and the first part; false (the failure recorded) when
    // either cannot be made.
    bool MakeFirstPart();
    // Writer thread: a batch cut into parts at line ends; false when a write failed (the
    // failure is then recorded).
    bool WriteBatch(const std::string& batch);
    bool WritePiece(const char* pData, size_t cbData, size_t& cbKept);
    bool NextPart();
    void Fail(const std::wstring& why, unsigned long long nLost);
    void AddFailure(const std::wstring& text); // cs held
    // Writer thread: removes the oldest session records of the folder, but this record's
    // parts, until the folder is within folderLimit.
    void KeepFolderWithinLimit();
    void ReportDropped();
    void CloseFile();
    // Path of part nPart (1 is the first) of the session; base is set by the writer.
    std::wstring PartPath(int nPart) const;

    // Set by Start before any other thread sees the state, read-only afterwards.
    const unsigned long long nPartBytes;
    const DWORD dwFlushMs;
    const size_t nWaitingBytes;
    const WriteHook writeHook;     // empty: WriteFile
    HANDLE hWake = nullptr;        // auto-reset: flush now, or stop
    std::wstring dir;              // the folder, without a trailing separator (but C:\)
    std::wstring name;             // Session-YYYYMMDD-HHMMSS
    std::wstring firstPath;        // the first part's planned name
    unsigned long long folderLimit = 0; // bytes of session records the folder may hold; 0: any

    // Owner's thread alone (Start, Stop), then the state's destructor: the writer's handle,
    // kept by the state when the writer was left to finish on its own.
    HANDLE hThread = nullptr;
    bool bLeft = false;

    // Writer thread alone.
    std::wstring base;             // folder and name without ".log": C:\...\Session-20240229-235958-b
    HANDLE hFile = INVALID_HANDLE_VALUE;
    int nPart = 1;
    unsigned long long nPartSize = 0; // bytes of whole lines in the current part

    // Set by Stop (owner) and read by the writer; atomic.
    std::atomic<bool> bStopAsked{false};
    // Set by the writer when a write failed, read by Append without the lock; atomic.
    std::atomic<bool> bFailed{false};
    // Counters written by the writer (written) and by any appender (dropped); atomic.
    std::atomic<unsigned long long> nWritten{0};
    std::atomic<unsigned long long> nDropped{0};

    // Written by appenders (the lines), the writer (swap, parts, failure), the owner
    // (accepting, Stop's failure); cs covers the group and is held for a copy or a swap only.
    mutable CCriticalSection cs;
    std::string waiting;                 // lines not yet taken by the writer
    ULONGLONG ullFirstWaiting = 0;       // tick of the first byte that waits
    bool bAccepting = false;             // from Start to Stop, until a failure
    unsigned long long nOverflow = 0;    // bytes dropped beyond nWaitingBytes
    bool bOverflowReported = false;
    std::vector<std::wstring> parts;
    std::wstring failure;                // waiting to be taken
    std::wstring notice;                 // what was removed for the folder's limit, to be taken
    bool bNoticeGiven = false;
};

// ---------------------------------------------------------------------------------------
// The owner's side

CSessionLog::CSessionLog(unsigned long long nPartBytes) : CSessionLog(nPartBytes, kFlushMs, kWaitingBytes) {}

CSessionLog::CSessionLog(unsigned long long nPartBytes, DWORD dwFlushMs, size_t nWaitingBytes, WriteHook writeHook)
    : m_nPartBytes(nPartBytes > 0 ? nPartBytes : 1),
      m_dwFlushMs(dwFlushMs),
      // Whatever waits goes to WriteFile in one call, whose count is a DWORD.
      m_nWaitingBytes(nWaitingBytes < (1u << 30) ? nWaitingBytes : (1u << 30)),
      m_writeHook(std::move(writeHook))
{
}

CSessionLog::~CSessionLog()
{
    // A writer held by the disk keeps the state; this object lets go of its share only.
    Stop();
}

std::shared_ptr<CSessionLog::Shared> CSessionLog::Current() const
{
    CSingleLock lock(m_csShared);
    return m_pShared;
}

bool CSessionLog::Start(const std::wstring& folder, const SYSTEMTIME& stOpenedLocal, std::wstring& error)
{
    Stop();
    error.clear();
    auto pShared = std::make_shared<Shared>(m_nPartBytes, m_dwFlushMs, m_nWaitingBytes, m_writeHook);
    std::wstring dir = folder;
    while (dir.size() > RootLength(dir) && IsSeparator(dir.back()))
        dir.pop_back();
    if (!dir.empty()) {
        // Names only: the disk is the writer's.
        wchar_t szName[64] = {};
        _snwprintf(szName, 63, L"Session-%04u%02u%02u-%02u%02u%02u", stOpenedLocal.wYear, stOpenedLocal.wMonth,
                   stOpenedLocal.wDay, stOpenedLocal.wHour, stOpenedLocal.wMinute, stOpenedLocal.wSecond);
        pShared->dir = dir;
        pShared->name = szName;
        pShared->firstPath = dir + (IsSeparator(dir.back()) ? L"" : L"\\") + szName + L".log";
        pShared->folderLimit = m_nFolderLimit;
    }
    {
        // A failure of the former record that nobody took yet (it names its own file) stays
        // to be taken.
        const std::shared_ptr<Shared> pFormer = Current();
        if (pFormer != nullptr) {
            CSingleLock lock(pFormer->cs);
            pShared->failure.swap(pFormer->failure);
        }
    }
    // From here on every call sees the new record, which accepts nothing until its writer is
    // about to run.
    {
        CSingleLock lock(m_csShared);
        m_pShared = pShared;
    }
    if (dir.empty()) {
        error = L"The session record has no folder to go into.";
        return false;
    }
    if (pShared->hWake == nullptr) {
        error = L"The session record cannot be written: " + CUtilityTools::SystemMessage(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    {
        CSingleLock lock(pShared->cs);
        pShared->bAccepting = true;
    }

    // The thread holds its own share of the state, handed over through the heap.
    auto* pThreadShare = new std::shared_ptr<Shared>(pShared);
    pShared->hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Shared::Thread_WriteSession, pThreadShare, 0, nullptr));
    if (pShared->hThread == nullptr) {
        const DWORD dwError = GetLastError();
        delete pThreadShare;
        {
            CSingleLock lock(pShared->cs);
            pShared->bAccepting = false;
            pShared->waiting.clear();
        }
        error = L"The writer of the session record " + pShared->firstPath + L" cannot be started: " + CUtilityTools::SystemMessage(dwError);
        return false;
    }
    return true;
}

void CSessionLog::Append(const std::string& utf8Lines)
{
    const unsigned long long n = utf8Lines.size();
    if (n == 0)
        return;
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared == nullptr)
        return;
    Shared& state = *pShared;
    // A record that failed drops everything, without the lock.
    if (state.bFailed.load()) {
        state.nDropped += n;
        return;
    }
    CSingleLock lock(state.cs);
    if (!state.bAccepting) {
        if (state.bFailed.load())
            state.nDropped += n;
        return;
    }
    if (state.waiting.size() + n > state.nWaitingBytes) {
        state.nOverflow += n;
        state.nDropped += n;
        return;
    }
    if (state.waiting.empty())
        state.ullFirstWaiting = ::GetTickCount64();
    state.waiting += utf8Lines;
}

void CSessionLog::FlushSoon()
{
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared != nullptr && pShared->hWake != nullptr)
        ::SetEvent(pShared->hWake);
}

void CSessionLog::Stop()
{
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared == nullptr || pShared->hThread == nullptr || pShared->bLeft)
        return;
    Shared& state = *pShared;
    {
        // What is given from here on is not taken: the writer's last turn takes all before it.
        CSingleLock lock(state.cs);
        state.bAccepting = false;
    }
    state.bStopAsked.store(true);
    ::SetEvent(state.hWake);
    if (::WaitForSingleObject(state.hThread, kStopWaitMs) == WAIT_OBJECT_0) {
        ::CloseHandle(state.hThread);
        state.hThread = nullptr;
        return;
    }
    // The disk holds the writer: it finishes on its own, with its own share of the state
    // (whose last holder closes the thread's handle).
    state.bLeft = true;
    CSingleLock lock(state.cs);
    const std::wstring path = state.parts.empty() ? state.firstPath : state.parts.back();
    state.AddFailure(L"The session record " + path + L" was left unfinished: the disk did not answer within " +
                     std::to_wstring(kStopWaitMs / 1000) + L" s. Its writer finishes on its own.");
}

bool CSessionLog::IsRunning() const
{
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared == nullptr)
        return false;
    CSingleLock lock(pShared->cs);
    return pShared->bAccepting;
}

std::wstring CSessionLog::Path() const
{
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared == nullptr)
        return std::wstring();
    CSingleLock lock(pShared->cs);
    return pShared->bAccepting && !pShared->parts.empty() ? pShared->parts.back() : std::wstring();
}

std::wstring CSessionLog::FirstPartPath() const
{
    const std::shared_ptr<Shared> pShared = Current();
    return pShared != nullptr ? pShared->firstPath : std::wstring();
}

std::vector<std::wstring> CSessionLog::Parts() const
{
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared == nullptr)
        return {};
    CSingleLock lock(pShared->cs);
    return pShared->parts;
}

std::wstring CSessionLog::TakeNotice()
{
    std::wstring text;
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared != nullptr) {
        CSingleLock lock(pShared->cs);
        text.swap(pShared->notice);
    }
    return text;
}

std::wstring CSessionLog::TakeFailure()
{
    std::wstring text;
    const std::shared_ptr<Shared> pShared = Current();
    if (pShared != nullptr) {
        CSingleLock lock(pShared->cs);
        text.swap(pShared->failure);
    }
    return text;
}

unsigned long long CSessionLog::BytesWritten() const
{
    const std::shared_ptr<Shared> pShared = Current();
    return pShared != nullptr ? pShared->nWritten.load() : 0;
}

unsigned long long CSessionLog::BytesDropped() const
{
    const std::shared_ptr<Shared> pShared = Current();
    return pShared != nullptr ? pShared->nDropped.load() : 0;
}

// ---------------------------------------------------------------------------------------
// The writer

std::wstring CSessionLog::Shared::PartPath(int nPartOf) const
{
    return nPartOf > 1 ? base + L"-" + std::to_wstring(nPartOf) + L".log" : base + L".log";
}

unsigned __stdcall CSessionLog::Shared::Thread_WriteSession(void* pParam)
{
    // The thread's share: the state lives at least as long as this thread runs.
    std::unique_ptr<std::shared_ptr<Shared>> pShare(static_cast<std::shared_ptr<Shared>*>(pParam));
    (*pShare)->WriterLoop();
    return 0;
}

bool CSessionLog::Shared::MakeFirstPart()
{
    std::wstring failedAt;
    DWORD dwError = 0;
    if (!CreateFolderChain(dir, failedAt, dwError)) {
        std::wstring why = L"The folder of the session record, " + dir + L", cannot be made";
        if (failedAt != dir)
            why += L" (at " + failedAt + L")";
        Fail(why + L": " + CUtilityTools::SystemMessage(dwError), 0);
        return false;
    }
    const std::wstring sep = IsSeparator(dir.back()) ? L"" : L"\\";
    // An earlier record of the same second keeps its file: this one takes -b, -c, ... -z.
    for (wchar_t cSuffix = L'a'; cSuffix <= L'z'; ++cSuffix) {
        base = dir + sep + name;
        if (cSuffix != L'a')
            base += std::wstring(L"-") + cSuffix;
        hFile = ::CreateFileW(PartPath(1).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile != INVALID_HANDLE_VALUE)
            break;
        dwError = GetLastError();
        if (dwError != ERROR_FILE_EXISTS && dwError != ERROR_ALREADY_EXISTS)
            break;
    }
    if (hFile == INVALID_HANDLE_VALUE) {
        Fail(L"The session record file " + PartPath(1) + L" cannot be made: " + CUtilityTools::SystemMessage(dwError), 0);
        return false;
    }
    {
        CSingleLock lock(cs);
        parts.push_back(PartPath(1));
    }
    KeepFolderWithinLimit();
    return true;
}

void CSessionLog::Shared::KeepFolderWithinLimit()
{
    if (folderLimit == 0)
        return;
    struct Record {
        std::wstring path;
        unsigned long long nBytes;
        unsigned long long nWritten; // last write time, 100 ns
    };
    std::vector<Record> older;
    unsigned long long nTotal = 0;
    const std::wstring sep = IsSeparator(dir.back()) ? L"" : L"\\";
    // This record's parts are Session-<its time>[-b].log and -2.log, -3.log, ...: they stay.
    const std::wstring ownStem = base.substr(base.find_last_of(L"\\/") + 1);
    WIN32_FIND_DATAW found{};
    HANDLE hFind = ::FindFirstFileW((dir + sep + L"Session-*.log").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;
        const unsigned long long nBytes = (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        nTotal += nBytes;
        const std::wstring fileName = found.cFileName;
        const bool bOwnPart = fileName.rfind(ownStem + L"-", 0) == 0 &&
                              fileName.find_first_not_of(L"0123456789", ownStem.size() + 1) == fileName.size() - 4;
        const bool bOwn = fileName == ownStem + L".log" || bOwnPart;
        if (!bOwn) {
            const unsigned long long nWritten =
                (static_cast<unsigned long long>(found.ftLastWriteTime.dwHighDateTime) << 32) | found.ftLastWriteTime.dwLowDateTime;
            older.push_back(Record{dir + sep + fileName, nBytes, nWritten});
        }
    } while (::FindNextFileW(hFind, &found));
    ::FindClose(hFind);
    if (nTotal <= folderLimit)
        return;
    // The oldest first: by the time of their last write, then by name.
    std::sort(older.begin(), older.end(), [](const Record& a, const Record& b) {
        return a.nWritten != b.nWritten ? a.nWritten < b.nWritten : a.path < b.path;
    });
    unsigned long long nRemovedBytes = 0;
    int nRemoved = 0;
    for (const Record& record : older) {
        if (nTotal <= folderLimit)
            break;
        // One that cannot go (open elsewhere, read-only) is left; the next is tried.
        if (::DeleteFileW(record.path.c_str())) {
            nTotal -= record.nBytes;
            nRemovedBytes += record.nBytes;
            ++nRemoved;
        }
    }
    if (nRemoved == 0)
        return;
    wchar_t szNotice[512] = {};
    _snwprintf(szNotice, 511, L"%d older session record file%s (%.1f MB) removed to keep %s within %llu MB", nRemoved,
               nRemoved == 1 ? L"" : L"s", static_cast<double>(nRemovedBytes) / 1048576.0, dir.c_str(), folderLimit >> 20);
    CSingleLock lock(cs);
    // Told once for the record: later removals of the same record are the same story.
    if (!bNoticeGiven) {
        bNoticeGiven = true;
        notice = szNotice;
    }
}

void CSessionLog::Shared::WriterLoop()
{
    if (!MakeFirstPart())
        return;
    std::string batch;
    for (;;) {
        const bool bStop = bStopAsked.load();
        if (!bStop) {
            // Nothing waits: a tick. Something waits: until 100 ms after its first byte.
            DWORD dwWaitMs = dwFlushMs;
            {
                CSingleLock lock(cs);
                if (!waiting.empty()) {
                    const ULONGLONG ullNow = ::GetTickCount64();
                    const ULONGLONG ullDue = ullFirstWaiting + dwFlushMs;
                    dwWaitMs = ullNow >= ullDue ? 0 : static_cast<DWORD>(ullDue - ullNow);
                }
            }
            if (dwWaitMs > 0) {
                const DWORD dwResult = ::WaitForSingleObject(hWake, dwWaitMs);
                if (dwResult == WAIT_TIMEOUT)
                    continue; // the next turn sees whether something is due
                if (dwResult != WAIT_OBJECT_0)
                    ::Sleep(dwFlushMs); // the event failed: write at the tick's pace
            }
        }
        {
            CSingleLock lock(cs);
            batch.swap(waiting);
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

bool CSessionLog::Shared::WriteBatch(const std::string& batch)
{
    size_t i = 0;
    while (i < batch.size()) {
        const unsigned long long nRoom = nPartSize < nPartBytes ? nPartBytes - nPartSize : 0;
        size_t n = batch.size() - i;
        if (n > nRoom) {
            // The whole lines that still fit into this part.
            const size_t nEnd = nRoom > 0 ? batch.rfind('\n', i + static_cast<size_t>(nRoom) - 1) : std::string::npos;
            if (nEnd != std::string::npos && nEnd >= i) {
                n = nEnd + 1 - i;
            } else if (nPartSize > 0) {
                if (!NextPart()) {
                    const DWORD dwError = GetLastError();
                    Fail(L"The next part of the session record, " + PartPath(nPart) + L", cannot be made: " +
                             CUtilityTools::SystemMessage(dwError),
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
            Fail(L"Writing the session record " + PartPath(nPart) + L" failed: " + CUtilityTools::SystemMessage(dwError) +
                     L" The record stops here.",
                 batch.size() - i - cbKept);
            return false;
        }
        i += n;
    }
    return true;
}

bool CSessionLog::Shared::WritePiece(const char* pData, size_t cbData, size_t& cbKept)
{
    // Whole lines only (the caller cut them), and no more than nWaitingBytes: a DWORD.
    const DWORD cb = static_cast<DWORD>(cbData);
    DWORD dwDone = 0;
    while (dwDone < cb) {
        DWORD dwWritten = 0;
        const bool bOk = writeHook ? writeHook(hFile, pData + dwDone, cb - dwDone, dwWritten)
                                   : ::WriteFile(hFile, pData + dwDone, cb - dwDone, &dwWritten, nullptr) != FALSE;
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
            liEnd.QuadPart = static_cast<LONGLONG>(nPartSize + nKept);
            if (!::SetFilePointerEx(hFile, liEnd, nullptr, FILE_BEGIN) || !::SetEndOfFile(hFile))
                nKept = dwDone; // it stays; counted as written
        }
        nPartSize += nKept;
        nWritten += nKept;
        cbKept = nKept;
        SetLastError(dwError);
        return false;
    }
    nPartSize += cb;
    nWritten += cb;
    cbKept = cb;
    return true;
}

bool CSessionLog::Shared::NextPart()
{
    // A finished part is made durable; the running one only at Stop.
    CloseFile();
    ++nPart;
    hFile = ::CreateFileW(PartPath(nPart).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    nPartSize = 0;
    {
        CSingleLock lock(cs);
        parts.push_back(PartPath(nPart));
    }
    KeepFolderWithinLimit();
    return true;
}

void CSessionLog::Shared::Fail(const std::wstring& why, unsigned long long nLost)
{
    // Appenders that look from here on drop without the lock; those that got in first are
    // counted with what waits.
    bFailed.store(true);
    {
        CSingleLock lock(cs);
        bAccepting = false;
        nLost += waiting.size();
        std::string().swap(waiting);
        AddFailure(why);
    }
    nDropped += nLost;
}

void CSessionLog::Shared::ReportDropped()
{
    unsigned long long nBytes = 0;
    std::wstring path;
    {
        CSingleLock lock(cs);
        if (bOverflowReported || nOverflow == 0)
            return;
        bOverflowReported = true;
        nBytes = nOverflow;
        path = parts.empty() ? firstPath : parts.back();
    }
    const std::wstring text = std::to_wstring(nBytes) + L" bytes of the session record were dropped: the disk does not keep up with " +
                              path + L".";
    CSingleLock lock(cs);
    AddFailure(text);
}

void CSessionLog::Shared::AddFailure(const std::wstring& text)
{
    failure += failure.empty() ? text : L" " + text;
}

void CSessionLog::Shared::CloseFile()
{
    if (hFile == INVALID_HANDLE_VALUE)
        return;
    ::FlushFileBuffers(hFile);
    ::CloseHandle(hFile);
    hFile = INVALID_HANDLE_VALUE;
}
