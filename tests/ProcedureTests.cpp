// Procedure files (their lines, their bytes, their hash), the matching of answers against an
// expectation, and the service report written from a run's results.
#include "comm/procedure/Procedure.h"
#include "comm/procedure/ProcedureReport.h"
#include "comm/record/SessionLog.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testsupport::MakeScratchDir;
using testsupport::ReadFileBytes;
using Type = ProcedureStep::Type;

namespace {

std::wstring ToWide(const std::string& text)
{
    std::wstring out(text.size(), L'\0');
    const int cch = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                                        static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(cch));
    return out;
}

bool WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE hFile = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD cbWritten = 0;
    const BOOL bWritten = WriteFile(hFile, bytes.data(), static_cast<DWORD>(bytes.size()), &cbWritten, nullptr);
    CloseHandle(hFile);
    return hFile != INVALID_HANDLE_VALUE && bWritten && cbWritten == bytes.size();
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Frame(size_t nChars)
{
    std::string frame(nChars, 'X');
    frame.front() = '[';
    frame.back() = ']';
    return frame;
}

} // namespace

TEST(ProcedureParse, GoodLinesGiveTheirSteps)
{
    struct Case {
        std::string line;
        Type type;
        std::wstring frame, pattern;
        int nMs;
        std::wstring text, source;
    };
    const std::wstring longest = ToWide(Frame(257));
    const std::vector<Case> cases = {
        {"send [SPL_PANO]", Type::Send, L"[SPL_PANO]", L"", -1, L"", L"send [SPL_PANO]"},
        {"  send [SPL_PANO] expect [EPL_PANO_*] within 5 s   # pano ", Type::Send, L"[SPL_PANO]", L"[EPL_PANO_*]", 5000,
         L"", L"send [SPL_PANO] expect [EPL_PANO_*] within 5 s"},
        {"send [A B]\texpect *_001] within 250 ms", Type::Send, L"[A B]", L"*_001]", 250, L"", L""},
        {"send " + Frame(257), Type::Send, longest, L"", -1, L"", L""},
        {"expect [SMP_STAT_READY] within 1.5 s", Type::Expect, L"", L"[SMP_STAT_READY]", 1500, L"", L""},
        {"expect [EPL_PANO_* within 0.001 s", Type::Expect, L"", L"[EPL_PANO_*", 1, L"", L""},
        {"expect *", Type::Expect, L"", L"*", -1, L"", L""},
        {"expect [" + std::string(253, 'X') + "*]", Type::Expect, L"", L"[" + std::wstring(253, L'X') + L"*]", -1, L"", L""},
        {"wait 2 s", Type::Wait, L"", L"", 2000, L"", L""},
        {"wait 500 ms", Type::Wait, L"", L"", 500, L"", L""},
        {"wait 3600 s", Type::Wait, L"", L"", 3600000, L"", L""},
        {"wait 007.50 s", Type::Wait, L"", L"", 7500, L"", L""},
        {"note \"Put the \\\"phantom\\\" in # not a comment\" # a comment", Type::Note, L"", L"", -1,
         L"Put the \"phantom\" in # not a comment", L"note \"Put the \\\"phantom\\\" in # not a comment\""},
        {"ask \"C:\\\\Temp \\\\ ok?\"", Type::Ask, L"", L"", -1, L"C:\\Temp \\ ok?", L""},
        {"stop-on-fail", Type::StopOnFail, L"", L"", -1, L"", L""},
        {"continue-on-fail # from here on", Type::ContinueOnFail, L"", L"", -1, L"", L"continue-on-fail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Procedure procedure;
        std::wstring error;
        ASSERT_TRUE(ParseProcedure("# first\r\n" + c.line, L"p.txt", procedure, error)) << ToUtf8(error);
        ASSERT_EQ(procedure.steps.size(), 1u);
        const ProcedureStep& step = procedure.steps[0];
        EXPECT_EQ(step.type, c.type);
        EXPECT_EQ(step.nLine, 2);
        EXPECT_EQ(step.frame, c.frame);
        EXPECT_EQ(step.pattern, c.pattern);
        EXPECT_EQ(step.nWithinMs, c.nMs);
        EXPECT_EQ(step.text, c.text);
        EXPECT_EQ(step.source, c.source.empty() ? ToWide(c.line) : c.source);
    }
}

TEST(ProcedureParse, BadLinesAreRefusedWithTheirLineAndReason)
{
    struct Case {
        std::string line;
        std::wstring reason;
    };
    const std::vector<Case> cases = {
        {"sendd [SPL_PANO]", L"unknown step \"sendd\""},
        {"Send [SPL_PANO]", L"unknown step \"Send\""},
        {"send", L"\"send\" needs a frame"},
        {"send SPL_PANO", L"\"send\" needs a frame in brackets"},
        {"send [SPL_PANO", L"unbalanced brackets in \"[SPL_PANO\""},
        {"send [SPL_PANO expect [EPL_PANO_*]", L"unbalanced brackets in \"[SPL_PANO\""},
        {"send [SPL_PANO]]", L"unbalanced brackets in \"[SPL_PANO]]\""},
        {"send [SPL_PANO]x", L"text after the \"]\" of \"[SPL_PANO]x\""},
        {"send [SPL_P\xC3\x84NO]", L"not printable ASCII"},
        {"send " + Frame(300), L"a frame longer than a command may be (300 characters, at most 257)"},
        {"send [SPL_PANO] within 5 s", L"\"within\" bounds an answer"},
        {"send [SPL_PANO] expct [EPL_PANO_*]", L"unexpected \"expct\" after the frame"},
        {"send [SPL_PANO] expect", L"\"expect\" needs a frame or a pattern"},
        {"expect EPL_PANO_001]", L"can never match a frame: it does not start with \"[\" or a wildcard"},
        {"expect [EPL[PANO]", L"unbalanced brackets in \"[EPL[PANO]\""},
        {"expect [EPL][PANO]", L"can never match a frame: it holds a bracket inside"},
        {"expect [EPL_PANO]x", L"can never match a frame: it has text after its \"]\""},
        {"expect [EPL_PANO", L"unbalanced brackets in \"[EPL_PANO\""},
        {"expect *PANO", L"can never match a frame: it ends in neither"},
        {"expect " + Frame(256), L"can never match a frame: 256 characters must be there, a frame has at most 255"},
        {"expect [X] within 0 s", L"\"within\" must be more than 0 and at most 1 hour"},
        {"expect [X] within 3600.001 s", L"\"within\" must be more than 0 and at most 1 hour"},
        {"expect [X] within 99999999999999999999 ms", L"\"within\" must be more than 0 and at most 1 hour"},
        {"expect [X] within 5", L"\"within\" needs a number and \"s\" or \"ms\", not \"5\""},
        {"expect [X] within 5s", L"\"within\" needs a number and \"s\" or \"ms\", not \"5s\""},
        {"expect [X] within 1.5 ms", L"\"within\" counts whole milliseconds"},
        {"expect [X] within 5 s later", L"unexpected \"later\" after the time"},
        {"wait 0 ms", L"\"wait\" must be more than 0 and at most 1 hour"},
        {"wait 3600001 ms", L"\"wait\" must be more than 0 and at most 1 hour"},
        {"wait -1 s", L"\"wait\" needs a number"},
        {"wait 1. s", L"\"wait\" needs a number"},
        {"note \"Put the phantom in", L"unclosed quote"},
        {"ask \"Closed?\\\" # no", L"unclosed quote"},
        {"note Put the phantom in", L"\"note\" needs its text in double quotes"},
        {"ask \"  \"", L"\"ask\" needs a text between its quotes"},
        {"ask \"Closed?\" now", L"unexpected \"now\" after the closing quote"},
        {"stop-on-fail now", L"unexpected \"now\" after \"stop-on-fail\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        Procedure procedure;
        std::wstring error;
        // The malformed line is the third; the fourth is malformed too, and is not reported.
        EXPECT_FALSE(ParseProcedure("send [A]\n\n" + c.line + "\nsendd [B]\n", L"p.txt", procedure, error));
        EXPECT_EQ(error.rfind(L"line 3: ", 0), 0u) << ToUtf8(error);
        EXPECT_NE(error.find(c.reason), std::wstring::npos) << ToUtf8(error);
        EXPECT_TRUE(procedure.steps.empty() && procedure.name.empty() && procedure.hash.empty());
    }
}

TEST(ProcedureParse, FilesAreCheckedWhole)
{
    struct Case {
        std::string bytes;
        std::wstring reason;       // empty: accepted
        std::vector<int> lines;    // of the steps, when accepted
    };
    const std::string bom = "\xEF\xBB\xBF";
    const std::string oneMb = "wait 1 s\n" + std::string(kMaxProcedureBytes - 10, '#') + "\n";
    const std::vector<Case> cases = {
        {bom + "send [A]\r\nwait 1 s\r\n", L"", {1, 2}},
        {"send [A]\r\n\rwait 1 s\n\nnote \"x\"\r\r\nstop-on-fail", L"", {1, 3, 5, 7}},
        {"# \xC3\xA9tape \xE2\x9C\x93\nask \"T\xC3\xBCr zu?\"", L"", {2}},
        {oneMb, L"", {1}},
        {oneMb + "#", L"larger than 1 MB", {}},
        {"send [A]\r\nnote \"\xFF\"\r\n", L"not UTF-8 text", {}},
        {"note \"\xC3\"", L"not UTF-8 text", {}},
        {"note \"\xED\xA0\x80\"", L"not UTF-8 text", {}},
        {std::string("send [A]\r\n\0\r\n", 13), L"not UTF-8 text", {}},
        {"", L"the procedure has no steps", {}},
        {bom, L"the procedure has no steps", {}},
        {"# only\r\n   # comments\r\n\t\r\n", L"the procedure has no steps", {}},
    };
    const std::wstring dir = MakeScratchDir(L"procfiles");
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const std::wstring path = dir + L"case" + std::to_wstring(i) + L".txt";
        ASSERT_TRUE(WriteBytes(path, cases[i].bytes));
        Procedure procedure;
        std::wstring error;
        const bool bLoaded = LoadProcedure(path, procedure, error);
        EXPECT_EQ(bLoaded, cases[i].reason.empty()) << ToUtf8(error);
        EXPECT_NE(error.find(cases[i].reason), std::wstring::npos) << ToUtf8(error);
        std::vector<int> lines;
        for (const ProcedureStep& step : procedure.steps)
            lines.push_back(step.nLine);
        EXPECT_EQ(lines, cases[i].lines);
    }
}

TEST(ProcedureParse, LargeAndMissingFilesAreRefusedWithTheirReason)
{
    const std::wstring dir = MakeScratchDir(L"proclarge");
    ASSERT_TRUE(WriteBytes(dir + L"large.txt", std::string(10u << 20, '#')));
    Procedure procedure;
    std::wstring error;
    EXPECT_FALSE(LoadProcedure(dir + L"large.txt", procedure, error));
    EXPECT_NE(error.find(L"larger than 1 MB"), std::wstring::npos) << ToUtf8(error);
    EXPECT_FALSE(LoadProcedure(dir + L"missing.txt", procedure, error));
    EXPECT_NE(error.find(L"cannot open"), std::wstring::npos) << ToUtf8(error);
}

TEST(ProcedureParse, HashIsTheSha256OfTheFilesBytes)
{
    const std::wstring dir = MakeScratchDir(L"prochash");
    ASSERT_TRUE(WriteBytes(dir + L"hash.txt", "send [SPL_PANO]\r\n"));
    Procedure procedure;
    std::wstring error;
    ASSERT_TRUE(LoadProcedure(dir + L"hash.txt", procedure, error)) << ToUtf8(error);
    EXPECT_EQ(procedure.name, L"hash.txt");
    // printf 'send [SPL_PANO]\r\n' | sha256sum
    EXPECT_EQ(procedure.hash, L"b9aee46895e19b6d17695d210d8a5dddec9c9f683f424f1a19b807cde2ec50ca");
}

TEST(ProcedureParse, ChecksAreTheStepsThatGetAVerdict)
{
    const std::string all = "stop-on-fail\nnote \"n\"\nsend [A]\nexpect [B]\nwait 1 s\ncontinue-on-fail\n";
    struct Case {
        std::string bytes;
        bool bAsk;
        int nChecks;
    };
    for (const Case& c : std::vector<Case>{{all, false, 3}, {all + "ask \"ok?\"", true, 4}, {"note \"n\"", false, 0}}) {
        Procedure procedure;
        std::wstring error;
        ASSERT_TRUE(ParseProcedure(c.bytes, L"p.txt", procedure, error)) << ToUtf8(error);
        EXPECT_EQ(procedure.HasAsk(), c.bAsk) << c.bytes;
        EXPECT_EQ(procedure.CountChecks(), c.nChecks) << c.bytes;
    }
}

TEST(ProcedureMatch, PatternsMatchFrames)
{
    struct Case {
        const wchar_t* lpPattern;
        const wchar_t* lpFrame;
        bool bMatch;
    };
    const Case cases[] = {
        {L"[SPL_PANO]", L"[SPL_PANO]", true},        {L"[SPL_PANO]", L"[spl_pano]", false},
        {L"[SPL_PANO]", L"[SPL_PANO]x", false},      {L"[EPL_PANO_*]", L"[EPL_PANO_001]", true},
        {L"[EPL_PANO_*]", L"[EPL_PANO_]", true},     {L"[EPL_PANO_*]", L"[EPL_CEPH_001]", false},
        {L"[EPL_PANO_*", L"[EPL_PANO_001]", true},   {L"*_001]", L"[EPL_PANO_001]", true},
        {L"*_001]", L"[EPL_PANO_002]", false},       {L"[EPL_*_001]", L"[EPL_PANO_001]", true},
        {L"[EPL_*_001]", L"[EPL_001_PANO_001]", true}, {L"[EPL_*_001]", L"[EPL_PANO_001_X]", false},
        {L"[EPL_PANO_00?]", L"[EPL_PANO_007]", true}, {L"[EPL_PANO_00?]", L"[EPL_PANO_00]", false},
        {L"[A**]", L"[A]", true},                    {L"*", L"[A]", true},
        {L"[?*?]", L"[A]", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(MatchFramePattern(c.lpPattern, c.lpFrame), c.bMatch) << ToUtf8(c.lpPattern) << " " << ToUtf8(c.lpFrame);
}

namespace {

ReportInfo SampleRun()
{
    ReportInfo info;
    info.workstation = L"SERVICE-07";
    info.version = L"1.0.0.0";
    info.link = L"COM5 at 115200 baud";
    info.procedureName = L"pano-check.txt";
    info.procedureHash = L"b9aee46895e19b6d17695d210d8a5dddec9c9f683f424f1a19b807cde2ec50ca";
    info.start = {2026, 12, 1, 7, 14, 3, 12, 0};
    info.end = {2026, 12, 1, 7, 14, 5, 40, 0};
    info.outcome = L"failed: step 5 did not pass";
    using V = StepVerdict;
    info.steps = {
        {1, 2, L"note \"Phantom in place\"", V::Note, L"", L"", -1, 0, L"Phantom in place"},
        {2, 3, L"send [SPL_PANO] expect [EPL_PANO_*] within 5 s", V::Pass, L"[SPL_PANO]", L"[EPL_PANO_001]", 302.1, 302.4, L""},
        {3, 4, L"send [SPM_CEPH] expect [EPM_CEPH_*]", V::Pass, L"[SPM_CEPH]", L"[EPM_CEPH_001]", 288.4, 289, L""},
        {4, 6, L"wait 2 s", V::Pass, L"", L"", -1, 2000, L""},
        {5, 7, L"send [SPL_STAT] expect [EPL_STAT_READY] within 2 s", V::Fail, L"[SPL_STAT]", L"[EPL_STAT_BUSY]", 145.0,
         146, L"the answer does not match [EPL_STAT_READY]"},
        {6, 9, L"ask \"Did the arm park?\"", V::Pass, L"", L"", -1, 4100, L"Yes"},
        {7, 10, L"send [SPL_DOOR] expect [EPL_DOOR_*]", V::Pass, L"[SPL_DOOR]", L"[EPL_DOOR_CLOSED]", 97.3, 98, L""},
        {8, 12, L"expect [SMP_STAT_READY] within 10 s", V::Skipped, L"", L"", -1, 0, L"not run: the run stopped"},
    };
    return info;
}

size_t CountOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1))
        ++n;
    return n;
}

} // namespace

