#include "controls/HSTabCtrl.h"

#include "framework/Dc.h"

#include <string>

BEGIN_MESSAGE_MAP(CHSTabCtrl, CWnd)
    ON_WM_PAINT()
    ON_WM_LBUTTONDOWN()
    ON_WM_SIZE()
    ON_WM_NCHITTEST()
END_MESSAGE_MAP()

LRESULT CHSTabCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (HandleSelfPaintedStatic(m_hWnd, message, wParam, lParam, &result))
        return result;
    return CWnd::WindowProc(message, wParam, lParam);
}

CHSTabCtrl::CHSTabCtrl()
    : m_nCurrent(0), m_nCount(0), m_crLine(RGB(115, 115, 115)), m_crCaption(::GetSysColor(COLOR_INACTIVECAPTIONTEXT)),
      m_crCurrentCaption(RGB(165, 42, 42)), m_crStrip(RGB(220, 220, 220)), m_crCurrentTab(::GetSysColor(COLOR_BTNFACE)),
      m_rcTabs{}, m_pPages{}, m_hPages{}, m_nOffsets{}
{
    m_fontTab.SetPointFont(100, L"Arial");
}

CHSTabCtrl::~CHSTabCtrl()
{
    RemoveAllPages();
}

bool CHSTabCtrl::AddPage(const wchar_t* lpCaption, CWnd* pOwner, int nOffsetY, CHSTabPage* pPage)
{
    if (lpCaption == nullptr || lpCaption[0] == L'\0')
        return false;
    if (m_nCount >= kMaxPages || pPage == nullptr || pPage->m_hWnd == nullptr)
        return false;

    std::wstring text = GetWindowText();
    if (text.empty())
        text = lpCaption;
    else
        text.append(L"|").append(lpCaption);
    SetWindowText(text.c_str());

    RECT rcStrip;
    GetWindowRect(&rcStrip);
    HWND hParent = GetParent();
    ::MapWindowPoints(nullptr, hParent, reinterpret_cast<POINT*>(&rcStrip), 2);
    RECT rcPage;
    pPage->GetWindowRect(&rcPage);
    pPage->SetWindowText(lpCaption);
    pPage->SetWindowPos(nullptr, rcStrip.left, rcStrip.top + nOffsetY, rcStrip.right - rcStrip.left,
                        rcPage.bottom - rcPage.top, SWP_NOZORDER);

    m_pPages[m_nCount] = pPage;
    m_hPages[m_nCount] = pPage->m_hWnd;
    m_nOffsets[m_nCount] = nOffsetY;
    ++m_nCount;
    pPage->m_pOwner = pOwner;
    ShowCurrentPage();
    return true;
}

CWnd* CHSTabCtrl::GetPage(int nIndex) const
{
    if (nIndex < 0 || nIndex >= m_nCount || m_pPages[nIndex] == nullptr)
        return nullptr;
    HWND hPage = m_hPages[nIndex];
    return ::IsWindow(hPage) && CWnd::FromHandlePermanent(hPage) == m_pPages[nIndex] ? m_pPages[nIndex] : nullptr;
}

void CHSTabCtrl::RemoveAllPages()
{
    for (int i = 0; i < m_nCount; ++i) {
        if (CWnd* pPage = GetPage(i))
            pPage->DestroyWindow();
        m_pPages[i] = nullptr;
        m_hPages[i] = nullptr;
    }
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd))
        SetWindowText(L"");
    m_nCount = 0;
    m_nCurrent = 0;
    // Old tab rectangles must not catch clicks meant for the next set of tabs.
    for (RECT& rc : m_rcTabs)
        rc = RECT{};
}

int CHSTabCtrl::FindPage(const wchar_t* lpCaption) const
{
    if (lpCaption == nullptr)
        return -1;
    for (int i = 0; i < m_nCount; ++i) {
        const CWnd* pPage = GetPage(i);
        if (pPage != nullptr && lstrcmpiW(pPage->GetWindowText().c_str(), lpCaption) == 0)
            return i;
    }
    return -1;
}

