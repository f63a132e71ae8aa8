#include "comm/console/ConsoleView.h"

#include "controls/MyRichEditCtrl.h"

#include <cstdio>

namespace {
// Places of the colours in the rich-text colour table.
int KindColorIndex(int nKind)
{
    switch (nKind) {
    case LOG_KIND_SEND:
        return 2;
    case LOG_KIND_RECV:
        return 3;
    default:
        return 4;
    }
}

const wchar_t* KindMark(int nKind)
{
    switch (nKind) {
    case LOG_KIND_SEND:
        return L">> ";
    case LOG_KIND_RECV:
        return L"<< ";
    default:
        return L"";
    }
}

void AppendRtfText(std::string& out, const std::wstring& text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t ch = text[i];
        if (ch == L'\r' || ch == L'\n') {
            if (ch == L'\n' && i > 0 && text[i - 1] == L'\r')
                continue;
            out += "\\par\r\n";
        } else if (ch == L'\\' || ch == L'{' || ch == L'}') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch == L'\t') {
            out += "\\tab ";
        } else if (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F)) {
            // A control character has no glyph: it shows as its code ("<1B>"), and the
            // control does not go looking through the system's fonts for one.
            char szCode[8];
            std::snprintf(szCode, sizeof(szCode), "<%02X>", static_cast<unsigned>(ch));
            out += szCode;
        } else if (ch >= 0x20 && ch < 0x80) {
            out += static_cast<char>(ch);
        } else {
            char szCode[16];
            std::snprintf(szCode, sizeof(szCode), "\\u%d?", static_cast<int>(static_cast<short>(ch)));
            out += szCode;
        }
    }
}

// Characters a text takes in the view: what AppendRtfText makes of it.
size_t ShownChars(const std::wstring& text)
{
    size_t nChars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t ch = text[i];
        if (ch == L'\n' && i > 0 && text[i - 1] == L'\r')
            continue;
        nChars += (ch != L'\r' && ch != L'\n' && ch != L'\t' && (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F))) ? 4 : 1;
    }
    return nChars;
}

// Characters a console line takes in the view, its line end included.
size_t ViewChars(const CConsoleRecord::Line& line, bool bStamp)
{
    if (line.nNumber < 0)
        return ShownChars(line.text) + 1;
    size_t nChars = ConsoleLineNumber(line).size() + 1;
    if (IsKnownLogKind(line.nKind)) {
        // "14:03:12.345 " (or its dashes): the same length for every stamp.
        if (bStamp && line.llTime != 0)
            nChars += 13;
        nChars += wcslen(KindMark(line.nKind)) + ShownChars(line.text) + ConsoleLineSuffix(line).size();
    }
    return nChars;
}

// Drops the oldest lines until the rest fit in nMaxChars (the latest stays whatever its
// size). Returns how many went; nChars gets what the rest take.
size_t KeepLatestThatFit(std::vector<CConsoleRecord::Line>& lines, bool bStamp, size_t nMaxChars, size_t& nChars)
{
    nChars = 0;
    size_t nFirst = lines.size();
    while (nFirst > 0) {
        const size_t nLineChars = ViewChars(lines[nFirst - 1], bStamp);
        if (nFirst < lines.size() && nChars + nLineChars > nMaxChars)
            break;
        nChars += nLineChars;
        --nFirst;
    }
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(nFirst));
    return nFirst;
}

struct RtfSource {
    const std::string* pText;
    size_t nOffset;
};

DWORD CALLBACK ReadRtf(DWORD_PTR dwCookie, LPBYTE pBuffer, LONG cb, LONG* pcb)
{
    RtfSource* pSource = reinterpret_cast<RtfSource*>(dwCookie);
    const size_t nLeft = pSource->pText->size() - pSource->nOffset;
    const size_t n = nLeft < static_cast<size_t>(cb) ? nLeft : static_cast<size_t>(cb);
    memcpy(pBuffer, pSource->pText->data() + pSource->nOffset, n);
    pSource->nOffset += n;
    *pcb = static_cast<LONG>(n);
    return 0;
}

bool WriteAll(HANDLE hFile, const std::string& bytes)
{
    size_t nDone = 0;
    while (nDone < bytes.size()) {
        const DWORD dwChunk = static_cast<DWORD>(bytes.size() - nDone < (1u << 20) ? bytes.size() - nDone : (1u << 20));
        DWORD dwWritten = 0;
        if (!::WriteFile(hFile, bytes.data() + nDone, dwChunk, &dwWritten, nullptr) || dwWritten == 0)
            return false;
        nDone += dwWritten;
    }
    return true;
}

// Lines a saved log takes from the record at a time: the record stays free for the
// threads that write into it meanwhile.
constexpr size_t kSaveChunkLines = 5000;
} // namespace

