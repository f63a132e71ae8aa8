// The communication console: the dialog face of the link manager.
#include "comm/Comm.h"

#include "comm/link/PortList.h"
#include "controls/Dpi.h"
#include "framework/Dc.h"
#include "messages.h"
#include "resource.h"
#include "storage/UtilityTools.h"

#include <winsock2.h>
#include <commdlg.h>
#include <ws2tcpip.h>

#include <ctime>

#include <cwchar>

namespace {
struct KindEntry {
    const wchar_t* lpName;
    int nKind;
};

// Receive kinds offered for a command typed in the console (the queue kinds are not).
constexpr KindEntry kConsoleKinds[] = {
    {L"enRECV_NONE", enRECV_NONE},
    {L"enRECV_COMMAND", enRECV_COMMAND},
    {L"enRECV_PACKING_CHECK", enRECV_PACKING_CHECK},
    {L"enRECV_START_OK", enRECV_START_OK},
    {L"enRECV_GET_CAPCOUNT", enRECV_GET_CAPCOUNT},
    {L"enRECV_READY_QUEUE", enRECV_READY_QUEUE},
    {L"enRECV_READY_QUEUE_DARK", enRECV_READY_QUEUE_DARK},
    {L"enRECV_READY_QUEUE_END", enRECV_READY_QUEUE_END},
    {L"enRECV_READY_QUEUE_ECHK", enRECV_READY_QUEUE_ECHK},
    {L"enRECV_READY_QUEUE_DCHK", enRECV_READY_QUEUE_DCHK},
    {L"enRECV_SMP_COMMAND", enRECV_SMP_COMMAND},
    {L"enRECV_SPL_COMMAND", enRECV_SPL_COMMAND},
    {L"enRECV_SLP_COMMAND", enRECV_SLP_COMMAND},
    {L"enRECV_SCP_COMMAND", enRECV_SCP_COMMAND},
    {L"enRECV_TIMEOUT", enRECV_TIMEOUT},
    {L"enRECV_SET_LANGUAGE", enRECV_SET_LANGUAGE},
    {L"enRECV_SET_DOORLOCK", enRECV_SET_DOORLOCK},
    {L"enRECV_SET_CAPCOUNT_CBCT", enRECV_SET_CAPCOUNT_CBCT},
    {L"enRECV_SET_CAPCOUNT_PANO", enRECV_SET_CAPCOUNT_PANO},
    {L"enRECV_SET_CAPCOUNT_CEPH", enRECV_SET_CAPCOUNT_CEPH},
};

// The port list always offers COM0 to COM14, besides the ports present.
constexpr int kConsoleFixedPorts = 15;

constexpr const wchar_t* kClassPresets[] = {L"[", L"[SPM_", L"[SPL_"};
constexpr const wchar_t* kWordPresets[] = {L"PANO]", L"CEPH]", L"OCEP]", L"CT__]", L"PSON]",
                                           L"CSON]", L"HSON]", L"CPOF]", L"RET_]", L"ERDY]"};
} // namespace

BEGIN_MESSAGE_MAP(CComm, CDialog)
    ON_MESSAGE(WM_COMM_INBOX, CComm::OnInbox)
    ON_MESSAGE(WM_COMM_OPENED, CComm::OnOpened)
    ON_WM_TIMER()
    ON_MESSAGE(WM_SYSCOMMAND, CComm::OnSysCommand)
    ON_MESSAGE(WM_SHOWWINDOW, CComm::OnShowWindowMsg)
    ON_BN_CLICKED(IDC_BTN_OPEN, CComm::OnBnClickedOpen)
    ON_BN_CLICKED(IDC_BTN_CLOSE, CComm::OnBnClickedClose)
    ON_BN_CLICKED(IDC_BTN_SEND, CComm::OnBnClickedSend)
    ON_BN_CLICKED(IDC_BTN_LOG_CLEAR, CComm::OnBnClickedLogClear)
    ON_BN_CLICKED(IDC_BTN_QUEUE_CLEAR, CComm::OnBnClickedQueueClear)
    ON_BN_CLICKED(IDC_BTN_SAVE_FILE, CComm::OnBnClickedSaveFile)
    ON_CONTROL_RANGE(BN_CLICKED, IDC_CHECK_SEND_COMMAND, IDC_CHECK_RECV_DATA, CComm::OnBnClickedFilter)
    ON_BN_CLICKED(IDC_CHECK_TIME, CComm::OnBnClickedTime)
    ON_BN_CLICKED(IDC_CHECK_RECONNECT, CComm::OnBnClickedReconnect)
    ON_BN_CLICKED(IDC_BTN_SUMMARY, CComm::OnBnClickedSummary)
    ON_CBN_SELCHANGE(IDC_COMBO_CLASS, CComm::OnClassSelChange)
    ON_CBN_EDITCHANGE(IDC_COMBO_CLASS, CComm::OnClassEdit)
    ON_CBN_DROPDOWN(IDC_COMBO_CLASS, CComm::OnClassEdit)
    ON_CBN_SELCHANGE(IDC_COMBO_WORD, CComm::OnWordSelChange)
    ON_CBN_EDITCHANGE(IDC_COMBO_WORD, CComm::OnWordEdit)
    ON_CBN_DROPDOWN(IDC_COMBO_WORD, CComm::OnWordEdit)
    ON_CBN_DROPDOWN(IDC_COMBO_PORT, CComm::OnPortDropDown)
    ON_WM_CTLCOLOR()
