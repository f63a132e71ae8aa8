// The session record on real files in a scratch folder, read back through other handles;
// failing and stalling disks come from a record given a write hook of the tests'.
#include "comm/record/SessionLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testsupport::MakeScratchDir;
using testsupport::PumpUntil;

namespace {

const SYSTEMTIME kOpened = {2024, 2, 4, 29, 23, 59, 58, 0};
const wchar_t kName[] = L"Session-20240229-235958";
const DWORD kTenMinutes = 600000;

// The file as another reader sees it while the record may still write it.
std::string ReadShared(const std::wstring& path, DWORD dwShare = FILE_SHARE_READ | FILE_SHARE_WRITE)
{
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_READ, dwShare, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string bytes(hFile == INVALID_HANDLE_VALUE ? 0 : GetFileSize(hFile, nullptr), '\0');
    DWORD dwRead = 0;
    const BOOL bRead = ReadFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &dwRead, nullptr);
    CloseHandle(hFile);
    return bRead ? bytes.substr(0, dwRead) : "<cannot read>";
}

testing::AssertionResult Started(CSessionLog& log, const std::wstring& folder)
{
    std::wstring error;
    return log.Start(folder, kOpened, error) ? testing::AssertionSuccess() : testing::AssertionFailure() << ToUtf8(error);
}

// The file the writer made (it makes it after Start returned); empty when it made none.
std::wstring MadePath(const CSessionLog& log)
{
    PumpUntil([&] { return !log.Path().empty() || !log.IsRunning(); }, 20000);
    return log.Path();
}

std::vector<std::string> SplitLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    for (size_t i = 0, end; (end = bytes.find("\r\n", i)) != std::string::npos; i = end + 2)
        lines.push_back(bytes.substr(i, end - i));
    return lines;
}

int ThreadCount()
{
    HANDLE hSnap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 te{sizeof(te)};
    int n = 0;
    for (BOOL b = Thread32First(hSnap, &te); b; b = Thread32Next(hSnap, &te))
        n += te.th32OwnerProcessID == GetCurrentProcessId() ? 1 : 0;
    CloseHandle(hSnap);
    return n;
}

std::string Numbered(const char* lpText, int n, size_t nPad = 0)
{
    char sz[32];
    snprintf(sz, sizeof(sz), "%05d ", n);
    return sz + std::string(lpText) + std::string(nPad, 'x') + "\r\n";
}

// A disk that fills after nBudget bytes, or holds every write until hGate is set (for at
// most dwGateMs). The writer's hook shares it, so it lives as long as the writer does.
struct TestDisk {
    ~TestDisk()
    {
        CloseHandle(hEntered);
        if (hGate != nullptr)
            CloseHandle(hGate);
    }
    bool Write(HANDLE hFile, const char* pData, DWORD cbData, DWORD& cbWritten)
    {
        cbWritten = 0;
        if (hGate != nullptr) {
            SetEvent(hEntered);
            WaitForSingleObject(hGate, dwGateMs);
        }
        const long long nLeft = nBudget.load();
        if (nLeft >= 0 && cbData > nLeft) {
            WriteFile(hFile, pData, static_cast<DWORD>(nLeft), &cbWritten, nullptr);
            nBudget = 0;
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        if (nLeft >= 0)
            nBudget -= cbData;
        return WriteFile(hFile, pData, cbData, &cbWritten, nullptr) != FALSE;
    }
    std::atomic<long long> nBudget{-1};
    HANDLE hGate = nullptr;
    DWORD dwGateMs = 60000;
    HANDLE hEntered = CreateEventW(nullptr, FALSE, FALSE, nullptr);
};

// A record with a tick of its own pace, a smaller bound of what may wait, and a test disk.
class CTestLog : public CSessionLog {
public:
    CTestLog(DWORD dwFlushMs, size_t nWaiting = kWaitingBytes, std::shared_ptr<TestDisk> pDisk = std::make_shared<TestDisk>())
        : CSessionLog(kPartBytes, dwFlushMs, nWaiting,
                      [pDisk](HANDLE hFile, const char* pData, DWORD cbData, DWORD& cbWritten) {
                          return pDisk->Write(hFile, pData, cbData, cbWritten);
                      }),
          disk(*pDisk)
    {
    }
    TestDisk& disk; // the hook's, alive while this record is
};

} // namespace

