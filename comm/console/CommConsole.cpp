#include "comm/console/CommConsole.h"

#include "comm/procedure/Procedure.h"

#include "comm/link/PortList.h"
#include "controls/Dpi.h"
#include "framework/Dc.h"
#include "messages.h"
#include "resource.h"
#include "storage/UtilityTools.h"

#include <winsock2.h>
#include <commdlg.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <ctime>

#include <cwchar>

namespace {
constexpr UINT_PTR kViewTimer = 1;
// The queue list follows the queue this long after a change: a burst of changes (commands
// sent one after the other, a Clear of 299) costs the list one update.
constexpr UINT_PTR kQueueViewTimer = 2;
constexpr UINT kQueueViewDelayMs = 30;
// The view's timer period: about eight times what a tick costs, within these bounds.
constexpr UINT kViewPeriodMinMs = 16;
constexpr UINT kViewPeriodMaxMs = 100;

// "1,204": a count with its thousands apart.
std::wstring GroupedNumber(unsigned long long nValue)
{
    std::wstring digits = std::to_wstring(nValue);
    for (size_t i = digits.size(); i > 3; i -= 3)
        digits.insert(i - 3, 1, L',');
    return digits;
}

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

BEGIN_MESSAGE_MAP(CCommConsole, CDialog)
    ON_WM_TIMER()
    ON_MESSAGE(WM_SYSCOMMAND, CCommConsole::OnSysCommand)
    ON_MESSAGE(WM_SHOWWINDOW, CCommConsole::OnShowWindowMsg)
    ON_BN_CLICKED(IDC_BTN_OPEN, CCommConsole::OnBnClickedOpen)
    ON_BN_CLICKED(IDC_BTN_CLOSE, CCommConsole::OnBnClickedClose)
    ON_BN_CLICKED(IDC_BTN_SEND, CCommConsole::OnBnClickedSend)
    ON_BN_CLICKED(IDC_BTN_LOG_CLEAR, CCommConsole::OnBnClickedLogClear)
    ON_BN_CLICKED(IDC_BTN_QUEUE_CLEAR, CCommConsole::OnBnClickedQueueClear)
    ON_BN_CLICKED(IDC_BTN_SAVE_FILE, CCommConsole::OnBnClickedSaveFile)
    ON_CONTROL_RANGE(BN_CLICKED, IDC_CHECK_SEND_COMMAND, IDC_CHECK_RECV_DATA, CCommConsole::OnBnClickedFilter)
    ON_BN_CLICKED(IDC_CHECK_TIME, CCommConsole::OnBnClickedTime)
    ON_BN_CLICKED(IDC_CHECK_RECONNECT, CCommConsole::OnBnClickedReconnect)
    ON_BN_CLICKED(IDC_BTN_SUMMARY, CCommConsole::OnBnClickedSummary)
    ON_BN_CLICKED(IDC_BTN_PROCEDURE, CCommConsole::OnBnClickedProcedure)
    ON_CBN_SELCHANGE(IDC_COMBO_CLASS, CCommConsole::OnClassSelChange)
    ON_CBN_EDITCHANGE(IDC_COMBO_CLASS, CCommConsole::OnClassEdit)
    ON_CBN_DROPDOWN(IDC_COMBO_CLASS, CCommConsole::OnClassEdit)
    ON_CBN_SELCHANGE(IDC_COMBO_WORD, CCommConsole::OnWordSelChange)
    ON_CBN_EDITCHANGE(IDC_COMBO_WORD, CCommConsole::OnWordEdit)
    ON_CBN_DROPDOWN(IDC_COMBO_WORD, CCommConsole::OnWordEdit)
    ON_CBN_DROPDOWN(IDC_COMBO_PORT, CCommConsole::OnPortDropDown)
    ON_WM_CTLCOLOR()
    ON_MESSAGE(WM_VSCROLL, CCommConsole::OnVScroll)
    ON_MESSAGE(WM_CONSOLE_FOUND, CCommConsole::OnFound)
    ON_BN_CLICKED(IDC_BTN_FIND_PREV, CCommConsole::OnBnClickedFindPrev)
    ON_BN_CLICKED(IDC_BTN_FIND_NEXT, CCommConsole::OnBnClickedFindNext)
END_MESSAGE_MAP()

CCommConsole::CCommConsole(IConsoleHost& host, CCommInbox& inbox, const CCommandExchange& exchange, CSessionLines& lines)
    : m_host(host), m_inbox(inbox), m_exchange(exchange), m_lines(lines)
{
}

CCommConsole::~CCommConsole()
{
    // The find's thread ends before the record it reads can go.
    m_find.Cancel();
    m_view.Detach();
    if (m_hWnd != nullptr)
        ::DestroyWindow(m_hWnd);
}

bool CCommConsole::CreateHidden()
{
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES};
    ::InitCommonControlsEx(&icc);
    LoadRichEditLibrary();
    return Create(IDD_COMM_DIALOG, nullptr) != FALSE;
}

