#include "framework/WinApp.h"

#include "framework/Wnd.h"

namespace {
CWinApp* g_pApp = nullptr;
}

CWinApp::CWinApp()
{
    g_pApp = this;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

int CWinApp::Run()
{
    MSG msg{};
    while (RigPumpMessage(msg)) {
    }
    if (msg.message == WM_QUIT)
        m_nExitCode = static_cast<int>(msg.wParam);
    return ExitInstance();
}

int RunApplication(HINSTANCE hInstance)
{
    CWinApp* pApp = AfxGetApp();
    if (pApp == nullptr)
        return 1;
    pApp->m_hInstance = hInstance;
    if (!pApp->InitInstance())
        return pApp->ExitInstance();
    return pApp->Run();
}
