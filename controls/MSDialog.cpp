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
END_MESSAGE_MAP()

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
    // The point-size font first, so the height follows the screen's resolution; then the
    // same font in bold.
    m_fontCaption.CreatePointFont(100, L"Arial");
    LOGFONTW lf{};
    if (m_fontCaption.GetLogFont(&lf)) {
        lf.lfWeight = FW_BOLD;
        m_fontCaption.CreateFontIndirect(&lf);
    }
}

BOOL CMSDialog::OnInitDialog()
{
    SetWindowText(m_szInitTitle);
    ModifyStyle(0, WS_SYSMENU);

    RECT rc;
    GetClientRect(&rc);
    const int w = rc.right - rc.left;
    const int h = rc.bottom - rc.top;
    const POINT points[8] = {{kChamfer, 0}, {w - kChamfer, 0}, {w, kChamfer}, {w, h - kChamfer},
                             {w - kChamfer, h}, {kChamfer, h}, {0, h - kChamfer}, {0, kChamfer}};
    HRGN hRgn = ::CreatePolygonRgn(points, 8, ALTERNATE);
    // The system owns the region once it is the window's; it is only deleted if refused.
    if (hRgn != nullptr && SetWindowRgn(hRgn, TRUE) == 0)
        ::DeleteObject(hRgn);

    CDialog::OnInitDialog();
    return TRUE;
}

LRESULT CMSDialog::OnNcHitTest(POINT ptScreen)
{
    POINT pt = ptScreen;
    ScreenToClient(&pt);
    RECT rcBand;
    GetClientRect(&rcBand);
    rcBand.bottom = kDragBandHeight;
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

    CBrush brBody(m_crBody);
    CBrush brCaption(m_crCaption);
    CPen penFrame(PS_SOLID, 1, RGB(115, 115, 115));
    CPen penShadow(PS_SOLID, 1, AddToBytes(m_crBody, -30));
    {
        dc.SetBkMode(OPAQUE);
        CSelectObject selPen(dc, penFrame);
        CSelectObject selBrush(dc, brBody);
        dc.Rectangle(&rc);

        // Caption band and its ramp: about fifty strips, each one step lighter. A window
        // narrower than fifty pixels still gets strips one pixel wide.
        dc.SelectObject(brCaption);
        dc.Rectangle(rc.left, rc.top, rc.right, 25);
        if (w - 1 > 1) {
            const int s = std::max(w / 50, 1);
            int x = 1;
            int n = 0;
            do {
                const int right = x + s >= w ? w - 1 : x + s;
                const RECT rcStrip{x, 1, right, 24};
                dc.FillSolidRect(&rcStrip, AddToBytes(m_crCaption, n));
                x += s;
                n = (n + 1) & 0xFF;
            } while (x < w - 1);
        }

        // Etched separator under the band.
        dc.SelectObject(penShadow);
        dc.MoveTo(1, 23);
        dc.LineTo(w - 1, 23);
        dc.SelectObject(penFrame);
        dc.MoveTo(1, 24);
        dc.LineTo(w - 1, 24);
        dc.SelectObject(penShadow);
        dc.MoveTo(1, 25);
        dc.LineTo(w - 1, 25);

        // The cut corners.
        dc.SelectObject(penFrame);
        dc.MoveTo(0, 5);
        dc.LineTo(5, 0);
        dc.MoveTo(w - 6, 0);
        dc.LineTo(w - 1, 5);
        dc.MoveTo(w - 1, h - 5);
        dc.LineTo(w - 5, h - 1);
        dc.MoveTo(0, h - 5);
        dc.LineTo(4, h - 1);

        CSelectObject selFont(dc, m_fontCaption);
        dc.SetBkMode(TRANSPARENT);
        TEXTMETRICW tm{};
        dc.GetTextMetrics(&tm);
        wchar_t szTitle[260] = {};
        GetWindowText(szTitle, 260);
        dc.SetTextColor(m_crTitle);
        dc.TextOut(10, (25 - static_cast<int>(tm.tmHeight)) / 2 - 1, szTitle, lstrlenW(szTitle));
    }
}