TEST(SessionLogTest, ToUtf8EncodesPairsAndReplacesLoneSurrogates)
{
    EXPECT_EQ(ToUtf8(L""), "");
    EXPECT_EQ(ToUtf8(L"A\u00e9\u2713"), "A\xC3\xA9\xE2\x9C\x93");
    EXPECT_EQ(ToUtf8(L"\U0001F9B7"), "\xF0\x9F\xA6\xB7");
    EXPECT_EQ(ToUtf8(std::wstring(L"\xD83E" L"A")), "\xEF\xBF\xBD" "A");
    EXPECT_EQ(ToUtf8(std::wstring(L"A\xDDB7")), "A\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(std::wstring(L"\xDDB7\xD83E")), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(SessionLogTest, LinesOfTwoThreadsArriveWholeInOrderAndTheSameSecondTakesTheNextName)
{
    const std::wstring folder = MakeScratchDir(L"session_threads") + L"Logs\\Service";
    const int nThreads = ThreadCount();
    CSessionLog log;
    ASSERT_TRUE(Started(log, folder));
    EXPECT_EQ(log.FirstPartPath(), folder + L"\\" + kName + L".log");
    EXPECT_EQ(ThreadCount(), nThreads + 1);

    const int kLines = 20000;
    auto line = [](int nThread, int n) { return ToUtf8(L"T" + std::to_wstring(nThread) + L" " + std::to_wstring(n) + L" \u00dcbertr\u00e4ger \u2713 \u7dda \U0001F9B7\r\n"); };
    HANDLE hGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            WaitForSingleObject(hGo, 30000);
            for (int n = 0; n < kLines; ++n) {
                std::string text = line(t, n);
                if (n % 7 == 0 && n + 1 < kLines) // some calls give two lines
                    text += line(t, ++n);
                log.Append(text);
            }
        });
    }
    SetEvent(hGo);
    for (auto& writer : writers)
        writer.join();
    CloseHandle(hGo);
    log.Stop();

    const std::string bytes = ReadShared(folder + L"\\" + kName + L".log");
    EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0), 0);
    int next[2] = {0, 0};
    for (const std::string& text : SplitLines(bytes)) {
        const int t = text.compare(0, 3, "T1 ") == 0 ? 1 : 0;
        ASSERT_EQ(text + "\r\n", line(t, next[t])) << "thread " << t;
        ++next[t];
    }
    EXPECT_TRUE(next[0] == kLines && next[1] == kLines);
    EXPECT_EQ(log.BytesWritten(), bytes.size());
    EXPECT_EQ(log.BytesDropped(), 0u);
    EXPECT_EQ(log.TakeFailure(), L"");
    EXPECT_EQ(log.Parts(), std::vector<std::wstring>{log.FirstPartPath()});

    // Two more opens within the same second leave the first record as it was; the name
    // planned for them is the taken one, the name they write is the next free one.
    CSessionLog second, third;
    ASSERT_TRUE(Started(second, folder + L"\\"));
    EXPECT_EQ(MadePath(second), folder + L"\\" + kName + L"-b.log");
    ASSERT_TRUE(Started(third, folder));
    EXPECT_EQ(MadePath(third), folder + L"\\" + kName + L"-c.log");
    EXPECT_EQ(third.FirstPartPath(), folder + L"\\" + kName + L".log");
    EXPECT_EQ(ReadShared(folder + L"\\" + kName + L".log"), bytes);
}

TEST(SessionLogTest, LinesReachTheFileAtTheTickAndAtOnceWhenAsked)
{
    const std::wstring folder = MakeScratchDir(L"session_flush");
    const std::string lineA = "0001| >> [SPL_PANO]\r\n", lineB = "0002| << [EPM_PANO]\r\n";
    {
        CSessionLog log;
        ASSERT_TRUE(Started(log, folder));
        log.Append(lineA); // before the file exists, most likely
        EXPECT_TRUE(PumpUntil([&] { return ReadShared(log.Path()) == lineA; }, 20000));
        EXPECT_TRUE(log.IsRunning());
    }
    // A tick of ten minutes: only the flush asked for can bring the line out in time.
    CTestLog log(kTenMinutes);
    ASSERT_TRUE(Started(log, folder));
    const std::wstring path = MadePath(log);
    log.Append(lineA);
    log.FlushSoon();
    EXPECT_TRUE(PumpUntil([&] { return ReadShared(path) == lineA; }, 20000));
    log.Append(lineB);
    log.Stop();
    EXPECT_EQ(ReadShared(path), lineA + lineB);
}

