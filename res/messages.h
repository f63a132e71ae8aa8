// The program's own window messages, all in one place. The link manager's notifications
// (WM_SERIAL_*) and the page activation keep the values the capture software's windows
// know; the rest are private to this program.
#pragma once

#include <windows.h>

// Posted by the tab strip to each page it shows.
#define WM_TABPAGE_ACTIVATE 3127

// From the link manager to the window that sent a command (EPM: its answer or its
// time-out) or to the link's owner window (SLP, SMP: frames the unit sent by itself).
// wParam is a heap copy of the frame text that the receiving window frees with
// FreeNotifyText; lParam is a receive kind.
#define WM_SERIAL_EPM 3129
#define WM_SERIAL_SLP 3130
#define WM_SERIAL_SMP 3131

// The link's inbox has something for the console (posted once until the console takes it).
#define WM_COMM_INBOX (WM_APP + 101)

// A page asks the main window to show the communication console.
#define WM_PAGE_SHOWCONSOLE (WM_APP + 110)

// The console tells its owner that "Time" was switched (wParam 1 on, 0 off), to be kept.
#define WM_CONSOLE_TIME (WM_APP + 111)

// The console tells its owner that "Reconnect" was switched (wParam 1 on, 0 off), to be kept.
#define WM_CONSOLE_RECONNECT (WM_APP + 112)

// A link being opened again off the user-interface thread has its result (to the console).
#define WM_COMM_OPENED (WM_APP + 113)

// A service procedure's run ended (to the link's owner window): wParam 0 when every step
// passed, 1 when not.
#define WM_PROCEDURE_ENDED (WM_APP + 114)

// A find through the console's session has ended (posted by the find's thread to the
// console; the result is taken from the find).
#define WM_CONSOLE_FOUND (WM_APP + 115)
