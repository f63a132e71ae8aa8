#include "SimSession.h"

#include "SimText.h"

#include <algorithm>
#include <thread>

namespace simunit {

namespace {
// Longest frame (brackets included) the unit collects; longer runs are line noise.
const size_t kMaxFrame = 256;
// Flood frames are handed to the link in blocks of about this size.
const size_t kFloodBlock = 8192;
// A pace that has fallen far behind catches up in writes of about this size, so the stop
// event is looked at between them.
const size_t kPaceBlock = 65536;
// Shortest pause between two paced writes.
const DWORD kPaceMinGapMs = 4;
const char kXoff = 0x13;
const char kXon = 0x11;

bool IsSlp(const FrameFields& f)
{
    return f.valid && EqualNoCase(f.cls, "SLP");
}

// "{n}" becomes the frame's number; "{nW}", W a digit 1 to 9, the number zero-padded to W
// digits, so that every frame of a benchmark has the same length; "{bW}" the number in W
// base-36 digits (0-9, A-Z, the lowest W digits), so that a 4-character command word can
// name its frame and the frame's echo tells which frame it answers.
std::string Numbered(const std::string& frame, unsigned long ulIndex)
{
    const std::string number = std::to_string(ulIndex);
    std::string out;
    out.reserve(frame.size() + number.size());
    for (size_t i = 0; i < frame.size();) {
        if (frame.compare(i, 3, "{n}") == 0) {
            out += number;
            i += 3;
        } else if (frame.compare(i, 2, "{n") == 0 && i + 3 < frame.size() && frame[i + 2] >= '1' &&
                   frame[i + 2] <= '9' && frame[i + 3] == '}') {
            const size_t width = static_cast<size_t>(frame[i + 2] - '0');
            if (number.size() < width)
                out.append(width - number.size(), '0');
            out += number;
            i += 4;
        } else if (frame.compare(i, 2, "{b") == 0 && i + 3 < frame.size() && frame[i + 2] >= '1' &&
                   frame[i + 2] <= '9' && frame[i + 3] == '}') {
            const size_t width = static_cast<size_t>(frame[i + 2] - '0');
            std::string digits(width, '0');
            unsigned long v = ulIndex;
            for (size_t k = width; k > 0 && v > 0; --k, v /= 36)
                digits[k - 1] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"[v % 36];
            out += digits;
            i += 4;
        } else {
            out += frame[i++];
        }
    }
    return out;
}
} // namespace

CSimSession::CSimSession(CSimLink& link, const CSimScript& script, CSimLog& log, HANDLE hStop)
    : m_link(link), m_script(script), m_log(log), m_hStop(hStop), m_hWake(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      m_hEnding(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    LARGE_INTEGER freq;
    if (QueryPerformanceFrequency(&freq) && freq.QuadPart > 0)
        m_llTicksPerSecond = freq.QuadPart;
}

CSimSession::~CSimSession()
{
    if (m_hWake != nullptr)
        CloseHandle(m_hWake);
    if (m_hEnding != nullptr)
        CloseHandle(m_hEnding);
}

CSimSession::End CSimSession::Run()
{
    std::string readerReason;
    std::thread reader([this, &readerReason] { ReaderMain(readerReason); });

    ULONGLONG ullNow = GetTickCount64();
    for (const ScriptFrame& f : m_script.m_frames) {
        if (f.afterCommand == 0)
            Plan(FrameJob(f.frame, ullNow));
    }
    for (const ScriptFlood& f : m_script.m_floods) {
        if (f.afterCommand == 0) {
            Job job;
            job.ullDue = ullNow;
            job.floodCount = f.count;
            job.floodFrame = f.frame;
            Plan(std::move(job));
        }
    }
    for (const ScriptPace& p : m_script.m_paces) {
        if (p.afterCommand == 0)
            Plan(PaceJob(p, ullNow));
    }
    for (const ScriptHostile& h : m_script.m_hostiles) {
        if (h.afterCommand == 0)
            Plan(HostileJob(h, ullNow));
    }
    if (m_script.m_bVanishAtConnect) {
        // Gone again as soon as it came (after what was planned for the connect).
        Job job;
        job.ullDue = ullNow;
        job.bHangUp = true;
        job.hangUpAs = End::Vanish;
        m_log.Line("VANISH planned at connect");
        Plan(std::move(job));
    }
    std::vector<ULONGLONG> nextPeriodic;
    for (const ScriptPeriodic& p : m_script.m_periodic)
        nextPeriodic.push_back(ullNow + p.dwPeriodMs);

    End end = End::PeerGone;
    std::string reason;
    for (;;) {
        if (WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0) {
            end = End::Stopped;
            reason = "stop";
            break;
        }
        if (m_bEnded)
            break;
        if (!SendDuePaces(reason)) {
            end = WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0 ? End::Stopped : End::LinkFailed;
            break;
        }
        ullNow = GetTickCount64();
        ULONGLONG ullWake = ullNow + 1000;
        for (size_t i = 0; i < nextPeriodic.size(); ++i) {
            if (ullNow >= nextPeriodic[i]) {
                Plan(FrameJob(m_script.m_periodic[i].frame, ullNow));
                nextPeriodic[i] += m_script.m_periodic[i].dwPeriodMs;
                if (nextPeriodic[i] <= ullNow)
                    nextPeriodic[i] = ullNow + m_script.m_periodic[i].dwPeriodMs;
            }
            ullWake = std::min(ullWake, nextPeriodic[i]);
        }
        const ULONGLONG ullEcho = CheckEchoDeadlines(ullNow);
        if (ullEcho != 0)
            ullWake = std::min(ullWake, ullEcho);

        Job job;
        bool bHave = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto first = std::min_element(m_jobs.begin(), m_jobs.end(), [](const Job& a, const Job& b) {
                return a.ullDue != b.ullDue ? a.ullDue < b.ullDue : a.seq < b.seq;
            });
            if (first != m_jobs.end()) {
                // While the reader writes an answer, the job waits for its wake-up.
                if (first->ullDue <= ullNow && !m_bWriting) {
                    job = std::move(*first);
                    m_jobs.erase(first);
                    m_bWriting = true;
                    bHave = true;
                } else if (first->ullDue > ullNow) {
                    ullWake = std::min(ullWake, first->ullDue);
                }
            }
        }
        if (bHave) {
            const bool bSent = Send(job, reason);
            ReleaseLink();
            if (!bSent) {
                end = WaitForSingleObject(m_hStop, 0) == WAIT_OBJECT_0 ? End::Stopped : End::LinkFailed;
                break;
            }
            if (job.bHangUp) {
                end = job.hangUpAs;
                if (end == End::Reset) {
                    m_link.Reset();
                    reason = "reset";
                } else {
                    m_link.HangUp();
                    reason = end == End::Vanish ? "vanish" : "hang-up";
                }
                break;
            }
            continue;
        }
        // A timed wait, not a spin: paced frames that fall due meanwhile leave together.
        const DWORD dwWait = static_cast<DWORD>(ullWake > ullNow ? ullWake - ullNow : 0);
        HANDLE handles[2] = {m_hStop, m_hWake};
        WaitForMultipleObjects(2, handles, FALSE, std::min(dwWait, MsToNextPaceFrame()));
    }

    m_bEnded = true;
    SetEvent(m_hEnding);
    reader.join();
    for (const Pace& pace : m_paces)
        m_log.Line("PACE broken after %lu of %lu frames, %llu bytes", pace.sent, pace.count, pace.ullBytes);
    m_paces.clear();
    if (end == End::PeerGone)
        reason = !m_readerWriteFailure.empty() ? m_readerWriteFailure : readerReason;
    m_log.Line("DISCONNECT %s", reason.c_str());
    ReportMissingEchoes("link closed");
    if (m_script.m_bEchoSummary) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_log.Line("ECHO summary ok=%lu wrong=%lu missing=%lu unexpected=%lu duplicate=%lu", m_ulEchoOk, m_ulEchoWrong,
                   m_ulEchoMissing, m_ulEchoUnexpected, m_ulEchoDuplicate);
    }
    return end;
}

