#include "comm/procedure/ProcedureReport.h"
#include "comm/record/SessionLog.h"

#include "framework/FileHandle.h"
#include "storage/UtilityTools.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cwchar>

namespace {

// The widest step text that sets the column of the text report; longer ones push on.
constexpr size_t kStepColumnChars = 60;

std::wstring Format(const wchar_t* lpFormat, ...)
{
    wchar_t szText[256] = {};
    va_list args;
    va_start(args, lpFormat);
    _vsnwprintf(szText, 255, lpFormat, args);
    va_end(args);
    return szText;
}

std::wstring FormatTime(const SYSTEMTIME& time)
{
    return Format(L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                  time.wSecond);
}

std::wstring FormatMs(double dMs)
{
    return Format(L"%.1f ms", dMs);
}

std::wstring Pad(const std::wstring& text, size_t nWidth)
{
    return text.size() >= nWidth ? text : text + std::wstring(nWidth - text.size(), L' ');
}

int StepCount(const ReportInfo& info)
{
    int nSteps = static_cast<int>(info.steps.size());
    for (const StepResult& step : info.steps)
        nSteps = std::max(nSteps, step.nIndex);
    return nSteps;
}

// "Summary: 10 passed, 1 failed, 1 skipped (of 12 checks)"; notes are not checks.
std::wstring Summary(const ReportInfo& info)
{
    int nPassed = 0;
    int nFailed = 0;
    int nSkipped = 0;
    for (const StepResult& step : info.steps) {
        nPassed += step.verdict == StepVerdict::Pass ? 1 : 0;
        nFailed += step.verdict == StepVerdict::Fail ? 1 : 0;
        nSkipped += step.verdict == StepVerdict::Skipped ? 1 : 0;
    }
    const int nChecks = nPassed + nFailed + nSkipped;
    return Format(L"Summary: %d passed, %d failed, %d skipped (of %d %s)", nPassed, nFailed, nSkipped, nChecks,
                  nChecks == 1 ? L"check" : L"checks");
}

// A note's detail is its text, which the step as written already shows.
bool ShowsDetail(const StepResult& step)
{
    return !step.detail.empty() && !(step.verdict == StepVerdict::Note && step.step.find(step.detail) != std::wstring::npos);
}

struct HeaderField {
    const wchar_t* lpLabel;
    std::wstring value;
};

std::vector<HeaderField> HeaderFields(const ReportInfo& info)
{
    return {{L"Workstation", info.workstation},
            {L"Program version", info.version},
            {L"Link", info.link},
            {L"Procedure", info.procedureName},
            {L"SHA-256", info.procedureHash},
            {L"Started", FormatTime(info.start)},
            {L"Ended", FormatTime(info.end)},
            {L"Outcome", info.outcome}};
}

std::wstring Escape(const std::wstring& text)
{
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'>': out += L"&gt;"; break;
        case L'"': out += L"&quot;"; break;
        case L'\'': out += L"&#39;"; break;
        default: out += c; break;
        }
    }
    return out;
}

const wchar_t* VerdictClass(StepVerdict verdict)
{
    switch (verdict) {
    case StepVerdict::Pass: return L"pass";
    case StepVerdict::Fail: return L"fail";
    case StepVerdict::Skipped: return L"skipped";
    default: return L"note";
    }
}

const wchar_t* OutcomeClass(const std::wstring& outcome)
{
    if (outcome.compare(0, 6, L"passed") == 0)
        return L"pass";
    return outcome.compare(0, 6, L"failed") == 0 ? L"fail" : L"stopped";
}

// The smallest of 1, 2 and 5 times a power of ten that divides the range into at most five.
double TickStep(double dMax)
{
    const double dRaw = dMax / 5;
    const double dPower = std::pow(10.0, std::floor(std::log10(dRaw)));
    for (double dFactor : {1.0, 2.0, 5.0}) {
        if (dFactor * dPower >= dRaw)
            return dFactor * dPower;
    }
    return 10 * dPower;
}

