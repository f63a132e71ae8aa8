#include "comm/link/LinkOpener.h"

#include "comm/link/SerialLink.h"
#include "comm/link/TcpLink.h"
#include "framework/Wnd.h"
#include "messages.h"
#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <process.h>

#include <atomic>
#include <cwchar>

namespace {
constexpr UINT_PTR kReconnectTimer = 1;
constexpr UINT kReconnectTickMs = 250;
// Attempts follow 1, 2, 4, 8 and 16 units after the one before, then every 30 units.
constexpr int kReconnectDoublings = 5;
constexpr DWORD kReconnectLastUnits = 30;
// An opener that has said it is done is only returning: this is long enough for that.
constexpr DWORD kThreadEndMs = 1000;

DWORD ReconnectDelayUnits(int nAttempt)
{
    return nAttempt <= kReconnectDoublings ? 1u << (nAttempt - 1) : kReconnectLastUnits;
}

// The system's text of an error, as one line.
std::wstring ErrorText(DWORD dwError)
{
    std::wstring text = CUtilityTools::FormatError(dwError);
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    return text;
}
} // namespace

// One open, shared by the opener (user-interface thread) and its thread. The thread writes
// the result and then moves the state from running to finished; the opener reads the result
// only after it saw finished. An opener that gives up moves it from running to given up
// instead, and the thread then closes what it opened; whoever moves it first decides.
struct CLinkOpener::Job {
    enum State : int { Running, Finished, GivenUp };

    std::unique_ptr<CLink> pLink;
    LinkParams params;
    bool bAttempt = false;
    unsigned nId = 0;
    HWND hNotify = nullptr;
    HANDLE hCancel = nullptr;  // manual-reset: a connect in progress ends early
    HANDLE hEnded = nullptr;   // manual-reset: the open has ended or was given up
    HANDLE hThread = nullptr;  // the opener's: closed by it once the thread has ended
    DWORD dwResult = ERROR_CANCELLED;
    std::atomic<int> state{Running};

    Job()
    {
        hCancel = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        hEnded = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Job()
    {
        for (HANDLE hEvent : {hCancel, hEnded}) {
            if (hEvent != nullptr)
                ::CloseHandle(hEvent);
        }
    }

    // The opener thread, or the opener itself when no thread could be had.
    void Run()
    {
        dwResult = pLink->Open(params, hCancel);
        int nExpected = Running;
        if (state.compare_exchange_strong(nExpected, Finished)) {
            ::SetEvent(hEnded);
            ::PostMessageW(hNotify, WM_COMM_OPENED, nId, 0);
        } else if (dwResult == 0) {
            // Given up while the port or connection was being opened: nobody takes it.
            pLink->Close();
        }
    }

    static unsigned int WINAPI Routine(void* pParam)
    {
        std::unique_ptr<std::shared_ptr<Job>> pHeld(static_cast<std::shared_ptr<Job>*>(pParam));
        std::shared_ptr<Job> pJob = *pHeld;
        pHeld.reset();
        pJob->Run();
        return 0;
    }
};

CLinkOpener::CLinkOpener(IOpenerHost& host, LinkFactory factory)
    : m_host(host), m_factory(std::move(factory)), m_window([this](UINT message, WPARAM wParam, LPARAM lParam) { return OnMessage(message, wParam, lParam); })
{
    // Tests and the soak shorten the schedule's unit.
    wchar_t szUnit[16] = {};
    if (::GetEnvironmentVariableW(L"RIG_RECONNECT_UNIT_MS", szUnit, 16) > 0 && _wtoi(szUnit) > 0)
        m_dwUnitMs = static_cast<DWORD>(_wtoi(szUnit));
}

CLinkOpener::~CLinkOpener()
{
    // The owner ends the opener with PrepareExit first; nothing is told from here on.
    m_bExiting = true;
    if (m_window.Handle() != nullptr)
        ::KillTimer(m_window.Handle(), kReconnectTimer);
    AbandonJob();
    // Threads that have ended are closed; one still in its CreateFile or connect frees its
    // job itself when it returns, and its handle is left to the end of the process.
    ReapThreads();
}

bool CLinkOpener::Begin(const LinkParams& params, bool bAttempt)
{
    ReapThreads();
    auto pJob = std::make_shared<Job>();
    if (pJob->hCancel == nullptr || pJob->hEnded == nullptr)
        return false;
    if (m_factory)
        pJob->pLink = m_factory(params.kind);
    else if (params.kind == LinkKind::Serial)
        pJob->pLink = std::make_unique<CSerialLink>();
    else
        pJob->pLink = std::make_unique<CTcpLink>();
    if (pJob->pLink == nullptr)
        return false;
    pJob->params = params;
    pJob->bAttempt = bAttempt;
    pJob->nId = ++m_nJobId;
    pJob->hNotify = m_window.Handle();
    m_pJob = pJob;
    auto* pHeld = new std::shared_ptr<Job>(pJob);
    pJob->hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Job::Routine, pHeld, 0, nullptr));
    if (pJob->hThread == nullptr) {
        // No thread to spare: the open runs here, and its end is told as the thread's would be.
        delete pHeld;
        pJob->Run();
    }
    m_host.OnOpenerState();
    return true;
}

