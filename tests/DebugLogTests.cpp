// The diagnostic log as an engineer sees it: lines of a real process (TraceEmitter) captured
// through the system debug output by the real TraceCapture.exe, and the tool itself.
#include "storage/DebugLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using testsupport::ChildProcess;
using testsupport::DebugCapture;
using testsupport::LogLine;

namespace {

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

std::wstring Exe(const wchar_t* lpName)
{
    return Quoted(testsupport::BinDir() + lpName);
}

// A manual-reset event with a name of its own for this test process.
class NamedEvent {
public:
    explicit NamedEvent(const wchar_t* lpRole)
    {
        static int counter = 0;
        m_name = std::wstring(L"RigTraceTest_") + lpRole + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                 std::to_wstring(++counter);
        m_h = CreateEventW(nullptr, TRUE, FALSE, m_name.c_str());
    }
    ~NamedEvent() { CloseHandle(m_h); }
    const std::wstring& Name() const { return m_name; }
    HANDLE Handle() const { return m_h; }

private:
    std::wstring m_name;
    HANDLE m_h = nullptr;
};

// TraceCapture.exe started with a ready event; Start returns once it captures.
class TraceCaptureRun {
public:
    bool Start(const std::wstring& args, const std::wstring& consoleFile)
    {
        if (!m_process.Start(Exe(L"TraceCapture.exe") + L" --ready-event " + m_ready.Name() + L" " + args, consoleFile))
            return false;
        for (int i = 0; i < 300; ++i) {
            if (WaitForSingleObject(m_ready.Handle(), 100) == WAIT_OBJECT_0)
                return true;
            if (m_process.WaitExit(0))
                return false;
        }
        return false;
    }
    ChildProcess& Process() { return m_process; }

private:
    NamedEvent m_ready{L"ready"};
    ChildProcess m_process;
};

// Lines of a capture file; a last line without its CR LF is kept, so it shows up as wrong.
std::vector<std::string> SplitLines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    for (size_t end; (end = bytes.find("\r\n", begin)) != std::string::npos; begin = end + 2)
        lines.push_back(bytes.substr(begin, end - begin));
    if (begin < bytes.size())
        lines.push_back(bytes.substr(begin) + "<no line end>");
    return lines;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// The message of line nLine of thread nThread in TraceEmitter's threads case.
std::string ThreadMessage(int nThread, int nLine)
{
    const int length = (nLine * 37 + nThread * 11) % 200;
    std::string payload;
    for (int i = 0; i < length; ++i)
        payload += static_cast<char>('a' + (i + nLine + nThread) % 26);
    char szHead[64];
    std::snprintf(szHead, sizeof(szHead), "| Thread : %d | Seq : %05d | ", nThread, nLine);
    return szHead + payload;
}

} // namespace