// The round trip of each step as a bar over its step number; a step without one leaves a gap.
std::wstring RoundTripChart(const ReportInfo& info)
{
    double dMax = 0;
    size_t nBars = 0;
    for (const StepResult& step : info.steps) {
        if (step.dRoundTripMs >= 0) {
            dMax = std::max(dMax, step.dRoundTripMs);
            ++nBars;
        }
    }
    if (nBars == 0)
        return L"<p>No step of this run had a round trip.</p>\n";

    const double dWidth = 680, dHeight = 250, dLeft = 58, dRight = 10, dTop = 14, dBottom = 44;
    const double dPlotW = dWidth - dLeft - dRight, dPlotH = dHeight - dTop - dBottom;
    const double dStep = TickStep(std::max(dMax, 1.0));
    const double dScaleMs = std::ceil(std::max(dMax, 1.0) / dStep - 1e-9) * dStep;
    const int nDecimals = dStep >= 1 ? 0 : 1;
    const size_t nSlots = info.steps.size();
    const double dSlot = dPlotW / static_cast<double>(nSlots);
    const size_t nLabelEvery = (nSlots + 24) / 25;
    const bool bValues = dSlot >= 34;

    std::wstring svg = Format(L"<svg class=\"chart\" viewBox=\"0 0 %.0f %.0f\" width=\"100%%\" role=\"img\" "
                              L"xmlns=\"http://www.w3.org/2000/svg\">\n",
                              dWidth, dHeight);
    svg += L"<title>Round trip of each step, in ms</title>\n";
    const int nTicks = static_cast<int>(std::lround(dScaleMs / dStep));
    for (int nTick = 0; nTick <= nTicks; ++nTick) {
        const double dTick = dStep * nTick;
        const double dY = dTop + dPlotH - dTick / dScaleMs * dPlotH;
        svg += Format(L"<line class=\"grid\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>", dLeft, dY,
                      dLeft + dPlotW, dY);
        svg += Format(L"<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%.*f</text>\n", dLeft - 6,
                      dY + 3.5, nDecimals, dTick);
    }
    svg += Format(L"<text class=\"axis\" transform=\"translate(14 %.1f) rotate(-90)\" text-anchor=\"middle\">"
                  L"round trip (ms)</text>\n",
                  dTop + dPlotH / 2);
    for (size_t i = 0; i < nSlots; ++i) {
        const StepResult& step = info.steps[i];
        const double dCentre = dLeft + dSlot * (static_cast<double>(i) + 0.5);
        if (step.dRoundTripMs >= 0) {
            const double dBarW = std::max(1.0, dSlot * 0.7);
            const double dBarH = std::max(1.0, step.dRoundTripMs / dScaleMs * dPlotH);
            svg += Format(L"<rect class=\"bar %s\" x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\">",
                          VerdictClass(step.verdict), dCentre - dBarW / 2, dTop + dPlotH - dBarH, dBarW, dBarH);
            svg += Format(L"<title>step %d: %.1f ms</title></rect>\n", step.nIndex, step.dRoundTripMs);
            if (bValues)
                svg += Format(L"<text class=\"value\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%.0f</text>\n",
                              dCentre, dTop + dPlotH - dBarH - 3, step.dRoundTripMs);
        }
        if (i % nLabelEvery == 0)
            svg += Format(L"<text class=\"tick\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%d</text>\n", dCentre,
                          dTop + dPlotH + 14, step.nIndex);
    }
    svg += Format(L"<line class=\"axisline\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\"/>\n", dLeft, dTop + dPlotH,
                  dLeft + dPlotW, dTop + dPlotH);
    svg += Format(L"<text class=\"axis\" x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">step</text>\n",
                  dLeft + dPlotW / 2, dHeight - 8);
    return svg + L"</svg>\n";
}

const wchar_t kStyle[] = LR"(
@page { size: A4; margin: 14mm 12mm; }
* { box-sizing: border-box; }
body { font-family: "Segoe UI", Arial, "Liberation Sans", "DejaVu Sans", sans-serif; font-size: 10pt; color: #1d1d1f;
       max-width: 186mm; margin: 8mm auto; padding: 0 4mm; }
