#include "pages/PageConfig.h"

#include "comm/link/PortList.h"
#include "framework/Dc.h"
#include "resource.h"
#include "storage/StorageMngr.h"
#include "storage/UtilityTools.h"

#include <commctrl.h>
#include <shlobj.h>

#include <cwchar>
#include <initializer_list>

namespace {
constexpr int kTextChars = 260;
// Caption of the page's message boxes: the program's name, as on every box of the program.
const wchar_t kBoxCaption[] = L"Rig Console";
// Both port lists always offer COM0 to COM9, besides the ports present.
constexpr int kFixedPorts = 10;
const wchar_t kDefaultAddress[] = L"127.0.0.1";

// The folder browser opens at the folder it is given and shows the path of each selection.
int CALLBACK BrowseCallback(HWND hWnd, UINT uMsg, LPARAM lParam, LPARAM lpData)
{
    if (uMsg == BFFM_INITIALIZED) {
        ::SendMessageW(hWnd, BFFM_SETSELECTIONW, TRUE, lpData);
    } else if (uMsg == BFFM_SELCHANGED) {
        wchar_t szPath[MAX_PATH] = {};
        if (::SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(lParam), szPath))
            ::SendMessageW(hWnd, BFFM_SETSTATUSTEXTW, 0, reinterpret_cast<LPARAM>(szPath));
    }
    return 0;
}

// Four decimal numbers of 0 to 255 with a dot between each two, and nothing else.
bool ParseIPv4(const wchar_t* lpText, unsigned int (&bytes)[4])
{
    if (lpText == nullptr)
        return false;
    const wchar_t* p = lpText;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && *p++ != L'.')
            return false;
        unsigned int value = 0;
        int digits = 0;
        for (; *p >= L'0' && *p <= L'9' && digits < 4; ++p, ++digits)
            value = value * 10 + static_cast<unsigned int>(*p - L'0');
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        bytes[i] = value;
    }
    return *p == L'\0';
}

} // namespace

BEGIN_MESSAGE_MAP(CPageConfig, CHSTabPage)
    ON_MESSAGE(WM_TABPAGE_ACTIVATE, CPageConfig::OnTabPageActivate)
    ON_WM_PAINT()
    ON_BN_CLICKED(IDC_CHECK_USE_USER, CPageConfig::OnBnClickedUseUser)
    ON_BN_CLICKED(IDC_CHECK_USER_SERIAL, CPageConfig::OnBnClickedUserSerial)
    ON_BN_CLICKED(IDC_CHECK_USER_ETHERNET, CPageConfig::OnBnClickedUserEthernet)
    ON_BN_CLICKED(IDC_CHECK_USE_CONSOLE, CPageConfig::OnBnClickedUseConsole)
    ON_BN_CLICKED(IDC_BTN_FIND_CAPTURE, CPageConfig::OnBnClickedFindCapture)
    ON_BN_CLICKED(IDC_BTN_SERIAL_DIALOG, CPageConfig::OnBnClickedSerialDialog)
    ON_BN_CLICKED(IDC_BTN_SAVE, CPageConfig::OnBnClickedSave)
    ON_CBN_DROPDOWN(IDC_COMBO_USER_PORT, CPageConfig::OnUserPortDropDown)
END_MESSAGE_MAP()

CPageConfig::CPageConfig() : CHSTabPage(IDD_PAGE_CONFIG, nullptr), m_pStorageMngr(CStorageMngr::GetInstance())
{
}

CPageConfig::~CPageConfig() = default;