void CHSTabCtrl::ShowCurrentPage()
{
    for (int i = 0; i < m_nCount; ++i) {
        CWnd* pPage = GetPage(i);
        if (i != m_nCurrent && pPage != nullptr && pPage->IsWindowVisible())
            pPage->ShowWindow(SW_HIDE);
    }
    if (CWnd* pPage = GetPage(m_nCurrent)) {
        pPage->ShowWindow(SW_SHOW);
        pPage->RedrawWindow(nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
        pPage->PostMessage(WM_TABPAGE_ACTIVATE, 0, 0);
    }
}

void CHSTabCtrl::SelectPage(int nIndex)
{
    if (nIndex < 0 || nIndex >= m_nCount)
        return;
    m_nCurrent = nIndex;
    Invalidate(FALSE);
    ShowCurrentPage();
}

void CHSTabCtrl::OnPaint()
{
    CPaintDC dc(this);
    RECT rcClient;
    GetClientRect(&rcClient);

    // Sizes at 96 DPI, scaled; outlines t wide.
    const UINT nDpi = kit::DpiOf(m_hWnd);
    auto S = [nDpi](int v) { return kit::Scale(v, nDpi); };
    const int t = kit::LineWidth(nDpi);
    CPen penLine(PS_SOLID, 1, m_crLine);
    CSelectObject selFont(dc, m_fontTab.Get(nDpi));
    CSelectObject selPen(dc, penLine);
    dc.FillSolidRect(&rcClient, m_crStrip);

    const std::wstring text = GetWindowText();
    if (text.empty())
        return;

    int x = 0;
    int nTabHeight = 0;
    size_t nStart = 0;
    for (int i = 0; nStart <= text.size(); ++i) {
        size_t nEnd = text.find(L'|', nStart);
        if (nEnd == std::wstring::npos)
            nEnd = text.size();
        const std::wstring caption = text.substr(nStart, nEnd - nStart);
        const SIZE size = dc.GetTextExtent(caption);
        const int H = size.cy + S(4);
        const int X = x + size.cx + S(10);
        const bool bCurrent = i == m_nCurrent;
        const COLORREF crFill = bCurrent ? m_crCurrentTab : m_crStrip;

        const RECT rcFill{x + 1, 0, X, rcClient.bottom};
        dc.FillSolidRect(&rcFill, crFill);
        dc.SetBkColor(crFill);

        // The current tab stays open at the bottom: it runs into its page. A thicker outline
        // is the same path again, one pixel further in each time.
        for (int k = 0; k < t; ++k) {
            dc.MoveTo(x + k, H);
            dc.LineTo(x + k, S(4) + k);
            dc.LineTo(x + S(4) + k, k);
            dc.LineTo(X - k, k);
            dc.LineTo(X - k, H);
        }
        if (!bCurrent)
            dc.FillSolidRect(x, H - t + 1, X + 1 - x, t, m_crLine);

        dc.SetTextColor(bCurrent ? m_crCurrentCaption : m_crCaption);
        dc.SetBkMode(OPAQUE);
        dc.TextOut(x + S(5), S(2), caption);

        if (i <= kMaxPages)
            m_rcTabs[i] = RECT{x, 0, X, H};
        x = X;
        nTabHeight = H;
        if (nEnd == text.size())
            break;
        nStart = nEnd + 1;
    }
    dc.FillSolidRect(x, nTabHeight - t + 1, rcClient.right - x, t, m_crLine);
}

void CHSTabCtrl::OnLButtonDown(UINT, POINT point)
{
    for (int i = 0; i < m_nCount; ++i) {
        if (!::PtInRect(&m_rcTabs[i], point))
            continue;
        CWnd* pCurrent = GetPage(m_nCurrent);
        if (i == m_nCurrent || pCurrent == nullptr || !pCurrent->IsWindowVisible())
            return;
        m_nCurrent = i;
        Invalidate(FALSE);
        ShowCurrentPage();
        break;
    }
    Default();
}

void CHSTabCtrl::OnSize(UINT, int, int)
{
    Default();
    // Pages follow the strip's left edge and width; each keeps the place below the tabs it
    // was given and its own height, so a resized strip never ends up under its pages.
    RECT rcStrip;
    GetWindowRect(&rcStrip);
    ::MapWindowPoints(nullptr, GetParent(), reinterpret_cast<POINT*>(&rcStrip), 2);
    for (int i = 0; i < m_nCount; ++i) {
        CWnd* pPage = GetPage(i);
        if (pPage == nullptr)
            continue;
        RECT rcPage;
        pPage->GetWindowRect(&rcPage);
        pPage->SetWindowPos(nullptr, rcStrip.left, rcStrip.top + m_nOffsets[i], rcStrip.right - rcStrip.left,
                                  rcPage.bottom - rcPage.top, SWP_NOZORDER);
    }
}

LRESULT CHSTabCtrl::OnNcHitTest(POINT)
{
    // The strip usually takes over a static control, which lets clicks fall through to its
    // parent; the tabs must get them.
    return HTCLIENT;
}
