// CWnd: a window of the program bound to a C++ object. Every window we own or attach goes
// through one window procedure of ours, put in front of the window's own, that finds the
// object in the process's table of bound windows and searches the object's message table. The object never owns the window's lifetime by itself: the
// binding ends at WM_NCDESTROY, and only then may the object go.
#pragma once

#include "framework/MessageMap.h"
#include "framework/RuntimeClass.h"

#include <windows.h>

#include <string>

class CWnd {
public:
    CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;
    virtual ~CWnd();

    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const { return m_hWnd; }
    operator HWND() const { return m_hWnd; }

    // The bound object of a window of this thread, or null.
    static CWnd* FromHandlePermanent(HWND hWnd);

    // Binds an existing window (a template control, usually) to this object: subclasses it,
    // then runs PreSubclassWindow. A control found this way never sees WM_CREATE.
    bool SubclassWindow(HWND hWnd);
    bool SubclassDlgItem(UINT nID, CWnd* pParent);
    HWND UnsubclassWindow();

    // Creates a window bound to this object from its very first message (WM_NCCREATE,
    // WM_CREATE included); PreCreateWindow may adjust the creation parameters first and
    // PreSubclassWindow runs once the window exists.
    bool CreateEx(DWORD dwExStyle, const wchar_t* lpClassName, const wchar_t* lpWindowName, DWORD dwStyle,
                  const RECT& rect, CWnd* pParentWnd, UINT nID, void* lpParam = nullptr);
    virtual BOOL PreCreateWindow(CREATESTRUCTW& cs);

    // Run-time class of the object.
    static const CRuntimeClass* GetThisClass();
    virtual const CRuntimeClass* GetRuntimeClass() const;
    bool IsKindOf(const CRuntimeClass* pClass) const { return GetRuntimeClass()->IsDerivedFrom(pClass); }

    // Borrows a window without subclassing it (no messages reach the object).
    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    HWND Detach();

    virtual bool DestroyWindow();

    // Messages that pass through the message loop reach the objects of the target window and
    // its parents first; true means the message was handled and is not dispatched.
    virtual bool PreTranslateMessage(MSG* pMsg);

    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::SendMessageW(m_hWnd, msg, wParam, lParam);
    }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const
    {
        return ::PostMessageW(m_hWnd, msg, wParam, lParam);
    }

    void SetWindowText(const wchar_t* lpText) { ::SetWindowTextW(m_hWnd, lpText); }
    std::wstring GetWindowText() const;
    int GetWindowText(wchar_t* lpBuffer, int cchMax) const { return ::GetWindowTextW(m_hWnd, lpBuffer, cchMax); }
    BOOL ShowWindow(int nCmdShow) { return ::ShowWindow(m_hWnd, nCmdShow); }
    BOOL EnableWindow(BOOL bEnable = TRUE) { return ::EnableWindow(m_hWnd, bEnable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsWindowVisible() const { return ::IsWindowVisible(m_hWnd); }
    BOOL IsWindow() const { return m_hWnd != nullptr && ::IsWindow(m_hWnd); }
    HWND SetFocus() { return ::SetFocus(m_hWnd); }
    void Invalidate(BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, bErase); }
    void UpdateWindow() { ::UpdateWindow(m_hWnd); }
    void GetClientRect(RECT* pRect) const { ::GetClientRect(m_hWnd, pRect); }
    void GetWindowRect(RECT* pRect) const { ::GetWindowRect(m_hWnd, pRect); }
    void ScreenToClient(RECT* pRect) const;
    void ClientToScreen(POINT* pPoint) const { ::ClientToScreen(m_hWnd, pPoint); }
    void ScreenToClient(POINT* pPoint) const { ::ScreenToClient(m_hWnd, pPoint); }
    UINT_PTR SetTimer(UINT_PTR nIDEvent, UINT nElapse) { return ::SetTimer(m_hWnd, nIDEvent, nElapse, nullptr); }
    BOOL KillTimer(UINT_PTR nIDEvent) { return ::KillTimer(m_hWnd, nIDEvent); }
    HICON SetIcon(HICON hIcon, BOOL bBigIcon)
    {
        return reinterpret_cast<HICON>(SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
    }
    HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }
    void SetFont(HFONT hFont, BOOL bRedraw = TRUE) { SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(hFont), bRedraw); }
    LONG_PTR GetStyle() const { return ::GetWindowLongPtrW(m_hWnd, GWL_STYLE); }
    LONG_PTR GetExStyle() const { return ::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE); }
    // Changes style bits; with nFlags the frame is told (SetWindowPos with those flags).
    // False when nothing changed.
    BOOL ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    BOOL ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags = 0);
    // The system owns hRgn after a successful call: the caller must not use or delete it.
    int SetWindowRgn(HRGN hRgn, BOOL bRedraw) { return ::SetWindowRgn(m_hWnd, hRgn, bRedraw); }
    int GetWindowRgn(HRGN hRgn) const { return ::GetWindowRgn(m_hWnd, hRgn); }
    void InvalidateRect(const RECT* pRect, BOOL bErase = TRUE) { ::InvalidateRect(m_hWnd, pRect, bErase); }
    BOOL RedrawWindow(const RECT* pRect = nullptr, HRGN hRgn = nullptr,
                      UINT nFlags = RDW_INVALIDATE | RDW_UPDATENOW | RDW_ERASE)
    {
        return ::RedrawWindow(m_hWnd, pRect, hRgn, nFlags);
    }
    BOOL SetWindowPos(HWND hWndInsertAfter, int x, int y, int cx, int cy, UINT nFlags)
    {
        return ::SetWindowPos(m_hWnd, hWndInsertAfter, x, y, cx, cy, nFlags);
    }
    BOOL MoveWindow(int x, int y, int nWidth, int nHeight, BOOL bRepaint = TRUE)
    {
        return ::MoveWindow(m_hWnd, x, y, nWidth, nHeight, bRepaint);
    }
    HWND SetCapture() { return ::SetCapture(m_hWnd); }
    HWND GetWindow(UINT nCmd) const { return ::GetWindow(m_hWnd, nCmd); }
    // Asks for WM_MOUSEHOVER / WM_MOUSELEAVE (TME_* flags); false when the request failed.
    BOOL TrackMouseEvent(DWORD dwFlags, DWORD dwHoverTime = HOVER_DEFAULT);
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    HWND GetParent() const { return ::GetParent(m_hWnd); }

    HWND GetDlgItem(int nID) const { return ::GetDlgItem(m_hWnd, nID); }
    void SetDlgItemText(int nID, const wchar_t* lpText) { ::SetDlgItemTextW(m_hWnd, nID, lpText); }
    std::wstring GetDlgItemText(int nID) const;
    void ShowDlgItem(int nID, bool bShow) { ::ShowWindow(GetDlgItem(nID), bShow ? SW_SHOW : SW_HIDE); }
    void EnableDlgItem(int nID, bool bEnable) { ::EnableWindow(GetDlgItem(nID), bEnable ? TRUE : FALSE); }

    // Centres the window on the screen (work area of its monitor), keeping its size.
    void CenterWindow();

