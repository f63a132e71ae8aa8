// CComm: the one link manager of the process, the face that the rest of the program knows.
// It keeps the names its callers use and composes the parts that do the work, handing each
// the narrow interface it needs:
//   CLinkOpener       opens links off this thread and brings back a lost one ("Reconnect");
//   CLink             the transport (CSerialLink, CTcpLink), its handles and receive thread;
//   CFrameRouter      the link's sink: shows each frame and hands it to its owner;
//   CCommandExchange  the command in flight, the queue, the dispatcher and the watchdog;
//   CCommInbox        the one hand-over from the workers to this thread, with the record;
//   CSessionRecorder  every console line of a link session on disk;
//   CProcedureRun     a service procedure's run and its report;
//   CCommConsole      the communication console dialog.
// No part calls back into CComm but through the interface it was given (the opener's host,
// the console's host). Created by the owner window through GetInstance, deleted in its exit
// sequence. Every public operation but LogWrite, SendData, SendEcho and OnReceiveFrame belongs
// to the user-interface thread (the thread that created the manager).
#pragma once

#include "comm/console/CommConsole.h"
#include "comm/exchange/CommandExchange.h"
#include "comm/exchange/FrameRouter.h"
#include "comm/link/Link.h"
#include "comm/link/LinkOpener.h"
#include "comm/procedure/ProcedureRun.h"
#include "comm/protocol/Clock.h"
#include "comm/protocol/LinkParams.h"
#include "comm/protocol/Notify.h"
#include "comm/protocol/RecvKind.h"
#include "comm/record/CommInbox.h"
#include "comm/record/SessionRecorder.h"
#include "framework/MessageWindow.h"
#include "framework/Wnd.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class CComm final : private IOpenerHost, private IConsoleHost, private IProcedureHost {
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

    // Ends the link (bounded); workers that do not end in time keep what they use, which is
    // then left to the end of the process.
    ~CComm();
    CComm(const CComm&) = delete;
    CComm& operator=(const CComm&) = delete;

    // Opens the link the parameters describe; true when it is open afterwards (also when it
    // already was). A connect goes on off this thread while this thread keeps serving its
    // windows, and Close ends it at once.
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
    // a lost link is not brought back, an open under way is given up, and no box is shown.
    void PrepareExit();

    // Frames: one command leaves at once or waits in the queue; answers are matched to it.
    // Never waits for the link; see CCommandExchange::Send.
    bool SendData(const wchar_t* lpText, CWnd* pReplyWnd, int nKind, bool bDirect);
    void SendEcho(const wchar_t* lpFrameText);
    static int GetAnswerTimeOut(const wchar_t* lpFrameText) { return CCommandExchange::GetAnswerTimeOut(lpFrameText); }
    // Receive thread: shows the frame and hands it to its owner.
    void OnReceiveFrame(const wchar_t* lpFrameText) { m_router.OnFrame(lpFrameText); }
    void ClearQueue();
    // Bytes as they are, through the link's writer (tests and tools).
    bool SendBytes(const std::string& bytes) { return m_exchange.SendBytes(bytes); }

    // The console's own settings, from the owner: whether the view shows time stamps, whether
    // a lost link is opened again by itself ("Reconnect"), and the folder of the session
    // records (empty: none are written).
    void SetConsoleOptions(bool bShowTime, bool bReconnect, const std::wstring& sessionFolder);
    // The session records' folder is kept within this many bytes (0: no limit).
    void SetSessionFolderLimit(unsigned long long nBytes) { m_recorder.SetFolderLimit(nBytes); }
    // The current (or last) link's session record.
    const CSessionLog& SessionRecord() const { return m_recorder.Log(); }
    // Writes the summary of this link's commands into the console (as "Summary" does).
    void WriteSummary();

    // One formatted line in the console and in the diagnostic log; callable from any thread.
    void LogWrite(int nKind, const wchar_t* lpFormat, ...);
    void UpdateLinkButtons(bool bOpenEnabled, bool bCloseEnabled) { m_console.UpdateLinkButtons(bOpenEnabled, bCloseEnabled); }
    // Puts the lines that came since the last timer tick into the view, and a change of the
    // queue into its list, now.
    void ShowPendingLines() { m_console.ShowPendingLines(); }

    // Writes the whole session's console lines to a file: rich text when the extension is
    // "rtf" in any case, plain text otherwise. False when the file cannot be written.
    bool SaveLogToFile(const wchar_t* lpPath);
    static std::wstring DefaultLogFileName() { return CCommConsole::DefaultLogFileName(); }
    // How a closing link tells what it dropped: "no command was waiting", "3 waiting
    // commands dropped".
    static std::wstring DroppedText(int nDropped);
    const CConsoleRecord& GetRecord() const { return m_inbox.Record(); }

    // Service procedures: reads the file and runs it through this link; the report goes into
    // reportFolder (empty: beside the session records, or the program's folder without them).
    // False, with the reason in the console and in error, and nothing sent, when the file or
    // the procedure is refused or the run cannot start. The owner window gets
    // WM_PROCEDURE_ENDED when the run ends (wParam 0: every step passed, 1: not).
    bool RunProcedure(const std::wstring& path, const std::wstring& reportFolder, bool bUnattended, std::wstring& error);
    void StopProcedure() { m_procedure.Stop(); }
    bool IsProcedureRunning() const { return m_procedure.IsRunning(); }
    // No box waits for a person (an unattended run): errors go to the console and the trace.
    void SetUnattended(bool bOn) { m_bUnattended = bOn; }
    // How the last run ended.
    const ProcedureOutcome& LastProcedureOutcome() const { return m_lastOutcome; }

    // The console dialog.
    CCommConsole& Console() { return m_console; }
    HWND ConsoleWindow() const { return m_console.m_hWnd; }
    void ShowConsole(bool bShow);

    bool IsConnected() const { return m_exchange.IsConnected(); }
    bool IsOpening() const { return m_opener.IsOpening(); }
    // The last open was ended by a Close (not a failure to tell the engineer of).
    bool WasOpenCancelled() const { return m_bOpenCancelled; }
    // No link is held: none was opened, or the last one was closed and its threads ended.
    bool IsReleased() const { return m_parts->pLink == nullptr; }
    bool IsReady() const { return m_exchange.IsReady(); }
    int GetQueueCount() const { return m_exchange.QueueCount(); }
    LinkKind GetCommType() const { return m_params.kind; }
    const LinkParams& GetLinkParams() const { return m_params; }
    // Worker threads of the link still alive (0 to 3), and openers still running.
    int RunningWorkerCount() const;
    HANDLE GetPortHandle() const;
    // The most bytes that waited for the receive thread in this link session.
    size_t MaxReceiveBacklog() const { return m_parts->pLink != nullptr ? m_parts->pLink->MaxBacklog() : 0; }