void CCommConsole::SetOwner(HWND hOwner)
{
    // The console belongs to its owner: no taskbar entry of its own, always above it.
    if (m_hWnd != nullptr)
        ::SetWindowLongPtrW(m_hWnd, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(hOwner));
}

BOOL CCommConsole::OnInitDialog()
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

    // The selection stays visible when the log loses the focus.
    m_ctrlLog.SetOptions(ECOOP_XOR, ECO_SAVESEL);
    // A log is never edited: nothing it shows is kept for an undo.
    m_ctrlLog.SendMessage(EM_SETUNDOLIMIT, 0);
    m_ctrlLog.SetWindowText(L"");
    m_ctrlLog.SetBackgroundColor(FALSE, kColorLogBack);
    // Long lines scroll sideways rather than wrap: one line of the log is one line on screen.
    m_ctrlLog.SendMessage(EM_SETTARGETDEVICE, 0, 1);
    m_view.Attach(&m_ctrlLog, GetDlgItem(IDC_SCROLL_LOG), &m_lines, [this] { UpdateStatus(); });
    for (const wchar_t* lpKinds : {L"All lines", L"Sent", L"Received", L"Data"})
        ::SendDlgItemMessageW(m_hWnd, IDC_COMBO_FIND_KIND, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(lpKinds));
    ::SendDlgItemMessageW(m_hWnd, IDC_COMBO_FIND_KIND, CB_SETCURSEL, 0, 0);

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

    ShowLinkKind(m_params.kind);
    UpdateLinkButtons(true, true);

    ::SetFocus(m_comboWord.m_hWnd);
    return FALSE;
}

void CCommConsole::OnOK()
{
    // "Exit" hides the console; the link stays as it is.
    ShowWindow(SW_HIDE);
}

void CCommConsole::OnCancel()
{
    // Escape neither closes nor clears anything.
}

LRESULT CCommConsole::OnSysCommand(WPARAM wParam, LPARAM)
{
    if ((wParam & 0xFFF0) == SC_CLOSE) {
        ShowWindow(SW_HIDE);
        return 0;
    }
    return Default();
}

void CCommConsole::OnBnClickedOpen()
{
    if (m_host.ConsoleIsOpening())
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
            m_host.ConsoleLine(nPort < 0 ? L"Not opened: choose a serial port first" : L"Not opened: choose a baud rate first");
            UpdateLinkButtons(true, false);
            return;
        }
        params = LinkParams::Serial(nPort, static_cast<unsigned long>(_wtoi(m_comboBaud.GetLBText(nBaudIndex).c_str())));
    }
    // The manager tells the outcome (a box for a failure, the buttons either way).
    m_host.ConsoleOpen(params);
}

