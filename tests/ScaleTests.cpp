// The kit and the program's windows at the display's scale. The KitAtScale and
// WindowsAtScale cases check whatever DPI their process has: run by the test command they
// see 96; DisplayScale runs them again in a child process of this executable with the Wine
// prefix's LogPixels at 144 and 192 (read by each process at its start), and puts 96 back.
#include "app/BasicSheetDlg.h"
#include "comm/Comm.h"
#include "controls/Dpi.h"
#include "controls/HSCheckBox.h"
#include "controls/HSLabel.h"
#include "controls/HSTabCtrl.h"
#include "controls/MSButton.h"
#include "controls/MSDialog.h"
#include "controls/MSGroupBox.h"
#include "controls/Separator.h"
#include "resource.h"
#include "storage/StorageMngr.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using kit::Pixels;
using kit::Scale;

namespace {

// The DPI this process is meant to run at: the parent's word, else the test command's 96.
UINT ExpectedDpi()
{
    const char* lpDpi = std::getenv("RIG_EXPECT_DPI");
    return lpDpi != nullptr ? static_cast<UINT>(std::atoi(lpDpi)) : kit::kDefaultDpi;
}

class CSkinned : public CMSDialog {
public:
    explicit CSkinned(UINT nID) : CMSDialog(nID) {}
    ~CSkinned() override { DestroyWindow(); }
};

// A kit host dialog with its controls bound, shown at (40, 40).
struct KitWindow {
    CSkinned dlg{IDD_KIT_HOST};
    CMSButton button;
    CHSCheckBox check;
    CHSTabCtrl tabs;
    CHSTabPage pages[2]{CHSTabPage(IDD_KIT_PAGE), CHSTabPage(IDD_KIT_PAGE)};
    CSeparator separator;
    CHSLabel label;
    UINT dpi = 0;

    bool Open()
    {
        if (!dlg.Create(IDD_KIT_HOST, nullptr))
            return false;
        dlg.SetWindowPos(nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);
        button.SubclassDlgItem(IDC_KIT_BUTTON2, &dlg);
        check.SubclassDlgItem(IDC_KIT_CHECK, &dlg);
        tabs.SubclassDlgItem(IDC_KIT_TAB, &dlg);
        separator.SubclassDlgItem(IDC_KIT_SEP_H, &dlg);
        label.SubclassDlgItem(IDC_KIT_LABEL, &dlg);
        label.SetBorderColor(RGB(200, 0, 0)).SetBkColor(RGB(255, 255, 255)).SetBorder(true);
        dpi = kit::DpiOf(dlg);
        tabs.RemoveAllPages();
        for (int i = 0; i < 2; ++i) {
            pages[i].Create(IDD_KIT_PAGE, &dlg);
            tabs.AddPage(i == 0 ? L"First" : L"Second", nullptr, Scale(21, dpi), &pages[i]);
        }
        return true;
    }
};

} // namespace