h1 { font-size: 16pt; margin: 0 0 3mm; }
h2 { font-size: 12pt; margin: 6mm 0 2mm; break-after: avoid; }
table { border-collapse: collapse; width: 100%; }
th, td { text-align: left; vertical-align: top; padding: 1.2mm 1.6mm; overflow-wrap: anywhere; }
table.head th { width: 40mm; font-weight: 600; color: #555; }
table.head td, table.head th { padding: 0.8mm 1.6mm; }
table.steps { table-layout: fixed; font-size: 9pt; }
table.steps th { background: #e8eaed; border-bottom: 1px solid #999; font-weight: 600; }
table.steps td { border-bottom: 1px solid #d5d8dc; }
table.steps tr { break-inside: avoid; }
.num, .rt { text-align: right; }
.num, .rt, .verdict, th { white-space: nowrap; overflow-wrap: normal; }
.mono, .hash { font-family: Consolas, "Liberation Mono", "DejaVu Sans Mono", monospace; font-size: 8.5pt; }
.frames span { color: #666; font-family: "Segoe UI", Arial, "Liberation Sans", "DejaVu Sans", sans-serif; font-size: 8pt; }
.detail { font-family: "Segoe UI", Arial, "Liberation Sans", "DejaVu Sans", sans-serif; font-size: 9pt; color: #444;
          margin-top: 0.8mm; }
tr.fail .detail { color: #a11414; }
.verdict { font-weight: 700; text-align: center; }
.verdict.pass, .outcome.pass { background: #dcefdc; color: #1e6b1e; }
.verdict.fail, .outcome.fail { background: #f8d7d7; color: #a11414; }
.verdict.skipped, .outcome.stopped { background: #fcefc7; color: #7a5a00; }
.verdict.note { background: #eef0f3; color: #555; }
.outcome { font-weight: 700; }
.summary { font-weight: 700; margin: 3mm 0; }
svg.chart { display: block; margin-top: 2mm; break-inside: avoid; }
svg .grid { stroke: #e0e0e0; stroke-width: 1; }
svg .axisline { stroke: #555; stroke-width: 1; }
svg .tick, svg .value { font-size: 10px; fill: #444; }
svg .axis { font-size: 11px; fill: #222; }
svg .bar.pass { fill: #3c8d3c; }
svg .bar.fail { fill: #c62828; }
svg .bar.skipped, svg .bar.note { fill: #9e9e9e; }
@media print {
  body { max-width: none; margin: 0; padding: 0; }
  .verdict, .outcome, svg .bar, table.steps th { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  thead { display: table-header-group; }
}
)";



// Makes the folder and every missing folder above it.
bool MakeFolder(const std::wstring& folder, std::wstring& error)
{
    std::vector<std::wstring> missing;
    std::wstring part = folder;
    while (!part.empty() && (part.back() == L'\\' || part.back() == L'/'))
        part.pop_back();
    while (!part.empty()) {
        const DWORD dwAttributes = ::GetFileAttributesW(part.c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES) {
            if ((dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                error = L"cannot make the folder \"" + folder + L"\": \"" + part + L"\" is a file";
                return false;
            }
            break;
        }
        missing.push_back(part);
        const size_t nCut = part.find_last_of(L"\\/");
        part.resize(nCut == std::wstring::npos ? 0 : nCut);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (!::CreateDirectoryW(it->c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            error = L"cannot make the folder \"" + *it + L"\": " + CUtilityTools::SystemMessage(GetLastError());
            return false;
        }
    }
    return true;
}

// Writes the file whole; a file that could not be is removed again.
bool WriteWhole(const std::wstring& path, const std::string& bytes, std::wstring& error)
{
    DWORD dwError = ERROR_SUCCESS;
    {
        CFileHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.Get() == INVALID_HANDLE_VALUE) {
            error = L"cannot write \"" + path + L"\": " + CUtilityTools::SystemMessage(GetLastError());
            return false;
        }
        for (size_t nDone = 0; nDone < bytes.size();) {
            const DWORD cbChunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - nDone, 1u << 20));
            DWORD cbWritten = 0;
            if (!::WriteFile(file.Get(), bytes.data() + nDone, cbChunk, &cbWritten, nullptr)) {
                dwError = GetLastError();
                break;
            }
            if (cbWritten != cbChunk) {
                dwError = ERROR_DISK_FULL;
                break;
            }
            nDone += cbWritten;
        }
    }
    if (dwError == ERROR_SUCCESS)
        return true;
    ::DeleteFileW(path.c_str());
    error = L"cannot write \"" + path + L"\": " + CUtilityTools::SystemMessage(dwError);
    return false;
}

} // namespace

const wchar_t* VerdictWord(StepVerdict verdict)
{
    switch (verdict) {
    case StepVerdict::Pass: return L"PASS";
    case StepVerdict::Fail: return L"FAIL";
    case StepVerdict::Skipped: return L"SKIPPED";
    default: return L"NOTE";
    }
}

std::string ReportText(const ReportInfo& info)
{
    std::wstring text = L"Rig Console service report\r\n\r\n";
    for (const HeaderField& field : HeaderFields(info))
        text += Pad(std::wstring(field.lpLabel) + L":", 18) + field.value + L"\r\n";
    text += L"\r\n";

    const std::wstring total = std::to_wstring(StepCount(info));
    size_t nLineWidth = 0;
    size_t nStepWidth = 0;
    for (const StepResult& step : info.steps) {
        nLineWidth = std::max(nLineWidth, std::to_wstring(step.nLine).size());
        nStepWidth = std::max(nStepWidth, std::min(step.step.size(), kStepColumnChars));
    }
    for (const StepResult& step : info.steps) {
        std::wstring line = Pad(VerdictWord(step.verdict), 9);
        line += Pad(std::to_wstring(step.nIndex) + L"/" + total, total.size() * 2 + 3);
        line += Pad(L"line " + std::to_wstring(step.nLine), nLineWidth + 8);
        line += Pad(step.step, nStepWidth + 1);
        if (!step.sent.empty())
            line += L"  sent " + step.sent;
        if (!step.received.empty())
            line += L"  received " + step.received;
        if (step.dRoundTripMs >= 0)
            line += L"  " + FormatMs(step.dRoundTripMs);
        if (ShowsDetail(step))
            line += L"  " + step.detail;
        while (!line.empty() && line.back() == L' ')
            line.pop_back();
        text += line + L"\r\n";
    }
    text += L"\r\n" + Summary(info) + L"\r\n";
    return ToUtf8(text);
}

std::string ReportHtml(const ReportInfo& info)
{
    const std::wstring title = L"Service report: " + info.procedureName + L", " + FormatTime(info.start);
    std::wstring html = L"<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + Escape(title)
                        + L"</title>\n<style>" + kStyle + L"</style>\n</head>\n<body>\n";
    html += L"<h1>Rig Console service report</h1>\n<table class=\"head\">\n";
    for (const HeaderField& field : HeaderFields(info)) {
        std::wstring cell = L"<td>";
        if (std::wstring(field.lpLabel) == L"SHA-256")
            cell = L"<td class=\"hash\">";
        else if (std::wstring(field.lpLabel) == L"Outcome")
            cell = std::wstring(L"<td class=\"outcome ") + OutcomeClass(info.outcome) + L"\">";
        html += L"<tr><th>" + std::wstring(field.lpLabel) + L"</th>" + cell + Escape(field.value) + L"</td></tr>\n";
    }
    html += L"</table>\n<p class=\"summary\">" + Escape(Summary(info)) + L"</p>\n";

    html += L"<h2>Steps</h2>\n<table class=\"steps\">\n<colgroup><col style=\"width:6%\"><col style=\"width:11%\">"
            L"<col style=\"width:6%\"><col style=\"width:36%\"><col style=\"width:27%\"><col style=\"width:14%\">"
            L"</colgroup>\n<thead><tr><th class=\"num\">Step</th><th>Verdict</th><th class=\"num\">Line</th>"
            L"<th>As written</th><th>Frames</th><th class=\"rt\">Round trip</th></tr></thead>\n<tbody>\n";
    const std::wstring total = std::to_wstring(StepCount(info));
    for (const StepResult& step : info.steps) {
        const std::wstring verdictClass = VerdictClass(step.verdict);
        html += L"<tr class=\"" + verdictClass + L"\"><td class=\"num\">" + std::to_wstring(step.nIndex) + L"/" + total
                + L"</td>";
        html += L"<td class=\"verdict " + verdictClass + L"\">" + VerdictWord(step.verdict) + L"</td>";
        html += L"<td class=\"num\">" + std::to_wstring(step.nLine) + L"</td>";
        html += L"<td class=\"mono\">" + Escape(step.step);
        if (ShowsDetail(step))
            html += L"<div class=\"detail\">" + Escape(step.detail) + L"</div>";
        html += L"</td><td class=\"frames mono\">";
        if (!step.sent.empty())
            html += L"<div><span>sent</span> " + Escape(step.sent) + L"</div>";
        if (!step.received.empty())
            html += L"<div><span>received</span> " + Escape(step.received) + L"</div>";
        html += L"</td><td class=\"rt\">" + (step.dRoundTripMs >= 0 ? FormatMs(step.dRoundTripMs) : std::wstring())
                + L"</td></tr>\n";
    }
    html += L"</tbody>\n</table>\n<h2>Round trips</h2>\n" + RoundTripChart(info) + L"</body>\n</html>\n";
    return ToUtf8(html);
}

bool WriteProcedureReport(const std::wstring& folder, const ReportInfo& info, std::wstring& textPath,
                          std::wstring& htmlPath, std::wstring& error)
{
    textPath.clear();
    htmlPath.clear();
    error.clear();
    wchar_t szFull[MAX_PATH * 4] = {};
    const DWORD cchFull = ::GetFullPathNameW(folder.c_str(), MAX_PATH * 4, szFull, nullptr);
    if (folder.empty() || cchFull == 0 || cchFull >= MAX_PATH * 4) {
        error = L"cannot use the folder \"" + folder + L"\": "
                + (cchFull == 0 && !folder.empty() ? CUtilityTools::SystemMessage(GetLastError()) : L"no valid path");
        return false;
    }
    std::wstring base = szFull;
    if (!MakeFolder(base, error))
        return false;
    if (base.back() != L'\\' && base.back() != L'/')
        base += L'\\';
    const SYSTEMTIME& t = info.start;
    base += Format(L"Report-%04u%02u%02u-%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    textPath = base + L".txt";
    htmlPath = base + L".html";
    return WriteWhole(textPath, ReportText(info), error) && WriteWhole(htmlPath, ReportHtml(info), error);
}