void CCommConsole::OnPortDropDown()
{
    // The list shows the ports as they are when it opens (an adapter plugged in meanwhile).
    RefreshPortList(m_comboPort.m_hWnd, kConsoleFixedPorts);
}

void CCommConsole::OnBnClickedClose()
{
    // Also ends a connect that is still going on, and the bringing back of a lost link.
    m_host.ConsoleClose();
}

HBRUSH CCommConsole::OnCtlColor(CDC* pDC, CWnd* pWnd, UINT)
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

bool CCommConsole::PreTranslateMessage(MSG* pMsg)
{
    const bool bMine = m_hWnd != nullptr && (pMsg->hwnd == m_hWnd || ::IsChild(m_hWnd, pMsg->hwnd));
    if (!bMine)
        return CDialog::PreTranslateMessage(pMsg);
    const HWND hFind = GetDlgItem(IDC_EDIT_FIND);
    // The wheel scrolls the log wherever the focus is, while the mouse is over the log.
    if (pMsg->message == WM_MOUSEWHEEL) {
        POINT point{static_cast<short>(LOWORD(pMsg->lParam)), static_cast<short>(HIWORD(pMsg->lParam))};
        RECT rcLog{}, rcBar{};
        ::GetWindowRect(m_ctrlLog.m_hWnd, &rcLog);
        ::GetWindowRect(GetDlgItem(IDC_SCROLL_LOG), &rcBar);
        if (::PtInRect(&rcLog, point) || ::PtInRect(&rcBar, point)) {
            m_view.OnWheel(GET_WHEEL_DELTA_WPARAM(pMsg->wParam));
            return true;
        }
    }
    if (pMsg->message == WM_KEYDOWN) {
        const bool bCtrl = ::GetKeyState(VK_CONTROL) < 0;
        const bool bShift = ::GetKeyState(VK_SHIFT) < 0;
        // Ctrl+F goes to the find box; F3 (Shift+F3) finds the next (previous) hit.
        if (pMsg->wParam == 'F' && bCtrl) {
            ::SetFocus(hFind);
            ::SendMessageW(hFind, EM_SETSEL, 0, -1);
            return true;
        }
        if (pMsg->wParam == VK_F3) {
            FindNext(!bShift);
            return true;
        }
        // Escape stops a find under way (and otherwise does nothing).
        if (pMsg->wParam == VK_ESCAPE && m_find.IsRunning()) {
            m_find.Cancel();
            return true;
        }
        // Enter finds in the find box, and sends the command text from any other control.
        if (pMsg->wParam == VK_RETURN) {
            if (pMsg->hwnd == hFind)
                FindNext(!bShift);
            else
                OnBnClickedSend();
            return true;
        }
    }
    return CDialog::PreTranslateMessage(pMsg);
}

CSessionFind::Query CCommConsole::FindQuery() const
{
    CSessionFind::Query query;
    wchar_t szText[256] = {};
    ::GetDlgItemTextW(m_hWnd, IDC_EDIT_FIND, szText, 255);
    query.text = szText;
    const LRESULT nKinds = ::SendDlgItemMessageW(m_hWnd, IDC_COMBO_FIND_KIND, CB_GETCURSEL, 0, 0);
    if (nKinds >= 1 && nKinds <= 3) {
        for (int i = 0; i < 3; ++i)
            query.bKinds[i] = i == nKinds - 1;
    }
    return query;
}

void CCommConsole::FindNext(bool bForward)
{
    const CSessionFind::Query query = FindQuery();
    if (query.text.empty() || m_find.IsRunning())
        return;
    const bool bSameQuery = m_bFound && query.text == m_foundQuery.text &&
                            std::equal(query.bKinds, query.bKinds + 3, m_foundQuery.bKinds);
    // The same find over the same session steps through its hits; anything else finds anew.
    if (bSameQuery && m_found.nEnd == m_lines.End() && !m_found.hits.empty() && m_nHit >= 0) {
        const long long nHits = static_cast<long long>(m_found.hits.size());
        m_nHit = (m_nHit + (bForward ? 1 : nHits - 1)) % nHits;
        ShowHit();
        return;
    }
    m_bFindForward = bForward;
    if (!m_find.Start(m_lines, query, m_hWnd, WM_CONSOLE_FOUND))
        return;
    m_foundQuery = query;
    m_findStatus = L"Finding \"" + query.text + L"\"... (Esc stops)";
    UpdateStatus();
}