DWORD CLinkOpener::OpenWaiting(const LinkParams& params)
{
    // An open by hand ends the bringing back of a lost link.
    StopReconnect(L"the link is opened by hand");
    if (m_pJob != nullptr)
        return ERROR_BUSY;
    if (params.kind == LinkKind::Tcp)
        m_host.OnOpenerLine(L"Connecting to " + params.Describe() + L" ...");
    if (!Begin(params, false))
        return ERROR_NOT_ENOUGH_MEMORY;
    const std::shared_ptr<Job> pJob = m_pJob;
    // The port is opened, or the unit connected to, off this thread, which goes on serving
    // its windows meanwhile; Close (or the program's end) gives the open up at once.
    const DWORD dwWait = RigWaitPumping(pJob->hEnded, INFINITE);
    DWORD dwResult = ERROR_CANCELLED;
    if (m_pJob == pJob && dwWait == WAIT_OBJECT_0 && pJob->state.load() == Job::Finished)
        dwResult = Finish();
    else if (m_pJob == pJob)
        AbandonJob();
    if (dwResult != 0)
        m_host.OnOpenerLine(params.Describe() + L" not opened: " + (dwResult == ERROR_CANCELLED ? L"cancelled" : ErrorText(dwResult)));
    m_host.OnOpenerState();
    return dwResult;
}

DWORD CLinkOpener::Finish()
{
    std::shared_ptr<Job> pJob = std::move(m_pJob);
    // The thread has said it is done and is returning.
    if (pJob->hThread != nullptr) {
        if (::WaitForSingleObject(pJob->hThread, kThreadEndMs) == WAIT_OBJECT_0)
            ::CloseHandle(pJob->hThread);
        else
            m_abandoned.push_back(pJob->hThread);
        pJob->hThread = nullptr;
    }
    if (pJob->dwResult != 0)
        return pJob->dwResult;
    if (!m_host.OnLinkOpened(std::move(pJob->pLink), pJob->params))
        return ERROR_NOT_ENOUGH_MEMORY;
    return 0;
}

void CLinkOpener::AbandonJob()
{
    std::shared_ptr<Job> pJob = std::move(m_pJob);
    if (pJob == nullptr)
        return;
    ::SetEvent(pJob->hCancel);
    int nExpected = Job::Running;
    if (!pJob->state.compare_exchange_strong(nExpected, Job::GivenUp) && pJob->dwResult == 0 && pJob->pLink != nullptr) {
        // The open got through just before: a Close still wins.
        pJob->pLink->Close();
    }
    if (pJob->hThread != nullptr)
        m_abandoned.push_back(pJob->hThread);
    pJob->hThread = nullptr;
    // A wait for this open ends now.
    ::SetEvent(pJob->hEnded);
}

void CLinkOpener::ReapThreads()
{
    for (auto it = m_abandoned.begin(); it != m_abandoned.end();) {
        if (::WaitForSingleObject(*it, 0) == WAIT_OBJECT_0) {
            ::CloseHandle(*it);
            it = m_abandoned.erase(it);
        } else {
            ++it;
        }
    }
}

int CLinkOpener::RunningThreads() const
{
    int nRunning = 0;
    if (m_pJob != nullptr && m_pJob->hThread != nullptr && ::WaitForSingleObject(m_pJob->hThread, 0) == WAIT_TIMEOUT)
        ++nRunning;
    for (HANDLE hThread : m_abandoned)
        nRunning += ::WaitForSingleObject(hThread, 0) == WAIT_TIMEOUT ? 1 : 0;
    return nRunning;
}

bool CLinkOpener::Cancel(const wchar_t* lpWhy)
{
    const bool bWasOpening = m_pJob != nullptr;
    StopReconnect(lpWhy);
    AbandonJob();
    m_host.OnOpenerState();
    return bWasOpening;
}

