// The kit's check box: an owner-drawn button with its own checked state, drawn as a box
// with a tick or a filled square (or as a blue indicator bar), that reports a completed
// click to its parent as BN_CLICKED. Pages read and write m_bChecked directly.
#pragma once

#include "controls/Dpi.h"
#include "framework/Button.h"

class CHSCheckBox : public CButton {
public:
    CHSCheckBox();
    ~CHSCheckBox() override;

    virtual void DrawItem(LPDRAWITEMSTRUCT lpDrawItemStruct);

    COLORREF m_crText;
    COLORREF m_crBack;
    int m_bBorder;
    bool m_bTick;
    int m_bIndicator;
    // 1: a click also sends WM_NOTIFY (TCN_SELCHANGE) to the parent.
    int m_bNotify;
    // 1: WM_ERASEBKGND lets the background be erased.
    int m_bEraseBkgnd;
    bool m_bChecked;

protected:
    void PreSubclassWindow() override;

    void OnLButtonDown(UINT nFlags, POINT point);
    void OnLButtonUp(UINT nFlags, POINT point);
    void OnLButtonDblClk(UINT nFlags, POINT point);
    void OnKeyUp(UINT nChar, UINT nRepCnt, UINT nFlags);
    BOOL OnEraseBkgnd(CDC* pDC);

    DECLARE_MESSAGE_MAP()

private:
    kit::CDpiFont m_font;
    int m_bPressed = 0;
};
