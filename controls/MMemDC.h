// Off-screen drawing surface for one paint: everything drawn on it goes to a compatible
// bitmap and reaches the target DC in one block transfer when the object goes, so controls
// that clear and redraw their whole face do not flicker. Over a printer DC it draws
// straight to the printer instead.
#pragma once

#include "framework/Dc.h"

class CMMemDC : public CDC {
public:
    explicit CMMemDC(CDC* pDC);
    ~CMMemDC() override;

    CMMemDC(const CMMemDC&) = delete;
    CMMemDC& operator=(const CMMemDC&) = delete;

    // The area covered: the target's clip box, in the target's logical units.
    const RECT& GetArea() const { return m_rect; }

private:
    CBitmap m_bitmap;
    HGDIOBJ m_hOldBitmap = nullptr;
    CDC* m_pDC;
    RECT m_rect{};
    BOOL m_bMemDC;
};