BOOL CPageConfig::OnInitDialog()
{
    CHSTabPage::OnInitDialog();

    m_lblTitle.SubclassDlgItem(IDC_LABEL_PAGE_TITLE, this);
    m_lblNote.SubclassDlgItem(IDC_LABEL_PAGE_NOTE, this);
    m_grpCapture.SubclassDlgItem(IDC_GROUP_CAPTURE, this);
    m_lblPath.SubclassDlgItem(IDC_LABEL_ENVIRON_PATH, this);
    m_editPath.SubclassDlgItem(IDC_EDIT_ENVIRON_PATH, this);
    m_lblName.SubclassDlgItem(IDC_LABEL_ENVIRON_NAME, this);
    m_editName.SubclassDlgItem(IDC_EDIT_ENVIRON_NAME, this);
    m_btnFind.SubclassDlgItem(IDC_BTN_FIND_CAPTURE, this);
    m_grpComm.SubclassDlgItem(IDC_GROUP_COMM, this);
    m_chkUseUser.SubclassDlgItem(IDC_CHECK_USE_USER, this);
    m_chkUserSerial.SubclassDlgItem(IDC_CHECK_USER_SERIAL, this);
    m_comboUserPort.SubclassDlgItem(IDC_COMBO_USER_PORT, this);
    m_editUserBaud.SubclassDlgItem(IDC_EDIT_USER_BAUD, this);
    m_chkUserEthernet.SubclassDlgItem(IDC_CHECK_USER_ETHERNET, this);
    m_ipUser.SubclassDlgItem(IDC_IP_USER, this);
    m_editUserTcpPort.SubclassDlgItem(IDC_EDIT_USER_TCP_PORT, this);
    m_chkUseConsole.SubclassDlgItem(IDC_CHECK_USE_CONSOLE, this);
    m_chkConsoleSerial.SubclassDlgItem(IDC_CHECK_CONSOLE_SERIAL, this);
    m_comboConsolePort.SubclassDlgItem(IDC_COMBO_CONSOLE_PORT, this);
    m_editConsoleBaud.SubclassDlgItem(IDC_EDIT_CONSOLE_BAUD, this);
    m_chkConsoleEthernet.SubclassDlgItem(IDC_CHECK_CONSOLE_ETHERNET, this);
    m_ipConsole.SubclassDlgItem(IDC_IP_CONSOLE, this);
    m_editConsoleTcpPort.SubclassDlgItem(IDC_EDIT_CONSOLE_TCP_PORT, this);
    m_btnSerialDialog.SubclassDlgItem(IDC_BTN_SERIAL_DIALOG, this);
    m_btnSave.SubclassDlgItem(IDC_BTN_SAVE, this);

    // The free band above the frames: a title and a reminder of when saved values count.
    m_lblTitle.SetFontBold(true).SetFontSize(11).SetTextColor(RGB(255, 255, 255)).SetBkColor(RGB(58, 71, 153), ::GetSysColor(COLOR_BTNFACE), true);
    m_lblNote.SetTextColor(RGB(70, 70, 70));

    // The check boxes mark a tick with a filled square, on the page's own colour.
    for (CHSCheckBox* pCheck : {&m_chkUseUser, &m_chkUserSerial, &m_chkUserEthernet, &m_chkUseConsole, &m_chkConsoleSerial,
                                &m_chkConsoleEthernet}) {
        pCheck->m_bBorder = 0;
        pCheck->RedrawWindow();
        pCheck->m_bTick = false;
        pCheck->m_crText = RGB(0, 0, 0);
        pCheck->RedrawWindow();
        pCheck->m_crBack = ::GetSysColor(COLOR_BTNFACE);
        pCheck->Invalidate(TRUE);
    }
    // Paths and names take any key; the numeric fields are not filtered either, a wrong
    // entry is simply saved as 0.
    for (CHSEdit* pEdit : {&m_editPath, &m_editName, &m_editUserBaud, &m_editUserTcpPort, &m_editConsoleBaud,
                           &m_editConsoleTcpPort}) {
        pEdit->m_bNumeric = false;
        pEdit->SendMessage(EM_SETREADONLY, FALSE);
    }
    for (CComboBox* pCombo : {&m_comboUserPort, &m_comboConsolePort})
        FillPortList(pCombo->m_hWnd, kFixedPorts, -1);
    SetIPText(m_ipUser, kDefaultAddress);
    SetIPText(m_ipConsole, kDefaultAddress);
    // An address control passes its state to its four fields only when the state changes:
    // created disabled by the template, some systems leave the fields looking enabled.
    m_ipConsole.EnableWindow(TRUE);
    m_ipConsole.EnableWindow(FALSE);
    return TRUE;
}

LRESULT CPageConfig::OnTabPageActivate(WPARAM, LPARAM)
{
    return 0;
}

void CPageConfig::SetTick(CHSCheckBox& check, bool bTicked)
{
    check.m_bChecked = bTicked;
    check.RedrawWindow();
}

