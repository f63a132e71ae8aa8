#include "controls/MSButton.h"

#include "controls/MMemDC.h"
#include "framework/Dc.h"

#include <commctrl.h>

#include <algorithm>
#include <string>

IMPLEMENT_DYNCREATE(CMSButton, CButton)

BEGIN_MESSAGE_MAP(CMSButton, CButton)
    ON_MESSAGE(WM_MOUSELEAVE, CMSButton::OnMouseLeave)
    ON_MESSAGE(WM_MOUSEHOVER, CMSButton::OnMouseHover)
    ON_WM_MOUSEMOVE()
    ON_WM_LBUTTONDOWN()
    ON_WM_LBUTTONUP()
    ON_WM_DRAWITEM_REFLECT()
END_MESSAGE_MAP()

namespace {
constexpr COLORREF kFaceOutline = RGB(0, 60, 115);
constexpr COLORREF kGreyCaption = RGB(100, 100, 100);

int Width(const RECT& rc)
{
    return rc.right - rc.left;
}
int Height(const RECT& rc)
{
    return rc.bottom - rc.top;
}

// A one-pixel line from A up to, but not including, B.
void Line(CDC& dc, int x1, int y1, int x2, int y2)
{
    dc.MoveTo(x1, y1);
    dc.LineTo(x2, y2);
}
} // namespace

CMSButton::CMSButton() : m_nAlign(1), m_crBase(RGB(250, 250, 250)), m_crText(RGB(0, 0, 0))
{
    m_fontCaption.SetPointFont(90, L"Tahoma");
}

CMSButton::~CMSButton()
{
    if (m_hIcon != nullptr)
        ::DestroyIcon(m_hIcon);
}

COLORREF CMSButton::Shade(COLORREF cr, int d)
{
    int r = GetRValue(cr) + d;
    int g = GetGValue(cr) + d;
    int b = GetBValue(cr) + (GetBValue(cr) * d) / 192;
    if (d > 0) {
        r = std::min(r, 255);
        g = std::min(g, 255);
        b = std::min(b, 255);
    } else {
        r = std::max(r, 0);
        g = std::max(g, 0);
        b = std::max(b, 0);
    }
    return RGB(r, g, b);
}

void CMSButton::SetIcon(HICON hIcon)
{
    if (m_hIcon != nullptr)
        ::DestroyIcon(m_hIcon);
    m_hIcon = hIcon;
    m_nIconWidth = 0;
    m_nIconHeight = 0;
    if (hIcon == nullptr)
        return;
    ICONINFO info{};
    if (::GetIconInfo(hIcon, &info)) {
        m_nIconWidth = 2 * static_cast<int>(info.xHotspot);
        m_nIconHeight = 2 * static_cast<int>(info.yHotspot);
        if (info.hbmMask != nullptr)
            ::DeleteObject(info.hbmMask);
        if (info.hbmColor != nullptr)
            ::DeleteObject(info.hbmColor);
    }
}

void CMSButton::PreSubclassWindow()
{
    // The button-type bits go; the button is drawn by us.
    ModifyStyle(0x1F, BS_OWNERDRAW, SWP_FRAMECHANGED);
    CButton::PreSubclassWindow();
}

bool CMSButton::PreTranslateMessage(MSG* pMsg)
{
    // The system turns the second press of a double click on an owner-drawn button into a
    // "double clicked" notice without a click; a press it stays.
    if (pMsg->message == WM_LBUTTONDBLCLK && pMsg->hwnd == m_hWnd)
        pMsg->message = WM_LBUTTONDOWN;
    return CButton::PreTranslateMessage(pMsg);
}

void CMSButton::OnMouseMove(UINT, POINT)
{
    if (m_nTracking == 0)
        m_nTracking = TrackMouseEvent(TME_HOVER | TME_LEAVE, 1) ? 1 : 0;
    Default();
    HWND hParent = GetParent();
    if (hParent != nullptr)
        ::SendMessageW(hParent, WM_MOUSEMOVE, 1, 1);
}

LRESULT CMSButton::OnMouseHover(WPARAM, LPARAM)
{
    m_nHover = 1;
    Invalidate(TRUE);
    return 1;
}

LRESULT CMSButton::OnMouseLeave(WPARAM, LPARAM)
{
    m_nTracking = 0;
    m_nHover = 0;
    Invalidate(FALSE);
    return 0;
}