TEST(DebugLogCapture, LinesOfAnotherProcessHaveTheExactLayout)
{
    const std::wstring out = testsupport::MakeScratchDir(L"trace_layout") + L"trace.txt";
    NamedEvent go(L"go");
    ChildProcess emitter, other;
    ASSERT_TRUE(emitter.Start(Exe(L"TraceEmitter.exe") + L" --wait " + go.Name() +
                              L" pad40 pad45 line7 line123456 empty percent example tags long"));
    // Another writer at the same time, whose lines the --pid filter must keep out.
    ASSERT_TRUE(other.Start(Exe(L"TraceEmitter.exe") + L" --wait " + go.Name() + L" example tags pad40"));
    const std::wstring pid = std::to_wstring(emitter.Id());
    TraceCaptureRun capture;
    ASSERT_TRUE(capture.Start(L"--out " + Quoted(out) + L" --pid " + pid + L" --until-exit " + pid, L""));
    SetEvent(go.Handle());

    ASSERT_TRUE(capture.Process().WaitExit(30000));
    EXPECT_EQ(0u, capture.Process().ExitCode());
    ASSERT_TRUE(emitter.WaitExit(5000));
    EXPECT_EQ(0u, emitter.ExitCode());
    ASSERT_TRUE(other.WaitExit(30000));

    const std::vector<std::string> expected = {
        "[CTraceEmitterPadding::EmitFortyCharsName : 300  ]:_DAT_A_:  forty",
        "[CTraceEmitterPadding::EmitFortyFiveCharName45 : 450  ]:_DAT_A_:  forty-five",
        "[EmitAtLine7                              : 7    ]:_DAT_A_:  seven",
        "[EmitAtLine123456                         : 123456]:_DAT_A_:  six digits",
        "[Emitter::Empty                           : 11   ]:_DAT_A_:  ",
        "[Emitter::Percent                         : 12   ]:_COM_R_:  [EPM_STAT_100%] %d %s %% %n %ls",
        "[CIniMngr::SetPathName                    : 107  ]:_ERROR_:  File not Found!!",
        "[EmitTags                                 : 22   ]:_FUN_S_:  _________________________",
        "[EmitTags                                 : 23   ]:_DAT_A_:  +------------------------------------------------------",
        "[EmitTags                                 : 24   ]:_DAT_A_:  | Value : -42",
        "[EmitTags                                 : 25   ]:_NOTIC_:  |      $---< Start >---$",
        "[EmitTags                                 : 26   ]:_ERROR_:  CodeNo : 183",
        "[EmitTags                                 : 27   ]:_COM_S_:  [SLP_STAT]",
        "[EmitTags                                 : 28   ]:_COM_R_:  [EPM_STAT_OK]",
        "[EmitTags                                 : 29   ]:_FUN_E_:  ^^^^^^^^^^^^^^^^^^^^",
    };
    const std::vector<std::string> lines = SplitLines(testsupport::ReadFileBytes(out));
    ASSERT_EQ(expected.size() + 1, lines.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(expected[i], lines[i]) << "line " << i;

    // The over-long message is cut, not lost and not overrun: what arrives is the start of
    // the full line.
    std::string full = "[Emitter::Long                            : 14   ]:_DAT_A_:  ";
    for (int i = 0; full.size() < 6000; ++i)
        full += static_cast<char>('0' + i % 10);
    const std::string& cut = lines.back();
    EXPECT_GE(cut.size(), 4000u);
    EXPECT_LT(cut.size(), 4096u);
    EXPECT_EQ(full.substr(0, cut.size()), cut);
}

TEST(DebugLogCapture, LinesFromTwoThreadsAtOnceComeOutWhole)
{
    const int kLines = 2000;
    const std::wstring out = testsupport::MakeScratchDir(L"trace_threads") + L"trace.txt";
    NamedEvent go(L"go");
    ChildProcess emitter;
    ASSERT_TRUE(emitter.Start(Exe(L"TraceEmitter.exe") + L" --wait " + go.Name() + L" threads:2:" +
                              std::to_wstring(kLines)));
    const std::wstring pid = std::to_wstring(emitter.Id());
    TraceCaptureRun capture;
    ASSERT_TRUE(capture.Start(L"--out " + Quoted(out) + L" --pid " + pid + L" --until-exit " + pid, L""));
    const ULONGLONG started = GetTickCount64();
    SetEvent(go.Handle());
    ASSERT_TRUE(capture.Process().WaitExit(120000));
    const ULONGLONG elapsed = GetTickCount64() - started;
    EXPECT_EQ(0u, capture.Process().ExitCode());
    ASSERT_TRUE(emitter.WaitExit(5000));
    EXPECT_EQ(0u, emitter.ExitCode());

    const std::vector<std::string> lines = SplitLines(testsupport::ReadFileBytes(out));
    ASSERT_EQ(2u * kLines, lines.size());
    int next[2] = {0, 0};
    int interleavings = 0;
    int previousThread = -1;
    for (const std::string& text : lines) {
        LogLine line;
        ASSERT_TRUE(LogLine::Parse(text, line)) << text;
        EXPECT_EQ("EmitterThread", line.function);
        EXPECT_EQ(905, line.line);
        EXPECT_EQ(":_DAT_A_: ", line.tag);
        int nThread = -1;
        int nSeq = -1;
        ASSERT_EQ(2, std::sscanf(line.message.c_str(), "| Thread : %d | Seq : %d |", &nThread, &nSeq)) << text;
        ASSERT_TRUE(nThread == 0 || nThread == 1) << text;
        // Each thread's lines arrive whole and in the order written.
        ASSERT_EQ(next[nThread], nSeq) << text;
        ASSERT_EQ(ThreadMessage(nThread, nSeq), line.message);
        ++next[nThread];
        interleavings += (previousThread != -1 && previousThread != nThread) ? 1 : 0;
        previousThread = nThread;
    }
    std::printf("[ figures  ] %d lines from 2 threads captured in %llu ms; the threads took turns %d times\n",
                2 * kLines, static_cast<unsigned long long>(elapsed), interleavings);
}

TEST(DebugLogCapture, StopEventShowPidAndSeveralPidsOnStandardOutput)
{
    const std::wstring console = testsupport::MakeScratchDir(L"trace_stdout") + L"console.txt";
    NamedEvent go(L"go");
    NamedEvent stop(L"stop");
    ChildProcess first, second;
    ASSERT_TRUE(first.Start(Exe(L"TraceEmitter.exe") + L" --wait " + go.Name() + L" pad40"));
    ASSERT_TRUE(second.Start(Exe(L"TraceEmitter.exe") + L" --wait " + go.Name() + L" line7 percent"));
    TraceCaptureRun capture;
    ASSERT_TRUE(capture.Start(L"--show-pid --stop-event " + stop.Name() + L" --pid " + std::to_wstring(first.Id()) +
                                  L" --pid " + std::to_wstring(second.Id()),
                              console));
    SetEvent(go.Handle());
    ASSERT_TRUE(first.WaitExit(30000));
    ASSERT_TRUE(second.WaitExit(30000));
    // Still capturing after its writers have gone: only the stop event ends it.
    EXPECT_FALSE(capture.Process().WaitExit(300));
    SetEvent(stop.Handle());
    ASSERT_TRUE(capture.Process().WaitExit(10000));
    EXPECT_EQ(0u, capture.Process().ExitCode());

    const std::string a = "[" + std::to_string(first.Id()) + "] ";
    const std::string b = "[" + std::to_string(second.Id()) + "] ";
    std::vector<std::string> expected = {
        a + "[CTraceEmitterPadding::EmitFortyCharsName : 300  ]:_DAT_A_:  forty",
        b + "[EmitAtLine7                              : 7    ]:_DAT_A_:  seven",
        b + "[Emitter::Percent                         : 12   ]:_COM_R_:  [EPM_STAT_100%] %d %s %% %n %ls",
    };
    std::vector<std::string> lines = SplitLines(testsupport::ReadFileBytes(console));
    // The two writers ran at the same time: their lines may come in either order.
    std::sort(expected.begin(), expected.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(expected, lines);
}

TEST(DebugLogCapture, SecondListenerIsRefusedWithAClearMessage)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"trace_busy");
    NamedEvent stop(L"stop");
    TraceCaptureRun owner;
    ASSERT_TRUE(owner.Start(L"--out " + Quoted(dir + L"owner.txt") + L" --stop-event " + stop.Name(), L""));

    ChildProcess second;
    ASSERT_TRUE(second.Start(Exe(L"TraceCapture.exe") + L" --out " + Quoted(dir + L"second.txt"), dir + L"console.txt"));
    ASSERT_TRUE(second.WaitExit(15000));
    EXPECT_EQ(2u, second.ExitCode());
    const std::string message = testsupport::ReadFileBytes(dir + L"console.txt");
    EXPECT_NE(std::string::npos, message.find("another debug-output listener already owns DBWIN_BUFFER")) << message;

    // The owner is unharmed and still capturing.
    OutputDebugStringA("owner still listens");
    SetEvent(stop.Handle());
    ASSERT_TRUE(owner.Process().WaitExit(10000));
    EXPECT_EQ(0u, owner.Process().ExitCode());
    EXPECT_NE(std::string::npos, testsupport::ReadFileBytes(dir + L"owner.txt").find("owner still listens\r\n"));

    // Once it has gone, the buffer is free again.
    DebugCapture inProcess;
    EXPECT_TRUE(inProcess.Start());
}