TEST(KitAtScale, DialogBandCornersAndTitleFollowTheDpi)
{
    KitWindow w;
    ASSERT_TRUE(w.Open());
    const UINT d = w.dpi;
    ASSERT_EQ(d, ExpectedDpi());
    const int t = kit::LineWidth(d);
    const int c = CMSDialog::Chamfer(d);
    RECT rc;
    w.dlg.GetClientRect(&rc);

    CRgn rgn;
    rgn.CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(w.dlg.GetWindowRgn(rgn), ERROR);
    EXPECT_FALSE(rgn.PtInRegion(c / 2 - 1, c / 2 - 1));
    EXPECT_TRUE(rgn.PtInRegion(c, 0));
    EXPECT_TRUE(rgn.PtInRegion(0, c));

    // The etched rows under the band: shadow, frame, shadow, each t high, from y0 on.
    const Pixels px = kit::CaptureClient(w.dlg);
    const int y0 = Scale(23, d);
    const int x = rc.right / 2;
    for (int k = 0; k < t; ++k) {
        EXPECT_EQ(px.At(x, y0 + k), RGB(190, 190, 190)) << "row " << y0 + k;
        EXPECT_EQ(px.At(x, y0 + t + k), RGB(115, 115, 115)) << "row " << y0 + t + k;
        EXPECT_EQ(px.At(x, y0 + 2 * t + k), RGB(190, 190, 190)) << "row " << y0 + 2 * t + k;
    }
    EXPECT_NE(px.At(x, y0 - 1), RGB(190, 190, 190));
    EXPECT_EQ(CMSDialog::DragBandHeight(d), y0 + t);

    // The title starts at 10 pixels (scaled) and stays inside the band.
    const RECT title = px.Bounds([](COLORREF cr) { return cr == RGB(30, 40, 70); }, RECT{0, 0, rc.right, y0 + 3 * t});
    EXPECT_GE(title.left, Scale(10, d));
    EXPECT_LE(title.left, Scale(12, d));
    EXPECT_GT(title.top, 0);
    EXPECT_LE(title.bottom, y0);

    auto hitAt = [&](int y) {
        POINT pt{rc.right / 2, y};
        w.dlg.ClientToScreen(&pt);
        return w.dlg.SendMessage(WM_NCHITTEST, 0, MAKELPARAM(pt.x, pt.y));
    };
    EXPECT_EQ(hitAt(CMSDialog::DragBandHeight(d) - 1), HTCAPTION);
    EXPECT_EQ(hitAt(CMSDialog::DragBandHeight(d)), HTCLIENT);

    // Moved to a screen of another scale: the window takes the suggested rectangle and cuts
    // the corners of its new size.
    const RECT suggested{100, 80, 100 + rc.right * 2, 80 + rc.bottom * 2};
    w.dlg.SendMessage(WM_DPICHANGED, MAKEWPARAM(2 * d, 2 * d), reinterpret_cast<LPARAM>(&suggested));
    RECT rcNow;
    w.dlg.GetWindowRect(&rcNow);
    EXPECT_TRUE(::EqualRect(&rcNow, &suggested));
    ASSERT_NE(w.dlg.GetWindowRgn(rgn), ERROR);
    EXPECT_TRUE(rgn.PtInRegion(rc.right * 2 - 1, rc.bottom));
    EXPECT_FALSE(rgn.PtInRegion(rc.right * 2 - 1, rc.bottom * 2 - 1));
}

TEST(KitAtScale, ButtonCheckBoxSeparatorAndLabelDrawAtScaledSizes)
{
    KitWindow w;
    ASSERT_TRUE(w.Open());
    const UINT d = w.dpi;
    ASSERT_EQ(d, ExpectedDpi());
    const int t = kit::LineWidth(d);
    kit::Settle(w.dlg);

    // Button: corners cut by 2 and 3 pixels (scaled); its idle frame, t thick, inside the
    // system's edge.
    ASSERT_NE(::GetFocus(), w.button.m_hWnd);
    RECT rcButton;
    w.button.GetClientRect(&rcButton);
    CRgn rgn;
    rgn.CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(::GetWindowRgn(w.button, rgn), ERROR);
    EXPECT_FALSE(rgn.PtInRegion(0, Scale(2, d) - 1));
    EXPECT_TRUE(rgn.PtInRegion(Scale(2, d), 0));
    EXPECT_FALSE(rgn.PtInRegion(rcButton.right - 1, rcButton.bottom - 1));
    const Pixels button = kit::CaptureClient(w.button);
    const int e = kit::SystemMetricAt(SM_CYEDGE, d);
    const int xMid = rcButton.right / 2;
    for (int k = 0; k < t; ++k) {
        EXPECT_EQ(button.At(xMid, e + k), CMSButton::Shade(w.button.m_crBase, -32)) << "row " << e + k;
        EXPECT_EQ(button.At(xMid, e - 1 - k), CMSButton::Shade(w.button.m_crBase, -16)) << "row " << e - 1 - k;
    }

    // Check box: its box from 3 pixels (scaled) on, outlined t wide; the caption 10 pixels
    // (scaled) after the box.
    RECT rcCheck;
    w.check.GetClientRect(&rcCheck);
    const int H = rcCheck.bottom;
    const int B = H - H / 5;
    const Pixels check = kit::CaptureClient(w.check);
    const int yBox = (Scale(3, d) + B + (H - B) / 2) / 2;
    for (int k = 0; k < t; ++k)
        EXPECT_EQ(check.At(Scale(3, d) + k, yBox), RGB(30, 30, 30)) << "column " << Scale(3, d) + k;
    EXPECT_EQ(check.At(Scale(3, d) + t, yBox), RGB(255, 255, 255));
    EXPECT_EQ(check.At(Scale(3, d) - 1, yBox), RGB(255, 255, 255));
    const RECT caption = check.Bounds([](COLORREF cr) { return cr == RGB(30, 30, 30); }, RECT{B + 2, 0, rcCheck.right, H});
    EXPECT_GE(caption.left, B + Scale(10, d));
    EXPECT_LE(caption.left, B + Scale(12, d));

    // Separator: a line of the scaled width through the middle row.
    RECT rcSep;
    w.separator.GetClientRect(&rcSep);
    const Pixels sep = kit::CaptureClient(w.separator);
    const int nLine = Scale(1, d);
    const int yTop = rcSep.bottom / 2 - (nLine - 1) / 2;
    for (int y = 0; y < rcSep.bottom; ++y) {
        const bool bLine = y >= yTop && y < yTop + nLine;
        EXPECT_EQ(sep.At(rcSep.right / 2, y) == ::GetSysColor(COLOR_BTNSHADOW), bLine) << "row " << y;
    }

    // Label: a border pen 2 pixels (scaled) wide along the edge, half of it inside.
    RECT rcLabel;
    w.label.GetClientRect(&rcLabel);
    const Pixels label = kit::CaptureClient(w.label);
    const int nBorder = (Scale(2, d) + 1) / 2;
    for (int y = 0; y < nBorder; ++y)
        EXPECT_EQ(label.At(rcLabel.right / 2, y), RGB(200, 0, 0)) << "row " << y;
    EXPECT_EQ(label.At(rcLabel.right / 2, nBorder), RGB(255, 255, 255));
}

