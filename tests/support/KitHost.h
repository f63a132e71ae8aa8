// A modeless test dialog that keeps a log of what its children tell it (commands,
// notifications, the presses the kit's buttons forward).
#pragma once

#include "framework/Dialog.h"
#include "support/KitSupport.h"

#include <vector>

namespace kit {

struct Received {
    UINT message;
    WPARAM wParam;
    UINT nCode;        // notification code of WM_COMMAND / WM_NOTIFY
    UINT nSenderState; // BM_GETSTATE of the sending button when the message arrived
};

class CKitHost : public CDialog {
public:
    explicit CKitHost(UINT nIDTemplate) : CDialog(nIDTemplate) {}
    ~CKitHost() override { DestroyWindow(); }

    bool Open() { return Create(m_nIDTemplate, nullptr) && SetWindowPos(nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_SHOWWINDOW); }
    int Count(UINT message, UINT nCode = 0) const
    {
        int n = 0;
        for (const Received& r : m_log)
            n += r.message == message && r.nCode == nCode ? 1 : 0;
        return n;
    }
    // A control's window rectangle in this dialog's client coordinates.
    RECT ItemRect(int nID) const
    {
        RECT rc;
        ::GetWindowRect(GetDlgItem(nID), &rc);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rc), 2);
        return rc;
    }
    void SizeItem(int nID, int cx, int cy) const { ::SetWindowPos(GetDlgItem(nID), nullptr, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER); }
    void PlaceItem(int nID, int x, int y, int cx, int cy) const { ::SetWindowPos(GetDlgItem(nID), nullptr, x, y, cx, cy, SWP_NOZORDER); }

    std::vector<Received> m_log;

protected:
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override
    {
        HWND hSender = nullptr;
        UINT nCode = 0;
        if (message == WM_COMMAND) {
            nCode = HIWORD(wParam);
            hSender = reinterpret_cast<HWND>(lParam);
        } else if (message == WM_NOTIFY) {
            nCode = reinterpret_cast<NMHDR*>(lParam)->code;
            hSender = reinterpret_cast<NMHDR*>(lParam)->hwndFrom;
        } else if (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP) {
            hSender = GetDlgItem(static_cast<int>(wParam));
        } else {
            return CDialog::OnWndMsg(message, wParam, lParam, pResult);
        }
        const UINT nState = hSender != nullptr ? static_cast<UINT>(::SendMessageW(hSender, BM_GETSTATE, 0, 0)) : 0;
        m_log.push_back(Received{message, wParam, nCode, nState});
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    }
};

} // namespace kit
