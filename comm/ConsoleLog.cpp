#include "comm/ConsoleLog.h"

#include "comm/Comm.h"
#include "controls/MyRichEditCtrl.h"

#include <cstdio>

namespace {
// Colours by kind, and their places in the rich-text colour table.
COLORREF KindColor(int nKind)
{
    switch (nKind) {
    case LOG_KIND_SEND:
        return kColorLogSend;
    case LOG_KIND_RECV:
        return kColorLogRecv;
    default:
        return kColorLogData;
    }
}

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

const wchar_t* KindPrefix(int nKind)
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

bool IsKnownKind(int nKind)
{
    return nKind == LOG_KIND_SEND || nKind == LOG_KIND_RECV || nKind == LOG_KIND_DATA;
}

int LineBreaks(const std::wstring& text)
{
    int n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\r' || (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')))
            ++n;
    }
    return n;
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
        } else if (ch >= 0x20 && ch < 0x80) {
            out += static_cast<char>(ch);
        } else {
            char szCode[16];
            std::snprintf(szCode, sizeof(szCode), "\\u%d?", static_cast<int>(static_cast<short>(ch)));
            out += szCode;
        }
    }
}
} // namespace

std::wstring CConsoleLog::Format(const Line& line)
{
    wchar_t szPrefix[16] = {};
    _snwprintf(szPrefix, 15, L"%04d| ", line.nNumber);
    if (!IsKnownKind(line.nKind))
        return szPrefix;
    return szPrefix + std::wstring(KindPrefix(line.nKind)) + line.text + L"\r\n";
}

void CConsoleLog::Append(int nKind, const wchar_t* lpText)
{
    Line line{nKind, m_nNextNumber, IsKnownKind(nKind) && lpText != nullptr ? lpText : L""};
    // The number counts the lines before it, as the view shows them.
    if (IsKnownKind(nKind))
        m_nNextNumber += 1 + LineBreaks(line.text);
    m_lines.push_back(line);
    while (m_lines.size() > kKeptLines)
        m_lines.pop_front();
    if (IsShown(nKind))
        Show(m_lines.back());
}

void CConsoleLog::Show(const Line& line)
{
    if (m_pView == nullptr || m_pView->m_hWnd == nullptr)
        return;
    const long nEnd = m_pView->GetTextLength();
    m_pView->SetSel(nEnd, nEnd);
    wchar_t szPrefix[16] = {};
    _snwprintf(szPrefix, 15, L"%04d| ", line.nNumber);
    m_pView->SetTextColor(kColorLogPrefix);
    m_pView->ReplaceSel(szPrefix);
    if (IsKnownKind(line.nKind)) {
        const std::wstring text = KindPrefix(line.nKind) + line.text + L"\r\n";
        m_pView->SetTextColor(KindColor(line.nKind));
        m_pView->ReplaceSel(text.c_str());
        m_nViewLines += 1 + LineBreaks(line.text);
    }
    AfterInsert();
}

void CConsoleLog::AppendBatch(const std::vector<Pending>& lines)
{
    if (lines.size() == 1) {
        Append(lines[0].nKind, lines[0].text.c_str());
        return;
    }
    int nShown = 0;
    for (const Pending& pending : lines) {
        Line line{pending.nKind, m_nNextNumber, IsKnownKind(pending.nKind) ? pending.text : std::wstring()};
        if (IsKnownKind(pending.nKind))
            m_nNextNumber += 1 + LineBreaks(line.text);
        if (IsShown(line.nKind)) {
            ++nShown;
            m_nViewLines += IsKnownKind(line.nKind) ? 1 + LineBreaks(line.text) : 0;
        }
        m_lines.push_back(std::move(line));
    }
    while (m_lines.size() > kKeptLines)
        m_lines.pop_front();
    if (nShown == 0 || m_pView == nullptr || m_pView->m_hWnd == nullptr)
        return;

    // Many lines at once (a burst from the unit) go into the view as one piece of rich text.
    const size_t nNew = lines.size() < m_lines.size() ? lines.size() : m_lines.size();
    const std::string rtf = BuildRtf(m_lines.size() - nNew, false);
    const long nEnd = m_pView->GetTextLength();
    m_pView->SetSel(nEnd, nEnd);
    StreamIn(rtf, true);
    AfterInsert();
}

