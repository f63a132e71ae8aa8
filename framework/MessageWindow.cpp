#include "framework/MessageWindow.h"

namespace {
constexpr wchar_t kClassName[] = L"RigMessageWindow";
}

CMessageWindow::CMessageWindow(Handler handler) : m_handler(std::move(handler))
{
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &CMessageWindow::WindowProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = kClassName;
    // A second registration fails with ERROR_CLASS_ALREADY_EXISTS, which is as good.
    ::RegisterClassExW(&wc);
    m_hWnd = ::CreateWindowExW(0, kClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    if (m_hWnd != nullptr)
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

CMessageWindow::~CMessageWindow()
{
    if (m_hWnd != nullptr) {
        ::SetWindowLongPtrW(m_hWnd, GWLP_USERDATA, 0);
        ::DestroyWindow(m_hWnd);
    }
}

LRESULT CALLBACK CMessageWindow::WindowProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CMessageWindow* pThis = reinterpret_cast<CMessageWindow*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (pThis != nullptr && pThis->m_handler) {
        // No exception leaves a window procedure (Wine lets it through, Windows does not).
        try {
            if (pThis->m_handler(message, wParam, lParam))
                return 0;
        } catch (...) {
            return 0;
        }
    }
    return ::DefWindowProcW(hWnd, message, wParam, lParam);
}
