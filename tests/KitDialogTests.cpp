// Skinned dialog, off-screen surface and the window framework under them: real windows on
// the test display, their pixels read back, real messages through the program's loops.
#include "controls/HSTabPage.h"
#include "controls/MMemDC.h"
#include "controls/MSButton.h"
#include "controls/MSDialog.h"
#include "framework/Edit.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"

#include <commctrl.h>
#include <gtest/gtest.h>

using kit::CaptureClient;
using kit::Pixels;

namespace {
constexpr COLORREF kGrey115 = RGB(115, 115, 115);
constexpr COLORREF kTitle = RGB(30, 40, 70);

class CSkinnedDlg : public CMSDialog {
public:
    CSkinnedDlg() : CMSDialog(IDD_KIT_HOST) {}
    ~CSkinnedDlg() override { DestroyWindow(); }
};
} // namespace

TEST(KitSkinnedDialog, RegionBandSeparatorTitleAndDragBand)
{
    CSkinnedDlg dlg;
    ASSERT_TRUE(dlg.Create(IDD_KIT_HOST, nullptr));
    EXPECT_EQ(dlg.GetWindowText(), L"MS Dialog");
    RECT rc;
    dlg.GetClientRect(&rc);
    const int w = rc.right, h = rc.bottom;

    // Corners cut diagonally by five pixels, grey lines along the cuts.
    CRgn rgn;
    rgn.CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(dlg.GetWindowRgn(rgn), ERROR);
    for (POINT pt : {POINT{1, 1}, POINT{w - 2, 1}, POINT{1, h - 2}, POINT{w - 2, h - 2}, POINT{2, 2}})
        EXPECT_FALSE(rgn.PtInRegion(pt.x, pt.y)) << pt.x << "," << pt.y;
    for (POINT pt : {POINT{5, 0}, POINT{0, 5}, POINT{4, 4}, POINT{w / 2, h / 2}})
        EXPECT_TRUE(rgn.PtInRegion(pt.x, pt.y)) << pt.x << "," << pt.y;
    const Pixels px = CaptureClient(dlg);
    for (POINT pt : {POINT{2, 3}, POINT{w - 4, 2}, POINT{w - 2, h - 4}, POINT{2, h - 3}})
        EXPECT_EQ(px.At(pt.x, pt.y), kGrey115) << pt.x << "," << pt.y;

    // Etched separator under the band, body, and the ramp of strips w/50 wide.
    EXPECT_EQ(px.At(w / 2, 23), RGB(190, 190, 190));
    EXPECT_EQ(px.At(w / 2, 24), kGrey115);
    EXPECT_EQ(px.At(w / 2, 25), RGB(190, 190, 190));
    EXPECT_EQ(px.At(w - 20, h - 10), RGB(220, 220, 220));
    for (int k : {0, 1, 40})
        EXPECT_EQ(px.At(1 + k * (w / 50), 20), RGB(195 + k, 195 + k, 195 + k)) << "strip " << k;

    // The title starts at x = 10; a new window text shows at the next paint.
    const RECT title = px.Bounds([](COLORREF cr) { return cr == kTitle; }, RECT{0, 0, w, 24});
    EXPECT_GE(title.left, 10);
    EXPECT_LE(title.left, 12);
    dlg.SetWindowText(L"A much longer caption text for the band");
    dlg.Invalidate(FALSE);
    EXPECT_GT(CaptureClient(dlg).Count(kTitle, 0, 0, w, 24), px.Count(kTitle, 0, 0, w, 24));

    // Dragged by rows 0 to 23 only.
    auto hitAt = [&](int y) {
        POINT pt{50, y};
        dlg.ClientToScreen(&pt);
        return dlg.SendMessage(WM_NCHITTEST, 0, MAKELPARAM(pt.x, pt.y));
    };
    EXPECT_EQ(hitAt(0), HTCAPTION);
    EXPECT_EQ(hitAt(23), HTCAPTION);
    EXPECT_EQ(hitAt(24), HTCLIENT);

    // Narrower than fifty pixels: strips one pixel wide, and the paint still ends.
    dlg.SetWindowPos(nullptr, 0, 0, 30, 60, SWP_NOMOVE | SWP_NOZORDER);
    dlg.Invalidate();
    const Pixels narrow = CaptureClient(dlg);
    EXPECT_EQ(narrow.At(1, 20), RGB(195, 195, 195));
    EXPECT_EQ(narrow.At(2, 20), RGB(196, 196, 196));
}

