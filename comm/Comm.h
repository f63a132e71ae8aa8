// CComm: the one link manager of the process. It owns the serial port or TCP connection to
// the unit, the three worker threads that serve it, the command queue, the wait state of the
// command in flight, and the communication console (this dialog) that shows every line that
// crosses the link. Created by the owner window through GetInstance, deleted in its exit
// sequence; every worker thread has ended before the link's handles or the object go.
#pragma once

#include "comm/CommandQueue.h"
#include "comm/ConsoleLog.h"
#include "comm/Frame.h"
#include "comm/Notify.h"
#include "comm/RecvKind.h"
#include "controls/MyRichEditCtrl.h"
#include "framework/Button.h"
#include "framework/ComboBox.h"
#include "framework/Dialog.h"
#include "framework/Edit.h"
#include "framework/IPAddressCtrl.h"
#include "framework/ListCtrl.h"
#include "framework/Sync.h"
#include "resource.h"

#include <winsock2.h>
#include <windows.h>

#include <atomic>

// Kinds of console lines.
enum LogKind : int {
    LOG_KIND_SEND = 100,
    LOG_KIND_RECV = 101,
    LOG_KIND_DATA = 102,
};

// Console colours of the line kinds and of the line-number prefix.
constexpr COLORREF kColorLogPrefix = RGB(62, 138, 161);
constexpr COLORREF kColorLogSend = RGB(96, 167, 45);
constexpr COLORREF kColorLogRecv = RGB(187, 180, 0);
constexpr COLORREF kColorLogData = RGB(0, 0, 0);
constexpr COLORREF kColorLogBack = RGB(227, 233, 245);

unsigned int WINAPI Thread_WatchSerial(void* pParam);
unsigned int WINAPI Thread_WatchEthernet(void* pParam);
unsigned int WINAPI Thread_WatchTimeOut(void* pParam);
unsigned int WINAPI Thread_WaitComm(void* pParam);

class CComm : public CDialog {
public:
    // The single instance; the first call creates it (and its hidden console) on the
    // calling thread, which becomes the user-interface thread of the link manager.
    static CComm* GetInstance(int nCommType);
    // The instance if one exists, without creating it.
    static CComm* PeekInstance();

    // Window that receives unsolicited notifications (SMP, SLP). Set by the owner right
    // after GetInstance; cleared by the destructor.
    static CWnd* m_pOwnerWnd;

    ~CComm() override;

    bool Open_Serial(unsigned short wPort, unsigned long dwBaud);
    bool CloseSerial();
    bool Open_Ethernet(const wchar_t* lpIPText, int nTcpPort);
    void CloseEthernet();

    // Raw transfer on the open transport.
    DWORD WriteSerial(const BYTE* pBytes, DWORD dwLength);
    DWORD ReadSerial(BYTE* pBuffer); // at most kSerialReadBytes
    bool SendEthernet(const char* pBytes, int nLength);

    // Frames: one command leaves at once or waits in the queue; answers are matched to it.
    bool SendData(const wchar_t* lpText, CWnd* pReplyWnd, int nKind, bool bDirect);
    void SendEcho(const wchar_t* lpFrameText);
    static int GetAnswerTimeOut(const wchar_t* lpFrameText);
    void OnReceiveFrame(const wchar_t* lpFrameText);
    void ClearQueue();

    // One formatted line in the console and in the diagnostic log; callable from any thread.
    void LogWrite(int nKind, const wchar_t* lpFormat, ...);
    void UpdateLinkButtons(bool bOpenEnabled, bool bCloseEnabled);

    // Writes the whole console log to a file: rich text when the extension is
    // "rtf" in any case, plain text otherwise. False, with the log unchanged, when the file
    // cannot be created or written.
    bool SaveLogToFile(const wchar_t* lpPath);
    // "Log" and the local time, as offered by "Save file".
    static std::wstring DefaultLogFileName();
    const CConsoleLog& GetLog() const { return m_log; }

    bool PreTranslateMessage(MSG* pMsg) override;

    bool IsConnected() const { return m_bConnected.load() != 0; }
    bool IsReady() const { return m_bReady.load() != 0; }
    int GetQueueCount() const { return m_queue.Count(); }
    // Worker threads of the link still alive (0 to 3).
    int RunningWorkerCount() const;
    HANDLE GetPortHandle() const { return m_hComm; }

    static constexpr DWORD kSerialReadBytes = 512;
    static constexpr int kTcpReadBytes = 256;

    int m_nCommType;

protected:
    explicit CComm(int nCommType);

    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    void PostNcDestroy() override {}