void CPageConfig::SetIPText(CIPAddressCtrl& ctrl, const wchar_t* lpText)
{
    // Dotted IPv4 text into the four fields; anything else leaves the control blank.
    unsigned int b[4] = {};
    if (ParseIPv4(lpText, b))
        ctrl.SetAddress(MAKEIPADDRESS(b[0], b[1], b[2], b[3]));
    else
        ctrl.ClearAddress();
}

void CPageConfig::GetIPText(const CIPAddressCtrl& ctrl, wchar_t* lpOut, int cchOut)
{
    DWORD dwAddress = 0;
    ctrl.GetAddress(dwAddress);
    _snwprintf(lpOut, static_cast<size_t>(cchOut - 1), L"%u.%u.%u.%u", FIRST_IPADDRESS(dwAddress), SECOND_IPADDRESS(dwAddress),
               THIRD_IPADDRESS(dwAddress), FOURTH_IPADDRESS(dwAddress));
    lpOut[cchOut - 1] = L'\0';
}

void CPageConfig::LoadConfigToCtrl()
{
    if (m_pStorageMngr == nullptr)
        return;
    const ConfigSettings& cfg = m_pStorageMngr->m_ConfigSettings;
    m_editPath.SetText(cfg.EnvironPath);
    m_editName.SetText(cfg.EnvironName);
    // A stored port that is not present stays selected, marked absent; a negative one
    // leaves no port selected.
    FillPortList(m_comboUserPort.m_hWnd, kFixedPorts, cfg.Comport);
    m_editUserBaud.SetValue(cfg.Baudrate);
    m_editUserTcpPort.SetValue(cfg.EthernetPort);
    SetIPText(m_ipUser, cfg.EthernetIP);
    m_nShownIpFields = m_ipUser.GetAddress(m_dwShownIp);
    if (cfg.CommMode == 0)
        OnBnClickedUseUser();
    else
        OnBnClickedUseConsole();
}

void CPageConfig::SaveCtrlToConfig()
{
    if (m_pStorageMngr == nullptr)
        return;
    ConfigSettings& cfg = m_pStorageMngr->m_ConfigSettings;
    CUtilityTools::CopyText(cfg.EnvironPath, kTextChars, m_editPath.GetWindowText().c_str());
    CUtilityTools::CopyText(cfg.EnvironName, kTextChars, m_editName.GetWindowText().c_str());
    cfg.CommMode = m_chkUseUser.m_bChecked ? 0 : 1;
    // The capture software's values are only shown: with them in use, the program's own
    // link settings keep what they held.
    if (cfg.CommMode == 1)
        return;
    cfg.CommType = m_chkUserSerial.m_bChecked ? 0 : 1;
    cfg.Comport = SelectedPort(m_comboUserPort.m_hWnd);
    UINT nValue = 0;
    m_editUserBaud.GetValue(nValue);
    cfg.Baudrate = static_cast<int>(nValue);
    // The control shows only dotted IPv4 addresses: stored text it could not show (a host
    // name, say) is kept unless the engineer changed what the control showed.
    DWORD dwAddress = 0;
    const int nFields = m_ipUser.GetAddress(dwAddress);
    if (nFields != m_nShownIpFields || dwAddress != m_dwShownIp)
        GetIPText(m_ipUser, cfg.EthernetIP, kTextChars);
    m_editUserTcpPort.GetValue(nValue);
    cfg.EthernetPort = static_cast<int>(nValue);
}

void CPageConfig::OnBnClickedUseUser()
{
    SetTick(m_chkUseUser, true);
    SetTick(m_chkUseConsole, false);
    m_chkUserSerial.EnableWindow(TRUE);
    m_chkUserEthernet.EnableWindow(TRUE);
    // The stored choice decides, not the ticks shown last.
    if (m_pStorageMngr != nullptr && m_pStorageMngr->m_ConfigSettings.CommType != 0)
        OnBnClickedUserEthernet();
    else
        OnBnClickedUserSerial();
}

void CPageConfig::OnBnClickedUserSerial()
{
    SetTick(m_chkUserSerial, true);
    SetTick(m_chkUserEthernet, false);
    m_comboUserPort.EnableWindow(TRUE);
    m_editUserBaud.EnableWindow(TRUE);
    m_ipUser.EnableWindow(FALSE);
    m_editUserTcpPort.EnableWindow(FALSE);
}

