#include "controls/MyRichEditCtrl.h"

BEGIN_MESSAGE_MAP(CMyRichEditCtrl, CRichEditCtrl)
    ON_WM_RBUTTONDOWN()
END_MESSAGE_MAP()

CMyRichEditCtrl::CMyRichEditCtrl() : m_cf{}
{
    m_cf.cbSize = sizeof(m_cf);
}

CMyRichEditCtrl::~CMyRichEditCtrl() = default;

void CMyRichEditCtrl::SetTextColor(COLORREF crColor)
{
    m_cf.dwEffects &= ~static_cast<DWORD>(CFE_AUTOCOLOR);
    m_cf.crTextColor = crColor;
    m_cf.dwMask = CFM_COLOR;
    SetSelectionCharFormat(m_cf);
}

void CMyRichEditCtrl::OnRButtonDown(UINT, POINT)
{
    Default();
}

LRESULT CMyRichEditCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    const bool bKey = message == WM_KEYDOWN || message == WM_SYSKEYDOWN;
    const bool bMouse = message == WM_LBUTTONDOWN || message == WM_LBUTTONUP || message == WM_LBUTTONDBLCLK ||
                        message == WM_MOUSEMOVE;
    if (m_pInput != nullptr && (bKey || message == WM_MOUSEWHEEL || message == WM_CHAR) &&
        m_pInput->BeforeInput(message, wParam, lParam))
        return 0;
    if (m_pInput != nullptr && (bKey || bMouse)) {
        const LRESULT lResult = CRichEditCtrl::WindowProc(message, wParam, lParam);
        // The handler may have gone with the control's owner meanwhile: look again.
        if (m_pInput != nullptr)
            m_pInput->AfterInput(message, wParam, lParam);
        return lResult;
    }
    if (message != WM_PAINT)
        return CRichEditCtrl::WindowProc(message, wParam, lParam);
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    const LRESULT lResult = CRichEditCtrl::WindowProc(message, wParam, lParam);
    ::QueryPerformanceCounter(&end);
    m_dLastPaintMs = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    return lResult;
}
