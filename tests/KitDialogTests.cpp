// Skinned dialog, off-screen surface and the window framework under them: real windows on
// the test display, their pixels read back, real messages through the program's loops.
#include "controls/HSTabPage.h"
#include "controls/MMemDC.h"
#include "controls/MSButton.h"
#include "controls/MSDialog.h"
#include "framework/Edit.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"

#include <gtest/gtest.h>

using kit::CaptureClient;
using kit::Pixels;

namespace {
constexpr COLORREF kGrey115 = RGB(115, 115, 115);

class CSkinnedDlg : public CMSDialog {
public:
    CSkinnedDlg() : CMSDialog(IDD_KIT_HOST) {}
    ~CSkinnedDlg() override { DestroyWindow(); }
};

int TitleInkLeft(const Pixels& px, COLORREF crTitle)
{
    for (int x = 0; x < px.Width(); ++x)
        for (int y = 0; y < 24; ++y)
            if (px.At(x, y) == crTitle)
                return x;
    return -1;
}
} // namespace

TEST(KitSkinnedDialog, RegionBandRampSeparatorAndCorners)
{
    CSkinnedDlg dlg;
    ASSERT_TRUE(dlg.Create(IDD_KIT_HOST, nullptr));
    EXPECT_EQ(dlg.GetWindowText(), L"MS Dialog");
    EXPECT_NE(dlg.GetStyle() & WS_SYSMENU, 0);
    RECT rc;
    dlg.GetClientRect(&rc);
    const int w = rc.right, h = rc.bottom;
    ASSERT_GT(w, 100);

    // The region cuts every corner diagonally by five pixels.
    CRgn rgn;
    rgn.CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(dlg.GetWindowRgn(rgn), ERROR);
    for (POINT pt : {POINT{1, 1}, POINT{w - 2, 1}, POINT{1, h - 2}, POINT{w - 2, h - 2}, POINT{2, 2}})
        EXPECT_FALSE(rgn.PtInRegion(pt.x, pt.y)) << pt.x << "," << pt.y;
    for (POINT pt : {POINT{5, 0}, POINT{0, 5}, POINT{4, 4}, POINT{w - 6, 2}, POINT{w / 2, h / 2}})
        EXPECT_TRUE(rgn.PtInRegion(pt.x, pt.y)) << pt.x << "," << pt.y;

    const Pixels px = CaptureClient(dlg);
    // Grey lines run along the cuts.
    for (POINT pt : {POINT{2, 3}, POINT{3, 2}, POINT{w - 4, 2}, POINT{w - 2, h - 4}, POINT{2, h - 3}})
        EXPECT_EQ(px.At(pt.x, pt.y), kGrey115) << pt.x << "," << pt.y;
    // Etched separator under the band; the body and its outline.
    EXPECT_EQ(px.At(w / 2, 23), RGB(190, 190, 190));
    EXPECT_EQ(px.At(w / 2, 24), kGrey115);
    EXPECT_EQ(px.At(w / 2, 25), RGB(190, 190, 190));
    EXPECT_EQ(px.At(w - 20, h - 10), RGB(220, 220, 220));
    EXPECT_EQ(px.At(0, h / 2), kGrey115);
    EXPECT_EQ(px.At(w - 1, h / 2), kGrey115);
    // The ramp: strips w/50 wide, one step lighter each, from the caption colour.
    const int s = w / 50;
    for (int k : {0, 1, 2, 10, 40})
        EXPECT_EQ(px.At(1 + k * s, 20), RGB(195 + k, 195 + k, 195 + k)) << "strip " << k;
    EXPECT_EQ(px.At(w / 2, 0), kGrey115);

    // The title starts at x = 10; a new window text shows at the next paint.
    const COLORREF crTitle = RGB(30, 40, 70);
    EXPECT_GE(TitleInkLeft(px, crTitle), 10);
    EXPECT_LE(TitleInkLeft(px, crTitle), 12);
    const int nInkBefore = px.Count(crTitle, 0, 0, w, 24);
    dlg.SetWindowText(L"A much longer caption text for the band");
    dlg.Invalidate(FALSE);
    const Pixels after = CaptureClient(dlg);
    EXPECT_GT(after.Count(crTitle, 0, 0, w, 24), nInkBefore);
    EXPECT_GE(TitleInkLeft(after, crTitle), 10);
}

