#include "comm/Comm.h"

#include "comm/link/SerialLink.h"
#include "messages.h"
#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <cstdarg>
#include <cwchar>

namespace {
CComm* g_pCommInstance = nullptr;

// How long a close waits for the link's threads, all together: it covers the longest wait a
// woken worker may still be in (a cancelled write coming back).
constexpr DWORD kJoinMs = CLink::kJoinBudgetMs;
// While a session record runs, how often its writer's failures are looked for (they come
// from its own thread, which tells nobody).
constexpr UINT_PTR kRecordCheckTimer = 1;
constexpr UINT kRecordCheckMs = 250;
} // namespace

CWnd* CComm::m_pOwnerWnd = nullptr;

std::wstring CComm::DroppedText(int nDropped)
{
    if (nDropped <= 0)
        return L"no command was waiting";
    return std::to_wstring(nDropped) + (nDropped == 1 ? L" waiting command dropped" : L" waiting commands dropped");
}

CComm* CComm::GetInstance()
{
    if (g_pCommInstance == nullptr)
        g_pCommInstance = new CComm();
    return g_pCommInstance;
}

CComm* CComm::PeekInstance()
{
    return g_pCommInstance;
}

CComm::CComm()
    : m_parts(std::make_unique<Parts>()), m_inbox(m_parts->inbox), m_exchange(m_parts->exchange), m_router(m_parts->router),
      m_recorder(m_parts->recorder), m_dwUiThreadId(::GetCurrentThreadId()), m_lines(m_parts->inbox.Record(), m_parts->recorder),
      m_window([this](UINT message, WPARAM wParam, LPARAM lParam) { return OnMessage(message, wParam, lParam); }),
      m_opener(*this), m_procedure(m_parts->exchange, m_parts->inbox, *this), m_console(*this, m_parts->inbox, m_parts->exchange, m_lines), m_bConnected(m_parts->exchange.m_bConnected),
      m_csWrite(m_parts->exchange.m_csWrite), m_hQueueEvent(m_parts->exchange.m_hQueueEvent),
      m_hAnswerEvent(m_parts->exchange.m_hAnswerEvent)
{
    m_inbox.SetTarget(m_window.Handle());
    m_console.CreateHidden();
}

CComm::~CComm()
{
    // The owner closes the link before it deletes the manager; whatever still runs is
    // stopped here, because no worker may outlive what it uses.
    m_bExiting = true;
    m_inbox.SetTarget(nullptr);
    m_opener.PrepareExit();
    m_exchange.MarkClosed();
    if (!EndLink()) {
        // A worker that does not end keeps what it uses until the process ends.
        LOG_ERROR(L"The link's workers did not end: what they use is left to the end of the process");
        static_cast<void>(m_parts.release());
    }
    m_pOwnerWnd = nullptr;
    if (g_pCommInstance == this)
        g_pCommInstance = nullptr;
}

void CComm::SetOwnerWnd(CWnd* pOwner)
{
    m_pOwnerWnd = pOwner;
    const HWND hOwner = pOwner != nullptr ? pOwner->m_hWnd : nullptr;
    m_hOwner.store(hOwner);
    m_router.SetOwner(hOwner);
    m_console.SetOwner(hOwner);
}

void CComm::ShowConsole(bool bShow)
{
    if (m_console.m_hWnd != nullptr)
        m_console.ShowWindow(bShow ? SW_SHOW : SW_HIDE);
}

// ---------------------------------------------------------------------------------------
// Opening and closing

bool CComm::Open_Serial(unsigned short wPort, unsigned long dwBaud)
{
    return Open(LinkParams::Serial(wPort, dwBaud));
}

bool CComm::Open_Ethernet(const wchar_t* lpIPText, int nTcpPort)
{
    return Open(LinkParams::Tcp(lpIPText, nTcpPort));
}

