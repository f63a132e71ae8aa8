#include "comm/Comm.h"

#include "comm/link/SerialLink.h"
#include "comm/link/TcpLink.h"
#include "resource.h"
#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <commctrl.h>
#include <process.h>

#include <cstdarg>
#include <cwchar>

namespace {
CComm* g_pCommInstance = nullptr;

// How long a close waits for the link's threads, all together (a write held by the unit is
// ended by the close, so they end in milliseconds): a close never takes much over a second.
constexpr DWORD kJoinMs = 900;
constexpr UINT_PTR kViewTimer = 1;
// The queue list follows the queue this long after a change: a burst of changes (commands
// sent one after the other, a Clear of 299) costs the list one update.
constexpr UINT_PTR kQueueViewTimer = 2;
constexpr UINT kQueueViewDelayMs = 30;
// Reports of the unit's frames that may wait for the owner window at once (about half a
// second of its work).
constexpr long kMaxReportsWaiting = 2000;
// The view's timer period: about four times what a tick costs, within these bounds.
constexpr UINT kViewPeriodMinMs = 16;
constexpr UINT kViewPeriodMaxMs = 100;

constexpr UINT_PTR kReconnectTimer = 3;
constexpr UINT kReconnectTickMs = 250;
// Attempts to bring a lost link back follow 1, 2, 4, 8 and 16 units after the one before,
// then every 30 units.
constexpr int kReconnectDoublings = 5;
constexpr DWORD kReconnectLastUnits = 30;

DWORD ReconnectDelayUnits(int nAttempt)
{
    return nAttempt <= kReconnectDoublings ? 1u << (nAttempt - 1) : kReconnectLastUnits;
}
} // namespace

// An open running off the user-interface thread.
struct CComm::OpenJob {
    std::unique_ptr<CLink> pLink;
    LinkParams params;
    HANDLE hCancel = nullptr;
    // Told WM_COMM_OPENED when the open has ended (null: the opener is waited for).
    HWND hNotify = nullptr;
    bool bQuiet = false;
    // Written by the opener thread before it ends.
    DWORD dwResult = ERROR_CANCELLED;
    HANDLE hThread = nullptr;

    static unsigned int WINAPI Routine(void* pParam)
    {
        OpenJob* pJob = static_cast<OpenJob*>(pParam);
        pJob->dwResult = pJob->pLink->Open(pJob->params, pJob->hCancel);
        if (pJob->hNotify != nullptr)
            ::PostMessageW(pJob->hNotify, WM_COMM_OPENED, 0, 0);
        return 0;
    }
};

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
    : m_dwUiThreadId(::GetCurrentThreadId()), m_exchange(m_inbox, m_clock), m_bConnected(m_exchange.m_bConnected),
      m_csWrite(m_exchange.m_csWrite), m_hQueueEvent(m_exchange.m_hQueueEvent), m_hAnswerEvent(m_exchange.m_hAnswerEvent)
{
    m_hCancelOpen = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t szUnit[16] = {};
    if (::GetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", szUnit, 16) > 0 && _wtoi(szUnit) > 0)
        m_dwReconnectUnitMs = static_cast<DWORD>(_wtoi(szUnit));
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES | ICC_INTERNET_CLASSES};
    ::InitCommonControlsEx(&icc);
    LoadRichEditLibrary();
    Create(IDD_COMM_DIALOG, nullptr);
}

CComm::~CComm()
{
    // The owner closes the link before it deletes the manager; whatever still runs is
    // stopped here, because no worker may outlive the object.
    m_inbox.SetTarget(nullptr);
    CancelOpen();
    m_exchange.MarkClosed();
    // Better to wait on than to free what a worker still uses.
    while (m_pLink != nullptr && !ReleaseLink())
        LOG_ERROR(L"Still waiting for the link workers to end");
    StopSession();
    if (m_hCancelOpen != nullptr)
        ::CloseHandle(m_hCancelOpen);
    m_pOwnerWnd = nullptr;
    if (m_hWnd != nullptr)
        ::DestroyWindow(m_hWnd);
    if (g_pCommInstance == this)
        g_pCommInstance = nullptr;
}

void CComm::SetOwnerWnd(CWnd* pOwner)
{
    m_pOwnerWnd = pOwner;
    const HWND hOwner = pOwner != nullptr ? pOwner->m_hWnd : nullptr;
    m_hOwner.store(hOwner);
    // The console belongs to its owner: no taskbar entry of its own, always above it.
    if (m_hWnd != nullptr)
        ::SetWindowLongPtrW(m_hWnd, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(hOwner));
}

// ---------------------------------------------------------------------------------------
// Opening and closing

