#include "framework/Gdi.h"
#include <cstdlib>

#include "framework/Dc.h"
#include "framework/Wnd.h"

CDC::~CDC()
{
    if (m_bOwned && m_hDC != nullptr)
        ::DeleteDC(m_hDC);
}

bool CDC::CreateCompatibleDC(CDC* pDC)
{
    if (m_bOwned && m_hDC != nullptr)
        ::DeleteDC(m_hDC);
    m_hDC = ::CreateCompatibleDC(pDC != nullptr ? pDC->m_hDC : nullptr);
    m_bOwned = m_hDC != nullptr;
    return m_bOwned;
}

void CDC::FillSolidRect(const RECT* pRect, COLORREF crColor)
{
    const COLORREF crOld = ::SetBkColor(m_hDC, crColor);
    ::ExtTextOutW(m_hDC, 0, 0, ETO_OPAQUE, pRect, nullptr, 0, nullptr);
    ::SetBkColor(m_hDC, crOld);
}

void CDC::FillSolidRect(int x, int y, int cx, int cy, COLORREF crColor)
{
    const RECT rc{x, y, x + cx, y + cy};
    FillSolidRect(&rc, crColor);
}

CPaintDC::CPaintDC(CWnd* pWnd) : m_hWnd(pWnd->m_hWnd)
{
    m_hDC = ::BeginPaint(m_hWnd, &m_ps);
    m_nSaved = m_hDC != nullptr ? ::SaveDC(m_hDC) : 0;
}

CPaintDC::~CPaintDC()
{
    if (m_hDC != nullptr && m_nSaved != 0)
        ::RestoreDC(m_hDC, m_nSaved);
    ::EndPaint(m_hWnd, &m_ps);
    m_hDC = nullptr;
}

CClientDC::CClientDC(CWnd* pWnd) : m_hWnd(pWnd != nullptr ? pWnd->m_hWnd : nullptr)
{
    m_hDC = ::GetDC(m_hWnd);
    m_nSaved = m_hDC != nullptr ? ::SaveDC(m_hDC) : 0;
}

CClientDC::~CClientDC()
{
    if (m_hDC != nullptr) {
        if (m_nSaved != 0)
            ::RestoreDC(m_hDC, m_nSaved);
        ::ReleaseDC(m_hWnd, m_hDC);
    }
    m_hDC = nullptr;
}

CWindowDC::CWindowDC(CWnd* pWnd) : m_hWnd(pWnd != nullptr ? pWnd->m_hWnd : nullptr)
{
    m_hDC = ::GetWindowDC(m_hWnd);
    m_nSaved = m_hDC != nullptr ? ::SaveDC(m_hDC) : 0;
}

CWindowDC::~CWindowDC()
{
    if (m_hDC != nullptr) {
        if (m_nSaved != 0)
            ::RestoreDC(m_hDC, m_nSaved);
        ::ReleaseDC(m_hWnd, m_hDC);
    }
    m_hDC = nullptr;
}

bool CFont::CreatePointFont(int nPointSize, const wchar_t* lpFaceName, CDC* pDC)
{
    LOGFONTW lf{};
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfHeight = nPointSize;
    lstrcpynW(lf.lfFaceName, lpFaceName, LF_FACESIZE);
    return CreatePointFontIndirect(&lf, pDC);
}

bool CFont::CreatePointFontIndirect(const LOGFONTW* pLogFont, CDC* pDC)
{
    // lfHeight holds tenths of a point: turn it into logical units of the target device.
    HDC hDC = pDC != nullptr ? pDC->m_hDC : ::GetDC(nullptr);
    LOGFONTW lf = *pLogFont;
    POINT pt{0, ::MulDiv(::GetDeviceCaps(hDC, LOGPIXELSY), lf.lfHeight, 720)};
    ::DPtoLP(hDC, &pt, 1);
    POINT ptOrg{0, 0};
    ::DPtoLP(hDC, &ptOrg, 1);
    lf.lfHeight = -std::abs(pt.y - ptOrg.y);
    if (pDC == nullptr)
        ::ReleaseDC(nullptr, hDC);
    return CreateFontIndirect(&lf);
}

bool CBitmap::CreateCompatibleBitmap(CDC* pDC, int nWidth, int nHeight)
{
    return Attach(::CreateCompatibleBitmap(pDC->m_hDC, nWidth, nHeight));
}