bool CComm::Open(const LinkParams& params)
{
    const wchar_t* lpName = params.kind == LinkKind::Serial ? L"CComm::Open_Serial" : L"CComm::Open_Ethernet";
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", lpName);
    if (IsConnected())
        return true;
    if (m_opener.IsOpening()) {
        LogWrite(LOG_KIND_DATA, L"%s", L"The link is being opened already");
        return false;
    }
    m_bOpenCancelled = false;
    // A port out of range fails before anything is touched.
    if (params.kind == LinkKind::Tcp && (params.nTcpPort <= 0 || params.nTcpPort > 65535)) {
        LogWrite(LOG_KIND_DATA, L"%s not opened: no such TCP port", params.Describe().c_str());
        return false;
    }
    // A link that ended by itself (time-out, lost port) is released before the new one.
    if (!EndLink()) {
        LogWrite(LOG_KIND_DATA, L"%s not opened: the last link's workers have not ended", params.Describe().c_str());
        return false;
    }
    m_params = params;
    m_console.SetLinkParams(params);
    m_console.ShowLinkKind(params.kind);
    const DWORD dwResult = m_opener.OpenWaiting(params);
    m_bOpenCancelled = dwResult == ERROR_CANCELLED;
    RefreshButtons();
    if (dwResult != 0)
        return false;
    LogWrite(LOG_KIND_DATA, L"FUN_E - %s", lpName);
    return true;
}

bool CComm::OnLinkOpened(std::unique_ptr<CLink> pLink, const LinkParams& params)
{
    // A link that ended by itself while this one was being opened goes first.
    if (!EndLink()) {
        pLink->Close();
        return false;
    }
    m_params = params;
    m_parts->pLink = std::move(pLink);
    m_bLinkEnded = false;
    m_router.StartLink();
    // The stamps of this link's lines count from the system's time now.
    m_inbox.Record().Anchor();
    StartRecord();
    if (!m_exchange.Start(*m_parts->pLink) || !m_parts->pLink->Start(m_router, m_exchange.m_bConnected)) {
        LOG_ERROR(L"The link's threads could not be started");
        m_exchange.MarkClosed();
        EndLink();
        DrainInbox(false);
        return false;
    }
    ClearQueue();
    RefreshButtons();
    return true;
}

bool CComm::CloseSerial()
{
    return CloseLink(L"CComm::CloseSerial");
}

void CComm::CloseEthernet()
{
    CloseLink(L"CComm::CloseEthernet");
}

void CComm::Close()
{
    if (m_params.kind == LinkKind::Serial)
        CloseSerial();
    else
        CloseEthernet();
}

void CComm::PrepareExit()
{
    m_bExiting = true;
    m_opener.PrepareExit();
    m_exchange.DropNoticesAtClose();
}

bool CComm::CloseLink(const wchar_t* lpName)
{
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", lpName);
    if (!OnUiThread()) {
        // Only the user-interface thread releases the link; from elsewhere it is told to.
        const bool bWasOpen = m_exchange.IsConnected();
        m_exchange.MarkLost(L"closed");
        return bWasOpen;
    }
    // Close gives up an open under way at once (its thread is left to finish), and stops
    // the bringing back of a lost link.
    if (m_opener.Cancel(L"the link was closed")) {
        m_bOpenCancelled = true;
        RefreshButtons();
        return false;
    }
    // Of two closes at once (the console's and a lost link's) only one marks it closed; the
    // link's end is written either way.
    int nDropped = 0;
    const bool bClosedHere = m_exchange.MarkClosed(&nDropped);
    if (nDropped > 0)
        LogWrite(LOG_KIND_DATA, L"%s", DroppedText(nDropped).c_str());
    ClearQueue();
    EndLink(bClosedHere ? lpName : nullptr);
    RefreshButtons();
    return bClosedHere;
}

bool CComm::ReleaseLink()
{
    CLink* pLink = m_parts->pLink.get();
    if (pLink == nullptr)
        return true;
    m_exchange.MarkClosed();
    pLink->Wake();
    const ULONGLONG ullStart = ::GetTickCount64();
    const bool bExchangeEnded = m_exchange.Join(kJoinMs);
    const DWORD dwSpent = static_cast<DWORD>(::GetTickCount64() - ullStart);
    if (!bExchangeEnded || !pLink->Join(dwSpent < kJoinMs ? kJoinMs - dwSpent : 0)) {
        LOG_ERROR(L"Link workers did not end within %d ms; port and socket kept", static_cast<int>(kJoinMs));
        return false;
    }
    m_exchange.Detach();
    // The receive thread has ended: whatever its gate still counts is told now.
    m_router.TellHiddenData(m_router.TakeHiddenData());
    const int nResult = pLink->Close();
    if (pLink->Kind() == LinkKind::Tcp)
        LogWrite(LOG_KIND_DATA, L"DAT_A - %d = closesocket()", nResult);
    m_parts->pLink.reset();
    return true;
}