TEST(ProcedureReport, TextHasTheHeaderAStepALineAndTheSummary)
{
    const ReportInfo info = SampleRun();
    const std::string text = ReportText(info);
    EXPECT_EQ(CountOf(text, "\n"), CountOf(text, "\r\n"));
    for (const char* lpField : {"SERVICE-07", "COM5 at 115200 baud", "pano-check.txt", "b9aee46895e19b6d",
                                "2026-12-07 14:03:12", "2026-12-07 14:05:40", "failed: step 5 did not pass"})
        EXPECT_NE(text.find(lpField), std::string::npos) << lpField;
    // One line a step, in order, each starting with its verdict and its place.
    size_t nAt = 0;
    for (const StepResult& step : info.steps) {
        const std::string start = "\r\n" + ToUtf8(VerdictWord(step.verdict)) + " ";
        nAt = text.find(start, nAt);
        ASSERT_NE(nAt, std::string::npos) << ToUtf8(step.step);
        const std::string line = text.substr(nAt + 2, text.find("\r\n", nAt + 2) - nAt - 2);
        EXPECT_NE(line.find(std::to_string(step.nIndex) + "/8"), std::string::npos) << line;
        EXPECT_NE(line.find("line " + std::to_string(step.nLine) + " "), std::string::npos) << line;
        EXPECT_NE(line.find(ToUtf8(step.step)), std::string::npos) << line;
        if (step.verdict == StepVerdict::Fail) {
            EXPECT_NE(line.find(ToUtf8(step.detail)), std::string::npos) << line;
        }
        ++nAt;
    }
    const std::string pass = text.substr(text.find("PASS "), text.find("\r\n", text.find("PASS ")) - text.find("PASS "));
    EXPECT_NE(pass.find("sent [SPL_PANO]  received [EPL_PANO_001]  302.1 ms"), std::string::npos) << pass;
    EXPECT_NE(text.find("\r\nSummary: 5 passed, 1 failed, 1 skipped (of 7 checks)\r\n"), std::string::npos) << text;
}

