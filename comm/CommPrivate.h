// Messages the link manager sends or posts to its own console window.
#pragma once

#include <windows.h>

// Console lines from worker threads are waiting.
#define WM_COMM_LOGLINES (WM_APP + 101)
// A worker marked the link closed: release the port or socket.
#define WM_COMM_REAP (WM_APP + 102)
// An error box to show: lParam a notify text copy.
#define WM_COMM_SHOWERROR (WM_APP + 103)
// The queue changed: bring the console's queue list up to date.
#define WM_COMM_SYNCQUEUE (WM_APP + 104)