private:
    CComm();

    // IOpenerHost
    bool OnLinkOpened(std::unique_ptr<CLink> pLink, const LinkParams& params) override;
    bool IsLinkUp() const override { return IsConnected(); }
    void OnOpenerLine(const std::wstring& text) override { LogWrite(LOG_KIND_DATA, L"%s", text.c_str()); }
    void OnOpenerState() override;

    // IConsoleHost
    void ConsoleOpen(const LinkParams& params) override;
    void ConsoleClose() override;
    void ConsoleSend(const wchar_t* lpText, int nKind) override;
    void ConsoleClearQueue() override;
    void ConsoleClearLog() override;
    void ConsoleSummary() override { WriteSummary(); }
    bool ConsoleSave(const wchar_t* lpPath) override { return SaveLogToFile(lpPath); }
    void ConsoleSetReconnect(bool bOn) override;
    void ConsoleLine(const wchar_t* lpText) override { LogWrite(LOG_KIND_DATA, L"%s", lpText); }
    bool ConsoleIsConnected() const override { return IsConnected(); }
    bool ConsoleIsOpening() const override { return IsOpening(); }
    HWND ConsoleOwner() const override { return m_hOwner.load(); }

    void ConsoleProcedure(const wchar_t* lpPath) override;
    void ConsoleStopProcedure() override { StopProcedure(); }

    // IProcedureHost
    bool ProcedureAsk(const std::wstring& question) override;
    void ProcedureProgress(int nDone, int nSteps, const std::wstring& text) override;
    void ProcedureEnded(const ProcedureOutcome& outcome) override;

    bool OnUiThread() const { return ::GetCurrentThreadId() == m_dwUiThreadId; }
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // The close operations: lpName names the one the trace shows.
    bool CloseLink(const wchar_t* lpName);
    // Stops the link's threads, waits for them (bounded) and releases the port or socket.
    // False when a thread did not end in time; then nothing is released.
    bool ReleaseLink();
    // The link's end, whoever marked it closed: released, then (once per link) the summary of
    // its commands and the end of its session record, even when a worker holds on. A link
    // that "Reconnect" will bring back keeps its record going (bKeepRecord).
    bool EndLink(const wchar_t* lpTraceName = nullptr, bool bKeepRecord = false);
    // The session record of the link session, with the timer that looks for its writer's
    // failures and notices while it runs.
    void StartRecord();
    void StopRecord();
    void WriteLinkSummary();
    // Handles every event the workers left in the inbox; error boxes only when bShowBoxes
    // (from the message loop, never inside a send, a clear or the exit).
    void DrainInbox(bool bShowBoxes);
    void ShowErrors();
    // The console's buttons and countdown as the link and the opener are now.
    void RefreshButtons();

    // What the link's workers use: kept on the heap so that a manager whose workers do not
    // end can leave it to them rather than free it under them.
    struct Parts {
        CPerformanceClock clock;
        CCommInbox inbox;
        CCommandExchange exchange{inbox, clock};
        CFrameRouter router{exchange, inbox, clock};
        CSessionRecorder recorder{inbox};
        // The link of the current session: from its open until its threads have all ended
        // and it was released (user-interface thread).
        std::unique_ptr<CLink> pLink;
    };
    std::unique_ptr<Parts> m_parts;
    CCommInbox& m_inbox;
    CCommandExchange& m_exchange;
    CFrameRouter& m_router;
    CSessionRecorder& m_recorder;

    // The user-interface thread: the one that created the manager.
    const DWORD m_dwUiThreadId;
    // The owner window as a handle: written here, read by any thread.
    std::atomic<HWND> m_hOwner{nullptr};

    // User-interface thread only.
    LinkParams m_params;
    bool m_bOpenCancelled = false;
    bool m_bExiting = false;
    bool m_bLinkEnded = true;            // the current link's end has been written
    bool m_bShowingBox = false;
    std::vector<std::wstring> m_errors;  // error boxes waiting to be shown
    ProcedureOutcome m_lastOutcome;
    bool m_bUnattended = false;

    // The whole session as the console's view pages through it (user-interface thread).
    CSessionLines m_lines;

    // Receives WM_COMM_INBOX (declared before the parts that post to it go).
    CMessageWindow m_window;
    CLinkOpener m_opener;
    CProcedureRun m_procedure;
    CCommConsole m_console;

public:
    // The exchange's link-open flag, lock and events under the names the trace and the tools
    // know.
    std::atomic<unsigned char>& m_bConnected;
    CCriticalSection& m_csWrite;
    const HANDLE& m_hQueueEvent;
    const HANDLE& m_hAnswerEvent;
};
