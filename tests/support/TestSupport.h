// Helpers shared by the test executables: where the built programs lie, child processes,
// scratch folders, and waiting while the calling thread keeps serving its windows.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace testsupport {

// Folder of the running test executable, with a trailing backslash; the program, the tools
// and the test programs are built into the same folder.
std::wstring BinDir();

// A fresh, empty folder for one test (with a trailing backslash).
std::wstring MakeScratchDir(const wchar_t* lpName);

// Whole contents of a file as bytes; empty when it cannot be read.
std::string ReadFileBytes(const std::wstring& path);

// Serves the calling thread's messages (sent and posted) until cond() is true or the time
// is up. Returns cond() at the end.
bool PumpUntil(const std::function<bool()>& cond, DWORD dwTimeoutMs);

// Serves messages for the given time.
void PumpFor(DWORD dwMs);

// COM port numbers of the pseudo-terminal pair set up by the test environment (0 if none).
int ProgramComPort();
int UnitComPort();

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // Starts lpCommandLine; stdout and stderr go to lpOutputFile when given.
    bool Start(const std::wstring& commandLine, const std::wstring& outputFile = L"");
    // True when the process has ended within the time; then ExitCode() is valid.
    bool WaitExit(DWORD dwTimeoutMs);
    DWORD ExitCode() const;
    void Terminate();
    DWORD Id() const { return m_pi.dwProcessId; }

private:
    PROCESS_INFORMATION m_pi{};
};

} // namespace testsupport
