#include "comm/procedure/ProcedureRun.h"

#include "comm/protocol/Notify.h"
#include "comm/protocol/RecvKind.h"

#include <cstdio>

namespace {

constexpr UINT_PTR kTickTimer = 1;

std::wstring Milliseconds(double dMs)
{
    wchar_t sz[32] = {};
    if (dMs >= 1000.0 && static_cast<long long>(dMs) % 1000 == 0)
        _snwprintf(sz, 31, L"%lld s", static_cast<long long>(dMs / 1000.0));
    else
        _snwprintf(sz, 31, L"%.0f ms", dMs);
    return sz;
}

} // namespace

CProcedureRun::CProcedureRun(CCommandExchange& exchange, CCommInbox& inbox, IProcedureHost& host)
    : m_exchange(exchange),
      m_inbox(inbox),
      m_host(host),
      m_window([this](UINT message, WPARAM wParam, LPARAM lParam) { return OnMessage(message, wParam, lParam); })
{
    ::QueryPerformanceFrequency(&m_frequency);
}

CProcedureRun::~CProcedureRun()
{
    if (m_window.Handle() != nullptr)
        ::KillTimer(m_window.Handle(), kTickTimer);
}

double CProcedureRun::NowMs() const
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(m_frequency.QuadPart);
}

bool CProcedureRun::Start(const Procedure& procedure, const ReportInfo& header, const std::wstring& reportFolder,
                          bool bUnattended, std::wstring& error)
{
    if (IsRunning()) {
        error = L"a procedure is running already";
        return false;
    }
    if (m_window.Handle() == nullptr) {
        error = L"the procedure's window could not be made";
        return false;
    }
    if (procedure.steps.empty()) {
        error = L"the procedure has no steps";
        return false;
    }
    if (bUnattended && procedure.HasAsk()) {
        error = L"the procedure asks the engineer (\"ask\"), and no one is there to answer";
        return false;
    }
    if (!m_exchange.IsConnected()) {
        error = L"the link is closed";
        return false;
    }
    m_procedure = procedure;
    m_info = header;
    m_info.procedureName = procedure.name;
    m_info.procedureHash = procedure.hash;
    m_info.steps.clear();
    m_info.outcome.clear();
    ::GetLocalTime(&m_info.start);
    m_folder = reportFolder;
    m_nStep = 0;
    m_bStopOnFail = true;
    m_bAnyFailed = false;
    // Replies still owed by an earlier run's commands come only while their link lasts.
    if (m_nOwedSession != m_exchange.Session())
        m_nOwedReplies = 0;
    m_nScanFromSeq = m_inbox.Record().NextSeq();
    m_nStepSeq = m_nScanFromSeq;
    m_inbox.WriteLine(LOG_KIND_DATA, (L"Procedure " + procedure.name + L" started: " + std::to_wstring(procedure.steps.size()) +
                                     L" steps, " + std::to_wstring(procedure.CountChecks()) + L" checks (SHA-256 " +
                                     procedure.hash.substr(0, 16) + L"...)").c_str());
    ::SetTimer(m_window.Handle(), kTickTimer, kTickMs, nullptr);
    Advance();
    return true;
}

void CProcedureRun::Stop()
{
    if (IsRunning())
        End(ProcedureOutcome::Result::Stopped, L"stopped by the engineer");
}

bool CProcedureRun::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_TIMER && wParam == kTickTimer) {
        OnTick();
        return true;
    }
    if (message == WM_SERIAL_EPM) {
        const std::wstring text = wParam != 0 ? reinterpret_cast<const wchar_t*>(wParam) : L"";
        FreeNotifyText(wParam);
        OnReply(text, static_cast<int>(lParam));
        return true;
    }
    return false;
}