void CSimSession::ReaderMain(std::string& reason)
{
    char buf[4096];
    while (!m_bEnded) {
        const ULONGLONG ullNow = GetTickCount64();
        auto stop = std::find_if(m_readingStops.begin(), m_readingStops.end(),
                                 [ullNow](const ReadingStop& r) { return r.ullAt <= ullNow; });
        if (stop != m_readingStops.end()) {
            const DWORD dwMs = stop->dwMs;
            m_readingStops.erase(stop);
            PauseReading(dwMs);
            continue;
        }
        const int n = m_link.Read(buf, sizeof(buf), reason);
        if (n < 0) {
            m_bEnded = true;
            SetEvent(m_hWake);
            break;
        }
        if (n > 0) {
            m_log.Raw(buf, static_cast<size_t>(n));
            // Counting echoes is for long runs: a line a read would be most of the log.
            if (!m_script.m_bEchoSummary)
                m_log.Line("RX \"%s\"", Escape(buf, static_cast<size_t>(n)).c_str());
            OnBytes(buf, static_cast<size_t>(n));
        }
    }
    m_link.EndReading();
    if (m_bInFrame)
        m_log.Line("LOOSE \"%s\" (unfinished frame)", Escape(m_frame).c_str());
    FlushLoose();
}

void CSimSession::PauseReading(DWORD dwMs)
{
    // Nothing is taken from the port meanwhile: its buffer fills, as a busy unit's does.
    m_link.EndReading();
    m_log.Line("READING stopped");
    // Run waits for this thread before it returns: the stop event and the end of the session
    // (a hang-up, a failed write) must end the stretch at once.
    HANDLE handles[2] = {m_hStop, m_hEnding};
    if (WaitForMultipleObjects(2, handles, FALSE, dwMs) == WAIT_TIMEOUT)
        m_log.Line("READING resumed");
}

