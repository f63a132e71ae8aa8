// CDialog: a dialog made from a resource template, modeless (Create) or modal (DoModal).
// The dialog window is bound like every other window of ours, so its handlers run before the
// system's dialog procedure; unhandled messages get the system's dialog behaviour.
#pragma once

#include "framework/Wnd.h"

class CDialog : public CWnd {
public:
    CDialog() = default;
    explicit CDialog(UINT nIDTemplate, CWnd* pParent = nullptr) : m_nIDTemplate(nIDTemplate), m_pParentWnd(pParent) {}
    ~CDialog() override;

    // Creates the dialog modeless (hidden unless the template says WS_VISIBLE).
    bool Create(UINT nIDTemplate, CWnd* pParent = nullptr);
    // Runs the dialog modal in a message loop of our own, so PreTranslateMessage sees every
    // message, as in the program's main loop. Returns the code given to EndDialog, or -1.
    INT_PTR DoModal();
    void EndDialog(int nResult);
    bool IsModal() const { return m_bModalLoop; }

    bool PreTranslateMessage(MSG* pMsg) override;

    UINT m_nIDTemplate = 0;

protected:
    // Runs at WM_INITDIALOG; the return value is the one of WM_INITDIALOG (TRUE: the system
    // gives the focus to the first control).
    virtual BOOL OnInitDialog() { return TRUE; }
    virtual void OnOK();
    virtual void OnCancel();
    // Runs once the modal run has ended, before the window and the windows it owns are
    // destroyed: the place to take down what those windows serve.
    virtual void OnModalLoopEnd() {}

    LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override;

    CWnd* m_pParentWnd = nullptr;

private:
    static INT_PTR CALLBACK StaticDialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    bool m_bModalLoop = false;
    int m_nModalResult = -1;
};
