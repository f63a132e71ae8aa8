// The communication console: the dialog (template 1064) that shows every line that crosses
// the link, the command in flight and the queue, and lets the engineer open and close the
// link, compose and send commands and save the log. The only part of the link manager that
// knows dialog ids. It acts through IConsoleHost (the link manager) and shows what the
// manager tells it. User-interface thread only; created and destroyed by the link manager.
#pragma once

#include "comm/console/ConsoleView.h"
#include "comm/exchange/CommandExchange.h"
#include "comm/protocol/LinkParams.h"
#include "comm/record/CommInbox.h"
#include "comm/record/SessionLines.h"
#include "controls/MyRichEditCtrl.h"
#include "framework/ComboBox.h"
#include "framework/Dialog.h"
#include "framework/Edit.h"
#include "framework/IPAddressCtrl.h"
#include "framework/ListCtrl.h"
#include "resource.h"

#include <windows.h>

#include <string>

// What the console asks of the link manager (user-interface thread).
class IConsoleHost {
public:
    virtual void ConsoleOpen(const LinkParams& params) = 0;
    virtual void ConsoleClose() = 0;
    virtual void ConsoleSend(const wchar_t* lpText, int nKind) = 0;
    virtual void ConsoleClearQueue() = 0;
    virtual void ConsoleClearLog() = 0;
    virtual void ConsoleSummary() = 0;
    virtual bool ConsoleSave(const wchar_t* lpPath) = 0;
    virtual void ConsoleSetReconnect(bool bOn) = 0;
    // Runs the procedure file (checked and shown to the engineer already); Stop ends it.
    virtual void ConsoleProcedure(const wchar_t* lpPath) = 0;
    virtual void ConsoleStopProcedure() = 0;
    // A line of the console's own (a refusal).
    virtual void ConsoleLine(const wchar_t* lpText) = 0;
    virtual bool ConsoleIsConnected() const = 0;
    virtual bool ConsoleIsOpening() const = 0;
    // The window the console belongs to (its choices are kept there); may be null.
    virtual HWND ConsoleOwner() const = 0;

protected:
    ~IConsoleHost() = default;
};

class CCommConsole : public CDialog {
public:
    CCommConsole(IConsoleHost& host, CCommInbox& inbox, const CCommandExchange& exchange, CSessionLines& lines);
    ~CCommConsole() override;

    // Creates the hidden console window.
    bool CreateHidden();
    void SetOwner(HWND hOwner);

    // What the manager tells the console.
    void ShowLinkKind(LinkKind kind);
    void SetLinkParams(const LinkParams& params) { m_params = params; }
    void UpdateLinkButtons(bool bOpenEnabled, bool bCloseEnabled);
    void ShowCountdown(const std::wstring& text);
    void ShowWaitingCommand(const wchar_t* lpText, int nTimeOutMs = 0);
    void OnQueueChanged();
    // Lines wait in the record: a shown console's view takes them at its next tick.
    void OnLinesWaiting();
    // The record woke the console for a ticking view whose timer has not come for a while:
    // it takes its turn now.
    void OnViewOverdue();
    // Puts the lines that came since the last tick, and a change of the queue, in view now.
    void ShowPendingLines();
    void SetOptions(bool bShowTime, bool bReconnect);
    // A procedure's run: nDone of nSteps steps done, text the step under way (bRunning), or
    // how the last run ended (not bRunning).
    void ShowProcedureProgress(int nDone, int nSteps, const std::wstring& text, bool bRunning);
    // Writes the view's record to a file (plain or rich text by the extension).
    bool Save(const wchar_t* lpPath, const std::vector<CConsoleRecord::Line>& tail, const CConsoleView::EarlierLines& earlier);
    // The console was cleared.
    void ClearView();
    // The view (tests and the benchmark drive it as the engineer's keys do).
    CConsoleView& View() { return m_view; }
    // Finds the find box's text through the session, forward or back from the view's place
    // (or the current hit); a find already done for the same text steps to the next hit.
    void FindNext(bool bForward);
    // Whether a find is under way, and what the status line says.
    bool IsFinding() const { return m_find.IsRunning(); }
    std::wstring StatusText() const { return m_statusShown; }
    // "Log" and the local time, as offered by "Save file".
    static std::wstring DefaultLogFileName();

