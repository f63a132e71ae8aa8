#include "app/BasicSheetDlg.h"

#include "app/BasicSheetApp.h"
#include "comm/Comm.h"
#include "controls/Dpi.h"
#include "resource.h"
#include "storage/DebugLog.h"
#include "storage/StorageMngr.h"
#include "storage/UtilityTools.h"

#include <cwchar>
#include <string>

namespace {
// The shell's milestone lines keep fixed function names and line numbers: trace filters of
// the service department key on them, so they do not move with the source.
const wchar_t kFnOnInitDialog[] = L"CBasicSheetDlg::OnInitDialog";
const wchar_t kFnSequenceExit[] = L"CBasicSheetDlg::SequenceExit";
const wchar_t kFnOnActivatePage[] = L"CBasicSheetDlg::OnActivatePage";
const wchar_t kFnInitRS232C[] = L"CBasicSheetDlg::Init_RS232C";
const wchar_t kFnSerialEPM[] = L"CBasicSheetDlg::OnMessage_SerialEPM";
const wchar_t kFnSerialSMP[] = L"CBasicSheetDlg::OnMessage_SerialSMP";

constexpr int kTextChars = 260;
const wchar_t kConfigCaption[] = L" Config ";
// The settings page sits this many pixels (at 96 DPI) below the top of the tab strip.
constexpr int kPageOffsetY = 21;
const wchar_t kEngineerPassword[] = L"TORVIK";

// A copy of an icon resource for the log-in button (which destroys it), at the system's icon
// size for the button's display (what a default-size load gives at 96 DPI, scaled with it).
HICON LoadButtonIcon(UINT nID, HWND hButton)
{
    const int nSize = kit::SystemMetricAt(SM_CXICON, kit::DpiOf(hButton));
    return static_cast<HICON>(::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(nID), IMAGE_ICON, nSize, nSize, 0));
}

// Copies the text of a notification into lpOut and frees the copy it carried.
void TakeNotifyText(WPARAM wParam, wchar_t* lpOut, size_t cchOut)
{
    CUtilityTools::CopyText(lpOut, cchOut, reinterpret_cast<const wchar_t*>(wParam));
    FreeNotifyText(wParam);
}
} // namespace

BEGIN_MESSAGE_MAP(CBasicSheetDlg, CMSDialog)
    ON_WM_TIMER()
    ON_MESSAGE(WM_SETCURSOR, CBasicSheetDlg::OnSetCursor)
    ON_MESSAGE(WM_TABPAGE_ACTIVATE, CBasicSheetDlg::OnActivatePage)
    ON_MESSAGE(WM_SERIAL_EPM, CBasicSheetDlg::OnMessage_SerialEPM)
    ON_MESSAGE(WM_SERIAL_SLP, CBasicSheetDlg::OnMessage_SerialSLP)
    ON_MESSAGE(WM_SERIAL_SMP, CBasicSheetDlg::OnMessage_SerialSMP)
    ON_MESSAGE(WM_DESTROY, CBasicSheetDlg::OnDestroyMsg)
    ON_MESSAGE(WM_PAGE_SHOWCONSOLE, CBasicSheetDlg::OnShowConsole)
    ON_MESSAGE(WM_CONSOLE_TIME, CBasicSheetDlg::OnConsoleTime)
    ON_MESSAGE(WM_CONSOLE_RECONNECT, CBasicSheetDlg::OnConsoleReconnect)
    ON_MESSAGE(WM_PROCEDURE_ENDED, CBasicSheetDlg::OnProcedureEnded)
    ON_BN_CLICKED(IDC_BTN_LOGIN, CBasicSheetDlg::OnBnClickedLogIn)
    ON_BN_CLICKED(IDC_BTN_MAIN_CLOSE, CBasicSheetDlg::OnBnClickedClose)
END_MESSAGE_MAP()

CBasicSheetDlg::CBasicSheetDlg() : CMSDialog()
{
}

CBasicSheetDlg::~CBasicSheetDlg()
{
    if (m_pageConfig.m_hWnd != nullptr && ::IsWindow(m_pageConfig.m_hWnd))
        m_pageConfig.DestroyWindow();
    m_tabCtrl.RemoveAllPages();
    // Normally done when the window went; here for a window that never existed.
    SequenceExit();

    HCURSOR* const cursors[4] = {&m_hCursorGrab, &m_hCursorHand, &m_hCursorWait, &m_hCursorArrow};
    for (int i = 0; i < 4; ++i) {
        if (m_bOwnCursor[i] && *cursors[i] != nullptr)
            ::DestroyCursor(*cursors[i]);
        *cursors[i] = nullptr;
    }
}

