#include "controls/Dpi.h"

namespace kit {

namespace {
using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using GetSystemMetricsForDpiFn = int(WINAPI*)(int, UINT);

// Looked up once each: older systems lack them, and the program still runs there.
template <class Fn>
Fn User32Entry(const char* lpName)
{
    HMODULE hUser = ::GetModuleHandleW(L"user32.dll");
    return hUser != nullptr ? reinterpret_cast<Fn>(::GetProcAddress(hUser, lpName)) : nullptr;
}

GetDpiForWindowFn GetDpiForWindowEntry()
{
    static const GetDpiForWindowFn pfn = User32Entry<GetDpiForWindowFn>("GetDpiForWindow");
    return pfn;
}

GetSystemMetricsForDpiFn GetSystemMetricsForDpiEntry()
{
    static const GetSystemMetricsForDpiFn pfn = User32Entry<GetSystemMetricsForDpiFn>("GetSystemMetricsForDpi");
    return pfn;
}

constexpr UINT kPointDpi = 720;
} // namespace

UINT DpiOf(HWND hWnd)
{
    if (GetDpiForWindowFn pfn = GetDpiForWindowEntry(); pfn != nullptr && hWnd != nullptr) {
        const UINT nDpi = pfn(hWnd);
        if (nDpi != 0)
            return nDpi;
    }
    HDC hDC = ::GetDC(hWnd);
    const int nDpi = hDC != nullptr ? ::GetDeviceCaps(hDC, LOGPIXELSX) : 0;
    if (hDC != nullptr)
        ::ReleaseDC(hWnd, hDC);
    return nDpi > 0 ? static_cast<UINT>(nDpi) : kDefaultDpi;
}

int SystemMetricAt(int nIndex, UINT nDpi)
{
    if (GetSystemMetricsForDpiFn pfn = GetSystemMetricsForDpiEntry(); pfn != nullptr)
        return pfn(nIndex, nDpi);
    // The system's metrics are those of the screen's DPI.
    return ::MulDiv(::GetSystemMetrics(nIndex), static_cast<int>(nDpi), static_cast<int>(DpiOf(nullptr)));
}

HICON LoadIconAt(UINT nIDResource, int nAt96, UINT nDpi)
{
    const int nSize = Scale(nAt96, nDpi);
    return static_cast<HICON>(
        ::LoadImageW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(nIDResource), IMAGE_ICON, nSize, nSize, 0));
}

void CDpiFont::SetPointFont(int nPointSize, const wchar_t* lpFaceName, LONG lWeight)
{
    LOGFONTW lf{};
    lf.lfHeight = -nPointSize;
    lf.lfWeight = lWeight;
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(lf.lfFaceName, lpFaceName, LF_FACESIZE);
    SetLogFont(lf, kPointDpi);
}

void CDpiFont::SetLogFont(const LOGFONTW& lf, UINT nDpi)
{
    m_lf = lf;
    m_nBaseDpi = nDpi;
    m_font.DeleteObject();
}

LOGFONTW CDpiFont::LogFontAt(UINT nDpi) const
{
    LOGFONTW lf = m_lf;
    if (m_nBaseDpi != 0 && m_nBaseDpi != nDpi) {
        lf.lfHeight = ::MulDiv(lf.lfHeight, static_cast<int>(nDpi), static_cast<int>(m_nBaseDpi));
        lf.lfWidth = ::MulDiv(lf.lfWidth, static_cast<int>(nDpi), static_cast<int>(m_nBaseDpi));
    }
    return lf;
}

HFONT CDpiFont::Get(UINT nDpi)
{
    if (m_nBaseDpi == 0)
        return nullptr;
    if (m_font.IsNull() || m_nFontDpi != nDpi) {
        const LOGFONTW lf = LogFontAt(nDpi);
        m_font.CreateFontIndirect(&lf);
        m_nFontDpi = nDpi;
    }
    return m_font;
}

} // namespace kit