TEST(DebugLogCapture, CommandLineOfTheTool)
{
    const std::wstring dir = testsupport::MakeScratchDir(L"trace_args");
    struct Case {
        const wchar_t* args;
        DWORD exitCode;
        const char* text;
    };
    const Case cases[] = {
        {L"--help", 0, "Usage: TraceCapture [options]"},
        {L"--frobnicate", 1, "unknown argument \"--frobnicate\""},
        {L"--pid 12x", 1, "--pid needs a process id"},
        {L"--out", 1, "--out needs a value"},
        {L"--append", 1, "--append needs --out FILE"},
        {L"--until-exit 4294967293", 3, "process 4294967293 for --until-exit cannot be opened"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::wstring console = dir + L"console" + std::to_wstring(++n) + L".txt";
        ChildProcess tool;
        ASSERT_TRUE(tool.Start(Exe(L"TraceCapture.exe") + L" " + c.args, console));
        ASSERT_TRUE(tool.WaitExit(15000)) << Narrow(c.args);
        EXPECT_EQ(c.exitCode, tool.ExitCode()) << Narrow(c.args);
        const std::string text = testsupport::ReadFileBytes(console);
        EXPECT_NE(std::string::npos, text.find(c.text)) << Narrow(c.args) << ": " << text;
    }

    // A process that has ended already: nothing to wait for, a clean stop at once.
    ChildProcess ended;
    ASSERT_TRUE(ended.Start(Exe(L"TraceEmitter.exe")));
    ASSERT_TRUE(ended.WaitExit(15000));
    ChildProcess tool;
    ASSERT_TRUE(tool.Start(Exe(L"TraceCapture.exe") + L" --out " + Quoted(dir + L"ended.txt") + L" --until-exit " +
                           std::to_wstring(ended.Id())));
    ASSERT_TRUE(tool.WaitExit(15000));
    EXPECT_EQ(0u, tool.ExitCode());
}

namespace {

struct CMacroProbe {
    void Member()
    {
        LOG_FUN_S();
        LOG_FUN_E();
    }
    void operator()() { LOG_DATA(L"call"); }
    bool operator<(const CMacroProbe&) const
    {
        LOG_DATA(L"less");
        return false;
    }
    explicit operator bool() const
    {
        LOG_DATA(L"bool");
        return true;
    }
    void WithLambda()
    {
        const auto lambda = [](int value) { LOG_DATA(L"lambda %d", value); };
        lambda(3);
    }
};

unsigned long __stdcall ThreadRoutineProbe(void*)
{
    LOG_NOTICE(L"thread");
    return 0;
}

} // namespace

TEST(DebugLogMacros, NameTheCallingFunctionAsWrittenInTheSource)
{
    DebugCapture capture;
    ASSERT_TRUE(capture.Start());
    CMacroProbe probe;
    probe.Member();
    probe();
    (void)(probe < probe);
    (void)static_cast<bool>(probe);
    probe.WithLambda();
    ThreadRoutineProbe(nullptr);
    const std::vector<std::string> lines = capture.Take();

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"CMacroProbe::Member", ":_FUN_S_: "},        {"CMacroProbe::Member", ":_FUN_E_: "},
        {"CMacroProbe::operator()", ":_DAT_A_: "},    {"CMacroProbe::operator<", ":_DAT_A_: "},
        {"CMacroProbe::operator bool", ":_DAT_A_: "}, {"CMacroProbe::WithLambda", ":_DAT_A_: "},
        {"ThreadRoutineProbe", ":_NOTIC_: "},
    };
    ASSERT_EQ(expected.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        LogLine line;
        ASSERT_TRUE(LogLine::Parse(lines[i], line)) << lines[i];
        EXPECT_EQ(expected[i].first, line.function) << lines[i];
        EXPECT_EQ(expected[i].second, line.tag) << lines[i];
        EXPECT_GT(line.line, 0);
    }
    EXPECT_NE(std::string::npos, lines[5].find("lambda 3"));
}