TEST(KitAtScale, TabsAndGroupBoxDrawScaledAndAClickAtTheScaledTabSelectsIt)
{
    KitWindow w;
    ASSERT_TRUE(w.Open());
    const UINT d = w.dpi;
    ASSERT_EQ(d, ExpectedDpi());
    const int t = kit::LineWidth(d);
    ASSERT_TRUE(kit::BringToFront(w.dlg));
    const Pixels tabs = kit::CaptureClient(w.tabs);

    // Tabs as high as their caption and 4 pixels (scaled), their top line t thick.
    const RECT first = w.tabs.GetTabRect(0);
    const RECT second = w.tabs.GetTabRect(1);
    {
        CClientDC dc(&w.tabs);
        kit::CDpiFont font;
        font.SetPointFont(100, L"Arial");
        CSelectObject sel(dc, font.Get(d));
        const SIZE size = dc.GetTextExtent(std::wstring(L"First"));
        EXPECT_EQ(first.bottom - first.top, size.cy + Scale(4, d));
        EXPECT_EQ(first.right - first.left, size.cx + Scale(10, d));
    }
    const int xTop = (second.left + second.right) / 2;
    for (int k = 0; k < t; ++k)
        EXPECT_EQ(tabs.At(xTop, k), RGB(115, 115, 115)) << "row " << k;
    EXPECT_NE(tabs.At(xTop, t), RGB(115, 115, 115));

    kit::ClickAt(w.tabs, POINT{xTop, (second.top + second.bottom) / 2});
    EXPECT_TRUE(kit::Pump([&] { return w.tabs.m_nCurrent == 1; }, 3000));
    EXPECT_TRUE(w.pages[1].IsWindowVisible());

    // Group box: the caption 10 pixels (scaled) in, the frame t wide inside the window.
    CSkinned groupDlg(IDD_KIT_GROUP);
    ASSERT_TRUE(groupDlg.Create(IDD_KIT_GROUP, nullptr));
    CMSGroupBox group;
    group.SubclassDlgItem(IDC_KIT_GROUP, &groupDlg);
    RECT rcGroup;
    group.GetClientRect(&rcGroup);
    const Pixels px = kit::CaptureClient(group);
    const RECT caption = px.Bounds([&](COLORREF cr) { return cr == group.m_crCaption; }, rcGroup);
    EXPECT_GE(caption.left, Scale(10, d));
    EXPECT_LE(caption.left, Scale(12, d));
    for (int k = 0; k < t; ++k)
        EXPECT_EQ(px.At(t + k, rcGroup.bottom / 2), group.m_crFrame) << "column " << t + k;
    EXPECT_NE(px.At(2 * t, rcGroup.bottom / 2), group.m_crFrame);
}