BOOL CBasicSheetDlg::OnInitDialog()
{
    CMSDialog::OnInitDialog();

    m_tabCtrl.SubclassDlgItem(IDC_TAB_SHEET, this);
    m_chkEngineer.SubclassDlgItem(IDC_CHECK_ENGINEER, this);
    m_editPassword.SubclassDlgItem(IDC_EDIT_PASSWORD, this);
    m_btnLogIn.SubclassDlgItem(IDC_BTN_LOGIN, this);
    m_btnClose.SubclassDlgItem(IDC_BTN_MAIN_CLOSE, this);

    m_hIcon = ::LoadIconW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_APP));
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    EnableDebugPrivilege();

    wchar_t szModulePath[kTextChars] = {};
    CBasicSheetApp::GetModulePath(szModulePath, kTextChars);
    const std::wstring version = CUtilityTools::GetFileVersion(szModulePath);
    wchar_t szCaption[kTextChars] = {};
    _snwprintf(szCaption, kTextChars - 1, L"%s  Ver %s", kProgramName, version.c_str());
    SetWindowText(szCaption);

    LoadCursors();

    m_pStorageMngr = m_pageConfig.m_pStorageMngr != nullptr ? m_pageConfig.m_pStorageMngr : CStorageMngr::GetInstance();

    wchar_t szFolder[kTextChars] = {};
    wchar_t szFileName[kTextChars] = {};
    CUtilityTools::GetFolderOfPath(szModulePath, szFolder);
    CUtilityTools::GetFileNameExt(szFileName, szModulePath);
    const std::wstring description = CUtilityTools::GetFileDescription(szModulePath);
    DebugLog(kFnOnInitDialog, 196, TAG_NOTIC, LOG_TEXT_FRAME);
    DebugLog(kFnOnInitDialog, 197, TAG_NOTIC, L"|      $---< Software Start!! >---$");
    DebugLog(kFnOnInitDialog, 198, TAG_NOTIC, LOG_TEXT_FRAME);
    DebugLog(kFnOnInitDialog, 200, TAG_NOTIC, L"| FilePath      : %s", szFolder);
    DebugLog(kFnOnInitDialog, 202, TAG_NOTIC, L"| FileName      : %s", szFileName);
    DebugLog(kFnOnInitDialog, 203, TAG_NOTIC, L"| FileVersion   : %s %s", version.c_str(), description.c_str());
    DebugLog(kFnOnInitDialog, 204, TAG_NOTIC, LOG_TEXT_FRAME);

    // The log-in controls: a flat check box with a filled mark, a password field that takes
    // any key, and the button with its "logged out" icon left of the caption.
    m_chkEngineer.m_bBorder = 0;
    m_chkEngineer.RedrawWindow();
    m_chkEngineer.m_crBack = RGB(220, 220, 220);
    m_chkEngineer.m_bTick = false;
    m_chkEngineer.Invalidate(TRUE);
    m_editPassword.m_bNumeric = false;
    m_editPassword.SendMessage(EM_SETREADONLY, FALSE);
    m_btnLogIn.SetIcon(LoadButtonIcon(IDI_LOGIN, m_btnLogIn));
    m_btnLogIn.m_nAlign = 0;

    // The settings page exists from now on, but the strip shows it only once the link has
    // been tried.
    m_tabCtrl.RemoveAllPages();
    m_pageConfig.Create(IDD_PAGE_CONFIG, this);

    m_tabCtrl.EnableWindow(TRUE);
    m_chkEngineer.ShowWindow(SW_HIDE);
    m_editPassword.ShowWindow(SW_HIDE);
    m_btnLogIn.ShowWindow(SW_HIDE);

    // Config.ini: written with the defaults when it or one of its sections is missing, then
    // read again; then the capture software's environment file it names.
    if (m_pStorageMngr != nullptr)
        m_pStorageMngr->ReadIni_StartUp();

    SetTimer(TIMER_ACTIVATE, 100);
    return TRUE;
}