TEST(KitMemDC, CopiesTheClipBoxOnceOrDrawsStraightOnAPrinter)
{
    COLORREF crDuring = 0;
    Pixels px = kit::Render(40, 40, RGB(0, 0, 255), [&](HDC hDC) {
        CDC target(hDC);
        target.SetBkColor(RGB(0, 255, 0));
        const RECT rcClip{10, 10, 30, 30};
        target.IntersectClipRect(&rcClip);
        CMMemDC mem(&target);
        mem.FillSolidRect(12, 12, 4, 4, RGB(255, 0, 0));
        crDuring = ::GetPixel(hDC, 13, 13);
    });
    EXPECT_EQ(crDuring, RGB(0, 0, 255)) << "the target is untouched until the surface goes";
    EXPECT_EQ(px.At(13, 13), RGB(255, 0, 0));
    EXPECT_EQ(px.At(20, 20), RGB(0, 255, 0)) << "the area starts in the target's background colour";
    EXPECT_EQ(px.At(5, 5), RGB(0, 0, 255)) << "nothing outside the clip box";

    px = kit::Render(20, 20, RGB(0, 0, 255), [&](HDC hDC) {
        CDC printer(hDC);
        printer.m_bPrinting = TRUE;
        {
            CMMemDC mem(&printer);
            mem.FillSolidRect(2, 2, 3, 3, RGB(255, 0, 0));
            EXPECT_EQ(::GetPixel(hDC, 3, 3), RGB(255, 0, 0)) << "drawn straight on the printer DC";
        }
        EXPECT_EQ(::GetObjectType(hDC), static_cast<DWORD>(OBJ_MEMDC)) << "which survives the surface";
    });
    EXPECT_EQ(px.At(3, 3), RGB(255, 0, 0));
}