namespace {

// Whether the text of a static fits its client rectangle in its own font, as the static
// lays it out (word-wrapped, or on one line).
::testing::AssertionResult TextFits(HWND hStatic)
{
    wchar_t szText[512] = {};
    ::GetWindowTextW(hStatic, szText, 512);
    const std::wstring text = szText;
    if (text.empty())
        return ::testing::AssertionSuccess();
    HFONT hFont = reinterpret_cast<HFONT>(::SendMessageW(hStatic, WM_GETFONT, 0, 0));
    CFont labelFont;
    if (auto* pLabel = dynamic_cast<CHSLabel*>(CWnd::FromHandlePermanent(hStatic))) {
        const LOGFONTW lf = pLabel->GetLogFont();
        labelFont.CreateFontIndirect(&lf);
        hFont = labelFont;
    }
    RECT rc;
    ::GetClientRect(hStatic, &rc);
    const DWORD dwStyle = static_cast<DWORD>(::GetWindowLongPtrW(hStatic, GWL_STYLE));
    UINT nFormat = DT_CALCRECT | DT_NOPREFIX;
    if ((dwStyle & SS_CENTERIMAGE) != 0 || (dwStyle & SS_TYPEMASK) == SS_LEFTNOWORDWRAP)
        nFormat |= DT_SINGLELINE;
    else
        nFormat |= DT_WORDBREAK;
    RECT rcText{0, 0, rc.right, 0};
    HDC hDC = ::GetDC(hStatic);
    HGDIOBJ hOld = ::SelectObject(hDC, hFont);
    ::DrawTextW(hDC, text.c_str(), static_cast<int>(text.size()), &rcText, nFormat);
    ::SelectObject(hDC, hOld);
    ::ReleaseDC(hStatic, hDC);
    if (rcText.right <= rc.right && rcText.bottom <= rc.bottom)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << std::string(text.begin(), text.end()) << "\" needs " << rcText.right
                                         << "x" << rcText.bottom << ", has " << rc.right << "x" << rc.bottom;
}

// Every visible static under hParent, its descendants included.
std::vector<HWND> VisibleStatics(HWND hParent)
{
    std::vector<HWND> found;
    ::EnumChildWindows(
        hParent,
        [](HWND hWnd, LPARAM lParam) {
            wchar_t szClass[16] = {};
            ::GetClassNameW(hWnd, szClass, 16);
            if (_wcsicmp(szClass, L"Static") == 0 && ::IsWindowVisible(hWnd))
                reinterpret_cast<std::vector<HWND>*>(lParam)->push_back(hWnd);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

} // namespace

TEST(WindowsAtScale, NoTextOfTheMainWindowPageOrConsoleIsClippedAndTheirButtonsTakeClicks)
{
    // The settings storage keeps its files in a scratch folder, not beside the tests.
    CStorageMngr::GetInstance()->SetProgramFolder(testsupport::MakeScratchDir(L"scale").c_str());
    CBasicSheetDlg main;
    ASSERT_TRUE(main.Create(IDD_MAIN_DIALOG, nullptr));
    // No link is tried: the page is shown as after a link attempt, with the console ready.
    main.KillTimer(CBasicSheetDlg::TIMER_ACTIVATE);
    main.mc_pCommMngr = CComm::GetInstance();
    main.mc_pCommMngr->SetOwnerWnd(&main);
    main.SendMessage(WM_TIMER, CBasicSheetDlg::TIMER_SHOW_CONFIG, 0);
    main.ShowWindow(SW_SHOW);
    ASSERT_TRUE(kit::BringToFront(main));
    const UINT d = kit::DpiOf(main);
    ASSERT_EQ(d, ExpectedDpi());

    // The tab strip holds its tabs.
    const RECT tab = main.m_tabCtrl.GetTabRect(0);
    RECT rcStrip;
    main.m_tabCtrl.GetClientRect(&rcStrip);
    EXPECT_GT(tab.right, tab.left);
    EXPECT_LE(tab.bottom, rcStrip.bottom);

    size_t nChecked = 0;
    for (HWND hStatic : VisibleStatics(main)) {
        if (hStatic == main.m_tabCtrl.m_hWnd)
            continue;
        EXPECT_TRUE(TextFits(hStatic)) << "main window or settings page";
        ++nChecked;
    }
    EXPECT_GE(nChecked, 4u) << "the page's labels were looked at";

    // "Serial Dialog" clicked where it is drawn opens the console.
    HWND hSerialDialog = main.m_pageConfig.GetDlgItem(IDC_BTN_SERIAL_DIALOG);
    kit::ClickAt(hSerialDialog, kit::CenterOf(hSerialDialog));
    CComm* pConsole = main.mc_pCommMngr;
    ASSERT_TRUE(kit::Pump([&] { return pConsole->Console().IsWindowVisible(); }, 5000));
    kit::Settle(pConsole->Console());
    nChecked = 0;
    for (HWND hStatic : VisibleStatics(pConsole->Console())) {
        EXPECT_TRUE(TextFits(hStatic)) << "console";
        ++nChecked;
    }
    EXPECT_GE(nChecked, 8u) << "the console's labels were looked at";
    main.DestroyWindow();
}

namespace {

// Sets the prefix's LogPixels for the processes started while it lives, and puts back what
// was there.
class DisplayScaleGuard {
public:
    explicit DisplayScaleGuard(DWORD dwDpi)
    {
        if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                              nullptr, &m_hKey, nullptr) != ERROR_SUCCESS)
            return;
        DWORD cb = sizeof(m_dwOld);
        m_bHadOld = ::RegQueryValueExW(m_hKey, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&m_dwOld), &cb) ==
                    ERROR_SUCCESS;
        m_bSet = ::RegSetValueExW(m_hKey, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwDpi), sizeof(dwDpi)) ==
                 ERROR_SUCCESS;
    }
    ~DisplayScaleGuard()
    {
        if (m_hKey == nullptr)
            return;
        if (m_bHadOld)
            ::RegSetValueExW(m_hKey, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_dwOld), sizeof(m_dwOld));
        else
            ::RegDeleteValueW(m_hKey, L"LogPixels");
        ::RegCloseKey(m_hKey);
    }
    bool IsSet() const { return m_bSet; }