END_MESSAGE_MAP()

BOOL CComm::OnInitDialog()
{
    // A shared icon: the system keeps it, nobody destroys it.
    m_hIcon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDI_CONSOLE), IMAGE_ICON, 0, 0,
                                            LR_DEFAULTSIZE | LR_SHARED));
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_ctrlLog.SubclassDlgItem(IDC_RICHEDIT_LOG, this);
    m_listQueue.SubclassDlgItem(IDC_LIST_QUEUE, this);
    m_comboClass.SubclassDlgItem(IDC_COMBO_CLASS, this);
    m_comboWord.SubclassDlgItem(IDC_COMBO_WORD, this);
    m_comboKind.SubclassDlgItem(IDC_COMBO_KIND, this);
    m_comboPort.SubclassDlgItem(IDC_COMBO_PORT, this);
    m_comboBaud.SubclassDlgItem(IDC_COMBO_BAUD, this);
    m_ctrlIPAddress.SubclassDlgItem(IDC_IPADDRESS, this);
    m_editCommand.SubclassDlgItem(IDC_EDIT_COMMAND, this);
    m_editTcpPort.SubclassDlgItem(IDC_EDIT_TCP_PORT, this);

    // The selection stays visible when the log loses the focus; the log holds far more than
    // the control's default 32 K characters.
    m_ctrlLog.SetOptions(ECOOP_XOR, ECO_SAVESEL);
    m_ctrlLog.LimitText(100000000);
    // A log is never edited: nothing it takes in or lets go of is kept for an undo (the
    // control would otherwise keep every insertion and every trimmed line).
    m_ctrlLog.SendMessage(EM_SETUNDOLIMIT, 0);
    m_ctrlLog.SetWindowText(L"");
    m_ctrlLog.SetBackgroundColor(FALSE, kColorLogBack);
    // Long lines scroll sideways rather than wrap: one line of the log is one line on screen.
    m_ctrlLog.SendMessage(EM_SETTARGETDEVICE, 0, 1);
    m_view.Attach(&m_ctrlLog, &m_inbox.Record());
    m_inbox.SetTarget(m_hWnd);

    CenterWindow();

    FillPortList(m_comboPort.m_hWnd, kConsoleFixedPorts, -1);
    wchar_t szText[32] = {};
    for (int k = 0; k < 15; ++k) {
        _snwprintf(szText, 31, L"%d", 2400 << k);
        m_comboBaud.AddString(szText);
    }
    for (const wchar_t* lpClass : kClassPresets)
        m_comboClass.AddString(lpClass);
    m_comboClass.SetCurSel(1);
    for (const wchar_t* lpWord : kWordPresets)
        m_comboWord.AddString(lpWord);
    m_comboWord.SetCurSel(0);
    for (const KindEntry& entry : kConsoleKinds) {
        const int nIndex = m_comboKind.AddString(entry.lpName);
        m_comboKind.SetItemData(nIndex, static_cast<DWORD_PTR>(entry.nKind));
    }
    m_comboKind.SetCurSel(1);

    for (int nID : {IDC_CHECK_SEND_COMMAND, IDC_CHECK_RECV_COMMAND, IDC_CHECK_RECV_DATA})
        ::SendMessageW(GetDlgItem(nID), BM_SETCHECK, BST_CHECKED, 0);

    m_listQueue.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    const UINT nDpi = kit::DpiOf(m_hWnd);
    m_listQueue.InsertColumn(0, L"Command Queue", LVCFMT_LEFT, kit::Scale(120, nDpi));
    m_listQueue.InsertColumn(1, L"Echo", LVCFMT_LEFT, kit::Scale(35, nDpi));
    m_listQueue.SetColumnWidth(1, LVSCW_AUTOSIZE_USEHEADER);

    ShowSerialFields(m_params.kind == LinkKind::Serial);
    UpdateLinkButtons(true, true);

    ::SetFocus(m_comboWord.m_hWnd);
    return FALSE;
}