LRESULT CCommConsole::OnFound(WPARAM, LPARAM)
{
    CSessionFind::Result result = m_find.Take();
    if (result.bCancelled) {
        m_findStatus = L"Find stopped";
        m_bFound = false;
        UpdateStatus();
        return 0;
    }
    // A hit before a shown one keeps its place; a new find starts from where the view is.
    const unsigned long long nFromSeq = m_nHit >= 0 && m_bFound && static_cast<size_t>(m_nHit) < m_found.hits.size()
                                            ? m_found.hits[static_cast<size_t>(m_nHit)].nSeq + (m_bFindForward ? 1 : 0)
                                        : m_view.IsFollowing() ? (m_bFindForward ? 0 : m_lines.End())
                                                               : m_view.TopSeq();
    m_found = std::move(result);
    m_bFound = true;
    m_nHit = -1;
    if (m_found.hits.empty()) {
        m_findStatus = L"\"" + m_foundQuery.text + L"\" not found";
        UpdateStatus();
        return 0;
    }
    const auto at = std::lower_bound(m_found.hits.begin(), m_found.hits.end(), nFromSeq,
                                     [](const CSessionFind::Hit& hit, unsigned long long nSeq) { return hit.nSeq < nSeq; });
    const long long nAt = static_cast<long long>(at - m_found.hits.begin());
    const long long nHits = static_cast<long long>(m_found.hits.size());
    m_nHit = m_bFindForward ? (nAt < nHits ? nAt : 0) : (nAt > 0 ? nAt - 1 : nHits - 1);
    ShowHit();
    return 0;
}

void CCommConsole::ShowHit()
{
    const CSessionFind::Hit& hit = m_found.hits[static_cast<size_t>(m_nHit)];
    m_view.ShowHit(hit.nSeq, hit.nColumn, static_cast<int>(m_foundQuery.text.size()));
    m_findStatus = L"hit " + GroupedNumber(static_cast<unsigned long long>(m_nHit) + 1) + L" of " + GroupedNumber(m_found.nTotal);
    if (m_found.nTotal > m_found.hits.size())
        m_findStatus += L" (the first " + GroupedNumber(m_found.hits.size()) + L" are shown)";
    UpdateStatus();
}

void CCommConsole::UpdateStatus()
{
    std::wstring status = m_view.CopyNote().empty() ? m_findStatus : m_view.CopyNote();
    const unsigned long long nNew = m_view.NewLines();
    if (!m_view.IsFollowing() && nNew > 0) {
        if (!status.empty())
            status += L"   ";
        status += nNew == 1 ? L"1 new line: End to follow" : GroupedNumber(nNew) + L" new lines: End to follow";
    }
    if (status == m_statusShown || m_hWnd == nullptr)
        return;
    m_statusShown = status;
    ::SetDlgItemTextW(m_hWnd, IDC_STATIC_LOG_STATUS, status.c_str());
}

LRESULT CCommConsole::OnVScroll(WPARAM wParam, LPARAM lParam)
{
    if (reinterpret_cast<HWND>(lParam) == GetDlgItem(IDC_SCROLL_LOG))
        m_view.OnScrollBar(LOWORD(wParam));
    return 0;
}

void CCommConsole::AddToHistory(CComboBox& combo, std::wstring& lastSeen)
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

