#include "controls/MSDialog.h"

#include "framework/Dc.h"

#include <algorithm>

namespace {
// The program's main window template.
constexpr UINT kMainWindowTemplate = 1031;

// Adds n to each byte of the colour; every byte wraps on its own.
COLORREF AddToBytes(COLORREF cr, int n)
{
    return RGB((GetRValue(cr) + n) & 0xFF, (GetGValue(cr) + n) & 0xFF, (GetBValue(cr) + n) & 0xFF);
}
} // namespace

BEGIN_MESSAGE_MAP(CMSDialog, CDialog)
    ON_WM_NCHITTEST()
    ON_WM_PAINT()
    ON_WM_SIZE()
END_MESSAGE_MAP()

int CMSDialog::DragBandHeight(UINT nDpi)
{
    // The band ends with its middle etched row.
    return kit::Scale(kDragBandHeight - 1, nDpi) + kit::LineWidth(nDpi);
}

CMSDialog::CMSDialog() : CDialog(kMainWindowTemplate, nullptr)
{
    InitLook();
}

CMSDialog::CMSDialog(UINT nIDTemplate, CWnd* pParent) : CDialog(nIDTemplate, pParent)
{
    InitLook();
}

CMSDialog::~CMSDialog() = default;

void CMSDialog::InitLook()
{
    lstrcpynW(m_szInitTitle, L"MS Dialog", 260);
    m_crBody = RGB(220, 220, 220);
    m_crCaption = RGB(195, 195, 195);
    m_crTitle = RGB(30, 40, 70);
    m_fontCaption.SetPointFont(100, L"Arial", FW_BOLD);
}

void CMSDialog::ApplyShape(int w, int h)
{
    const int c = Chamfer(kit::DpiOf(m_hWnd));
    const POINT points[8] = {{c, 0}, {w - c, 0}, {w, c}, {w, h - c}, {w - c, h}, {c, h}, {0, h - c}, {0, c}};
    HRGN hRgn = ::CreatePolygonRgn(points, 8, ALTERNATE);
    // The system owns the region once it is the window's; it is only deleted if refused.
    if (hRgn != nullptr && SetWindowRgn(hRgn, TRUE) == 0)
        ::DeleteObject(hRgn);
}

void CMSDialog::OnSize(UINT, int cx, int cy)
{
    // A new size (a DPI change among others) gets corners of its own.
    ApplyShape(cx, cy);
    Invalidate(FALSE);
    Default();
}

BOOL CMSDialog::OnInitDialog()
{
    SetWindowText(m_szInitTitle);
    ModifyStyle(0, WS_SYSMENU);

    RECT rc;
    GetClientRect(&rc);
    ApplyShape(rc.right - rc.left, rc.bottom - rc.top);

    CDialog::OnInitDialog();
    return TRUE;
}

LRESULT CMSDialog::OnNcHitTest(POINT ptScreen)
{
    POINT pt = ptScreen;
    ScreenToClient(&pt);
    RECT rcBand;
    GetClientRect(&rcBand);
    rcBand.bottom = DragBandHeight(kit::DpiOf(m_hWnd));
    if (::PtInRect(&rcBand, pt))
        return HTCAPTION;
    return Default();
}

void CMSDialog::OnPaint()
{
    CPaintDC dc(this);
    RECT rc;
    GetClientRect(&rc);
    const int w = rc.right - rc.left;
    const int h = rc.bottom - rc.top;
    const UINT nDpi = kit::DpiOf(m_hWnd);
    // Sizes at 96 DPI, scaled: lines t wide, the etched rows from y0 on (23 at 96 DPI), the
    // corners cut by c.
    const int t = kit::LineWidth(nDpi);
    const int y0 = kit::Scale(kDragBandHeight - 1, nDpi);
    const int c = Chamfer(nDpi);
    constexpr COLORREF crFrame = RGB(115, 115, 115);
    const COLORREF crShadow = AddToBytes(m_crBody, -30);

    // Body inside a frame.
    dc.FillSolidRect(&rc, crFrame);
    dc.FillSolidRect(t, t, w - 2 * t, h - 2 * t, m_crBody);

    // Caption band and its ramp: about fifty strips, each one step lighter. A window
    // narrower than fifty pixels still gets strips one pixel wide.
    if (w - t > t) {
        const int s = std::max(w / 50, 1);
        int x = t;
        int n = 0;
        do {
            const int right = x + s >= w - t ? w - t : x + s;
            dc.FillSolidRect(x, t, right - x, y0 - t, AddToBytes(m_crCaption, n));
            x += s;
            n = (n + 1) & 0xFF;
        } while (x < w - t);
    }

    // Etched separator under the band.
    dc.FillSolidRect(t, y0, w - 2 * t, t, crShadow);
    dc.FillSolidRect(t, y0 + t, w - 2 * t, t, crFrame);
    dc.FillSolidRect(t, y0 + 2 * t, w - 2 * t, t, crShadow);

    {
        // The cut corners.
        CPen penFrame(PS_SOLID, t, crFrame);
        CSelectObject selPen(dc, penFrame);
        dc.MoveTo(0, c);
        dc.LineTo(c, 0);
        dc.MoveTo(w - c - 1, 0);
        dc.LineTo(w - 1, c);
        dc.MoveTo(w - 1, h - c);
        dc.LineTo(w - c, h - 1);
        dc.MoveTo(0, h - c);
        dc.LineTo(c - 1, h - 1);

        CSelectObject selFont(dc, m_fontCaption.Get(nDpi));
        dc.SetBkMode(TRANSPARENT);
        TEXTMETRICW tm{};
        dc.GetTextMetrics(&tm);
        wchar_t szTitle[260] = {};
        GetWindowText(szTitle, 260);
        dc.SetTextColor(m_crTitle);
        dc.TextOut(kit::Scale(10, nDpi), (y0 + 2 * t - static_cast<int>(tm.tmHeight)) / 2 - t, szTitle, lstrlenW(szTitle));
    }
}
