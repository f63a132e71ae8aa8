#include "framework/Wnd.h"

#include "framework/Dc.h"

#include <commctrl.h>

#include <unordered_map>

namespace {
// Every bound window of the process: its object, and the window procedure it had before
// (which gets what the object leaves to default processing). Looked up by every message of a
// bound window, so it is a table in our own memory, not a window property or comctl32's
// subclass chain: both are kept by the window manager, and under Wine each look is a round
// trip to its server. Written by the thread that binds or unbinds a window (its own), read by
// every window procedure call and PreTranslateMessage walk; covered by g_bindingsLock (shared
// for lookups). It lives as long as the process: windows may still get messages while static
// objects are being destroyed.
struct Binding {
    CWnd* pWnd = nullptr; // null once unbound while another procedure was put on top of ours
    WNDPROC pfnSuper = nullptr;
};
SRWLOCK g_bindingsLock = SRWLOCK_INIT;
std::unordered_map<HWND, Binding>& Bindings()
{
    static auto* pBindings = new std::unordered_map<HWND, Binding>;
    return *pBindings;
}

Binding FindBinding(HWND hWnd)
{
    ::AcquireSRWLockShared(&g_bindingsLock);
    const auto& bindings = Bindings();
    const auto it = bindings.find(hWnd);
    const Binding binding = it != bindings.end() ? it->second : Binding{};
    ::ReleaseSRWLockShared(&g_bindingsLock);
    return binding;
}

void SetBinding(HWND hWnd, const Binding& binding)
{
    ::AcquireSRWLockExclusive(&g_bindingsLock);
    Bindings()[hWnd] = binding;
    ::ReleaseSRWLockExclusive(&g_bindingsLock);
}

void EraseBinding(HWND hWnd)
{
    ::AcquireSRWLockExclusive(&g_bindingsLock);
    Bindings().erase(hWnd);
    ::ReleaseSRWLockExclusive(&g_bindingsLock);
}

// The object whose window CreateEx is creating on this thread, and the hook that binds it
// when the system announces the new window, before its first message.
thread_local CWnd* t_pWndCreating = nullptr;
thread_local HHOOK t_hCreateHook = nullptr;
} // namespace

CWnd::~CWnd()
{
    // A window still bound here would call into a dead object: unbind it first. Windows
    // are normally destroyed (and unbound at WM_NCDESTROY) before their object goes.
    if (m_hWnd != nullptr && ::IsWindow(m_hWnd))
        UnsubclassWindow();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd)
{
    return hWnd != nullptr ? FindBinding(hWnd).pWnd : nullptr;
}

bool CWnd::BindWindow(HWND hWnd)
{
    // A window is bound once: also one whose unbinding left our procedure in its chain.
    const Binding before = FindBinding(hWnd);
    if (hWnd == nullptr || m_hWnd != nullptr || before.pfnSuper != nullptr)
        return false;
    // The table knows the window before its first message through our procedure.
    SetBinding(hWnd, Binding{this, reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC))});
    const WNDPROC pfnOld = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::StaticWndProc)));
    if (pfnOld == nullptr) {
        EraseBinding(hWnd);
        return false;
    }
    SetBinding(hWnd, Binding{this, pfnOld});
    m_hWnd = hWnd;
    return true;
}

void CWnd::Unbind(HWND hWnd)
{
    const Binding binding = FindBinding(hWnd);
    // Our procedure comes off when it is still the window's; otherwise (something put its own
    // on top since) it stays, passing every message on to the one it had before.
    if (reinterpret_cast<WNDPROC>(::GetWindowLongPtrW(hWnd, GWLP_WNDPROC)) == &CWnd::StaticWndProc) {
        ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(binding.pfnSuper));
        EraseBinding(hWnd);
    } else {
        SetBinding(hWnd, Binding{nullptr, binding.pfnSuper});
    }
}

bool CWnd::SubclassWindow(HWND hWnd)
{
    if (!BindWindow(hWnd))
        return false;
    PreSubclassWindow();
    return true;
}

