// A link in memory for the command exchange's tests: it keeps what is written, can hold
// every write at a gate (a unit that holds XOFF or stopped reading), and is woken like a
// real link. With it, a clock the test moves by hand.
#pragma once

#include "comm/protocol/Clock.h"
#include "comm/link/Link.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

// The clock also counts who reads it: a worker that looks at the time leaves a trace, so a
// test can tell a worker that looked and found nothing to do from one that never looked.
class CManualClock : public IClock {
public:
    long long NowMicros() const override
    {
        {
            std::lock_guard<std::mutex> lock(m_readsLock);
            ++m_reads[::GetCurrentThreadId()];
        }
        return m_llNow.load();
    }
    void Set(long long llMicros) { m_llNow.store(llMicros); }
    void AdvanceMs(long long llMs) { m_llNow += llMs * 1000; }
    // How often each thread has read the clock so far.
    std::map<DWORD, long long> Reads() const
    {
        std::lock_guard<std::mutex> lock(m_readsLock);
        return m_reads;
    }

private:
    std::atomic<long long> m_llNow{1000000};
    // Written by every thread that reads the clock; m_readsLock covers it.
    mutable std::mutex m_readsLock;
    mutable std::map<DWORD, long long> m_reads;
};

class CMemoryLink : public CLink {
public:
    CMemoryLink();
    ~CMemoryLink() override;

    LinkKind Kind() const override { return m_kind; }
    DWORD Open(const LinkParams&, HANDLE) override { return 0; }
    // Writer thread: keeps the bytes, after waiting at the gate while it is closed.
    bool Write(const char* pBytes, DWORD dwLength, DWORD dwTimeoutMs, DWORD& dwWritten) override;
    void Wake() override { SetEvent(m_hStop); }
    int Close() override { return 0; }

    void SetKind(LinkKind kind) { m_kind = kind; }
    void CloseGate() { ResetEvent(m_hGate); }
    // The next write fails, as a socket the unit reset or a port that refuses does.
    void FailNextWrite() { m_bFailNext = true; }
    void OpenGate() { SetEvent(m_hGate); }
    // Writes that have begun (held at the gate or done), and the frames written, in order.
    int WritesBegun() const { return m_nBegun.load(); }
    std::vector<std::string> Written() const;

protected:
    ThreadRoutine ReceiveRoutine() const override { return &Idle; }

private:
    static unsigned int WINAPI Idle(void*) { return 0; }

    LinkKind m_kind = LinkKind::Tcp;
    HANDLE m_hGate = nullptr; // manual reset, open at first
    HANDLE m_hStop = nullptr;
    std::atomic<int> m_nBegun{0};
    std::atomic<bool> m_bFailNext{false};
    // Written by the writer, read by the test; m_lock covers it.
    mutable std::mutex m_lock;
    std::vector<std::string> m_written;
};

} // namespace testsupport
