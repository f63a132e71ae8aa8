// Runs bin\SimUnit.exe (the simulated X-ray unit) as a child of a test: started with its own
// ready and stop events, so a test waits for it to listen without sleeping and ends it the
// way Ctrl+C would, letting it write its last log lines. Header-only so that any test
// executable can use it without further sources.
#pragma once

#include "support/TestSupport.h"

#include <windows.h>

#include <string>

namespace testsupport {

class SimUnitProcess {
public:
    SimUnitProcess() = default;
    SimUnitProcess(const SimUnitProcess&) = delete;
    SimUnitProcess& operator=(const SimUnitProcess&) = delete;
    ~SimUnitProcess()
    {
        Stop(10000);
        CloseEvents();
    }

    // Starts SimUnit with args (see SimUnit --help); stdout and stderr go to outputFile when
    // given. True once it listens or has its port open; false when it failed or ended first.
    bool Start(const std::wstring& args, const std::wstring& outputFile = L"", DWORD dwTimeoutMs = 30000)
    {
        static LONG s_lCount = 0;
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(InterlockedIncrement(&s_lCount));
        const std::wstring readyName = L"RigSimUnitReady_" + tag;
        const std::wstring stopName = L"RigSimUnitStop_" + tag;
        CloseEvents();
        m_hReady = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
        m_hStop = CreateEventW(nullptr, TRUE, FALSE, stopName.c_str());
        if (m_hReady == nullptr || m_hStop == nullptr)
            return false;
        const std::wstring line = L"\"" + BinDir() + L"SimUnit.exe\" " + args + L" --ready-event " + readyName +
                                  L" --stop-event " + stopName;
        if (!m_child.Start(line, outputFile))
            return false;
        const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
        while (GetTickCount64() < deadline) {
            if (WaitForSingleObject(m_hReady, 50) == WAIT_OBJECT_0)
                return true;
            if (m_child.WaitExit(0))
                return false;
        }
        return false;
    }

    // Asks the unit to end and waits for it; true when it has ended (ExitCode() is then valid).
    bool Stop(DWORD dwTimeoutMs = 10000)
    {
        if (m_hStop != nullptr)
            SetEvent(m_hStop);
        return m_child.WaitExit(dwTimeoutMs);
    }

    bool WaitExit(DWORD dwTimeoutMs) { return m_child.WaitExit(dwTimeoutMs); }
    DWORD ExitCode() const { return m_child.ExitCode(); }

private:
    void CloseEvents()
    {
        if (m_hReady != nullptr)
            CloseHandle(m_hReady);
        if (m_hStop != nullptr)
            CloseHandle(m_hStop);
        m_hReady = m_hStop = nullptr;
    }

    ChildProcess m_child;
    HANDLE m_hReady = nullptr;
    HANDLE m_hStop = nullptr;
};

} // namespace testsupport