void CCommConsole::OnBnClickedSend()
{
    if (!m_host.ConsoleIsConnected()) {
        m_host.ConsoleLine(L"Can not send. Is not connected!!");
        return;
    }
    // Passed whole: a command too long for a frame is refused with its real length.
    const std::wstring text = m_editCommand.GetWindowText();
    if (text.empty())
        return;
    const int nSelected = m_comboKind.GetCurSel();
    const int nKind = nSelected >= 0 ? static_cast<int>(m_comboKind.GetItemData(nSelected)) : enRECV_NONE;

    AddToHistory(m_comboWord, m_historyWordSeen);
    AddToHistory(m_comboClass, m_historyClassSeen);

    m_host.ConsoleSend(text.c_str(), nKind);
    // The next command is typed in the word's field (moved there only when it is elsewhere).
    const HWND hFocus = ::GetFocus();
    if (hFocus != m_comboWord.m_hWnd && !::IsChild(m_comboWord.m_hWnd, hFocus))
        ::SetFocus(m_comboWord.m_hWnd);
}

void CCommConsole::RebuildCommandText(int nFromCombo, bool bSelectionChanged)
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


void CCommConsole::OnBnClickedQueueClear()
{
    m_host.ConsoleClearQueue();
}

void CCommConsole::SetOptions(bool bShowTime, bool bReconnect)
{
    m_view.SetShowTime(bShowTime);
    if (HWND hTime = GetDlgItem(IDC_CHECK_TIME))
        ::SendMessageW(hTime, BM_SETCHECK, bShowTime ? BST_CHECKED : BST_UNCHECKED, 0);
    if (HWND hReconnect = GetDlgItem(IDC_CHECK_RECONNECT))
        ::SendMessageW(hReconnect, BM_SETCHECK, bReconnect ? BST_CHECKED : BST_UNCHECKED, 0);
}

void CCommConsole::OnBnClickedReconnect()
{
    const bool bOn = ::SendMessageW(GetDlgItem(IDC_CHECK_RECONNECT), BM_GETCHECK, 0, 0) == BST_CHECKED;
    m_host.ConsoleSetReconnect(bOn);
    // The owner keeps the choice for the next start.
    if (const HWND hOwner = m_host.ConsoleOwner())
        ::PostMessageW(hOwner, WM_CONSOLE_RECONNECT, bOn ? 1 : 0, 0);
}

void CCommConsole::OnBnClickedTime()
{
    const bool bShowTime = ::SendMessageW(GetDlgItem(IDC_CHECK_TIME), BM_GETCHECK, 0, 0) == BST_CHECKED;
    m_view.SetShowTime(bShowTime);
    // The owner keeps the choice for the next start.
    if (const HWND hOwner = m_host.ConsoleOwner())
        ::PostMessageW(hOwner, WM_CONSOLE_TIME, bShowTime ? 1 : 0, 0);
}


void CCommConsole::OnBnClickedFilter(UINT nID)
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

std::wstring CCommConsole::DefaultLogFileName()
{
    wchar_t szTime[64] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (localtime_s(&local, &now) != 0 || wcsftime(szTime, 63, L"%Y%m%d_%H%M%S", &local) == 0)
        szTime[0] = L'\0';
    return std::wstring(L"Log") + szTime;
}

bool CCommConsole::Save(const wchar_t* lpPath, const std::vector<CConsoleRecord::Line>& tail,
                        const CConsoleView::EarlierLines& earlier)
{
    HANDLE hFile = CreateFileW(lpPath, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return false;
    wchar_t szExt[260] = {};
    CUtilityTools::GetFileExt(lpPath, szExt, false);
    const bool bWritten = m_view.Save(hFile, _wcsicmp(szExt, L"RTF") == 0, tail, earlier);
    CloseHandle(hFile);
    return bWritten;
}

void CCommConsole::ClearView()
{
    m_find.Cancel();
    m_find.Take();
    m_bFound = false;
    m_nHit = -1;
    m_findStatus.clear();
    m_view.Clear();
    UpdateStatus();
}

void CCommConsole::OnBnClickedSaveFile()
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
    if (!m_host.ConsoleSave(szFile))
        ::MessageBoxW(m_hWnd, L"File create error!!", L"Serial Communication", MB_OK | MB_ICONERROR);
}