namespace {
class CCreateProbe : public CEdit {
public:
    std::vector<UINT> m_seen;
    BOOL PreCreateWindow(CREATESTRUCTW& cs) override
    {
        cs.style |= ES_READONLY;
        return TRUE;
    }

protected:
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
    EXPECT_EQ(probe.m_seen, (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
    EXPECT_NE(probe.GetStyle() & ES_READONLY, 0) << "PreCreateWindow adjusted the style";

    const CRuntimeClass* pClass = RUNTIME_CLASS(CMSButton);
    EXPECT_STREQ(pClass->m_lpszClassName, "CMSButton");
    EXPECT_EQ(pClass->m_wSchema, 0xFFFFu);
    CWnd* pObject = pClass->CreateObject();
    ASSERT_NE(pObject, nullptr);
    EXPECT_TRUE(pObject->IsKindOf(RUNTIME_CLASS(CButton)));
    EXPECT_FALSE(probe.IsKindOf(RUNTIME_CLASS(CButton)));
    delete pObject;
}

namespace {
// Counts the texts set on its window, then leaves them to the window's own procedure.
class CTextCounter : public CWnd {
public:
    int m_nTexts = 0;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override
    {
        m_nTexts += message == WM_SETTEXT ? 1 : 0;
        return CWnd::WindowProc(message, wParam, lParam);
    }
};

LRESULT CALLBACK CountTexts(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR dwRefData)
{
    *reinterpret_cast<int*>(dwRefData) += message == WM_SETTEXT ? 1 : 0;
    return ::DefSubclassProc(hWnd, message, wParam, lParam);
}

std::wstring TextOf(HWND hWnd)
{
    wchar_t szText[32] = {};
    ::GetWindowTextW(hWnd, szText, 32);
    return szText;
}
} // namespace

TEST(KitFramework, AWindowIsBoundInFrontOfItsOwnProcedureAndLeftToItWhenUnbound)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    HWND hEdit = ::CreateWindowExW(0, L"Edit", L"", WS_CHILD, 0, 0, 50, 20, host.m_hWnd, nullptr, nullptr, nullptr);
    ASSERT_NE(hEdit, nullptr);
    const LONG_PTR own = ::GetWindowLongPtrW(hEdit, GWLP_WNDPROC);

    CTextCounter first;
    ASSERT_TRUE(first.SubclassWindow(hEdit));
    EXPECT_EQ(CWnd::FromHandlePermanent(hEdit), &first);
    ::SetWindowTextW(hEdit, L"one");
    EXPECT_EQ(first.m_nTexts, 1);
    EXPECT_EQ(TextOf(hEdit), L"one") << "the edit's own procedure set it";
    EXPECT_EQ(first.UnsubclassWindow(), hEdit);
    EXPECT_EQ(::GetWindowLongPtrW(hEdit, GWLP_WNDPROC), own);
    EXPECT_EQ(CWnd::FromHandlePermanent(hEdit), nullptr);
    ::SetWindowTextW(hEdit, L"two");
    EXPECT_EQ(first.m_nTexts, 1);

    // Bound again, then subclassed by someone else on top: unbinding cannot take our
    // procedure out of the chain, so it passes everything on, and the window lives on.
    CTextCounter second;
    ASSERT_TRUE(second.SubclassWindow(hEdit));
    int nOnTop = 0;
    ASSERT_TRUE(::SetWindowSubclass(hEdit, &CountTexts, 1, reinterpret_cast<DWORD_PTR>(&nOnTop)));
    ::SetWindowTextW(hEdit, L"three");
    EXPECT_EQ(nOnTop, 1);
    EXPECT_EQ(second.m_nTexts, 1);
    second.UnsubclassWindow();
    EXPECT_EQ(CWnd::FromHandlePermanent(hEdit), nullptr);
    ::SetWindowTextW(hEdit, L"four");
    EXPECT_EQ(nOnTop, 2);
    EXPECT_EQ(second.m_nTexts, 1) << "no message reaches an unbound object";
    EXPECT_EQ(TextOf(hEdit), L"four");
    CTextCounter third;
    EXPECT_FALSE(third.SubclassWindow(hEdit)) << "our procedure is still in its chain";
    ::RemoveWindowSubclass(hEdit, &CountTexts, 1);
    EXPECT_TRUE(::DestroyWindow(hEdit));
}

namespace {
// A modal skinned dialog holding a tab page; its timer queues keys for the page while the
// modal loop runs, then ends the dialog.
class CModalWithPage : public CMSDialog {
public:
    CModalWithPage() : CMSDialog(IDD_KIT_HOST), m_page(IDD_KIT_PAGE) {}
    CHSTabPage m_page;
    CEdit m_edit;
    int m_nStep = 0;
    bool m_bPageVisible = false;
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
        if (m_nStep++ == 0) {
            SetForegroundWindow(m_hWnd);
            m_edit.SetFocus();
            kit::QueueKeyTaps({VK_RETURN, VK_ESCAPE, '7'});
        } else {
            KillTimer(1);
            m_bPageVisible = m_page.IsWindowVisible() != FALSE;
            m_text = m_edit.GetWindowText();
            EndDialog(IDOK);
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
    EXPECT_EQ(dlg.DoModal(), IDOK) << "Escape did not cancel the dialog";
    EXPECT_TRUE(dlg.m_bPageVisible) << "Enter and Escape did not end the page";
    EXPECT_EQ(dlg.m_text, L"7");
}
