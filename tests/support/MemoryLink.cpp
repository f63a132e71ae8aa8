#include "support/MemoryLink.h"

namespace testsupport {

CMemoryLink::CMemoryLink()
{
    m_hGate = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    m_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

CMemoryLink::~CMemoryLink()
{
    CloseHandle(m_hGate);
    CloseHandle(m_hStop);
}

bool CMemoryLink::Write(const char* pBytes, DWORD dwLength, DWORD dwTimeoutMs, DWORD& dwWritten)
{
    dwWritten = 0;
    ++m_nBegun;
    const HANDLE waits[2] = {m_hGate, m_hStop};
    if (WaitForMultipleObjects(2, waits, FALSE, dwTimeoutMs) != WAIT_OBJECT_0 || m_bFailNext.exchange(false))
        return false;
    std::string bytes(pBytes, dwLength);
    // Frames without their line end read better in the tests.
    while (!bytes.empty() && (bytes.back() == '\r' || bytes.back() == '\n'))
        bytes.pop_back();
    std::lock_guard<std::mutex> lock(m_lock);
    m_written.push_back(bytes);
    dwWritten = dwLength;
    return true;
}

std::vector<std::string> CMemoryLink::Written() const
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_written;
}

} // namespace testsupport
