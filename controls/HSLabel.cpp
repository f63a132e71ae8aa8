#include "controls/HSLabel.h"

#include <algorithm>

BEGIN_MESSAGE_MAP(CHSLabel, CStatic)
    ON_WM_TIMER()
    ON_WM_SYSCOLORCHANGE()
    ON_WM_PAINT()
    ON_WM_ERASEBKGND()
    ON_WM_CTLCOLOR_REFLECT()
END_MESSAGE_MAP()

LRESULT CHSLabel::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (HandleSelfPaintedStatic(m_hWnd, message, wParam, lParam, &result))
        return result;
    return CStatic::WindowProc(message, wParam, lParam);
}

namespace {
enum FlashMode { kFlashNone = 0, kFlashText = 1, kFlashBackground = 2 };
}

CHSLabel::CHSLabel() : m_crText(RGB(20, 20, 20)), m_crHighlight(RGB(255, 255, 255))
{
    m_brDefault.CreateSolidBrush(::GetSysColor(COLOR_BTNFACE));
}

CHSLabel::~CHSLabel()
{
    m_brDefault.DeleteObject();
    m_brOwn.DeleteObject();
    ReleaseSnapshot();
}

BOOL CHSLabel::PreCreateWindow(CREATESTRUCTW& cs)
{
    return CStatic::PreCreateWindow(cs);
}

void CHSLabel::PreSubclassWindow()
{
    CStatic::PreSubclassWindow();
    HFONT hFont = GetFont();
    if (hFont == nullptr)
        hFont = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
    // The template's font is made for the window's DPI.
    LOGFONTW lf{};
    if (::GetObjectW(hFont, sizeof(lf), &lf) != 0)
        m_font.SetLogFont(lf, kit::DpiOf(m_hWnd));
}

void CHSLabel::ReleaseSnapshot()
{
    if (m_dcSnapshot.m_hDC != nullptr && m_hSnapshotOldBitmap != nullptr)
        m_dcSnapshot.SelectObject(m_hSnapshotOldBitmap);
    m_hSnapshotOldBitmap = nullptr;
    m_bmpSnapshot.DeleteObject();
    if (m_dcSnapshot.m_hDC != nullptr) {
        ::DeleteDC(m_dcSnapshot.m_hDC);
        m_dcSnapshot.m_hDC = nullptr;
    }
}

void CHSLabel::Redraw()
{
    if (m_hWnd == nullptr)
        return;
    if (m_dcSnapshot.m_hDC != nullptr) {
        CClientDC dc(this);
        Paint(dc);
    } else {
        Invalidate(FALSE);
    }
}

void CHSLabel::StopTimer()
{
    if (m_bTimer != 0) {
        KillTimer(kFlashTimer);
        m_bTimer = 0;
    }
}

