// Entry point of the program.
#include "comm/Comm.h"
#include "framework/WinApp.h"

#include <windows.h>

namespace {
// For now the program runs the link manager's console against the unit at the default
// address; it ends when the console is closed with "Exit".
class CRigConsoleApp : public CWinApp {
public:
    BOOL InitInstance() override
    {
        CComm* pComm = CComm::GetInstance(1);
        pComm->ShowWindow(SW_SHOW);
        if (pComm->Open_Ethernet(L"127.0.0.1", 20130)) {
            pComm->UpdateLinkButtons(false, true);
            pComm->SendData(L"[SPL_PANO]", nullptr, enRECV_COMMAND, false);
            pComm->SendData(L"[SPM_CEPH]", nullptr, enRECV_COMMAND, false);
        } else
            pComm->UpdateLinkButtons(true, false);
        MSG msg;
        while (pComm->IsWindowVisible() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (!RigPreTranslateMessage(&msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        if (pComm->IsConnected())
            pComm->CloseEthernet();
        delete pComm;
        return FALSE;
    }
};

CRigConsoleApp theApp;
} // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int)
{
    return RunApplication(hInstance);
}
