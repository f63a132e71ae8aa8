// The kit's group frame: a rounded rectangle with its caption set into the top edge. It
// can enable or disable every control that lies inside the frame; the caption turns grey
// while the group is disabled. Its owner binds it to a template group box by id.
#pragma once

#include "controls/Dpi.h"
#include "framework/Button.h"

class CMSGroupBox : public CButton {
public:
    CMSGroupBox();
    ~CMSGroupBox() override;

    // Enables or disables the sibling controls inside the frame (see m_bIncludePartial and
    // m_bScanFromBox) and records the state for the caption colour.
    void EnableGroup(bool bEnable);

    COLORREF m_crBack;
    COLORREF m_crCaption;
    COLORREF m_crFrame;
    // Controls only partly inside the frame are switched too.
    bool m_bIncludePartial;
    // Scan only the windows after the group box in Z order, up to the first one outside it;
    // otherwise every sibling is looked at.
    bool m_bScanFromBox;
    bool m_bEnabled;
    bool m_bDrawFrame;

protected:
    void OnPaint();
    LRESULT OnWindowPosChanging(WPARAM wParam, LPARAM lParam);

    DECLARE_MESSAGE_MAP()

private:
    kit::CDpiFont m_font;
};