void CCommConsole::OnBnClickedProcedure()
{
    if (m_bProcedureRunning) {
        m_host.ConsoleStopProcedure();
        return;
    }
    wchar_t szFile[MAX_PATH] = {};
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = L"Procedures (*.txt)\0*.txt\0All files (*.*)\0*.*\0\0";
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = MAX_PATH;
    ofn.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST;
    if (!GetOpenFileNameW(&ofn))
        return;
    // The procedure is checked whole and shown before anything is sent.
    Procedure procedure;
    std::wstring error;
    if (!LoadProcedure(szFile, procedure, error)) {
        const std::wstring text = L"Procedure " + std::wstring(szFile) + L" refused: " + error;
        m_host.ConsoleLine(text.c_str());
        ::MessageBoxW(m_hWnd, text.c_str(), L"Procedure", MB_OK | MB_ICONWARNING);
        return;
    }
    std::wstring text = procedure.name + L": " + std::to_wstring(procedure.CountChecks()) + L" checks\r\n\r\n";
    constexpr size_t kShownSteps = 25;
    for (size_t i = 0; i < procedure.steps.size() && i < kShownSteps; ++i)
        text += std::to_wstring(procedure.steps[i].nLine) + L"   " + procedure.steps[i].source + L"\r\n";
    if (procedure.steps.size() > kShownSteps)
        text += L"... and " + std::to_wstring(procedure.steps.size() - kShownSteps) + L" steps more\r\n";
    text += L"\r\nRun it now?";
    if (::MessageBoxW(m_hWnd, text.c_str(), L"Procedure", MB_YESNO | MB_ICONQUESTION) == IDYES)
        m_host.ConsoleProcedure(szFile);
}

void CCommConsole::ShowProcedureProgress(int nDone, int nSteps, const std::wstring& text, bool bRunning)
{
    if (m_hWnd == nullptr)
        return;
    m_bProcedureRunning = bRunning;
    ::SetDlgItemTextW(m_hWnd, IDC_BTN_PROCEDURE, bRunning ? L"Stop procedure" : L"Procedure...");
    const HWND hProgress = ::GetDlgItem(m_hWnd, IDC_PROGRESS_PROCEDURE);
    ::SendMessageW(hProgress, PBM_SETRANGE32, 0, nSteps > 0 ? nSteps : 1);
    ::SendMessageW(hProgress, PBM_SETPOS, bRunning ? nDone : 0, 0);
    const std::wstring shown = bRunning ? L"Step " + std::to_wstring(nDone < nSteps ? nDone + 1 : nSteps) + L" of " +
                                              std::to_wstring(nSteps) + L": " + text
                                        : text;
    ::SetDlgItemTextW(m_hWnd, IDC_STATIC_PROCEDURE, shown.c_str());
}

LRESULT CCommConsole::OnShowWindowMsg(WPARAM wParam, LPARAM)
{
    if (wParam != FALSE) {
        SyncSettingsFields();
        // The view was left alone while the console was hidden.
        m_inbox.TakeLinesWaiting();
        m_view.Redraw();
    }
    return Default();
}

void CCommConsole::SyncSettingsFields()
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

void CCommConsole::ShowLinkKind(LinkKind kind)
{
    const bool bSerial = kind == LinkKind::Serial;
    static const int kSerialFields[] = {IDC_STATIC_SERIAL_PORT, IDC_COMBO_PORT, IDC_STATIC_BAUDRATE, IDC_COMBO_BAUD};
    static const int kEthernetFields[] = {IDC_STATIC_IP, IDC_IPADDRESS, IDC_STATIC_PORT_NUM, IDC_EDIT_TCP_PORT};
    if (m_hWnd == nullptr)
        return;
    for (int nID : kSerialFields)
        ShowDlgItem(nID, bSerial);
    for (int nID : kEthernetFields)
        ShowDlgItem(nID, !bSerial);
}