bool CComm::EndLink(const wchar_t* lpTraceName, bool bKeepRecord)
{
    const bool bReleased = ReleaseLink();
    if (!m_bLinkEnded) {
        // Written even when a worker holds on: the summary and the record do not wait for it.
        m_bLinkEnded = true;
        m_console.ShowWaitingCommand(L"");
        WriteLinkSummary();
        if (lpTraceName != nullptr)
            LogWrite(LOG_KIND_DATA, L"FUN_E - %s", lpTraceName);
        if (!bKeepRecord)
            StopRecord();
        m_console.OnLinesWaiting();
    }
    return bReleased;
}

void CComm::StartRecord()
{
    m_recorder.Start();
    if (m_window.Handle() != nullptr)
        ::SetTimer(m_window.Handle(), kRecordCheckTimer, kRecordCheckMs, nullptr);
}

void CComm::StopRecord()
{
    m_recorder.Stop();
    if (m_window.Handle() != nullptr)
        ::KillTimer(m_window.Handle(), kRecordCheckTimer);
}

void CComm::OnOpenerState()
{
    // A record kept going for a link that "Reconnect" was to bring back ends when nothing is
    // brought back any more (Close, the box unticked, the program's end, an open by hand).
    if (m_bLinkEnded && m_recorder.IsRunning() && !IsConnected() && !m_opener.IsOpening() && !m_opener.IsReconnecting())
        StopRecord();
    RefreshButtons();
}

int CComm::RunningWorkerCount() const
{
    const CLink* pLink = m_parts->pLink.get();
    return m_exchange.RunningThreads() + (pLink != nullptr && pLink->IsReceiving() ? 1 : 0) + m_opener.RunningThreads();
}

HANDLE CComm::GetPortHandle() const
{
    const CLink* pLink = m_parts->pLink.get();
    if (pLink == nullptr || pLink->Kind() != LinkKind::Serial)
        return INVALID_HANDLE_VALUE;
    return static_cast<const CSerialLink*>(pLink)->Handle();
}

void CComm::RefreshButtons()
{
    // Open while nothing is open or being opened; Close while something is, and while a lost
    // link is being brought back (Close stops that).
    const bool bBusy = IsConnected() || m_opener.IsOpening();
    m_console.UpdateLinkButtons(!bBusy, bBusy || m_opener.IsReconnecting());
    m_console.ShowCountdown(m_opener.CountdownText());
}

// ---------------------------------------------------------------------------------------
// Frames

bool CComm::SendData(const wchar_t* lpText, CWnd* pReplyWnd, int nKind, bool bDirect)
{
    // The window is kept as its handle, taken now: a window that goes before its answer
    // comes is simply not told, and never touched.
    const HWND hReply = pReplyWnd != nullptr ? pReplyWnd->m_hWnd : nullptr;
    const bool bTaken = m_exchange.Send(lpText, hReply, nKind, bDirect);
    if (OnUiThread())
        DrainInbox(false);
    return bTaken;
}

void CComm::SendEcho(const wchar_t* lpFrameText)
{
    m_exchange.SendEcho(lpFrameText, nullptr);
}

void CComm::ClearQueue()
{
    if (const int nDropped = m_exchange.ClearQueue())
        LogWrite(LOG_KIND_DATA, L"%s", DroppedText(nDropped).c_str());
    if (OnUiThread())
        DrainInbox(false);
}

void CComm::WriteSummary()
{
    for (const std::wstring& line : m_exchange.SummaryLines())
        LogWrite(LOG_KIND_DATA, L"%s", line.c_str());
    m_exchange.MarkSummaryShown();
}

void CComm::WriteLinkSummary()
{
    // A link that carried commands ends with their summary.
    if (m_exchange.SummaryChanged())
        WriteSummary();
}

// ---------------------------------------------------------------------------------------
// What the workers hand over

bool CComm::OnMessage(UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_TIMER && wParam == kRecordCheckTimer) {
        m_recorder.Check();
        m_console.OnLinesWaiting();
        return true;
    }
    if (message != WM_COMM_INBOX)
        return false;
    // A ticking view is woken so only when its timer was kept from it.
    m_console.OnViewOverdue();
    DrainInbox(true);
    return true;
}

