// Kit gallery: one skinned window that shows every control of the kit in each of its
// states, for looking at the kit and for the screenshots of the documentation. States that
// depend on the mouse or the keyboard focus are held fixed on demonstration copies, so
// they all show at once.
#include "GalleryIds.h"

#include "controls/Dpi.h"
#include "controls/HSCheckBox.h"
#include "controls/HSEdit.h"
#include "controls/HSLabel.h"
#include "controls/HSTabCtrl.h"
#include "controls/MSButton.h"
#include "controls/MSDialog.h"
#include "controls/MSGroupBox.h"
#include "controls/MyRichEditCtrl.h"
#include "controls/Separator.h"
#include "framework/WinApp.h"
#include "resource.h"

#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr UINT_PTR kCloseTimer = 2;

// A push button that always draws with the given extra draw state (focus, pressed) and,
// if asked, as hovered.
class CDemoButton : public CMSButton {
public:
    CDemoButton(UINT nState, bool bHover) : m_nState(nState), m_bHover(bHover) {}
    void DrawItem(LPDRAWITEMSTRUCT lpDIS) override
    {
        DRAWITEMSTRUCT dis = *lpDIS;
        dis.itemState |= m_nState;
        if (m_bHover)
            m_nHover = 1;
        CMSButton::DrawItem(&dis);
    }

private:
    UINT m_nState;
    bool m_bHover;
};

class CGalleryDlg : public CMSDialog {
public:
    CGalleryDlg() : CMSDialog(IDD_GALLERY) { lstrcpynW(m_szInitTitle, L"Rig Console - control kit", 260); }

protected:
    BOOL OnInitDialog() override;
    void OnTimer(UINT_PTR nIDEvent);
    DECLARE_MESSAGE_MAP()

private:
    template <class T>
    T& Bind(std::unique_ptr<T> pControl, int nID)
    {
        T& control = *pControl;
        control.SubclassDlgItem(static_cast<UINT>(nID), this);
        m_controls.push_back(std::move(pControl));
        return control;
    }
    // A section caption: the separator's line with a dark caption on the body colour.
    void BindSection(int nID)
    {
        CSeparator& separator = Bind(std::make_unique<CSeparator>(), nID);
        separator.m_crFace = m_crBody;
        separator.m_crCaption = RGB(30, 40, 70);
    }
    void InitButtons();
    void InitInputs();
    void InitGroups();
    void InitLabels();
    void InitTabsAndLog();

    std::vector<std::unique_ptr<CWnd>> m_controls;
    CHSTabCtrl m_tabs;
    CHSTabPage m_pages[3]{CHSTabPage(IDD_GALLERY_PAGE), CHSTabPage(IDD_GALLERY_PAGE), CHSTabPage(IDD_GALLERY_PAGE)};
    CHSEdit* m_pFocusEdit = nullptr;
};

BEGIN_MESSAGE_MAP(CGalleryDlg, CMSDialog)
    ON_WM_TIMER()
END_MESSAGE_MAP()

void CGalleryDlg::InitButtons()
{
    BindSection(IDC_GAL_SEP_BUTTONS);
    Bind(std::make_unique<CDemoButton>(0, false), IDC_GAL_BTN_NORMAL);
    Bind(std::make_unique<CDemoButton>(ODS_FOCUS, true), IDC_GAL_BTN_HOVER);
    Bind(std::make_unique<CDemoButton>(ODS_FOCUS, false), IDC_GAL_BTN_FOCUS);
    Bind(std::make_unique<CDemoButton>(ODS_SELECTED | ODS_FOCUS, false), IDC_GAL_BTN_PRESSED);
    CMSButton& disabled = Bind(std::make_unique<CMSButton>(), IDC_GAL_BTN_DISABLED);
    disabled.EnableWindow(FALSE);
    CMSButton& iconLeft = Bind(std::make_unique<CMSButton>(), IDC_GAL_BTN_ICON_LEFT);
    iconLeft.m_nAlign = 0;
    iconLeft.SetIcon(kit::LoadIconAt(IDI_MAIN, 16, kit::DpiOf(m_hWnd)));
    CMSButton& iconAbove = Bind(std::make_unique<CMSButton>(), IDC_GAL_BTN_ICON_ABOVE);
    iconAbove.SetIcon(kit::LoadIconAt(IDI_SETTINGS, 16, kit::DpiOf(m_hWnd)));
    Bind(std::make_unique<CMSButton>(), IDOK);
}

