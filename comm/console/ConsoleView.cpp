#include "comm/console/ConsoleView.h"

#include "controls/MyRichEditCtrl.h"

#include <algorithm>
#include <cstdio>
#include <cwchar>

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

// A text as the view shows it: a line break is one '\v', a control character its code.
std::wstring ShownText(const std::wstring& text, size_t nFrom = 0, size_t nTo = std::wstring::npos)
{
    std::wstring out;
    if (nTo > text.size())
        nTo = text.size();
    for (size_t i = nFrom; i < nTo; ++i) {
        const wchar_t ch = text[i];
        if (ch == L'\n' && i > 0 && text[i - 1] == L'\r')
            continue;
        if (ch == L'\r' || ch == L'\n') {
            out += L'\v';
        } else if (ch != L'\t' && (ch < 0x20 || (ch >= 0x7F && ch <= 0x9F))) {
            wchar_t szCode[8];
            _snwprintf(szCode, 7, L"<%02X>", static_cast<unsigned>(ch));
            out += szCode;
        } else {
            out += ch;
        }
    }
    return out;
}

// Characters of a line's view text that are its number (and stamp): drawn in their colour.
size_t PrefixChars(const CConsoleRecord::Line& line, bool bStamp)
{
    if (line.nNumber < 0)
        return 0;
    size_t nChars = ConsoleLineNumber(line).size();
    if (IsKnownLogKind(line.nKind) && bStamp && line.llTime != 0)
        nChars += 13; // "14:03:12.345 "
    return nChars;
}

// Where a column of a line's searched text (its text, then its round trip) is in its view text.
size_t ViewColumn(const CConsoleRecord::Line& line, bool bStamp, size_t nColumn)
{
    if (line.nNumber < 0)
        return ShownText(line.text, 0, nColumn).size();
    size_t nView = PrefixChars(line, bStamp) + wcslen(KindMark(line.nKind));
    if (nColumn <= line.text.size())
        return nView + ShownText(line.text, 0, nColumn).size();
    return nView + ShownText(line.text).size() + (nColumn - line.text.size());
}

size_t RowsOf(const std::vector<CConsoleRecord::Line>& lines)
{
    size_t nRows = 0;
    for (const CConsoleRecord::Line& line : lines)
        nRows += 1 + static_cast<size_t>(CountLineBreaks(line.text));
    return nRows;
}

void AppendRtfChar(std::string& out, wchar_t ch)
{
    if (ch == L'\v') {
        out += "\\line ";
    } else if (ch == L'\t') {
        out += "\\tab ";
    } else if (ch == L'\\' || ch == L'{' || ch == L'}') {
        out += '\\';
        out += static_cast<char>(ch);
    } else if (ch >= 0x20 && ch < 0x80) {
        out += static_cast<char>(ch);
    } else {
        char szCode[16];
        std::snprintf(szCode, sizeof(szCode), "\\u%d?", static_cast<int>(static_cast<short>(ch)));
        out += szCode;
    }
}

bool operator<(const CConsoleView::Pos& a, const CConsoleView::Pos& b)
{
    return a.nSeq < b.nSeq || (a.nSeq == b.nSeq && a.nCol < b.nCol);
}