void CBasicSheetDlg::EnableDebugPrivilege()
{
    DWORD dwError = 0;
    HANDLE hToken = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &hToken)) {
        TOKEN_PRIVILEGES tp{};
        tp.PrivilegeCount = 1;
        if (::LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &tp.Privileges[0].Luid)) {
            tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
            ::AdjustTokenPrivileges(hToken, FALSE, &tp, 0, nullptr, nullptr);
        }
        // Also ERROR_NOT_ALL_ASSIGNED when the call itself succeeded.
        dwError = ::GetLastError();
        ::CloseHandle(hToken);
    } else {
        dwError = ::GetLastError();
    }
    // Nothing of the program needs the privilege to work: without it the window still
    // opens completely, and the trace says why it is missing.
    if (dwError != 0)
        LOG_ERROR(L"SeDebugPrivilege not enabled, error %d : %s", static_cast<int>(dwError), CUtilityTools::FormatError(dwError));
}

void CBasicSheetDlg::LoadCursors()
{
    // Animated cursors from the current folder; the system's cursors where a file is missing.
    m_hCursorGrab = ::LoadCursorFromFileW(L"Cursor_Grab.ani");
    m_hCursorHand = ::LoadCursorFromFileW(L"Cursor_Hand.ani");
    m_hCursorWait = ::LoadCursorFromFileW(L"Cursor_Wait.ani");
    m_hCursorArrow = ::LoadCursorFromFileW(L"Cursor_Arrow.ani");
    HCURSOR* const cursors[4] = {&m_hCursorGrab, &m_hCursorHand, &m_hCursorWait, &m_hCursorArrow};
    const LPCWSTR fallbacks[4] = {IDC_HAND, IDC_HAND, IDC_WAIT, IDC_ARROW};
    for (int i = 0; i < 4; ++i) {
        m_bOwnCursor[i] = *cursors[i] != nullptr;
        if (*cursors[i] == nullptr)
            *cursors[i] = ::LoadCursorW(nullptr, fallbacks[i]);
    }
    m_hCursor = m_hCursorArrow;
    ::SetCursor(m_hCursorArrow);
}

LRESULT CBasicSheetDlg::OnActivatePage(WPARAM, LPARAM)
{
    DebugLog(kFnOnActivatePage, 283, TAG_FUN_S, LOG_TEXT_START);
    m_pageConfig.LoadConfigToCtrl();
    if (m_editPassword.IsWindowVisible())
        m_editPassword.SetFocus();
    if (m_pStorageMngr == nullptr)
        return 0;

    // CommMode 0: the program's own link settings; otherwise the capture software's.
    const LinkParams params = LinkParams::FromSettings(m_pStorageMngr->m_ConfigSettings, m_pStorageMngr->m_MachineSettings);
    if (!Init_RS232C(params)) {
        // An exit asked for while the link was being opened needs no error box.
        if (!IsModal())
            return 0;
        if (CBasicSheetApp::Unattended().bOn) {
            EndUnattended(kExitNotRun, L"Rig Console: the link (" + params.Describe() + L") could not be opened; the procedure was not run");
            return 0;
        }
        ::MessageBoxW(m_hWnd, L"Error!! A communication error has occurred.", kProgramName, MB_OK);
        SetTimer(TIMER_SHOW_CONFIG, 200);
        return 0;
    }
    if (CBasicSheetApp::Unattended().bOn)
        StartUnattended();
    if (m_tabCtrl.m_nCount > 1)
        m_tabCtrl.SelectPage(1);
    // The settings page is where "Serial Dialog" opens the console: it is shown after a link
    // that works as well, or the console could not be reached while the unit is connected.
    SetTimer(TIMER_SHOW_CONFIG, 200);
    DebugLog(kFnOnActivatePage, 368, TAG_FUN_E, LOG_TEXT_END);
    return 0;
}

