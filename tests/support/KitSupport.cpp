#include "support/KitSupport.h"

#include "framework/RichEditCtrl.h"
#include "framework/Wnd.h"

#include <commctrl.h>

#include <algorithm>

namespace kit {

namespace {
// The test templates hold a rich edit and common controls: their classes must exist
// before any test creates a dialog.
const bool g_bClassesReady = [] {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    return LoadRichEditLibrary();
}();

void SendInputs(std::vector<INPUT> inputs, bool bServe = true)
{
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (bServe)
        PumpFor(50);
}

INPUT KeyInput(WORD vk, bool bDown)
{
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = bDown ? 0 : KEYEVENTF_KEYUP;
    return input;
}

INPUT MouseInput(DWORD dwFlags)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = dwFlags;
    return input;
}
} // namespace

COLORREF Pixels::At(int x, int y) const
{
    if (x < 0 || y < 0 || x >= m_nWidth || y >= m_nHeight)
        return CLR_INVALID;
    const DWORD px = m_bits[static_cast<size_t>(y) * m_nWidth + x];
    return RGB((px >> 16) & 0xFF, (px >> 8) & 0xFF, px & 0xFF);
}

int Pixels::Count(COLORREF cr, int x1, int y1, int x2, int y2) const
{
    int n = 0;
    for (int y = y1; y < y2; ++y)
        for (int x = x1; x < x2; ++x)
            n += At(x, y) == cr ? 1 : 0;
    return n;
}

RECT Pixels::Bounds(const std::function<bool(COLORREF)>& pred, const RECT& area) const
{
    RECT rc{area.right, area.bottom, area.left, area.top};
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (pred(At(x, y)))
                rc = RECT{std::min<LONG>(rc.left, x), std::min<LONG>(rc.top, y), std::max<LONG>(rc.right, x + 1),
                          std::max<LONG>(rc.bottom, y + 1)};
    return rc.left < rc.right ? rc : RECT{};
}

Pixels Render(int nWidth, int nHeight, COLORREF crFill, const std::function<void(HDC)>& draw)
{
    BITMAPINFO bmi{};
    bmi.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), nWidth, -nHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* pBits = nullptr;
    HDC hMem = CreateCompatibleDC(nullptr);
    HBITMAP hBitmap = CreateDIBSection(hMem, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    const RECT rc{0, 0, nWidth, nHeight};
    HBRUSH hFill = CreateSolidBrush(crFill);
    FillRect(hMem, &rc, hFill);
    DeleteObject(hFill);
    draw(hMem);
    GdiFlush();
    const DWORD* pFirst = static_cast<const DWORD*>(pBits);
    Pixels pixels(nWidth, nHeight, std::vector<DWORD>(pFirst, pFirst + nWidth * nHeight));
    SelectObject(hMem, hOld);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    return pixels;
}

Pixels CaptureClient(HWND hWnd)
{
    Settle(hWnd);
    RECT rc;
    GetClientRect(hWnd, &rc);
    HDC hDC = GetDC(hWnd);
    Pixels pixels = Render(rc.right, rc.bottom, RGB(1, 2, 3),
                           [&](HDC hMem) { BitBlt(hMem, 0, 0, rc.right, rc.bottom, hDC, 0, 0, SRCCOPY); });
    ReleaseDC(hWnd, hDC);
    return pixels;
}

bool Pump(const std::function<bool()>& cond, DWORD dwTimeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (!RigPreTranslateMessage(&msg)) {
                TranslateMessage(&msg);
                DispatchMessageW(&msg);
            }
        }
        if (cond() || GetTickCount64() >= deadline)
            return cond();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(DWORD dwMs)
{
    Pump([] { return false; }, dwMs);
}

void Settle(HWND hWnd)
{
    PumpFor(30);
    RedrawWindow(GetAncestor(hWnd, GA_ROOT), nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpFor(30);
}

void MoveMouse(HWND hWnd, POINT ptClient)
{
    ClientToScreen(hWnd, &ptClient);
    SetCursorPos(ptClient.x, ptClient.y);
    // A relative move of nothing still reaches the window as WM_MOUSEMOVE.
    SendInputs({MouseInput(MOUSEEVENTF_MOVE)});
}

void MouseButton(bool bDown)
{
    SendInputs({MouseInput(bDown ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP)});
}

void ClickAt(HWND hWnd, POINT ptClient)
{
    MoveMouse(hWnd, ptClient);
    SendInputs({MouseInput(MOUSEEVENTF_LEFTDOWN), MouseInput(MOUSEEVENTF_LEFTUP)});
}

void DoubleClick()
{
    SendInputs({MouseInput(MOUSEEVENTF_LEFTDOWN), MouseInput(MOUSEEVENTF_LEFTUP), MouseInput(MOUSEEVENTF_LEFTDOWN),
                MouseInput(MOUSEEVENTF_LEFTUP)});
}

void Key(WORD vk, bool bDown)
{
    SendInputs({KeyInput(vk, bDown)});
}

void TapKey(WORD vk)
{
    SendInputs({KeyInput(vk, true), KeyInput(vk, false)});
}

void QueueKeyTaps(const std::vector<WORD>& keys)
{
    std::vector<INPUT> inputs;
    for (WORD vk : keys) {
        inputs.push_back(KeyInput(vk, true));
        inputs.push_back(KeyInput(vk, false));
    }
    SendInputs(inputs, false);
}

bool BringToFront(HWND hWnd)
{
    SetForegroundWindow(hWnd);
    return Pump([hWnd] { return GetForegroundWindow() == hWnd; }, 3000);
}

POINT CenterOf(HWND hWnd)
{
    RECT rc;
    GetClientRect(hWnd, &rc);
    return POINT{rc.right / 2, rc.bottom / 2};
}

HICON MakeSquareIcon(int nSize, COLORREF cr)
{
    // 32-bit colour rows (blue, green, red, unused) and an all-opaque mask.
    std::vector<DWORD> colour(static_cast<size_t>(nSize) * nSize, (GetRValue(cr) << 16) | (GetGValue(cr) << 8) | GetBValue(cr));
    std::vector<BYTE> mask(static_cast<size_t>((nSize + 15) / 16 * 2) * nSize, 0);
    return CreateIcon(nullptr, nSize, nSize, 1, 32, mask.data(), reinterpret_cast<const BYTE*>(colour.data()));
}

} // namespace kit
