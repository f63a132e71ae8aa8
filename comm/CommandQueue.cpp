#include "comm/CommandQueue.h"

#include <cstring>

CCommandQueue::CCommandQueue()
{
    std::memset(m_items, 0, sizeof(m_items));
}

void CCommandQueue::Clear()
{
    CSingleLock lock(m_cs);
    std::memset(m_items, 0, sizeof(m_items));
    m_nWrite = 0;
    m_nRead = 0;
}

bool CCommandQueue::Push(const CommandItem& item)
{
    CSingleLock lock(m_cs);
    if ((m_nWrite - m_nRead + kSlots) % kSlots == kSlots - 1)
        return false;
    m_items[m_nWrite] = item;
    m_items[m_nWrite].szCommand[kFrameTextChars - 1] = L'\0';
    m_nWrite = (m_nWrite + 1) % kSlots;
    return true;
}

CommandItem CCommandQueue::Pop()
{
    CSingleLock lock(m_cs);
    CommandItem item;
    std::memset(&item, 0, sizeof(item));
    if (m_nWrite == m_nRead)
        return item;
    item = m_items[m_nRead];
    std::memset(&m_items[m_nRead], 0, sizeof(CommandItem));
    m_nRead = (m_nRead + 1) % kSlots;
    return item;
}

int CCommandQueue::Count() const
{
    CSingleLock lock(m_cs);
    return (m_nWrite - m_nRead + kSlots) % kSlots;
}

int CCommandQueue::Snapshot(CommandItem* pItems, int nMax) const
{
    CSingleLock lock(m_cs);
    int n = 0;
    for (int i = m_nRead; i != m_nWrite && n < nMax; i = (i + 1) % kSlots)
        pItems[n++] = m_items[i];
    return n;
}