// Rich text of a text as a saved document has it: as the view shows it, a line break within
// it a paragraph of its own.
void AppendRtfText(std::string& out, const std::wstring& text)
{
    for (wchar_t ch : ShownText(text)) {
        if (ch == L'\v')
            out += "\\par\r\n";
        else
            AppendRtfChar(out, ch);
    }
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

std::wstring ConsoleViewText(const CConsoleRecord::Line& line, bool bStamp)
{
    if (line.nNumber < 0)
        return ShownText(line.text);
    std::wstring text = ConsoleLineNumber(line);
    if (!IsKnownLogKind(line.nKind))
        return text;
    if (bStamp && line.llTime != 0)
        text += FormatStamp(line.llTime) + L" ";
    return text + KindMark(line.nKind) + ShownText(line.text) + ConsoleLineSuffix(line);
}

void CConsoleView::Attach(CMyRichEditCtrl* pView, HWND hScrollBar, CSessionLines* pLines, std::function<void()> onMoved)
{
    m_pView = pView;
    m_hScrollBar = hScrollBar;
    m_pLines = pLines;
    m_onMoved = std::move(onMoved);
    if (m_pView != nullptr)
        m_pView->SetInputHandler(this);
}

void CConsoleView::Detach()
{
    if (m_pView != nullptr)
        m_pView->SetInputHandler(nullptr);
    m_pView = nullptr;
}

bool CConsoleView::HasView() const
{
    return m_pView != nullptr && m_pView->m_hWnd != nullptr && m_pLines != nullptr;
}

unsigned long long CConsoleView::NewLines() const
{
    if (m_bFollow || m_pLines == nullptr)
        return 0;
    const unsigned long long nEnd = m_pLines->End();
    return nEnd > m_nHeldAtEnd ? nEnd - m_nHeldAtEnd : 0;
}

double CConsoleView::Update()
{
    if (!HasView())
        return 0;
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    const unsigned long long nEnd = m_pLines->End();
    if (nEnd != m_nDrawnEnd) {
        if (m_bFollow) {
            Fill();
        } else {
            // Held: the view stays where it is and counts what came.
            m_nDrawnEnd = nEnd;
            UpdateScrollBar();
            if (m_onMoved)
                m_onMoved();
        }
    }
    ::QueryPerformanceCounter(&end);
    return 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void CConsoleView::Redraw()
{
    m_nDrawnEnd = ~0ull;
    if (HasView())
        Fill();
}

int CConsoleView::VisibleRows()
{
    RECT rc{};
    m_pView->SendMessage(EM_GETRECT, 0, reinterpret_cast<LPARAM>(&rc));
    if (m_nLineHeight <= 0) {
        // Until a page shows how high its lines are: the height of the control's font.
        HDC hDC = ::GetDC(m_pView->m_hWnd);
        const HFONT hFont = reinterpret_cast<HFONT>(m_pView->SendMessage(WM_GETFONT));
        const HGDIOBJ hOld = hFont != nullptr ? ::SelectObject(hDC, hFont) : nullptr;
        TEXTMETRICW tm{};
        ::GetTextMetricsW(hDC, &tm);
        if (hOld != nullptr)
            ::SelectObject(hDC, hOld);
        ::ReleaseDC(m_pView->m_hWnd, hDC);
        m_nLineHeight = tm.tmHeight + tm.tmExternalLeading > 0 ? tm.tmHeight + tm.tmExternalLeading : 13;
    }
    // A control of another size (another scale) is measured again.
    if (rc.bottom - rc.top != m_nClientHeight) {
        m_nClientHeight = rc.bottom - rc.top;
        m_bHeightMeasured = false;
    }
    const int nRows = (rc.bottom - rc.top) / m_nLineHeight;
    return nRows > 1 ? nRows : 1;
}

void CConsoleView::Fill()
{
    const size_t nRows = static_cast<size_t>(VisibleRows());
    m_nRows = static_cast<int>(nRows);
    const unsigned long long nEnd = m_pLines->End();
    if (!m_bFollow) {
        m_page.clear();
        const unsigned long long nAfter = m_pLines->Read(m_nTopSeq, nEnd, nRows, m_bShown, m_page);
        // The session's end is in sight (no shown line after the page): the view follows it.
        std::vector<CConsoleRecord::Line> after;
        if (RowsOf(m_page) < nRows || nAfter >= nEnd)
            m_bFollow = true;
        else if (m_pLines->Read(nAfter, nEnd, 1, m_bShown, after), after.empty())
            m_bFollow = true;
        while (m_page.size() > 1 && RowsOf(m_page) > nRows)
            m_page.pop_back();
    }
    if (m_bFollow) {
        const bool bAllShown = m_bShown[0] && m_bShown[1] && m_bShown[2];
        if (bAllShown || m_nDrawnEnd == ~0ull || m_nDrawnEnd > nEnd || m_page.empty()) {
            // The latest screenful: a screenful's reading, however many lines came.
            m_page.clear();
            m_pLines->ReadBefore(nEnd, nRows, m_bShown, m_page);
        } else {
            // With a filter only what came since the last page is looked at: lines the filter
            // hides are read once, however far back the last shown one is.
            std::vector<CConsoleRecord::Line> chunk;
            for (unsigned long long nSeq = m_nDrawnEnd; nSeq < nEnd;) {
                chunk.clear();
                const unsigned long long nNext = m_pLines->Read(nSeq, nEnd, 4096, m_bShown, chunk);
                for (CConsoleRecord::Line& line : chunk)
                    m_page.push_back(std::move(line));
                if (m_page.size() > nRows)
                    m_page.erase(m_page.begin(), m_page.end() - static_cast<std::ptrdiff_t>(nRows));
                if (nNext <= nSeq)
                    break;
                nSeq = nNext;
            }
        }
        if (m_page.size() > nRows)
            m_page.erase(m_page.begin(), m_page.end() - static_cast<std::ptrdiff_t>(nRows));
        while (m_page.size() > 1 && RowsOf(m_page) > nRows)
            m_page.erase(m_page.begin());
        m_nTopSeq = m_page.empty() ? nEnd : m_page.front().nSeq;
    }
    m_nDrawnEnd = nEnd;
    Draw();
}

void CConsoleView::Draw()
{
    // One paragraph of soft line breaks, put in whole: the control keeps nothing of the
    // pages it showed before.
    std::string rtf = "{\\rtf1\\ansi\\deff0{\\colortbl ;\\red62\\green138\\blue161;\\red96\\green167\\blue45;"
                      "\\red187\\green180\\blue0;\\red0\\green0\\blue0;\\red255\\green230\\blue90;}\r\n";
    m_starts.assign(1, 0);
    for (size_t i = 0; i < m_page.size(); ++i) {
        const CConsoleRecord::Line& line = m_page[i];
        const std::wstring text = ConsoleViewText(line, m_bShowTime);
        const size_t nPrefix = PrefixChars(line, m_bShowTime);
        size_t nHitFrom = std::wstring::npos;
        size_t nHitTo = 0;
        if (m_bHit && line.nSeq == m_hit.nSeq) {
            nHitFrom = ViewColumn(line, m_bShowTime, m_hit.nCol);
            nHitTo = ViewColumn(line, m_bShowTime, m_hit.nCol + static_cast<size_t>(m_nHitLength));
        }
        int nColor = -1;
        bool bMarked = false;
        if (i > 0)
            rtf += "\\line ";
        for (size_t c = 0; c < text.size(); ++c) {
            const int nWant = c < nPrefix ? 1 : line.nNumber < 0 ? 4 : KindColorIndex(line.nKind);
            const bool bWantMark = c >= nHitFrom && c < nHitTo;
            if (nWant != nColor || bWantMark != bMarked) {
                rtf += "\\cf" + std::to_string(nWant) + (bWantMark ? "\\highlight5 " : "\\highlight0 ");
                nColor = nWant;
                bMarked = bWantMark;
            }
            AppendRtfChar(rtf, text[c]);
        }
        if (bMarked)
            rtf += "\\highlight0 ";
        m_starts.push_back(m_starts.back() + static_cast<long>(text.size()) + 1);
    }
    rtf += "}";

    POINT scroll{};
    m_pView->SendMessage(EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scroll));
    const bool bRedrawOff = ::IsWindowVisible(m_pView->m_hWnd) != FALSE;
    if (bRedrawOff)
        m_pView->SendMessage(WM_SETREDRAW, FALSE);
    RtfSource source{&rtf, 0};
    EDITSTREAM es{reinterpret_cast<DWORD_PTR>(&source), 0, &ReadRtf};
    m_pView->SendMessage(EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&es));
    ApplySelection();
    // The page starts at the control's top; sideways it stays where the engineer put it
    // (asked for only when it moved: each request costs the control a layout).
    POINT now{};
    m_pView->SendMessage(EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&now));
    scroll.y = 0;
    if (now.x != scroll.x || now.y != 0)
        m_pView->SendMessage(EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scroll));
    if (bRedrawOff) {
        m_pView->SendMessage(WM_SETREDRAW, TRUE);
        m_pView->Invalidate(FALSE);
    }
    // The lines' height, once a page of this size shows it: a screen holds as many as fit
    // whole.
    if (!m_bHeightMeasured && m_page.size() >= 2 && m_starts[1] - m_starts[0] > 0) {
        m_bHeightMeasured = true;
        POINTL first{}, second{};
        m_pView->SendMessage(EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&first), m_starts[0]);
        m_pView->SendMessage(EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&second), m_starts[1]);
        const int nHeight = static_cast<int>(second.y - first.y) / (1 + CountLineBreaks(m_page[0].text));
        if (nHeight > 0 && nHeight != m_nLineHeight) {
            m_nLineHeight = nHeight;
            if (VisibleRows() != m_nRows) {
                m_nDrawnEnd = ~0ull;
                Fill();
                return;
            }
        }
    }
    UpdateScrollBar();
    if (m_onMoved)
        m_onMoved();
}