void CProcedureRun::Advance()
{
    while (m_state == State::Idle && m_nStep < m_procedure.steps.size()) {
        const ProcedureStep& step = m_procedure.steps[m_nStep];
        m_dStepStartMs = NowMs();
        m_nPreviousStepSeq = m_nStepSeq;
        m_nStepSeq = m_inbox.Record().NextSeq();
        m_info.steps.push_back(StepResult{});
        StepResult& result = m_info.steps.back();
        result.nIndex = static_cast<int>(m_nStep) + 1;
        result.nLine = step.nLine;
        result.step = step.source;
        switch (step.type) {
        case ProcedureStep::Type::StopOnFail:
        case ProcedureStep::Type::ContinueOnFail:
            m_bStopOnFail = step.type == ProcedureStep::Type::StopOnFail;
            Verdict(StepVerdict::Note, m_bStopOnFail ? L"a failed step ends the run" : L"a failed step does not end the run");
            break;
        case ProcedureStep::Type::Note:
            m_inbox.WriteLine(LOG_KIND_DATA, (L"NOTE  " + step.text).c_str());
            Verdict(StepVerdict::Note, step.text);
            break;
        default:
            // A link that ended between two steps ends the run before the next check.
            if (!m_exchange.IsConnected()) {
                // Marked as under way, so that the end counts it skipped with the rest.
                m_state = State::Waiting;
                End(ProcedureOutcome::Result::Failed, L"the link ended in the middle of the run");
                return;
            }
            m_host.ProcedureProgress(static_cast<int>(m_nStep), static_cast<int>(m_procedure.steps.size()), step.source);
            StartStep(step);
            break;
        }
    }
    if (m_state == State::Idle && m_nStep >= m_procedure.steps.size())
        End(m_bAnyFailed ? ProcedureOutcome::Result::Failed : ProcedureOutcome::Result::Passed, L"");
}

void CProcedureRun::StartStep(const ProcedureStep& step)
{
    StepResult& result = m_info.steps.back();
    m_dDeadlineMs = step.nWithinMs > 0 ? m_dStepStartMs + step.nWithinMs : 0;
    switch (step.type) {
    case ProcedureStep::Type::Wait:
        m_state = State::Waiting;
        return;
    case ProcedureStep::Type::Expect:
        // A frame from the unit since the step before this one began counts: the unit may
        // answer what that step did before this one starts to look. One an earlier
        // expectation took does not count again.
        if (m_nScanFromSeq < m_nPreviousStepSeq)
            m_nScanFromSeq = m_nPreviousStepSeq;
        if (m_dDeadlineMs == 0)
            m_dDeadlineMs = m_dStepStartMs + CCommandExchange::GetAnswerTimeOut(step.pattern.c_str());
        m_state = State::AwaitFrame;
        return;
    case ProcedureStep::Type::Ask: {
        m_state = State::Asking;
        const bool bYes = m_host.ProcedureAsk(step.text);
        // A Stop or a lost link while the question was up ended the run already.
        if (m_state != State::Asking)
            return;
        m_state = State::Idle;
        Verdict(bYes ? StepVerdict::Pass : StepVerdict::Fail, bYes ? L"the engineer answered Yes" : L"the engineer answered No");
        return;
    }
    case ProcedureStep::Type::Send: {
        result.sent = step.frame;
        const bool bExpect = !step.pattern.empty();
        if (!m_exchange.Send(step.frame.c_str(), m_window.Handle(), bExpect ? enRECV_COMMAND : enRECV_NONE, false)) {
            Verdict(StepVerdict::Fail, L"not sent: the link is closed, the frame does not fit or the queue is full");
            return;
        }
        if (!bExpect) {
            Verdict(StepVerdict::Pass, L"sent");
            return;
        }
        m_state = State::AwaitAnswer;
        return;
    }
    default:
        Verdict(StepVerdict::Note, L"");
        return;
    }
}

