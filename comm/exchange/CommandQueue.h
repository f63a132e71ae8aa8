// The ring of commands waiting for the one in flight to be answered: 300 slots, at most 299
// commands, oldest first. It has no lock of its own: the command exchange holds it under its
// lock, together with the command in flight.
#pragma once

#include "comm/protocol/Frame.h"

#include <windows.h>

struct CommandItem {
    wchar_t szCommand[kFrameTextChars];
    int nRecvKind;
    // The window that gets the answer or the time-out, captured when the command was given.
    HWND hReplyWnd;
    // When it was put in the queue (the exchange's clock, microseconds).
    long long llQueuedUs;
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
    int Count() const { return (m_nWrite - m_nRead + kSlots) % kSlots; }

    // Commands ever pushed and popped since the last Clear, and how many Clears there were:
    // a view of the ring can follow it by the difference instead of comparing texts.
    unsigned long long Pushed() const { return m_nPushed; }
    unsigned long long Popped() const { return m_nPopped; }
    unsigned long long Clears() const { return m_nClears; }
    // The waiting command that was the nth ever pushed (Popped() <= n < Pushed()).
    const CommandItem& Item(unsigned long long n) const;

private:
    CommandItem m_items[kSlots];
    int m_nWrite = 0;
    int m_nRead = 0;
    unsigned long long m_nPushed = 0;
    unsigned long long m_nPopped = 0;
    unsigned long long m_nClears = 0;
};
