// A message-only window whose messages go to one handler: a part that is no dialog (the link
// manager, the opener) gets its posted wake-ups and its timers on the thread that created it.
// Created and destroyed on that thread; the handler never runs after the destructor began.
#pragma once

#include <windows.h>

#include <functional>

class CMessageWindow {
public:
    // True when it handled the message (the window answers 0); the rest go to the system.
    using Handler = std::function<bool(UINT message, WPARAM wParam, LPARAM lParam)>;

    explicit CMessageWindow(Handler handler);
    ~CMessageWindow();
    CMessageWindow(const CMessageWindow&) = delete;
    CMessageWindow& operator=(const CMessageWindow&) = delete;

    // Null when the window could not be made (then nothing is ever delivered).
    HWND Handle() const { return m_hWnd; }

private:
    static LRESULT CALLBACK WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    Handler m_handler;
    HWND m_hWnd = nullptr;
};
