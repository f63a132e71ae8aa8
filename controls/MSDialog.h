// Skinned dialog: the base of the program's main window. It has no system frame; it cuts
// its corners with a window region, paints its own caption band with a colour ramp and a
// bold title, and lets the engineer drag the window by that band.
#pragma once

#include "controls/Dpi.h"
#include "framework/Dialog.h"

class CMSDialog : public CDialog {
public:
    // The main window's template, without a parent.
    CMSDialog();
    // Any other template (tools and tests that want the same skin on their own dialogs).
    explicit CMSDialog(UINT nIDTemplate, CWnd* pParent = nullptr);
    ~CMSDialog() override;

    // At 96 DPI: the caption band the window is dragged by is rows 0 to 23 of the client
    // area, and the corners are cut diagonally by five pixels.
    static constexpr int kDragBandHeight = 24;
    static constexpr int kChamfer = 5;
    // The same at the window's DPI.
    static int DragBandHeight(UINT nDpi);
    static int Chamfer(UINT nDpi) { return kit::Scale(kChamfer, nDpi); }

    // Look settings; a derived dialog changes them before OnInitDialog (the title) or
    // before the next paint (the colours).
    wchar_t m_szInitTitle[260];
    COLORREF m_crBody;
    COLORREF m_crCaption;
    COLORREF m_crTitle;
    kit::CDpiFont m_fontCaption;

protected:
    BOOL OnInitDialog() override;

    LRESULT OnNcHitTest(POINT ptScreen);
    void OnPaint();
    void OnSize(UINT nType, int cx, int cy);

    DECLARE_MESSAGE_MAP()

private:
    void InitLook();
    // Cuts the corners of a window of this client size.
    void ApplyShape(int w, int h);
};
