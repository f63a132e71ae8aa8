#include "comm/exchange/CommandQueue.h"

#include <cstring>

CCommandQueue::CCommandQueue()
{
    std::memset(m_items, 0, sizeof(m_items));
}

void CCommandQueue::Clear()
{
    std::memset(m_items, 0, sizeof(m_items));
    m_nWrite = 0;
    m_nRead = 0;
    m_nPushed = 0;
    m_nPopped = 0;
    ++m_nClears;
}

bool CCommandQueue::Push(const CommandItem& item)
{
    if (Count() == kSlots - 1)
        return false;
    m_items[m_nWrite] = item;
    m_items[m_nWrite].szCommand[kFrameTextChars - 1] = L'\0';
    m_nWrite = (m_nWrite + 1) % kSlots;
    ++m_nPushed;
    return true;
}

CommandItem CCommandQueue::Pop()
{
    CommandItem item;
    std::memset(&item, 0, sizeof(item));
    if (m_nWrite == m_nRead)
        return item;
    item = m_items[m_nRead];
    std::memset(&m_items[m_nRead], 0, sizeof(CommandItem));
    m_nRead = (m_nRead + 1) % kSlots;
    ++m_nPopped;
    return item;
}

const CommandItem& CCommandQueue::Item(unsigned long long n) const
{
    // The slot of the oldest waiting command is the read index; later ones follow it.
    const unsigned long long nFromOldest = n - m_nPopped;
    return m_items[(m_nRead + static_cast<int>(nFromOldest % kSlots)) % kSlots];
}
