// A test program that writes diagnostic-log lines through the real DebugLog and its macros,
// so the tests can capture the trace of a separate process. Each argument names a case; an
// optional "--wait EVENT" first makes it wait until the test has its listener ready.
//
//   pad40 pad45 line7 line123456 empty percent example tags long threads:T:N
//
// The cases' function names and source lines are fixed (#line below) and known to the tests.
#include "storage/DebugLog.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

class CTraceEmitterPadding {
public:
    static void EmitFortyCharsName();
    static void EmitFortyFiveCharName45();
};

void EmitAtLine7();
void EmitAtLine123456();
void EmitTags();
// All threads of the threads case start writing at the same moment: the last one to arrive
// opens the gate. (A Win32 event: libstdc++'s std::latch can miss its wake-up on this target.)
struct StartGate {
    HANDLE hOpen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> waiting{0};
    int count = 0;
    void ArriveAndWait()
    {
        if (++waiting == count)
            SetEvent(hOpen);
        WaitForSingleObject(hOpen, INFINITE);
    }
};

void EmitterThread(int nThread, int nLines, StartGate* pStart);

namespace {

// The text of line nLine of thread nThread in the threads case: varied lengths, so lines
// that mixed would not parse.
std::wstring ThreadPayload(int nThread, int nLine)
{
    const int length = (nLine * 37 + nThread * 11) % 200;
    std::wstring text;
    for (int i = 0; i < length; ++i)
        text += static_cast<wchar_t>(L'a' + (i + nLine + nThread) % 26);
    return text;
}

bool RunThreads(const wchar_t* lpSpec)
{
    // "threads:T:N": T threads that each write N lines, all starting at the same moment.
    wchar_t* end = nullptr;
    const long nThreads = wcstol(lpSpec, &end, 10);
    if (*end != L':' || nThreads < 1 || nThreads > 16)
        return false;
    const long nLines = wcstol(end + 1, &end, 10);
    if (*end != L'\0' || nLines < 1)
        return false;
    StartGate start;
    start.count = static_cast<int>(nThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; ++t)
        threads.emplace_back(EmitterThread, t, static_cast<int>(nLines), &start);
    for (std::thread& thread : threads)
        thread.join();
    CloseHandle(start.hOpen);
    return true;
}

bool RunCase(const std::wstring& name)
{
    if (name == L"pad40") {
        CTraceEmitterPadding::EmitFortyCharsName();
    } else if (name == L"pad45") {
        CTraceEmitterPadding::EmitFortyFiveCharName45();
    } else if (name == L"line7") {
        EmitAtLine7();
    } else if (name == L"line123456") {
        EmitAtLine123456();
    } else if (name == L"empty") {
        DebugLog(L"Emitter::Empty", 11, TAG_DAT_A, L"");
    } else if (name == L"percent") {
        DebugLog(L"Emitter::Percent", 12, TAG_COM_R, L"%s", L"[EPM_STAT_100%] %d %s %% %n %ls");
    } else if (name == L"example") {
        DebugLog(L"CIniMngr::SetPathName", 107, TAG_ERROR, L"File not Found!!");
    } else if (name == L"tags") {
        EmitTags();
    } else if (name == L"long") {
        // Longer than both buffers of the log and than the debug-output buffer.
        std::wstring text;
        for (int i = 0; text.size() < 5000; ++i)
            text += std::to_wstring(i % 10);
        DebugLog(L"Emitter::Long", 14, TAG_DAT_A, L"%s", text.c_str());
    } else if (name.rfind(L"threads:", 0) == 0) {
        return RunThreads(name.c_str() + 8);
    } else {
        return false;
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    int first = 1;
    if (argc > 2 && wcscmp(argv[1], L"--wait") == 0) {
        HANDLE hGo = CreateEventW(nullptr, TRUE, FALSE, argv[2]);
        if (hGo == nullptr || WaitForSingleObject(hGo, 60000) != WAIT_OBJECT_0) {
            fwprintf(stderr, L"TraceEmitter: no start signal\n");
            return 3;
        }
        CloseHandle(hGo);
        first = 3;
    }
    for (int i = first; i < argc; ++i) {
        if (!RunCase(argv[i])) {
            fwprintf(stderr, L"TraceEmitter: unknown case %ls\n", argv[i]);
            return 2;
        }
    }
    return 0;
}

// Fixed source lines from here on: the tests expect these numbers.
#line 300
void CTraceEmitterPadding::EmitFortyCharsName() { LOG_DATA(L"forty"); }
#line 450
void CTraceEmitterPadding::EmitFortyFiveCharName45() { LOG_DATA(L"forty-five"); }
#line 7
void EmitAtLine7() { LOG_DATA(L"seven"); }
#line 123456
void EmitAtLine123456() { LOG_DATA(L"six digits"); }
#line 20
void EmitTags()
{
    LOG_FUN_S();
    LOG_DATA(LOG_TEXT_FRAME);
    LOG_DATA(L"| Value : %d", -42);
    LOG_NOTICE(L"|      $---< %s >---$", L"Start");
    LOG_ERROR(L"CodeNo : %d", 183);
    LOG_COM_S(L"%s", L"[SLP_STAT]");
    LOG_COM_R(L"%s", L"[EPM_STAT_OK]");
    LOG_FUN_E();
}
#line 900
void EmitterThread(int nThread, int nLines, StartGate* pStart)
{
    pStart->ArriveAndWait();
    for (int i = 0; i < nLines; ++i) {
        const std::wstring payload = ThreadPayload(nThread, i);
#line 905
        LOG_DATA(L"| Thread : %d | Seq : %05d | %s", nThread, i, payload.c_str());
    }
}
