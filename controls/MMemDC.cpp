#include "controls/MMemDC.h"

CMMemDC::CMMemDC(CDC* pDC) : m_pDC(pDC), m_bMemDC(!pDC->IsPrinting())
{
    pDC->GetClipBox(&m_rect);
    if (m_bMemDC) {
        CreateCompatibleDC(pDC);
        pDC->LPtoDP(&m_rect);
        m_bitmap.CreateCompatibleBitmap(pDC, m_rect.right - m_rect.left, m_rect.bottom - m_rect.top);
        m_hOldBitmap = SelectObject(m_bitmap);
        SetMapMode(pDC->GetMapMode());
        pDC->DPtoLP(&m_rect);
        SetWindowOrg(m_rect.left, m_rect.top);
    } else {
        // Borrowed, never deleted: the destructor hands it back untouched.
        m_bPrinting = pDC->m_bPrinting;
        m_hDC = pDC->m_hDC;
        m_bOwned = false;
    }
    FillSolidRect(&m_rect, pDC->GetBkColor());
}

CMMemDC::~CMMemDC()
{
    if (m_bMemDC) {
        m_pDC->BitBlt(m_rect.left, m_rect.top, m_rect.right - m_rect.left, m_rect.bottom - m_rect.top, this, m_rect.left,
                      m_rect.top, SRCCOPY);
        if (m_hOldBitmap != nullptr)
            SelectObject(m_hOldBitmap);
    } else {
        m_hDC = nullptr;
    }
}