void CConsoleView::SettleScrollBar()
{
    if (HasView() && m_bBarBehind) {
        m_dwBarSetAt = ::GetTickCount() - kBarFollowMs;
        UpdateScrollBar();
    }
}

void CConsoleView::UpdateScrollBar()
{
    if (m_hScrollBar == nullptr)
        return;
    const unsigned long long nBegin = m_pLines->Begin();
    const unsigned long long nEnd = m_pLines->End();
    const unsigned long long nTotal = nEnd > nBegin ? nEnd - nBegin : 0;
    // A bar's range is an int: a session longer than that counts in steps of several lines.
    m_nScrollScale = 1 + nTotal / 0x3FFFFFFFull;
    const int nMax = nTotal > 0 ? static_cast<int>((nTotal - 1) / m_nScrollScale) : 0;
    int nPage = static_cast<int>(static_cast<unsigned long long>(m_nRows) / m_nScrollScale);
    if (nPage < 1)
        nPage = 1;
    int nPos = m_bFollow ? nMax - nPage + 1 : static_cast<int>((m_nTopSeq > nBegin ? m_nTopSeq - nBegin : 0) / m_nScrollScale);
    if (nPos < 0)
        nPos = 0;
    if (nPos == m_nBarPos && nMax == m_nBarMax && nPage == m_nBarPage)
        return;
    // Wine draws the bar at once, up to a few milliseconds a time: while the view follows,
    // the bar follows at most five times a second (it stands at the bottom meanwhile anyway).
    const DWORD dwNow = ::GetTickCount();
    m_bBarBehind = m_bFollow && nPos == m_nBarPos + (nMax - m_nBarMax) && dwNow - m_dwBarSetAt < kBarFollowMs;
    if (m_bBarBehind)
        return;
    m_dwBarSetAt = dwNow;
    m_nBarPos = nPos;
    m_nBarMax = nMax;
    m_nBarPage = nPage;
    SCROLLINFO si{sizeof(si), SIF_ALL | SIF_DISABLENOSCROLL, 0, nMax, static_cast<UINT>(nPage), nPos, 0};
    ::SetScrollInfo(m_hScrollBar, SB_CTL, &si, TRUE);
}

