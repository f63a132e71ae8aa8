#include "comm/protocol/Notify.h"

#include <atomic>
#include <cwchar>

namespace {
std::atomic<long> g_nOutstanding{0};
}

wchar_t* MakeNotifyText(const wchar_t* lpText)
{
    const size_t length = lpText != nullptr ? wcslen(lpText) : 0;
    wchar_t* pCopy = new wchar_t[length + 1];
    if (length > 0)
        wmemcpy(pCopy, lpText, length);
    pCopy[length] = L'\0';
    ++g_nOutstanding;
    return pCopy;
}

void FreeNotifyText(WPARAM wParam)
{
    wchar_t* pCopy = reinterpret_cast<wchar_t*>(wParam);
    if (pCopy == nullptr)
        return;
    delete[] pCopy;
    --g_nOutstanding;
}

bool PostNotify(HWND hWnd, UINT message, const wchar_t* lpText, int nKind)
{
    if (hWnd == nullptr)
        return false;
    wchar_t* pCopy = MakeNotifyText(lpText);
    if (!::PostMessageW(hWnd, message, reinterpret_cast<WPARAM>(pCopy), static_cast<LPARAM>(nKind))) {
        FreeNotifyText(reinterpret_cast<WPARAM>(pCopy));
        return false;
    }
    return true;
}

long NotifyTextsOutstanding()
{
    return g_nOutstanding.load();
}
