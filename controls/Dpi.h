// Display scale of the kit: every size the kit and the windows draw with is given at 96 DPI
// (a 100 % screen) and scaled here by the DPI of the window it is drawn in. Fonts are kept
// as a description at a known DPI and made again when a window's DPI differs.
#pragma once

#include "framework/Gdi.h"

#include <windows.h>

namespace kit {

constexpr UINT kDefaultDpi = 96;

// The DPI of the window: GetDpiForWindow where the system has it (Windows 10 1607 and up),
// else the screen's logical pixels per inch.
UINT DpiOf(HWND hWnd);

// A size given at 96 DPI, at this DPI (rounded to the nearest pixel).
inline int Scale(int nAt96, UINT nDpi)
{
    return ::MulDiv(nAt96, static_cast<int>(nDpi), static_cast<int>(kDefaultDpi));
}

// Width of the kit's thin lines (frames, outlines, the etched rows): 1 pixel at 96 DPI,
// 2 at 144 and 192.
inline int LineWidth(UINT nDpi)
{
    return Scale(1, nDpi);
}

// A system metric (SM_CXEDGE, SM_CXSMICON, ...) at this DPI.
int SystemMetricAt(int nIndex, UINT nDpi);

// An icon resource of the size the DPI asks for (nAt96 square at 96 DPI); the caller owns it.
HICON LoadIconAt(UINT nIDResource, int nAt96, UINT nDpi);

// A font description and the DPI its heights are given at; Get makes the font for a DPI,
// once per DPI.
class CDpiFont {
public:
    // A face at nPointSize tenths of a point.
    void SetPointFont(int nPointSize, const wchar_t* lpFaceName, LONG lWeight = FW_NORMAL);
    // A whole description whose heights are pixels at nDpi (a window's font, read back).
    void SetLogFont(const LOGFONTW& lf, UINT nDpi);
    // The description with its heights at nDpi.
    LOGFONTW LogFontAt(UINT nDpi) const;
    // Changes the description (weight, face); the font is made again at its next use.
    template <class F>
    void Edit(F change)
    {
        change(m_lf);
        m_font.DeleteObject();
    }
    bool IsEmpty() const { return m_nBaseDpi == 0; }
    // The font at nDpi; null while the description is empty.
    HFONT Get(UINT nDpi);

private:
    LOGFONTW m_lf{};
    // DPI at which m_lf's heights are pixels; a point size is kept at 720, where one pixel
    // is a tenth of a point.
    UINT m_nBaseDpi = 0;
    CFont m_font;
    UINT m_nFontDpi = 0;
};

} // namespace kit