protected:
    // Messages of this window: the message table first, then Default().
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam);
    // Searches the reflection rules and the table chain; true when a handler took it.
    virtual bool OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // A message the parent received for this control, offered back to it.
    virtual bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    // Default processing of the message being handled.
    LRESULT Default();
    virtual LRESULT DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam);

    // Runs after SubclassWindow bound the window; the place for a control's set-up.
    virtual void PreSubclassWindow() {}
    // Runs after the last message (WM_NCDESTROY), with the binding already gone.
    virtual void PostNcDestroy() {}

    static const MsgMap* GetThisMessageMap();
    virtual const MsgMap* GetMessageMap() const;

    // Binds a window whose messages are delivered to this object from now on.
    bool BindWindow(HWND hWnd);

private:
    static LRESULT CALLBACK StaticWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
    // Ends the binding of hWnd (this object's window, or one it had).
    void Unbind(HWND hWnd);
    static LRESULT CALLBACK CreateHookProc(int nCode, WPARAM wParam, LPARAM lParam);
    bool DispatchToMap(const MsgMapEntry* pEntry, WPARAM wParam, LPARAM lParam, LRESULT* pResult);
    static bool IsReflectedFirst(UINT message);

    struct CurrentMessage {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    CurrentMessage m_current{};
};

// Gives every window of the thread on the path from pMsg->hwnd up to its top-level window a
// chance to handle a message of the loop. The message loops (the program's and the modal
// dialogs') call it for each message before dispatching.
bool RigPreTranslateMessage(MSG* pMsg);

// One turn of a message loop: waits for the next message of the thread and dispatches it
// after the PreTranslateMessage chain. False at WM_QUIT (left in msg) or when the queue
// fails.
bool RigPumpMessage(MSG& msg);

// Dispatches one message taken from the thread's queue, after the PreTranslateMessage chain.
void RigDispatchMessage(MSG& msg);

// Waits for hObject while the calling thread keeps serving its windows as its message loop
// would (keys, dialogs, timers): the window stays alive during a wait that may be long.
// WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_FAILED, or WAIT_ABANDONED when WM_QUIT came (it is
// posted again for the loop outside).
DWORD RigWaitPumping(HANDLE hObject, DWORD dwTimeoutMs);
