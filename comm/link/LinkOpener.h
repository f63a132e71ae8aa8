// The link opener: opens a link off the user-interface thread (a port's CreateFile or a TCP
// connect may take seconds), and brings back a lost link when "Reconnect" is on: attempts
// after 1, 2, 4, 8, 16 and then every 30 units (a second), each off the user-interface
// thread. Owned by the link manager; everything here runs on the user-interface thread but
// the opener threads themselves.
//
// A Close never waits for an opener: the open is given up, and its thread, when its call
// returns, closes what it opened and frees what it used (the job is shared with it).
#pragma once

#include "comm/link/Link.h"
#include "comm/protocol/LinkParams.h"
#include "framework/MessageWindow.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// What the opener needs of its owner (user-interface thread).
class IOpenerHost {
public:
    // A link is open: its workers start. False when they could not (the link is then gone).
    virtual bool OnLinkOpened(std::unique_ptr<CLink> pLink, const LinkParams& params) = 0;
    virtual bool IsLinkUp() const = 0;
    // A console line.
    virtual void OnOpenerLine(const std::wstring& text) = 0;
    // Opening or reconnecting began or ended, or the countdown moved: the console follows.
    virtual void OnOpenerState() = 0;

protected:
    ~IOpenerHost() = default;
};

class CLinkOpener {
public:
    // Makes the link of a kind (tests give links of their own).
    using LinkFactory = std::function<std::unique_ptr<CLink>(LinkKind kind)>;
    explicit CLinkOpener(IOpenerHost& host, LinkFactory factory = nullptr);
    ~CLinkOpener();
    CLinkOpener(const CLinkOpener&) = delete;
    CLinkOpener& operator=(const CLinkOpener&) = delete;

    // Opens the link and waits, serving the thread's windows meanwhile, until it is open, has
    // failed, or was given up (Cancel, the program's end). 0 when the host took the link, or
    // the Windows error (ERROR_CANCELLED when given up). Stops a reconnect first.
    DWORD OpenWaiting(const LinkParams& params);
    bool IsOpening() const { return m_pJob != nullptr; }
    // Gives up an open under way at once, and the bringing back of a lost link; true when an
    // open was under way.
    bool Cancel(const wchar_t* lpWhy);

    // "Reconnect": whether a lost link is opened again by itself. Switched off, it stops an
    // attempt under way.
    void SetReconnect(bool bOn);
    bool ReconnectOn() const { return m_bReconnectOn; }
    bool IsReconnecting() const { return m_bActive; }
    // The host's link ended by itself: it is brought back if "Reconnect" is on.
    void OnLinkLost(const LinkParams& params);
    // The program is ending: nothing is opened again.
    void PrepareExit() { m_bExiting = true; Cancel(nullptr); }
    // What the console shows beside the box: "again in 4 s", "attempt 3 ...", or nothing.
    std::wstring CountdownText() const;
    // Opener threads still running (given-up ones included).
    int RunningThreads() const;

    // The schedule's unit and how long a link must stay up before the back-off starts again
    // from its first step (a unit that accepts and drops at once is not tried every unit).
    static constexpr DWORD kStableUnits = 10;

private:
    struct Job;
    bool Begin(const LinkParams& params, bool bAttempt);
    // The job has ended (its thread said so): its result is taken.
    DWORD Finish();
    void AbandonJob();
    void ReapThreads();
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    DWORD Schedule();
    void Attempt();
    void AttemptEnded(DWORD dwResult);
    void StopReconnect(const wchar_t* lpWhy);

    IOpenerHost& m_host;
    LinkFactory m_factory;
    CMessageWindow m_window;
    // The open under way (user-interface thread); shared with its thread.
    std::shared_ptr<Job> m_pJob;
    unsigned m_nJobId = 0;
    // Threads of opens given up, closed once they have ended.
    std::vector<HANDLE> m_abandoned;
    DWORD m_dwUnitMs = 1000;
    bool m_bExiting = false;

    // Bringing back a lost link (user-interface thread).
    bool m_bReconnectOn = false;
    bool m_bActive = false;
    int m_nAttempt = 0;
    ULONGLONG m_ullDue = 0;      // tick of the next attempt; 0 while one runs
    ULONGLONG m_ullLostAt = 0;
    ULONGLONG m_ullUpSince = 0;  // when the link last came up by an attempt (0: by hand)
    LinkParams m_params;
};
