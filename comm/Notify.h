// Notification messages from the link manager's threads to windows of the user-interface
// thread. wParam is a heap copy of a frame text that the receiving window owns and frees
// with FreeNotifyText; lParam is a receive kind.
#pragma once

#include <windows.h>

#define WM_TABPAGE_ACTIVATE 3127
#define WM_SERIAL_EPM 3129
#define WM_SERIAL_SLP 3130
#define WM_SERIAL_SMP 3131

// A heap copy of lpText for one notification.
wchar_t* MakeNotifyText(const wchar_t* lpText);
// Frees the copy a notification carried in wParam.
void FreeNotifyText(WPARAM wParam);
// Posts a notification with a copy of lpText; the copy is freed here when the message
// cannot be posted (no window, queue full). False in that case.
bool PostNotify(HWND hWnd, UINT message, const wchar_t* lpText, int nKind);
// Copies made and not yet freed, for leak checks.
long NotifyTextsOutstanding();
