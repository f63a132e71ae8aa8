// The main sheet window: the program's only top-level window, a skinned borderless dialog
// with a tab strip for the settings page, a Close button and the engineer's log-in controls.
// It opens the link to the unit from the stored settings 100 ms after it opens, receives the
// link manager's notifications, and at its end closes the link and deletes the link manager
// and the settings storage object. Owned by the application object for the modal run.
#pragma once

#include "controls/HSCheckBox.h"
#include "controls/HSEdit.h"
#include "controls/HSTabCtrl.h"
#include "controls/MSButton.h"
#include "controls/MSDialog.h"
#include "comm/protocol/LinkParams.h"
#include "pages/PageConfig.h"

class CComm;
class CStorageMngr;

class CBasicSheetDlg : public CMSDialog {
public:
    CBasicSheetDlg();
    ~CBasicSheetDlg() override;

    static constexpr UINT_PTR TIMER_ACTIVATE = 3025;
    static constexpr UINT_PTR TIMER_SHOW_CONFIG = 3036;
    // The time-out box waits for the engineer's input already queued (an Exit asked while the
    // unit's reports were coming): timers are served after input.
    static constexpr UINT_PTR TIMER_TIMEOUT_BOX = 3037;

    // Opens the link the stored settings describe, creating the link manager (and its
    // console) on the first call. True when the link is open.
    bool Init_RS232C(const LinkParams& params);

    bool PreTranslateMessage(MSG* pMsg) override;

    // Members in the order of construction.
    CHSTabCtrl m_tabCtrl;
    CHSCheckBox m_chkEngineer;
    CHSEdit m_editPassword;
    CMSButton m_btnLogIn;
    CMSButton m_btnClose;
    CPageConfig m_pageConfig;

    CComm* mc_pCommMngr = nullptr;
    HICON m_hIcon = nullptr;
    HCURSOR m_hCursorGrab = nullptr;
    HCURSOR m_hCursorHand = nullptr;
    HCURSOR m_hCursorWait = nullptr;
    HCURSOR m_hCursorArrow = nullptr;
    HCURSOR m_hCursor = nullptr;
    CStorageMngr* m_pStorageMngr = nullptr;

protected:
    BOOL OnInitDialog() override;
    // The link and its console go while this window and the windows it owns still exist.
    void OnModalLoopEnd() override { SequenceExit(); }
    // The caption's close, Escape, Enter: a connect still going on is given up first.
    void OnOK() override;
    void OnCancel() override;

    LRESULT OnActivatePage(WPARAM wParam, LPARAM lParam);
    void OnTimer(UINT_PTR nIDEvent);
    LRESULT OnSetCursor(WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage_SerialEPM(WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage_SerialSLP(WPARAM wParam, LPARAM lParam);
    LRESULT OnMessage_SerialSMP(WPARAM wParam, LPARAM lParam);
    LRESULT OnDestroyMsg(WPARAM wParam, LPARAM lParam);
    LRESULT OnShowConsole(WPARAM wParam, LPARAM lParam);
    LRESULT OnConsoleTime(WPARAM wParam, LPARAM lParam);
    LRESULT OnConsoleReconnect(WPARAM wParam, LPARAM lParam);
    LRESULT OnProcedureEnded(WPARAM wParam, LPARAM lParam);
    void OnBnClickedLogIn();
    void OnBnClickedClose();

    DECLARE_MESSAGE_MAP()

private:
    // Closes the link, deletes the link manager and the settings storage object and writes
    // the exit banner; runs once, while the window still exists.
    void SequenceExit();
    void EnableDebugPrivilege();
    void LoadCursors();
    void ShowConfigPage();
    // Frees the text copies of link notifications that are still queued for this window.
    void DiscardQueuedNotifications();
    void GiveUpConnect();
    // An unattended run: the procedure starts once the link is open; the program ends with
    // its exit code when the run ends or cannot start.
    void StartUnattended();
    void EndUnattended(int nCode, const std::wstring& reason);

    bool m_bExitDone = false;
    // The engineer asked to leave: no box is shown from then on.
    bool m_bExitAsked = false;
public:
    // Set when the link's workers did not end at exit: the manager was left to them, and the
    // process ends without tearing down what they may still use.
    static bool s_bWorkersAbandoned;
private:
    // Cursors loaded from files are ours to destroy; the system's shared ones are not.
    bool m_bOwnCursor[4] = {};
};