TEST(SessionLogTest, ALongRecordGoesOnInNumberedPartsOfWholeLines)
{
    const std::wstring folder = MakeScratchDir(L"session_parts");
    const size_t kPart = 4096;
    CSessionLog log(kPart);
    ASSERT_TRUE(Started(log, folder));
    std::string all;
    for (int n = 0; n < 3000; ++n) {
        // One line longer than a part, which fills a part alone.
        const std::string text = Numbered("line", n, n == 1500 ? 10000 : n * 37 % 90);
        all += text;
        log.Append(text);
        if (n % 50 == 49)
            log.FlushSoon();
    }
    log.Stop();

    const std::vector<std::wstring> parts = log.Parts();
    ASSERT_GE(parts.size(), 3u);
    std::string joined;
    for (size_t k = 0; k < parts.size(); ++k) {
        const std::wstring suffix = k == 0 ? L"" : L"-" + std::to_wstring(k + 1);
        EXPECT_EQ(parts[k], folder + kName + suffix + L".log");
        const std::string bytes = ReadShared(parts[k]);
        ASSERT_GE(bytes.size(), 2u);
        EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n") << k;
        EXPECT_TRUE(bytes.size() <= kPart || SplitLines(bytes).size() == 1) << k;
        if (k + 1 < parts.size()) { // it ended because the next line did not fit
            EXPECT_GT(bytes.size() + SplitLines(ReadShared(parts[k + 1]))[0].size() + 2, kPart) << k;
        }
        joined += bytes;
    }
    EXPECT_TRUE(joined == all);
    EXPECT_EQ(log.BytesWritten(), all.size());
}

