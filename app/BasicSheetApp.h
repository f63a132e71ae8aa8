// The application object: the program's entry and exit. It prepares the platform facilities
// (common controls, sockets, OLE, rich edit), lets only one instance run, records where the
// program file lies and runs the main sheet window modally; the process ends when it returns.
#pragma once

#include "framework/WinApp.h"
#include "framework/Wnd.h"

#include <string>

// The program's name: it names the single-instance mutex, begins the main window's caption
// and captions the program's message boxes.
inline constexpr const wchar_t* kProgramName = L"Rig Console";

// "RigConsole.exe /procedure FILE [/report FOLDER]": the program starts as usual, runs the
// procedure without a person, writes its report and ends with 0 (every step passed), 1 (a
// step failed) or 2 (it could not run).
struct UnattendedRun {
    bool bOn = false;
    std::wstring procedure;
    std::wstring reportFolder;
};
enum UnattendedExit : int { kExitPassed = 0, kExitFailed = 1, kExitNotRun = 2 };

class CBasicSheetApp : public CWinApp {
public:
    CBasicSheetApp();

    // Reads the command line; false, with the reason, when it is not one the program takes.
    static bool ParseCommandLine(const wchar_t* lpCommandLine, UnattendedRun& run, std::wstring& error);
    // The unattended run asked for on the command line (bOn false: none).
    static const UnattendedRun& Unattended();
    // Ends an unattended run's process with this code; the reason (when any) goes to the
    // diagnostic log and to standard error.
    static void SetExitCode(int nCode, const std::wstring& reason = std::wstring());

    // Runs the whole program; FALSE in every case, so no message loop follows.
    BOOL InitInstance() override;

    // Full path of the program file, filled before the main window object is made: the
    // settings storage and the start banner take their folder and names from it.
    wchar_t m_ModulePath[260];
    // The main window while it runs modally, else null.
    CWnd* m_pMainWnd = nullptr;

    // The program's module path: the application object's when there is one, else the
    // running module's own (for code that runs without the application object).
    static void GetModulePath(wchar_t* lpOut, int cchOut);

private:
    static void ShowStartUpMessage(UINT nStringID);
};
