#include "comm/exchange/FrameRouter.h"

#include "comm/protocol/Frame.h"
#include "comm/protocol/RecvKind.h"

#include <cwchar>

CFrameRouter::CFrameRouter(CCommandExchange& exchange, CCommInbox& inbox, const IClock& clock)
    : m_exchange(exchange), m_inbox(inbox), m_dataGate(clock)
{
}

void CFrameRouter::StartLink()
{
    m_dataGate.Reset();
    m_flow = CNotifyFlowRef(new CNotifyFlow(kReportsAhead, kReportsResume));
}

void CFrameRouter::TellHiddenData(unsigned long long nChars)
{
    if (nChars > 0) {
        // The text left out of the console's memory is in the session record while one runs
        // (where the log reads it when the engineer scrolls to it), and always in the
        // diagnostic log.
        const wchar_t* lpFormat = m_inbox.Record().IsTapped() ? L"%llu bytes of data kept in the session record only"
                                                              : L"%llu bytes of data not shown here (in the diagnostic log)";
        wchar_t szText[96] = {};
        _snwprintf(szText, 95, lpFormat, nChars);
        m_inbox.WriteLine(LOG_KIND_DATA, szText);
    }
}

void CFrameRouter::OnFrame(const wchar_t* lpFrameText)
{
    // Whatever the cutter took from "[" to "]" is a frame, however odd its bytes: it is shown
    // and traced as received, and its class field (empty when it is too short to have one)
    // decides the rest.
    TellHiddenData(m_dataGate.TakeHiddenDue());
    // An answer's line is written by the exchange, with its round-trip time.
    if (m_exchange.TakeAnswer(lpFrameText))
        return;
    m_inbox.WriteLine(LOG_KIND_RECV, lpFrameText);
    wchar_t szClass[4] = {};
    SplitFrame(lpFrameText, szClass, nullptr, nullptr);
    const bool bSmp = _wcsicmp(szClass, L"SMP") == 0;
    const bool bSlp = _wcsicmp(szClass, L"SLP") == 0;
    if (!bSmp && !bSlp)
        return;
    const HWND hOwner = m_hOwner.load();
    // An owner window that falls behind the unit's frames holds the link back rather than
    // letting its reports pile up in front of its own input: this thread waits until the
    // window has taken what waits, and so does the unit (the port's flow control, the
    // socket's window). A close, or a window that is gone, ends the wait.
    if (hOwner != nullptr && m_flow)
        m_flow->WaitForRoom(hOwner, m_exchange.m_bConnected);
    if (bSmp) {
        if (hOwner != nullptr)
            m_exchange.PostInOrder(PostedNotice{hOwner, WM_SERIAL_SMP, lpFrameText, enRECV_SMP_COMMAND, m_flow});
    } else {
        // The echo is on the wire before the owner hears of the frame.
        const PostedNotice then{hOwner, WM_SERIAL_SLP, lpFrameText, enRECV_SLP_COMMAND, m_flow};
        m_exchange.SendEcho(lpFrameText, hOwner != nullptr ? &then : nullptr);
    }
}

void CFrameRouter::OnDataLine(const wchar_t* lpText)
{
    // The gate bounds what the console keeps and shows, not what is traced or recorded: text
    // beyond its rate still goes to the diagnostic log and the session record, in its place.
    if (!m_dataGate.Admit(wcslen(lpText))) {
        m_inbox.PassLine(LOG_KIND_DATA, lpText);
        TellHiddenData(m_dataGate.TakeHiddenDue());
        return;
    }
    // The text comes at a readable rate again: what was left out before it is told first.
    TellHiddenData(m_dataGate.TakeHidden());
    m_inbox.WriteLine(LOG_KIND_DATA, lpText);
}