void CMSButton::OnLButtonDown(UINT, POINT)
{
    HWND hParent = GetParent();
    if (hParent != nullptr)
        ::SendMessageW(hParent, WM_LBUTTONDOWN, static_cast<WPARAM>(GetDlgCtrlID()), 0);
    Default();
}

void CMSButton::OnLButtonUp(UINT, POINT)
{
    HWND hParent = GetParent();
    if (hParent != nullptr)
        ::SendMessageW(hParent, WM_LBUTTONUP, static_cast<WPARAM>(GetDlgCtrlID()), 0);
    Default();
}

void CMSButton::ApplyShape(int w, int h, UINT nDpi)
{
    const int a = kit::Scale(2, nDpi);
    const int b = kit::Scale(3, nDpi);
    const POINT points[8] = {{a, 0}, {w - a, 0}, {w, b}, {w, h - b}, {w - b, h}, {b, h}, {0, h - b}, {0, a}};
    m_rgnShape.DeleteObject();
    SetWindowRgn(nullptr, FALSE);
    if (!m_rgnShape.CreatePolygonRgn(points, 8, ALTERNATE))
        return;
    // The window gets a copy: the system owns and deletes the region it is given, while
    // the button keeps its own for as long as it needs it.
    CRgn rgnWindow;
    if (rgnWindow.CopyRgn(m_rgnShape) && SetWindowRgn(rgnWindow, TRUE) != 0)
        rgnWindow.Detach();
    m_sizeShape = SIZE{w, h};
    m_nShapeDpi = nDpi;
}