bool CWnd::SubclassDlgItem(UINT nID, CWnd* pParent)
{
    return pParent != nullptr && SubclassWindow(::GetDlgItem(pParent->m_hWnd, static_cast<int>(nID)));
}

LRESULT CALLBACK CWnd::CreateHookProc(int nCode, WPARAM wParam, LPARAM lParam)
{
    if (nCode == HCBT_CREATEWND && t_pWndCreating != nullptr) {
        CWnd* pWnd = t_pWndCreating;
        t_pWndCreating = nullptr;
        if (pWnd->BindWindow(reinterpret_cast<HWND>(wParam)))
            pWnd->PreSubclassWindow();
    }
    return ::CallNextHookEx(t_hCreateHook, nCode, wParam, lParam);
}

BOOL CWnd::PreCreateWindow(CREATESTRUCTW&)
{
    return TRUE;
}

bool CWnd::CreateEx(DWORD dwExStyle, const wchar_t* lpClassName, const wchar_t* lpWindowName, DWORD dwStyle,
                    const RECT& rect, CWnd* pParentWnd, UINT nID, void* lpParam)
{
    if (m_hWnd != nullptr)
        return false;
    CREATESTRUCTW cs{};
    cs.dwExStyle = dwExStyle;
    cs.lpszClass = lpClassName;
    cs.lpszName = lpWindowName;
    cs.style = static_cast<LONG>(dwStyle);
    cs.x = rect.left;
    cs.y = rect.top;
    cs.cx = rect.right - rect.left;
    cs.cy = rect.bottom - rect.top;
    cs.hwndParent = pParentWnd != nullptr ? pParentWnd->m_hWnd : nullptr;
    cs.hMenu = (dwStyle & WS_CHILD) != 0 ? reinterpret_cast<HMENU>(static_cast<UINT_PTR>(nID)) : nullptr;
    cs.hInstance = ::GetModuleHandleW(nullptr);
    cs.lpCreateParams = lpParam;
    if (!PreCreateWindow(cs))
        return false;

    CWnd* pPrevious = t_pWndCreating;
    HHOOK hPreviousHook = t_hCreateHook;
    t_pWndCreating = this;
    t_hCreateHook = ::SetWindowsHookExW(WH_CBT, &CWnd::CreateHookProc, nullptr, ::GetCurrentThreadId());
    HWND hWnd = ::CreateWindowExW(cs.dwExStyle, cs.lpszClass, cs.lpszName, static_cast<DWORD>(cs.style), cs.x, cs.y,
                                  cs.cx, cs.cy, cs.hwndParent, cs.hMenu, cs.hInstance, cs.lpCreateParams);
    if (t_hCreateHook != nullptr)
        ::UnhookWindowsHookEx(t_hCreateHook);
    t_hCreateHook = hPreviousHook;
    t_pWndCreating = pPrevious;
    // A window that failed during its creation has already been unbound at WM_NCDESTROY.
    return hWnd != nullptr && m_hWnd == hWnd;
}

const CRuntimeClass* CWnd::GetThisClass()
{
    static const CRuntimeClass runtimeClass = {"CWnd", static_cast<int>(sizeof(CWnd)), 0xFFFF, nullptr, nullptr};
    return &runtimeClass;
}

const CRuntimeClass* CWnd::GetRuntimeClass() const
{
    return GetThisClass();
}

BOOL CWnd::ModifyStyle(DWORD dwRemove, DWORD dwAdd, UINT nFlags)
{
    const DWORD dwStyle = static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_STYLE));
    const DWORD dwNewStyle = (dwStyle & ~dwRemove) | dwAdd;
    if (dwStyle == dwNewStyle)
        return FALSE;
    ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, static_cast<LONG_PTR>(dwNewStyle));
    if (nFlags != 0)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | nFlags);
    return TRUE;
}

BOOL CWnd::ModifyStyleEx(DWORD dwRemove, DWORD dwAdd, UINT nFlags)
{
    const DWORD dwStyle = static_cast<DWORD>(::GetWindowLongPtrW(m_hWnd, GWL_EXSTYLE));
    const DWORD dwNewStyle = (dwStyle & ~dwRemove) | dwAdd;
    if (dwStyle == dwNewStyle)
        return FALSE;
    ::SetWindowLongPtrW(m_hWnd, GWL_EXSTYLE, static_cast<LONG_PTR>(dwNewStyle));
    if (nFlags != 0)
        ::SetWindowPos(m_hWnd, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | nFlags);
    return TRUE;
}

