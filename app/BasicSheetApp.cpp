#include "app/BasicSheetApp.h"

#include "app/BasicSheetDlg.h"
#include "resource.h"
#include "storage/UtilityTools.h"

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <cwchar>

namespace {
CBasicSheetApp theApp;
} // namespace

CBasicSheetApp::CBasicSheetApp() : m_ModulePath{}
{
}

void CBasicSheetApp::GetModulePath(wchar_t* lpOut, int cchOut)
{
    if (lpOut == nullptr || cchOut <= 0)
        return;
    const CBasicSheetApp* pApp = dynamic_cast<const CBasicSheetApp*>(AfxGetApp());
    if (pApp != nullptr && pApp->m_ModulePath[0] != L'\0') {
        CUtilityTools::CopyText(lpOut, static_cast<size_t>(cchOut), pApp->m_ModulePath);
    } else {
        const DWORD dwLength = ::GetModuleFileNameW(nullptr, lpOut, static_cast<DWORD>(cchOut));
        if (dwLength == 0)
            lpOut[0] = L'\0';
    }
    lpOut[cchOut - 1] = L'\0';
}

void CBasicSheetApp::ShowStartUpMessage(UINT nStringID)
{
    wchar_t szText[260] = {};
    if (::LoadStringW(::GetModuleHandleW(nullptr), nStringID, szText, 260) <= 0)
        _snwprintf(szText, 259, L"Start-up check %u failed.", nStringID);
    ::MessageBoxW(nullptr, szText, kProgramName, MB_OK | MB_ICONINFORMATION);
}

BOOL CBasicSheetApp::InitInstance()
{
    // dwSize 8: the structure itself; ICC_WIN95_CLASSES covers tab, list view, IP address and
    // the other classes the windows use.
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);

    // One instance at a time. The handle stays open for the whole run: the process's end
    // releases the mutex, never the program.
    HANDLE hMutex = ::CreateMutexW(nullptr, TRUE, kProgramName);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        if (hMutex != nullptr)
            ::CloseHandle(hMutex);
        ShowStartUpMessage(IDS_ALREADY_RUNNING);
        return FALSE;
    }

    WSADATA wsaData{};
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0) {
        ShowStartUpMessage(IDS_SOCKETS_INIT_FAILED);
        return FALSE;
    }
    if (FAILED(::OleInitialize(nullptr))) {
        ShowStartUpMessage(IDS_OLE_INIT_FAILED);
        ::WSACleanup();
        return FALSE;
    }
    if (::LoadLibraryW(L"riched20.dll") == nullptr) {
        ShowStartUpMessage(IDS_RICHEDIT_INIT_FAILED);
        ::OleUninitialize();
        ::WSACleanup();
        return FALSE;
    }

    // A program started with the Enter key may still see that key held; its release is
    // injected so that the first Enter the main window gets is a new one.
    ::keybd_event(VK_RETURN, 0x8F, KEYEVENTF_KEYUP, 0);

    // Before the main window object: its settings page makes the settings storage object,
    // which takes its folder from this path.
    const DWORD dwLength = ::GetModuleFileNameW(nullptr, m_ModulePath, 260);
    if (dwLength == 0 || dwLength >= 260)
        m_ModulePath[dwLength == 0 ? 0 : 259] = L'\0';

    {
        CBasicSheetDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
        // Leaving the scope destroys the main window object, which ends the exit sequence.
    }
    // Link workers that would not end still run: the process ends now, before anything they
    // may use is torn down.
    if (CBasicSheetDlg::s_bWorkersAbandoned)
        ::ExitProcess(0);

    ::OleUninitialize();
    ::WSACleanup();
    return FALSE;
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    return RunApplication(hInstance);
}
