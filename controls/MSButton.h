// The kit's push button: an owner-drawn face with rounded, clipped corners, a vertical
// colour ramp and a two-tone frame that shows focus and hover, with an optional icon left
// of or above the caption. It tells its parent about presses and turns a double click into
// a second click. The owning dialog binds it to a template button by id.
#pragma once

#include "controls/Dpi.h"
#include "framework/Button.h"
#include "framework/Gdi.h"

class CMSButton : public CButton {
    DECLARE_DYNCREATE(CMSButton)
public:
    CMSButton();
    ~CMSButton() override;

    // Takes ownership of hIcon (null clears the icon); a previous icon is destroyed.
    void SetIcon(HICON hIcon);

    // The colour c moved by the signed step d: red and green by d, blue in proportion to
    // itself (b * d / 192), clamped to 255 upwards and to 0 downwards.
    static COLORREF Shade(COLORREF cr, int d);

    // Icon placement: 0 = left of the caption, 1 = above it.
    int m_nAlign;
    COLORREF m_crBase;
    COLORREF m_crText;

    // True while the mouse rests over the button (hover reported, no leave since).
    bool IsHovering() const { return m_nHover != 0; }

    bool PreTranslateMessage(MSG* pMsg) override;
    virtual void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct);

protected:
    void PreSubclassWindow() override;

    LRESULT OnMouseLeave(WPARAM wParam, LPARAM lParam);
    LRESULT OnMouseHover(WPARAM wParam, LPARAM lParam);
    void OnMouseMove(UINT nFlags, POINT point);
    void OnLButtonDown(UINT nFlags, POINT point);
    void OnLButtonUp(UINT nFlags, POINT point);

    DECLARE_MESSAGE_MAP()

    // 1 while the mouse rests over the button; derived buttons may show the hover look.
    int m_nHover = 0;

private:
    // Gives the window the clipped-corner shape of its current size and DPI (once each).
    void ApplyShape(int w, int h, UINT nDpi);

    kit::CDpiFont m_fontCaption;
    CRgn m_rgnShape;
    SIZE m_sizeShape{-1, -1};
    UINT m_nShapeDpi = 0;
    int m_nTracking = 0;
    int m_nFocus = 0;
    int m_nIconWidth = 0;
    int m_nIconHeight = 0;
    HICON m_hIcon = nullptr;
};