BOOL CWnd::TrackMouseEvent(DWORD dwFlags, DWORD dwHoverTime)
{
    TRACKMOUSEEVENT tme{};
    tme.cbSize = sizeof(tme);
    tme.dwFlags = dwFlags;
    tme.hwndTrack = m_hWnd;
    tme.dwHoverTime = dwHoverTime;
    return ::_TrackMouseEvent(&tme);
}

HWND CWnd::UnsubclassWindow()
{
    HWND hWnd = m_hWnd;
    if (hWnd != nullptr)
        Unbind(hWnd);
    m_hWnd = nullptr;
    return hWnd;
}

HWND CWnd::Detach()
{
    HWND hWnd = m_hWnd;
    m_hWnd = nullptr;
    return hWnd;
}

bool CWnd::DestroyWindow()
{
    if (m_hWnd == nullptr)
        return false;
    // WM_NCDESTROY clears m_hWnd when the window is bound; a borrowed one is cleared here.
    HWND hWnd = m_hWnd;
    const BOOL ok = ::DestroyWindow(hWnd);
    if (m_hWnd == hWnd && !::IsWindow(hWnd))
        m_hWnd = nullptr;
    return ok != FALSE;
}

bool CWnd::PreTranslateMessage(MSG*)
{
    return false;
}

std::wstring CWnd::GetWindowText() const
{
    const int length = ::GetWindowTextLengthW(m_hWnd);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(m_hWnd, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

std::wstring CWnd::GetDlgItemText(int nID) const
{
    HWND hItem = GetDlgItem(nID);
    const int length = ::GetWindowTextLengthW(hItem);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = ::GetWindowTextW(hItem, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return text;
}

void CWnd::ScreenToClient(RECT* pRect) const
{
    ::MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(pRect), 2);
}

void CWnd::CenterWindow()
{
    RECT rcWindow;
    ::GetWindowRect(m_hWnd, &rcWindow);
    MONITORINFO mi{};
    mi.cbSize = sizeof(mi);
    ::GetMonitorInfoW(::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTONEAREST), &mi);
    const RECT& rcArea = mi.rcWork;
    const int width = rcWindow.right - rcWindow.left;
    const int height = rcWindow.bottom - rcWindow.top;
    const int x = rcArea.left + ((rcArea.right - rcArea.left) - width) / 2;
    const int y = rcArea.top + ((rcArea.bottom - rcArea.top) - height) / 2;
    ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK CWnd::StaticWndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    const Binding binding = FindBinding(hWnd);
    CWnd* pWnd = binding.pWnd;
    if (pWnd == nullptr) {
        // Unbound while a procedure put on top of ours kept ours in the chain: passed on.
        const LRESULT result = binding.pfnSuper != nullptr ? ::CallWindowProcW(binding.pfnSuper, hWnd, message, wParam, lParam)
                                                           : ::DefWindowProcW(hWnd, message, wParam, lParam);
        if (message == WM_NCDESTROY)
            EraseBinding(hWnd);
        return result;
    }
    LRESULT result = 0;
    // No exception may cross a window procedure: real Windows does not carry it through
    // SendMessage. A handler that throws gets default processing.
    try {
        const CurrentMessage saved = pWnd->m_current;
        pWnd->m_current = CurrentMessage{message, wParam, lParam};
        result = pWnd->WindowProc(message, wParam, lParam);
        pWnd->m_current = saved;
    } catch (...) {
        result = ::CallWindowProcW(binding.pfnSuper, hWnd, message, wParam, lParam);
    }
    if (message == WM_NCDESTROY) {
        pWnd->Unbind(hWnd);
        if (pWnd->m_hWnd == hWnd)
            pWnd->m_hWnd = nullptr;
        pWnd->PostNcDestroy();
    }
    return result;
}

LRESULT CWnd::WindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT result = 0;
    if (OnWndMsg(message, wParam, lParam, &result))
        return result;
    return DefWindowProc(message, wParam, lParam);
}

