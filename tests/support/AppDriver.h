// Drives the real RigConsole.exe from outside, as an engineer's hands would: a copy of the
// program in a scratch folder (its folder is where Config.ini lives), its settings files
// written there, the process started with its trace captured from the first line, its
// windows found by process and caption, driven with window messages, its message boxes found
// by their text and dismissed, and its screen pixels read back.
#pragma once

#include "support/SimUnitProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// Values of Config.ini as the program stores them.
struct ConfigValues {
    std::wstring EnvironPath;
    std::wstring EnvironName = L"Environment.ini";
    int CommMode = 0;
    int CommType = 1;
    int Comport = 0;
    int Baudrate = 19200;
    std::wstring EthernetIP = L"127.0.0.1";
    int EthernetPort = 20130;
    // The console's "Reconnect" (section CONSOLE); -1 leaves the key out.
    int Reconnect = -1;
};

// Section MACHINE_SETTING of the capture software's environment file.
struct MachineValues {
    std::wstring MachineName = L"Test unit";
    int UseCommType = 1;
    int Comport = 0;
    int Baudrate = 19200;
    std::wstring MachineIP = L"127.0.0.1";
    int EthernetPort = 20130;
};

// A UTF-16 INI file, as the program and the capture software keep them.
bool WriteUtf16Ini(const std::wstring& path, const std::vector<std::pair<std::wstring, std::vector<std::pair<std::wstring, std::wstring>>>>& sections);
std::wstring ReadIniValue(const std::wstring& path, const wchar_t* lpSection, const wchar_t* lpKey);

// A loopback address of its own for each test run, so that the unit's fixed TCP port 20130
// does not meet another run on the same machine.
std::wstring PrivateLoopbackAddress();

class ProgramRun {
public:
    explicit ProgramRun(const wchar_t* lpName);
    ~ProgramRun();
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    const std::wstring& Folder() const { return m_folder; }
    std::wstring ConfigPath() const { return m_folder + L"Config.ini"; }
    std::wstring ExePath() const { return m_folder + L"RigConsole.exe"; }

    bool WriteConfig(const ConfigValues& values);
    // Writes the environment file into the run's folder; returns its folder (with backslash).
    std::wstring WriteEnvironment(const MachineValues& values);

    // Starts the copy with its trace captured; false when it cannot start or the debug
    // output is taken by another listener. A second run of the same test has its trace
    // kept by the first run's capture (pTraceHost).
    bool Start(const ProgramRun* pTraceHost = nullptr);
    // The same with arguments after the program's path, its standard output and error going
    // to outputFile (when given).
    bool Start(const std::wstring& arguments, const std::wstring& outputFile);
    bool Start(const ProgramRun* pTraceHost, const std::wstring& arguments, const std::wstring& outputFile);
    DWORD Pid() const { return m_child.Id(); }
    ChildProcess& Child() { return m_child; }

    // The program's windows (null while they do not exist).
    HWND MainWindow() const;
    HWND Page() const;
    HWND Console() const;
    HWND PageItem(int nID) const { return ::GetDlgItem(Page(), nID); }
    bool WaitMainWindowShown(DWORD dwTimeoutMs = 30000) const;
    // Waits until the settings page is shown in the tab strip.
    bool WaitPageShown(DWORD dwTimeoutMs = 30000) const;

    // A visible message box of the program with exactly this text, waited for.
    HWND WaitMessageBox(const std::wstring& text, DWORD dwTimeoutMs = 30000) const;
    // Every message box of the program that is open now, by text.
    std::vector<std::wstring> OpenMessageBoxes() const;
    // Presses the box's OK and waits until it is gone.
    bool Dismiss(HWND hBox, DWORD dwTimeoutMs = 10000) const;
    bool WaitAndDismiss(const std::wstring& text, DWORD dwTimeoutMs = 30000) const;

