// Notification messages from the link manager's threads to windows of the user-interface
// thread (values in messages.h). wParam is a heap copy of a frame text that the receiving
// window owns and frees with FreeNotifyText; lParam is a receive kind.
//
// A copy may count towards a flow (CNotifyFlow): the reports of the unit's own frames to the
// owner window, per link. The window's FreeNotifyText is what lowers the count, so the
// receive thread learns from the window itself how far it is behind.
#pragma once

#include "messages.h"

#include <windows.h>

#include <atomic>

// The reports a window has not taken yet, of one link session. Created by the frame router
// at each link's start; held by the router and by every copy posted on it, and freed by the
// last of them (a copy that a destroyed window never freed keeps only this small object).
class CNotifyFlow {
public:
    // Reports that may wait for the window at once; the reader waits at the high mark until
    // the window has taken them down to the low one.
    CNotifyFlow(long nHigh, long nLow);
    CNotifyFlow(const CNotifyFlow&) = delete;
    CNotifyFlow& operator=(const CNotifyFlow&) = delete;

    void AddRef() { m_nRefs.fetch_add(1); }
    void Release();

    // The receive thread, before a report: waits while the window is behind by the high mark,
    // until it has caught up to the low mark, the link closes (bOpen cleared) or the window is
    // gone. Returns at once when it is not behind.
    void WaitForRoom(HWND hWnd, const std::atomic<unsigned char>& bOpen);
    long Outstanding() const { return m_nOutstanding.load(); }

    // The copy's side (any thread).
    void Posted() { m_nOutstanding.fetch_add(1); }
    void Taken();

private:
    ~CNotifyFlow();

    const long m_nHigh;
    const long m_nLow;
    std::atomic<long> m_nRefs{1};
    // Raised by whoever posts (the receive or dispatcher thread), lowered by the window that
    // frees (user-interface thread); atomic.
    std::atomic<long> m_nOutstanding{0};
    // Set by the waiting reader, cleared by it; the event (auto-reset) is set by a Taken that
    // brings the count down to the low mark while someone waits.
    std::atomic<bool> m_bWaiting{false};
    HANDLE m_hRoom = nullptr;
};

// A held reference to a flow (null: none).
class CNotifyFlowRef {
public:
    CNotifyFlowRef() = default;
    explicit CNotifyFlowRef(CNotifyFlow* pFlow) : m_pFlow(pFlow) {}   // takes the reference
    CNotifyFlowRef(const CNotifyFlowRef& other) : m_pFlow(other.m_pFlow) { if (m_pFlow) m_pFlow->AddRef(); }
    CNotifyFlowRef& operator=(CNotifyFlowRef other) { std::swap(m_pFlow, other.m_pFlow); return *this; }
    ~CNotifyFlowRef() { if (m_pFlow) m_pFlow->Release(); }
    CNotifyFlow* Get() const { return m_pFlow; }
    CNotifyFlow* operator->() const { return m_pFlow; }
    explicit operator bool() const { return m_pFlow != nullptr; }

private:
    CNotifyFlow* m_pFlow = nullptr;
};

// A heap copy of lpText for one notification, counted on pFlow when given.
wchar_t* MakeNotifyText(const wchar_t* lpText, CNotifyFlow* pFlow = nullptr);
// Frees the copy a notification carried in wParam (and tells its flow it was taken).
void FreeNotifyText(WPARAM wParam);
// Posts a notification with a copy of lpText; the copy is freed here when the message
// cannot be posted (no window, a window that is gone, a full queue). False in that case.
bool PostNotify(HWND hWnd, UINT message, const wchar_t* lpText, int nKind, CNotifyFlow* pFlow = nullptr);
// Copies made and not yet freed, for leak checks.
long NotifyTextsOutstanding();
