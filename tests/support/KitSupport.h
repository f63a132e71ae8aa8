// Helpers of the control kit's tests: reading back the pixels a window or a drawing call
// produced, serving messages the way the program's loops do (PreTranslateMessage chain
// first), and real keyboard and mouse input through the system's input queue.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

namespace kit {

// A 32-bit top-down copy of pixels.
class Pixels {
public:
    Pixels() = default;
    Pixels(int nWidth, int nHeight, std::vector<DWORD> bits) : m_nWidth(nWidth), m_nHeight(nHeight), m_bits(std::move(bits)) {}
    int Width() const { return m_nWidth; }
    int Height() const { return m_nHeight; }
    COLORREF At(int x, int y) const;
    // Number of pixels of the colour inside [x1,x2) x [y1,y2).
    int Count(COLORREF cr, int x1, int y1, int x2, int y2) const;
    // Smallest rectangle holding every pixel inside area for which pred holds (empty if none).
    RECT Bounds(const std::function<bool(COLORREF)>& pred, const RECT& area) const;

private:
    int m_nWidth = 0;
    int m_nHeight = 0;
    std::vector<DWORD> m_bits;
};

// The client area of a window as it is on the screen now (after serving its paints).
Pixels CaptureClient(HWND hWnd);
// Whatever draw() puts into a fresh memory DC (a DIB section first filled with crFill).
Pixels Render(int nWidth, int nHeight, COLORREF crFill, const std::function<void(HDC)>& draw);

// Serves messages like the program's loops (RigPreTranslateMessage, then dispatch) until
// cond() holds or the time is up.
bool Pump(const std::function<bool()>& cond, DWORD dwTimeoutMs = 5000);
void PumpFor(DWORD dwMs);
// Serves the messages waiting now, paints included.
void Settle(HWND hWnd);

// Real input through the system's queue.
void MoveMouse(HWND hWnd, POINT ptClient);
void MouseButton(bool bDown);
void ClickAt(HWND hWnd, POINT ptClient);
// Two presses in one batch where the mouse is: the system makes the second a double click.
void DoubleClick();
void Key(WORD vk, bool bDown);
void TapKey(WORD vk);
// Queues key taps without serving any message (for input meant for another loop).
void QueueKeyTaps(const std::vector<WORD>& keys);
// Puts a top-level window in front with the keyboard focus; true when it got there.
bool BringToFront(HWND hWnd);

// A solid square icon of the colour (caller destroys it).
HICON MakeSquareIcon(int nSize, COLORREF cr);

// The center of a child window in its own client coordinates.
POINT CenterOf(HWND hWnd);

} // namespace kit
