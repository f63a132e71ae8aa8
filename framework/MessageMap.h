// Per-class message tables: a static array of entries searched in order, the first match
// wins, and each table chains to its base class's table. Handlers have a few typed
// signatures, so they never cast WPARAM and LPARAM themselves.
#pragma once

#include <windows.h>

class CWnd;
class CDC;

// Reflected messages: a parent hands WM_COMMAND, WM_NOTIFY, WM_CTLCOLOR* and the owner-draw
// messages back to the child they came from, under the message number plus this base.
#define WM_REFLECT_BASE 0xBC00

// How an entry's handler is called.
enum class MsgSig : unsigned char {
    End,
    Generic,  // LRESULT (WPARAM, LPARAM)
    Command,  // void ()                       WM_COMMAND with a notification code and id range
    CommandRange, // void (UINT nID)
    Notify,   // void (NMHDR*, LRESULT*)       WM_NOTIFY with a code and id range
    Void,     // void ()                       any message, result 0
    Timer,    // void (UINT_PTR nIDEvent)
    CtlColor, // HBRUSH (CDC*, CWnd*, UINT nCtlColor)
    CtlColorReflect, // HBRUSH (CDC*, UINT nCtlColor)
    DrawItem, // void (int nIDCtl, LPDRAWITEMSTRUCT)
    DrawItemReflect, // void (LPDRAWITEMSTRUCT)
    Mouse,    // void (UINT nFlags, POINT pt)
    Key,      // void (UINT nChar, UINT nRepCnt, UINT nFlags)
    Bool,     // BOOL (WPARAM, LPARAM)          result is the BOOL
    NcHitTest,  // LRESULT (POINT ptScreen)
    EraseBkgnd, // BOOL (CDC*)
    Size,       // void (UINT nType, int cx, int cy)
    Create,     // int (LPCREATESTRUCTW)            -1 fails the creation
};

using PMSG_HANDLER = void (CWnd::*)();

struct MsgMapEntry {
    UINT nMessage;
    UINT nCode;
    UINT nID;
    UINT nLastID;
    MsgSig sig;
    PMSG_HANDLER pfn;
};

struct MsgMap {
    const MsgMap* (*pfnGetBaseMap)();
    const MsgMapEntry* lpEntries;
};

#define DECLARE_MESSAGE_MAP()                                                                      \
protected:                                                                                         \
    static const MsgMap* GetThisMessageMap();                                                      \
    const MsgMap* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                                                     \
    const MsgMap* theClass::GetMessageMap() const { return GetThisMessageMap(); }                  \
    const MsgMap* theClass::GetThisMessageMap()                                                    \
    {                                                                                              \
        using ThisClass = theClass;                                                                \
        using TheBaseClass = baseClass;                                                            \
        static const MsgMapEntry entries[] = {

#define END_MESSAGE_MAP()                                                                          \
    { 0, 0, 0, 0, MsgSig::End, nullptr }                                                           \
    };                                                                                             \
    static const MsgMap messageMap = { &TheBaseClass::GetThisMessageMap, &entries[0] };            \
    return &messageMap;                                                                            \
    }

// Casts a handler of a derived class to the generic member pointer the table stores. The
// dispatcher casts it back to the exact signature named by the entry's MsgSig.
#define RIG_MSG_PFN(sigType, pfn) reinterpret_cast<PMSG_HANDLER>(static_cast<sigType>(pfn))

#define ON_MESSAGE(message, memberFxn)                                                             \
    { static_cast<UINT>(message), 0, 0, 0, MsgSig::Generic,                                        \
      RIG_MSG_PFN(LRESULT (CWnd::*)(WPARAM, LPARAM), static_cast<LRESULT (ThisClass::*)(WPARAM, LPARAM)>(&memberFxn)) },
#define ON_MESSAGE_VOID(message, memberFxn)                                                        \
    { static_cast<UINT>(message), 0, 0, 0, MsgSig::Void,                                           \
      RIG_MSG_PFN(void (CWnd::*)(), static_cast<void (ThisClass::*)()>(&memberFxn)) },
#define ON_CONTROL(code, id, memberFxn)                                                            \
    { WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(id), MsgSig::Command, \
      RIG_MSG_PFN(void (CWnd::*)(), static_cast<void (ThisClass::*)()>(&memberFxn)) },