std::string BuildConsoleRtf(const std::vector<CConsoleRecord::Line>& lines, bool bDocument, bool bStamp)
{
    std::string rtf = "{\\rtf1\\ansi\\deff0";
    if (bDocument)
        rtf += "{\\fonttbl{\\f0\\fswiss Tahoma;}}";
    rtf += "{\\colortbl ;\\red62\\green138\\blue161;\\red96\\green167\\blue45;"
           "\\red187\\green180\\blue0;\\red0\\green0\\blue0;}\r\n";
    if (bDocument)
        rtf += "\\f0\\fs16 ";
    for (const CConsoleRecord::Line& line : lines) {
        // A line written out already (from a session record) goes as it is.
        if (line.nNumber < 0) {
            rtf += "\\cf4 ";
            AppendRtfText(rtf, line.text + L"\r\n");
            continue;
        }
        // The number and the stamp in the number's colour, the rest in the kind's.
        rtf += "\\cf1 ";
        AppendRtfText(rtf, ConsoleLineNumber(line));
        if (IsKnownLogKind(line.nKind)) {
            if (bStamp && line.llTime != 0)
                AppendRtfText(rtf, FormatStamp(line.llTime) + L" ");
            rtf += "\\cf" + std::to_string(KindColorIndex(line.nKind)) + ' ';
            AppendRtfText(rtf, KindMark(line.nKind) + line.text + ConsoleLineSuffix(line) + L"\r\n");
        }
    }
    rtf += "}\r\n";
    return rtf;
}

void CConsoleView::Attach(CMyRichEditCtrl* pView, const CConsoleRecord* pRecord)
{
    m_pView = pView;
    m_pRecord = pRecord;
    m_nNextSeq = pRecord != nullptr ? pRecord->FirstSeq() : 0;
}

bool CConsoleView::HasView() const
{
    return m_pView != nullptr && m_pView->m_hWnd != nullptr && m_pRecord != nullptr;
}

double CConsoleView::Update(size_t nMaxLines)
{
    if (!HasView())
        return 0;
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);

    // What came since the last tick; when it is more than a tick shows, the latest of it.
    // (counted in kept lines: loose text the record did not keep is told by the gate's line)
    const unsigned long long nFirst = m_nNextSeq > m_pRecord->FirstSeq() ? m_nNextSeq : m_pRecord->FirstSeq();
    const size_t nWaiting = m_pRecord->CountFrom(nFirst);
    unsigned long long nLeftOut = nWaiting > nMaxLines ? nWaiting - nMaxLines : 0;
    const unsigned long long nFrom = nLeftOut > 0 ? m_pRecord->SkipFrom(nFirst, static_cast<size_t>(nLeftOut)) : nFirst;
    // Lines the record let go of before the view took them are left out too.
    const unsigned long long nGone = m_pRecord->DroppedSince(m_nNextSeq);
    m_lines.clear();
    m_nNextSeq = m_pRecord->Copy(nFrom, nMaxLines, m_lines);

    // Only the kinds the filter shows go into the view, and of those no more than the view
    // holds: the latest that fit in kViewChars (the last one always).
    size_t nKept = 0;
    for (size_t i = 0; i < m_lines.size(); ++i) {
        if (IsKnownLogKind(m_lines[i].nKind) && !m_bShown[m_lines[i].nKind - LOG_KIND_SEND])
            continue;
        if (nKept != i)
            m_lines[nKept] = std::move(m_lines[i]);
        ++nKept;
    }
    m_lines.resize(nKept);
    size_t nChars = 0;
    nLeftOut += KeepLatestThatFit(m_lines, m_bShowTime, kViewChars, nChars);
    for (const CConsoleRecord::Line& line : m_lines)
        m_nViewLines += 1 + CountLineBreaks(line.text);

    // The note is a data line: it shows where data lines do.
    if (nLeftOut + nGone > 0 && m_bShown[LOG_KIND_DATA - LOG_KIND_SEND]) {
        wchar_t szNote[160] = {};
        // Lines the record let go of are kept only where a session record takes them.
        if (nGone == 0 || m_pRecord->IsTapped())
            _snwprintf(szNote, 159, L"%llu lines not shown here (Save file keeps them)", nLeftOut + nGone);
        else
            _snwprintf(szNote, 159, L"%llu lines not shown here (Save file keeps %llu of them; the rest went to the debug output only)",
                       nLeftOut + nGone, nLeftOut);
        m_lines.insert(m_lines.begin(), CConsoleRecord::Line{0, LOG_KIND_DATA, 0, szNote});
        nChars += ViewChars(m_lines.front(), m_bShowTime);
        m_nViewLines += 1;
    }
    if (!m_lines.empty()) {
        BeginChange();
        MakeRoom(static_cast<long>(nChars));
        const long nEnd = m_pView->GetTextLength();
        m_pView->SetSel(nEnd, nEnd);
        StreamIn(BuildConsoleRtf(m_lines, false, m_bShowTime), true);
        AfterInsert();
        EndChange();
    }
    ::QueryPerformanceCounter(&end);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void CConsoleView::CatchUp()
{
    if (!HasView())
        return;
    if (m_pRecord->CountFrom(m_nNextSeq) > kMaxLinesPerTick)
        Rebuild();
    else
        Update();
}