void CPageConfig::OnBnClickedUserEthernet()
{
    SetTick(m_chkUserSerial, false);
    SetTick(m_chkUserEthernet, true);
    m_comboUserPort.EnableWindow(FALSE);
    m_editUserBaud.EnableWindow(FALSE);
    m_ipUser.EnableWindow(TRUE);
    m_editUserTcpPort.EnableWindow(TRUE);
}

void CPageConfig::OnBnClickedUseConsole()
{
    SetTick(m_chkUseUser, false);
    SetTick(m_chkUseConsole, true);
    for (CWnd* pCtrl : std::initializer_list<CWnd*>{&m_chkUserSerial, &m_chkUserEthernet, &m_comboUserPort, &m_editUserBaud,
                                                    &m_editUserTcpPort, &m_ipUser})
        pCtrl->EnableWindow(FALSE);

    if (m_pStorageMngr == nullptr)
        return;
    const MachineSettings& machine = m_pStorageMngr->m_MachineSettings;
    FillPortList(m_comboConsolePort.m_hWnd, kFixedPorts, machine.Comport);
    m_editConsoleBaud.SetValue(machine.Baudrate);
    SetIPText(m_ipConsole, machine.MachineIP);
    m_editConsoleTcpPort.SetValue(machine.EthernetPort);
    SetTick(m_chkConsoleSerial, machine.UseCommType == 0);
    SetTick(m_chkConsoleEthernet, machine.UseCommType != 0);
}

void CPageConfig::OnBnClickedFindCapture()
{
    // The browser starts at the saved folder, not at what the path field holds now.
    wchar_t szInitial[kTextChars] = {};
    if (m_pStorageMngr != nullptr)
        CUtilityTools::CopyText(szInitial, kTextChars, m_pStorageMngr->m_ConfigSettings.EnvironPath);

    BROWSEINFOW bi{};
    bi.hwndOwner = m_hWnd;
    bi.pidlRoot = nullptr;
    bi.lpszTitle = L"Select folder path";
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX;
    bi.lpfn = &BrowseCallback;
    bi.lParam = reinterpret_cast<LPARAM>(szInitial);
    PIDLIST_ABSOLUTE pidl = ::SHBrowseForFolderW(&bi);
    if (pidl == nullptr)
        return;
    wchar_t szPath[MAX_PATH + 1] = {};
    if (::SHGetPathFromIDListW(pidl, szPath)) {
        CUtilityTools::AppendBackslash(szPath, MAX_PATH + 1);
        m_editPath.SetText(szPath);
    }
    ::CoTaskMemFree(pidl);
}

void CPageConfig::OnBnClickedSerialDialog()
{
    // The console belongs to the window that owns the link; the page only asks for it.
    if (HWND hOwner = GetParent())
        ::SendMessageW(hOwner, WM_PAGE_SHOWCONSOLE, 0, 0);
}

void CPageConfig::OnBnClickedSave()
{
    SaveCtrlToConfig();
    const bool bSaved = m_pStorageMngr != nullptr && m_pStorageMngr->SaveIni_Config();
    ::MessageBoxW(m_hWnd, bSaved ? L"Save Success!!" : L"Save Fail!!", kBoxCaption, MB_OK);
}

void CPageConfig::OnPaint()
{
    CPaintDC dc(this);
    if (dc.GetSafeHdc() == nullptr)
        return;
    RECT rc;
    GetClientRect(&rc);
    // Left, bottom and right edge; the tab strip above closes the top.
    CPen pen(PS_SOLID, 1, RGB(115, 115, 115));
    CSelectObject selPen(dc, pen);
    dc.MoveTo(rc.left, rc.top);
    dc.LineTo(rc.left, rc.bottom - 1);
    dc.LineTo(rc.right - 1, rc.bottom - 1);
    dc.LineTo(rc.right - 1, rc.top - 1);
}

void CPageConfig::OnUserPortDropDown()
{
    // The list shows the ports as they are when it opens (an adapter plugged in meanwhile).
    RefreshPortList(m_comboUserPort.m_hWnd, kFixedPorts);
}