bool CLinkOpener::OnMessage(UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_COMM_OPENED) {
        // An attempt nobody waits for has ended (an open by hand is taken by its wait, and a
        // given-up one by nobody).
        if (m_pJob != nullptr && m_pJob->bAttempt && static_cast<unsigned>(wParam) == m_pJob->nId &&
            m_pJob->state.load() == Job::Finished)
            AttemptEnded(Finish());
        return true;
    }
    if (message == WM_TIMER && wParam == kReconnectTimer) {
        if (!m_bActive || m_ullDue == 0)
            ::KillTimer(m_window.Handle(), kReconnectTimer);
        else if (::GetTickCount64() >= m_ullDue)
            Attempt();
        else
            m_host.OnOpenerState();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------------
// Bringing back a lost link

void CLinkOpener::SetReconnect(bool bOn)
{
    m_bReconnectOn = bOn;
    if (!bOn)
        StopReconnect(L"\"Reconnect\" was switched off");
}

void CLinkOpener::OnLinkLost(const LinkParams& params)
{
    if (!m_bReconnectOn || m_bExiting || m_bActive || m_pJob != nullptr)
        return;
    const ULONGLONG ullNow = ::GetTickCount64();
    // A link that stayed up for a while starts the back-off from its first step again; one
    // lost soon after an attempt brought it back goes on where the back-off was.
    const bool bStayedUp = m_ullUpSince == 0 || ullNow - m_ullUpSince >= kStableUnits * m_dwUnitMs;
    if (bStayedUp)
        m_nAttempt = 0;
    m_bActive = true;
    m_ullLostAt = ullNow;
    m_params = params;
    const DWORD dwDelayMs = Schedule();
    wchar_t szLine[128] = {};
    if (bStayedUp)
        _snwprintf(szLine, 127, L"Reconnect: first attempt in %lu s", dwDelayMs / 1000);
    else
        _snwprintf(szLine, 127, L"Reconnect: the link was up for less than %lu s; next attempt in %lu s",
                   kStableUnits * m_dwUnitMs / 1000, dwDelayMs / 1000);
    m_host.OnOpenerLine(szLine);
    m_host.OnOpenerState();
}

DWORD CLinkOpener::Schedule()
{
    const DWORD dwDelayMs = ReconnectDelayUnits(m_nAttempt + 1) * m_dwUnitMs;
    m_ullDue = ::GetTickCount64() + dwDelayMs;
    // The timer looks for the due time and counts down meanwhile; a short schedule is looked
    // at as often as it needs.
    const UINT nTick = dwDelayMs < kReconnectTickMs ? (dwDelayMs > 0 ? dwDelayMs : 1) : kReconnectTickMs;
    if (m_window.Handle() != nullptr)
        ::SetTimer(m_window.Handle(), kReconnectTimer, nTick, nullptr);
    return dwDelayMs;
}

void CLinkOpener::Attempt()
{
    m_ullDue = 0;
    ++m_nAttempt;
    if (!Begin(m_params, true))
        AttemptEnded(ERROR_NOT_ENOUGH_MEMORY);
}

void CLinkOpener::AttemptEnded(DWORD dwResult)
{
    if (!m_bActive)
        return;
    const std::wstring description = m_params.Describe();
    wchar_t szLine[512] = {};
    if (dwResult == 0 && m_host.IsLinkUp()) {
        const ULONGLONG ullNow = ::GetTickCount64();
        _snwprintf(szLine, 511, L"Reconnect attempt %d: %s is linked again, %.1f s after it was lost", m_nAttempt,
                   description.c_str(), static_cast<double>(ullNow - m_ullLostAt) / 1000.0);
        m_ullUpSince = ullNow;
        m_bActive = false;
        m_ullDue = 0;
        if (m_window.Handle() != nullptr)
            ::KillTimer(m_window.Handle(), kReconnectTimer);
        m_host.OnOpenerLine(szLine);
        m_host.OnOpenerState();
        return;
    }
    // Not opened, or opened and lost again before the attempt was finished (the unit went at once).
    const std::wstring outcome = dwResult == 0 ? std::wstring(L"was lost again at once") : L"not opened: " + ErrorText(dwResult);
    const DWORD dwNextMs = Schedule();
    _snwprintf(szLine, 511, L"Reconnect attempt %d: %s %s; next attempt in %lu s", m_nAttempt, description.c_str(),
               outcome.c_str(), dwNextMs / 1000);
    m_host.OnOpenerLine(szLine);
    m_host.OnOpenerState();
}

void CLinkOpener::StopReconnect(const wchar_t* lpWhy)
{
    if (!m_bActive)
        return;
    m_bActive = false;
    m_ullDue = 0;
    if (m_window.Handle() != nullptr)
        ::KillTimer(m_window.Handle(), kReconnectTimer);
    // An attempt under way is given up with it.
    if (m_pJob != nullptr && m_pJob->bAttempt)
        AbandonJob();
    if (lpWhy != nullptr)
        m_host.OnOpenerLine(std::wstring(L"Reconnect stopped: ") + lpWhy);
    m_host.OnOpenerState();
}

std::wstring CLinkOpener::CountdownText() const
{
    wchar_t szText[32] = {};
    if (m_bActive && m_ullDue == 0) {
        _snwprintf(szText, 31, L"attempt %d ...", m_nAttempt);
    } else if (m_bActive) {
        const ULONGLONG ullNow = ::GetTickCount64();
        const ULONGLONG ullLeftMs = m_ullDue > ullNow ? m_ullDue - ullNow : 0;
        _snwprintf(szText, 31, L"again in %llu s", (ullLeftMs + 999) / 1000);
    }
    return szText;
}