void CConsoleView::BeginChange()
{
    m_bRedrawOff = ::IsWindowVisible(m_pView->m_hWnd) != FALSE;
    if (m_bRedrawOff)
        m_pView->SendMessage(WM_SETREDRAW, FALSE);
}

void CConsoleView::EndChange()
{
    // Remembered, not asked again: a control with drawing off does not count as visible.
    if (!m_bRedrawOff)
        return;
    m_bRedrawOff = false;
    m_pView->SendMessage(WM_SETREDRAW, TRUE);
    // Drawn when the thread has nothing more pressing to do.
    m_pView->Invalidate(FALSE);
}

void CConsoleView::MakeRoom(long nChars)
{
    // The oldest whole lines go, so that the view never holds more than kViewChars.
    const long nLength = m_pView->GetTextLength();
    const long nExcess = nLength + nChars - static_cast<long>(kViewChars);
    if (nExcess <= 0 || nLength <= 0)
        return;
    const long nLastGone = static_cast<long>(m_pView->SendMessage(EM_LINEFROMCHAR, (nExcess < nLength ? nExcess : nLength) - 1));
    const long nCut = static_cast<long>(m_pView->SendMessage(EM_LINEINDEX, nLastGone + 1));
    if (nCut <= 0 || nCut >= nLength) {
        m_pView->SetWindowText(L"");
        m_nViewLines = 0;
    } else {
        m_pView->SetSel(0, nCut);
        m_pView->ReplaceSel(L"");
        m_nViewLines = m_nViewLines > nLastGone + 1 ? m_nViewLines - (nLastGone + 1) : 0;
    }
}

void CConsoleView::AfterInsert()
{
    // The view keeps the latest lines only; the oldest go in blocks.
    bool bTrimmed = false;
    while (m_nViewLines > kViewLines + kTrimLines) {
        const long nCut = static_cast<long>(m_pView->SendMessage(EM_LINEINDEX, kTrimLines));
        if (nCut <= 0)
            break;
        m_pView->SetSel(0, nCut);
        m_pView->ReplaceSel(L"");
        m_nViewLines -= kTrimLines;
        bTrimmed = true;
    }
    if (bTrimmed) {
        const long nEnd = m_pView->GetTextLength();
        m_pView->SetSel(nEnd, nEnd);
    }
    ScrollToEnd();
}

void CConsoleView::ScrollToEnd()
{
    m_pView->SendMessage(WM_VSCROLL, SB_BOTTOM);
    m_pView->SendMessage(WM_VSCROLL, SB_ENDSCROLL);
    // The lines' starts stay in sight: a long line (a path, a summary) does not leave the
    // view scrolled to its end.
    m_pView->SendMessage(WM_HSCROLL, SB_LEFT);
    m_pView->SendMessage(WM_HSCROLL, SB_ENDSCROLL);
}

void CConsoleView::Clear()
{
    m_nViewLines = 0;
    if (m_pRecord != nullptr)
        m_nNextSeq = m_pRecord->NextSeq();
    if (m_pView != nullptr && m_pView->m_hWnd != nullptr) {
        m_pView->SetSel(0, -1);
        m_pView->ReplaceSel(L"");
    }
}

void CConsoleView::SetShown(int nKind, bool bShown)
{
    if (!IsKnownLogKind(nKind) || m_bShown[nKind - LOG_KIND_SEND] == bShown)
        return;
    m_bShown[nKind - LOG_KIND_SEND] = bShown;
    Rebuild();
}

void CConsoleView::SetShowTime(bool bShowTime)
{
    if (m_bShowTime == bShowTime)
        return;
    m_bShowTime = bShowTime;
    Rebuild();
}

void CConsoleView::Rebuild()
{
    if (!HasView())
        return;
    m_lines.clear();
    m_nNextSeq = m_pRecord->NextSeq();
    m_pRecord->CopyLatest(kViewLines, m_bShown, m_lines);
    // Lines added while the view was rebuilt are taken at the next tick.
    if (!m_lines.empty())
        m_nNextSeq = m_lines.back().nSeq + 1;
    // Of those, the latest that fit in kViewChars.
    size_t nChars = 0;
    KeepLatestThatFit(m_lines, m_bShowTime, kViewChars, nChars);
    m_nViewLines = 0;
    for (const CConsoleRecord::Line& line : m_lines)
        m_nViewLines += 1 + CountLineBreaks(line.text);
    BeginChange();
    m_pView->SetWindowText(L"");
    if (!m_lines.empty())
        StreamIn(BuildConsoleRtf(m_lines, false, m_bShowTime), false);
    ScrollToEnd();
    EndChange();
}

