// Owners of GDI objects: each deletes its handle when it goes and can only be moved, never
// copied. A handle that is merely borrowed stays a plain HPEN/HBRUSH/... value.
#pragma once

#include <windows.h>

#include <utility>

class CDC;

template <class THandle>
class CGdiObjectT {
public:
    CGdiObjectT() = default;
    explicit CGdiObjectT(THandle hObject) : m_hObject(hObject) {}
    CGdiObjectT(const CGdiObjectT&) = delete;
    CGdiObjectT& operator=(const CGdiObjectT&) = delete;
    CGdiObjectT(CGdiObjectT&& other) noexcept : m_hObject(std::exchange(other.m_hObject, nullptr)) {}
    CGdiObjectT& operator=(CGdiObjectT&& other) noexcept
    {
        if (this != &other) {
            DeleteObject();
            m_hObject = std::exchange(other.m_hObject, nullptr);
        }
        return *this;
    }
    ~CGdiObjectT() { DeleteObject(); }

    operator THandle() const { return m_hObject; }
    THandle GetSafeHandle() const { return m_hObject; }
    bool IsNull() const { return m_hObject == nullptr; }

    bool Attach(THandle hObject)
    {
        DeleteObject();
        m_hObject = hObject;
        return hObject != nullptr;
    }
    THandle Detach() { return std::exchange(m_hObject, nullptr); }
    bool DeleteObject()
    {
        if (m_hObject == nullptr)
            return false;
        ::DeleteObject(m_hObject);
        m_hObject = nullptr;
        return true;
    }

protected:
    THandle m_hObject = nullptr;
};

class CPen : public CGdiObjectT<HPEN> {
public:
    CPen() = default;
    CPen(int nPenStyle, int nWidth, COLORREF crColor) { CreatePen(nPenStyle, nWidth, crColor); }
    bool CreatePen(int nPenStyle, int nWidth, COLORREF crColor) { return Attach(::CreatePen(nPenStyle, nWidth, crColor)); }
};

class CBrush : public CGdiObjectT<HBRUSH> {
public:
    CBrush() = default;
    explicit CBrush(COLORREF crColor) { CreateSolidBrush(crColor); }
    bool CreateSolidBrush(COLORREF crColor) { return Attach(::CreateSolidBrush(crColor)); }
};

class CFont : public CGdiObjectT<HFONT> {
public:
    bool CreateFontIndirect(const LOGFONTW* pLogFont) { return Attach(::CreateFontIndirectW(pLogFont)); }
    // A font of nPointSize tenths of a point, converted to the device's (or the screen's)
    // logical units.
    bool CreatePointFont(int nPointSize, const wchar_t* lpFaceName, CDC* pDC = nullptr);
    bool CreatePointFontIndirect(const LOGFONTW* pLogFont, CDC* pDC = nullptr);
    bool GetLogFont(LOGFONTW* pLogFont) const
    {
        return m_hObject != nullptr && ::GetObjectW(m_hObject, sizeof(LOGFONTW), pLogFont) != 0;
    }
};

class CRgn : public CGdiObjectT<HRGN> {
public:
    bool CreateRectRgn(int x1, int y1, int x2, int y2) { return Attach(::CreateRectRgn(x1, y1, x2, y2)); }
    bool CreateRoundRectRgn(int x1, int y1, int x2, int y2, int w, int h)
    {
        return Attach(::CreateRoundRectRgn(x1, y1, x2, y2, w, h));
    }
    bool CreatePolygonRgn(const POINT* pPoints, int nCount, int nMode)
    {
        return Attach(::CreatePolygonRgn(pPoints, nCount, nMode));
    }
    int CombineRgn(HRGN hSrc1, HRGN hSrc2, int nMode) { return ::CombineRgn(m_hObject, hSrc1, hSrc2, nMode); }
    bool PtInRegion(int x, int y) const { return ::PtInRegion(m_hObject, x, y) != FALSE; }
    // A new region of the same shape as hSrc, owned by this object.
    bool CopyRgn(HRGN hSrc)
    {
        if (!Attach(::CreateRectRgn(0, 0, 0, 0)))
            return false;
        return ::CombineRgn(m_hObject, hSrc, nullptr, RGN_COPY) != ERROR;
    }
    int GetRgnBox(RECT* pRect) const { return ::GetRgnBox(m_hObject, pRect); }
};

class CBitmap : public CGdiObjectT<HBITMAP> {
public:
    bool CreateCompatibleBitmap(CDC* pDC, int nWidth, int nHeight);
    bool LoadBitmap(UINT nIDResource)
    {
        return Attach(::LoadBitmapW(::GetModuleHandleW(nullptr), MAKEINTRESOURCEW(nIDResource)));
    }
    bool GetBitmap(BITMAP* pBitmap) const
    {
        return m_hObject != nullptr && ::GetObjectW(m_hObject, sizeof(BITMAP), pBitmap) != 0;
    }
};