bool CBasicSheetDlg::Init_RS232C(const LinkParams& params)
{
    DebugLog(kFnInitRS232C, 404, TAG_FUN_S, LOG_TEXT_START);
    if (mc_pCommMngr == nullptr) {
        mc_pCommMngr = CComm::GetInstance();
        mc_pCommMngr->SetOwnerWnd(this);
        if (m_pStorageMngr != nullptr) {
            const ConsoleSettings& options = m_pStorageMngr->m_ConsoleSettings;
            mc_pCommMngr->SetConsoleOptions(options.bShowTime, options.bReconnect, m_pStorageMngr->SessionLogFolder());
            mc_pCommMngr->SetSessionFolderLimit(static_cast<unsigned long long>(options.nFolderLimitMB) << 20);
            // A folder that cannot be a path is not cut into another one without a word.
            if (options.nRefusedFolderChars > 0)
                mc_pCommMngr->LogWrite(LOG_KIND_DATA, L"LogFolder in Config.ini not used: %d characters, a folder has at most %d; session records go to %s",
                                       options.nRefusedFolderChars, MAX_PATH - 1, m_pStorageMngr->SessionLogFolder().c_str());
            else if (options.nRefusedFolderChars < 0)
                mc_pCommMngr->LogWrite(LOG_KIND_DATA, L"LogFolder in Config.ini not used: longer than a folder may be (%d characters); session records go to %s",
                                       MAX_PATH - 1, m_pStorageMngr->SessionLogFolder().c_str());
        }
        // The new console window settles before the port or socket is opened.
        ::Sleep(500);
    }
    DebugLog(kFnInitRS232C, 411, TAG_FUN_S, LOG_TEXT_START);

    const bool bOpen = mc_pCommMngr->Open(params);
    mc_pCommMngr->UpdateLinkButtons(!bOpen, bOpen);
    return bOpen;
}

void CBasicSheetDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == TIMER_ACTIVATE) {
        KillTimer(TIMER_ACTIVATE);
        OnActivatePage(0, 0);
    } else if (nIDEvent == TIMER_SHOW_CONFIG) {
        KillTimer(TIMER_SHOW_CONFIG);
        ShowConfigPage();
    } else if (nIDEvent == TIMER_TIMEOUT_BOX) {
        KillTimer(TIMER_TIMEOUT_BOX);
        if (!m_bExitAsked)
            ::MessageBoxW(m_hWnd, L"[Error] Communication timeout has occurred", kProgramName, MB_OK);
    }
    Default();
}

void CBasicSheetDlg::ShowConfigPage()
{
    // Added once; a later call only selects it.
    int nIndex = m_tabCtrl.FindPage(kConfigCaption);
    if (nIndex < 0 || nIndex >= m_tabCtrl.m_nCount) {
        m_tabCtrl.AddPage(kConfigCaption, m_pParentWnd, kit::Scale(kPageOffsetY, kit::DpiOf(m_hWnd)), &m_pageConfig);
        nIndex = m_tabCtrl.FindPage(kConfigCaption);
    }
    m_tabCtrl.SelectPage(nIndex);
}

LRESULT CBasicSheetDlg::OnSetCursor(WPARAM wParam, LPARAM)
{
    // The hand over owner-drawn buttons (the kit's buttons and check boxes, here and in the
    // pages), the arrow everywhere else.
    HWND hUnder = reinterpret_cast<HWND>(wParam);
    bool bOwnerDrawButton = false;
    if (hUnder != nullptr && hUnder != m_hWnd && (::GetWindowLongPtrW(hUnder, GWL_STYLE) & 0xF) == BS_OWNERDRAW) {
        wchar_t szClass[16] = {};
        ::GetClassNameW(hUnder, szClass, 16);
        bOwnerDrawButton = _wcsicmp(szClass, L"Button") == 0;
    }
    if (bOwnerDrawButton)
        ::SetCursor(m_hCursorHand);
    else if (::GetCursor() != m_hCursor)
        ::SetCursor(m_hCursor);
    return TRUE;
}

bool CBasicSheetDlg::PreTranslateMessage(MSG* pMsg)
{
    if (pMsg->message == WM_KEYDOWN) {
        // Escape never closes the window; Enter never presses a default button: it is the
        // key of the engineer's log-in.
        if (pMsg->wParam == VK_ESCAPE)
            return true;
        if (pMsg->wParam == VK_RETURN) {
            OnBnClickedLogIn();
            return true;
        }
    }
    return CMSDialog::PreTranslateMessage(pMsg);
}

LRESULT CBasicSheetDlg::OnMessage_SerialEPM(WPARAM wParam, LPARAM lParam)
{
    DebugLog(kFnSerialEPM, 504, TAG_FUN_S, LOG_TEXT_START);
    wchar_t szKind[kRecvKindNameChars] = {};
    GetRecvKindName(szKind, static_cast<int>(lParam));
    DebugLog(kFnSerialEPM, 509, TAG_DAT_A, L"lParam : %s", szKind);
    wchar_t szText[kTextChars] = {};
    TakeNotifyText(wParam, szText, kTextChars);
    if (static_cast<int>(lParam) == enRECV_TIMEOUT && !m_bExitAsked)
        SetTimer(TIMER_TIMEOUT_BOX, 1);
    DebugLog(kFnSerialEPM, 602, TAG_FUN_E, LOG_TEXT_END);
    return 1;
}

