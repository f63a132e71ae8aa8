// Static text and picture controls of a template.
#pragma once

#include "framework/Wnd.h"

class CStatic : public CWnd {
public:
    HICON SetIcon(HICON hIcon) { return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(hIcon))); }
};

// For a static control that its class paints itself: the system's static draws its text at
// once on WM_SETTEXT and WM_ENABLE, outside WM_PAINT, over the class's own drawing. This
// stores the change without that drawing and leaves the repaint to the next WM_PAINT.
// True when the message was one of those two.
inline bool HandleSelfPaintedStatic(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (message != WM_SETTEXT && message != WM_ENABLE)
        return false;
    *pResult = ::DefWindowProcW(hWnd, message, wParam, lParam);
    ::InvalidateRect(hWnd, nullptr, FALSE);
    return true;
}