void CCommConsole::StartViewTimer()
{
    // A hidden console's view waits: it catches up when it is shown.
    if (m_bViewTimer || m_hWnd == nullptr || !::IsWindowVisible(m_hWnd))
        return;
    if (m_nViewPeriodMs == 0)
        m_nViewPeriodMs = kViewPeriodMinMs;
    m_bViewTimer = SetTimer(kViewTimer, m_nViewPeriodMs) != 0;
    m_inbox.MarkViewShown();
    m_inbox.SetViewTicking(m_bViewTimer);
}

void CCommConsole::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == kQueueViewTimer) {
        KillTimer(kQueueViewTimer);
        m_bQueueViewTimer = false;
        SyncQueueView();
        return;
    }
    if (nIDEvent != kViewTimer) {
        Default();
        return;
    }
    Tick(false);
}

void CCommConsole::Tick(bool bDrawNow)
{
    // Lines that come from now on wake the console again unless the timer goes on.
    m_inbox.SetViewTicking(false);
    if (!::IsWindowVisible(m_hWnd) || !m_inbox.TakeLinesWaiting()) {
        // Nothing came since the last tick: the timer rests until something does.
        KillTimer(kViewTimer);
        m_bViewTimer = false;
        m_view.SettleScrollBar();
        return;
    }
    m_inbox.SetViewTicking(true);
    // A tick costs its update and the drawing that follows it: the view takes at most about a
    // ninth of this thread's time, however fast lines come.
    const double dCostMs = m_view.Update() + m_ctrlLog.LastPaintMs();
    m_inbox.MarkViewShown();
    // Painting waits behind posted messages too: a turn taken out of order draws at once.
    if (bDrawNow)
        m_ctrlLog.UpdateWindow();
    UINT nPeriod = static_cast<UINT>(8.0 * dCostMs);
    nPeriod = nPeriod < kViewPeriodMinMs ? kViewPeriodMinMs : nPeriod > kViewPeriodMaxMs ? kViewPeriodMaxMs : nPeriod;
    if (nPeriod != m_nViewPeriodMs) {
        m_nViewPeriodMs = nPeriod;
        SetTimer(kViewTimer, m_nViewPeriodMs);
    }
}

void CCommConsole::ShowPendingLines()
{
    m_inbox.TakeLinesWaiting();
    m_view.Update();
    if (m_bQueueViewTimer) {
        KillTimer(kQueueViewTimer);
        m_bQueueViewTimer = false;
        SyncQueueView();
    }
}

void CCommConsole::ShowWaitingCommand(const wchar_t* lpText, int nTimeOutMs)
{
    // Only a field whose text changes is written (in a series of commands, mostly neither).
    if (m_hWnd == nullptr)
        return;
    // No command (the link closed): the command field empties, the time-out stays.
    if (lpText[0] != L'\0' && nTimeOutMs / 1000 != m_nWaitingShownSeconds) {
        m_nWaitingShownSeconds = nTimeOutMs / 1000;
        wchar_t szSeconds[16] = {};
        _snwprintf(szSeconds, 15, L"%d", m_nWaitingShownSeconds);
        SetDlgItemText(IDC_EDIT_WAIT_SECONDS, szSeconds);
    }
    if (m_waitingShown != lpText) {
        m_waitingShown = lpText;
        SetDlgItemText(IDC_EDIT_WAIT_COMMAND, lpText);
    }
}

