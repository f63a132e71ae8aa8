// CComm: the one link manager of the process, and the communication console (this dialog)
// that shows every line that crosses the link. It opens and closes the link and takes what
// its workers hand over; the work itself is done by its parts:
//   CLink (CSerialLink, CTcpLink)  the transport, its handles and its receive thread;
//   CCommandExchange               the command in flight, the queue, the dispatcher and
//                                  the watchdog;
//   CCommInbox                     the one hand-over from the workers to this thread, with
//                                  the console's record of lines;
//   CConsoleView                   the console's rich edit, fed from the record.
// Created by the owner window through GetInstance, deleted in its exit sequence. Every
// public operation but LogWrite, SendData, SendEcho and OnReceiveFrame belongs to the
// user-interface thread (the thread that created the manager).
#pragma once

#include "comm/record/CommInbox.h"
#include "comm/exchange/CommandExchange.h"
#include "comm/exchange/DataGate.h"
#include "comm/console/ConsoleView.h"
#include "comm/protocol/Frame.h"
#include "comm/link/Link.h"
#include "comm/protocol/LinkParams.h"
#include "comm/protocol/Notify.h"
#include "comm/protocol/RecvKind.h"
#include "comm/record/SessionLog.h"
#include "controls/MyRichEditCtrl.h"
#include "framework/ComboBox.h"
#include "framework/Dialog.h"
#include "framework/Edit.h"
#include "framework/IPAddressCtrl.h"
#include "framework/ListCtrl.h"
#include "resource.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>

class CComm : public CDialog, private ILinkSink, private CConsoleRecord::ITap {
public:
    // The single instance; the first call creates it (and its hidden console) on the
    // calling thread, which becomes the user-interface thread of the link manager.
    static CComm* GetInstance();
    // The instance if one exists, without creating it.
    static CComm* PeekInstance();

    // The window that receives unsolicited notifications (SMP, SLP) and answers to the
    // console's commands, and owns the console. Set with SetOwnerWnd; cleared by the
    // destructor.
    static CWnd* m_pOwnerWnd;
    void SetOwnerWnd(CWnd* pOwner);

    ~CComm() override;

    // Opens the link the parameters describe; true when it is open afterwards (also when it
    // already was). A connect goes on off this thread while this thread keeps serving its
    // windows, and Close ends it early.
    bool Open(const LinkParams& params);
    bool Open_Serial(unsigned short wPort, unsigned long dwBaud);
    bool Open_Ethernet(const wchar_t* lpIPText, int nTcpPort);
    // Close operations of the two transports: each closes whatever link is open. False (and
    // nothing) when none was.
    bool CloseSerial();
    void CloseEthernet();
    // The close operation of the current transport.
    void Close();
    // The program is ending: what the link still had to report to windows is dropped with it,
    // and a lost link is not brought back any more.
    void PrepareExit();

    // Frames: one command leaves at once or waits in the queue; answers are matched to it.
    // Never waits for the link; see CCommandExchange::Send.
    bool SendData(const wchar_t* lpText, CWnd* pReplyWnd, int nKind, bool bDirect);
    void SendEcho(const wchar_t* lpFrameText);
    static int GetAnswerTimeOut(const wchar_t* lpFrameText) { return CCommandExchange::GetAnswerTimeOut(lpFrameText); }
    // Receive thread: shows the frame and classifies it.
    void OnReceiveFrame(const wchar_t* lpFrameText);
    void ClearQueue();
    // Bytes as they are, through the link's writer (tests and tools).
    bool SendBytes(const std::string& bytes) { return m_exchange.SendBytes(bytes); }

    // The console's own settings, from the owner: whether the view shows time stamps, whether
    // a lost link is opened again by itself ("Reconnect"), and the folder of the session
    // records (empty: none are written).
    void SetConsoleOptions(bool bShowTime, bool bReconnect, const std::wstring& sessionFolder);
    // The current (or last) link's session record.
    const CSessionLog& SessionRecord() const { return m_session; }
    // Writes the summary of this link's commands into the console (as "Summary" does).
    void WriteSummary();

    // One formatted line in the console and in the diagnostic log; callable from any thread.
    void LogWrite(int nKind, const wchar_t* lpFormat, ...);
    void UpdateLinkButtons(bool bOpenEnabled, bool bCloseEnabled);
    // Puts the lines that came since the last timer tick into the view, and a change of the
    // queue into its list, now.
    void ShowPendingLines();

    // Writes the whole console record to a file: rich text when the extension is "rtf" in
    // any case, plain text otherwise. False when the file cannot be created or written.
    bool SaveLogToFile(const wchar_t* lpPath);
    // "Log" and the local time, as offered by "Save file".
    static std::wstring DefaultLogFileName();
    // How a closing link tells what it dropped: "no command was waiting", "3 waiting
    // commands dropped".
    static std::wstring DroppedText(int nDropped);
    const CConsoleRecord& GetRecord() const { return m_inbox.Record(); }

