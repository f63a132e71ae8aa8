// The settings page: where the capture software keeps its setting files and how the unit is
// reached. It is a member of the main window, which creates its window and shows it in the
// tab strip; "Save" writes Config.ini through the process's settings storage object, and
// "Serial Dialog" shows the link manager's console. The page never talks to the unit.
#pragma once

#include "controls/HSCheckBox.h"
#include "controls/HSEdit.h"
#include "controls/HSLabel.h"
#include "controls/HSTabPage.h"
#include "controls/MSButton.h"
#include "controls/MSGroupBox.h"
#include "framework/ComboBox.h"
#include "framework/IPAddressCtrl.h"

class CStorageMngr;

class CPageConfig : public CHSTabPage {
public:
    // Takes the process's settings storage object, creating it when none exists yet; the
    // page never deletes it (the main window does, at exit).
    CPageConfig();
    ~CPageConfig() override;

    // Fills the controls from the stored settings (nothing without a storage object).
    void LoadConfigToCtrl();
    // Copies the controls into the stored settings, without writing the file.
    void SaveCtrlToConfig();

    // The storage object is going away (exit): the page must not reach it any more.
    void ForgetStorage() { m_pStorageMngr = nullptr; }

    CStorageMngr* m_pStorageMngr;

protected:
    BOOL OnInitDialog() override;

    LRESULT OnTabPageActivate(WPARAM wParam, LPARAM lParam);
    void OnPaint();
    void OnBnClickedUseUser();
    void OnBnClickedUserSerial();
    void OnBnClickedUserEthernet();
    void OnBnClickedUseConsole();
    void OnBnClickedFindCapture();
    void OnBnClickedSerialDialog();
    void OnBnClickedSave();
    void OnUserPortDropDown();

    DECLARE_MESSAGE_MAP()

private:
    static void SetTick(CHSCheckBox& check, bool bTicked);
    static void SetIPText(CIPAddressCtrl& ctrl, const wchar_t* lpText);
    static void GetIPText(const CIPAddressCtrl& ctrl, wchar_t* lpOut, int cchOut);

    CHSLabel m_lblTitle;
    CHSLabel m_lblNote;

    CMSGroupBox m_grpCapture;
    CHSLabel m_lblPath;
    CHSEdit m_editPath;
    CHSLabel m_lblName;
    CHSEdit m_editName;
    CMSButton m_btnFind;

    CMSGroupBox m_grpComm;
    CHSCheckBox m_chkUseUser;
    CHSCheckBox m_chkUserSerial;
    CComboBox m_comboUserPort;
    CHSEdit m_editUserBaud;
    CHSCheckBox m_chkUserEthernet;
    CIPAddressCtrl m_ipUser;
    // What m_ipUser showed when the stored settings were loaded (filled fields, address).
    int m_nShownIpFields = -1;
    DWORD m_dwShownIp = 0;
    CHSEdit m_editUserTcpPort;

    CHSCheckBox m_chkUseConsole;
    CHSCheckBox m_chkConsoleSerial;
    CComboBox m_comboConsolePort;
    CHSEdit m_editConsoleBaud;
    CHSCheckBox m_chkConsoleEthernet;
    CIPAddressCtrl m_ipConsole;
    CHSEdit m_editConsoleTcpPort;

    CMSButton m_btnSerialDialog;
    CMSButton m_btnSave;
};