void CSimSession::OnBytes(const char* p, size_t cb)
{
    for (size_t i = 0; i < cb; ++i) {
        const char c = p[i];
        if (c == '[') {
            if (m_bInFrame)
                m_log.Line("LOOSE \"%s\" (unfinished frame)", Escape(m_frame).c_str());
            else
                FlushLoose();
            m_frame.assign(1, '[');
            m_bInFrame = true;
        } else if (m_bInFrame) {
            if (c == ']') {
                m_frame += c;
                m_bInFrame = false;
                std::string frame;
                frame.swap(m_frame);
                OnFrame(frame);
            } else if (c == '\r' || c == '\n') {
                // The unit reads line by line: a line end inside a frame spoils it.
                m_log.Line("LOOSE \"%s\" (unfinished frame)", Escape(m_frame).c_str());
                m_frame.clear();
                m_bInFrame = false;
            } else {
                m_frame += c;
                if (m_frame.size() >= kMaxFrame) {
                    m_log.Line("LOOSE \"%s\" (frame too long)", Escape(m_frame).c_str());
                    m_frame.clear();
                    m_bInFrame = false;
                }
            }
        } else if (c == '\r' || c == '\n') {
            FlushLoose();
        } else {
            m_loose += c;
            if (m_loose.size() >= kMaxFrame)
                FlushLoose();
        }
    }
}

void CSimSession::FlushLoose()
{
    if (!m_loose.empty()) {
        m_log.Line("LOOSE \"%s\"", Escape(m_loose).c_str());
        m_loose.clear();
    }
}