    bool PreTranslateMessage(MSG* pMsg) override;

    bool IsConnected() const { return m_exchange.IsConnected(); }
    bool IsOpening() const { return m_bOpening; }
    // The last open was ended by a Close (not a failure to tell the engineer of).
    bool WasOpenCancelled() const { return m_bOpenCancelled; }
    // No link is held: none was opened, or the last one was closed and its threads ended.
    bool IsReleased() const { return m_pLink == nullptr; }
    bool IsReady() const { return m_exchange.IsReady(); }
    int GetQueueCount() const { return m_exchange.QueueCount(); }
    LinkKind GetCommType() const { return m_params.kind; }
    const LinkParams& GetLinkParams() const { return m_params; }
    // Worker threads of the link still alive (0 to 3), and an opener still running.
    int RunningWorkerCount() const;
    HANDLE GetPortHandle() const;
    // The most bytes that waited for the receive thread in this link session.
    size_t MaxReceiveBacklog() const { return m_pLink != nullptr ? m_pLink->MaxBacklog() : 0; }

protected:
    CComm();

    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void PostNcDestroy() override {}

    LRESULT OnInbox(WPARAM wParam, LPARAM lParam);
    LRESULT OnOpened(WPARAM wParam, LPARAM lParam);
    void OnTimer(UINT_PTR nIDEvent);
    void OnBnClickedOpen();
    void OnBnClickedClose();
    void OnBnClickedSend();
    void OnBnClickedLogClear();
    void OnBnClickedQueueClear();
    void OnBnClickedSaveFile();
    void OnBnClickedFilter(UINT nID);
    void OnBnClickedTime();
    void OnBnClickedReconnect();
    void OnBnClickedSummary() { WriteSummary(); }
    void OnClassSelChange() { RebuildCommandText(IDC_COMBO_CLASS, true); }
    void OnClassEdit() { RebuildCommandText(IDC_COMBO_CLASS, false); }
    void OnWordSelChange() { RebuildCommandText(IDC_COMBO_WORD, true); }
    void OnWordEdit() { RebuildCommandText(IDC_COMBO_WORD, false); }
    void OnPortDropDown();
    LRESULT OnShowWindowMsg(WPARAM wParam, LPARAM lParam);
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);

    DECLARE_MESSAGE_MAP()