LRESULT CWnd::DefWindowProc(UINT message, WPARAM wParam, LPARAM lParam)
{
    const WNDPROC pfnSuper = FindBinding(m_hWnd).pfnSuper;
    return pfnSuper != nullptr ? ::CallWindowProcW(pfnSuper, m_hWnd, message, wParam, lParam)
                               : ::DefWindowProcW(m_hWnd, message, wParam, lParam);
}

LRESULT CWnd::Default()
{
    return DefWindowProc(m_current.message, m_current.wParam, m_current.lParam);
}

bool CWnd::IsReflectedFirst(UINT message)
{
    switch (message) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
    case WM_DRAWITEM:
    case WM_MEASUREITEM:
    case WM_COMPAREITEM:
    case WM_DELETEITEM:
        return true;
    default:
        return false;
    }
}

namespace {
// The child window a parent's message is about, for reflection.
HWND ChildOfMessage(UINT message, WPARAM wParam, LPARAM lParam, HWND hParent)
{
    switch (message) {
    case WM_COMMAND:
        return reinterpret_cast<HWND>(lParam);
    case WM_NOTIFY:
        return lParam != 0 ? reinterpret_cast<NMHDR*>(lParam)->hwndFrom : nullptr;
    case WM_DRAWITEM:
        return lParam != 0 ? reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_MEASUREITEM:
        return wParam != 0 ? ::GetDlgItem(hParent, static_cast<int>(wParam)) : nullptr;
    case WM_DELETEITEM:
        return lParam != 0 ? reinterpret_cast<DELETEITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_COMPAREITEM:
        return lParam != 0 ? reinterpret_cast<COMPAREITEMSTRUCT*>(lParam)->hwndItem : nullptr;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSCROLLBAR:
        return reinterpret_cast<HWND>(lParam);
    default:
        return nullptr;
    }
}
} // namespace

bool CWnd::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    // Owner-draw and colour requests belong to the control first; a control that handles
    // its own look answers them exactly once, and the parent never sees them.
    HWND hChild = ChildOfMessage(message, wParam, lParam, m_hWnd);
    CWnd* pChild = hChild != nullptr && hChild != m_hWnd ? FromHandlePermanent(hChild) : nullptr;
    if (pChild != nullptr && IsReflectedFirst(message) && pChild->OnChildNotify(message, wParam, lParam, pResult))
        return true;

    for (const MsgMap* pMap = GetMessageMap(); pMap != nullptr; pMap = pMap->pfnGetBaseMap != nullptr ? pMap->pfnGetBaseMap() : nullptr) {
        for (const MsgMapEntry* pEntry = pMap->lpEntries; pEntry->sig != MsgSig::End; ++pEntry) {
            if (pEntry->nMessage != message)
                continue;
            if (message == WM_COMMAND) {
                const UINT nCode = HIWORD(wParam);
                const UINT nID = LOWORD(wParam);
                if (pEntry->nCode != nCode || nID < pEntry->nID || nID > pEntry->nLastID)
                    continue;
            } else if (message == WM_NOTIFY) {
                const NMHDR* pHdr = reinterpret_cast<const NMHDR*>(lParam);
                if (pHdr == nullptr || pEntry->nCode != pHdr->code || pHdr->idFrom < pEntry->nID ||
                    pHdr->idFrom > pEntry->nLastID)
                    continue;
            }
            if (DispatchToMap(pEntry, wParam, lParam, pResult))
                return true;
        }
        if (pMap->pfnGetBaseMap == nullptr)
            break;
    }

    // Notifications the parent did not take go back to the control that sent them.
    if (pChild != nullptr && !IsReflectedFirst(message))
        return pChild->OnChildNotify(message, wParam, lParam, pResult);
    return false;
}