void CConsoleView::Hold()
{
    if (!m_bFollow)
        return;
    m_bFollow = false;
    m_nHeldAtEnd = m_pLines->End();
    m_nTopSeq = m_page.empty() ? m_nHeldAtEnd : m_page.front().nSeq;
}

void CConsoleView::ScrollLines(long long nLines)
{
    if (!HasView() || nLines == 0)
        return;
    std::vector<CConsoleRecord::Line> lines;
    if (nLines > 0) {
        if (m_bFollow)
            return;
        m_pLines->Read(m_nTopSeq, m_pLines->End(), static_cast<size_t>(nLines) + 1, m_bShown, lines);
        if (lines.size() <= static_cast<size_t>(nLines)) {
            Follow();
            return;
        }
        m_nTopSeq = lines[static_cast<size_t>(nLines)].nSeq;
    } else {
        Hold();
        m_pLines->ReadBefore(m_nTopSeq, static_cast<size_t>(-nLines), m_bShown, lines);
        if (!lines.empty())
            m_nTopSeq = lines.front().nSeq;
    }
    Fill();
}

void CConsoleView::ScrollPages(int nPages)
{
    ScrollLines(static_cast<long long>(nPages) * (m_nRows > 0 ? m_nRows : 1));
}

void CConsoleView::ScrollToStart()
{
    if (!HasView())
        return;
    Hold();
    m_nTopSeq = m_pLines->Begin();
    Fill();
}

void CConsoleView::Follow()
{
    if (!HasView())
        return;
    const bool bWasHeld = !m_bFollow;
    m_bFollow = true;
    // The page read anew: what it showed held was elsewhere.
    if (bWasHeld)
        m_page.clear();
    Fill();
}

void CConsoleView::ScrollTo(unsigned long long nSeq)
{
    if (!HasView())
        return;
    Hold();
    const unsigned long long nBegin = m_pLines->Begin();
    m_nTopSeq = nSeq < nBegin ? nBegin : nSeq;
    Fill();
}