void CSimSession::OnFrame(const std::string& frame)
{
    const FrameFields f = SplitFields(frame);
    if (!m_script.m_bEchoSummary || !f.valid || !EqualNoCase(f.cls, "ELP"))
        m_log.Line("FRAME \"%s\"", Escape(frame).c_str());
    if (!f.valid)
        return;
    if (EqualNoCase(f.cls, "SPM") || EqualNoCase(f.cls, "SPL"))
        OnCommand(frame, f.cls, f.word);
    else if (EqualNoCase(f.cls, "ELP"))
        OnEcho(frame, f.word);
}

void CSimSession::OnCommand(const std::string& frame, const std::string& cls, const std::string& word)
{
    const unsigned long ulCommand = ++m_ulCommands;
    const ULONGLONG ullNow = GetTickCount64();
    const DWORD dwDelay = m_script.DelayFor(word);
    const std::string shownWord = m_script.m_bAnswerWithSpaces ? word.substr(0, 2) + " " + word.substr(2) : word;
    const std::string answer = "[E" + Upper(cls.substr(1)) + "_" + shownWord + "_001]";

    if (m_script.m_ulHangupAfterCommand == ulCommand) {
        Job job;
        job.ullDue = ullNow + dwDelay;
        job.bHangUp = true;
        job.pieces.push_back(Piece{answer.substr(0, answer.size() / 2), 0});
        m_log.Line("HANGUP planned at command %lu \"%s\"", ulCommand, Escape(frame).c_str());
        Plan(std::move(job));
        return;
    }

    // The unit answers in full, then goes away (or resets the line).
    if (m_script.m_ulVanishAfterCommand == ulCommand || m_script.m_ulResetAfterCommand == ulCommand) {
        const bool bReset = m_script.m_ulResetAfterCommand == ulCommand;
        Job job;
        job.ullDue = ullNow + dwDelay;
        job.bHangUp = true;
        job.hangUpAs = bReset ? End::Reset : End::Vanish;
        job.pieces.push_back(Piece{answer + m_script.m_lineEnd, 0});
        m_log.Line("%s planned at command %lu \"%s\"", bReset ? "RESET" : "VANISH", ulCommand, Escape(frame).c_str());
        Plan(std::move(job));
        return;
    }

    ULONGLONG ullDue = ullNow;
    if (m_script.IsSilent(word)) {
        m_log.Line("SILENT \"%s\"", Escape(frame).c_str());
    } else {
        ullDue += dwDelay;
        if (dwDelay > 0)
            m_log.Line("DELAY %lu ms \"%s\"", static_cast<unsigned long>(dwDelay), Escape(frame).c_str());
        Job job;
        job.ullDue = ullDue;
        if (!m_script.m_noise.empty())
            job.pieces.push_back(Piece{m_script.m_noise, 0});
        const std::string bytes = answer + m_script.m_lineEnd;
        // An answer due now in one piece leaves from here, as a unit answers at once.
        if (dwDelay == 0 && m_script.m_noise.empty() && m_script.m_ulSplitPieces <= 1 && TrySendNow(bytes)) {
            PlanAfterCommand(ulCommand, ullDue);
            return;
        }
        const size_t pieces = std::min<size_t>(m_script.m_ulSplitPieces, bytes.size());
        size_t pos = 0;
        for (size_t i = 0; i < pieces; ++i) {
            const size_t len = bytes.size() / pieces + (i < bytes.size() % pieces ? 1 : 0);
            job.pieces.push_back(Piece{bytes.substr(pos, len), i == 0 ? 0 : m_script.m_dwSplitPauseMs});
            pos += len;
        }
        Plan(std::move(job));
    }
    PlanAfterCommand(ulCommand, ullDue);
}

