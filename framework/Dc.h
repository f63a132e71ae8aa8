// Device contexts. CDC borrows an HDC (or owns a memory DC it created); CPaintDC and
// CClientDC are scoped: they save the DC's state when they get it and restore it before they
// hand it back, so no object of ours is still selected when its owner deletes it.
#pragma once

#include "framework/Gdi.h"

#include <windows.h>

#include <string>

class CWnd;

class CDC {
public:
    CDC() = default;
    explicit CDC(HDC hDC) : m_hDC(hDC) {}
    CDC(const CDC&) = delete;
    CDC& operator=(const CDC&) = delete;
    virtual ~CDC();

    HDC m_hDC = nullptr;
    // Set by whoever hands out a printer DC: drawing helpers then draw straight to it.
    BOOL m_bPrinting = FALSE;
    operator HDC() const { return m_hDC; }
    BOOL IsPrinting() const { return m_bPrinting; }
    HDC GetSafeHdc() const { return m_hDC; }

    // A memory DC compatible with pDC (or the screen); owned and deleted by this object.
    bool CreateCompatibleDC(CDC* pDC);

    int SaveDC() { return ::SaveDC(m_hDC); }
    bool RestoreDC(int nSavedDC) { return ::RestoreDC(m_hDC, nSavedDC) != FALSE; }

    HGDIOBJ SelectObject(HGDIOBJ hObject) { return ::SelectObject(m_hDC, hObject); }
    HGDIOBJ SelectStockObject(int nIndex) { return ::SelectObject(m_hDC, ::GetStockObject(nIndex)); }

    COLORREF SetTextColor(COLORREF crColor) { return ::SetTextColor(m_hDC, crColor); }
    COLORREF SetBkColor(COLORREF crColor) { return ::SetBkColor(m_hDC, crColor); }
    int SetBkMode(int nMode) { return ::SetBkMode(m_hDC, nMode); }
    COLORREF GetTextColor() const { return ::GetTextColor(m_hDC); }
    COLORREF GetBkColor() const { return ::GetBkColor(m_hDC); }
    int GetBkMode() const { return ::GetBkMode(m_hDC); }
    HGDIOBJ GetCurrentObject(UINT nObjectType) const { return ::GetCurrentObject(m_hDC, nObjectType); }

    // Mapping: mode, window and viewport origins.
    int GetMapMode() const { return ::GetMapMode(m_hDC); }
    int SetMapMode(int nMapMode) { return ::SetMapMode(m_hDC, nMapMode); }
    POINT SetWindowOrg(int x, int y)
    {
        POINT old{};
        ::SetWindowOrgEx(m_hDC, x, y, &old);
        return old;
    }
    POINT GetWindowOrg() const
    {
        POINT pt{};
        ::GetWindowOrgEx(m_hDC, &pt);
        return pt;
    }
    POINT SetViewportOrg(int x, int y)
    {
        POINT old{};
        ::SetViewportOrgEx(m_hDC, x, y, &old);
        return old;
    }

    void FillSolidRect(const RECT* pRect, COLORREF crColor);
    void FillSolidRect(int x, int y, int cx, int cy, COLORREF crColor);
    bool FillRect(const RECT* pRect, HBRUSH hBrush) { return ::FillRect(m_hDC, pRect, hBrush) != 0; }
    bool FrameRect(const RECT* pRect, HBRUSH hBrush) { return ::FrameRect(m_hDC, pRect, hBrush) != 0; }
    bool Rectangle(int x1, int y1, int x2, int y2) { return ::Rectangle(m_hDC, x1, y1, x2, y2) != FALSE; }
    bool Rectangle(const RECT* pRect) { return Rectangle(pRect->left, pRect->top, pRect->right, pRect->bottom); }
    bool RoundRect(int x1, int y1, int x2, int y2, int w, int h) { return ::RoundRect(m_hDC, x1, y1, x2, y2, w, h) != FALSE; }
    bool RoundRect(const RECT* pRect, POINT pt) { return RoundRect(pRect->left, pRect->top, pRect->right, pRect->bottom, pt.x, pt.y); }
    POINT MoveTo(int x, int y)
    {
        POINT old{};
        ::MoveToEx(m_hDC, x, y, &old);
        return old;
    }
    bool LineTo(int x, int y) { return ::LineTo(m_hDC, x, y) != FALSE; }
    POINT GetCurrentPosition() const
    {
        POINT pt{};
        ::GetCurrentPositionEx(m_hDC, &pt);
        return pt;
    }
    bool Polyline(const POINT* pPoints, int nCount) { return ::Polyline(m_hDC, pPoints, nCount) != FALSE; }
    bool PatBlt(int x, int y, int nWidth, int nHeight, DWORD dwRop) { return ::PatBlt(m_hDC, x, y, nWidth, nHeight, dwRop) != FALSE; }
    COLORREF SetPixel(int x, int y, COLORREF crColor) { return ::SetPixel(m_hDC, x, y, crColor); }
    COLORREF GetPixel(int x, int y) const { return ::GetPixel(m_hDC, x, y); }

