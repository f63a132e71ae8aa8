// Notification messages from the link manager's threads to windows of the user-interface
// thread (values in messages.h). wParam is a heap copy of a frame text that the receiving
// window owns and frees with FreeNotifyText; lParam is a receive kind.
#pragma once

#include "messages.h"

#include <windows.h>

// A heap copy of lpText for one notification.
wchar_t* MakeNotifyText(const wchar_t* lpText);
// Frees the copy a notification carried in wParam.
void FreeNotifyText(WPARAM wParam);
// Posts a notification with a copy of lpText; the copy is freed here when the message
// cannot be posted (no window, a window that is gone, a full queue). False in that case.
bool PostNotify(HWND hWnd, UINT message, const wchar_t* lpText, int nKind);
// Copies made and not yet freed, for leak checks.
long NotifyTextsOutstanding();