void CProcedureRun::OnTick()
{
    if (!IsRunning() || m_state == State::Asking)
        return;
    if (!m_exchange.IsConnected()) {
        // An answer that came just before the link ended is in the record, though its report
        // went with the link.
        std::wstring answer;
        double dRoundTrip = -1;
        if (m_state == State::AwaitAnswer && AnswerInRecord(answer, dRoundTrip))
            Judge(answer, dRoundTrip);
        End(ProcedureOutcome::Result::Failed, L"the link ended in the middle of the run");
        return;
    }
    const ProcedureStep& step = m_procedure.steps[m_nStep];
    const double dNow = NowMs();
    if (m_state == State::Waiting) {
        if (dNow >= m_dDeadlineMs) {
            m_state = State::Idle;
            Verdict(StepVerdict::Pass, L"waited " + Milliseconds(step.nWithinMs));
        }
    } else if (m_state == State::AwaitFrame) {
        std::vector<CConsoleRecord::Line> lines;
        const unsigned long long nNext = m_inbox.Record().Copy(m_nScanFromSeq, 5000, lines);
        for (const CConsoleRecord::Line& line : lines) {
            if (line.nKind == LOG_KIND_RECV && MatchFramePattern(step.pattern, line.text)) {
                m_nScanFromSeq = line.nSeq + 1;
                m_info.steps.back().received = line.text;
                m_state = State::Idle;
                Verdict(StepVerdict::Pass, L"");
                Advance();
                return;
            }
        }
        m_nScanFromSeq = nNext;
        if (dNow >= m_dDeadlineMs) {
            m_state = State::Idle;
            Verdict(StepVerdict::Fail, L"no frame matching " + step.pattern + L" within " + Milliseconds(m_dDeadlineMs - m_dStepStartMs));
        }
    } else if (m_state == State::AwaitAnswer) {
        if (m_dDeadlineMs > 0 && dNow >= m_dDeadlineMs) {
            // The command stays with the exchange; its reply, when it comes, is dropped.
            OweReply();
            m_state = State::Idle;
            Verdict(StepVerdict::Fail, L"no answer within " + Milliseconds(step.nWithinMs));
        } else if (m_exchange.IsReady()) {
            // Nothing in flight or waiting, and every reply posted (they come before timers):
            // the command was dropped (the queue's Clear).
            m_state = State::Idle;
            Verdict(StepVerdict::Fail, L"the command was dropped before its answer came (the queue was cleared)");
        }
    }
    Advance();
}

void CProcedureRun::OnReply(const std::wstring& text, int nKind)
{
    if (m_nOwedReplies > 0) {
        --m_nOwedReplies;
        return;
    }
    if (m_state != State::AwaitAnswer)
        return;
    const ProcedureStep& step = m_procedure.steps[m_nStep];
    m_state = State::Idle;
    if (nKind == enRECV_TIMEOUT) {
        Verdict(StepVerdict::Fail, L"no answer within " + Milliseconds(CCommandExchange::GetAnswerTimeOut(step.frame.c_str())) +
                                       L" (the word's time-out)");
    } else {
        // The record's line of the answer carries its round trip.
        std::wstring answer = text;
        double dRoundTrip = -1;
        AnswerInRecord(answer, dRoundTrip);
        Judge(text, dRoundTrip);
    }
    Advance();
}

void CProcedureRun::Judge(const std::wstring& answer, double dRoundTripMs)
{
    const ProcedureStep& step = m_procedure.steps[m_nStep];
    StepResult& result = m_info.steps.back();
    result.received = answer;
    result.dRoundTripMs = dRoundTripMs;
    m_state = State::Idle;
    if (MatchFramePattern(step.pattern, answer))
        Verdict(StepVerdict::Pass, L"");
    else
        Verdict(StepVerdict::Fail, L"the answer does not match " + step.pattern);
}

bool CProcedureRun::AnswerInRecord(std::wstring& answer, double& dRoundTripMs) const
{
    // Answers are the received lines with a round trip. A command given up on earlier may be
    // answered after this step began: when the answer is known, its own line is looked for.
    std::vector<CConsoleRecord::Line> lines;
    m_inbox.Record().Copy(m_nStepSeq, 5000, lines);
    for (const CConsoleRecord::Line& line : lines) {
        if (line.nKind == LOG_KIND_RECV && line.llRoundTripUs >= 0 && (answer.empty() || line.text == answer)) {
            answer = line.text;
            dRoundTripMs = static_cast<double>(line.llRoundTripUs) / 1000.0;
            return true;
        }
    }
    return false;
}