private:
    // What the link's receive thread hands on.
    void OnFrame(const wchar_t* lpFrame) override { OnReceiveFrame(lpFrame); }
    void OnDataLine(const wchar_t* lpText) override;
    void OnLinkLost(const wchar_t* lpWhy) override { m_exchange.MarkLost(lpWhy); }
    void OnLinkError(const wchar_t* lpText) override { m_inbox.Post(CCommInbox::EventType::ShowError, lpText); }
    // The summary at a link's end, when its commands have not been summarised since they came.
    void WriteLinkSummary();
    // The session record: started at each link open (when there is a folder for it), stopped
    // at the link's end after its last lines; the record's tap hands it every line between.
    void StartSession();
    void StopSession();
    void OnLine(const CConsoleRecord::Line& line) override;
    // User-interface thread: a session record that stopped by itself, or a record that lets
    // lines go, is told once.
    void CheckSessionRecord();
    // Writes the lines of the session records that the console record no longer holds
    // (those before nBeforeSeq) through emit; false when emit failed.
    bool WriteEarlierLines(unsigned long long nBeforeSeq, const CConsoleView::LineSink& emit) const;
    // A line telling how much loose text the gate left out; none for 0.
    void ReportHiddenData(unsigned long long nChars);

    bool OnUiThread() const { return ::GetCurrentThreadId() == m_dwUiThreadId; }
    // An open in two halves: BeginOpen starts the opener thread (which, when bNotify is set,
    // posts WM_COMM_OPENED to the console when it has ended); FinishOpen takes its result and
    // starts the link's workers. bQuiet leaves the console lines of the attempt to the caller.
    bool BeginOpen(const LinkParams& params, bool bNotify, bool bQuiet);
    bool FinishOpen();
    // Ends an open under way on another thread's behalf (Close, the end of the manager).
    void CancelOpen();
    // Bringing back a lost link ("Reconnect"): attempts after 1, 2, 4, 8, 16 and then every
    // 30 s, each off this thread; Close, Exit, Open or unticking the box stop it.
    void StartReconnect();
    // Arms the next attempt; returns how long it is from now, in milliseconds.
    DWORD ScheduleReconnect();
    void AttemptReconnect();
    void AttemptEnded(bool bOpen);
    void StopReconnect(const wchar_t* lpWhy);
    void ShowReconnectCountdown();
    // The close operations: lpName names the one the trace shows.
    bool CloseLink(const wchar_t* lpName);
    // Stops the link's threads, waits for them and releases the port or socket. False when
    // a thread did not end in time; then nothing is released and the next open or close
    // tries again.
    bool ReleaseLink();
    // Handles every event the workers left in the inbox.
    void DrainInbox();
    void StartViewTimer();
    void ShowWaitingCommand(const wchar_t* lpText, int nTimeOutMs = 0);
    // Makes the console's queue list and count mirror the queue.
    void SyncQueueView();
    void RebuildCommandText(int nFromCombo, bool bSelectionChanged);
    void SyncSettingsFields();
    static void AddToHistory(CComboBox& combo, std::wstring& lastSeen);
    void ShowSerialFields(bool bSerial);

    // The user-interface thread: the one that created the manager.
    DWORD m_dwUiThreadId = 0;
    CPerformanceClock m_clock;
    CCommInbox m_inbox;
    CCommandExchange m_exchange;
    // Loose text of the link's receive thread (see CDataGate for its threads).
    CDataGate m_dataGate{m_clock};

    // User-interface thread only. The link of the current session lives from a successful
    // open until its threads have all ended and it was released.
    std::unique_ptr<CLink> m_pLink;
    LinkParams m_params;
    bool m_bOpening = false;
    bool m_bOpenCancelled = false;
    HANDLE m_hCancelOpen = nullptr;
    // The open under way: created and deleted here; the opener thread writes its result and
    // ends, and this thread reads the result only after the thread has ended.
    struct OpenJob;
    std::unique_ptr<OpenJob> m_pOpenJob;
    // The failure of the last open (0: none, or cancelled).
    DWORD m_dwOpenError = 0;
    // The program is ending (user-interface thread).
    bool m_bExiting = false;
    // Bringing back a lost link (user-interface thread only).
    struct Reconnect {
        bool bOn = false;            // the "Reconnect" choice
        bool bActive = false;        // a lost link is being brought back
        int nAttempt = 0;            // attempts started
        ULONGLONG ullDue = 0;        // tick of the next attempt; 0 while one runs
        ULONGLONG ullLostAt = 0;
        LinkParams params;           // the lost link
    };
    Reconnect m_reconnect;
    // The schedule's unit: a second (tests and the soak shorten it, RIG_RECONNECT_UNIT_MS).
    DWORD m_dwReconnectUnitMs = 1000;
    // The owner window as a handle: read by the receive thread, written here.
    std::atomic<HWND> m_hOwner{nullptr};
    HICON m_hIcon = nullptr;

    // The console's mirror of the queue (user-interface thread): which pushes its rows show.
    unsigned long long m_nQueueClears = 0;
    unsigned long long m_nQueueRowsFrom = 0;
    unsigned long long m_nQueueRowsTo = 0;
    // What the waiting fields show (user-interface thread).
    std::wstring m_waitingShown;
    int m_nWaitingShownSeconds = -1;
    // The session records' folder (user-interface thread); empty: none.
    std::wstring m_sessionFolder;
    // The current link's session record: started and stopped by the user-interface thread,
    // appended to by the tap on any thread (the record's tap is set only while it runs).
    CSessionLog m_session;
    // The first and the last record sequence the tap gave it: written by the tap inside the
    // record's lock, read by the user-interface thread once the tap is gone.
    std::atomic<unsigned long long> m_nTapFirstSeq{0};
    std::atomic<unsigned long long> m_nTapEndSeq{0};
    // The session records of the console record since it was last cleared, and which of its
    // sequences each holds (user-interface thread).
    struct SessionSpan {
        std::vector<std::wstring> parts;
        unsigned long long nFirstSeq;
        unsigned long long nEndSeq;
    };
    std::vector<SessionSpan> m_sessions;
    // The record's sequence at its last Clear: earlier lines are out of every saved log.
    unsigned long long m_nClearSeq = 0;
    bool m_bDropTold = false;
    // The combos' texts their history last looked at (user-interface thread).
    std::wstring m_historyWordSeen;
    std::wstring m_historyClassSeen;
    // The queue list's timer runs (a change waits to be shown).
    bool m_bQueueViewTimer = false;
    // The view's timer: its period follows what a tick costs.
    bool m_bViewTimer = false;
    UINT m_nViewPeriodMs = 0;

    // Console controls.
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

public:
    // The exchange's link-open flag, lock and events under the names the trace and the tools
    // know (declared after the exchange, which they refer to).
    std::atomic<unsigned char>& m_bConnected;
    CCriticalSection& m_csWrite;
    const HANDLE& m_hQueueEvent;
    const HANDLE& m_hAnswerEvent;
};
