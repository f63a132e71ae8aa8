#include "controls/HSCheckBox.h"

#include "framework/Dc.h"

#include <commctrl.h>

#include <string>

BEGIN_MESSAGE_MAP(CHSCheckBox, CButton)
    ON_WM_LBUTTONDOWN()
    ON_WM_LBUTTONUP()
    ON_WM_ERASEBKGND()
    ON_WM_LBUTTONDBLCLK()
    ON_KEY_MESSAGE(WM_KEYUP, CHSCheckBox::OnKeyUp)
    ON_WM_DRAWITEM_REFLECT()
END_MESSAGE_MAP()

CHSCheckBox::CHSCheckBox()
    : m_crText(RGB(30, 30, 30)), m_crBack(RGB(255, 255, 255)), m_bBorder(1), m_bTick(true), m_bIndicator(0),
      m_bNotify(0), m_bEraseBkgnd(0), m_bChecked(false)
{
    m_font.SetPointFont(100, L"Tahoma");
}

CHSCheckBox::~CHSCheckBox() = default;

void CHSCheckBox::PreSubclassWindow()
{
    // Whatever kind of button the template made, it is drawn by us from now on.
    ModifyStyle(BS_TYPEMASK, BS_OWNERDRAW);
    CButton::PreSubclassWindow();
    HFONT hFont = GetFont();
    if (hFont == nullptr)
        hFont = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
    // The template's font is made for the window's DPI.
    LOGFONTW lf{};
    if (::GetObjectW(hFont, sizeof(lf), &lf) != 0)
        m_font.SetLogFont(lf, kit::DpiOf(m_hWnd));
}

void CHSCheckBox::DrawItem(LPDRAWITEMSTRUCT lpDIS)
{
    const RECT rc = lpDIS->rcItem;
    const int W = rc.right - rc.left;
    const int H = rc.bottom - rc.top;
    const int B = H - H / 5;
    const int Y2 = B + (H - B) / 2;
    // Sizes at 96 DPI, scaled; lines are t wide.
    const UINT nDpi = kit::DpiOf(m_hWnd);
    auto S = [nDpi](int v) { return kit::Scale(v, nDpi); };
    const int t = kit::LineWidth(nDpi);
    const bool bDisabled = (lpDIS->itemState & ODS_DISABLED) != 0;

    CDC dcItem(lpDIS->hDC);
    CDC dc;
    dc.CreateCompatibleDC(&dcItem);
    CBitmap bitmap;
    bitmap.CreateCompatibleBitmap(&dcItem, W, H);
    const COLORREF crMark = bDisabled ? RGB(120, 120, 120) : RGB(255, 0, 0);
    const COLORREF crCheckedText = bDisabled ? m_crText : RGB(165, 42, 42);
    CPen pen(PS_INSIDEFRAME, t, bDisabled ? RGB(120, 120, 120) : RGB(30, 30, 30));
    CBrush brBox(m_bPressed != 0 ? RGB(110, 100, 120) : RGB(255, 255, 255));
    CBrush brMark(crMark);
    CBrush brIndicator(RGB(100, 149, 237));
    {
        CSelectObject selBitmap(dc, bitmap);
        CSelectObject selFont(dc, m_font.Get(nDpi));

        // 1., 2. Caption size; background (also the caption's background colour).
        const std::wstring text = GetWindowText();
        const SIZE size = dc.GetTextExtent(text);
        dc.FillSolidRect(&rc, m_crBack);
        dc.SetBkColor(m_crBack);
        if (m_bBorder == 1)
            dc.Rectangle(&rc);

        // 3. Box brush and pen by state.
        CSelectObject selBrush(dc, brBox);
        CSelectObject selPen(dc, pen);
        COLORREF crCaption = m_crText;
        if (m_bIndicator != 0) {
            // 4. Indicator style: a blue bar instead of the box.
            dc.SelectObject(brIndicator);
            dc.Rectangle(S(5), S(7), B - S(1), Y2 - S(4));
        } else {
            // 5. The box and its mark.
            dc.Rectangle(S(3), S(3), B + S(1), Y2);
            if (m_bChecked) {
                if (m_bTick) {
                    // A tick of 2t one-pixel strokes, each one pixel further in than the last.
                    CPen penTick(PS_SOLID, 1, bDisabled ? RGB(120, 120, 120) : RGB(30, 30, 30));
                    CSelectObject selTick(dc, penTick);
                    for (int k = 0; k < 2 * t; ++k) {
                        const POINT stroke[3] = {{rc.left + S(1) + k, rc.top + B / 2 + S(3)},
                                                 {rc.left + B / 2, rc.top + B - S(2) + k},
                                                 {rc.left + B + S(1) - k, rc.top - S(2) + k}};
                        dc.Polyline(stroke, 3);
                    }
                } else {
                    dc.SelectObject(brMark);
                    dc.Rectangle(S(5), S(5), B - S(1), Y2 - S(2));
                }
                crCaption = crCheckedText;
            }
        }

        // 6. Caption, opaque on the background colour.
        dc.SetTextColor(crCaption);
        dc.SetBkMode(OPAQUE);
        dc.TextOut(B + S(10), (H - size.cy) / 2, text);

        dcItem.BitBlt(rc.left, rc.top, W, H, &dc, 0, 0, SRCCOPY);
    }
}

void CHSCheckBox::OnLButtonDown(UINT, POINT)
{
    m_bPressed = 1;
    SetFocus();
    SetCapture();
    Invalidate(TRUE);
    Default();
}

void CHSCheckBox::OnLButtonDblClk(UINT, POINT)
{
    // The second press of a double click is a press like the first (the system would only
    // report "double clicked" for an owner-drawn button): two clicks, two toggles.
    m_bPressed = 1;
    SetFocus();
    SetCapture();
    Invalidate(TRUE);
}

void CHSCheckBox::OnLButtonUp(UINT, POINT point)
{
    ::ReleaseCapture();
    RECT rcClient;
    GetClientRect(&rcClient);
    // Only a click that began on the box counts: a press elsewhere dragged onto it is no click.
    if (m_bPressed != 0 && ::PtInRect(&rcClient, point)) {
        m_bChecked = !m_bChecked;
        const int nID = GetDlgCtrlID();
        HWND hParent = GetParent();
        ::SendMessageW(hParent, WM_COMMAND, MAKEWPARAM(nID, BN_CLICKED), reinterpret_cast<LPARAM>(m_hWnd));
        if (m_bNotify != 0) {
            // Sent, not posted: the header lives on this stack.
            NMHDR hdr{};
            hdr.hwndFrom = m_hWnd;
            hdr.idFrom = static_cast<UINT_PTR>(nID);
            hdr.code = TCN_SELCHANGE;
            ::SendMessageW(hParent, WM_NOTIFY, static_cast<WPARAM>(nID), reinterpret_cast<LPARAM>(&hdr));
        }
    }
    m_bPressed = 0;
    Invalidate(TRUE);
    Default();
}

void CHSCheckBox::OnKeyUp(UINT nChar, UINT, UINT)
{
    // The space bar clicks a focused check box; the system sends the BN_CLICKED, the box
    // keeps its own state in step.
    if (nChar == VK_SPACE && (GetState() & BST_PUSHED) != 0) {
        m_bChecked = !m_bChecked;
        Invalidate(TRUE);
    }
    Default();
}

BOOL CHSCheckBox::OnEraseBkgnd(CDC*)
{
    return m_bEraseBkgnd == 0 ? TRUE : FALSE;
}