#define ON_CONTROL_RANGE(code, idFirst, idLast, memberFxn)                                         \
    { WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(idFirst), static_cast<UINT>(idLast),  \
      MsgSig::CommandRange,                                                                        \
      RIG_MSG_PFN(void (CWnd::*)(UINT), static_cast<void (ThisClass::*)(UINT)>(&memberFxn)) },
#define ON_COMMAND(id, memberFxn) ON_CONTROL(0, id, memberFxn)
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)
#define ON_CBN_EDITCHANGE(id, memberFxn) ON_CONTROL(CBN_EDITCHANGE, id, memberFxn)
#define ON_CBN_DROPDOWN(id, memberFxn) ON_CONTROL(CBN_DROPDOWN, id, memberFxn)
#define ON_EN_CHANGE(id, memberFxn) ON_CONTROL(EN_CHANGE, id, memberFxn)
#define ON_NOTIFY(code, id, memberFxn)                                                             \
    { WM_NOTIFY, static_cast<UINT>(code), static_cast<UINT>(id), static_cast<UINT>(id), MsgSig::Notify, \
      RIG_MSG_PFN(void (CWnd::*)(NMHDR*, LRESULT*), static_cast<void (ThisClass::*)(NMHDR*, LRESULT*)>(&memberFxn)) },
#define ON_WM_TIMER()                                                                              \
    { WM_TIMER, 0, 0, 0, MsgSig::Timer,                                                            \
      RIG_MSG_PFN(void (CWnd::*)(UINT_PTR), static_cast<void (ThisClass::*)(UINT_PTR)>(&ThisClass::OnTimer)) },
#define ON_WM_PAINT()                                                                              \
    { WM_PAINT, 0, 0, 0, MsgSig::Void,                                                             \
      RIG_MSG_PFN(void (CWnd::*)(), static_cast<void (ThisClass::*)()>(&ThisClass::OnPaint)) },
#define ON_WM_CTLCOLOR()                                                                           \
    { WM_CTLCOLORSTATIC, 0, 0, 0, MsgSig::CtlColor,                                                \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, CWnd*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, CWnd*, UINT)>(&ThisClass::OnCtlColor)) }, \
    { WM_CTLCOLOREDIT, 0, 0, 0, MsgSig::CtlColor,                                                  \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, CWnd*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, CWnd*, UINT)>(&ThisClass::OnCtlColor)) }, \
    { WM_CTLCOLORBTN, 0, 0, 0, MsgSig::CtlColor,                                                   \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, CWnd*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, CWnd*, UINT)>(&ThisClass::OnCtlColor)) }, \
    { WM_CTLCOLORDLG, 0, 0, 0, MsgSig::CtlColor,                                                   \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, CWnd*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, CWnd*, UINT)>(&ThisClass::OnCtlColor)) }, \
    { WM_CTLCOLORLISTBOX, 0, 0, 0, MsgSig::CtlColor,                                               \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, CWnd*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, CWnd*, UINT)>(&ThisClass::OnCtlColor)) },
#define ON_WM_CTLCOLOR_REFLECT()                                                                   \
    { WM_REFLECT_BASE + WM_CTLCOLORSTATIC, 0, 0, 0, MsgSig::CtlColorReflect,                       \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, UINT)>(&ThisClass::CtlColor)) }, \
    { WM_REFLECT_BASE + WM_CTLCOLOREDIT, 0, 0, 0, MsgSig::CtlColorReflect,                         \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, UINT)>(&ThisClass::CtlColor)) }, \
    { WM_REFLECT_BASE + WM_CTLCOLORBTN, 0, 0, 0, MsgSig::CtlColorReflect,                          \
      RIG_MSG_PFN(HBRUSH (CWnd::*)(CDC*, UINT), static_cast<HBRUSH (ThisClass::*)(CDC*, UINT)>(&ThisClass::CtlColor)) },
#define ON_WM_DRAWITEM()                                                                           \
    { WM_DRAWITEM, 0, 0, 0, MsgSig::DrawItem,                                                      \
      RIG_MSG_PFN(void (CWnd::*)(int, LPDRAWITEMSTRUCT), static_cast<void (ThisClass::*)(int, LPDRAWITEMSTRUCT)>(&ThisClass::OnDrawItem)) },
#define ON_WM_DRAWITEM_REFLECT()                                                                   \
    { WM_REFLECT_BASE + WM_DRAWITEM, 0, 0, 0, MsgSig::DrawItemReflect,                             \
      RIG_MSG_PFN(void (CWnd::*)(LPDRAWITEMSTRUCT), static_cast<void (ThisClass::*)(LPDRAWITEMSTRUCT)>(&ThisClass::DrawItem)) },
