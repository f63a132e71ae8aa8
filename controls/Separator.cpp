#include "controls/Separator.h"

#include "framework/Dc.h"

#include <algorithm>
#include <string>

BEGIN_MESSAGE_MAP(CSeparator, CStatic)
    ON_WM_PAINT()
END_MESSAGE_MAP()

LRESULT CSeparator::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (HandleSelfPaintedStatic(m_hWnd, message, wParam, lParam, &result))
        return result;
    return CStatic::WindowProc(message, wParam, lParam);
}

CSeparator::CSeparator()
    : m_crLine(::GetSysColor(COLOR_BTNSHADOW)), m_crFace(::GetSysColor(COLOR_BTNFACE)),
      m_crCaption(RGB(240, 240, 230)), m_nLineWidth(1)
{
    m_font.SetPointFont(115, L"Tahoma", FW_BOLD);
}

CSeparator::~CSeparator() = default;

void CSeparator::OnPaint()
{
    CPaintDC dc(this);
    const DWORD dwStyle = static_cast<DWORD>(GetStyle());
    RECT rcWindow, rcClient;
    GetWindowRect(&rcWindow);
    GetClientRect(&rcClient);
    const int w = rcWindow.right - rcWindow.left;
    const int h = rcWindow.bottom - rcWindow.top;
    const UINT nDpi = kit::DpiOf(m_hWnd);
    // The line's rows (or columns) centred on the middle one.
    const int nWidth = std::max(kit::Scale(m_nLineWidth, nDpi), 1);
    if (h > w) {
        dc.FillSolidRect(w / 2 - (nWidth - 1) / 2, 0, nWidth, h, m_crLine);
        return;
    }
    dc.FillSolidRect(0, h / 2 - (nWidth - 1) / 2, w, nWidth, m_crLine);
    dc.SetBkColor(m_crFace);

    const std::wstring caption = GetWindowText();
    if (caption.empty())
        return;
    std::wstring text;
    UINT nFormat = 0;
    const DWORD dwAlign = dwStyle & SS_TYPEMASK;
    if (dwAlign == SS_CENTER) {
        text = L"  " + caption + L"  ";
        nFormat = DT_CENTER;
    } else if (dwAlign == SS_RIGHT) {
        text = L"  " + caption;
        nFormat = DT_RIGHT;
    } else {
        text = caption + L"  ";
        nFormat = DT_LEFT;
    }
    if ((dwStyle & SS_NOPREFIX) != 0)
        nFormat |= DT_NOPREFIX;
    CSelectObject selFont(dc, m_font.Get(nDpi));
    dc.SetTextColor(m_crCaption);
    // Opaque: the caption's face-coloured background interrupts the line.
    dc.DrawText(text, &rcClient, nFormat);
}