void CConsoleView::OnScrollBar(int nCode)
{
    switch (nCode) {
    case SB_LINEUP:
        ScrollLines(-1);
        break;
    case SB_LINEDOWN:
        ScrollLines(1);
        break;
    case SB_PAGEUP:
        ScrollPages(-1);
        break;
    case SB_PAGEDOWN:
        ScrollPages(1);
        break;
    case SB_TOP:
        ScrollToStart();
        break;
    case SB_BOTTOM:
        Follow();
        break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: {
        SCROLLINFO si{sizeof(si), SIF_TRACKPOS | SIF_RANGE | SIF_PAGE};
        if (!::GetScrollInfo(m_hScrollBar, SB_CTL, &si))
            break;
        if (si.nTrackPos >= si.nMax - static_cast<int>(si.nPage) + 1)
            Follow();
        else
            ScrollTo(m_pLines->Begin() + static_cast<unsigned long long>(si.nTrackPos) * m_nScrollScale);
        break;
    }
    default:
        break;
    }
}

void CConsoleView::OnWheel(int nDelta)
{
    UINT nPerNotch = 3;
    ::SystemParametersInfoW(SPI_GETWHEELSCROLLLINES, 0, &nPerNotch, 0);
    if (nPerNotch == WHEEL_PAGESCROLL) {
        ScrollPages(nDelta > 0 ? -1 : 1);
        return;
    }
    const long long nLines = -static_cast<long long>(nDelta) * static_cast<long long>(nPerNotch) / WHEEL_DELTA;
    ScrollLines(nLines != 0 ? nLines : (nDelta > 0 ? -1 : 1));
}

CConsoleView::Pos CConsoleView::PosOfChar(long nChar) const
{
    if (m_page.empty())
        return Pos{m_nTopSeq, 0};
    size_t i = static_cast<size_t>(std::upper_bound(m_starts.begin(), m_starts.end() - 1, nChar) - m_starts.begin());
    i = i > 0 ? i - 1 : 0;
    const long nLength = m_starts[i + 1] - m_starts[i] - 1;
    const long nCol = nChar - m_starts[i];
    return Pos{m_page[i].nSeq, static_cast<size_t>(nCol < 0 ? 0 : nCol > nLength ? nLength : nCol)};
}

long CConsoleView::CharOfPos(const Pos& pos) const
{
    if (m_page.empty() || pos.nSeq < m_page.front().nSeq)
        return 0;
    for (size_t i = 0; i < m_page.size(); ++i) {
        if (m_page[i].nSeq < pos.nSeq)
            continue;
        if (m_page[i].nSeq > pos.nSeq)
            return m_starts[i];
        const long nLength = m_starts[i + 1] - m_starts[i] - 1;
        return m_starts[i] + (static_cast<long>(pos.nCol) < nLength ? static_cast<long>(pos.nCol) : nLength);
    }
    return m_starts.back() > 0 ? m_starts.back() - 1 : 0;
}

CConsoleView::Pos CConsoleView::PosAtPoint(POINT point) const
{
    RECT rc{};
    ::GetClientRect(m_pView->m_hWnd, &rc);
    POINTL pt{point.x < 0 ? 0 : point.x >= rc.right ? rc.right - 1 : point.x,
              point.y < 0 ? 0 : point.y >= rc.bottom ? rc.bottom - 1 : point.y};
    return PosOfChar(static_cast<long>(m_pView->SendMessage(EM_CHARFROMPOS, 0, reinterpret_cast<LPARAM>(&pt))));
}

