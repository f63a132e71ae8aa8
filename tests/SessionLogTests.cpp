// The session record on real files in a scratch folder, read back through other handles;
// failing and stalling disks come from a record whose WriteBytes is replaced.
#include "comm/record/SessionLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
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

// A record with a tick of its own pace, a smaller bound of what may wait, and a disk that
// fills after nBudget bytes or holds every write until hGate is set.
class CTestLog : public CSessionLog {
public:
    CTestLog(DWORD dwFlushMs, size_t nWaiting = kWaitingBytes) : CSessionLog(kPartBytes, dwFlushMs, nWaiting) {}
    ~CTestLog() override
    {
        Stop();
        CloseHandle(hEntered);
        if (hGate != nullptr)
            CloseHandle(hGate);
    }
    std::atomic<long long> nBudget{-1};
    HANDLE hGate = nullptr;
    HANDLE hEntered = CreateEventW(nullptr, FALSE, FALSE, nullptr);

protected:
    bool WriteBytes(HANDLE hFile, const char* pData, DWORD cbData, DWORD& cbWritten) override
    {
        if (hGate != nullptr) {
            SetEvent(hEntered);
            WaitForSingleObject(hGate, 60000);
        }
        const long long nLeft = nBudget.load();
        if (nLeft >= 0 && cbData > nLeft) {
            CSessionLog::WriteBytes(hFile, pData, static_cast<DWORD>(nLeft), cbWritten);
            nBudget = 0;
            SetLastError(ERROR_DISK_FULL);
            return false;
        }
        if (nLeft >= 0)
            nBudget -= cbData;
        return CSessionLog::WriteBytes(hFile, pData, cbData, cbWritten);
    }
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
    EXPECT_EQ(log.Path(), folder + L"\\" + kName + L".log");
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

    // Two more opens within the same second leave the first record as it was.
    CSessionLog second, third;
    ASSERT_TRUE(Started(second, folder + L"\\"));
    ASSERT_TRUE(Started(third, folder));
    EXPECT_EQ(second.Path(), folder + L"\\" + kName + L"-b.log");
    EXPECT_EQ(third.Path(), folder + L"\\" + kName + L"-c.log");
    EXPECT_EQ(ReadShared(folder + L"\\" + kName + L".log"), bytes);
}

TEST(SessionLogTest, LinesReachTheFileAtTheTickAndAtOnceWhenAsked)
{
    const std::wstring folder = MakeScratchDir(L"session_flush");
    const std::string lineA = "0001| >> [SPL_PANO]\r\n", lineB = "0002| << [EPM_PANO]\r\n";
    {
        CSessionLog log;
        ASSERT_TRUE(Started(log, folder));
        log.Append(lineA);
        EXPECT_TRUE(PumpUntil([&] { return ReadShared(log.Path()) == lineA; }, 20000));
        EXPECT_TRUE(log.IsRunning());
    }
    // A tick of ten minutes: only the flush asked for can bring the line out in time.
    CTestLog log(kTenMinutes);
    ASSERT_TRUE(Started(log, folder));
    const std::wstring path = log.Path();
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

// Folders and names that cannot be had. (A read-only folder is no such place: Wine 8 keeps
// it writable, as Windows does for a folder.)
TEST(SessionLogTest, PlacesThatCannotHoldTheRecordAreRefusedWithoutAThread)
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

    const int nThreads = ThreadCount();
    for (const std::wstring& where : {file + L"\\Logs", std::wstring(szMissing), taken}) {
        CSessionLog log;
        std::wstring error;
        EXPECT_FALSE(log.Start(where == taken ? scratch + L"taken" : where, kOpened, error));
        EXPECT_NE(error.find(where), std::wstring::npos) << error.c_str();
        EXPECT_GT(error.size(), where.size() + 30) << error.c_str(); // and the system's reason
        EXPECT_EQ(ThreadCount(), nThreads);
        EXPECT_FALSE(log.IsRunning());
        EXPECT_TRUE(log.Path().empty() && log.Parts().empty());
        log.Append("0001| >> [SPL_PANO]\r\n");
        EXPECT_EQ(log.BytesWritten() + log.BytesDropped(), 0u);
        log.Stop();
        log.Stop();
    }
}

TEST(SessionLogTest, AWriteThatFailsPartWayStopsTheRecordAndSaysSoOnce)
{
    const std::wstring folder = MakeScratchDir(L"session_full");
    CTestLog log(kTenMinutes);
    log.nBudget = 1000;
    ASSERT_TRUE(Started(log, folder));
    const std::wstring path = log.Path();
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
    log.hGate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(Started(log, folder));
    const std::string first = Numbered("first", 0);
    log.Append(first);
    log.FlushSoon();
    ASSERT_EQ(WaitForSingleObject(log.hEntered, 20000), WAIT_OBJECT_0); // the writer is held
    std::string all;
    for (int n = 1; n <= 10000; ++n) {
        const std::string text = Numbered("during the stall", n); // all of one length
        all += text;
        log.Append(text);
    }
    const unsigned long long nDropped = log.BytesDropped();
    EXPECT_GT(nDropped, 0u);
    EXPECT_TRUE(log.IsRunning());
    SetEvent(log.hGate);
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
        path = log.Path();
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
    path = pLog->Path();
    EXPECT_EQ(ThreadCount(), nThreads + 1);
    pLog->Append("0001| >> [SPL_PANO]\r\n");
    delete pLog;
    EXPECT_EQ(ThreadCount(), nThreads);
    // Nobody holds the file any more: it opens without sharing.
    EXPECT_EQ(ReadShared(path, 0), "0001| >> [SPL_PANO]\r\n");
}