void CGalleryDlg::InitInputs()
{
    BindSection(IDC_GAL_SEP_INPUT);
    Bind(std::make_unique<CHSCheckBox>(), IDC_GAL_CHK_UNCHECKED);
    CHSCheckBox& tick = Bind(std::make_unique<CHSCheckBox>(), IDC_GAL_CHK_TICK);
    tick.m_bChecked = true;
    CHSCheckBox& square = Bind(std::make_unique<CHSCheckBox>(), IDC_GAL_CHK_SQUARE);
    square.m_bChecked = true;
    square.m_bTick = false;
    square.m_bBorder = 0;
    square.m_crBack = RGB(220, 220, 220);
    CHSCheckBox& disabled = Bind(std::make_unique<CHSCheckBox>(), IDC_GAL_CHK_DISABLED);
    disabled.m_bChecked = true;
    disabled.m_bTick = false;
    disabled.EnableWindow(FALSE);
    CHSCheckBox& indicator = Bind(std::make_unique<CHSCheckBox>(), IDC_GAL_CHK_INDICATOR);
    indicator.m_bIndicator = 1;

    for (int nID : {IDC_GAL_LBL_NORMAL, IDC_GAL_LBL_FOCUS, IDC_GAL_LBL_CHANGED, IDC_GAL_LBL_READONLY, IDC_GAL_LBL_DISABLED})
        Bind(std::make_unique<CHSLabel>(), nID).SetBkColor(m_crBody);

    CHSEdit& normal = Bind(std::make_unique<CHSEdit>(), IDC_GAL_EDT_NORMAL);
    normal.SetText(L"120");
    m_pFocusEdit = &Bind(std::make_unique<CHSEdit>(), IDC_GAL_EDT_FOCUS);
    m_pFocusEdit->SetText(L"9600");
    CHSEdit& changed = Bind(std::make_unique<CHSEdit>(), IDC_GAL_EDT_CHANGED);
    changed.SetText(L"20130");
    changed.SetText(L"20131");
    Bind(std::make_unique<CHSEdit>(), IDC_GAL_EDT_READONLY).SetText(L"Locked");
    Bind(std::make_unique<CHSEdit>(), IDC_GAL_EDT_DISABLED).SetText(L"Off");
}

void CGalleryDlg::InitGroups()
{
    for (int nID : {IDC_GAL_GRP_ENABLED, IDC_GAL_GRP_DISABLED}) {
        CMSGroupBox& group = Bind(std::make_unique<CMSGroupBox>(), nID);
        group.m_crBack = m_crBody;
    }
    for (int nID : {IDC_GAL_GRP_EN_CHECK, IDC_GAL_GRP_DIS_CHECK}) {
        CHSCheckBox& check = Bind(std::make_unique<CHSCheckBox>(), nID);
        check.m_bChecked = true;
        check.m_bBorder = 0;
        check.m_bTick = false;
        check.m_crBack = m_crBody;
    }
    Bind(std::make_unique<CHSEdit>(), IDC_GAL_GRP_EN_EDIT).SetText(L"COM 5");
    Bind(std::make_unique<CHSEdit>(), IDC_GAL_GRP_DIS_EDIT).SetText(L"192.168.0.10");
    static_cast<CMSGroupBox*>(CWnd::FromHandlePermanent(GetDlgItem(IDC_GAL_GRP_DISABLED)))->EnableGroup(false);
    Bind(std::make_unique<CSeparator>(), IDC_GAL_SEP_VERTICAL).m_crFace = m_crBody;
}

