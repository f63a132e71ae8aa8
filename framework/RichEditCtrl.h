// Rich edit 2.0 controls of a template. The control's library must be loaded before a
// template that holds one is created: LoadRichEditLibrary does that once per process.
#pragma once

#include "framework/Wnd.h"

#include <richedit.h>

bool LoadRichEditLibrary();

class CRichEditCtrl : public CWnd {
public:
    void SetSel(long nStart, long nEnd)
    {
        CHARRANGE range{nStart, nEnd};
        SendMessage(EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
    }
    void GetSel(long& nStart, long& nEnd) const
    {
        CHARRANGE range{};
        SendMessage(EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&range));
        nStart = range.cpMin;
        nEnd = range.cpMax;
    }
    void ReplaceSel(const wchar_t* lpText, BOOL bCanUndo = FALSE)
    {
        SendMessage(EM_REPLACESEL, bCanUndo, reinterpret_cast<LPARAM>(lpText));
    }
    int GetLineCount() const { return static_cast<int>(SendMessage(EM_GETLINECOUNT)); }
    long GetTextLength() const
    {
        GETTEXTLENGTHEX gtl{GTL_NUMCHARS | GTL_PRECISE, 1200};
        return static_cast<long>(SendMessage(EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&gtl)));
    }
    BOOL SetSelectionCharFormat(CHARFORMATW& cf)
    {
        cf.cbSize = sizeof(cf);
        return static_cast<BOOL>(SendMessage(EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf)));
    }
    DWORD GetSelectionCharFormat(CHARFORMATW& cf) const
    {
        cf.cbSize = sizeof(cf);
        return static_cast<DWORD>(SendMessage(EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf)));
    }
    COLORREF SetBackgroundColor(BOOL bSysColor, COLORREF cr)
    {
        return static_cast<COLORREF>(SendMessage(EM_SETBKGNDCOLOR, bSysColor, static_cast<LPARAM>(cr)));
    }
    void LimitText(long nChars) { SendMessage(EM_EXLIMITTEXT, 0, nChars); }
    UINT SetOptions(WORD wOp, DWORD dwFlags) { return static_cast<UINT>(SendMessage(EM_SETOPTIONS, wOp, static_cast<LPARAM>(dwFlags))); }
    BOOL LineScroll(int nLines, int nChars = 0) { return static_cast<BOOL>(SendMessage(EM_LINESCROLL, static_cast<WPARAM>(nChars), nLines)); }
    long StreamOut(int nFormat, EDITSTREAM& es) { return static_cast<long>(SendMessage(EM_STREAMOUT, static_cast<WPARAM>(nFormat), reinterpret_cast<LPARAM>(&es))); }
};
