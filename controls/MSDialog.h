// Skinned dialog: the base of the program's main window. It has no system frame; it cuts
// its corners with a window region, paints its own caption band with a colour ramp and a
// bold title, and lets the engineer drag the window by that band.
#pragma once

#include "framework/Dialog.h"
#include "framework/Gdi.h"

class CMSDialog : public CDialog {
public:
    // The main window's template, without a parent.
    CMSDialog();
    // Any other template (tools and tests that want the same skin on their own dialogs).
    explicit CMSDialog(UINT nIDTemplate, CWnd* pParent = nullptr);
    ~CMSDialog() override;

    // Height of the caption band the window is dragged by: rows 0 to 23 of the client area.
    static constexpr int kDragBandHeight = 24;
    // Corners are cut diagonally by this many pixels.
    static constexpr int kChamfer = 5;

    // Look settings; a derived dialog changes them before OnInitDialog (the title) or
    // before the next paint (the colours).
    wchar_t m_szInitTitle[260];
    COLORREF m_crBody;
    COLORREF m_crCaption;
    COLORREF m_crTitle;
    CFont m_fontCaption;

protected:
    BOOL OnInitDialog() override;

    LRESULT OnNcHitTest(POINT ptScreen);
    void OnPaint();

    DECLARE_MESSAGE_MAP()

private:
    void InitLook();
};