void CSimSession::PlanAfterCommand(unsigned long ulCommand, ULONGLONG ullDue)
{
    // The hold starts right behind the answer, ahead of the frames due then: a frame planned
    // for the same command tells the peer that the XOFF has reached it.
    for (const ScriptHold& h : m_script.m_xoffs) {
        if (h.afterCommand == ulCommand) {
            Job job;
            job.ullDue = ullDue;
            job.flowByte = kXoff;
            job.dwXonAfterMs = h.dwMs;
            Plan(std::move(job));
        }
    }
    for (const ScriptFrame& f : m_script.m_frames) {
        if (f.afterCommand == ulCommand)
            Plan(FrameJob(f.frame, ullDue));
    }
    for (const ScriptFlood& f : m_script.m_floods) {
        if (f.afterCommand == ulCommand) {
            Job job;
            job.ullDue = ullDue;
            job.floodCount = f.count;
            job.floodFrame = f.frame;
            Plan(std::move(job));
        }
    }
    for (const ScriptPace& p : m_script.m_paces) {
        if (p.afterCommand == ulCommand)
            Plan(PaceJob(p, ullDue));
    }
    for (const ScriptHostile& h : m_script.m_hostiles) {
        if (h.afterCommand == ulCommand)
            Plan(HostileJob(h, ullDue));
    }
    for (const ScriptHold& h : m_script.m_readingStops) {
        if (h.afterCommand == ulCommand)
            m_readingStops.push_back(ReadingStop{ullDue, h.dwMs});
    }
}

void CSimSession::OnEcho(const std::string& frame, const std::string& word)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_echoes.begin(), m_echoes.end(),
                           [&word](const PendingEcho& e) { return EqualNoCase(e.word, word); });
    if (m_script.m_bEchoSummary) {
        if (it == m_echoes.end()) {
            CountEcho(m_echoed.count(Upper(word)) > 0 ? m_ulEchoDuplicate : m_ulEchoUnexpected);
            return;
        }
        CountEcho(frame == it->expected ? m_ulEchoOk : m_ulEchoWrong);
        m_echoed.insert(Upper(word));
        m_echoes.erase(it);
        return;
    }
    if (it == m_echoes.end()) {
        m_log.Line("echo unexpected \"%s\"", Escape(frame).c_str());
        return;
    }
    if (frame == it->expected)
        m_log.Line("echo ok \"%s\" for \"%s\"", Escape(frame).c_str(), Escape(it->slpFrame).c_str());
    else
        m_log.Line("echo wrong \"%s\" for \"%s\" (expected \"%s\")", Escape(frame).c_str(), Escape(it->slpFrame).c_str(),
                   Escape(it->expected).c_str());
    m_echoes.erase(it);
}

bool CSimSession::TrySendNow(const std::string& bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_jobs.empty() || m_bWriting)
            return false;
        m_bWriting = true;
    }
    m_log.Line("TX \"%s\"", Escape(bytes).c_str());
    std::string reason;
    if (!m_link.Write(bytes.data(), bytes.size(), m_hStop, reason)) {
        m_readerWriteFailure = reason;
        m_bEnded = true;
    }
    ReleaseLink();
    // What was planned meanwhile may go now (and an ended session ends).
    SetEvent(m_hWake);
    return true;
}

bool CSimSession::ClaimLink()
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (!m_bWriting) {
                m_bWriting = true;
                return true;
            }
        }
        // The reader's write is one short answer.
        if (WaitForSingleObject(m_hStop, 1) == WAIT_OBJECT_0)
            return false;
    }
}

void CSimSession::ReleaseLink()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bWriting = false;
}

void CSimSession::Plan(Job&& job)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        job.seq = ++m_seq;
        m_jobs.push_back(std::move(job));
    }
    SetEvent(m_hWake);
}

CSimSession::Job CSimSession::FrameJob(const std::string& frame, ULONGLONG ullDue) const
{
    Job job;
    job.ullDue = ullDue;
    job.pieces.push_back(Piece{frame + m_script.m_lineEnd, 0});
    if (IsSlp(SplitFields(frame)))
        job.slpFrames.push_back(frame);
    return job;
}