void CConsoleView::ApplySelection()
{
    CHARRANGE range{0, 0};
    if (HasSelection()) {
        const Pos& first = m_anchor < m_caret ? m_anchor : m_caret;
        const Pos& last = m_anchor < m_caret ? m_caret : m_anchor;
        if (!m_page.empty() && first.nSeq <= m_page.back().nSeq && last.nSeq >= m_page.front().nSeq) {
            range.cpMin = CharOfPos(first);
            range.cpMax = last.nSeq > m_page.back().nSeq ? m_starts.back() - 1 : CharOfPos(last);
        }
    }
    m_pView->SendMessage(EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
}

void CConsoleView::Select(Pos anchor, Pos caret)
{
    m_anchor = anchor;
    m_caret = caret;
    m_bSelection = true;
    m_bHit = false;
    if (HasView())
        Draw();
}

CConsoleView::Pos CConsoleView::EndPos() const
{
    std::vector<CConsoleRecord::Line> last;
    m_pLines->ReadBefore(m_pLines->End(), 1, m_bShown, last);
    if (last.empty())
        return Pos{m_pLines->End(), 0};
    return Pos{last.back().nSeq, ConsoleViewText(last.back(), m_bShowTime).size()};
}

std::wstring CConsoleView::SelectedText(size_t nMaxLines, bool* pbCut) const
{
    std::wstring out;
    if (pbCut != nullptr)
        *pbCut = false;
    if (!HasSelection() || m_pLines == nullptr)
        return out;
    const Pos first = m_anchor < m_caret ? m_anchor : m_caret;
    const Pos last = m_anchor < m_caret ? m_caret : m_anchor;
    std::vector<CConsoleRecord::Line> lines;
    size_t nLines = 0;
    unsigned long long nSeq = first.nSeq;
    while (nSeq <= last.nSeq) {
        lines.clear();
        const unsigned long long nNext = m_pLines->Read(nSeq, last.nSeq + 1, kSaveChunkLines, m_bShown, lines);
        for (const CConsoleRecord::Line& line : lines) {
            if (nLines++ == nMaxLines) {
                if (pbCut != nullptr)
                    *pbCut = true;
                return out;
            }
            const std::wstring text = ConsoleViewText(line, m_bShowTime);
            const size_t nFrom = line.nSeq == first.nSeq ? (first.nCol < text.size() ? first.nCol : text.size()) : 0;
            const size_t nTo = line.nSeq == last.nSeq ? (last.nCol < text.size() ? last.nCol : text.size()) : text.size();
            for (size_t i = nFrom; i < nTo; ++i) {
                if (text[i] == L'\v')
                    out += L"\r\n";
                else
                    out += text[i];
            }
            if (line.nSeq != last.nSeq)
                out += L"\r\n";
        }
        if (nNext <= nSeq)
            break;
        nSeq = nNext;
    }
    return out;
}

bool CConsoleView::CopySelection()
{
    bool bCut = false;
    const std::wstring text = SelectedText(kMaxCopyLines, &bCut);
    m_copyNote.clear();
    if (text.empty() || !HasView() || !::OpenClipboard(m_pView->m_hWnd))
        return false;
    bool bCopied = false;
    ::EmptyClipboard();
    if (HGLOBAL hText = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t))) {
        if (void* pText = ::GlobalLock(hText)) {
            memcpy(pText, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
            ::GlobalUnlock(hText);
            bCopied = ::SetClipboardData(CF_UNICODETEXT, hText) != nullptr;
        }
        // The clipboard owns what it took; what it did not take is ours to free.
        if (!bCopied)
            ::GlobalFree(hText);
    }
    ::CloseClipboard();
    static_assert(kMaxCopyLines == 100000, "the note names the bound");
    if (bCopied && bCut)
        m_copyNote = L"Copied the first 100,000 selected lines (Save file writes the whole session)";
    if (m_onMoved)
        m_onMoved();
    return bCopied;
}

void CConsoleView::ShowHit(unsigned long long nSeq, int nColumn, int nLength)
{
    if (!HasView())
        return;
    static const bool kAllKinds[3] = {true, true, true};
    std::vector<CConsoleRecord::Line> line;
    m_pLines->Read(nSeq, nSeq + 1, 1, kAllKinds, line);
    m_bSelection = false;
    m_bHit = !line.empty();
    if (m_bHit) {
        m_hit = Pos{nSeq, static_cast<size_t>(nColumn)};
        m_nHitLength = nLength;
        const size_t nFrom = ViewColumn(line[0], m_bShowTime, static_cast<size_t>(nColumn));
        m_anchor = Pos{nSeq, nFrom};
        m_caret = Pos{nSeq, ViewColumn(line[0], m_bShowTime, static_cast<size_t>(nColumn + nLength))};
        m_bSelection = true;
    }
    // The hit's line in sight, a third of a screen from the top when the view moves.
    const bool bOnPage = !m_page.empty() && nSeq >= m_page.front().nSeq && nSeq <= m_page.back().nSeq &&
                         (m_page.size() < 2 || nSeq < m_page.back().nSeq || !m_bFollow);
    if (bOnPage) {
        Draw();
        return;
    }
    std::vector<CConsoleRecord::Line> before;
    m_pLines->ReadBefore(nSeq, static_cast<size_t>(m_nRows / 3), m_bShown, before);
    ScrollTo(before.empty() ? nSeq : before.front().nSeq);
}