CHSLabel& CHSLabel::SetBkColor(COLORREF cr, COLORREF crEnd, bool bGradient)
{
    m_crBack = cr;
    m_crGradientEnd = crEnd;
    m_bGradient = bGradient ? 1 : 0;
    m_brOwn.DeleteObject();
    if (!bGradient)
        m_brOwn.CreateSolidBrush(cr);
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetTextColor(COLORREF cr)
{
    m_crText = cr;
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetFontBold(bool bBold)
{
    m_font.Edit([bBold](LOGFONTW& lf) { lf.lfWeight = bBold ? FW_BOLD : FW_NORMAL; });
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetFontName(const wchar_t* lpFaceName, BYTE nCharSet)
{
    m_font.Edit([&](LOGFONTW& lf) {
        lstrcpynW(lf.lfFaceName, lpFaceName != nullptr ? lpFaceName : L"", LF_FACESIZE);
        lf.lfCharSet = nCharSet;
    });
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetFontSize(int nPoints)
{
    // The height of a font of that many points at the label's DPI, its own width.
    const UINT nDpi = kit::DpiOf(m_hWnd);
    LOGFONTW lf = m_font.LogFontAt(nDpi);
    lf.lfHeight = -::MulDiv(nPoints * 10, static_cast<int>(nDpi), 720);
    lf.lfWidth = 0;
    m_font.SetLogFont(lf, nDpi);
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetSunken(bool bSunken)
{
    if (bSunken)
        ModifyStyleEx(0, WS_EX_STATICEDGE, SWP_FRAMECHANGED);
    else
        ModifyStyleEx(WS_EX_STATICEDGE, 0, SWP_FRAMECHANGED);
    return *this;
}

CHSLabel& CHSLabel::SetBorder(bool bBorder)
{
    m_bBorder = bBorder ? 1 : 0;
    return *this;
}

CHSLabel& CHSLabel::SetTransparent(bool bTransparent)
{
    m_bTransparent = bTransparent ? 1 : 0;
    ModifyStyleEx(0, WS_EX_TRANSPARENT);
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::FlashText(bool bActivate)
{
    StopTimer();
    if (bActivate) {
        m_nFlashPhase = 0;
        m_bTimer = SetTimer(kFlashTimer, 500) != 0 ? 1 : 0;
        m_nFlashMode = kFlashText;
    } else {
        m_nFlashMode = kFlashNone;
        // Do not leave the text hidden if flashing stops in its dark phase.
        Redraw();
    }
    return *this;
}

CHSLabel& CHSLabel::FlashBackground(bool bActivate, UINT nPeriodMs)
{
    StopTimer();
    if (bActivate) {
        m_nFlashPhase = 0;
        m_bTimer = SetTimer(kFlashTimer, nPeriodMs) != 0 ? 1 : 0;
        m_nFlashMode = kFlashBackground;
    } else {
        m_nFlashMode = kFlashNone;
        Redraw();
    }
    return *this;
}

CHSLabel& CHSLabel::SetText3D(bool b3D, int nDirection)
{
    m_bText3D = b3D ? 1 : 0;
    m_n3DDirection = nDirection;
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetLogFont(const LOGFONTW& lf)
{
    m_font.SetLogFont(lf, kit::DpiOf(m_hWnd));
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetHighlightColor(COLORREF cr)
{
    m_crHighlight = cr;
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetBorderColor(COLORREF cr)
{
    m_crBorder = cr;
    Redraw();
    return *this;
}

CHSLabel& CHSLabel::SetText(const wchar_t* lpText)
{
    const std::wstring text = lpText != nullptr ? lpText : L"";
    if (text != m_strText) {
        m_strText = text;
        Redraw();
    }
    return *this;
}

void CHSLabel::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == kFlashTimer) {
        m_nFlashPhase = m_nFlashPhase == 0 ? 1 : 0;
        Redraw();
    }
    Default();
}

void CHSLabel::OnSysColorChange()
{
    Default();
    // The parent's pixels are taken again at the next paint; the default background follows
    // the new face colour.
    ReleaseSnapshot();
    m_brDefault.CreateSolidBrush(::GetSysColor(COLOR_BTNFACE));
}

void CHSLabel::OnPaint()
{
    CPaintDC dc(this);
    Paint(dc);
}

BOOL CHSLabel::OnEraseBkgnd(CDC*)
{
    return TRUE;
}

HBRUSH CHSLabel::CtlColor(CDC*, UINT)
{
    return static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
}

void CHSLabel::DrawGradient(CDC& dc, const RECT& rc)
{
    const int W = rc.right - rc.left;
    const int n = std::min(W, 100);
    const int nSteps = std::max(n, 1);
    const int stepR = ((GetRValue(m_crGradientEnd) - GetRValue(m_crBack)) * 256) / nSteps;
    const int stepG = ((GetGValue(m_crGradientEnd) - GetGValue(m_crBack)) * 256) / nSteps;
    const int stepB = ((GetBValue(m_crGradientEnd) - GetBValue(m_crBack)) * 256) / nSteps;
    int r = GetRValue(m_crBack) * 256;
    int g = GetGValue(m_crBack) * 256;
    int b = GetBValue(m_crBack) * 256;
    const int nStripWidth = W / nSteps;

    CSelectObject selPen(dc, ::GetStockObject(NULL_PEN));
    int left = rc.left;
    for (int i = 0; i < n; ++i) {
        const int right = i == n - 1 ? rc.right : left + nStripWidth;
        CBrush brush(RGB(r / 256, g / 256, b / 256));
        CSelectObject selBrush(dc, brush);
        // Without a pen a rectangle leaves out its last row and column: one more of each
        // covers the strip and the label's bottom row.
        dc.Rectangle(left, rc.top, right + 1, rc.bottom + 1);
        left = right;
        r += stepR;
        g += stepG;
        b += stepB;
    }
}

void CHSLabel::Paint(CDC& dcTarget)
{
    if (m_strText.empty())
        m_strText = GetWindowText();

    RECT rc;
    GetClientRect(&rc);
    const int w = rc.right - rc.left;
    const int h = rc.bottom - rc.top;
    const UINT nDpi = kit::DpiOf(m_hWnd);
    CDC dc;
    dc.CreateCompatibleDC(&dcTarget);
    CBitmap bitmap;
    bitmap.CreateCompatibleBitmap(&dcTarget, w, h);
    CSelectObject selBitmap(dc, bitmap);

    // Background.
    if (m_bTransparent != 0) {
        if (m_dcSnapshot.m_hDC == nullptr) {
            HWND hParent = GetParent();
            HDC hParentDC = ::GetDC(hParent);
            CDC dcParent(hParentDC);
            RECT rcInParent;
            GetWindowRect(&rcInParent);
            ::MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rcInParent), 2);
            m_dcSnapshot.CreateCompatibleDC(&dcParent);
            m_bmpSnapshot.CreateCompatibleBitmap(&dcParent, w, h);
            m_hSnapshotOldBitmap = m_dcSnapshot.SelectObject(m_bmpSnapshot);
            m_dcSnapshot.BitBlt(0, 0, w, h, &dcParent, rcInParent.left, rcInParent.top, SRCCOPY);
            ::ReleaseDC(hParent, hParentDC);
        }
        dc.BitBlt(0, 0, w, h, &m_dcSnapshot, 0, 0, SRCCOPY);
    } else if (m_bGradient != 0) {
        DrawGradient(dc, rc);
    } else {
        HBRUSH hBrush = m_brOwn.IsNull() ? m_brDefault.GetSafeHandle() : m_brOwn.GetSafeHandle();
        if (m_nFlashMode == kFlashBackground && m_nFlashPhase == 0)
            hBrush = m_brDefault;
        dc.FillRect(&rc, hBrush);
    }

    dc.SetBkMode(TRANSPARENT);
    COLORREF crText = m_crText;
    CSelectObject selFont(dc, m_font.IsEmpty() ? static_cast<HFONT>(::GetStockObject(SYSTEM_FONT)) : m_font.Get(nDpi));

    // Text flashing: in the dark phase the text takes the colour of the own background.
    if (m_nFlashPhase == 0 && m_nFlashMode == kFlashText) {
        LOGBRUSH lb{};
        crText = !m_brOwn.IsNull() && ::GetObjectW(m_brOwn, sizeof(lb), &lb) != 0 ? lb.lbColor : RGB(0, 0, 0);
    }
    dc.SetTextColor(crText);

    if (m_bBorder == 1) {
        CPen penBorder(PS_INSIDEFRAME, kit::Scale(2, nDpi), m_crBorder);
        CSelectObject selPen(dc, penBorder);
        dc.MoveTo(rc.left, rc.top);
        dc.LineTo(rc.right - 1, rc.top);
        dc.LineTo(rc.right - 1, rc.bottom - 1);
        dc.LineTo(rc.left, rc.bottom - 1);
        dc.LineTo(rc.left, rc.top);
    }

    const DWORD dwStyle = static_cast<DWORD>(GetStyle());
    UINT nFormat;
    switch (dwStyle & SS_TYPEMASK) {
    case SS_CENTER:
        nFormat = DT_CENTER | DT_WORDBREAK;
        break;
    case SS_RIGHT:
        nFormat = DT_RIGHT | DT_WORDBREAK;
        break;
    case SS_LEFTNOWORDWRAP:
        nFormat = DT_LEFT;
        break;
    default:
        nFormat = DT_WORDBREAK | DT_EDITCONTROL;
        break;
    }
    if (m_strText.find(L'\t') != std::wstring::npos)
        nFormat |= DT_EXPANDTABS;
    if ((dwStyle & SS_CENTERIMAGE) != 0 && m_strText.find(L"\r\n") == std::wstring::npos)
        nFormat |= DT_SINGLELINE | DT_VCENTER;

    RECT rcText = rc;
    dc.DrawText(m_strText, &rcText, nFormat);
    if (m_bText3D != 0) {
        dc.SetTextColor(m_crHighlight);
        const int t = kit::LineWidth(nDpi);
        if (m_n3DDirection != 0)
            ::OffsetRect(&rcText, t, t);
        else
            ::OffsetRect(&rcText, -t, -t);
        dc.DrawText(m_strText, &rcText, nFormat);
    }

    dcTarget.BitBlt(0, 0, w, h, &dc, 0, 0, SRCCOPY);
}