void CConsoleLog::AfterInsert()
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

void CConsoleLog::ScrollToEnd()
{
    m_pView->SendMessage(WM_VSCROLL, SB_BOTTOM);
    m_pView->SendMessage(WM_VSCROLL, SB_ENDSCROLL);
}

void CConsoleLog::Clear()
{
    m_lines.clear();
    m_nNextNumber = 1;
    m_nViewLines = 0;
    if (m_pView != nullptr && m_pView->m_hWnd != nullptr) {
        m_pView->SetSel(0, -1);
        m_pView->ReplaceSel(L"");
    }
}

bool CConsoleLog::IsShown(int nKind) const
{
    return !IsKnownKind(nKind) || m_bShown[nKind - LOG_KIND_SEND];
}

void CConsoleLog::SetShown(int nKind, bool bShown)
{
    if (!IsKnownKind(nKind) || m_bShown[nKind - LOG_KIND_SEND] == bShown)
        return;
    m_bShown[nKind - LOG_KIND_SEND] = bShown;
    Rebuild();
}

namespace {
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
} // namespace

void CConsoleLog::Rebuild()
{
    if (m_pView == nullptr || m_pView->m_hWnd == nullptr)
        return;
    // The latest shown lines, in one piece of rich text.
    size_t nFirst = m_lines.size();
    int nLines = 0;
    while (nFirst > 0 && nLines < kViewLines) {
        --nFirst;
        if (IsShown(m_lines[nFirst].nKind))
            nLines += 1 + LineBreaks(m_lines[nFirst].text);
    }
    const std::string rtf = BuildRtf(nFirst, false);

    m_pView->SetWindowText(L"");
    StreamIn(rtf, false);
    m_nViewLines = nLines;
    ScrollToEnd();
}

void CConsoleLog::StreamIn(const std::string& rtf, bool bAtSelection)
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

std::string CConsoleLog::ToText() const
{
    std::wstring text;
    for (const Line& line : m_lines)
        text += Format(line);
    if (text.empty())
        return std::string();
    // The saved file is in the system's code page, like everything the console writes out.
    const int nBytes = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(nBytes > 0 ? nBytes : 0), '\0');
    if (nBytes > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), nBytes, nullptr, nullptr);
    return bytes;
}

std::string CConsoleLog::ToRtf() const
{
    return BuildRtf(0, true);
}


std::string CConsoleLog::BuildRtf(size_t nFirst, bool bDocument) const
{
    std::string rtf = "{\\rtf1\\ansi\\deff0";
    if (bDocument)
        rtf += "{\\fonttbl{\\f0\\fswiss Tahoma;}}";
    rtf += "{\\colortbl ;\\red62\\green138\\blue161;\\red96\\green167\\blue45;"
           "\\red187\\green180\\blue0;\\red0\\green0\\blue0;}\r\n";
    if (bDocument)
        rtf += "\\f0\\fs16 ";
    for (size_t i = nFirst; i < m_lines.size(); ++i) {
        const Line& line = m_lines[i];
        // The view shows the kinds its filter lets through; a saved document has every line.
        if (!bDocument && !IsShown(line.nKind))
            continue;
        char szPrefix[32];
        std::snprintf(szPrefix, sizeof(szPrefix), "\\cf1 %04d| ", line.nNumber);
        rtf += szPrefix;
        if (IsKnownKind(line.nKind)) {
            rtf += "\\cf" + std::to_string(KindColorIndex(line.nKind)) + ' ';
            AppendRtfText(rtf, KindPrefix(line.nKind) + line.text + L"\r\n");
        }
    }
    rtf += "}\r\n";
    return rtf;
}

bool CConsoleLog::Save(HANDLE hFile, bool bRichText) const
{
    const std::string bytes = bRichText ? ToRtf() : ToText();
    size_t nDone = 0;
    while (nDone < bytes.size()) {
        const DWORD dwChunk = static_cast<DWORD>(bytes.size() - nDone < (1u << 20) ? bytes.size() - nDone : (1u << 20));
        DWORD dwWritten = 0;
        if (!WriteFile(hFile, bytes.data() + nDone, dwChunk, &dwWritten, nullptr) || dwWritten == 0)
            return false;
        nDone += dwWritten;
    }
    return true;
}