LRESULT CBasicSheetDlg::OnMessage_SerialSLP(WPARAM wParam, LPARAM)
{
    // The unit's SLP frames were echoed by the link manager already; here the copy is only
    // taken and released.
    LOG_FUN_S();
    wchar_t szText[kTextChars] = {};
    TakeNotifyText(wParam, szText, kTextChars);
    LOG_DATA(L"SLP : %s", szText);
    return 1;
}

LRESULT CBasicSheetDlg::OnMessage_SerialSMP(WPARAM wParam, LPARAM)
{
    DebugLog(kFnSerialSMP, 608, TAG_FUN_S, LOG_TEXT_START);
    wchar_t szText[kTextChars] = {};
    TakeNotifyText(wParam, szText, kTextChars);
    return 1;
}

void CBasicSheetDlg::OnBnClickedLogIn()
{
    // The password field holds the state: enabled while logged out.
    if (m_editPassword.IsWindowEnabled()) {
        wchar_t szPassword[kTextChars] = {};
        m_editPassword.GetWindowText(szPassword, kTextChars);
        if (_wcsicmp(szPassword, kEngineerPassword) == 0) {
            m_tabCtrl.EnableWindow(TRUE);
            Invalidate(FALSE);
            if (m_tabCtrl.m_nCount > 1)
                m_tabCtrl.SelectPage(1);
            m_editPassword.EnableWindow(FALSE);
            m_btnLogIn.SetIcon(LoadButtonIcon(IDI_LOGOUT, m_btnLogIn));
            m_btnLogIn.SetWindowText(L"Log Out");
        } else {
            m_editPassword.SetText(L"");
            m_editPassword.SetFocus();
        }
        return;
    }
    m_tabCtrl.EnableWindow(FALSE);
    Invalidate(FALSE);
    if (m_tabCtrl.m_nCount >= 1)
        m_tabCtrl.SelectPage(0);
    m_btnLogIn.SetIcon(LoadButtonIcon(IDI_LOGIN, m_btnLogIn));
    m_btnLogIn.SetWindowText(L"Log In");
    m_editPassword.EnableWindow(TRUE);
    m_editPassword.SetText(L"");
    m_editPassword.SetFocus();
}

bool CBasicSheetDlg::s_bWorkersAbandoned = false;

void CBasicSheetDlg::GiveUpConnect()
{
    // The program is ending from here on: a connect still going on is given up (the window
    // does not wait for it), and nothing is reported or brought back any more.
    m_bExitAsked = true;
    KillTimer(TIMER_TIMEOUT_BOX);
    if (mc_pCommMngr != nullptr) {
        mc_pCommMngr->PrepareExit();
        if (mc_pCommMngr->IsOpening())
            mc_pCommMngr->Close();
    }
}

void CBasicSheetDlg::OnBnClickedClose()
{
    GiveUpConnect();
    EndDialog(IDOK);
}

void CBasicSheetDlg::OnOK()
{
    GiveUpConnect();
    CMSDialog::OnOK();
}

void CBasicSheetDlg::OnCancel()
{
    GiveUpConnect();
    CMSDialog::OnCancel();
}

LRESULT CBasicSheetDlg::OnShowConsole(WPARAM, LPARAM)
{
    // Before the first link attempt there is no manager and so no console yet.
    if (mc_pCommMngr != nullptr && mc_pCommMngr->ConsoleWindow() != nullptr)
        mc_pCommMngr->ShowConsole(true);
    return 0;
}

LRESULT CBasicSheetDlg::OnConsoleTime(WPARAM wParam, LPARAM)
{
    // The console's "Time" choice is kept for the next start.
    if (m_pStorageMngr != nullptr)
        m_pStorageMngr->SaveIni_ConsoleTime(wParam != 0);
    return 0;
}

LRESULT CBasicSheetDlg::OnConsoleReconnect(WPARAM wParam, LPARAM)
{
    // The console's "Reconnect" choice is kept for the next start.
    if (m_pStorageMngr != nullptr)
        m_pStorageMngr->SaveIni_ConsoleReconnect(wParam != 0);
    return 0;
}

