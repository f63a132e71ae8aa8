// The console's log control: a rich edit that can colour the text inserted next, and whose
// keys, wheel and mouse its owner may take or follow (the console pages through a session
// far longer than the control holds). Owned by the console dialog, bound to its template
// control.
#pragma once

#include "framework/RichEditCtrl.h"

// What the owner of a log control is told of the engineer's input to it.
class IRichEditInput {
public:
    // Before the control sees a key or the wheel: true when the owner took it.
    virtual bool BeforeInput(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // After the control has handled a mouse button or move, or a key.
    virtual void AfterInput(UINT message, WPARAM wParam, LPARAM lParam) = 0;

protected:
    ~IRichEditInput() = default;
};

class CMyRichEditCtrl : public CRichEditCtrl {
public:
    CMyRichEditCtrl();
    ~CMyRichEditCtrl() override;

    // Applies crColor to the current selection; with an empty selection at the end of the
    // text, the text inserted next gets that colour.
    void SetTextColor(COLORREF crColor);

    // Who takes or follows the engineer's input (nullptr: the control alone).
    void SetInputHandler(IRichEditInput* pHandler) { m_pInput = pHandler; }

    // Milliseconds the last drawing of the control took (what showing more text costs).
    double LastPaintMs() const { return m_dLastPaintMs; }

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnRButtonDown(UINT nFlags, POINT point);

    DECLARE_MESSAGE_MAP()

    CHARFORMATW m_cf;
    double m_dLastPaintMs = 0;
    IRichEditInput* m_pInput = nullptr;
};