void CComm::OnOK()
{
    // "Exit" hides the console; the link stays as it is.
    ShowWindow(SW_HIDE);
}

void CComm::OnCancel()
{
    // Escape neither closes nor clears anything.
}

LRESULT CComm::OnSysCommand(WPARAM wParam, LPARAM)
{
    if ((wParam & 0xFFF0) == SC_CLOSE) {
        ShowWindow(SW_HIDE);
        return 0;
    }
    return Default();
}

void CComm::OnBnClickedOpen()
{
    if (m_bOpening)
        return;
    LinkParams params;
    if (m_params.kind == LinkKind::Tcp) {
        DWORD dwAddress = 0;
        m_ctrlIPAddress.GetAddress(dwAddress);
        wchar_t szAddress[32] = {};
        _snwprintf(szAddress, 31, L"%u.%u.%u.%u", FIRST_IPADDRESS(dwAddress), SECOND_IPADDRESS(dwAddress),
                   THIRD_IPADDRESS(dwAddress), FOURTH_IPADDRESS(dwAddress));
        params = LinkParams::Tcp(szAddress, _wtoi(m_editTcpPort.GetWindowText().c_str()));
    } else {
        // Without a port there is nothing to open (and no COM0 to try).
        const int nPort = SelectedPort(m_comboPort.m_hWnd);
        const int nBaudIndex = m_comboBaud.GetCurSel();
        if (nPort < 0 || nBaudIndex < 0) {
            LogWrite(LOG_KIND_DATA, L"%s", nPort < 0 ? L"Not opened: choose a serial port first" : L"Not opened: choose a baud rate first");
            UpdateLinkButtons(true, false);
            return;
        }
        params = LinkParams::Serial(nPort, static_cast<unsigned long>(_wtoi(m_comboBaud.GetLBText(nBaudIndex).c_str())));
    }
    if (!Open(params)) {
        UpdateLinkButtons(true, false);
        // An open the engineer ended with Close needs no box.
        if (m_bOpenCancelled)
            return;
        ::MessageBoxW(m_hWnd, params.kind == LinkKind::Tcp ? L"Connection Fail!!" : L"Open Fail!", L"Serial Communication",
                      MB_OK | MB_ICONERROR);
        return;
    }
    UpdateLinkButtons(false, true);
}

void CComm::OnPortDropDown()
{
    // The list shows the ports as they are when it opens (an adapter plugged in meanwhile).
    RefreshPortList(m_comboPort.m_hWnd, kConsoleFixedPorts);
}

void CComm::OnBnClickedClose()
{
    // Also ends a connect that is still going on.
    Close();
    UpdateLinkButtons(true, false);
}

HBRUSH CComm::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT)
{
    const LRESULT hDefault = Default();
    switch (pWnd->GetDlgCtrlID()) {
    case IDC_STATIC_LEGEND_SEND:
        pDC->SetTextColor(kColorLogSend);
        break;
    case IDC_STATIC_LEGEND_RECV:
        pDC->SetTextColor(kColorLogRecv);
        break;
    case IDC_STATIC_LEGEND_DATA:
        pDC->SetTextColor(kColorLogData);
        break;
    default:
        break;
    }
    return reinterpret_cast<HBRUSH>(hDefault);
}

bool CComm::PreTranslateMessage(MSG* pMsg)
{
    // Enter sends the command text from whatever control of the console has the focus.
    if (pMsg->message == WM_KEYDOWN && pMsg->wParam == VK_RETURN && m_hWnd != nullptr &&
        (pMsg->hwnd == m_hWnd || ::IsChild(m_hWnd, pMsg->hwnd))) {
        OnBnClickedSend();
        return true;
    }
    return CDialog::PreTranslateMessage(pMsg);
}

void CComm::AddToHistory(CComboBox& combo, std::wstring& lastSeen)
{
    std::wstring text = combo.GetWindowText();
    // The text looked at last time is covered already (entries are only ever added).
    if (text.empty() || text == lastSeen)
        return;
    lastSeen = text;
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    // An entry made only of characters that occur in the text already covers it.
    for (int i = 0; i < combo.GetCount(); ++i) {
        std::wstring entry = combo.GetLBText(i);
        CharUpperBuffW(entry.data(), static_cast<DWORD>(entry.size()));
        if (entry.find_first_not_of(text) == std::wstring::npos)
            return;
    }
    combo.AddString(text.c_str());
}