void CConsoleView::MoveCaret(long long nLines, bool bExtend)
{
    if (!m_bSelection) {
        if (m_page.empty())
            return;
        m_caret = Pos{nLines > 0 ? m_page.front().nSeq : m_page.back().nSeq, 0};
        m_anchor = m_caret;
        m_bSelection = true;
    }
    m_bHit = false;
    std::vector<CConsoleRecord::Line> lines;
    if (nLines > 0) {
        m_pLines->Read(m_caret.nSeq + 1, m_pLines->End(), static_cast<size_t>(nLines), m_bShown, lines);
        m_caret = lines.empty() ? EndPos() : Pos{lines.back().nSeq, 0};
    } else if (nLines < 0) {
        m_pLines->ReadBefore(m_caret.nSeq, static_cast<size_t>(-nLines), m_bShown, lines);
        m_caret = Pos{lines.empty() ? m_caret.nSeq : lines.front().nSeq, 0};
    }
    if (!bExtend)
        m_anchor = m_caret;
    KeepCaretInSight();
}

void CConsoleView::KeepCaretInSight()
{
    if (m_page.empty() || m_caret.nSeq < m_page.front().nSeq) {
        ScrollTo(m_caret.nSeq);
        return;
    }
    if (m_caret.nSeq > m_page.back().nSeq) {
        // The caret's line becomes the last on the screen.
        std::vector<CConsoleRecord::Line> lines;
        m_pLines->ReadBefore(m_caret.nSeq + 1, static_cast<size_t>(m_nRows > 0 ? m_nRows : 1), m_bShown, lines);
        ScrollTo(lines.empty() ? m_caret.nSeq : lines.front().nSeq);
        return;
    }
    Draw();
}

bool CConsoleView::OnKey(UINT vk)
{
    const bool bShift = ::GetKeyState(VK_SHIFT) < 0;
    const bool bCtrl = ::GetKeyState(VK_CONTROL) < 0;
    switch (vk) {
    case VK_UP:
    case VK_DOWN:
        if (bShift)
            MoveCaret(vk == VK_UP ? -1 : 1, true);
        else
            ScrollLines(vk == VK_UP ? -1 : 1);
        return true;
    case VK_PRIOR:
    case VK_NEXT:
        if (bShift)
            MoveCaret(static_cast<long long>(vk == VK_PRIOR ? -1 : 1) * (m_nRows > 0 ? m_nRows : 1), true);
        else
            ScrollPages(vk == VK_PRIOR ? -1 : 1);
        return true;
    case VK_HOME:
    case VK_END:
        if (bShift) {
            if (!m_bSelection) {
                m_anchor = m_caret = Pos{m_page.empty() ? m_nTopSeq : (vk == VK_HOME ? m_page.front().nSeq : m_page.back().nSeq), 0};
                m_bSelection = true;
            }
            m_bHit = false;
            m_caret = vk == VK_HOME ? Pos{m_pLines->Begin(), 0} : EndPos();
        } else {
            // Home and End without Shift leave the selection behind.
            m_bSelection = false;
            m_bHit = false;
        }
        if (vk == VK_HOME)
            ScrollToStart();
        else
            Follow();
        return true;
    case 'C':
    case VK_INSERT:
        if (!bCtrl)
            return false;
        CopySelection();
        return true;
    case 'A':
        if (!bCtrl)
            return false;
        Select(Pos{m_pLines->Begin(), 0}, EndPos());
        return true;
    default:
        return false;
    }
}

bool CConsoleView::BeforeInput(UINT message, WPARAM wParam, LPARAM)
{
    if (!HasView())
        return false;
    if (message == WM_KEYDOWN && wParam != VK_SHIFT && wParam != VK_CONTROL)
        m_copyNote.clear();
    if (message == WM_MOUSEWHEEL) {
        OnWheel(GET_WHEEL_DELTA_WPARAM(wParam));
        return true;
    }
    if (message == WM_KEYDOWN)
        return OnKey(static_cast<UINT>(wParam));
    return false;
}