TEST(KitSkinnedDialog, DraggedByTheBandAboveRow24Only)
{
    CSkinnedDlg dlg;
    ASSERT_TRUE(dlg.Create(IDD_KIT_HOST, nullptr));
    auto hitAt = [&](int x, int y) {
        POINT pt{x, y};
        dlg.ClientToScreen(&pt);
        return dlg.SendMessage(WM_NCHITTEST, 0, MAKELPARAM(pt.x, pt.y));
    };
    EXPECT_EQ(hitAt(50, 0), HTCAPTION);
    EXPECT_EQ(hitAt(50, 23), HTCAPTION);
    EXPECT_EQ(hitAt(50, 24), HTCLIENT);
    EXPECT_EQ(hitAt(50, 100), HTCLIENT);
}

TEST(KitSkinnedDialog, NarrowWindowStillGetsItsRamp)
{
    CSkinnedDlg dlg;
    ASSERT_TRUE(dlg.Create(IDD_KIT_HOST, nullptr));
    // Narrower than fifty pixels: strips one pixel wide, and the paint ends.
    dlg.SetWindowPos(nullptr, 0, 0, 30, 60, SWP_NOMOVE | SWP_NOZORDER);
    RECT rc;
    dlg.GetClientRect(&rc);
    ASSERT_LT(rc.right, 50);
    const Pixels px = CaptureClient(dlg);
    EXPECT_EQ(px.At(1, 20), RGB(195, 195, 195));
    EXPECT_EQ(px.At(2, 20), RGB(196, 196, 196));
    EXPECT_EQ(px.At(rc.right - 2, 20), RGB(195 + rc.right - 3, 195 + rc.right - 3, 195 + rc.right - 3));
}

TEST(KitMemDC, CollectsOffScreenAndCopiesTheClipBoxOnce)
{
    COLORREF crDuring = 0;
    const Pixels px = kit::Render(40, 40, RGB(0, 0, 255), [&](HDC hDC) {
        CDC target(hDC);
        target.SetBkColor(RGB(0, 255, 0));
        const RECT rcClip{10, 10, 30, 30};
        target.IntersectClipRect(&rcClip);
        {
            CMMemDC mem(&target);
            EXPECT_EQ(mem.GetArea().left, 10);
            EXPECT_EQ(mem.GetArea().right, 30);
            mem.FillSolidRect(12, 12, 4, 4, RGB(255, 0, 0));
            crDuring = ::GetPixel(hDC, 13, 13);
        }
    });
    EXPECT_EQ(crDuring, RGB(0, 0, 255)) << "the target is untouched until the surface goes";
    EXPECT_EQ(px.At(13, 13), RGB(255, 0, 0));
    EXPECT_EQ(px.At(20, 20), RGB(0, 255, 0)) << "the area starts in the target's background colour";
    EXPECT_EQ(px.At(5, 5), RGB(0, 0, 255)) << "nothing outside the clip box";
    EXPECT_EQ(px.At(35, 20), RGB(0, 0, 255));
}

TEST(KitMemDC, OverAPrinterDCDrawsStraightThroughAndLeavesTheDC)
{
    const Pixels px = kit::Render(20, 20, RGB(0, 0, 255), [&](HDC hDC) {
        CDC printer(hDC);
        printer.m_bPrinting = TRUE;
        printer.SetBkColor(RGB(9, 9, 9));
        {
            CMMemDC mem(&printer);
            EXPECT_TRUE(mem.IsPrinting());
            EXPECT_EQ(mem.m_hDC, hDC);
            mem.FillSolidRect(2, 2, 3, 3, RGB(255, 0, 0));
            EXPECT_EQ(::GetPixel(hDC, 3, 3), RGB(255, 0, 0));
        }
        EXPECT_EQ(::GetObjectType(hDC), static_cast<DWORD>(OBJ_MEMDC)) << "the printer DC survives";
    });
    EXPECT_EQ(px.At(3, 3), RGB(255, 0, 0));
    EXPECT_EQ(px.At(10, 10), RGB(9, 9, 9));
}

