// A horizontal or vertical line taking over a template static control (vertical when it
// is taller than wide), with an optional bold caption set into a horizontal line.
#pragma once

#include "controls/Dpi.h"
#include "framework/Static.h"

class CSeparator : public CStatic {
public:
    CSeparator();
    ~CSeparator() override;

    COLORREF m_crLine;
    COLORREF m_crFace;
    COLORREF m_crCaption;
    // Width of the line at 96 DPI.
    int m_nLineWidth;

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnPaint();

    DECLARE_MESSAGE_MAP()

private:
    kit::CDpiFont m_font;
};