void CComm::ShowSerialFields(bool bSerial)
{
    static const int kSerialFields[] = {IDC_STATIC_SERIAL_PORT, IDC_COMBO_PORT, IDC_STATIC_BAUDRATE, IDC_COMBO_BAUD};
    static const int kEthernetFields[] = {IDC_STATIC_IP, IDC_IPADDRESS, IDC_STATIC_PORT_NUM, IDC_EDIT_TCP_PORT};
    if (m_hWnd == nullptr)
        return;
    for (int nID : kSerialFields)
        ShowDlgItem(nID, bSerial);
    for (int nID : kEthernetFields)
        ShowDlgItem(nID, !bSerial);
}

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
    const bool bSerial = params.kind == LinkKind::Serial;
    const wchar_t* lpName = bSerial ? L"CComm::Open_Serial" : L"CComm::Open_Ethernet";
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", lpName);
    if (IsConnected())
        return true;
    if (m_bOpening) {
        LogWrite(LOG_KIND_DATA, L"%s", L"The link is being opened already");
        return false;
    }
    // An open by hand ends the bringing back of a lost link.
    StopReconnect(L"the link is opened by hand");
    if (!BeginOpen(params, false, false))
        return false;
    // The port is opened, or the unit connected to, off this thread, which goes on serving
    // the windows meanwhile; the console's Close ends a connect that takes long.
    if (m_pOpenJob->hThread != nullptr && RigWaitPumping(m_pOpenJob->hThread, INFINITE) != WAIT_OBJECT_0) {
        // The program is ending (or the wait failed): the open is given up.
        ::SetEvent(m_hCancelOpen);
        ::WaitForSingleObject(m_pOpenJob->hThread, INFINITE);
    }
    if (!FinishOpen())
        return false;
    LogWrite(LOG_KIND_DATA, L"FUN_E - %s", lpName);
    return true;
}

bool CComm::BeginOpen(const LinkParams& params, bool bNotify, bool bQuiet)
{
    const bool bSerial = params.kind == LinkKind::Serial;
    m_dwOpenError = 0;
    if (!bSerial && (params.nTcpPort <= 0 || params.nTcpPort > 65535)) {
        m_dwOpenError = ERROR_INVALID_PARAMETER;
        return false;
    }
    // A link that ended by itself (time-out, lost port) is released before the new one.
    if (m_pLink != nullptr && !ReleaseLink()) {
        m_dwOpenError = ERROR_BUSY;
        return false;
    }
    if (m_pOwnerWnd != nullptr)
        m_hOwner.store(m_pOwnerWnd->m_hWnd);

    m_params = params;
    ShowSerialFields(bSerial);
    auto pJob = std::make_unique<OpenJob>();
    if (bSerial)
        pJob->pLink = std::make_unique<CSerialLink>();
    else
        pJob->pLink = std::make_unique<CTcpLink>();
    pJob->params = params;
    pJob->hCancel = m_hCancelOpen;
    pJob->hNotify = bNotify ? m_hWnd : nullptr;
    pJob->bQuiet = bQuiet;
    if (!bSerial && !bQuiet)
        LogWrite(LOG_KIND_DATA, L"Connecting to %s ...", params.Describe().c_str());
    m_bOpening = true;
    UpdateLinkButtons(false, true);
    ::ResetEvent(m_hCancelOpen);
    m_pOpenJob = std::move(pJob);
    m_pOpenJob->hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &OpenJob::Routine, m_pOpenJob.get(), 0, nullptr));
    if (m_pOpenJob->hThread == nullptr) {
        // No thread to spare: the open runs here, and its end is told as the thread's would be.
        m_pOpenJob->dwResult = m_pOpenJob->pLink->Open(params, m_hCancelOpen);
        if (bNotify)
            ::PostMessageW(m_hWnd, WM_COMM_OPENED, 0, 0);
    }
    return true;
}