private:
    HKEY m_hKey = nullptr;
    DWORD m_dwOld = 0;
    bool m_bHadOld = false;
    bool m_bSet = false;
};

// Runs the scale-dependent cases of this executable in a child process at the DPI.
void RunAtDpi(DWORD dwDpi)
{
    const std::wstring output = testsupport::MakeScratchDir(L"scale-child") + L"output.txt";
    wchar_t szSelf[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    ::SetEnvironmentVariableW(L"RIG_EXPECT_DPI", std::to_wstring(dwDpi).c_str());
    testsupport::ChildProcess child;
    {
        DisplayScaleGuard scale(dwDpi);
        ASSERT_TRUE(scale.IsSet());
        ASSERT_TRUE(child.Start(L"\"" + std::wstring(szSelf) + L"\" --gtest_filter=KitAtScale.*:WindowsAtScale.*", output));
        // The child has read the scale once it runs; the guard waits for its end all the same,
        // so no other process of this run starts at the wrong scale.
        const bool bEnded = child.WaitExit(240000);
        if (!bEnded)
            child.Terminate();
        ::SetEnvironmentVariableW(L"RIG_EXPECT_DPI", nullptr);
        ASSERT_TRUE(bEnded);
    }
    const std::string text = testsupport::ReadFileBytes(output);
    EXPECT_NE(text.find("[  PASSED  ] 4 tests"), std::string::npos) << text;
    EXPECT_EQ(child.ExitCode(), 0u) << text;
}

} // namespace

TEST(DisplayScale, At150PercentTheKitAndTheWindowsScale)
{
    RunAtDpi(144);
}

TEST(DisplayScale, At200PercentTheKitAndTheWindowsScale)
{
    RunAtDpi(192);
}