void CGalleryDlg::InitLabels()
{
    BindSection(IDC_GAL_SEP_LABELS);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_DEFAULT);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_COLOURED).SetBkColor(RGB(30, 40, 70)).SetTextColor(RGB(255, 255, 255)).SetFontBold(true);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_GRADIENT)
        .SetBkColor(RGB(30, 60, 140), RGB(220, 220, 220), true)
        .SetTextColor(RGB(255, 255, 255))
        .SetFontBold(true);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_FLASHING)
        .SetBkColor(RGB(255, 236, 140))
        .SetTextColor(RGB(200, 20, 20))
        .FlashText(true);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_FLASHBK)
        .SetBkColor(RGB(140, 200, 255))
        .FlashBackground(true, 700);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_3D)
        .SetFontSize(12)
        .SetFontBold(true)
        .SetTextColor(RGB(90, 90, 110))
        .SetHighlightColor(RGB(255, 255, 255))
        .SetText3D(true, 0);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_BORDER).SetBorderColor(RGB(58, 71, 153)).SetBorder(true);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_SUNKEN).SetSunken(true);
    Bind(std::make_unique<CHSLabel>(), IDC_GAL_LABEL_TRANSP).SetTextColor(RGB(165, 42, 42)).SetTransparent(true);
}

void CGalleryDlg::InitTabsAndLog()
{
    BindSection(IDC_GAL_SEP_TABS);
    BindSection(IDC_GAL_SEP_LOG);

    m_tabs.SubclassDlgItem(IDC_GAL_TAB, this);
    m_tabs.RemoveAllPages();
    const wchar_t* captions[3] = {L" Config ", L" Link ", L" About "};
    for (int i = 0; i < 3; ++i) {
        m_pages[i].Create(IDD_GALLERY_PAGE, this);
        ::SetDlgItemTextW(m_pages[i], IDC_GAL_PAGE_LABEL, (std::wstring(L"Page") + captions[i]).c_str());
        m_tabs.AddPage(captions[i], nullptr, kit::Scale(21, kit::DpiOf(m_hWnd)), &m_pages[i]);
    }

    CMyRichEditCtrl& log = Bind(std::make_unique<CMyRichEditCtrl>(), IDC_GAL_LOG);
    log.SetBackgroundColor(FALSE, RGB(250, 250, 245));
    struct Line {
        COLORREF cr;
        const wchar_t* lpText;
    };
    const Line lines[] = {{RGB(0, 0, 200), L">> [SPM_PANO]\r\n"},
                          {RGB(200, 20, 20), L"<< [EPM_PANO_OK]\r\n"},
                          {RGB(0, 128, 0), L".... [SLP_ERDY_1]\r\n"},
                          {RGB(0, 0, 200), L">> [SPM_CEPH]\r\n"}};
    for (const Line& line : lines) {
        const long nEnd = log.GetTextLength();
        log.SetSel(nEnd, nEnd);
        log.SetTextColor(line.cr);
        log.ReplaceSel(line.lpText);
    }
}

BOOL CGalleryDlg::OnInitDialog()
{
    CMSDialog::OnInitDialog();
    InitButtons();
    InitInputs();
    InitGroups();
    InitLabels();
    InitTabsAndLog();
    CenterWindow();
    m_pFocusEdit->SetFocus();
    // For unattended screenshots: a number of seconds on the command line closes the
    // gallery by itself after that time.
    int nArgs = 0;
    LPWSTR* ppArgs = ::CommandLineToArgvW(::GetCommandLineW(), &nArgs);
    const int nSeconds = ppArgs != nullptr && nArgs > 1 ? _wtoi(ppArgs[1]) : 0;
    ::LocalFree(ppArgs);
    if (nSeconds > 0)
        SetTimer(kCloseTimer, static_cast<UINT>(nSeconds) * 1000);
    return FALSE;
}

void CGalleryDlg::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == kCloseTimer)
        EndDialog(IDOK);
}

class CGalleryApp : public CWinApp {
public:
    BOOL InitInstance() override
    {
        INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
        ::InitCommonControlsEx(&icc);
        LoadRichEditLibrary();
        CGalleryDlg dlg;
        dlg.DoModal();
        return FALSE;
    }
};

CGalleryApp theApp;

} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    return RunApplication(hInstance);
}
