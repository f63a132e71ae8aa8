// The ring of commands waiting for the one in flight to be answered. Held by CComm; pushed
// from the thread that sends, popped by the dispatcher, cleared by the console. One lock
// covers the slots and both indices.
#pragma once

#include "comm/Frame.h"

#include "framework/Sync.h"

class CWnd;

struct CommandItem {
    wchar_t szCommand[kFrameTextChars];
    int nRecvKind;
    CWnd* pReplyWnd;
};

class CCommandQueue {
public:
    static constexpr int kSlots = 300;

    CCommandQueue();
    CCommandQueue(const CCommandQueue&) = delete;
    CCommandQueue& operator=(const CCommandQueue&) = delete;

    void Clear();
    // Refused when 299 commands wait: one slot always stays free.
    bool Push(const CommandItem& item);
    // The oldest command, or an all-zero item when none waits.
    CommandItem Pop();
    int Count() const;
    // Copies the waiting commands, oldest first, into pItems (at most nMax); returns how many.
    int Snapshot(CommandItem* pItems, int nMax) const;

private:
    mutable CCriticalSection m_cs;
    CommandItem m_items[kSlots];
    int m_nWrite = 0;
    int m_nRead = 0;
};