void CConsoleView::AfterInput(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!HasView() || m_page.empty())
        return;
    const POINT point{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    switch (message) {
    case WM_LBUTTONDOWN: {
        m_bDragging = true;
        m_copyNote.clear();
        m_bHit = false;
        const Pos at = PosAtPoint(point);
        if ((wParam & MK_SHIFT) != 0 && m_bSelection) {
            m_caret = at;
        } else {
            m_anchor = m_caret = at;
            m_bSelection = true;
        }
        ApplySelection();
        break;
    }
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP: {
        if (!m_bDragging || (message == WM_MOUSEMOVE && (wParam & MK_LBUTTON) == 0))
            break;
        if (message == WM_LBUTTONUP)
            m_bDragging = false;
        // Dragged past the top or the bottom: the view moves on by a line.
        RECT rc{};
        ::GetClientRect(m_pView->m_hWnd, &rc);
        if (message == WM_MOUSEMOVE && point.y < rc.top)
            ScrollLines(-1);
        else if (message == WM_MOUSEMOVE && point.y >= rc.bottom)
            ScrollLines(1);
        m_caret = PosAtPoint(point);
        ApplySelection();
        break;
    }
    case WM_KEYDOWN:
        // Only the arrows sideways move the control's own selection (Shift and Ctrl alone,
        // pressed before Ctrl+C, must leave a selection across screens as it is).
        if (wParam != VK_LEFT && wParam != VK_RIGHT)
            break;
        [[fallthrough]];
    case WM_LBUTTONDBLCLK: {
        // The control moved its own selection (a word, the arrows sideways): the session's
        // selection follows it.
        CHARRANGE range{};
        m_pView->SendMessage(EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&range));
        const long nAnchor = m_bSelection ? CharOfPos(m_anchor) : -1;
        if (message == WM_LBUTTONDBLCLK || nAnchor != range.cpMin) {
            m_anchor = PosOfChar(range.cpMin);
            m_caret = PosOfChar(range.cpMax);
        } else {
            m_caret = PosOfChar(range.cpMax);
        }
        m_bSelection = true;
        m_bHit = false;
        POINT scroll{};
        m_pView->SendMessage(EM_GETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scroll));
        scroll.y = 0;
        m_pView->SendMessage(EM_SETSCROLLPOS, 0, reinterpret_cast<LPARAM>(&scroll));
        break;
    }
    default:
        break;
    }
    if (m_onMoved)
        m_onMoved();
}

void CConsoleView::Clear()
{
    m_bSelection = false;
    m_bHit = false;
    m_bFollow = true;
    m_page.clear();
    m_nDrawnEnd = ~0ull;
    if (m_pLines != nullptr)
        m_pLines->Reset();
    if (HasView())
        Fill();
}

void CConsoleView::SetShown(int nKind, bool bShown)
{
    if (!IsKnownLogKind(nKind) || m_bShown[nKind - LOG_KIND_SEND] == bShown)
        return;
    m_bShown[nKind - LOG_KIND_SEND] = bShown;
    // Drawn anew at the same place in the session.
    if (m_bFollow)
        m_page.clear();
    Redraw();
}

void CConsoleView::SetShowTime(bool bShowTime)
{
    if (m_bShowTime == bShowTime)
        return;
    m_bShowTime = bShowTime;
    // A selection's columns counted the stamps or did not; a find's hit is found again.
    if (!m_bHit)
        m_bSelection = false;
    else
        ShowHit(m_hit.nSeq, static_cast<int>(m_hit.nCol), m_nHitLength);
    if (m_bFollow)
        m_page.clear();
    Redraw();
}

bool CConsoleView::Save(HANDLE hFile, bool bRichText, const std::vector<CConsoleRecord::Line>& tail,
                        const EarlierLines& earlier) const
{
    const CConsoleRecord* pRecord = m_pLines != nullptr ? &m_pLines->Record() : nullptr;
    if (pRecord == nullptr)
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
                   nFrom == pRecord->StartSeq() ? L"earlier " : L"");
        return emit({CConsoleRecord::Line{0, LOG_KIND_DATA, 0, szNote}});
    };
    unsigned long long nSeq = pRecord->StartSeq();
    const unsigned long long nEnd = pRecord->NextSeq();
    std::vector<CConsoleRecord::Line> lines;
    while (nSeq < nEnd) {
        lines.clear();
        const unsigned long long nNext = pRecord->Copy(nSeq, kSaveChunkLines, lines);
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
