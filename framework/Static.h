// Static text and picture controls of a template.
#pragma once

#include "framework/Wnd.h"

class CStatic : public CWnd {
public:
    HICON SetIcon(HICON hIcon) { return reinterpret_cast<HICON>(SendMessage(STM_SETICON, reinterpret_cast<WPARAM>(hIcon))); }
};
