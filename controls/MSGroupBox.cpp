#include "controls/MSGroupBox.h"

#include "framework/Dc.h"

#include <string>

BEGIN_MESSAGE_MAP(CMSGroupBox, CButton)
    ON_WM_PAINT()
    ON_MESSAGE(WM_WINDOWPOSCHANGING, CMSGroupBox::OnWindowPosChanging)
END_MESSAGE_MAP()

CMSGroupBox::CMSGroupBox()
    : m_crBack(::GetSysColor(COLOR_BTNFACE)), m_crCaption(RGB(58, 71, 153)), m_crFrame(RGB(115, 115, 115)),
      m_bIncludePartial(false), m_bScanFromBox(false), m_bEnabled(true), m_bDrawFrame(true)
{
    m_font.SetPointFont(100, L"Arial");
}

CMSGroupBox::~CMSGroupBox() = default;

void CMSGroupBox::OnPaint()
{
    CPaintDC dc(this);

    // The frame's inside is filled; the controls it holds are siblings that may be painted
    // before it, so their places are kept out of this paint.
    RECT rcSelf;
    GetWindowRect(&rcSelf);
    for (HWND hSibling = ::GetWindow(GetParent(), GW_CHILD); hSibling != nullptr;
         hSibling = ::GetWindow(hSibling, GW_HWNDNEXT)) {
        RECT rcSibling, rcCommon;
        if (hSibling == m_hWnd || !::IsWindowVisible(hSibling))
            continue;
        ::GetWindowRect(hSibling, &rcSibling);
        if (!::IntersectRect(&rcCommon, &rcSelf, &rcSibling) || ::EqualRect(&rcCommon, &rcSelf))
            continue;
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rcCommon), 2);
        dc.ExcludeClipRect(&rcCommon);
    }

    // Sizes at 96 DPI, scaled; the frame is t wide.
    const UINT nDpi = kit::DpiOf(m_hWnd);
    auto S = [nDpi](int v) { return kit::Scale(v, nDpi); };
    const int t = kit::LineWidth(nDpi);
    CBrush brBack(m_crBack);
    CPen penFrame(PS_INSIDEFRAME, t, m_crFrame);
    {
        CSelectObject selBrush(dc, brBack);
        CSelectObject selPen(dc, penFrame);
        CSelectObject selFont(dc, m_font.Get(nDpi));
        TEXTMETRICW tm{};
        dc.GetTextMetrics(&tm);
        const std::wstring caption = GetWindowText();

        RECT rc;
        GetClientRect(&rc);
        ::InflateRect(&rc, -t, -t);
        rc.top = tm.tmAscent / 2 + t;
        if (m_bDrawFrame)
            dc.RoundRect(&rc, POINT{S(10), S(10)});

        // Open the top edge behind the caption.
        const SIZE size = dc.GetTextExtent(caption);
        dc.FillSolidRect(S(10), size.cy / 2 - S(2), size.cx, size.cy / 2 + S(2), m_crBack);

        dc.SetBkMode(TRANSPARENT);
        dc.SetTextColor(m_bEnabled ? m_crCaption : RGB(100, 100, 100));
        dc.TextOut(S(10), 0, caption);
    }
}

LRESULT CMSGroupBox::OnWindowPosChanging(WPARAM, LPARAM)
{
    return Default();
}

void CMSGroupBox::EnableGroup(bool bEnable)
{
    RECT rcGroup;
    GetWindowRect(&rcGroup);
    HWND hWnd = m_bScanFromBox ? GetWindow(GW_HWNDNEXT) : ::GetWindow(GetParent(), GW_CHILD);
    for (; hWnd != nullptr; hWnd = ::GetWindow(hWnd, GW_HWNDNEXT)) {
        if (hWnd == m_hWnd)
            continue;
        RECT rc;
        ::GetWindowRect(hWnd, &rc);
        const bool bTopLeft = ::PtInRect(&rcGroup, POINT{rc.left, rc.top}) != FALSE;
        const bool bBottomRight = ::PtInRect(&rcGroup, POINT{rc.right, rc.bottom}) != FALSE;
        if (bTopLeft && bBottomRight) {
            ::EnableWindow(hWnd, bEnable ? TRUE : FALSE);
        } else if (bTopLeft || bBottomRight) {
            if (m_bIncludePartial)
                ::EnableWindow(hWnd, bEnable ? TRUE : FALSE);
        } else if (m_bScanFromBox) {
            break;
        }
    }
    m_bEnabled = bEnable;
}
