#include "comm/protocol/Notify.h"

#include <cstddef>
#include <cwchar>
#include <new>

namespace {
std::atomic<long> g_nOutstanding{0};

// What a notification's wParam points into: the text, with the flow it counts on before it.
struct NotifyBlock {
    CNotifyFlow* pFlow;
    wchar_t text[1];
};

NotifyBlock* BlockOf(wchar_t* pText)
{
    return reinterpret_cast<NotifyBlock*>(reinterpret_cast<char*>(pText) - offsetof(NotifyBlock, text));
}
} // namespace

CNotifyFlow::CNotifyFlow(long nHigh, long nLow) : m_nHigh(nHigh), m_nLow(nLow)
{
    m_hRoom = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

CNotifyFlow::~CNotifyFlow()
{
    if (m_hRoom != nullptr)
        ::CloseHandle(m_hRoom);
}

void CNotifyFlow::Release()
{
    if (m_nRefs.fetch_sub(1) == 1)
        delete this;
}

void CNotifyFlow::Taken()
{
    if (m_nOutstanding.fetch_sub(1) - 1 <= m_nLow && m_bWaiting.load() && m_hRoom != nullptr)
        ::SetEvent(m_hRoom);
}

void CNotifyFlow::WaitForRoom(HWND hWnd, const std::atomic<unsigned char>& bOpen)
{
    if (m_nOutstanding.load() < m_nHigh)
        return;
    m_bWaiting.store(true);
    // The window takes the reports in the order they came: once it has taken down to the low
    // mark, the reader goes on. A close, or a window that is gone (whose reports will never be
    // taken), ends the wait too; the short wait covers a wake-up that came before the flag.
    while (m_nOutstanding.load() > m_nLow && bOpen.load() != 0 && ::IsWindow(hWnd))
        ::WaitForSingleObject(m_hRoom, 20);
    m_bWaiting.store(false);
}

wchar_t* MakeNotifyText(const wchar_t* lpText, CNotifyFlow* pFlow)
{
    const size_t length = lpText != nullptr ? wcslen(lpText) : 0;
    void* pMemory = ::operator new(offsetof(NotifyBlock, text) + (length + 1) * sizeof(wchar_t));
    NotifyBlock* pBlock = static_cast<NotifyBlock*>(pMemory);
    pBlock->pFlow = pFlow;
    if (pFlow != nullptr) {
        pFlow->AddRef();
        pFlow->Posted();
    }
    wchar_t* pCopy = pBlock->text;
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
    NotifyBlock* pBlock = BlockOf(pCopy);
    if (CNotifyFlow* pFlow = pBlock->pFlow) {
        pFlow->Taken();
        pFlow->Release();
    }
    ::operator delete(pBlock);
    --g_nOutstanding;
}

bool PostNotify(HWND hWnd, UINT message, const wchar_t* lpText, int nKind, CNotifyFlow* pFlow)
{
    if (hWnd == nullptr)
        return false;
    wchar_t* pCopy = MakeNotifyText(lpText, pFlow);
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
