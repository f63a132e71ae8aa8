// The kit's static text: it takes over a template static control and draws its text off
// screen with its own colours and font, on a solid, gradient or transparent background,
// with an optional border, a three-dimensional highlight copy of the text, and flashing.
// Each setter returns the label, so settings can be chained.
#pragma once

#include "controls/Dpi.h"
#include "framework/Dc.h"
#include "framework/Gdi.h"
#include "framework/Static.h"

#include <string>

class CHSLabel : public CStatic {
public:
    CHSLabel();
    ~CHSLabel() override;

    BOOL PreCreateWindow(CREATESTRUCTW& cs) override;

    // Solid background (own brush), or a horizontal gradient from cr to crEnd.
    virtual CHSLabel& SetBkColor(COLORREF cr, COLORREF crEnd = 0, bool bGradient = false);
    virtual CHSLabel& SetTextColor(COLORREF cr);
    virtual CHSLabel& SetFontBold(bool bBold);
    virtual CHSLabel& SetFontName(const wchar_t* lpFaceName, BYTE nCharSet = DEFAULT_CHARSET);
    virtual CHSLabel& SetFontSize(int nPoints);
    virtual CHSLabel& SetSunken(bool bSunken);
    virtual CHSLabel& SetBorder(bool bBorder);
    virtual CHSLabel& SetTransparent(bool bTransparent);
    // Text flashing: hidden every other 500 ms period (it takes the background's colour).
    virtual CHSLabel& FlashText(bool bActivate);
    // Background flashing: the own background and the default one take turns.
    virtual CHSLabel& FlashBackground(bool bActivate, UINT nPeriodMs = 500);
    // A highlight copy of the text one pixel up-left (nDirection 0) or down-right.
    virtual CHSLabel& SetText3D(bool b3D, int nDirection = 0);
    virtual CHSLabel& SetLogFont(const LOGFONTW& lf);
    virtual CHSLabel& SetHighlightColor(COLORREF cr);
    virtual CHSLabel& SetBorderColor(COLORREF cr);
    virtual CHSLabel& SetText(const wchar_t* lpText);

    const std::wstring& GetText() const { return m_strText; }
    // The font description at the label's DPI.
    LOGFONTW GetLogFont() const { return m_font.LogFontAt(kit::DpiOf(m_hWnd)); }
    static constexpr UINT_PTR kFlashTimer = 1;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void PreSubclassWindow() override;

    void OnTimer(UINT_PTR nIDEvent);
    void OnSysColorChange();
    void OnPaint();
    BOOL OnEraseBkgnd(CDC* pDC);
    HBRUSH CtlColor(CDC* pDC, UINT nCtlColor);

    DECLARE_MESSAGE_MAP()

private:
    void Paint(CDC& dcTarget);
    void DrawGradient(CDC& dc, const RECT& rc);
    void Redraw();
    void ReleaseSnapshot();
    void StopTimer();

    std::wstring m_strText;
    COLORREF m_crText;
    COLORREF m_crHighlight;
    CBrush m_brDefault;
    CBrush m_brOwn;
    kit::CDpiFont m_font;
    int m_nFlashPhase = 0;
    int m_bTimer = 0;
    int m_bTransparent = 0;
    int m_bText3D = 0;
    int m_bBorder = 0;
    int m_nFlashMode = 0;
    int m_bGradient = 0;
    COLORREF m_crGradientEnd = 0;
    COLORREF m_crBack = 0;
    int m_n3DDirection = 0;
    CDC m_dcSnapshot;
    CBitmap m_bmpSnapshot;
    HGDIOBJ m_hSnapshotOldBitmap = nullptr;
    COLORREF m_crBorder = 0;
};
