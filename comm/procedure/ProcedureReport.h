// The service report of one run of a procedure: a plain text file and one self-contained,
// printable HTML page (an inline SVG chart of the round trips, no scripts, no outside files),
// written side by side as Report-YYYYMMDD-HHMMSS.txt and .html (the run's start, local time).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

enum class StepVerdict { Pass, Fail, Skipped, Note };

struct StepResult {
    int nIndex = 0;             // the step's place in the procedure, from 1
    int nLine = 0;              // its line in the file
    std::wstring step;          // the step as written
    StepVerdict verdict = StepVerdict::Skipped;
    std::wstring sent;          // the frame sent, if any
    std::wstring received;      // the frame received, if any
    double dRoundTripMs = -1;   // the command's round trip; -1: none
    double dElapsedMs = 0;      // how long the step took
    std::wstring detail;        // why it failed, a note's text, the engineer's answer
};

struct ReportInfo {
    std::wstring workstation;   // the computer's name
    std::wstring version;       // the program's version
    std::wstring link;          // "COM5 at 115200 baud" or "192.168.0.10 port 20130"
    std::wstring procedureName;
    std::wstring procedureHash;
    SYSTEMTIME start{};         // local time
    SYSTEMTIME end{};
    std::wstring outcome;       // "passed", "failed" or "stopped", with its reason when any
    std::vector<StepResult> steps;
};

// "PASS", "FAIL", "SKIPPED" or "NOTE".
const wchar_t* VerdictWord(StepVerdict verdict);
// The report as UTF-8 text, and as an HTML page (UTF-8).
std::string ReportText(const ReportInfo& info);
std::string ReportHtml(const ReportInfo& info);
// Writes both files into folder (made when missing). False, with the reason, when either
// could not be written whole; the paths are those of the files.
bool WriteProcedureReport(const std::wstring& folder, const ReportInfo& info, std::wstring& textPath,
                          std::wstring& htmlPath, std::wstring& error);
