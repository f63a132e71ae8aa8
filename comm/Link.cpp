#include "comm/Link.h"

#include <process.h>

bool CLink::Start(ILinkSink& sink, const std::atomic<unsigned char>& bOpen)
{
    m_pSink = &sink;
    m_pOpen = &bOpen;
    m_nMaxBacklog.store(0);
    m_hThread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ReceiveRoutine(), this, 0, nullptr));
    return m_hThread != nullptr;
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
