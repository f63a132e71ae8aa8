#include "controls/MyRichEditCtrl.h"

CMyRichEditCtrl::CMyRichEditCtrl() : m_cf{}
{
    m_cf.cbSize = sizeof(m_cf);
}

void CMyRichEditCtrl::SetTextColor(COLORREF crColor)
{
    m_cf.dwEffects &= ~static_cast<DWORD>(CFE_AUTOCOLOR);
    m_cf.crTextColor = crColor;
    m_cf.dwMask = CFM_COLOR;
    SetSelectionCharFormat(m_cf);
}
