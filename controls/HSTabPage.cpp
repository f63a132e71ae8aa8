#include "controls/HSTabPage.h"

BEGIN_MESSAGE_MAP(CHSTabPage, CDialog)
    ON_WM_ERASEBKGND()
END_MESSAGE_MAP()

CHSTabPage::~CHSTabPage() = default;

bool CHSTabPage::PreTranslateMessage(MSG* pMsg)
{
    // The dialog handling would turn Enter into OK and Escape into Cancel and hide the page.
    // The key of the message itself decides, so a key typed while Enter is still held
    // down is not lost.
    if (pMsg->message == WM_KEYDOWN && (pMsg->wParam == VK_RETURN || pMsg->wParam == VK_ESCAPE))
        return true;
    return CDialog::PreTranslateMessage(pMsg);
}

BOOL CHSTabPage::OnEraseBkgnd(CDC*)
{
    return static_cast<BOOL>(Default());
}