namespace {
class CCreateProbe : public CEdit {
public:
    std::vector<UINT> m_seen;
    bool m_bPreSubclassed = false;
    BOOL PreCreateWindow(CREATESTRUCTW& cs) override
    {
        cs.style |= ES_READONLY;
        return TRUE;
    }

protected:
    void PreSubclassWindow() override { m_bPreSubclassed = true; }
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        if (message == WM_NCCREATE || message == WM_CREATE)
            m_seen.push_back(message);
        return CEdit::WindowProc(message, wParam, lParam);
    }
};
} // namespace

TEST(KitFramework, CreateExBindsBeforeTheFirstMessageAndRuntimeClassesCreate)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    CCreateProbe probe;
    ASSERT_TRUE(probe.CreateEx(0, L"Edit", L"x", WS_CHILD | WS_VISIBLE, RECT{0, 0, 50, 20}, &host, 77));
    EXPECT_TRUE(probe.m_bPreSubclassed);
    EXPECT_EQ(probe.m_seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
    EXPECT_NE(probe.GetStyle() & ES_READONLY, 0) << "PreCreateWindow adjusted the style";
    EXPECT_EQ(probe.GetDlgCtrlID(), 77);

    const CRuntimeClass* pClass = RUNTIME_CLASS(CMSButton);
    EXPECT_STREQ(pClass->m_lpszClassName, "CMSButton");
    EXPECT_EQ(pClass->m_wSchema, 0xFFFFu);
    EXPECT_EQ(pClass->m_nObjectSize, static_cast<int>(sizeof(CMSButton)));
    CWnd* pObject = pClass->CreateObject();
    ASSERT_NE(pObject, nullptr);
    EXPECT_TRUE(pObject->IsKindOf(RUNTIME_CLASS(CButton)));
    EXPECT_TRUE(pObject->IsKindOf(RUNTIME_CLASS(CWnd)));
    EXPECT_FALSE(probe.IsKindOf(RUNTIME_CLASS(CButton)));
    delete pObject;
}

namespace {
// A modal skinned dialog holding a tab page; a timer types into the page while the modal
// loop runs, then ends the dialog.
class CModalWithPage : public CMSDialog {
public:
    CModalWithPage() : CMSDialog(IDD_KIT_HOST), m_page(IDD_KIT_PAGE) {}
    CHSTabPage m_page;
    CEdit m_edit;
    int m_nStep = 0;
    bool m_bPageVisibleAfterKeys = false;
    bool m_bStillModal = false;
    std::wstring m_text;

protected:
    BOOL OnInitDialog() override
    {
        CMSDialog::OnInitDialog();
        m_page.Create(IDD_KIT_PAGE, this);
        m_page.SetWindowPos(nullptr, 10, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW);
        m_edit.SubclassDlgItem(IDC_KIT_PAGE_EDIT, &m_page);
        SetTimer(1, 100);
        return TRUE;
    }
    void OnTimer(UINT_PTR)
    {
        switch (m_nStep++) {
        case 0:
            SetForegroundWindow(m_hWnd);
            m_edit.SetFocus();
            break;
        case 1:
            kit::QueueKeyTaps({VK_RETURN, VK_ESCAPE, '7'});
            break;
        default:
            KillTimer(1);
            m_bPageVisibleAfterKeys = m_page.IsWindowVisible() != FALSE;
            m_bStillModal = IsModal();
            m_text = m_edit.GetWindowText();
            EndDialog(IDOK);
            break;
        }
    }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(CModalWithPage, CMSDialog)
    ON_WM_TIMER()
END_MESSAGE_MAP()
} // namespace

TEST(KitFramework, ModalLoopGivesPagesTheirKeysFirst)
{
    CModalWithPage dlg;
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_TRUE(dlg.m_bPageVisibleAfterKeys) << "Enter and Escape did not end the page";
    EXPECT_TRUE(dlg.m_bStillModal) << "nor its owner";
    EXPECT_EQ(dlg.m_text, L"7");
}