TEST(ProcedureReport, HtmlIsOneSelfContainedEscapedPage)
{
    ReportInfo info = SampleRun();
    info.steps[1].step = L"send [A<B&C>\"D\"]";
    info.workstation = L"<WS&1>";
    const std::string html = ReportHtml(info);
    std::string verdicts;
    for (size_t i = html.find("<td class=\"verdict "); i != std::string::npos; i = html.find("<td class=\"verdict ", i + 1)) {
        const size_t nStart = html.find('>', i) + 1;
        verdicts += html.substr(nStart, html.find('<', nStart) - nStart) + " ";
    }
    EXPECT_EQ(verdicts, "NOTE PASS PASS PASS FAIL PASS PASS SKIPPED ");
    EXPECT_NE(html.find("Summary: 5 passed, 1 failed, 1 skipped (of 7 checks)"), std::string::npos);
    EXPECT_NE(html.find("send [A&lt;B&amp;C&gt;&quot;D&quot;]"), std::string::npos);
    EXPECT_NE(html.find("&lt;WS&amp;1&gt;"), std::string::npos);
    EXPECT_EQ(html.find("<B&C>"), std::string::npos);
    for (const char* lpOutside : {"<script", "<SCRIPT", "src=", "href=", "url(", "@import"})
        EXPECT_EQ(html.find(lpOutside), std::string::npos) << lpOutside;
    EXPECT_NE(html.find("@media print"), std::string::npos);
    EXPECT_EQ(CountOf(html, "<svg"), 1u);
    EXPECT_EQ(CountOf(html, "<rect class=\"bar"), 4u); // the four round trips
    EXPECT_NE(html.find("step 5: 145.0 ms"), std::string::npos);
}