bool CWnd::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    const UINT reflected = WM_REFLECT_BASE + message;
    for (const MsgMap* pMap = GetMessageMap(); pMap != nullptr; pMap = pMap->pfnGetBaseMap != nullptr ? pMap->pfnGetBaseMap() : nullptr) {
        for (const MsgMapEntry* pEntry = pMap->lpEntries; pEntry->sig != MsgSig::End; ++pEntry) {
            if (pEntry->nMessage != reflected)
                continue;
            if (message == WM_COMMAND && pEntry->nCode != HIWORD(wParam))
                continue;
            if (message == WM_NOTIFY && pEntry->nCode != reinterpret_cast<const NMHDR*>(lParam)->code)
                continue;
            if (DispatchToMap(pEntry, wParam, lParam, pResult))
                return true;
        }
        if (pMap->pfnGetBaseMap == nullptr)
            break;
    }
    return false;
}

bool CWnd::DispatchToMap(const MsgMapEntry* pEntry, WPARAM wParam, LPARAM lParam, LRESULT* pResult)
{
    *pResult = 0;
    switch (pEntry->sig) {
    case MsgSig::Generic:
        *pResult = (this->*reinterpret_cast<LRESULT (CWnd::*)(WPARAM, LPARAM)>(pEntry->pfn))(wParam, lParam);
        return true;
    case MsgSig::Bool:
        *pResult = (this->*reinterpret_cast<BOOL (CWnd::*)(WPARAM, LPARAM)>(pEntry->pfn))(wParam, lParam);
        return true;
    case MsgSig::Command:
    case MsgSig::Void:
        (this->*pEntry->pfn)();
        return true;
    case MsgSig::CommandRange:
        (this->*reinterpret_cast<void (CWnd::*)(UINT)>(pEntry->pfn))(LOWORD(wParam));
        return true;
    case MsgSig::Notify:
        (this->*reinterpret_cast<void (CWnd::*)(NMHDR*, LRESULT*)>(pEntry->pfn))(reinterpret_cast<NMHDR*>(lParam), pResult);
        return true;
    case MsgSig::Timer:
        (this->*reinterpret_cast<void (CWnd::*)(UINT_PTR)>(pEntry->pfn))(static_cast<UINT_PTR>(wParam));
        return true;
    case MsgSig::CtlColor: {
        CDC dc(reinterpret_cast<HDC>(wParam));
        const UINT nCtlColor = pEntry->nMessage - WM_CTLCOLORMSGBOX;
        CWnd* pCtl = FromHandlePermanent(reinterpret_cast<HWND>(lParam));
        CWnd temp;
        if (pCtl == nullptr) {
            temp.Attach(reinterpret_cast<HWND>(lParam));
            pCtl = &temp;
        }
        HBRUSH hBrush = (this->*reinterpret_cast<HBRUSH (CWnd::*)(CDC*, CWnd*, UINT)>(pEntry->pfn))(&dc, pCtl, nCtlColor);
        temp.Detach();
        *pResult = reinterpret_cast<LRESULT>(hBrush);
        return true;
    }
    case MsgSig::CtlColorReflect: {
        CDC dc(reinterpret_cast<HDC>(wParam));
        const UINT nCtlColor = pEntry->nMessage - WM_REFLECT_BASE - WM_CTLCOLORMSGBOX;
        HBRUSH hBrush = (this->*reinterpret_cast<HBRUSH (CWnd::*)(CDC*, UINT)>(pEntry->pfn))(&dc, nCtlColor);
        // A null brush means "not mine": the parent's handling goes on.
        if (hBrush == nullptr)
            return false;
        *pResult = reinterpret_cast<LRESULT>(hBrush);
        return true;
    }
    case MsgSig::DrawItem:
        (this->*reinterpret_cast<void (CWnd::*)(int, LPDRAWITEMSTRUCT)>(pEntry->pfn))(
            static_cast<int>(wParam), reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
        *pResult = TRUE;
        return true;
    case MsgSig::DrawItemReflect:
        (this->*reinterpret_cast<void (CWnd::*)(LPDRAWITEMSTRUCT)>(pEntry->pfn))(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
        *pResult = TRUE;
        return true;
    case MsgSig::Mouse: {
        POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        (this->*reinterpret_cast<void (CWnd::*)(UINT, POINT)>(pEntry->pfn))(static_cast<UINT>(wParam), pt);
        return true;
    }
    case MsgSig::Key:
        (this->*reinterpret_cast<void (CWnd::*)(UINT, UINT, UINT)>(pEntry->pfn))(
            static_cast<UINT>(wParam), LOWORD(lParam), HIWORD(lParam));
        return true;
    case MsgSig::NcHitTest: {
        POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        *pResult = (this->*reinterpret_cast<LRESULT (CWnd::*)(POINT)>(pEntry->pfn))(pt);
        return true;
    }
    case MsgSig::EraseBkgnd: {
        CDC dc(reinterpret_cast<HDC>(wParam));
        *pResult = (this->*reinterpret_cast<BOOL (CWnd::*)(CDC*)>(pEntry->pfn))(&dc);
        return true;
    }
    case MsgSig::Size:
        (this->*reinterpret_cast<void (CWnd::*)(UINT, int, int)>(pEntry->pfn))(
            static_cast<UINT>(wParam), static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam)));
        return true;
    case MsgSig::Create:
        *pResult = (this->*reinterpret_cast<int (CWnd::*)(LPCREATESTRUCTW)>(pEntry->pfn))(reinterpret_cast<LPCREATESTRUCTW>(lParam));
        return true;
    case MsgSig::End:
        break;
    }
    return false;
}