void CComm::DrainInbox(bool bShowBoxes)
{
    std::wstring lost;
    int nLostDropped = 0;
    bool bLostIsCurrent = false;
    for (const CCommInbox::Event& event : m_inbox.TakeEvents()) {
        switch (event.type) {
        case CCommInbox::EventType::QueueChanged:
            m_console.OnQueueChanged();
            break;
        case CCommInbox::EventType::CommandWaiting:
            m_console.ShowWaitingCommand(event.text.c_str(), event.nValue);
            break;
        case CCommInbox::EventType::CommandAnswered:
        case CCommInbox::EventType::CommandTimedOut:
            break;
        case CCommInbox::EventType::ShowError:
            m_errors.push_back(event.text);
            break;
        case CCommInbox::EventType::LinkLost:
            lost = event.text;
            nLostDropped = event.nCount;
            // A link lost before the current one was opened has been released by that open.
            bLostIsCurrent = event.nValue == m_exchange.Session();
            break;
        }
    }
    if (!lost.empty()) {
        // The link ended by itself (hang-up, vanished port, time-out): it is released here,
        // and the console shows it closed.
        LogWrite(LOG_KIND_DATA, L"Link closed: %s; %s", lost.c_str(), DroppedText(nLostDropped).c_str());
        if (bLostIsCurrent && !IsConnected()) {
            // A TCP link's end is traced as the close of the socket, however it came.
            const CLink* pLink = m_parts->pLink.get();
            const wchar_t* lpTraceName = pLink != nullptr && pLink->Kind() == LinkKind::Tcp ? L"CComm::CloseEthernet" : nullptr;
            if (lpTraceName != nullptr)
                LogWrite(LOG_KIND_DATA, L"FUN_S - %s", lpTraceName);
            // "Reconnect" brings it back by itself, unless the program is ending; its record goes
            // on meanwhile, so the session stays one file with its "linked again" line.
            const bool bBroughtBack = !m_bExiting && m_opener.ReconnectOn();
            EndLink(lpTraceName, bBroughtBack);
            if (bBroughtBack)
                m_opener.OnLinkLost(m_params);
            OnOpenerState();
        }
    }
    m_recorder.Check();
    m_console.OnLinesWaiting();
    if (bShowBoxes)
        ShowErrors();
    else if (!m_errors.empty() && m_window.Handle() != nullptr)
        // Shown from the message loop, not from inside the call that found them.
        ::PostMessageW(m_window.Handle(), WM_COMM_INBOX, 0, 0);
}

void CComm::ShowErrors()
{
    // A box runs a message loop of its own, in which more may come: they wait for this one.
    if (m_bShowingBox)
        return;
    m_bShowingBox = true;
    while (!m_errors.empty()) {
        const std::wstring text = m_errors.front();
        m_errors.erase(m_errors.begin());
        LOG_ERROR(L"%s", text.c_str());
        // Once the program is ending, or when it runs unattended, nobody is asked to read a box.
        if (m_bExiting || m_bUnattended)
            continue;
        const HWND hOwner = m_hOwner.load();
        ::MessageBoxW(hOwner != nullptr ? hOwner : m_console.m_hWnd, text.c_str(), L"Serial Communication", MB_OK | MB_ICONERROR);
    }
    m_bShowingBox = false;
}

// ---------------------------------------------------------------------------------------
// The console

void CComm::LogWrite(int nKind, const wchar_t* lpFormat, ...)
{
    if (lpFormat == nullptr)
        return;
    wchar_t szText[512] = {};
    va_list args;
    va_start(args, lpFormat);
    _vsnwprintf(szText, 511, lpFormat, args);
    va_end(args);
    szText[511] = L'\0';
    // Into the record at once, from any thread; the view shows it at its next tick.
    m_inbox.WriteLine(nKind, szText);
    if (OnUiThread())
        m_console.OnLinesWaiting();
}

void CComm::SetConsoleOptions(bool bShowTime, bool bReconnect, const std::wstring& sessionFolder)
{
    m_recorder.SetFolder(sessionFolder);
    m_opener.SetReconnect(bReconnect);
    m_console.SetOptions(bShowTime, bReconnect);
}

void CComm::ConsoleOpen(const LinkParams& params)
{
    if (!Open(params) && !m_bOpenCancelled && !m_bExiting) {
        // An open the engineer ended with Close needs no box.
        ::MessageBoxW(m_console.m_hWnd, params.kind == LinkKind::Tcp ? L"Connection Fail!!" : L"Open Fail!",
                      L"Serial Communication", MB_OK | MB_ICONERROR);
    }
    RefreshButtons();
}

void CComm::ConsoleClose()
{
    // The close shows the buttons as it leaves them.
    Close();
}

void CComm::ConsoleSend(const wchar_t* lpText, int nKind)
{
    SendData(lpText, m_pOwnerWnd, nKind, false);
}