void CComm::OnBnClickedSend()
{
    if (!IsConnected()) {
        LogWrite(LOG_KIND_DATA, L"%s", L"Can not send. Is not connected!!");
        return;
    }
    std::wstring text = m_editCommand.GetWindowText();
    if (text.size() > static_cast<size_t>(kFrameTextChars - 1))
        text.resize(kFrameTextChars - 1);
    if (text.empty())
        return;
    const int nSelected = m_comboKind.GetCurSel();
    const int nKind = nSelected >= 0 ? static_cast<int>(m_comboKind.GetItemData(nSelected)) : enRECV_NONE;

    AddToHistory(m_comboWord, m_historyWordSeen);
    AddToHistory(m_comboClass, m_historyClassSeen);

    SendData(text.c_str(), m_pOwnerWnd, nKind, false);
    // The next command is typed in the word's field (moved there only when it is elsewhere).
    const HWND hFocus = ::GetFocus();
    if (hFocus != m_comboWord.m_hWnd && !::IsChild(m_comboWord.m_hWnd, hFocus))
        ::SetFocus(m_comboWord.m_hWnd);
}

void CComm::RebuildCommandText(int nFromCombo, bool bSelectionChanged)
{
    // The part of the combo that changed comes from its new selection or its typed text;
    // the other part from its selection, or its text when nothing is selected.
    const auto partOf = [&](CComboBox& combo, bool bChanged) {
        const int nSel = combo.GetCurSel();
        if (bChanged && bSelectionChanged)
            return nSel >= 0 ? combo.GetLBText(nSel) : combo.GetWindowText();
        if (bChanged)
            return combo.GetWindowText();
        return nSel >= 0 ? combo.GetLBText(nSel) : combo.GetWindowText();
    };
    std::wstring classPart = partOf(m_comboClass, nFromCombo == IDC_COMBO_CLASS);
    std::wstring wordPart = partOf(m_comboWord, nFromCombo == IDC_COMBO_WORD);
    CharUpperBuffW(classPart.data(), static_cast<DWORD>(classPart.size()));
    CharUpperBuffW(wordPart.data(), static_cast<DWORD>(wordPart.size()));
    if (classPart.empty() || classPart[0] != L'[')
        classPart.insert(0, L"[");
    if (wordPart.empty() || wordPart.back() != L']')
        wordPart += L']';
    m_editCommand.SetWindowText((classPart + wordPart).c_str());
}

void CComm::OnBnClickedLogClear()
{
    m_nClearSeq = m_inbox.Record().NextSeq();
    m_inbox.Record().Clear();
    m_view.Clear();
    // Saved logs start after the Clear; what the session records hold stays on disk.
    m_sessions.clear();
    m_bDropTold = false;
}

void CComm::OnBnClickedQueueClear()
{
    ClearQueue();
    UpdateLinkButtons(true, true);
}

void CComm::SetConsoleOptions(bool bShowTime, bool bReconnect, const std::wstring& sessionFolder)
{
    m_sessionFolder = sessionFolder;
    m_view.SetShowTime(bShowTime);
    m_reconnect.bOn = bReconnect;
    if (HWND hTime = GetDlgItem(IDC_CHECK_TIME))
        ::SendMessageW(hTime, BM_SETCHECK, bShowTime ? BST_CHECKED : BST_UNCHECKED, 0);
    if (HWND hReconnect = GetDlgItem(IDC_CHECK_RECONNECT))
        ::SendMessageW(hReconnect, BM_SETCHECK, bReconnect ? BST_CHECKED : BST_UNCHECKED, 0);
}

void CComm::OnBnClickedReconnect()
{
    m_reconnect.bOn = ::SendMessageW(GetDlgItem(IDC_CHECK_RECONNECT), BM_GETCHECK, 0, 0) == BST_CHECKED;
    if (!m_reconnect.bOn)
        StopReconnect(L"\"Reconnect\" was switched off");
    // The owner keeps the choice for the next start.
    if (const HWND hOwner = m_hOwner.load())
        ::PostMessageW(hOwner, WM_CONSOLE_RECONNECT, m_reconnect.bOn ? 1 : 0, 0);
}

void CComm::OnBnClickedTime()
{
    const bool bShowTime = ::SendMessageW(GetDlgItem(IDC_CHECK_TIME), BM_GETCHECK, 0, 0) == BST_CHECKED;
    m_view.SetShowTime(bShowTime);
    // The owner keeps the choice for the next start.
    if (const HWND hOwner = m_hOwner.load())
        ::PostMessageW(hOwner, WM_CONSOLE_TIME, bShowTime ? 1 : 0, 0);
}