    LRESULT OnLogLines(WPARAM wParam, LPARAM lParam);
    LRESULT OnReapLink(WPARAM wParam, LPARAM lParam);
    LRESULT OnShowError(WPARAM wParam, LPARAM lParam);
    LRESULT OnSyncQueue(WPARAM wParam, LPARAM lParam);
    void OnBnClickedOpen();
    void OnBnClickedClose();
    void OnBnClickedSend();
    void OnBnClickedLogClear();
    void OnBnClickedQueueClear();
    void OnBnClickedSaveFile();
    void OnBnClickedFilter(UINT nID);
    void OnClassSelChange() { RebuildCommandText(IDC_COMBO_CLASS, true); }
    void OnClassEdit() { RebuildCommandText(IDC_COMBO_CLASS, false); }
    void OnWordSelChange() { RebuildCommandText(IDC_COMBO_WORD, true); }
    void OnWordEdit() { RebuildCommandText(IDC_COMBO_WORD, false); }
    LRESULT OnShowWindowMsg(WPARAM wParam, LPARAM lParam);
    LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
    HBRUSH OnCtlColor(CDC* pDC, CWnd* pWnd, UINT nCtlColor);

    DECLARE_MESSAGE_MAP()

private:
    friend unsigned int WINAPI Thread_WatchSerial(void* pParam);
    friend unsigned int WINAPI Thread_WatchEthernet(void* pParam);
    friend unsigned int WINAPI Thread_WatchTimeOut(void* pParam);
    friend unsigned int WINAPI Thread_WaitComm(void* pParam);

    bool OnUiThread() const { return GetCurrentThreadId() == m_dwUiThreadId; }
    void RebuildCommandText(int nFromCombo, bool bSelectionChanged);
    void SyncSettingsFields();
    static void AddToHistory(CComboBox& combo);
    void ShowSerialFields(bool bSerial);
    bool StartWorkers(unsigned int(WINAPI* pfnReceive)(void*));
    // Stops the workers of a link already marked closed, waits for them, and releases the
    // port or socket. User-interface thread only. False when a worker did not end in time;
    // then nothing is released and the next open or close tries again.
    bool ReleaseLink(DWORD dwWaitMs = 10000);
    bool HasLinkResources() const;
    // Marks the link closed from any thread: wakes every worker, and when called on a worker
    // thread asks the user-interface thread to release the link.
    void MarkClosed();
    void FeedReceived(CFrameAssembler& assembler, const BYTE* pBytes, int nCount);
    // Makes the console's queue list and count mirror the ring; from a worker thread the
    // user-interface thread is asked to do it.
    void SyncQueueView();
    void ShowWaitingCommand(const wchar_t* lpText, int nTimeOutMs);
    // Sends what waits in the queue after an answer (dispatcher thread).
    void DispatchQueued();
    // Shows an error box on the user-interface thread without holding up the caller.
    void ShowError(const wchar_t* lpText);

    // Link (written by the user-interface thread; workers only read the handles).
    HANDLE m_hComm = INVALID_HANDLE_VALUE;
    OVERLAPPED m_osRead{};
    OVERLAPPED m_osWrite{};
    HANDLE m_hThreadRecv = nullptr;
    HANDLE m_hThreadWait = nullptr;
    HANDLE m_hThreadTimeOut = nullptr;
    unsigned short m_wPort = 0;
    unsigned long m_dwBaud = 0;
    wchar_t m_szIPAddress[260] = {};
    wchar_t m_szTcpPort[260] = {};

    // Wait state of the command in flight; m_csState covers it together with the decision
    // to queue a command and the dispatcher's updates.
    CCriticalSection m_csState;
    int m_nWaitKind = enRECV_NONE;
    CCommandQueue m_queue;
    CWnd* m_pReplyWnd = nullptr;
    std::atomic<int> m_bReady{1};
    std::atomic<int> m_TimeOutCnt{90000};
    // When the command in flight left (tick count); its time-out runs from here.
    std::atomic<unsigned long long> m_ullArmedAt{0};
    wchar_t m_szRecvFrame[kFrameTextChars] = {};
    wchar_t m_szLastSend[kFrameTextChars] = {};
    // The answer matched to the command in flight, kept for the dispatcher until it reports
    // it, so a later frame cannot overwrite it; a command is answered once only.
    bool m_bAwaiting = false;
    bool m_bAnswerPending = false;
    wchar_t m_szAnswer[kFrameTextChars] = {};
    int m_nAnswerKind = enRECV_NONE;
    CWnd* m_pAnswerWnd = nullptr;

    CCriticalSection m_csWrite;
    HANDLE m_hQueueEvent = nullptr;
    HANDLE m_hAnswerEvent = nullptr;
    // Set when the link is to stop; wakes a receive thread that waits for the socket.
    HANDLE m_hStopEvent = nullptr;
    // Signalled by the socket library when the socket has data or was closed.
    WSAEVENT m_hNetEvent = nullptr;
    std::atomic<unsigned char> m_bConnected{0};
    HICON m_hIcon = nullptr;
    WSADATA m_wsaData{};
    bool m_bWsaStarted = false;
    SOCKET m_hSocket = 0;

    DWORD m_dwUiThreadId = 0;

    // Console lines written by worker threads, waiting for the user-interface thread, which
    // takes them all at once; m_csPending covers the list.
    CCriticalSection m_csPending;
    std::vector<CConsoleLog::Pending> m_pendingLines;
    void TakePendingLines();

    // Console controls.
    CMyRichEditCtrl m_ctrlLog;
    CConsoleLog m_log;
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
