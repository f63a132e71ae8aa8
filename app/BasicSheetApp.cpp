#include "app/BasicSheetApp.h"

#include "app/BasicSheetDlg.h"
#include "resource.h"
#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include <cwchar>

namespace {
CBasicSheetApp theApp;
UnattendedRun g_unattended;

// Standard error where the one who started the program gave one (a console, a pipe, a file).
void WriteStdErr(const std::wstring& text)
{
    const HANDLE hErr = ::GetStdHandle(STD_ERROR_HANDLE);
    if (hErr == nullptr || hErr == INVALID_HANDLE_VALUE)
        return;
    const std::wstring line = text + L"\r\n";
    const int nBytes = ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(nBytes > 0 ? nBytes : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), bytes.data(), nBytes, nullptr, nullptr);
    DWORD dwWritten = 0;
    ::WriteFile(hErr, bytes.data(), static_cast<DWORD>(bytes.size()), &dwWritten, nullptr);
}
} // namespace

bool CBasicSheetApp::ParseCommandLine(const wchar_t* lpCommandLine, UnattendedRun& run, std::wstring& error)
{
    run = UnattendedRun{};
    int nArgs = 0;
    LPWSTR* ppArgs = ::CommandLineToArgvW(lpCommandLine != nullptr ? lpCommandLine : L"", &nArgs);
    if (ppArgs == nullptr) {
        error = L"the command line cannot be read";
        return false;
    }
    bool bOk = true;
    // The first word is the program itself.
    for (int i = 1; i < nArgs && bOk; ++i) {
        const std::wstring arg = ppArgs[i];
        const bool bHasValue = i + 1 < nArgs;
        // A path never holds a quote: one at the end came from a folder written with its
        // last backslash inside the quotes ("C:\Reports\"), which escapes the quote.
        const auto value = [&](int n) {
            std::wstring text = ppArgs[n];
            while (!text.empty() && text.back() == L'"')
                text.pop_back();
            return text;
        };
        if ((_wcsicmp(arg.c_str(), L"/procedure") == 0 || _wcsicmp(arg.c_str(), L"-procedure") == 0) && bHasValue) {
            run.procedure = value(++i);
        } else if ((_wcsicmp(arg.c_str(), L"/report") == 0 || _wcsicmp(arg.c_str(), L"-report") == 0) && bHasValue) {
            run.reportFolder = value(++i);
        } else {
            error = L"unknown or incomplete argument \"" + arg + L"\" (RigConsole.exe /procedure FILE [/report FOLDER])";
            bOk = false;
        }
    }
    ::LocalFree(ppArgs);
    if (bOk && run.procedure.empty() && !run.reportFolder.empty()) {
        error = L"/report needs /procedure FILE";
        bOk = false;
    }
    run.bOn = bOk && !run.procedure.empty();
    return bOk;
}

const UnattendedRun& CBasicSheetApp::Unattended()
{
    return g_unattended;
}

void CBasicSheetApp::SetExitCode(int nCode, const std::wstring& reason)
{
    theApp.m_nExitCode = nCode;
    if (!reason.empty()) {
        LOG_ERROR(L"%s", reason.c_str());
        WriteStdErr(reason);
    }
}

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
    if (g_unattended.bOn) {
        SetExitCode(kExitNotRun, std::wstring(L"Rig Console: ") + szText);
        return;
    }
    ::MessageBoxW(nullptr, szText, kProgramName, MB_OK | MB_ICONINFORMATION);
}

BOOL CBasicSheetApp::InitInstance()
{
    // dwSize 8: the structure itself; ICC_WIN95_CLASSES covers tab, list view, IP address and
    // the other classes the windows use.
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    ::InitCommonControlsEx(&icc);

    // An unattended run shows no box: what stops it is told on standard error and in the
    // exit code.
    std::wstring commandLineError;
    if (!ParseCommandLine(::GetCommandLineW(), g_unattended, commandLineError)) {
        SetExitCode(kExitNotRun, L"Rig Console: " + commandLineError);
        return FALSE;
    }

    // One instance at a time. The handle stays open for the whole run: the process's end
    // releases the mutex, never the program.
    HANDLE hMutex = ::CreateMutexW(nullptr, TRUE, kProgramName);
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        if (hMutex != nullptr)
            ::CloseHandle(hMutex);
        if (g_unattended.bOn)
            SetExitCode(kExitNotRun, L"Rig Console: another instance is running; the procedure was not run");
        else
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
        ::ExitProcess(static_cast<UINT>(m_nExitCode));

    ::OleUninitialize();
    ::WSACleanup();
    return FALSE;
}

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    return RunApplication(hInstance);
}
