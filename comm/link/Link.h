// A transport to the unit behind one interface: the serial link (CSerialLink) and the TCP
// link (CTcpLink). Each owns its port or socket, its overlapped records and its receive
// thread, which cuts the unit's bytes into frames and hands them to a sink.
//
// Life of a link, driven by the link manager on the user-interface thread:
//   Open (may wait, off the user-interface thread) -> Start (the receive thread runs)
//   -> Write (the exchange's dispatcher thread only, one write at a time)
//   -> Wake (any thread: every wait of the receive thread and of a write ends)
//   -> Join (the receive thread has ended) -> Close (the port or socket is released).
#pragma once

#include "comm/protocol/Frame.h"
#include "comm/protocol/LinkParams.h"

#include <windows.h>

#include <atomic>
#include <string>

// What a receive thread hands on. Called on the receive thread.
class ILinkSink {
public:
    virtual void OnFrame(const wchar_t* lpFrame) = 0;
    // Text that is no frame: loose text ended by a line end, or a broken frame.
    virtual void OnDataLine(const wchar_t* lpText) = 0;
    // The link failed under the receive thread (peer gone, port vanished); lpWhy says how.
    virtual void OnLinkLost(const wchar_t* lpWhy) = 0;
    // Something the engineer must see at once (a receive thread that could not start).
    virtual void OnLinkError(const wchar_t* lpText) = 0;

protected:
    ~ILinkSink() = default;
};

class CLink {
public:
    // The longest a link waits for a cancelled operation (a write held by XOFF, a pending
    // read, a pending wait for received characters) to come back before it gives that
    // operation up.
    static constexpr DWORD kCancelWaitMs = 1000;
    // How long the link manager gives a link's workers (the receive thread, and the writer in
    // a write) to end after Wake. Every wait they can be in once woken is a cancel wait or
    // shorter, so this covers the longest of them with room for a loaded machine; a worker
    // not ended by then is held by the system, and the port or socket is kept for a later try.
    static constexpr DWORD kJoinBudgetMs = 3000;
    static_assert(2 * kCancelWaitMs < kJoinBudgetMs, "a woken worker ends well within the join budget");

    CLink() = default;
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;
    virtual ~CLink() = default;

    virtual LinkKind Kind() const = 0;

    // Opens the port or connects. A connect in progress ends early when hCancel is set.
    // 0, or the Windows error code of the failure (everything acquired is released then).
    virtual DWORD Open(const LinkParams& params, HANDLE hCancel) = 0;
    // Starts the receive thread, which runs while bOpen is non-zero and hands what it cuts
    // from the bytes to sink.
    bool Start(ILinkSink& sink, const std::atomic<unsigned char>& bOpen);
    // Writes every byte, within dwTimeoutMs (INFINITE: until they have gone, however long the
    // unit holds them). False when the link refused, the time ran out or Wake came first;
    // dwWritten says how many bytes left.
    virtual bool Write(const char* pBytes, DWORD dwLength, DWORD dwTimeoutMs, DWORD& dwWritten) = 0;
    // Whether the port says that the unit holds its output (an XOFF received). Any thread
    // while the link is open. False where the system does not tell (sockets; Wine's ports):
    // there a write that takes long is the only sign.
    virtual bool PeerHoldsOutput() { return false; }
    // How the engineer knows the link: "COM5", "127.0.0.1:20130"; empty until Open.
    const std::wstring& Name() const { return m_name; }
    // Ends every wait of the receive thread and of a write in progress, each within
    // kCancelWaitMs. Any thread, any time between Open and Close, also while Close runs.
    virtual void Wake() = 0;
    // Waits for the receive thread to end; false when it has not within dwTimeoutMs.
    bool Join(DWORD dwTimeoutMs);
    bool IsReceiving() const;
    // Releases the port or socket, once the receive thread has ended and no write runs; waits
    // at most kCancelWaitMs (for a write that a cancel could not end). Returns the result of
    // the socket's close call (0 for a port).
    virtual int Close() = 0;

    // The most bytes that were waiting when the receive thread came to read: how far it
    // fell behind the wire.
    size_t MaxBacklog() const { return m_nMaxBacklog.load(); }

protected:
    // Receive thread: cuts the bytes into frames and loose text and hands them on, as long
    // as the link is open.
    void Feed(CFrameAssembler& assembler, const BYTE* pBytes, size_t nCount);
    void NoteBacklog(size_t nWaiting);
    bool IsOpen() const { return m_pOpen != nullptr && m_pOpen->load() != 0; }
    // Open only, before any worker of the link runs.
    void SetName(std::wstring name) { m_name = std::move(name); }
    ILinkSink& Sink() const { return *m_pSink; }

    // The receive thread's routine (Thread_WatchSerial, Thread_WatchEthernet), run with the
    // link as its argument.
    using ThreadRoutine = unsigned int(WINAPI*)(void*);
    virtual ThreadRoutine ReceiveRoutine() const = 0;

private:
    // Set by Start before the receive thread runs; read by it.
    ILinkSink* m_pSink = nullptr;
    const std::atomic<unsigned char>* m_pOpen = nullptr;
    // User-interface thread (Start, Join).
    HANDLE m_hThread = nullptr;
    // Written by the receive thread, read by anyone.
    std::atomic<size_t> m_nMaxBacklog{0};
    // Written by Open (the opener thread) before the workers start; read by them after.
    std::wstring m_name;
};
