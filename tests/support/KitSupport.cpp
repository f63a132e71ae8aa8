#include "support/KitSupport.h"

#include "framework/RichEditCtrl.h"
#include "framework/Wnd.h"

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstdio>

namespace kit {

namespace {
// The test templates hold a rich edit and common controls: their classes must exist
// before any test creates a dialog.
const bool g_bClassesReady = [] {
    INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    return LoadRichEditLibrary();
}();
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
    RECT rc{LONG_MAX, LONG_MAX, LONG_MIN, LONG_MIN};
    for (int y = area.top; y < area.bottom; ++y)
        for (int x = area.left; x < area.right; ++x)
            if (pred(At(x, y))) {
                rc.left = std::min<LONG>(rc.left, x);
                rc.top = std::min<LONG>(rc.top, y);
                rc.right = std::max<LONG>(rc.right, x + 1);
                rc.bottom = std::max<LONG>(rc.bottom, y + 1);
            }
    return rc.left == LONG_MAX ? RECT{} : rc;
}

bool Pixels::Save(const std::wstring& path) const
{
    // A plain 32-bit BMP, for looking at a failed case.
    BITMAPFILEHEADER bf{};
    BITMAPINFOHEADER bi{};
    bi.biSize = sizeof(bi);
    bi.biWidth = m_nWidth;
    bi.biHeight = -m_nHeight;
    bi.biPlanes = 1;
    bi.biBitCount = 32;
    const DWORD cbBits = static_cast<DWORD>(m_bits.size() * sizeof(DWORD));
    bf.bfType = 0x4D42;
    bf.bfOffBits = sizeof(bf) + sizeof(bi);
    bf.bfSize = bf.bfOffBits + cbBits;
    FILE* f = _wfopen(path.c_str(), L"wb");
    if (f == nullptr)
        return false;
    fwrite(&bf, sizeof(bf), 1, f);
    fwrite(&bi, sizeof(bi), 1, f);
    for (DWORD px : m_bits) {
        const DWORD opaque = px | 0xFF000000u;
        fwrite(&opaque, sizeof(opaque), 1, f);
    }
    fclose(f);
    return true;
}

namespace {
Pixels CopyFrom(HDC hSource, int x, int y, int nWidth, int nHeight, COLORREF crFill,
                const std::function<void(HDC)>* pDraw)
{
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = nWidth;
    bmi.bmiHeader.biHeight = -nHeight;
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* pBits = nullptr;
    HDC hScreen = GetDC(nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    HBITMAP hBitmap = CreateDIBSection(hScreen, &bmi, DIB_RGB_COLORS, &pBits, nullptr, 0);
    HGDIOBJ hOld = SelectObject(hMem, hBitmap);
    RECT rc{0, 0, nWidth, nHeight};
    HBRUSH hFill = CreateSolidBrush(crFill);
    FillRect(hMem, &rc, hFill);
    DeleteObject(hFill);
    if (pDraw != nullptr)
        (*pDraw)(hMem);
    else
        BitBlt(hMem, 0, 0, nWidth, nHeight, hSource, x, y, SRCCOPY);
    GdiFlush();
    std::vector<DWORD> bits(static_cast<const DWORD*>(pBits), static_cast<const DWORD*>(pBits) + nWidth * nHeight);
    SelectObject(hMem, hOld);
    DeleteObject(hBitmap);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    return Pixels(nWidth, nHeight, std::move(bits));
}
} // namespace

Pixels CaptureClient(HWND hWnd)
{
    Settle(hWnd);
    RECT rc;
    GetClientRect(hWnd, &rc);
    HDC hDC = GetDC(hWnd);
    Pixels pixels = CopyFrom(hDC, 0, 0, rc.right, rc.bottom, RGB(1, 2, 3), nullptr);
    ReleaseDC(hWnd, hDC);
    return pixels;
}

Pixels Render(int nWidth, int nHeight, COLORREF crFill, const std::function<void(HDC)>& draw)
{
    return CopyFrom(nullptr, 0, 0, nWidth, nHeight, crFill, &draw);
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
        if (cond())
            return true;
        if (GetTickCount64() >= deadline)
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
    HWND hTop = GetAncestor(hWnd, GA_ROOT);
    RedrawWindow(hTop != nullptr ? hTop : hWnd, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
    PumpFor(30);
}

namespace {
void Send(INPUT& input)
{
    SendInput(1, &input, sizeof(INPUT));
}
} // namespace

void MoveMouse(HWND hWnd, POINT ptClient)
{
    POINT pt = ptClient;
    ClientToScreen(hWnd, &pt);
    SetCursorPos(pt.x, pt.y);
    // A relative move of nothing still reaches the window as WM_MOUSEMOVE.
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = MOUSEEVENTF_MOVE;
    Send(input);
    PumpFor(50);
}

void MouseButton(bool bDown)
{
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dwFlags = bDown ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    Send(input);
    PumpFor(50);
}

void ClickAt(HWND hWnd, POINT ptClient)
{
    MoveMouse(hWnd, ptClient);
    MouseButton(true);
    MouseButton(false);
}

void KeyDown(WORD vk)
{
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    Send(input);
    PumpFor(40);
}

void KeyUp(WORD vk)
{
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = vk;
    input.ki.dwFlags = KEYEVENTF_KEYUP;
    Send(input);
    PumpFor(40);
}

void TapKey(WORD vk)
{
    KeyDown(vk);
    KeyUp(vk);
}

void QueueKeyTaps(const std::vector<WORD>& keys)
{
    std::vector<INPUT> inputs;
    for (WORD vk : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = vk;
        inputs.push_back(input);
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

bool BringToFront(HWND hWnd)
{
    ShowWindow(hWnd, SW_SHOW);
    SetForegroundWindow(hWnd);
    SetActiveWindow(hWnd);
    return Pump([hWnd] { return GetForegroundWindow() == hWnd; }, 3000);
}

HICON MakeSquareIcon(int nSize, COLORREF cr)
{
    HDC hScreen = GetDC(nullptr);
    HBITMAP hColor = CreateCompatibleBitmap(hScreen, nSize, nSize);
    HBITMAP hMask = CreateBitmap(nSize, nSize, 1, 1, nullptr);
    HDC hMem = CreateCompatibleDC(hScreen);
    RECT rc{0, 0, nSize, nSize};
    HGDIOBJ hOld = SelectObject(hMem, hColor);
    HBRUSH hBrush = CreateSolidBrush(cr);
    FillRect(hMem, &rc, hBrush);
    DeleteObject(hBrush);
    SelectObject(hMem, hMask);
    FillRect(hMem, &rc, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    SelectObject(hMem, hOld);
    DeleteDC(hMem);
    ReleaseDC(nullptr, hScreen);
    ICONINFO info{TRUE, 0, 0, hMask, hColor};
    HICON hIcon = CreateIconIndirect(&info);
    DeleteObject(hColor);
    DeleteObject(hMask);
    return hIcon;
}

POINT CenterOf(HWND hWnd)
{
    RECT rc;
    GetClientRect(hWnd, &rc);
    return POINT{rc.right / 2, rc.bottom / 2};
}

} // namespace kit