bool CComm::FinishOpen()
{
    // The opener has ended (its thread is waited for first): its result is this thread's.
    std::unique_ptr<OpenJob> pJob = std::move(m_pOpenJob);
    if (pJob == nullptr)
        return false;
    if (pJob->hThread != nullptr) {
        ::WaitForSingleObject(pJob->hThread, INFINITE);
        ::CloseHandle(pJob->hThread);
    }
    m_bOpening = false;
    // A Close while the link was being opened wins, even when the open got through first.
    m_bOpenCancelled = ::WaitForSingleObject(m_hCancelOpen, 0) == WAIT_OBJECT_0;
    if (m_bOpenCancelled && pJob->dwResult == 0) {
        pJob->pLink->Close();
        pJob->dwResult = ERROR_CANCELLED;
    }
    m_dwOpenError = m_bOpenCancelled ? 0 : pJob->dwResult;
    if (pJob->dwResult != 0) {
        if (!pJob->bQuiet)
            LogWrite(LOG_KIND_DATA, L"%s not opened: %s", pJob->params.Describe().c_str(),
                     pJob->dwResult == ERROR_CANCELLED ? L"cancelled" : CUtilityTools::FormatError(pJob->dwResult));
        return false;
    }

    m_pLink = std::move(pJob->pLink);
    m_dataGate.Reset();
    // The stamps of this link's lines count from the system's time now.
    m_inbox.Record().Anchor();
    StartSession();
    if (!m_exchange.Start(*m_pLink) || !m_pLink->Start(*this, m_exchange.m_bConnected)) {
        LOG_ERROR(L"The link's threads could not be started");
        ReleaseLink();
        DrainInbox();
        m_dwOpenError = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    ClearQueue();
    return true;
}

void CComm::CancelOpen()
{
    // Only an open nobody waits for is ended here; one waited for (Open) ends in its own frame.
    if (m_pOpenJob == nullptr || m_pOpenJob->hNotify == nullptr)
        return;
    ::SetEvent(m_hCancelOpen);
    FinishOpen();
}

// ---------------------------------------------------------------------------------------
// Bringing back a lost link

void CComm::PrepareExit()
{
    m_bExiting = true;
    StopReconnect(nullptr);
    m_exchange.DropNoticesAtClose();
}

void CComm::StartReconnect()
{
    m_reconnect.bActive = true;
    m_reconnect.nAttempt = 0;
    m_reconnect.ullLostAt = ::GetTickCount64();
    m_reconnect.params = m_params;
    LogWrite(LOG_KIND_DATA, L"Reconnect: first attempt in %lu s", ScheduleReconnect() / 1000);
    // Open tries at once, Close stops trying.
    UpdateLinkButtons(true, true);
}

DWORD CComm::ScheduleReconnect()
{
    const DWORD dwDelayMs = ReconnectDelayUnits(m_reconnect.nAttempt + 1) * m_dwReconnectUnitMs;
    m_reconnect.ullDue = ::GetTickCount64() + dwDelayMs;
    // The timer looks for the due time and counts down meanwhile; a short schedule is looked
    // at as often as it needs.
    const UINT nTick = dwDelayMs < kReconnectTickMs ? (dwDelayMs > 0 ? dwDelayMs : 1) : kReconnectTickMs;
    if (m_hWnd != nullptr)
        SetTimer(kReconnectTimer, nTick);
    ShowReconnectCountdown();
    return dwDelayMs;
}

void CComm::AttemptReconnect()
{
    m_reconnect.ullDue = 0;
    ++m_reconnect.nAttempt;
    ShowReconnectCountdown();
    if (!BeginOpen(m_reconnect.params, true, true))
        AttemptEnded(false);
}

LRESULT CComm::OnOpened(WPARAM, LPARAM)
{
    // An open nobody waits for has ended (one ended by Close was finished there already).
    if (m_pOpenJob == nullptr || m_pOpenJob->hNotify == nullptr)
        return 0;
    AttemptEnded(FinishOpen());
    return 0;
}

void CComm::AttemptEnded(bool bOpen)
{
    if (!m_reconnect.bActive)
        return;
    const std::wstring description = m_reconnect.params.Describe();
    if (bOpen && IsConnected()) {
        const double dSeconds = static_cast<double>(::GetTickCount64() - m_reconnect.ullLostAt) / 1000.0;
        LogWrite(LOG_KIND_DATA, L"Reconnect attempt %d: %s is linked again, %.1f s after it was lost", m_reconnect.nAttempt,
                 description.c_str(), dSeconds);
        StopReconnect(nullptr);
        UpdateLinkButtons(false, true);
        return;
    }
    // Not opened, or opened and lost again before the attempt was finished (the unit went at once).
    std::wstring outcome = L"was lost again at once";
    if (!bOpen)
        outcome = std::wstring(L"not opened: ") + CUtilityTools::FormatError(m_dwOpenError != 0 ? m_dwOpenError : ERROR_GEN_FAILURE);
    const DWORD dwNextMs = ScheduleReconnect();
    LogWrite(LOG_KIND_DATA, L"Reconnect attempt %d: %s %s; next attempt in %lu s", m_reconnect.nAttempt, description.c_str(),
             outcome.c_str(), dwNextMs / 1000);
    UpdateLinkButtons(true, true);
}

void CComm::StopReconnect(const wchar_t* lpWhy)
{
    if (!m_reconnect.bActive)
        return;
    m_reconnect.bActive = false;
    m_reconnect.ullDue = 0;
    if (m_hWnd != nullptr)
        KillTimer(kReconnectTimer);
    ShowReconnectCountdown();
    if (lpWhy != nullptr)
        LogWrite(LOG_KIND_DATA, L"Reconnect stopped: %s", lpWhy);
}

void CComm::ShowReconnectCountdown()
{
    if (m_hWnd == nullptr)
        return;
    wchar_t szText[32] = {};
    if (m_reconnect.bActive && m_reconnect.ullDue == 0) {
        _snwprintf(szText, 31, L"attempt %d ...", m_reconnect.nAttempt);
    } else if (m_reconnect.bActive) {
        const ULONGLONG ullNow = ::GetTickCount64();
        const ULONGLONG ullLeftMs = m_reconnect.ullDue > ullNow ? m_reconnect.ullDue - ullNow : 0;
        _snwprintf(szText, 31, L"again in %llu s", (ullLeftMs + 999) / 1000);
    }
    wchar_t szShown[32] = {};
    ::GetDlgItemTextW(m_hWnd, IDC_STATIC_RECONNECT, szShown, 32);
    if (wcscmp(szShown, szText) != 0)
        SetDlgItemText(IDC_STATIC_RECONNECT, szText);
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

bool CComm::CloseLink(const wchar_t* lpName)
{
    LogWrite(LOG_KIND_DATA, L"FUN_S - %s", lpName);
    if (!OnUiThread()) {
        // Only the user-interface thread releases the link; from elsewhere it is told to.
        const bool bWasOpen = m_exchange.IsConnected();
        m_exchange.MarkLost(L"closed");
        return bWasOpen;
    }
    // Close stops the bringing back of a lost link, an attempt under way included.
    StopReconnect(L"the link was closed");
    if (m_bOpening) {
        ::SetEvent(m_hCancelOpen);
        CancelOpen();
        return false;
    }
    // Of two closes at once (the console's and a lost link's) only one proceeds.
    int nDropped = 0;
    if (!m_exchange.MarkClosed(&nDropped)) {
        if (m_pLink != nullptr)
            ReleaseLink();
        return false;
    }
    if (nDropped > 0)
        LogWrite(LOG_KIND_DATA, L"%s", DroppedText(nDropped).c_str());
    ClearQueue();
    ReleaseLink();
    ShowWaitingCommand(L"");
    WriteLinkSummary();
    LogWrite(LOG_KIND_DATA, L"FUN_E - %s", lpName);
    StopSession();
    return true;
}

bool CComm::ReleaseLink()
{
    if (m_pLink == nullptr)
        return true;
    m_exchange.MarkClosed();
    m_pLink->Wake();
    const ULONGLONG ullStart = ::GetTickCount64();
    const bool bExchangeEnded = m_exchange.Join(kJoinMs);
    const DWORD dwSpent = static_cast<DWORD>(::GetTickCount64() - ullStart);
    if (!bExchangeEnded || !m_pLink->Join(dwSpent < kJoinMs ? kJoinMs - dwSpent : 0)) {
        LOG_ERROR(L"Link workers did not end within %d ms; port and socket kept", static_cast<int>(kJoinMs));
        return false;
    }
    m_exchange.Detach();
    // The receive thread has ended: whatever its gate still counts is told now.
    ReportHiddenData(m_dataGate.TakeHidden());
    const int nResult = m_pLink->Close();
    if (m_pLink->Kind() == LinkKind::Tcp)
        LogWrite(LOG_KIND_DATA, L"DAT_A - %d = closesocket()", nResult);
    m_pLink.reset();
    return true;
}

int CComm::RunningWorkerCount() const
{
    const bool bOpener = m_pOpenJob != nullptr && m_pOpenJob->hThread != nullptr &&
                         ::WaitForSingleObject(m_pOpenJob->hThread, 0) == WAIT_TIMEOUT;
    return m_exchange.RunningThreads() + (m_pLink != nullptr && m_pLink->IsReceiving() ? 1 : 0) + (bOpener ? 1 : 0);
}

HANDLE CComm::GetPortHandle() const
{
    if (m_pLink == nullptr || m_pLink->Kind() != LinkKind::Serial)
        return INVALID_HANDLE_VALUE;
    return static_cast<const CSerialLink*>(m_pLink.get())->Handle();
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
        DrainInbox();
    return bTaken;
}

void CComm::SendEcho(const wchar_t* lpFrameText)
{
    m_exchange.SendEcho(lpFrameText, nullptr);
}

void CComm::OnReceiveFrame(const wchar_t* lpFrameText)
{
    // Brackets around line noise make no frame: it is loose text, and shown as such.
    if (!IsWellFormedFrame(lpFrameText)) {
        OnDataLine(lpFrameText);
        return;
    }
    ReportHiddenData(m_dataGate.TakeHiddenDue());
    // An answer's line is written by the exchange, with its round-trip time.
    if (m_exchange.TakeAnswer(lpFrameText))
        return;
    m_inbox.WriteLine(LOG_KIND_RECV, lpFrameText);
    wchar_t szClass[4] = {};
    SplitFrame(lpFrameText, szClass, nullptr, nullptr);
    const HWND hOwner = m_hOwner.load();
    // An owner window that falls behind the unit's frames holds the link back rather than
    // letting its reports pile up (each is a message and a copy of the frame): this thread
    // waits until it has caught up, and so does the unit (the port's flow control, the
    // socket's window). A close ends the wait.
    if (hOwner != nullptr && (_wcsicmp(szClass, L"SMP") == 0 || _wcsicmp(szClass, L"SLP") == 0)) {
        while (NotifyTextsOutstanding() > kMaxReportsWaiting && m_exchange.IsConnected())
            ::Sleep(1);
    }
    if (_wcsicmp(szClass, L"SMP") == 0) {
        if (hOwner != nullptr)
            m_exchange.PostInOrder(PostedNotice{hOwner, WM_SERIAL_SMP, lpFrameText, enRECV_SMP_COMMAND});
    } else if (_wcsicmp(szClass, L"SLP") == 0) {
        // The echo is on the wire before the owner hears of the frame.
        const PostedNotice then{hOwner, WM_SERIAL_SLP, lpFrameText, enRECV_SLP_COMMAND};
        m_exchange.SendEcho(lpFrameText, hOwner != nullptr ? &then : nullptr);
    }
}

void CComm::OnDataLine(const wchar_t* lpText)
{
    if (!m_dataGate.Admit(wcslen(lpText))) {
        ReportHiddenData(m_dataGate.TakeHiddenDue());
        return;
    }
    // The text comes at a readable rate again: what was left out before it is told first.
    ReportHiddenData(m_dataGate.TakeHidden());
    m_inbox.WriteLine(LOG_KIND_DATA, lpText);
}

// ---------------------------------------------------------------------------------------
// The session record

void CComm::StartSession()
{
    if (m_sessionFolder.empty())
        return;
    SYSTEMTIME st{};
    ::GetLocalTime(&st);
    std::wstring error;
    if (!m_session.Start(m_sessionFolder, st, error)) {
        // The link goes on without a record.
        LOG_ERROR(L"Session record not written: %s", error.c_str());
        LogWrite(LOG_KIND_DATA, L"Session record not written: %s", error.c_str());
        return;
    }
    m_nTapFirstSeq.store(~0ull);
    m_nTapEndSeq.store(0);
    m_inbox.Record().SetTap(this);
    LogWrite(LOG_KIND_DATA, L"Session record: %s", m_session.Path().c_str());
}

void CComm::StopSession()
{
    // The tap goes first (waiting for a line being handed over), then the writer writes
    // what waits and ends.
    m_inbox.Record().SetTap(nullptr);
    const bool bHadLines = m_nTapFirstSeq.load() != ~0ull;
    m_session.Stop();
    CheckSessionRecord();
    if (bHadLines)
        m_sessions.push_back(SessionSpan{m_session.Parts(), m_nTapFirstSeq.load(), m_nTapEndSeq.load()});
    m_nTapFirstSeq.store(~0ull);
}

void CComm::OnLine(const CConsoleRecord::Line& line)
{
    // Inside the record's lock, on the thread that wrote the line: one line of the file for
    // each line of the record, line breaks within its text written as \r and \n.
    unsigned long long nUnset = ~0ull;
    m_nTapFirstSeq.compare_exchange_strong(nUnset, line.nSeq);
    m_nTapEndSeq.store(line.nSeq + 1);
    std::wstring text = ConsoleLinePrefix(line, true);
    if (IsKnownLogKind(line.nKind)) {
        for (wchar_t ch : line.text)
            text += ch == L'\r' ? std::wstring(L"\\r") : ch == L'\n' ? std::wstring(L"\\n") : std::wstring(1, ch);
        text += ConsoleLineSuffix(line);
    }
    text += L"\r\n";
    m_session.Append(ToUtf8(text));
    // An answer and a time-out ("No answer to ...", the watchdog's line) are on disk at once.
    if (line.llRoundTripUs >= 0 || (line.nKind == LOG_KIND_DATA && line.text.rfind(L"No answer to ", 0) == 0))
        m_session.FlushSoon();
}

void CComm::CheckSessionRecord()
{
    const std::wstring failure = m_session.TakeFailure();
    if (!failure.empty()) {
        LOG_ERROR(L"Session record: %s", failure.c_str());
        LogWrite(LOG_KIND_DATA, L"Session record: %s", failure.c_str());
    }
    if (!m_bDropTold && m_inbox.Record().Dropped() > 0) {
        m_bDropTold = true;
        const std::wstring path = m_session.Path();
        if (path.empty())
            LogWrite(LOG_KIND_DATA, L"%s", L"The console keeps only its latest lines from here on (the diagnostic log has every line)");
        else
            LogWrite(LOG_KIND_DATA, L"The console keeps only its latest lines from here on; every line is in %s", path.c_str());
    }
}

bool CComm::WriteEarlierLines(unsigned long long nBeforeSeq, const CConsoleView::LineSink& emit) const
{
    std::vector<SessionSpan> spans = m_sessions;
    if (m_nTapFirstSeq.load() != ~0ull)
        spans.push_back(SessionSpan{m_session.Parts(), m_nTapFirstSeq.load(), m_nTapEndSeq.load()});
    // Lines no session record held (those before a link was open) are told first, in one note.
    const auto note = [&](unsigned long long nCount, const wchar_t* lpWhat) {
        wchar_t szNote[160] = {};
        _snwprintf(szNote, 159, L"%llu earlier lines not kept here (%s)", nCount, lpWhat);
        return emit({CConsoleRecord::Line{0, LOG_KIND_DATA, 0, szNote}});
    };
    const unsigned long long nWanted = nBeforeSeq > m_nClearSeq ? nBeforeSeq - m_nClearSeq : 0;
    unsigned long long nHeld = 0;
    for (const SessionSpan& span : spans) {
        const unsigned long long nFrom = span.nFirstSeq > m_nClearSeq ? span.nFirstSeq : m_nClearSeq;
        const unsigned long long nTo = span.nEndSeq < nBeforeSeq ? span.nEndSeq : nBeforeSeq;
        nHeld += nTo > nFrom ? nTo - nFrom : 0;
    }
    if (nHeld < nWanted && !note(nWanted - nHeld, L"outside the session records; the diagnostic log has every line"))
        return false;
    unsigned long long nWritten = 0;
    std::vector<CConsoleRecord::Line> lines;
    for (const SessionSpan& span : spans) {
        unsigned long long nSeq = span.nFirstSeq;
        const unsigned long long nEnd = span.nEndSeq < nBeforeSeq ? span.nEndSeq : nBeforeSeq;
        std::string pending;
        for (const std::wstring& part : span.parts) {
            HANDLE hFile = ::CreateFileW(part.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
            if (hFile == INVALID_HANDLE_VALUE)
                break;
            std::vector<char> buffer(1 << 20);
            DWORD dwRead = 0;
            while (nSeq < nEnd && ::ReadFile(hFile, buffer.data(), static_cast<DWORD>(buffer.size()), &dwRead, nullptr) &&
                   dwRead > 0) {
                pending.append(buffer.data(), dwRead);
                size_t nAt = 0;
                for (size_t nBreak; nSeq < nEnd && (nBreak = pending.find("\r\n", nAt)) != std::string::npos; nAt = nBreak + 2) {
                    // Lines the engineer cleared from the console stay out.
                    if (nSeq++ < m_nClearSeq)
                        continue;
                    const std::string bytes = pending.substr(nAt, nBreak - nAt);
                    std::wstring text(bytes.size(), L'\0');
                    text.resize(static_cast<size_t>(::MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()),
                                                                          text.data(), static_cast<int>(text.size()))));
                    lines.push_back(CConsoleRecord::Line{nSeq - 1, LOG_KIND_DATA, -1, std::move(text)});
                    ++nWritten;
                }
                pending.erase(0, nAt);
                if (lines.size() >= 5000) {
                    if (!emit(lines)) {
                        ::CloseHandle(hFile);
                        return false;
                    }
                    lines.clear();
                }
            }
            ::CloseHandle(hFile);
        }
    }
    if (!emit(lines))
        return false;
    // A session record that lost lines (a full disk, a file gone) is told too.
    if (nWritten < nHeld)
        return note(nHeld - nWritten, L"missing from the session records; the diagnostic log has every line");
    return true;
}

void CComm::WriteLinkSummary()
{
    // A link that carried commands ends with their summary.
    if (m_exchange.SummaryChanged())
        WriteSummary();
}

void CComm::ReportHiddenData(unsigned long long nChars)
{
    if (nChars > 0)
        LogWrite(LOG_KIND_DATA, L"%llu bytes of data not shown", nChars);
}

void CComm::ClearQueue()
{
    if (const int nDropped = m_exchange.ClearQueue())
        LogWrite(LOG_KIND_DATA, L"%s", DroppedText(nDropped).c_str());
    if (OnUiThread())
        DrainInbox();
}

// ---------------------------------------------------------------------------------------
// What the workers hand over

LRESULT CComm::OnInbox(WPARAM, LPARAM)
{
    DrainInbox();
    return 0;
}

void CComm::DrainInbox()
{
    bool bQueueChanged = false;
    std::vector<std::wstring> errors;
    std::wstring lost;
    int nLostDropped = 0;
    bool bLostIsCurrent = false;
    for (const CCommInbox::Event& event : m_inbox.TakeEvents()) {
        switch (event.type) {
        case CCommInbox::EventType::QueueChanged:
            bQueueChanged = true;
            break;
        case CCommInbox::EventType::CommandWaiting:
            ShowWaitingCommand(event.text.c_str(), event.nValue);
            break;
        case CCommInbox::EventType::CommandAnswered:
        case CCommInbox::EventType::CommandTimedOut:
            break;
        case CCommInbox::EventType::ShowError:
            errors.push_back(event.text);
            break;
        case CCommInbox::EventType::LinkLost:
            lost = event.text;
            nLostDropped = event.nCount;
            // A link lost before the current one was opened has been released by that open.
            bLostIsCurrent = event.nValue == m_exchange.Session();
            break;
        }
    }
    if (bQueueChanged && !m_bQueueViewTimer) {
        m_bQueueViewTimer = m_hWnd != nullptr && SetTimer(kQueueViewTimer, kQueueViewDelayMs) != 0;
        // Without a timer the list follows at once.
        if (!m_bQueueViewTimer)
            SyncQueueView();
    }
    if (!lost.empty()) {
        // The link ended by itself (hang-up, vanished port, time-out): it is released here,
        // and the console shows it closed.
        LogWrite(LOG_KIND_DATA, L"Link closed: %s; %s", lost.c_str(), DroppedText(nLostDropped).c_str());
        if (bLostIsCurrent && !IsConnected()) {
            ReleaseLink();
            ShowWaitingCommand(L"");
            WriteLinkSummary();
            StopSession();
            if (!m_bOpening)
                UpdateLinkButtons(true, false);
            // "Reconnect" brings it back by itself, unless the program is ending (a link lost
            // while an attempt is being finished is told by that attempt).
            if (m_reconnect.bOn && !m_bExiting && !m_bOpening && !m_reconnect.bActive)
                StartReconnect();
        }
    }
    CheckSessionRecord();
    if (m_inbox.LinesWaiting())
        StartViewTimer();

    // Last: a box runs a message loop of its own, in which the inbox is drained again.
    const HWND hOwner = m_hOwner.load();
    for (const std::wstring& text : errors)
        ::MessageBoxW(hOwner != nullptr ? hOwner : m_hWnd, text.c_str(), L"Serial Communication", MB_OK | MB_ICONERROR);
}

void CComm::StartViewTimer()
{
    // A hidden console's view waits: it catches up when it is shown.
    if (m_bViewTimer || m_hWnd == nullptr || !::IsWindowVisible(m_hWnd))
        return;
    if (m_nViewPeriodMs == 0)
        m_nViewPeriodMs = kViewPeriodMinMs;
    m_bViewTimer = SetTimer(kViewTimer, m_nViewPeriodMs) != 0;
    m_inbox.SetViewTicking(m_bViewTimer);
}

void CComm::OnTimer(UINT_PTR nIDEvent)
{
    if (nIDEvent == kReconnectTimer) {
        if (!m_reconnect.bActive || m_reconnect.ullDue == 0) {
            KillTimer(kReconnectTimer);
            return;
        }
        if (::GetTickCount64() >= m_reconnect.ullDue) {
            KillTimer(kReconnectTimer);
            AttemptReconnect();
        } else {
            ShowReconnectCountdown();
        }
        return;
    }
    if (nIDEvent == kQueueViewTimer) {
        KillTimer(kQueueViewTimer);
        m_bQueueViewTimer = false;
        SyncQueueView();
        return;
    }
    if (nIDEvent != kViewTimer) {
        Default();
        return;
    }
    CheckSessionRecord();
    // Lines that come from now on wake the console again unless the timer goes on.
    m_inbox.SetViewTicking(false);
    if (!::IsWindowVisible(m_hWnd) || !m_inbox.TakeLinesWaiting()) {
        // Nothing came since the last tick: the timer rests until something does.
        KillTimer(kViewTimer);
        m_bViewTimer = false;
        return;
    }
    m_inbox.SetViewTicking(true);
    // A tick costs its update and the drawing that follows it: the view takes at most about a
    // ninth of this thread's time, however fast lines come.
    const double dCostMs = m_view.Update() + m_ctrlLog.LastPaintMs();
    UINT nPeriod = static_cast<UINT>(8.0 * dCostMs);
    nPeriod = nPeriod < kViewPeriodMinMs ? kViewPeriodMinMs : nPeriod > kViewPeriodMaxMs ? kViewPeriodMaxMs : nPeriod;
    if (nPeriod != m_nViewPeriodMs) {
        m_nViewPeriodMs = nPeriod;
        SetTimer(kViewTimer, m_nViewPeriodMs);
    }
}

void CComm::ShowPendingLines()
{
    m_inbox.TakeLinesWaiting();
    m_view.Update();
    if (m_bQueueViewTimer) {
        KillTimer(kQueueViewTimer);
        m_bQueueViewTimer = false;
        SyncQueueView();
    }
}

void CComm::ShowWaitingCommand(const wchar_t* lpText, int nTimeOutMs)
{
    // Only a field whose text changes is written (in a series of commands, mostly neither).
    if (m_hWnd == nullptr)
        return;
    // No command (the link closed): the command field empties, the time-out stays.
    if (lpText[0] != L'\0' && nTimeOutMs / 1000 != m_nWaitingShownSeconds) {
        m_nWaitingShownSeconds = nTimeOutMs / 1000;
        wchar_t szSeconds[16] = {};
        _snwprintf(szSeconds, 15, L"%d", m_nWaitingShownSeconds);
        SetDlgItemText(IDC_EDIT_WAIT_SECONDS, szSeconds);
    }
    if (m_waitingShown != lpText) {
        m_waitingShown = lpText;
        SetDlgItemText(IDC_EDIT_WAIT_COMMAND, lpText);
    }
}

void CComm::SyncQueueView()
{
    // The list follows the queue by what was pushed and popped since it last looked; after
    // a Clear it starts anew.
    CCommandExchange::QueueState state = m_exchange.GetQueueState(m_nQueueRowsTo);
    const bool bList = m_listQueue.m_hWnd != nullptr;
    // Drawn once after all of it.
    const bool bDrawn = bList && ::IsWindowVisible(m_listQueue.m_hWnd);
    if (bDrawn)
        m_listQueue.SendMessage(WM_SETREDRAW, FALSE);
    if (state.nClears != m_nQueueClears) {
        if (bList)
            m_listQueue.DeleteAllItems();
        m_nQueueClears = state.nClears;
        m_nQueueRowsFrom = m_nQueueRowsTo = 0;
        state = m_exchange.GetQueueState(0);
        m_nQueueClears = state.nClears;
    }
    for (; m_nQueueRowsFrom < state.nPopped && m_nQueueRowsFrom < m_nQueueRowsTo; ++m_nQueueRowsFrom) {
        if (bList)
            m_listQueue.DeleteItem(0);
    }
    if (m_nQueueRowsFrom < state.nPopped)
        m_nQueueRowsFrom = state.nPopped;
    for (const CommandItem& item : state.items) {
        if (!bList)
            break;
        const int nRow = m_listQueue.InsertItem(m_listQueue.GetItemCount(), item.szCommand);
        m_listQueue.SetItemText(nRow, 1, item.nRecvKind == enRECV_NONE ? L"Non" : L"Ack");
    }
    if (m_nQueueRowsTo < state.nPushed)
        m_nQueueRowsTo = state.nPushed;
    if (bDrawn) {
        m_listQueue.SendMessage(WM_SETREDRAW, TRUE);
        m_listQueue.Invalidate(FALSE);
    }
    wchar_t szCount[16] = {};
    _snwprintf(szCount, 15, L"%d", static_cast<int>(state.nPushed - state.nPopped));
    if (GetDlgItem(IDC_EDIT_QUEUE_COUNT) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_COUNT, szCount);
}

// ---------------------------------------------------------------------------------------
// Console log

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
        StartViewTimer();
}

void CComm::UpdateLinkButtons(bool bOpenEnabled, bool bCloseEnabled)
{
    if (m_hWnd == nullptr)
        return;
    if (HWND hOpen = GetDlgItem(IDC_BTN_OPEN))
        ::EnableWindow(hOpen, bOpenEnabled ? TRUE : FALSE);
    if (HWND hClose = GetDlgItem(IDC_BTN_CLOSE))
        ::EnableWindow(hClose, bCloseEnabled ? TRUE : FALSE);
    wchar_t szCount[16] = {};
    _snwprintf(szCount, 15, L"%d", m_exchange.QueueCount());
    if (GetDlgItem(IDC_EDIT_QUEUE_COUNT) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_COUNT, szCount);
    if (GetDlgItem(IDC_EDIT_QUEUE_MAX) != nullptr)
        SetDlgItemText(IDC_EDIT_QUEUE_MAX, L"300");
}