void CProcedureRun::Verdict(StepVerdict verdict, const std::wstring& detail)
{
    StepResult& result = m_info.steps.back();
    result.verdict = verdict;
    result.detail = detail;
    result.dElapsedMs = NowMs() - m_dStepStartMs;
    ++m_nStep;
    if (verdict == StepVerdict::Note)
        return;
    // "PASS  3/12  [SPL_PANO] → [EPL_PANO_001]  302.1 ms"
    std::wstring line = VerdictWord(verdict);
    line.resize(6, L' ');
    line += std::to_wstring(result.nIndex) + L"/" + std::to_wstring(m_procedure.steps.size()) + L"  ";
    if (!result.sent.empty() || !result.received.empty())
        line += result.sent + (result.sent.empty() || result.received.empty() ? L"" : L" \x2192 ") + result.received;
    else
        line += result.step;
    if (result.dRoundTripMs >= 0) {
        wchar_t sz[32] = {};
        _snwprintf(sz, 31, L"  %.1f ms", result.dRoundTripMs);
        line += sz;
    }
    if (verdict == StepVerdict::Fail && !detail.empty())
        line += L"  (" + detail + L")";
    m_inbox.WriteLine(LOG_KIND_DATA, line.c_str());
    m_host.ProcedureProgress(static_cast<int>(m_nStep), static_cast<int>(m_procedure.steps.size()), result.step);
    if (verdict == StepVerdict::Fail) {
        m_bAnyFailed = true;
        if (m_bStopOnFail)
            End(ProcedureOutcome::Result::Failed, L"step " + std::to_wstring(result.nIndex) + L" failed (line " +
                                                      std::to_wstring(result.nLine) + L")");
    }
}

void CProcedureRun::OweReply()
{
    if (m_nOwedSession != m_exchange.Session())
        m_nOwedReplies = 0;
    m_nOwedSession = m_exchange.Session();
    ++m_nOwedReplies;
}

void CProcedureRun::End(ProcedureOutcome::Result result, const std::wstring& reason)
{
    if (m_state == State::Idle && m_nStep > m_procedure.steps.size())
        return;
    ::KillTimer(m_window.Handle(), kTickTimer);
    // A command that awaits its answer still gets it (or its time-out) here, to be dropped.
    if (m_state == State::AwaitAnswer)
        OweReply();
    // The step under way has no verdict: it is skipped, as is every step after it.
    if (m_state != State::Idle && !m_info.steps.empty() && m_nStep < m_procedure.steps.size()) {
        m_info.steps.back().detail = reason;
        m_info.steps.back().dElapsedMs = NowMs() - m_dStepStartMs;
        ++m_nStep;
    }
    m_state = State::Idle;
    for (size_t i = m_nStep; i < m_procedure.steps.size(); ++i) {
        const ProcedureStep& step = m_procedure.steps[i];
        StepResult skipped;
        skipped.nLine = step.nLine;
        skipped.step = step.source;
        const bool bCheck = step.type == ProcedureStep::Type::Send || step.type == ProcedureStep::Type::Expect ||
                            step.type == ProcedureStep::Type::Wait || step.type == ProcedureStep::Type::Ask;
        skipped.verdict = bCheck ? StepVerdict::Skipped : StepVerdict::Note;
        m_info.steps.push_back(skipped);
    }
    for (size_t i = 0; i < m_info.steps.size(); ++i)
        m_info.steps[i].nIndex = static_cast<int>(i) + 1;
    m_nStep = m_procedure.steps.size() + 1; // ended

    ProcedureOutcome outcome;
    outcome.result = result;
    outcome.reason = reason;
    for (const StepResult& step : m_info.steps) {
        outcome.nPassed += step.verdict == StepVerdict::Pass ? 1 : 0;
        outcome.nFailed += step.verdict == StepVerdict::Fail ? 1 : 0;
        outcome.nSkipped += step.verdict == StepVerdict::Skipped ? 1 : 0;
    }
    const wchar_t* lpResult = result == ProcedureOutcome::Result::Passed ? L"passed" : result == ProcedureOutcome::Result::Failed ? L"failed" : L"stopped";
    m_info.outcome = lpResult;
    if (!reason.empty())
        m_info.outcome += L": " + reason;
    ::GetLocalTime(&m_info.end);
    std::wstring line = L"Procedure " + m_info.procedureName + L" " + m_info.outcome + L"; " + std::to_wstring(outcome.nPassed) +
                        L" passed, " + std::to_wstring(outcome.nFailed) + L" failed, " + std::to_wstring(outcome.nSkipped) + L" skipped";
    if (WriteProcedureReport(m_folder, m_info, outcome.textPath, outcome.htmlPath, outcome.reportError)) {
        line += L"; report " + outcome.htmlPath;
    } else {
        outcome.textPath.clear();
        outcome.htmlPath.clear();
        line += L"; the report could not be written: " + outcome.reportError;
    }
    m_inbox.WriteLine(LOG_KIND_DATA, line.c_str());
    m_host.ProcedureEnded(outcome);
}
