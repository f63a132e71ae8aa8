// One run of a service procedure through the link's command exchange, step after step, on
// the user-interface thread. A command goes as a console Send goes (one in flight, the
// queue, its word's time-out) with the run's own window as the one that hears its answer or
// its time-out; a frame the unit sends by itself is looked for in the console's record. Each
// step's verdict becomes a console line, and the run's end a service report beside the
// session record. Made and used on the user-interface thread only; owned by the link
// manager.
#pragma once

#include "comm/exchange/CommandExchange.h"
#include "comm/procedure/Procedure.h"
#include "comm/procedure/ProcedureReport.h"
#include "comm/record/CommInbox.h"
#include "framework/MessageWindow.h"

#include <windows.h>

#include <string>
#include <vector>

// How a run ended.
struct ProcedureOutcome {
    enum class Result { Passed, Failed, Stopped } result = Result::Failed;
    int nPassed = 0;
    int nFailed = 0;
    int nSkipped = 0;
    std::wstring reason;      // why it failed or stopped, when not a step's own verdict
    std::wstring textPath;    // the report's files; empty when they could not be written
    std::wstring htmlPath;
    std::wstring reportError; // why not
};

// What a run asks of the one who started it (user-interface thread).
class IProcedureHost {
public:
    // The engineer's answer to a question: true for Yes. Never called by an unattended run.
    virtual bool ProcedureAsk(const std::wstring& question) = 0;
    // The step under way changed: nDone steps of nSteps are done; text is the step.
    virtual void ProcedureProgress(int nDone, int nSteps, const std::wstring& text) = 0;
    // The run ended and its report is written (or could not be).
    virtual void ProcedureEnded(const ProcedureOutcome& outcome) = 0;

protected:
    ~IProcedureHost() = default;
};

class CProcedureRun {
public:
    CProcedureRun(CCommandExchange& exchange, CCommInbox& inbox, IProcedureHost& host);
    ~CProcedureRun();
    CProcedureRun(const CProcedureRun&) = delete;
    CProcedureRun& operator=(const CProcedureRun&) = delete;

    // Starts the procedure; header names the workstation, program and link for the report,
    // which goes into reportFolder. False, with the reason and nothing sent, when a run is
    // under way, the link is closed, or an unattended run would have to ask.
    bool Start(const Procedure& procedure, const ReportInfo& header, const std::wstring& reportFolder, bool bUnattended,
               std::wstring& error);
    // The engineer's Stop: the run ends as stopped, with its report.
    void Stop();
    bool IsRunning() const { return m_state != State::Idle; }

    // How often a running procedure looks at its deadlines, the link and the record.
    static constexpr UINT kTickMs = 50;

private:
    enum class State { Idle, Waiting, AwaitAnswer, AwaitFrame, Asking };

    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnTick();
    void OnReply(const std::wstring& text, int nKind);
    // Goes through the steps that need no waiting until one does, or the run ends.
    void Advance();
    void StartStep(const ProcedureStep& step);
    // The current step's verdict; the run goes on (or ends) at the next Advance.
    void Verdict(StepVerdict verdict, const std::wstring& detail);
    void End(ProcedureOutcome::Result result, const std::wstring& reason);
    // A command given up on: its answer or time-out will come and is dropped.
    void OweReply();
    // The answer's verdict against the current step's expectation.
    void Judge(const std::wstring& answer, double dRoundTripMs);
    // The first answer the record holds since the current step began (the one given in
    // answer, when not empty), with its round trip.
    bool AnswerInRecord(std::wstring& answer, double& dRoundTripMs) const;
    double NowMs() const;

    CCommandExchange& m_exchange;
    CCommInbox& m_inbox;
    IProcedureHost& m_host;

    // User-interface thread only.
    State m_state = State::Idle;
    Procedure m_procedure;
    ReportInfo m_info;
    std::wstring m_folder;
    size_t m_nStep = 0;               // the step under way (or next)
    bool m_bStopOnFail = true;
    bool m_bAnyFailed = false;
    double m_dStepStartMs = 0;
    double m_dDeadlineMs = 0;         // 0: none of the run's own (the exchange's time-out rules)
    unsigned long long m_nStepSeq = 0;     // the record's next line when the step began
    unsigned long long m_nPreviousStepSeq = 0; // and when the step before it began
    unsigned long long m_nScanFromSeq = 0; // where an expectation looks from
    int m_nOwedReplies = 0;           // replies of commands given up on, to be dropped
    int m_nOwedSession = 0;           // the link session they belong to
    LARGE_INTEGER m_frequency{};

    // Hears the answers and time-outs of the run's commands and ticks the run.
    CMessageWindow m_window;
};
