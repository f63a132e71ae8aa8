// IP address controls of a template.
#pragma once

#include "framework/Wnd.h"

#include <commctrl.h>

class CIPAddressCtrl : public CWnd {
public:
    void SetAddress(DWORD dwAddress) { SendMessage(IPM_SETADDRESS, 0, static_cast<LPARAM>(dwAddress)); }
    // Number of fields that are filled in; dwAddress receives the address in host order.
    int GetAddress(DWORD& dwAddress) const
    {
        return static_cast<int>(SendMessage(IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&dwAddress)));
    }
    void ClearAddress() { SendMessage(IPM_CLEARADDRESS); }
};
