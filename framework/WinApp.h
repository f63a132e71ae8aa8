// The application object: one per process. wWinMain hands control to RunApplication, which
// calls InitInstance and, when that asks for it, runs the message loop.
#pragma once

#include <windows.h>

class CWinApp {
public:
    CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;
    virtual ~CWinApp();

    // True to go on into the message loop (a modeless main window), false to end at once
    // (a program whose main window ran modal inside InitInstance).
    virtual BOOL InitInstance() { return FALSE; }
    virtual int ExitInstance() { return m_nExitCode; }

    // The message loop: every message passes the PreTranslateMessage chain first.
    int Run();

    HINSTANCE m_hInstance = nullptr;
    int m_nExitCode = 0;
};

CWinApp* AfxGetApp();

// The body of wWinMain.
int RunApplication(HINSTANCE hInstance);
