#include "controls/Separator.h"

#include "framework/Dc.h"

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
    m_font.CreatePointFont(115, L"Tahoma");
    LOGFONTW lf{};
    if (m_font.GetLogFont(&lf)) {
        lf.lfWeight = FW_BOLD;
        m_font.CreateFontIndirect(&lf);
    }
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
    dc.SetBkColor(m_crFace);

    CPen pen(PS_SOLID, m_nLineWidth, m_crLine);
    CSelectObject selPen(dc, pen);
    if (h > w) {
        dc.MoveTo(w / 2, 0);
        dc.LineTo(w / 2, h);
        return;
    }
    dc.MoveTo(0, h / 2);
    dc.LineTo(w, h / 2);

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
    CSelectObject selFont(dc, m_font);
    dc.SetTextColor(m_crCaption);
    // Opaque: the caption's face-coloured background interrupts the line.
    dc.DrawText(text, &rcClient, nFormat);
}