void CBasicSheetDlg::StartUnattended()
{
    const UnattendedRun& run = CBasicSheetApp::Unattended();
    // No box waits for a person: what goes wrong is in the console, the trace and the report.
    mc_pCommMngr->SetUnattended(true);
    std::wstring error;
    if (!mc_pCommMngr->RunProcedure(run.procedure, run.reportFolder, true, error))
        EndUnattended(kExitNotRun, L"Rig Console: " + error);
}

LRESULT CBasicSheetDlg::OnProcedureEnded(WPARAM wParam, LPARAM)
{
    if (!CBasicSheetApp::Unattended().bOn || mc_pCommMngr == nullptr)
        return 0;
    const ProcedureOutcome& outcome = mc_pCommMngr->LastProcedureOutcome();
    if (outcome.textPath.empty()) {
        EndUnattended(kExitNotRun, L"Rig Console: the report could not be written: " + outcome.reportError);
        return 0;
    }
    EndUnattended(wParam == 0 ? kExitPassed : kExitFailed, std::wstring());
    return 0;
}

void CBasicSheetDlg::EndUnattended(int nCode, const std::wstring& reason)
{
    CBasicSheetApp::SetExitCode(nCode, reason);
    GiveUpConnect();
    EndDialog(IDOK);
}

LRESULT CBasicSheetDlg::OnDestroyMsg(WPARAM, LPARAM)
{
    // The link goes while this window still exists: the console and the link manager are
    // not left to the end of the process.
    SequenceExit();
    return Default();
}

void CBasicSheetDlg::DiscardQueuedNotifications()
{
    if (m_hWnd == nullptr)
        return;
    MSG msg;
    while (::PeekMessageW(&msg, m_hWnd, WM_SERIAL_EPM, WM_SERIAL_SMP, PM_REMOVE)) {
        if (msg.message == WM_SERIAL_EPM || msg.message == WM_SERIAL_SLP || msg.message == WM_SERIAL_SMP)
            FreeNotifyText(msg.wParam);
    }
}

void CBasicSheetDlg::SequenceExit()
{
    if (m_bExitDone)
        return;
    m_bExitDone = true;

    DebugLog(kFnSequenceExit, 440, TAG_FUN_S, LOG_TEXT_START);
    if (mc_pCommMngr != nullptr) {
        // Emptying the queue also marks the manager idle; the close writes the link's summary
        // and ends its session record, whoever ended the link.
        mc_pCommMngr->PrepareExit();
        mc_pCommMngr->ClearQueue();
        mc_pCommMngr->Close();
        if (!mc_pCommMngr->IsReleased()) {
            // A worker that does not end in time does not hold the program: the manager is
            // left to it (never freed under it) and the process ends around it.
            LOG_ERROR(L"The link's workers did not end in time: the program ends without them");
            s_bWorkersAbandoned = true;
            mc_pCommMngr->ShowConsole(false);
            mc_pCommMngr = nullptr;
            DebugLog(kFnSequenceExit, 450, TAG_DAT_A, L"Left : mc_pCommMngr (its workers hold it; freed with the process)");
        } else {
            delete mc_pCommMngr;
            mc_pCommMngr = nullptr;
            DebugLog(kFnSequenceExit, 450, TAG_DAT_A, L"Destroy : mc_pCommMngr");
        }
    }
    // With the link's threads ended, what they posted and nobody took is released here.
    DiscardQueuedNotifications();
    const long nLeft = NotifyTextsOutstanding();
    if (nLeft != 0)
        LOG_ERROR(L"Notification texts not freed : %d", static_cast<int>(nLeft));

    DebugLog(kFnSequenceExit, 453, TAG_NOTIC, LOG_TEXT_FRAME);
    DebugLog(kFnSequenceExit, 454, TAG_NOTIC, L"|      $---< Capture Software Closed >---$");
    DebugLog(kFnSequenceExit, 455, TAG_NOTIC, LOG_TEXT_FRAME);

    if (m_pStorageMngr != nullptr || m_pageConfig.m_pStorageMngr != nullptr) {
        m_pageConfig.ForgetStorage();
        m_pStorageMngr = nullptr;
        CStorageMngr::DeleteInstance();
    }
}