    bool PreTranslateMessage(MSG* pMsg) override;

protected:
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void PostNcDestroy() override {}

    void OnTimer(UINT_PTR nIDEvent);
    void OnBnClickedOpen();
    void OnBnClickedClose();
    void OnBnClickedSend();
    void OnBnClickedLogClear() { m_host.ConsoleClearLog(); }
    void OnBnClickedQueueClear();
    void OnBnClickedSaveFile();
    void OnBnClickedFilter(UINT nID);
    void OnBnClickedTime();
    void OnBnClickedReconnect();
    void OnBnClickedSummary() { m_host.ConsoleSummary(); }
    void OnBnClickedProcedure();
    void OnClassSelChange() { RebuildCommandText(IDC_COMBO_CLASS, true); }
    void OnClassEdit() { RebuildCommandText(IDC_COMBO_CLASS, false); }
    void OnWordSelChange() { RebuildCommandText(IDC_COMBO_WORD, true); }
    void OnWordEdit() { RebuildCommandText(IDC_COMBO_WORD, false); }
    void OnPortDropDown();
    LRESULT OnShowWindowMsg(WPARAM wParam, LPARAM lParam);
    LRESULT OnVScroll(WPARAM wParam, LPARAM lParam);
    LRESULT OnFound(WPARAM wParam, LPARAM lParam);
    void OnBnClickedFindPrev() { FindNext(false); }
    void OnBnClickedFindNext() { FindNext(true); }
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);

    DECLARE_MESSAGE_MAP()

private:
    void StartViewTimer();
    // The view's turn: it takes what came, and the timer's period follows what that cost;
    // bDrawNow draws it at once (a turn its timer could not give).
    void Tick(bool bDrawNow);
    void SyncQueueView();
    void SyncSettingsFields();
    void RebuildCommandText(int nFromCombo, bool bSelectionChanged);
    static void AddToHistory(CComboBox& combo, std::wstring& lastSeen);
    void ShowHit();
    // The line under the log: the find's state and, held back, how many lines came.
    void UpdateStatus();
    CSessionFind::Query FindQuery() const;

    IConsoleHost& m_host;
    CCommInbox& m_inbox;
    const CCommandExchange& m_exchange;
    LinkParams m_params;
    HICON m_hIcon = nullptr;

    // The console's mirror of the queue: which pushes its rows show.
    unsigned long long m_nQueueClears = 0;
    unsigned long long m_nQueueRowsFrom = 0;
    unsigned long long m_nQueueRowsTo = 0;
    // What the waiting fields show.
    std::wstring m_waitingShown;
    int m_nWaitingShownSeconds = -1;
    // The combos' texts their history last looked at.
    std::wstring m_historyWordSeen;
    std::wstring m_historyClassSeen;
    // The queue list's timer runs (a change waits to be shown).
    bool m_bQueueViewTimer = false;
    // A procedure runs: its button is Stop.
    bool m_bProcedureRunning = false;
    // The view's timer: its period follows what a tick costs.
    bool m_bViewTimer = false;
    UINT m_nViewPeriodMs = 0;

    // The find: its query and result, and which hit is shown (-1: none).
    CSessionLines& m_lines;
    CSessionFind m_find;
    CSessionFind::Query m_foundQuery;
    CSessionFind::Result m_found;
    bool m_bFound = false;
    bool m_bFindForward = true;
    long long m_nHit = -1;
    std::wstring m_findStatus;
    std::wstring m_statusShown;

    CMyRichEditCtrl m_ctrlLog;
    CConsoleView m_view;
    CListCtrl m_listQueue;
    CComboBox m_comboClass;
    CComboBox m_comboWord;
    CComboBox m_comboKind;
    CComboBox m_comboPort;
    CComboBox m_comboBaud;
    CIPAddressCtrl m_ctrlIPAddress;
    CEdit m_editCommand;
    CEdit m_editTcpPort;
};
