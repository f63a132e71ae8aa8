// Helpers shared by the test executables: where the built programs lie, child processes,
// scratch folders, and waiting while the calling thread keeps serving its windows.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// Folder of the running test executable, with a trailing backslash; the program, the tools
// and the test programs are built into the same folder.
std::wstring BinDir();

// A fresh, empty folder for one test (with a trailing backslash).
std::wstring MakeScratchDir(const wchar_t* lpName);

// Whole contents of a file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);
// Writes the bytes as the whole file; false when it could not be written.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// Serves the calling thread's messages (sent and posted) until cond() is true or the time
// is up. Returns cond() at the end.
bool PumpUntil(const std::function<bool()>& cond, DWORD dwTimeoutMs);

// Serves messages for the given time.
void PumpFor(DWORD dwMs);

// Serves the messages that are waiting now, and returns.
void PumpPending();

// COM port numbers of the pseudo-terminal pair set up by the test environment (0 if none).
int ProgramComPort();
int UnitComPort();
// The second pair, which can be pulled out and plugged in again as a USB adapter can.
int PulledProgramComPort();
int PulledUnitComPort();
// Pulls the second pair out (its ports vanish) or plugs a new one in; waits until it is so.
bool PullComPair(bool bPulled, DWORD dwTimeoutMs = 10000);

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Starts lpCommandLine; stdout and stderr go to lpOutputFile when given. A process
    // started suspended runs once Resume() is called (so a listener can attach first).
    bool Start(const std::wstring& commandLine, const std::wstring& outputFile = L"", bool bSuspended = false);
    bool Resume();
    // True when the process has ended within the time; then ExitCode() is valid.
    bool WaitExit(DWORD dwTimeoutMs);
    DWORD ExitCode() const;
    void Terminate();
    DWORD Id() const { return m_pi.dwProcessId; }
    HANDLE Handle() const { return m_pi.hProcess; }

private:
    PROCESS_INFORMATION m_pi{};
};

// A debug-output listener inside the test process: while it runs it owns the system's
// debug-output buffer (tests that use it take the "dbwin" lock) and keeps the lines written
// by one process, the test's own unless told otherwise.
class DebugCapture {
public:
    explicit DebugCapture(DWORD dwPid = GetCurrentProcessId()) : m_dwPid(dwPid) {}
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;
    ~DebugCapture();

    // False when another listener already owns the buffer.
    bool Start();
    void Stop();

    // The lines of the test's own process since the last call, once every line that it
    // wrote before this call has arrived (a marker line is sent through and waited for).
    std::vector<std::string> Take(DWORD dwTimeoutMs = 10000);
    // The lines kept so far, without waiting.
    std::vector<std::string> Lines() const;

    // Keeps the lines of one more process too (only one listener can run at a time, so a
    // test that watches two processes watches both through one capture).
    void AlsoKeep(DWORD dwPid);
    // The lines kept so far of a process given to AlsoKeep.
    std::vector<std::string> LinesOf(DWORD dwPid) const;

private:
    void Listen();

    DWORD m_dwPid;
    HANDLE m_hMapping = nullptr;
    HANDLE m_hBufferReady = nullptr;
    HANDLE m_hDataReady = nullptr;
    HANDLE m_hStop = nullptr;
    const BYTE* m_pView = nullptr;
    std::thread m_thread;
    int m_nextMarker = 0;
    // Written by the listener thread, read by the test thread; m_lock covers it.
    mutable std::mutex m_lock;
    std::vector<std::string> m_lines;
    std::vector<DWORD> m_otherPids;
    std::vector<std::pair<DWORD, std::string>> m_otherLines;
};

// One diagnostic-log line taken apart; Parse checks the exact layout:
// "[" name padded to 40 " : " line padded to 5 "]" tag(10) " " message.
struct LogLine {
    std::string function;
    int line = 0;
    std::string tag;
    std::string message;

    static bool Parse(const std::string& text, LogLine& out);
};

} // namespace testsupport