void CComm::ConsoleClearQueue()
{
    // The queue's Clear enables both buttons, whatever the link.
    ClearQueue();
    m_console.UpdateLinkButtons(true, true);
}

void CComm::ConsoleClearLog()
{
    m_recorder.OnClear(m_inbox.Record().NextSeq());
    m_inbox.Record().Clear();
    m_console.ClearView();
}

void CComm::ConsoleSetReconnect(bool bOn)
{
    m_opener.SetReconnect(bOn);
    RefreshButtons();
}

bool CComm::SaveLogToFile(const wchar_t* lpPath)
{
    // The log ends with the summary of the link's commands (unless it ends with it already).
    std::vector<CConsoleRecord::Line> tail;
    if (m_exchange.SummaryChanged()) {
        for (const std::wstring& line : m_exchange.SummaryLines())
            tail.push_back(CConsoleRecord::Line{0, LOG_KIND_DATA, 0, line});
    }
    // One reader for the whole save: the gaps come in order, and each file is read once.
    const std::unique_ptr<CSessionRecorder::CReader> reader = m_recorder.OpenReader();
    return m_console.Save(lpPath, tail, [&reader](unsigned long long nFrom, unsigned long long nTo, const CConsoleRecord::LineSink& emit) {
        return reader->Write(nFrom, nTo, emit);
    });
}

// ---------------------------------------------------------------------------------------
// Service procedures

bool CComm::RunProcedure(const std::wstring& path, const std::wstring& reportFolder, bool bUnattended, std::wstring& error)
{
    Procedure procedure;
    std::wstring why;
    bool bStarted = false;
    if (LoadProcedure(path, procedure, why)) {
        ReportInfo header;
        wchar_t szComputer[MAX_COMPUTERNAME_LENGTH + 1] = {};
        DWORD dwChars = MAX_COMPUTERNAME_LENGTH + 1;
        header.workstation = ::GetComputerNameW(szComputer, &dwChars) ? szComputer : L"(unknown)";
        wchar_t szModule[MAX_PATH] = {};
        ::GetModuleFileNameW(nullptr, szModule, MAX_PATH);
        header.version = CUtilityTools::GetFileVersion(szModule);
        header.link = m_params.Describe();
        std::wstring folder = reportFolder.empty() ? m_recorder.Folder() : reportFolder;
        if (folder.empty()) {
            folder = szModule;
            folder.erase(folder.find_last_of(L'\\') + 1);
        }
        bStarted = m_procedure.Start(procedure, header, folder, bUnattended, why);
    }
    if (!bStarted) {
        const size_t nSlash = path.find_last_of(L"\\/");
        error = L"Procedure " + (nSlash == std::wstring::npos ? path : path.substr(nSlash + 1)) + L" not run: " + why;
        LogWrite(LOG_KIND_DATA, L"%s", error.c_str());
    }
    return bStarted;
}

void CComm::ConsoleProcedure(const wchar_t* lpPath)
{
    std::wstring error;
    if (!RunProcedure(lpPath, std::wstring(), false, error))
        ::MessageBoxW(m_console.m_hWnd, error.c_str(), L"Procedure", MB_OK | MB_ICONWARNING);
}

bool CComm::ProcedureAsk(const std::wstring& question)
{
    HWND hParent = ::IsWindowVisible(m_console.m_hWnd) ? m_console.m_hWnd : m_hOwner.load();
    return ::MessageBoxW(hParent, question.c_str(), L"Procedure", MB_YESNO | MB_ICONQUESTION) == IDYES;
}

void CComm::ProcedureProgress(int nDone, int nSteps, const std::wstring& text)
{
    m_console.ShowProcedureProgress(nDone, nSteps, text, true);
}

void CComm::ProcedureEnded(const ProcedureOutcome& outcome)
{
    m_lastOutcome = outcome;
    const wchar_t* lpResult = outcome.result == ProcedureOutcome::Result::Passed   ? L"passed"
                              : outcome.result == ProcedureOutcome::Result::Failed ? L"failed"
                                                                                   : L"stopped";
    m_console.ShowProcedureProgress(0, 0, L"Last procedure " + std::wstring(lpResult) + L": " + std::to_wstring(outcome.nPassed) +
                                              L" passed, " + std::to_wstring(outcome.nFailed) + L" failed",
                                    false);
    const HWND hOwner = m_hOwner.load();
    if (hOwner != nullptr)
        ::PostMessageW(hOwner, WM_PROCEDURE_ENDED, outcome.result == ProcedureOutcome::Result::Passed ? 0 : 1, 0);
}
