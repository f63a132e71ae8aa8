// The kit's tab strip: it takes over a plain template window, keeps up to nine page
// windows (it does not own them), draws the tabs from the captions held in its own window
// text ("A|B"), shows one page at a time and tells each page when it is shown.
#pragma once

#include "controls/Dpi.h"
#include "controls/HSTabPage.h"
#include "framework/Static.h"
#include "framework/Wnd.h"

class CHSTabCtrl : public CWnd {
public:
    static constexpr int kMaxPages = 9;

    CHSTabCtrl();
    ~CHSTabCtrl() override;

    // Adds a page whose window exists already, placed nOffsetY pixels below the strip's
    // top. Refused (false) with an empty caption, a page without a window, or nine pages.
    bool AddPage(const wchar_t* lpCaption, CWnd* pOwner, int nOffsetY, CHSTabPage* pPage);
    // Destroys every page window and empties the strip.
    void RemoveAllPages();
    // Index of the first page whose window text equals the caption, case ignored; -1 if none.
    int FindPage(const wchar_t* lpCaption) const;
    void ShowCurrentPage();
    void SelectPage(int nIndex);

    // The page object at the index while its window lives, else null.
    CWnd* GetPage(int nIndex) const;
    // Hit rectangle of a tab as last painted (empty before the first paint).
    RECT GetTabRect(int nIndex) const { return nIndex >= 0 && nIndex < m_nCount ? m_rcTabs[nIndex] : RECT{}; }

    int m_nCurrent;
    int m_nCount;

    COLORREF m_crLine;
    COLORREF m_crCaption;
    COLORREF m_crCurrentCaption;
    COLORREF m_crStrip;
    COLORREF m_crCurrentTab;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnPaint();
    void OnLButtonDown(UINT nFlags, POINT point);
    void OnSize(UINT nType, int cx, int cy);
    LRESULT OnNcHitTest(POINT ptScreen);

    DECLARE_MESSAGE_MAP()

private:
    RECT m_rcTabs[kMaxPages + 1];
    kit::CDpiFont m_fontTab;
    CWnd* m_pPages[kMaxPages + 1];
    // The page windows as added: a page object that went before the strip has taken its
    // window with it, and the strip then no longer touches the object.
    HWND m_hPages[kMaxPages + 1];
    int m_nOffsets[kMaxPages + 1];
};
