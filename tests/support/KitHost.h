// A modeless test dialog that keeps a log of what its children tell it (commands,
// notifications, the presses the kit's buttons forward), and a few helpers around it.
#pragma once

#include "framework/Dialog.h"
#include "support/KitSupport.h"

#include <string>
#include <vector>

namespace kit {

struct Received {
    UINT message;
    WPARAM wParam;
    // Notification code of WM_COMMAND / WM_NOTIFY.
    UINT nCode;
    // BM_GETSTATE of the sending button at the moment the message arrived.
    UINT nSenderState;
};

class CKitHost : public CDialog {
public:
    explicit CKitHost(UINT nIDTemplate) : CDialog(nIDTemplate) {}
    ~CKitHost() override { DestroyWindow(); }

    bool Open()
    {
        if (!Create(m_nIDTemplate, nullptr))
            return false;
        SetWindowPos(nullptr, 40, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        ShowWindow(SW_SHOW);
        return true;
    }

    int Count(UINT message, UINT nCode = 0) const
    {
        int n = 0;
        for (const Received& r : m_log)
            n += r.message == message && (r.nCode == nCode) ? 1 : 0;
        return n;
    }

    // Screen rectangle of a control mapped into this dialog's client coordinates.
    RECT ItemRect(int nID) const
    {
        RECT rc;
        ::GetWindowRect(GetDlgItem(nID), &rc);
        ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rc), 2);
        return rc;
    }
    // Gives a control an exact size in pixels, keeping its place.
    void SizeItem(int nID, int cx, int cy) const
    {
        ::SetWindowPos(GetDlgItem(nID), nullptr, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER);
    }

    // Gives a control an exact place and size in pixels (client coordinates).
    void PlaceItem(int nID, int x, int y, int cx, int cy) const
    {
        ::SetWindowPos(GetDlgItem(nID), nullptr, x, y, cx, cy, SWP_NOZORDER);
    }

    std::vector<Received> m_log;

protected:
    bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) override
    {
        if (message == WM_COMMAND || message == WM_NOTIFY || message == WM_LBUTTONDOWN || message == WM_LBUTTONUP) {
            Received r{message, wParam, 0, 0};
            HWND hSender = nullptr;
            if (message == WM_COMMAND) {
                r.nCode = HIWORD(wParam);
                hSender = reinterpret_cast<HWND>(lParam);
            } else if (message == WM_NOTIFY) {
                r.nCode = reinterpret_cast<NMHDR*>(lParam)->code;
                hSender = reinterpret_cast<NMHDR*>(lParam)->hwndFrom;
            } else if (wParam != 0) {
                hSender = GetDlgItem(static_cast<int>(wParam));
            }
            if (hSender != nullptr)
                r.nSenderState = static_cast<UINT>(::SendMessageW(hSender, BM_GETSTATE, 0, 0));
            m_log.push_back(r);
        }
        return CDialog::OnWndMsg(message, wParam, lParam, pResult);
    }
};

} // namespace kit
