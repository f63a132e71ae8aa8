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