const MsgMap* CWnd::GetThisMessageMap()
{
    static const MsgMapEntry entries[] = {{0, 0, 0, 0, MsgSig::End, nullptr}};
    static const MsgMap messageMap = {nullptr, &entries[0]};
    return &messageMap;
}

const MsgMap* CWnd::GetMessageMap() const
{
    return GetThisMessageMap();
}

bool RigPreTranslateMessage(MSG* pMsg)
{
    for (HWND hWnd = pMsg->hwnd; hWnd != nullptr; hWnd = ::GetParent(hWnd)) {
        CWnd* pWnd = CWnd::FromHandlePermanent(hWnd);
        if (pWnd != nullptr && pWnd->PreTranslateMessage(pMsg))
            return true;
        if ((::GetWindowLongPtrW(hWnd, GWL_STYLE) & WS_CHILD) == 0)
            break;
    }
    return false;
}

void RigDispatchMessage(MSG& msg)
{
    if (!RigPreTranslateMessage(&msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

bool RigPumpMessage(MSG& msg)
{
    // The system serves posted messages before keys and clicks: under a stream of posted
    // messages (a frame flood's reports) the engineer's input would wait for the stream's
    // end. Every few milliseconds input is looked for on its own, and served first.
    constexpr ULONGLONG kInputLookMs = 10;
    thread_local ULONGLONG ullInputLooked = 0;
    const ULONGLONG ullNow = ::GetTickCount64();
    if (ullNow - ullInputLooked >= kInputLookMs) {
        ullInputLooked = ullNow;
        if (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE | PM_QS_INPUT)) {
            RigDispatchMessage(msg);
            return true;
        }
    }
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1)
        return false;
    RigDispatchMessage(msg);
    return true;
}

DWORD RigWaitPumping(HANDLE hObject, DWORD dwTimeoutMs)
{
    const ULONGLONG ullDeadline = ::GetTickCount64() + dwTimeoutMs;
    for (;;) {
        DWORD dwLeft = INFINITE;
        if (dwTimeoutMs != INFINITE) {
            const ULONGLONG ullNow = ::GetTickCount64();
            dwLeft = ullNow >= ullDeadline ? 0 : static_cast<DWORD>(ullDeadline - ullNow);
        }
        const DWORD dwResult = ::MsgWaitForMultipleObjectsEx(1, &hObject, dwLeft, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (dwResult != WAIT_OBJECT_0 + 1)
            return dwResult;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                ::PostQuitMessage(static_cast<int>(msg.wParam));
                return WAIT_ABANDONED;
            }
            RigDispatchMessage(msg);
            if (::WaitForSingleObject(hObject, 0) == WAIT_OBJECT_0)
                return WAIT_OBJECT_0;
        }
    }
}