    // The program's trace so far, each line parsed (lines of another layout are kept with
    // only their message filled).
    std::vector<LogLine> Trace() const;
    std::vector<std::string> RawTrace() const;
    // Waits for a trace line whose message contains the text (and, when given, whose
    // function is lpFunction). Returns its index in Trace(), or -1.
    int WaitForTrace(const std::string& messagePart, DWORD dwTimeoutMs = 30000, const char* lpFunction = nullptr) const;

    // Closes the main window as the system close does and waits for the process to end.
    bool CloseAndWait(DWORD dwTimeoutMs = 30000);

private:
    std::wstring m_folder;
    ChildProcess m_child;
    std::unique_ptr<DebugCapture> m_capture;
    DebugCapture* m_pHostCapture = nullptr;
};

// The program's own settings for a TCP link to the unit at address.
ConfigValues TcpConfig(const ProgramRun& run, const std::wstring& address);

// How a test's program reaches the simulated unit.
enum class UnitLink {
    Tcp,       // TCP at PrivateLoopbackAddress(), port 20130
    Com,       // the test environment's COM pair
    PulledCom, // its second COM pair, the one PullComPair pulls out
};

// The program's own settings (CommMode 0) for a link to the unit over link.
ConfigValues UnitConfig(const ProgramRun& run, UnitLink link);

// Trace lines whose message holds the text (and, when given, whose function is lpFunction).
size_t CountTrace(const ProgramRun& run, const std::string& part, const char* lpFunction = nullptr);

// Shows the console through the settings page and sends one command from it (posted: the
// call does not wait for the program). False when the console cannot be shown.
bool SendFromConsole(const ProgramRun& run, const std::wstring& command);

// The simulated unit with a scenario of its own, its event log in the run's folder.
class ScriptedUnit {
public:
    bool StartTcp(const ProgramRun& run, const std::wstring& address, const std::string& scenario)
    {
        return Start(run, L"--tcp " + address + L":20130", scenario);
    }
    bool StartCom(const ProgramRun& run, const std::string& scenario, int nPort = UnitComPort())
    {
        return Start(run, L"--com " + std::to_wstring(nPort) + L" --baud 19200", scenario);
    }
    std::string Log() const { return ReadFileBytes(m_log); }
    bool WaitLog(const std::string& part, DWORD dwTimeoutMs = 20000) const
    {
        return PumpUntil([&] { return Log().find(part) != std::string::npos; }, dwTimeoutMs);
    }
    SimUnitProcess process;

private:
    bool Start(const ProgramRun& run, const std::wstring& link, const std::string& scenario);
    std::wstring m_log;
};

// Starts the program against a simulated unit that runs scenario: Config.ini for the link
// (adjust, when given, changes the values before they are written), then the unit, then the
// program; succeeds once the program has opened the link and (bWaitPage) shows its settings
// page, and otherwise says which step failed. (A unit that floods from the connect keeps
// the program's window busy: such a test waits for what it needs by itself.)
::testing::AssertionResult StartAgainstUnit(ProgramRun& run, ScriptedUnit& unit, UnitLink link, const std::string& scenario,
                                            const std::function<void(ConfigValues&)>& adjust = nullptr, bool bWaitPage = true);

// The program's box when its link cannot be opened.
inline const std::wstring kLinkErrorText = L"Error!! A communication error has occurred.";

// Starts the program with its link at PrivateLoopbackAddress(), where no unit listens
// (adjust as above); succeeds once the link's error box is dismissed and the settings page
// is shown.
::testing::AssertionResult StartWithoutUnit(ProgramRun& run, const std::function<void(ConfigValues&)>& adjust = nullptr);

// Text of a window of any process.
std::wstring WindowText(HWND hWnd);
// Dotted text of an IP address control, read from its four fields.
std::wstring IpControlText(HWND hIp);
// What the kit's check box shows on the screen: 1 its filled tick mark (red, or grey while
// disabled), 0 an empty box, -1 neither (not painted, covered).
int ScreenTickState(HWND hCheck);
// Clicks a button or check box of another process (posted, so a box it opens cannot block).
void PostClick(HWND hButton);

} // namespace testsupport