// Folders and names that cannot be had: Start does not look (a disk may not answer), the
// writer finds out and says so once. (A read-only folder is no such place: Wine 8 keeps it
// writable, as Windows does for a folder.)
TEST(SessionLogTest, PlacesThatCannotHoldTheRecordAreToldOnceByTheWriter)
{
    const std::wstring scratch = MakeScratchDir(L"session_bad");
    const std::wstring file = scratch + L"afile.txt";
    std::wstring taken; // every name of that second is taken in the folder "taken"
    CreateDirectoryW((scratch + L"taken").c_str(), nullptr);
    for (wchar_t c = L'a'; c <= L'z'; ++c) {
        taken = scratch + L"taken\\" + kName + (c == L'a' ? std::wstring() : std::wstring(L"-") + c) + L".log";
        CloseHandle(CreateFileW(taken.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
    CloseHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_EQ(ReadShared(file) + ReadShared(taken), "");
    wchar_t szMissing[] = L"Z:\\Logs";
    while (szMissing[0] > L'D' && (GetLogicalDrives() & (1u << (szMissing[0] - L'A'))) != 0)
        --szMissing[0];
    ASSERT_GT(szMissing[0], L'D') << "every drive letter is taken";

    const std::string line = "0001| >> [SPL_PANO]\r\n";
    const int nThreads = ThreadCount();
    for (const std::wstring& where : {file + L"\\Logs", std::wstring(szMissing), taken}) {
        CSessionLog log;
        std::wstring error;
        EXPECT_TRUE(log.Start(where == taken ? scratch + L"taken" : where, kOpened, error)) << error.c_str();
        EXPECT_EQ(error, L"");
        log.Append(line); // before or after the writer found out: dropped either way
        ASSERT_TRUE(PumpUntil([&] { return !log.IsRunning(); }, 20000));
        const std::wstring failure = log.TakeFailure();
        EXPECT_NE(failure.find(where), std::wstring::npos) << failure.c_str();
        EXPECT_GT(failure.size(), where.size() + 30) << failure.c_str(); // and the system's reason
        EXPECT_EQ(log.TakeFailure(), L"");
        EXPECT_TRUE(log.Path().empty() && log.Parts().empty());
        log.Append(line);
        EXPECT_EQ(log.BytesWritten(), 0u);
        EXPECT_EQ(log.BytesDropped(), 2 * line.size());
        EXPECT_TRUE(PumpUntil([&] { return ThreadCount() == nThreads; }, 20000)) << "the writer ended by itself";
        log.Stop();
        log.Stop();
        EXPECT_EQ(log.TakeFailure(), L"");
    }
    // No folder at all is refused by Start itself, without a thread.
    CSessionLog log;
    std::wstring error;
    EXPECT_FALSE(log.Start(L"", kOpened, error));
    EXPECT_NE(error, L"");
    EXPECT_EQ(ThreadCount(), nThreads);
    log.Append(line);
    EXPECT_EQ(log.BytesWritten() + log.BytesDropped(), 0u);
}

TEST(SessionLogTest, AWriteThatFailsPartWayStopsTheRecordAndSaysSoOnce)
{
    const std::wstring folder = MakeScratchDir(L"session_full");
    CTestLog log(kTenMinutes);
    log.disk.nBudget = 1000;
    ASSERT_TRUE(Started(log, folder));
    const std::wstring path = MadePath(log);
    std::string all;
    for (int n = 0; n < 100; ++n)
        all += Numbered("of the disk test", n);
    const size_t nLine = all.size() / 100;
    log.Append(all);
    log.FlushSoon();
    ASSERT_TRUE(PumpUntil([&] { return !log.IsRunning(); }, 20000));

    wchar_t szFull[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_DISK_FULL, 0, szFull, 511, nullptr);
    std::wstring full = szFull;
    full.erase(full.find_last_not_of(L"\r\n ") + 1);
    const std::wstring failure = log.TakeFailure();
    EXPECT_NE(failure.find(path), std::wstring::npos) << failure.c_str();
    EXPECT_NE(failure.find(full), std::wstring::npos) << failure.c_str();
    EXPECT_EQ(log.TakeFailure(), L"");
    EXPECT_TRUE(log.Path().empty());

    // The file keeps the whole lines that went and nothing of the one the disk cut.
    const std::string bytes = ReadShared(path);
    EXPECT_EQ(bytes, all.substr(0, 1000 - 1000 % nLine));
    EXPECT_EQ(log.BytesWritten(), bytes.size());
    EXPECT_EQ(log.BytesWritten() + log.BytesDropped(), all.size());
    const std::string after = Numbered("after the failure", 100);
    log.Append(after);
    EXPECT_EQ(log.BytesWritten() + log.BytesDropped(), all.size() + after.size());
    log.Stop();
    log.Stop();
    EXPECT_EQ(ReadShared(path), bytes);
    EXPECT_EQ(log.TakeFailure(), L"");
}

TEST(SessionLogTest, ADiskThatStallsLosesLinesBeyondTheBoundAndSaysSoOnce)
{
    const std::wstring folder = MakeScratchDir(L"session_stall");
    CTestLog log(kTenMinutes, 64 * 1024);
    log.disk.hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(Started(log, folder));
    const std::string first = Numbered("first", 0);
    log.Append(first);
    log.FlushSoon();
    ASSERT_EQ(WaitForSingleObject(log.disk.hEntered, 20000), WAIT_OBJECT_0); // the writer is held
    std::string all;
    for (int n = 1; n <= 10000; ++n) {
        const std::string text = Numbered("during the stall", n); // all of one length
        all += text;
        log.Append(text);
    }
    const unsigned long long nDropped = log.BytesDropped();
    EXPECT_GT(nDropped, 0u);
    EXPECT_TRUE(log.IsRunning());
    SetEvent(log.disk.hGate);
    const unsigned long long nKept = first.size() + all.size() - nDropped;
    ASSERT_TRUE(PumpUntil([&] { log.FlushSoon(); return log.BytesWritten() == nKept; }, 20000));
    const std::string last = Numbered("after the stall", 10001);
    log.Append(last);
    log.Stop();
    EXPECT_TRUE(ReadShared(log.Parts()[0]) == first + all.substr(0, all.size() - nDropped) + last);
    const std::wstring failure = log.TakeFailure();
    EXPECT_NE(failure.find(std::to_wstring(nDropped) + L" bytes"), std::wstring::npos) << failure.c_str();
    EXPECT_EQ(log.TakeFailure(), L"");
}

TEST(SessionLogTest, StopWritesAllThatWaitsAndTheDestructorEndsTheWriter)
{
    const std::wstring folder = MakeScratchDir(L"session_stop");
    std::wstring path;
    std::string all;
    {
        CTestLog log(kTenMinutes);
        ASSERT_TRUE(Started(log, folder));
        path = MadePath(log);
        for (int n = 0; n < 200000; n += 100) {
            std::string chunk;
            for (int k = n; k < n + 100; ++k)
                chunk += Numbered("0001| << [EPM_PANO] waiting", k);
            log.Append(chunk);
            all += chunk;
        }
        EXPECT_EQ(log.BytesWritten(), 0u); // nothing was due yet: Stop writes it all
        log.Stop();
        EXPECT_FALSE(log.IsRunning());
    }
    EXPECT_TRUE(ReadShared(path) == all);

    const int nThreads = ThreadCount();
    CSessionLog* pLog = new CSessionLog;
    ASSERT_TRUE(Started(*pLog, folder));
    path = MadePath(*pLog);
    EXPECT_EQ(ThreadCount(), nThreads + 1);
    pLog->Append("0001| >> [SPL_PANO]\r\n");
    delete pLog;
    EXPECT_EQ(ThreadCount(), nThreads);
    // Nobody holds the file any more: it opens without sharing.
    EXPECT_EQ(ReadShared(path, 0), "0001| >> [SPL_PANO]\r\n");
}

TEST(SessionLogTest, ADiskThatDoesNotAnswerHoldsStopOnlyForItsBoundAndTheNextRecordGoesOnAtOnce)
{
    const std::wstring folder = MakeScratchDir(L"session_held");
    // Every write waits for the gate, half a minute at most: a Stop that waits for the disk
    // takes that long.
    auto pDisk = std::make_shared<TestDisk>();
    pDisk->hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    pDisk->dwGateMs = 30000;
    const HANDLE hGate = pDisk->hGate;
    const std::weak_ptr<TestDisk> disk = pDisk;
    const int nThreads = ThreadCount();
    const std::string first = Numbered("before the disk stopped answering", 0), second = Numbered("given before Stop", 1);
    const std::string third = Numbered("of a record destroyed while held", 2), fourth = Numbered("of the next record", 3);
    std::wstring paths[3];

    auto pLog = std::make_unique<CTestLog>(kTenMinutes, CSessionLog::kWaitingBytes, pDisk);
    auto pDestroyed = std::make_unique<CTestLog>(kTenMinutes, CSessionLog::kWaitingBytes, pDisk);
    pDisk.reset(); // the records' hooks hold it, and then their writers'
    ASSERT_TRUE(Started(*pLog, folder));
    paths[0] = MadePath(*pLog);
    pLog->Append(first);
    pLog->FlushSoon();
    ASSERT_EQ(WaitForSingleObject(pLog->disk.hEntered, 20000), WAIT_OBJECT_0); // the writer is held
    pLog->Append(second);
    ULONGLONG ullStart = GetTickCount64();
    pLog->Stop();
    EXPECT_LT(GetTickCount64() - ullStart, 5000u) << "Stop waited for the disk";
    EXPECT_FALSE(pLog->IsRunning());
    const std::wstring failure = pLog->TakeFailure();
    EXPECT_NE(failure.find(paths[0]), std::wstring::npos) << failure.c_str();
    EXPECT_NE(failure.find(L"did not answer"), std::wstring::npos) << failure.c_str();
    pLog->Stop();
    EXPECT_EQ(pLog->TakeFailure(), L"");
    pLog.reset();

    // The destructor does not wait for the disk either.
    ASSERT_TRUE(Started(*pDestroyed, folder));
    paths[1] = MadePath(*pDestroyed);
    pDestroyed->Append(third);
    pDestroyed->FlushSoon();
    ASSERT_EQ(WaitForSingleObject(pDestroyed->disk.hEntered, 20000), WAIT_OBJECT_0);
    ullStart = GetTickCount64();
    pDestroyed.reset();
    EXPECT_LT(GetTickCount64() - ullStart, 5000u) << "the destructor waited for the disk";

    // A new record starts and writes while the old writers are still held.
    CSessionLog next;
    ASSERT_TRUE(Started(next, folder));
    paths[2] = MadePath(next);
    next.Append(fourth);
    next.FlushSoon();
    EXPECT_TRUE(PumpUntil([&] { return ReadShared(paths[2]) == fourth; }, 5000));
    next.Stop();
    EXPECT_EQ(next.TakeFailure(), L"");
    EXPECT_EQ(paths[2], folder + kName + L"-c.log");

    // Once the disk answers, the held writers finish on their own, free what they used, and end.
    SetEvent(hGate);
    EXPECT_TRUE(PumpUntil([&] { return disk.expired() && ThreadCount() == nThreads; }, 20000));
    EXPECT_EQ(ReadShared(paths[0], 0), first + second);
    EXPECT_EQ(ReadShared(paths[1], 0), third);
}

// A folder kept within its limit: the oldest records of earlier sessions go first, as the
// record starts and as it goes on in new parts; the running record's own parts never go, and
// the console is told once.
TEST(SessionLogTest, TheFolderIsKeptWithinItsLimitOldestFirstAndTheRunningRecordStays)
{
    const std::wstring folder = MakeScratchDir(L"session_limit");
    // Six earlier records of 100 KB each, written a day apart (the oldest first), and a file
    // that is no session record.
    const std::string block(100 * 1024, 'x');
    for (int day = 1; day <= 6; ++day) {
        const std::wstring path = folder + L"Session-2024020" + std::to_wstring(day) + L"-120000.log";
        HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
        DWORD dwWritten = 0;
        WriteFile(hFile, block.data(), static_cast<DWORD>(block.size()), &dwWritten, nullptr);
        FILETIME ft{};
        SYSTEMTIME st = {2024, 2, 0, static_cast<WORD>(day), 12, 0, 0, 0};
        SystemTimeToFileTime(&st, &ft);
        SetFileTime(hFile, nullptr, nullptr, &ft);
        CloseHandle(hFile);
    }
    const std::wstring other = folder + L"notes.txt";
    HANDLE hOther = CreateFileW(other.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD dwWritten = 0;
    WriteFile(hOther, block.data(), static_cast<DWORD>(block.size()), &dwWritten, nullptr);
    CloseHandle(hOther);

    const size_t kPart = 64 * 1024;
    CSessionLog log(kPart);
    log.SetFolderLimit(450 * 1024);
    ASSERT_TRUE(Started(log, folder));
    ASSERT_FALSE(MadePath(log).empty());
    // 600 KB of earlier records in a folder of 450 KB: the two oldest go.
    EXPECT_TRUE(PumpUntil([&] { return GetFileAttributesW((folder + L"Session-20240202-120000.log").c_str()) == INVALID_FILE_ATTRIBUTES; }, 20000));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"Session-20240201-120000.log").c_str()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"Session-20240203-120000.log").c_str()));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(other.c_str())) << "only session records are removed";
    std::wstring notice;
    EXPECT_TRUE(PumpUntil([&] { notice = log.TakeNotice(); return !notice.empty(); }, 10000));
    EXPECT_NE(std::wstring::npos, notice.find(L"2 older session record files")) << ToUtf8(notice);

    // The record grows past the limit in parts: earlier records go, its own parts stay.
    std::string all;
    for (int n = 0; n < 6000; ++n) {
        const std::string text = Numbered("line", n, 60);
        all += text;
        log.Append(text);
        if (n % 500 == 499)
            log.FlushSoon();
    }
    log.Stop();
    const std::vector<std::wstring> parts = log.Parts();
    ASSERT_GE(parts.size(), 5u);
    std::string joined;
    for (const std::wstring& part : parts)
        joined += ReadShared(part);
    EXPECT_TRUE(joined == all) << "the running record lost nothing";
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((folder + L"Session-20240206-120000.log").c_str()))
        << "even the newest earlier record goes before the running one";
    EXPECT_TRUE(log.TakeNotice().empty()) << "told once";
}
