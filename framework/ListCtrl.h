// Report-style list views of a template.
#pragma once

#include "framework/Wnd.h"

#include <commctrl.h>

#include <string>

class CListCtrl : public CWnd {
public:
    DWORD SetExtendedStyle(DWORD dwStyle) { return static_cast<DWORD>(SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, dwStyle)); }
    int InsertColumn(int nCol, const wchar_t* lpHeading, int nFormat, int nWidth)
    {
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
        column.fmt = nFormat;
        column.cx = nWidth;
        column.pszText = const_cast<wchar_t*>(lpHeading);
        column.iSubItem = nCol;
        return static_cast<int>(SendMessage(LVM_INSERTCOLUMNW, static_cast<WPARAM>(nCol), reinterpret_cast<LPARAM>(&column)));
    }
    int GetColumnWidth(int nCol) const { return static_cast<int>(SendMessage(LVM_GETCOLUMNWIDTH, static_cast<WPARAM>(nCol))); }
    BOOL SetColumnWidth(int nCol, int cx) { return static_cast<BOOL>(SendMessage(LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(nCol), cx)); }
    int InsertItem(int nItem, const wchar_t* lpText)
    {
        LVITEMW item{};
        item.mask = LVIF_TEXT;
        item.iItem = nItem;
        item.pszText = const_cast<wchar_t*>(lpText);
        return static_cast<int>(SendMessage(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    }
    BOOL SetItemText(int nItem, int nSubItem, const wchar_t* lpText)
    {
        LVITEMW item{};
        item.iSubItem = nSubItem;
        item.pszText = const_cast<wchar_t*>(lpText);
        return static_cast<BOOL>(SendMessage(LVM_SETITEMTEXTW, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&item)));
    }
    std::wstring GetItemText(int nItem, int nSubItem) const
    {
        wchar_t szText[512] = {};
        LVITEMW item{};
        item.iSubItem = nSubItem;
        item.pszText = szText;
        item.cchTextMax = 512;
        SendMessage(LVM_GETITEMTEXTW, static_cast<WPARAM>(nItem), reinterpret_cast<LPARAM>(&item));
        return szText;
    }
    BOOL DeleteItem(int nItem) { return static_cast<BOOL>(SendMessage(LVM_DELETEITEM, static_cast<WPARAM>(nItem))); }
    BOOL DeleteAllItems() { return static_cast<BOOL>(SendMessage(LVM_DELETEALLITEMS)); }
    int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
};
