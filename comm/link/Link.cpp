#include "comm/link/Link.h"

#include <process.h>

bool CLink::Start(ILinkSink& sink, const std::atomic<unsigned char>& bOpen)
{
    m_pSink = &sink;
    m_pOpen = &bOpen;
    m_nMaxBacklog.store(0);
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReceiveRoutine(), this, CREATE_SUSPENDED, nullptr));
    if (m_hThread == nullptr)
        return false;
    // The port's input buffer holds 44 ms at 921 600 baud: the thread that empties it goes
    // before the window's drawing and the other workers.
    ::SetThreadPriority(m_hThread, THREAD_PRIORITY_HIGHEST);
    ::ResumeThread(m_hThread);
    return true;
}

bool CLink::Join(DWORD dwTimeoutMs)
{
    if (m_hThread == nullptr)
        return true;
    if (::WaitForSingleObject(m_hThread, dwTimeoutMs) != WAIT_OBJECT_0)
        return false;
    ::CloseHandle(m_hThread);
    m_hThread = nullptr;
    return true;
}

bool CLink::IsReceiving() const
{
    return m_hThread != nullptr && ::WaitForSingleObject(m_hThread, 0) == WAIT_TIMEOUT;
}

void CLink::Feed(CFrameAssembler& assembler, const BYTE* pBytes, size_t nCount)
{
    for (size_t i = 0; i < nCount && IsOpen(); ++i) {
        switch (assembler.Feed(pBytes[i])) {
        case CFrameAssembler::Result::Frame:
            m_pSink->OnFrame(assembler.Completed());
            break;
        case CFrameAssembler::Result::Data:
            m_pSink->OnDataLine(assembler.Completed());
            break;
        case CFrameAssembler::Result::None:
            break;
        }
    }
}

void CLink::NoteBacklog(size_t nWaiting)
{
    size_t nMax = m_nMaxBacklog.load();
    while (nWaiting > nMax && !m_nMaxBacklog.compare_exchange_weak(nMax, nWaiting)) {
    }
}