void CCommConsole::SyncQueueView()
{
    // The list follows the queue by what was pushed and popped since it last looked; after
    // a Clear it starts anew.
    CCommandExchange::QueueState state = m_exchange.GetQueueState(m_nQueueRowsTo);
    const bool bList = m_listQueue.m_hWnd != nullptr;
    // Drawn once after all of it.
    const bool bDrawn = bList && ::IsWindowVisible(m_listQueue.m_hWnd);
    if (bDrawn)
        m_listQueue.SendMessage(WM_SETREDRAW, FALSE);
    if (state.nClears != m_nQueueClears) {
        if (bList)
            m_listQueue.DeleteAllItems();
        m_nQueueClears = state.nClears;
        m_nQueueRowsFrom = m_nQueueRowsTo = 0;
        state = m_exchange.GetQueueState(0);
        m_nQueueClears = state.nClears;
    }
    for (; m_nQueueRowsFrom < state.nPopped && m_nQueueRowsFrom < m_nQueueRowsTo; ++m_nQueueRowsFrom) {
        if (bList)
            m_listQueue.DeleteItem(0);
    }
    if (m_nQueueRowsFrom < state.nPopped)
        m_nQueueRowsFrom = state.nPopped;
    for (const CommandItem& item : state.items) {
        if (!bList)
            break;
        const int nRow = m_listQueue.InsertItem(m_listQueue.GetItemCount(), item.szCommand);
        m_listQueue.SetItemText(nRow, 1, item.nRecvKind == enRECV_NONE ? L"Non" : L"Ack");
    }
    if (m_nQueueRowsTo < state.nPushed)
        m_nQueueRowsTo = state.nPushed;
    if (bDrawn) {
        m_listQueue.SendMessage(WM_SETREDRAW, TRUE);
        m_listQueue.Invalidate(FALSE);
    }
    wchar_t szCount[16] = {};
    _snwprintf(szCount, 15, L"%d", static_cast<int>(state.nPushed - state.nPopped));
    if (GetDlgItem(IDC_EDIT_QUEUE_COUNT) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_COUNT, szCount);
}

void CCommConsole::UpdateLinkButtons(bool bOpenEnabled, bool bCloseEnabled)
{
    if (m_hWnd == nullptr)
        return;
    if (HWND hOpen = GetDlgItem(IDC_BTN_OPEN))
        ::EnableWindow(hOpen, bOpenEnabled ? TRUE : FALSE);
    if (HWND hClose = GetDlgItem(IDC_BTN_CLOSE))
        ::EnableWindow(hClose, bCloseEnabled ? TRUE : FALSE);
    wchar_t szCount[16] = {};
    _snwprintf(szCount, 15, L"%d", m_exchange.QueueCount());
    if (GetDlgItem(IDC_EDIT_QUEUE_COUNT) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_COUNT, szCount);
    if (GetDlgItem(IDC_EDIT_QUEUE_MAX) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_MAX, L"300");
}

void CCommConsole::ShowCountdown(const std::wstring& text)
{
    if (m_hWnd == nullptr)
        return;
    wchar_t szShown[32] = {};
    ::GetDlgItemTextW(m_hWnd, IDC_STATIC_RECONNECT, szShown, 32);
    if (text != szShown)
        SetDlgItemText(IDC_STATIC_RECONNECT, text.c_str());
}

void CCommConsole::OnQueueChanged()
{
    if (m_bQueueViewTimer)
        return;
    m_bQueueViewTimer = m_hWnd != nullptr && SetTimer(kQueueViewTimer, kQueueViewDelayMs) != 0;
    // Without a timer the list follows at once.
    if (!m_bQueueViewTimer)
        SyncQueueView();
}

void CCommConsole::OnLinesWaiting()
{
    if (m_inbox.LinesWaiting())
        StartViewTimer();
}

void CCommConsole::OnViewOverdue()
{
    // A ticking view whose timer is kept from it (posted messages come first) ticks now.
    if (m_bViewTimer && m_inbox.ViewOverdue())
        Tick(true);
}
