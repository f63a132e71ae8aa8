#include "framework/Dialog.h"

namespace {
// The dialog being created on this thread: the system sends WM_SETFONT (and, without a font
// in the template, WM_INITDIALOG) before CreateDialogParam returns.
thread_local CDialog* t_pCreating = nullptr;
} // namespace

CDialog::~CDialog()
{
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd))
        ::DestroyWindow(m_hWnd);
}

bool CDialog::Create(UINT nIDTemplate, CWnd* pParent)
{
    m_nIDTemplate = nIDTemplate;
    m_pParentWnd = pParent;
    CDialog* pPrevious = t_pCreating;
    t_pCreating = this;
    HWND hWnd = ::CreateDialogParamW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(nIDTemplate),
                                     pParent != nullptr ? pParent->m_hWnd : nullptr, &CDialog::StaticDialogProc,
                                     reinterpret_cast<LPARAM>(this));
    t_pCreating = pPrevious;
    return hWnd != nullptr && m_hWnd == hWnd;
}

INT_PTR CALLBACK CDialog::StaticDialogProc(HWND hWnd, UINT message, WPARAM, LPARAM lParam)
{
    CDialog* pDialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pDialog == nullptr) {
        pDialog = message == WM_INITDIALOG ? reinterpret_cast<CDialog*>(lParam) : t_pCreating;
        if (pDialog == nullptr)
            return FALSE;
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pDialog));
        pDialog->BindWindow(hWnd);
    }
    if (message == WM_INITDIALOG) {
        try {
            return pDialog->OnInitDialog();
        } catch (...) {
            return TRUE;
        }
    }
    // Everything else was offered to the message table already (the dialog is bound); what
    // reaches here gets the system's dialog handling.
    return FALSE;
}

LRESULT CDialog::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    return CWnd::DefWindowProc(message, wParam, lParam);
}

bool CDialog::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    if (CWnd::OnWndMsg(message, wParam, lParam, pResult))
        return true;
    // Moved to a screen of another scale: the window takes the place and size the system
    // suggests, and everything in it is drawn again at the new DPI.
    if (message == WM_DPICHANGED && lParam != 0) {
        const RECT* pSuggested = reinterpret_cast<const RECT*>(lParam);
        ::SetWindowPos(m_hWnd, nullptr, pSuggested->left, pSuggested->top, pSuggested->right - pSuggested->left,
                       pSuggested->bottom - pSuggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        ::RedrawWindow(m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
        *pResult = 0;
        return true;
    }
    // OK and Cancel (Enter, Escape, the caption's close) end up in the virtual handlers.
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        if (LOWORD(wParam) == IDOK) {
            OnOK();
            *pResult = 0;
            return true;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            OnCancel();
            *pResult = 0;
            return true;
        }
    }
    return false;
}

void CDialog::OnOK()
{
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::EndDialog(int nResult)
{
    if (m_bModalLoop) {
        m_nModalResult = nResult;
        m_bModalLoop = false;
        ::PostMessageW(m_hWnd, WM_NULL, 0, 0);
    } else {
        ShowWindow(SW_HIDE);
    }
}

INT_PTR CDialog::DoModal()
{
    HWND hOwner = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
    if (!Create(m_nIDTemplate, m_pParentWnd))
        return -1;
    const bool bOwnerWasEnabled = hOwner != nullptr && ::IsWindowEnabled(hOwner);
    if (bOwnerWasEnabled)
        ::EnableWindow(hOwner, FALSE);
    m_bModalLoop = true;
    m_nModalResult = -1;
    ShowWindow(SW_SHOW);

    MSG msg{};
    while (m_bModalLoop) {
        if (!RigPumpMessage(msg)) {
            // WM_QUIT ends the loop and stays for the outer one.
            if (msg.message == WM_QUIT)
                ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
    }
    m_bModalLoop = false;
    OnModalLoopEnd();

    if (bOwnerWasEnabled) {
        ::EnableWindow(hOwner, TRUE);
        ::SetActiveWindow(hOwner);
    }
    if (m_hWnd != nullptr)
        ::DestroyWindow(m_hWnd);
    return m_nModalResult;
}

bool CDialog::PreTranslateMessage(MSG* pMsg)
{
    // Keyboard navigation of the dialog (Tab, arrows, Enter, Escape, mnemonics).
    if (pMsg->message >= WM_KEYFIRST && pMsg->message <= WM_KEYLAST && m_hWnd != nullptr)
        return ::IsDialogMessageW(m_hWnd, pMsg) != FALSE;
    return false;
}
