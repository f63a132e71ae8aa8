// The console's log control: a rich edit that can colour the text inserted next.
// Owned by the console dialog, bound to its template control.
#pragma once

#include "framework/RichEditCtrl.h"

class CMyRichEditCtrl : public CRichEditCtrl {
public:
    CMyRichEditCtrl();
    ~CMyRichEditCtrl() override;

    // Applies crColor to the current selection; with an empty selection at the end of the
    // text, the text inserted next gets that colour.
    void SetTextColor(COLORREF crColor);

    // Milliseconds the last drawing of the control took (what showing more text costs).
    double LastPaintMs() const { return m_dLastPaintMs; }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnRButtonDown(UINT nFlags, POINT point);

    DECLARE_MESSAGE_MAP()

    CHARFORMATW m_cf;
    double m_dLastPaintMs = 0;
};