    bool TextOut(int x, int y, const wchar_t* lpText, int nCount) { return ::TextOutW(m_hDC, x, y, lpText, nCount) != FALSE; }
    bool TextOut(int x, int y, const std::wstring& text) { return TextOut(x, y, text.c_str(), static_cast<int>(text.size())); }
    int DrawText(const wchar_t* lpText, int nCount, RECT* pRect, UINT nFormat)
    {
        return ::DrawTextW(m_hDC, lpText, nCount, pRect, nFormat);
    }
    int DrawText(const std::wstring& text, RECT* pRect, UINT nFormat)
    {
        return DrawText(text.c_str(), static_cast<int>(text.size()), pRect, nFormat);
    }
    bool DrawState(POINT pt, SIZE size, HICON hIcon, UINT nFlags, HBRUSH hBrush = nullptr)
    {
        return ::DrawStateW(m_hDC, hBrush, nullptr, reinterpret_cast<LPARAM>(hIcon), 0, pt.x, pt.y, size.cx, size.cy,
                            nFlags | DST_ICON) != FALSE;
    }
    SIZE GetTextExtent(const wchar_t* lpText, int nCount) const
    {
        SIZE size{};
        ::GetTextExtentPoint32W(m_hDC, lpText, nCount, &size);
        return size;
    }
    SIZE GetTextExtent(const std::wstring& text) const
    {
        SIZE size{};
        ::GetTextExtentPoint32W(m_hDC, text.c_str(), static_cast<int>(text.size()), &size);
        return size;
    }
    bool GetTextMetrics(TEXTMETRICW* pMetrics) const { return ::GetTextMetricsW(m_hDC, pMetrics) != FALSE; }

    bool BitBlt(int x, int y, int nWidth, int nHeight, CDC* pSrcDC, int xSrc, int ySrc, DWORD dwRop)
    {
        return ::BitBlt(m_hDC, x, y, nWidth, nHeight, pSrcDC != nullptr ? pSrcDC->m_hDC : nullptr, xSrc, ySrc, dwRop) != FALSE;
    }
    int GetClipBox(RECT* pRect) const { return ::GetClipBox(m_hDC, pRect); }
    int SelectClipRgn(HRGN hRgn) { return ::SelectClipRgn(m_hDC, hRgn); }
    int ExcludeClipRect(const RECT* pRect) { return ::ExcludeClipRect(m_hDC, pRect->left, pRect->top, pRect->right, pRect->bottom); }
    int IntersectClipRect(const RECT* pRect) { return ::IntersectClipRect(m_hDC, pRect->left, pRect->top, pRect->right, pRect->bottom); }
    void DPtoLP(RECT* pRect) const { ::DPtoLP(m_hDC, reinterpret_cast<POINT*>(pRect), 2); }
    void LPtoDP(RECT* pRect) const { ::LPtoDP(m_hDC, reinterpret_cast<POINT*>(pRect), 2); }
    void DPtoLP(POINT* pPoints, int nCount = 1) const { ::DPtoLP(m_hDC, pPoints, nCount); }
    void LPtoDP(POINT* pPoints, int nCount = 1) const { ::LPtoDP(m_hDC, pPoints, nCount); }
    int GetDeviceCaps(int nIndex) const { return ::GetDeviceCaps(m_hDC, nIndex); }

protected:
    bool m_bOwned = false;
};

// Puts an object into a DC for one scope and the previous one back at its end.
class CSelectObject {
public:
    CSelectObject(CDC& dc, HGDIOBJ hObject) : m_dc(dc), m_hOld(dc.SelectObject(hObject)) {}
    CSelectObject(const CSelectObject&) = delete;
    CSelectObject& operator=(const CSelectObject&) = delete;
    ~CSelectObject()
    {
        if (m_hOld != nullptr)
            m_dc.SelectObject(m_hOld);
    }

private:
    CDC& m_dc;
    HGDIOBJ m_hOld;
};

class CPaintDC : public CDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC() override;
    PAINTSTRUCT m_ps{};

private:
    HWND m_hWnd;
    int m_nSaved;
};

class CClientDC : public CDC {
public:
    explicit CClientDC(CWnd* pWnd);
    ~CClientDC() override;

private:
    HWND m_hWnd;
    int m_nSaved;
};

// The whole window, frame included (for non-client drawing).
class CWindowDC : public CDC {
public:
    explicit CWindowDC(CWnd* pWnd);
    ~CWindowDC() override;

private:
    HWND m_hWnd;
    int m_nSaved;
};
