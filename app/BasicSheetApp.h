// The application object: the program's entry and exit. It prepares the platform facilities
// (common controls, sockets, OLE, rich edit), lets only one instance run, records where the
// program file lies and runs the main sheet window modally; the process ends when it returns.
#pragma once

#include "framework/WinApp.h"
#include "framework/Wnd.h"

// The program's name: it names the single-instance mutex, begins the main window's caption
// and captions the program's message boxes.
inline constexpr const wchar_t* kProgramName = L"Rig Console";

class CBasicSheetApp : public CWinApp {
public:
    CBasicSheetApp();

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