TEST(ProcedureReport, BothFilesAreWrittenIntoAMissingFolder)
{
    const std::wstring dir = MakeScratchDir(L"procreport");
    const ReportInfo info = SampleRun();
    std::wstring textPath, htmlPath, error;
    ASSERT_TRUE(WriteProcedureReport(dir + L"one\\two/three", info, textPath, htmlPath, error)) << ToUtf8(error);
    EXPECT_EQ(textPath, dir + L"one\\two\\three\\Report-20261207-140312.txt");
    EXPECT_EQ(htmlPath, dir + L"one\\two\\three\\Report-20261207-140312.html");
    EXPECT_EQ(ReadFileBytes(textPath), ReportText(info));
    EXPECT_EQ(ReadFileBytes(htmlPath), ReportHtml(info));

    ASSERT_TRUE(WriteBytes(dir + L"file.txt", "x"));
    EXPECT_FALSE(WriteProcedureReport(dir + L"file.txt\\sub", info, textPath, htmlPath, error));
    EXPECT_NE(error.find(L"file.txt\" is a file"), std::wstring::npos) << ToUtf8(error);
    EXPECT_FALSE(Exists(dir + L"file.txt\\sub"));
}

// The sample that the browser check opens and that the report's screenshot shows: the build
// tree's report-sample folder, holding this report alone.
TEST(ProcedureReportSample, WritesTheSampleReport)
{
    const std::wstring dir = testsupport::BinDir() + L"..\\report-sample\\";
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((dir + L"Report-*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do
            DeleteFileW((dir + fd.cFileName).c_str());
        while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    std::wstring textPath, htmlPath, error;
    ASSERT_TRUE(WriteProcedureReport(dir, SampleRun(), textPath, htmlPath, error)) << ToUtf8(error);
    EXPECT_TRUE(Exists(textPath) && Exists(htmlPath));
}