CSimSession::Job CSimSession::PaceJob(const ScriptPace& pace, ULONGLONG ullDue)
{
    Job job;
    job.ullDue = ullDue;
    job.paceCount = pace.count;
    job.paceRate = pace.rate;
    job.paceFrame = pace.frame;
    return job;
}

CSimSession::Job CSimSession::HostileJob(const ScriptHostile& hostile, ULONGLONG ullDue)
{
    Job job;
    job.ullDue = ullDue;
    job.hostileCount = hostile.count;
    job.hostileSeed = hostile.seed;
    job.hostileKind = hostile.kind;
    return job;
}

bool CSimSession::Send(Job& job, std::string& reason)
{
    if (job.hostileCount > 0)
        return SendHostile(job, reason);
    if (job.floodCount > 0)
        return SendFlood(job, reason);
    if (job.paceCount > 0) {
        StartPace(job);
        return true;
    }
    if (job.flowByte != 0)
        return SendFlowByte(job, reason);
    ExpectEchoes(job.slpFrames);
    for (const Piece& piece : job.pieces) {
        if (piece.dwPauseBeforeMs > 0 && WaitForSingleObject(m_hStop, piece.dwPauseBeforeMs) == WAIT_OBJECT_0) {
            reason = "stop";
            return false;
        }
        // Logged before the write, so the log reads in the order the peer sees things.
        m_log.Line("TX \"%s\"", Escape(piece.bytes).c_str());
        if (!m_link.Write(piece.bytes.data(), piece.bytes.size(), m_hStop, reason))
            return false;
    }
    ArmEchoDeadlines();
    return true;
}

bool CSimSession::SendFlood(Job& job, std::string& reason)
{
    m_log.Line("FLOOD %lu x \"%s\"", job.floodCount, Escape(job.floodFrame).c_str());
    std::string block;
    std::vector<std::string> slpFrames;
    unsigned long long ullBytes = 0;
    for (unsigned long i = 1; i <= job.floodCount; ++i) {
        const std::string frame = Numbered(job.floodFrame, i);
        block += frame;
        block += m_script.m_lineEnd;
        if (IsSlp(SplitFields(frame)))
            slpFrames.push_back(frame);
        if (block.size() >= kFloodBlock || i == job.floodCount) {
            ExpectEchoes(slpFrames);
            if (!m_link.Write(block.data(), block.size(), m_hStop, reason)) {
                m_log.Line("FLOOD broken after %llu bytes", ullBytes);
                return false;
            }
            ArmEchoDeadlines();
            ullBytes += block.size();
            block.clear();
            slpFrames.clear();
        }
    }
    m_log.Line("FLOOD done %lu frames %llu bytes", job.floodCount, ullBytes);
    return true;
}

bool CSimSession::SendHostile(const Job& job, std::string& reason)
{
    const char* lpKind = HostileKindName(job.hostileKind);
    m_log.Line("HOSTILE %lu bytes seed %lu %s", job.hostileCount, job.hostileSeed, lpKind);
    CHostileBytes source(job.hostileSeed, job.hostileKind, m_link.EatsFlowControlBytes());
    std::string block(kFloodBlock, '\0');
    unsigned long ulSent = 0;
    while (ulSent < job.hostileCount) {
        const size_t cb = std::min<size_t>(kFloodBlock, job.hostileCount - ulSent);
        source.Next(&block[0], cb);
        if (!m_link.Write(block.data(), cb, m_hStop, reason)) {
            m_log.Line("HOSTILE broken after %lu bytes", ulSent);
            return false;
        }
        ulSent += static_cast<unsigned long>(cb);
    }
    m_log.Line("HOSTILE done %lu bytes", ulSent);
    return true;
}