void CMSButton::DrawItem(LPDRAWITEMSTRUCT lpDIS)
{
    // 1. The shape follows the size; the same region is in force at every draw.
    RECT rcWindow;
    GetWindowRect(&rcWindow);
    const int w = Width(rcWindow);
    const int h = Height(rcWindow);
    const UINT nDpi = kit::DpiOf(m_hWnd);
    // Lines of the face and frame are t wide.
    const int t = kit::LineWidth(nDpi);
    if (w != m_sizeShape.cx || h != m_sizeShape.cy || nDpi != m_nShapeDpi)
        ApplyShape(w, h, nDpi);

    // 2. Everything below is drawn off screen.
    CDC dcItem(lpDIS->hDC);
    CMMemDC dc(&dcItem);
    RECT r = lpDIS->rcItem;
    const UINT state = lpDIS->itemState;
    const std::wstring text = GetWindowText();

    // 3. Face outline, filled with the surface's own (white) brush.
    CPen penFace(PS_INSIDEFRAME, t, kFaceOutline);
    HGDIOBJ hOldPen = dc.SelectObject(penFace);
    const int nCorner = kit::Scale(6, nDpi);
    dc.RoundRect(&r, POINT{nCorner, nCorner});

    // 4., 5.
    m_nFocus = (state & ODS_FOCUS) != 0 ? 1 : 0;
    ::InflateRect(&r, -kit::SystemMetricAt(SM_CXEDGE, nDpi), -kit::SystemMetricAt(SM_CYEDGE, nDpi));

    // 6. Ramp: light at the top, or darker and rising from the bottom while pressed.
    const COLORREF c = Shade(m_crBase, 16);
    const int n = Height(r);
    if ((state & ODS_DISABLED) != 0) {
        CBrush brFlat(Shade(c, -32));
        dc.FillRect(&r, brFlat);
    } else if (n > 0) {
        const double step = 25.0 / n;
        const bool bPressed = (state & ODS_SELECTED) != 0;
        const COLORREF start = bPressed ? Shade(c, -32) : c;
        for (int i = 0; i < n; ++i) {
            CPen penRow(PS_SOLID, 1, Shade(start, -static_cast<int>(i * step)));
            HGDIOBJ hPrev = dc.SelectObject(penRow);
            const int y = bPressed ? r.bottom - i : r.top + i;
            Line(dc, r.left, y, r.right, y);
            dc.SelectObject(hPrev);
        }
    }

    // 7. Two-tone frame: orange while the focused button is hovered, blue while focused,
    // shades of the base colour otherwise.
    COLORREF crA, crB, crC, crD;
    if (m_nFocus != 0 && m_nHover != 0) {
        crA = RGB(255, 219, 140);
        crB = RGB(255, 243, 206);
        crC = RGB(255, 178, 49);
        crD = RGB(231, 150, 0);
    } else if (m_nFocus != 0) {
        crA = RGB(189, 215, 247);
        crB = RGB(206, 231, 255);
        crC = RGB(140, 174, 231);
        crD = RGB(107, 130, 239);
    } else {
        crA = Shade(m_crBase, -32);
        crB = Shade(m_crBase, -16);
        crC = Shade(m_crBase, -20);
        crD = Shade(m_crBase, -8);
    }
    {
        // Rows and columns t thick: A inside R's edge, B above it, C round its left, bottom
        // and right, D under it.
        const int L = r.left, T = r.top, X = r.right - t, Y = r.bottom - t;
        dc.FillSolidRect(L - t, T, X + 2 * t - L, t, crA);
        dc.FillSolidRect(L, T, t, Y - T, crA);
        dc.FillSolidRect(X, T, t, Y - T, crA);
        dc.FillSolidRect(L, T - t, X + t - L, t, crB);
        dc.FillSolidRect(L - t, T + t, t, Y - T - t, crC);
        dc.FillSolidRect(L - t, Y, X + 2 * t - L, t, crC);
        dc.FillSolidRect(X + t, T, t, Y + t - T, crC);
        dc.FillSolidRect(L, Y + t, X + t - L, t, crD);
    }

    // 8. Caption set-up.
    RECT q = r;
    HGDIOBJ hOldFont = dc.SelectObject(m_fontCaption.Get(nDpi));
    if ((state & ODS_SELECTED) != 0)
        ::OffsetRect(&q, t, t);
    dc.SetTextColor((state & (ODS_SELECTED | ODS_DISABLED)) != 0 ? kGreyCaption : m_crText);
    const int nOldBkMode = dc.SetBkMode(TRANSPARENT);
    const UINT nIconFlags = DST_ICON | ((state & ODS_DISABLED) != 0 ? DSS_DISABLED : 0);
    const SIZE sizeIcon{m_nIconWidth, m_nIconHeight};

    if (!text.empty()) {
        // 9. Caption with the icon left of it or above it, the pair centred.
        dc.DrawText(text, &r, DT_CALCRECT | DT_WORDBREAK);
        if (m_nAlign == 0) {
            const int dx = m_hIcon != nullptr ? (Width(q) - Width(r) - m_nIconWidth - kit::Scale(6, nDpi)) / 2 : 0;
            const int dy = (Height(q) - Height(r)) / 2;
            ::InflateRect(&q, -dx, -dy);
            if (m_hIcon != nullptr) {
                dc.DrawState(POINT{q.left, (q.top + q.bottom) / 2 - m_nIconHeight / 2}, sizeIcon, m_hIcon, nIconFlags);
                ::OffsetRect(&q, m_nIconWidth - m_nIconWidth / 2, 0);
            }
            dc.DrawText(text, &q, DT_CENTER | DT_WORDBREAK);
        } else if (m_nAlign == 1) {
            const int dy = (Height(q) - Height(r) - (m_hIcon != nullptr ? m_nIconHeight : 0)) / 2;
            const int dx = (Width(q) - Width(r)) / 2;
            ::InflateRect(&q, -dx, -dy);
            if (m_hIcon != nullptr) {
                dc.DrawState(POINT{(q.left + q.right) / 2 - m_nIconWidth / 2, q.top}, sizeIcon, m_hIcon, nIconFlags);
                ::OffsetRect(&q, 0, m_nIconHeight);
            }
            dc.DrawText(text, &q, DT_CENTER | DT_WORDBREAK);
        }
    } else {
        // 10. Only an icon: centred both ways.
        const int dx = m_hIcon != nullptr ? (Width(q) - m_nIconWidth) / 2 : 0;
        ::InflateRect(&q, -dx, 0);
        if (m_hIcon != nullptr)
            dc.DrawState(POINT{q.left, (q.top + q.bottom) / 2 - m_nIconHeight / 2}, sizeIcon, m_hIcon, nIconFlags);
    }

    // 11. Leave the surface as found; its destructor copies the face to the screen.
    dc.SetBkMode(nOldBkMode);
    dc.SelectObject(hOldFont);
    dc.SelectObject(hOldPen);
}
