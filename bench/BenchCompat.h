// The few places where the benchmarks meet the link manager's public face, so that the same
// benchmark sources build against the link core of today and against the one before it was
// rebuilt (tools/bench.sh --before REV builds them into a checkout of that revision). The
// rebuilt core is known by its command exchange header; everything else the benchmarks use
// is the same in both.
#pragma once

#include "comm/Comm.h"

#include <cstddef>
#include <string>

#if __has_include("comm/exchange/CommandExchange.h") || __has_include("comm/CommandExchange.h")
#define RIG_BENCH_REBUILT_CORE 1
#else
#define RIG_BENCH_REBUILT_CORE 0
#endif

#if __has_include("comm/record/SessionLog.h") || __has_include("comm/SessionLog.h")
#define RIG_BENCH_SESSION_RECORD 1
#else
#define RIG_BENCH_SESSION_RECORD 0
#endif

// The console dialog as a part of its own (the manager then is no window).
#if __has_include("comm/console/CommConsole.h")
#define RIG_BENCH_CONSOLE_PART 1
#else
#define RIG_BENCH_CONSOLE_PART 0
#endif

// The console's view as a screenful over the whole session (it keeps no lines of its own).
#if __has_include("comm/record/SessionLines.h")
#define RIG_BENCH_PAGED_VIEW 1
#else
#define RIG_BENCH_PAGED_VIEW 0
#endif

namespace benchcompat {

// The console's window object.
inline CWnd* ConsoleOf(CComm* pComm)
{
#if RIG_BENCH_CONSOLE_PART
    return &pComm->Console();
#else
    return pComm;
#endif
}

// The console's options with only the session folder set, for a core whose options take a
// "Reconnect" choice and for one whose options do not.
template <typename Comm>
auto SetFolderOption(Comm* pComm, const std::wstring& folder, int) -> decltype(pComm->SetConsoleOptions(false, false, folder))
{
    return pComm->SetConsoleOptions(false, false, folder);
}
template <typename Comm>
void SetFolderOption(Comm* pComm, const std::wstring& folder, long)
{
    pComm->SetConsoleOptions(false, folder);
}

// Turns the console's session record on, into folder (a core without one writes none).
inline void SetSessionFolder(CComm* pComm, const std::wstring& folder)
{
#if RIG_BENCH_SESSION_RECORD
    SetFolderOption(pComm, folder, 0);
#else
    (void)pComm;
    (void)folder;
#endif
}

// Bytes the session record wrote and dropped so far; false without a session record.
inline bool SessionRecordBytes(const CComm* pComm, unsigned long long& nWritten, unsigned long long& nDropped)
{
#if RIG_BENCH_SESSION_RECORD
    nWritten = pComm->SessionRecord().BytesWritten();
    nDropped = pComm->SessionRecord().BytesDropped();
    return true;
#else
    (void)pComm;
    nWritten = nDropped = 0;
    return false;
#endif
}

// Which core this build measures, for the figures' header.
inline const char* CoreName()
{
    return RIG_BENCH_REBUILT_CORE ? "link core rebuilt (inbox, command exchange, links)"
                                  : "link core before the rebuild";
}

// The one link manager, created on the calling thread (which becomes its user-interface
// thread). The old manager was told the link kind up front.
inline CComm* CreateComm(bool bTcp)
{
#if RIG_BENCH_REBUILT_CORE
    (void)bTcp;
    return CComm::GetInstance();
#else
    return CComm::GetInstance(bTcp ? 1 : 0);
#endif
}

// The window that hears of the unit's own frames.
inline void SetOwner(CComm* pComm, CWnd* pOwner)
{
#if RIG_BENCH_REBUILT_CORE
    pComm->SetOwnerWnd(pOwner);
#else
    (void)pComm;
    CComm::m_pOwnerWnd = pOwner;
#endif
}

// What the view's timer tick does: the lines that came since the last tick go into the view.
// The old console wrote a line of the user-interface thread into its view at once and took
// the workers' lines when their message came, so there is nothing to do for it here.
inline void ShowPendingLines(CComm* pComm)
{
#if RIG_BENCH_REBUILT_CORE
    pComm->ShowPendingLines();
#else
    (void)pComm;
#endif
}

// Lines kept in the console's record (the old console kept them in its log).
inline size_t RecordLines(const CComm* pComm)
{
#if RIG_BENCH_REBUILT_CORE
    return pComm->GetRecord().Count();
#else
    return pComm->GetLog().Count();
#endif
}

// The most bytes that waited for the receive thread in this link session; false when the
// core cannot tell (the old one kept no such figure).
inline bool MaxReceiveBacklog(const CComm* pComm, size_t& nBytes)
{
#if RIG_BENCH_REBUILT_CORE
    nBytes = pComm->MaxReceiveBacklog();
    return true;
#else
    (void)pComm;
    nBytes = 0;
    return false;
#endif
}

// What the console's view holds, and what a tick puts into it.
inline std::string ViewKind()
{
#if RIG_BENCH_PAGED_VIEW
    return "its view holds one screenful of the session and a tick draws the latest screenful";
#elif RIG_BENCH_REBUILT_CORE
    return "its view holds at most " + std::to_string(CConsoleView::kViewLines + CConsoleView::kTrimLines) +
           " lines and a tick shows the latest " + std::to_string(CConsoleView::kMaxLinesPerTick) + " and summarises the rest";
#else
    return "its view holds at most " + std::to_string(CConsoleLog::kViewLines + CConsoleLog::kTrimLines) +
           " lines and took each line as it was written";
#endif
}

} // namespace benchcompat