bool CSimSession::SendFlowByte(const Job& job, std::string& reason)
{
    // Logged before the write, as TX lines are, so the log reads in the order the peer sees
    // things: bytes that XOFF held back show up after "XON sent".
    m_log.Line("%s sent", job.flowByte == kXoff ? "XOFF" : "XON");
    if (!m_link.Write(&job.flowByte, 1, m_hStop, reason))
        return false;
    if (job.flowByte == kXoff) {
        Job xon;
        xon.ullDue = GetTickCount64() + job.dwXonAfterMs;
        xon.flowByte = kXon;
        Plan(std::move(xon));
    }
    return true;
}

void CSimSession::StartPace(const Job& job)
{
    m_log.Line("PACE %lu x \"%s\" at %lu/s", job.paceCount, Escape(job.paceFrame).c_str(), job.paceRate);
    Pace pace;
    pace.count = job.paceCount;
    pace.rate = job.paceRate;
    pace.frame = job.paceFrame;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    pace.llStart = now.QuadPart;
    m_paces.push_back(std::move(pace));
}

LONGLONG CSimSession::PaceDue(const Pace& pace, unsigned long ulFrame) const
{
    // At most 10^7 frames times the counter's ticks a second: far from overflowing.
    const unsigned long long ullOffset =
        static_cast<unsigned long long>(ulFrame - 1) * static_cast<unsigned long long>(m_llTicksPerSecond) / pace.rate;
    return pace.llStart + static_cast<LONGLONG>(ullOffset);
}

bool CSimSession::SendDuePaces(std::string& reason)
{
    if (m_paces.empty())
        return true;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // Everything due goes in one write, in the order of the due times: frames due closer
    // together than the wait's resolution, or while a write was held up, leave at once and
    // the schedule itself stays where it was.
    std::vector<LONGLONG> firstDue(m_paces.size(), 0);
    std::vector<unsigned long> frames(m_paces.size(), 0);
    std::vector<unsigned long long> bytes(m_paces.size(), 0);
    std::string block;
    std::vector<std::string> slpFrames;
    m_bPaceBacklog = false;
    for (;;) {
        size_t best = m_paces.size();
        LONGLONG llBestDue = 0;
        for (size_t i = 0; i < m_paces.size(); ++i) {
            if (m_paces[i].next > m_paces[i].count)
                continue;
            const LONGLONG llDue = PaceDue(m_paces[i], m_paces[i].next);
            if (llDue <= now.QuadPart && (best == m_paces.size() || llDue < llBestDue)) {
                best = i;
                llBestDue = llDue;
            }
        }
        if (best == m_paces.size())
            break;
        if (block.size() >= kPaceBlock) {
            m_bPaceBacklog = true;
            break;
        }
        Pace& pace = m_paces[best];
        const std::string frame = Numbered(pace.frame, pace.next++);
        if (frames[best]++ == 0)
            firstDue[best] = llBestDue;
        bytes[best] += frame.size() + m_script.m_lineEnd.size();
        block += frame;
        block += m_script.m_lineEnd;
        if (IsSlp(SplitFields(frame)))
            slpFrames.push_back(frame);
    }
    if (block.empty())
        return true;
    ExpectEchoes(slpFrames);
    if (!ClaimLink()) {
        reason = "stop";
        return false;
    }
    const bool bWritten = m_link.Write(block.data(), block.size(), m_hStop, reason);
    ReleaseLink();
    if (!bWritten)
        return false;
    ArmEchoDeadlines();
    LARGE_INTEGER written;
    QueryPerformanceCounter(&written);

    auto ms = [this](LONGLONG llTicks) {
        return static_cast<double>(llTicks) * 1000.0 / static_cast<double>(m_llTicksPerSecond);
    };
    for (size_t i = 0; i < m_paces.size(); ++i) {
        if (frames[i] == 0)
            continue;
        Pace& pace = m_paces[i];
        pace.sent += frames[i];
        pace.ullBytes += bytes[i];
        // The first frame of this write waited longest.
        pace.llMostLate = std::max(pace.llMostLate, written.QuadPart - firstDue[i]);
        pace.llLastWriteEnd = written.QuadPart;
    }
    for (auto it = m_paces.begin(); it != m_paces.end();) {
        if (it->sent < it->count) {
            ++it;
            continue;
        }
        m_log.Line("PACE done %lu frames in %.1f ms, at most %.1f ms behind schedule, %llu bytes", it->count,
                   ms(it->llLastWriteEnd - it->llStart), ms(it->llMostLate), it->ullBytes);
        it = m_paces.erase(it);
    }
    return true;
}