void CConsoleView::StreamIn(const std::string& rtf, bool bAtSelection)
{
    RtfSource source{&rtf, 0};
    EDITSTREAM es{reinterpret_cast<DWORD_PTR>(&source), 0, &ReadRtf};
    m_pView->SendMessage(EM_STREAMIN, bAtSelection ? (SF_RTF | SFF_SELECTION) : SF_RTF, reinterpret_cast<LPARAM>(&es));
    long nEnd = m_pView->GetTextLength();
    m_pView->SetSel(nEnd, nEnd);
    // Rich text may drop the mark after its last paragraph; the next line must start anew.
    if (nEnd > 0) {
        wchar_t szLast[2] = {};
        TEXTRANGEW range{{nEnd - 1, nEnd}, szLast};
        m_pView->SendMessage(EM_GETTEXTRANGE, 0, reinterpret_cast<LPARAM>(&range));
        if (szLast[0] != L'\r' && szLast[0] != L'\n') {
            m_pView->ReplaceSel(L"\r\n");
            nEnd = m_pView->GetTextLength();
            m_pView->SetSel(nEnd, nEnd);
        }
    }
}

bool CConsoleView::Save(HANDLE hFile, bool bRichText, const std::vector<CConsoleRecord::Line>& tail,
                        const EarlierLines& earlier) const
{
    if (m_pRecord == nullptr)
        return false;
    bool bFirst = true;
    // Writes a piece of the log as it is read: rich text pieces share the first one's header
    // and the last one's end, so that they make one document.
    const LineSink emit = [&](const std::vector<CConsoleRecord::Line>& lines) {
        if (lines.empty())
            return true;
        std::string bytes;
        if (bRichText) {
            bytes = BuildConsoleRtf(lines, true, true);
            if (!bFirst)
                bytes.erase(0, bytes.find("\r\n") + 2);
            bytes.resize(bytes.size() - 3); // "}\r\n"
        } else {
            std::wstring text;
            for (const CConsoleRecord::Line& line : lines)
                text += FormatConsoleLine(line, true);
            // The saved file is in the system's code page, like everything the console
            // writes out.
            const int nBytes =
                ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
            bytes.assign(static_cast<size_t>(nBytes > 0 ? nBytes : 0), '\0');
            if (nBytes > 0)
                ::WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), nBytes, nullptr,
                                      nullptr);
        }
        bFirst = false;
        return WriteAll(hFile, bytes);
    };

    // The record is read a piece at a time, and written as it is read. Sequences it does not
    // hold (lines it let go of from its front, loose text it never kept) come in their places
    // from where they are kept, or are not passed over in silence.
    const auto fill = [&](unsigned long long nFrom, unsigned long long nTo) {
        if (nTo <= nFrom)
            return true;
        if (earlier)
            return earlier(nFrom, nTo, emit);
        wchar_t szNote[128] = {};
        _snwprintf(szNote, 127, L"%llu %slines not kept here (the debug output had them, where a listener was attached)", nTo - nFrom,
                   nFrom == m_pRecord->StartSeq() ? L"earlier " : L"");
        return emit({CConsoleRecord::Line{0, LOG_KIND_DATA, 0, szNote}});
    };
    unsigned long long nSeq = m_pRecord->StartSeq();
    const unsigned long long nEnd = m_pRecord->NextSeq();
    std::vector<CConsoleRecord::Line> lines;
    while (nSeq < nEnd) {
        lines.clear();
        const unsigned long long nNext = m_pRecord->Copy(nSeq, kSaveChunkLines, lines);
        size_t nDone = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].nSeq == nSeq) {
                ++nSeq;
                continue;
            }
            // A gap: what is before it goes first, then what fills it.
            if (!emit(std::vector<CConsoleRecord::Line>(lines.begin() + static_cast<std::ptrdiff_t>(nDone),
                                                        lines.begin() + static_cast<std::ptrdiff_t>(i))) ||
                !fill(nSeq, lines[i].nSeq))
                return false;
            nDone = i;
            nSeq = lines[i].nSeq + 1;
        }
        if (!emit(std::vector<CConsoleRecord::Line>(lines.begin() + static_cast<std::ptrdiff_t>(nDone), lines.end())))
            return false;
        if (lines.empty() || nNext >= nEnd) {
            // What follows the last kept line up to the end.
            if (!fill(nSeq, nEnd))
                return false;
            break;
        }
    }
    if (!emit(tail))
        return false;
    return !bRichText || WriteAll(hFile, bFirst ? BuildConsoleRtf({}, true, true) : std::string("}\r\n"));
}