void CComm::WriteSummary()
{
    for (const std::wstring& line : m_exchange.SummaryLines())
        LogWrite(LOG_KIND_DATA, L"%s", line.c_str());
    m_exchange.MarkSummaryShown();
}

void CComm::OnBnClickedFilter(UINT nID)
{
    static const struct {
        UINT nID;
        int nKind;
    } kFilters[] = {{IDC_CHECK_SEND_COMMAND, LOG_KIND_SEND}, {IDC_CHECK_RECV_COMMAND, LOG_KIND_RECV}, {IDC_CHECK_RECV_DATA, LOG_KIND_DATA}};
    for (const auto& filter : kFilters) {
        if (filter.nID == nID)
            m_view.SetShown(filter.nKind, ::SendMessageW(GetDlgItem(static_cast<int>(nID)), BM_GETCHECK, 0, 0) == BST_CHECKED);
    }
}

std::wstring CComm::DefaultLogFileName()
{
    wchar_t szTime[64] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_s(&local, &now) != 0 || wcsftime(szTime, 63, L"%Y%m%d_%H%M%S", &local) == 0)
        szTime[0] = L'\0';
    return std::wstring(L"Log") + szTime;
}

bool CComm::SaveLogToFile(const wchar_t* lpPath)
{
    HANDLE hFile = CreateFileW(lpPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    wchar_t szExt[260] = {};
    CUtilityTools::GetFileExt(lpPath, szExt, false);
    // The log ends with the summary of the link's commands (unless it ends with it already).
    std::vector<CConsoleRecord::Line> tail;
    if (m_exchange.SummaryChanged()) {
        for (const std::wstring& line : m_exchange.SummaryLines())
            tail.push_back(CConsoleRecord::Line{0, LOG_KIND_DATA, 0, line});
    }
    const bool bWritten = m_view.Save(hFile, _wcsicmp(szExt, L"RTF") == 0, tail,
                                      [this](unsigned long long nBeforeSeq, const CConsoleView::LineSink& emit) {
                                          return WriteEarlierLines(nBeforeSeq, emit);
                                      });
    CloseHandle(hFile);
    return bWritten;
}

void CComm::OnBnClickedSaveFile()
{
    wchar_t szFile[MAX_PATH] = {};
    CUtilityTools::CopyText(szFile, MAX_PATH, DefaultLogFileName().c_str());
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = L"Text files (*.txt)\0*.txt\0Rtf files (*.rtf)\0*.rtf\0\0";
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = MAX_PATH;
    ofn.lpstrDefExt = L"txt";
    ofn.Flags = OFN_HIDEREADONLY | OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
    if (!GetSaveFileNameW(&ofn))
        return;
    if (!SaveLogToFile(szFile))
        ::MessageBoxW(m_hWnd, L"File create error!!", L"Serial Communication", MB_OK | MB_ICONERROR);
}

LRESULT CComm::OnShowWindowMsg(WPARAM wParam, LPARAM)
{
    if (wParam != FALSE) {
        SyncSettingsFields();
        // The view was left alone while the console was hidden.
        m_inbox.TakeLinesWaiting();
        m_view.CatchUp();
    }
    return Default();
}

void CComm::SyncSettingsFields()
{
    // The port in use stays in the list, marked when it is not present now.
    FillPortList(m_comboPort.m_hWnd, kConsoleFixedPorts, m_params.nComPort);
    wchar_t szBaud[16] = {};
    _snwprintf(szBaud, 15, L"%lu", m_params.dwBaud);
    // A stored rate that is not in the list leaves the selection as it was.
    const int nBaud = m_comboBaud.FindStringExact(-1, szBaud);
    if (nBaud >= 0)
        m_comboBaud.SetCurSel(nBaud);

    IN_ADDR address{};
    char szAddress[520] = {};
    CUtilityTools::ToNarrow(m_params.address.c_str(), szAddress, sizeof(szAddress));
    if (inet_pton(AF_INET, szAddress, &address) == 1)
        m_ctrlIPAddress.SetAddress(ntohl(address.s_addr));
    else
        m_ctrlIPAddress.ClearAddress();
    wchar_t szTcpPort[16] = {};
    if (m_params.nTcpPort != 0)
        _snwprintf(szTcpPort, 15, L"%d", m_params.nTcpPort);
    m_editTcpPort.SetWindowText(szTcpPort);
    ::SetFocus(m_comboWord.m_hWnd);
}
