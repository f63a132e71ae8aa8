// The frame router: where the link's receive thread hands what it cut from the unit's bytes.
// A frame goes into the console record (and the diagnostic log) and on to its owner: the
// answer of the command in flight to the exchange, the unit's own SMP and SLP frames to the
// owner window (an SLP after its ELP echo has left); loose text goes to the record through
// the data gate. Owned by the link manager, which hands it to each link as the link's sink.
//
// Threads: OnFrame, OnDataLine, OnLinkLost and OnLinkError run on the receive thread;
// SetOwner and StartLink on the user-interface thread (StartLink before the receive thread
// runs); TakeHiddenData on any thread.
#pragma once

#include "comm/exchange/CommandExchange.h"
#include "comm/exchange/DataGate.h"
#include "comm/link/Link.h"
#include "comm/protocol/Notify.h"
#include "comm/record/CommInbox.h"

#include <windows.h>

#include <atomic>

class CFrameRouter : public ILinkSink {
public:
    // Reports of the unit's frames that may wait for the owner window at once. The main
    // window takes one in about 0.1 ms (0.35 ms with a debug-output listener attached), so
    // its own input never waits behind more than about 50 ms of them.
    static constexpr long kReportsAhead = 128;
    static constexpr long kReportsResume = 64;

    CFrameRouter(CCommandExchange& exchange, CCommInbox& inbox, const IClock& clock);
    CFrameRouter(const CFrameRouter&) = delete;
    CFrameRouter& operator=(const CFrameRouter&) = delete;

    // The window that hears of the unit's frames (null: none is told).
    void SetOwner(HWND hOwner) { m_hOwner.store(hOwner); }
    // A new link: its own count of reports waiting for the window (so that reports an earlier
    // window never took hold nothing back), and the data gate's whole burst.
    void StartLink();
    // Loose text the gate held back and has not told yet, as a console line (none for 0).
    void TellHiddenData(unsigned long long nChars);
    unsigned long long TakeHiddenData() { return m_dataGate.TakeHidden(); }
    // The reports of this link the owner window has not taken yet.
    long ReportsWaiting() const { return m_flow ? m_flow->Outstanding() : 0; }

    // ILinkSink: the receive thread.
    void OnFrame(const wchar_t* lpFrame) override;
    void OnDataLine(const wchar_t* lpText) override;
    void OnLinkLost(const wchar_t* lpWhy) override { m_exchange.MarkLost(lpWhy); }
    void OnLinkError(const wchar_t* lpText) override { m_inbox.Post(CCommInbox::EventType::ShowError, lpText); }

private:
    CCommandExchange& m_exchange;
    CCommInbox& m_inbox;
    // Receive thread (Reset by StartLink before it runs).
    CDataGate m_dataGate;
    // Written by the user-interface thread, read by the receive thread: atomic.
    std::atomic<HWND> m_hOwner{nullptr};
    // Replaced by StartLink before the receive thread runs, read by it afterwards.
    CNotifyFlowRef m_flow;
};