#define ON_CONTROL_REFLECT(code, memberFxn)                                                        \
    { WM_REFLECT_BASE + WM_COMMAND, static_cast<UINT>(code), 0, 0xFFFF, MsgSig::Command,           \
      RIG_MSG_PFN(void (CWnd::*)(), static_cast<void (ThisClass::*)()>(&memberFxn)) },
#define ON_NOTIFY_REFLECT(code, memberFxn)                                                         \
    { WM_REFLECT_BASE + WM_NOTIFY, static_cast<UINT>(code), 0, 0xFFFF, MsgSig::Notify,             \
      RIG_MSG_PFN(void (CWnd::*)(NMHDR*, LRESULT*), static_cast<void (ThisClass::*)(NMHDR*, LRESULT*)>(&memberFxn)) },
#define ON_MOUSE_MESSAGE(message, memberFxn)                                                       \
    { static_cast<UINT>(message), 0, 0, 0, MsgSig::Mouse,                                          \
      RIG_MSG_PFN(void (CWnd::*)(UINT, POINT), static_cast<void (ThisClass::*)(UINT, POINT)>(&memberFxn)) },
#define ON_KEY_MESSAGE(message, memberFxn)                                                         \
    { static_cast<UINT>(message), 0, 0, 0, MsgSig::Key,                                            \
      RIG_MSG_PFN(void (CWnd::*)(UINT, UINT, UINT), static_cast<void (ThisClass::*)(UINT, UINT, UINT)>(&memberFxn)) },

// Typed entries for the common window messages; each names the handler the class must have.
#define ON_WM_NCHITTEST()                                                                          \
    { WM_NCHITTEST, 0, 0, 0, MsgSig::NcHitTest,                                                    \
      RIG_MSG_PFN(LRESULT (CWnd::*)(POINT), static_cast<LRESULT (ThisClass::*)(POINT)>(&ThisClass::OnNcHitTest)) },
#define ON_WM_ERASEBKGND()                                                                         \
    { WM_ERASEBKGND, 0, 0, 0, MsgSig::EraseBkgnd,                                                  \
      RIG_MSG_PFN(BOOL (CWnd::*)(CDC*), static_cast<BOOL (ThisClass::*)(CDC*)>(&ThisClass::OnEraseBkgnd)) },
#define ON_WM_SIZE()                                                                               \
    { WM_SIZE, 0, 0, 0, MsgSig::Size,                                                              \
      RIG_MSG_PFN(void (CWnd::*)(UINT, int, int), static_cast<void (ThisClass::*)(UINT, int, int)>(&ThisClass::OnSize)) },
#define ON_WM_CREATE()                                                                             \
    { WM_CREATE, 0, 0, 0, MsgSig::Create,                                                          \
      RIG_MSG_PFN(int (CWnd::*)(LPCREATESTRUCTW), static_cast<int (ThisClass::*)(LPCREATESTRUCTW)>(&ThisClass::OnCreate)) },
#define ON_WM_NCPAINT() ON_MESSAGE_VOID(WM_NCPAINT, ThisClass::OnNcPaint)
#define ON_WM_SYSCOLORCHANGE() ON_MESSAGE_VOID(WM_SYSCOLORCHANGE, ThisClass::OnSysColorChange)
#define ON_WM_MOUSEMOVE() ON_MOUSE_MESSAGE(WM_MOUSEMOVE, ThisClass::OnMouseMove)
#define ON_WM_LBUTTONDOWN() ON_MOUSE_MESSAGE(WM_LBUTTONDOWN, ThisClass::OnLButtonDown)
#define ON_WM_LBUTTONUP() ON_MOUSE_MESSAGE(WM_LBUTTONUP, ThisClass::OnLButtonUp)
#define ON_WM_LBUTTONDBLCLK() ON_MOUSE_MESSAGE(WM_LBUTTONDBLCLK, ThisClass::OnLButtonDblClk)
#define ON_WM_RBUTTONDOWN() ON_MOUSE_MESSAGE(WM_RBUTTONDOWN, ThisClass::OnRButtonDown)
#define ON_EN_SETFOCUS(id, memberFxn) ON_CONTROL(EN_SETFOCUS, id, memberFxn)
#define ON_EN_KILLFOCUS(id, memberFxn) ON_CONTROL(EN_KILLFOCUS, id, memberFxn)
