// A service procedure: a fixed sequence of checks on the unit, read from a plain UTF-8 text
// file, one step a line. '#' starts a comment, blank lines are ignored. Steps:
//   send [SPL_PANO]                              the command goes; passes once it has gone
//   send [SPL_PANO] expect [EPL_PANO_*] within 5 s
//                                                and its answer must match the expectation
//   expect [SMP_STAT_READY] within 10 s          a frame the unit sends by itself
//   wait 2 s                                     (or "500 ms")
//   note "text"                                  goes into the report
//   ask "Is the door closed?"                    the engineer answers Yes or No; No fails
//   stop-on-fail | continue-on-fail              what a failed step does to the rest
// An expectation is a whole frame or a pattern with '*' (any run of characters) and '?' (one
// character). "within" is optional (the command word's answer time-out otherwise) and lies
// between 1 ms and one hour. A procedure is read whole and checked before anything is sent:
// one malformed line refuses all of it, with the line's number and the reason.
#pragma once

#include <string>
#include <vector>

struct ProcedureStep {
    enum class Type { Send, Expect, Wait, Note, Ask, StopOnFail, ContinueOnFail };
    Type type = Type::Note;
    int nLine = 0;            // its line in the file, from 1
    std::wstring source;      // the line as written, without its comment and outer spaces
    std::wstring frame;       // Send: the frame that goes, "[SPL_PANO]"
    std::wstring pattern;     // Send with expect, Expect: what the answer must match; else empty
    int nWithinMs = -1;       // Send with expect, Expect: its bound, -1 for the word's time-out;
                              // Wait: how long
    std::wstring text;        // Note, Ask: the text between the quotes
};

struct Procedure {
    std::wstring name;        // the file's name, without its folder
    std::wstring hash;        // SHA-256 of the file's bytes, 64 lower-case hex digits
    std::vector<ProcedureStep> steps;

    bool HasAsk() const;
    // Steps that get a verdict: send, expect, wait and ask.
    int CountChecks() const;
};

// Files larger than this are refused unread.
constexpr unsigned long kMaxProcedureBytes = 1u << 20;
// The longest "within" or "wait".
constexpr int kMaxStepMs = 3600 * 1000;

// Checks the bytes of a procedure file (UTF-8, an optional byte-order mark). False, with the
// reason in error ("line 4: unknown step \"sendd\""; "not UTF-8 text"; "no steps"), when the
// bytes are not UTF-8 text or any line is malformed; out is then left empty.
bool ParseProcedure(const std::string& bytes, const std::wstring& name, Procedure& out, std::wstring& error);
// Reads a procedure file and parses it; refuses a file that is missing, unreadable or larger
// than kMaxProcedureBytes, with the reason.
bool LoadProcedure(const std::wstring& path, Procedure& out, std::wstring& error);

// Whether a frame matches an expectation: '*' stands for any run of characters (none
// included), '?' for one character, every other character for itself (case counts).
bool MatchFramePattern(const std::wstring& pattern, const std::wstring& frame);