DWORD CSimSession::MsToNextPaceFrame() const
{
    if (m_paces.empty())
        return INFINITE;
    if (m_bPaceBacklog)
        return 0;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    // At least a few milliseconds, and rounded up: frames that fall due meanwhile leave
    // together in the next write, as a port's driver hands the line its bytes in blocks,
    // instead of one small write after the other keeping a core (and, under Wine, the
    // server that every write goes through) busy on a machine the program shares.
    DWORD dwMs = INFINITE;
    for (const Pace& pace : m_paces) {
        const LONGLONG llLeft = PaceDue(pace, pace.next) - now.QuadPart;
        const DWORD dwLeft =
            llLeft <= 0 ? 0 : static_cast<DWORD>((llLeft * 1000 + m_llTicksPerSecond - 1) / m_llTicksPerSecond);
        dwMs = std::min(dwMs, dwLeft);
    }
    return std::max<DWORD>(dwMs, kPaceMinGapMs);
}

void CSimSession::ExpectEchoes(const std::vector<std::string>& frames)
{
    if (frames.empty())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const std::string& frame : frames) {
        const FrameFields f = SplitFields(frame);
        PendingEcho e;
        e.slpFrame = frame;
        e.word = f.word;
        // The workstation turns the S of the class into E and always answers with data 001.
        e.expected = "[E" + f.cls.substr(1) + "_" + f.word + "_001]";
        m_echoes.push_back(e);
    }
}

void CSimSession::ArmEchoDeadlines()
{
    const ULONGLONG ullDeadline = GetTickCount64() + m_script.m_dwEchoTimeoutMs;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (PendingEcho& e : m_echoes) {
        if (e.ullDeadline == 0)
            e.ullDeadline = ullDeadline;
    }
}

ULONGLONG CSimSession::CheckEchoDeadlines(ULONGLONG ullNow)
{
    ULONGLONG ullNext = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    // Deadlines are armed in the order the frames were queued and all with the same time-out,
    // so they never fall along the queue: the first one not yet due ends the walk.
    for (auto it = m_echoes.begin(); it != m_echoes.end();) {
        if (it->ullDeadline != 0 && ullNow >= it->ullDeadline) {
            if (m_script.m_bEchoSummary)
                CountEcho(m_ulEchoMissing);
            else
                m_log.Line("echo missing for \"%s\"", Escape(it->slpFrame).c_str());
            it = m_echoes.erase(it);
            continue;
        }
        if (it->ullDeadline != 0) {
            ullNext = it->ullDeadline;
            break;
        }
        ++it;
    }
    return ullNext;
}

void CSimSession::ReportMissingEchoes(const char* lpWhy)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const PendingEcho& e : m_echoes) {
        if (m_script.m_bEchoSummary)
            CountEcho(m_ulEchoMissing);
        else
            m_log.Line("echo missing for \"%s\" (%s)", Escape(e.slpFrame).c_str(), lpWhy);
    }
    m_echoes.clear();
}

void CSimSession::CountEcho(unsigned long& counter)
{
    ++counter;
    // A progress line every 10 000 echoes tells a long run how far the echoes have come (and
    // when, by its time) without a line each.
    if (++m_ulEchoCounted % 10000 == 0)
        m_log.Line("ECHO progress ok=%lu wrong=%lu missing=%lu unexpected=%lu duplicate=%lu", m_ulEchoOk,
                   m_ulEchoWrong, m_ulEchoMissing, m_ulEchoUnexpected, m_ulEchoDuplicate);
}

} // namespace simunit
