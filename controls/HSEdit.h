// The kit's edit box: coloured by focus, read-only and changed state, with an optional
// numeric key filter, an optional range clamp when it loses the focus, and integer
// accessors. Its owner binds it to a template edit control by id.
#pragma once

#include "framework/Edit.h"
#include "framework/Gdi.h"

#include <string>

class CHSEdit : public CEdit {
public:
    CHSEdit();
    ~CHSEdit() override;

    // Sets the text; a different text over a non-empty one marks the box changed.
    void SetText(const wchar_t* lpText);
    // The value as "%d", then the range clamp.
    void SetValue(int nValue);
    // The text as a number (0 when it is none).
    void GetValue(UINT& nValue) const;
    void GetValueLong(long& nValue) const;

    bool PreTranslateMessage(MSG* pMsg) override;

    COLORREF m_crFocusBack;
    COLORREF m_crFocusText;
    COLORREF m_crChangedText;
    COLORREF m_crReadOnlyBack;
    int m_nMax;
    int m_nMin;
    bool m_bChanged;
    bool m_bNumeric;
    bool m_bNoRange;

    // The keys the numeric filter lets through.
    static bool IsNumericKey(WPARAM nKey);

protected:
    HBRUSH CtlColor(CDC* pDC, UINT nCtlColor);
    BOOL OnEraseBkgnd(CDC* pDC);
    void OnNcPaint();
    int OnCreate(LPCREATESTRUCTW lpCreateStruct);
    void OnSetFocus();
    void OnKillFocus();
    void OnLButtonDblClk(UINT nFlags, POINT point);

    DECLARE_MESSAGE_MAP()

private:
    bool IsReadOnly() const;
    bool HasFocus() const { return ::GetFocus() == m_hWnd; }
    void ClampToRange();

    CBrush m_brNormal;
    CBrush m_brFocus;
    CBrush m_brReadOnly;
    std::wstring m_strLast;
};
