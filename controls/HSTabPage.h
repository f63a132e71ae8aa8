// Base of the pages shown by the tab strip: a modeless child dialog that Enter and Escape
// cannot end. The page's owner creates its window and the tab strip shows and hides it.
#pragma once

#include "framework/Dialog.h"
#include "messages.h"

class CHSTabPage : public CDialog {
public:
    CHSTabPage() = default;
    explicit CHSTabPage(UINT nIDTemplate, CWnd* pParent = nullptr) : CDialog(nIDTemplate, pParent) {}
    ~CHSTabPage() override;

    bool PreTranslateMessage(MSG* pMsg) override;

    // Value given to the tab strip's AddPage, kept for the page's own use.
    CWnd* m_pOwner = nullptr;

protected:
    BOOL OnEraseBkgnd(CDC* pDC);

    DECLARE_MESSAGE_MAP()
};
