#include "comm/procedure/Procedure.h"
#include "framework/FileHandle.h"
#include "storage/UtilityTools.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>

namespace {

// The longest command the link takes, brackets included.
constexpr size_t kMaxFrameChars = 257;
// A pattern with more characters that must be there than this matches no frame: the
// receiver hands on no frame longer than its buffer of 256 characters with the end.
constexpr size_t kMaxPatternFixedChars = 255;
// A reason quotes at most this much of what it refuses.
constexpr size_t kQuotedChars = 40;

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

// The text between double quotes for a reason, cut when long.
std::wstring Quoted(const std::wstring& text)
{
    if (text.size() <= kQuotedChars)
        return L"\"" + text + L"\"";
    return L"\"" + text.substr(0, kQuotedChars) + L"...\"";
}


// ---------------------------------------------------------------------------------------
// SHA-256 through the system's cryptographic provider.

class CCryptProvider {
public:
    CCryptProvider() { ::CryptAcquireContextW(&m_hProv, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT); }
    ~CCryptProvider()
    {
        if (m_hProv != 0)
            ::CryptReleaseContext(m_hProv, 0);
    }
    CCryptProvider(const CCryptProvider&) = delete;
    CCryptProvider& operator=(const CCryptProvider&) = delete;
    HCRYPTPROV Get() const { return m_hProv; }

private:
    HCRYPTPROV m_hProv = 0;
};

class CCryptHash {
public:
    explicit CCryptHash(HCRYPTPROV hProv)
    {
        if (hProv != 0)
            ::CryptCreateHash(hProv, CALG_SHA_256, 0, 0, &m_hHash);
    }
    ~CCryptHash()
    {
        if (m_hHash != 0)
            ::CryptDestroyHash(m_hHash);
    }
    CCryptHash(const CCryptHash&) = delete;
    CCryptHash& operator=(const CCryptHash&) = delete;
    HCRYPTHASH Get() const { return m_hHash; }

private:
    HCRYPTHASH m_hHash = 0;
};

bool Sha256Hex(const std::string& bytes, std::wstring& hex, std::wstring& error)
{
    CCryptProvider provider;
    CCryptHash hash(provider.Get());
    BYTE digest[32] = {};
    DWORD cbDigest = sizeof(digest);
    if (hash.Get() == 0
        || !::CryptHashData(hash.Get(), reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0)
        || !::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &cbDigest, 0) || cbDigest != sizeof(digest)) {
        error = L"cannot compute the file's SHA-256: " + CUtilityTools::SystemMessage(GetLastError());
        return false;
    }
    static const wchar_t kDigits[] = L"0123456789abcdef";
    hex.clear();
    for (BYTE b : digest) {
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// One line, read from left to right.

class CLineReader {
public:
    explicit CLineReader(const std::wstring& line) : m_line(line) {}

    bool AtEnd()
    {
        SkipBlanks();
        return m_nPos >= m_line.size();
    }
    wchar_t Peek()
    {
        SkipBlanks();
        return m_nPos < m_line.size() ? m_line[m_nPos] : L'\0';
    }
    // The run of characters up to the next blank.
    std::wstring Word()
    {
        SkipBlanks();
        const size_t nStart = m_nPos;
        while (m_nPos < m_line.size() && !IsBlank(m_line[m_nPos]))
            ++m_nPos;
        return m_line.substr(nStart, m_nPos - nStart);
    }
    // A frame or a pattern: up to the first ']' when no other '[' comes before it (a frame
    // may hold blanks), otherwise up to the next blank; anything stuck to its end goes with
    // it, so that the checks see "[A]x" whole.
    std::wstring Item()
    {
        SkipBlanks();
        const size_t nStart = m_nPos;
        const size_t nClose = m_line.find(L']', nStart);
        const size_t nOpen = m_line.find(L'[', nStart + 1);
        if (nClose != std::wstring::npos && (nOpen == std::wstring::npos || nOpen > nClose))
            m_nPos = nClose + 1;
        while (m_nPos < m_line.size() && !IsBlank(m_line[m_nPos]))
            ++m_nPos;
        return m_line.substr(nStart, m_nPos - nStart);
    }
    // Text in double quotes with \" and \\ as escapes; the caller has seen the quote. False
    // when the quote is not closed.
    bool QuotedText(std::wstring& text)
    {
        SkipBlanks();
        text.clear();
        for (size_t i = m_nPos + 1; i < m_line.size(); ++i) {
            const wchar_t c = m_line[i];
            if (c == L'\\' && i + 1 < m_line.size() && (m_line[i + 1] == L'"' || m_line[i + 1] == L'\\')) {
                text += m_line[++i];
            } else if (c == L'"') {
                m_nPos = i + 1;
                return true;
            } else {
                text += c;
            }
        }
        return false;
    }

private:
    void SkipBlanks()
    {
        while (m_nPos < m_line.size() && IsBlank(m_line[m_nPos]))
            ++m_nPos;
    }

    const std::wstring& m_line;
    size_t m_nPos = 0;
};

// The line without its comment. False when a quote is left open.
bool StripComment(const std::wstring& line, std::wstring& out)
{
    bool bInQuote = false;
    size_t i = 0;
    for (; i < line.size(); ++i) {
        const wchar_t c = line[i];
        if (bInQuote && c == L'\\' && i + 1 < line.size())
            ++i;
        else if (c == L'"')
            bInQuote = !bInQuote;
        else if (c == L'#' && !bInQuote)
            break;
    }
    out = line.substr(0, i);
    return !bInQuote;
}

std::wstring Trim(const std::wstring& text)
{
    size_t nStart = 0;
    size_t nEnd = text.size();
    while (nStart < nEnd && IsBlank(text[nStart]))
        ++nStart;
    while (nEnd > nStart && IsBlank(text[nEnd - 1]))
        --nEnd;
    return text.substr(nStart, nEnd - nStart);
}

bool IsPrintableAscii(const std::wstring& text)
{
    for (wchar_t c : text) {
        if (c < 0x20 || c > 0x7E)
            return false;
    }
    return true;
}

size_t Count(const std::wstring& text, wchar_t c)
{
    size_t n = 0;
    for (wchar_t x : text)
        n += x == c ? 1 : 0;
    return n;
}

bool CheckFrame(const std::wstring& keyword, const std::wstring& frame, std::wstring& error)
{
    if (frame.empty()) {
        error = Quoted(keyword) + L" needs a frame";
    } else if (frame[0] != L'[' && frame.find_first_of(L"[]") == std::wstring::npos) {
        error = Quoted(keyword) + L" needs a frame in brackets, not " + Quoted(frame);
    } else if (frame[0] != L'[' || Count(frame, L'[') != 1 || Count(frame, L']') != 1) {
        error = L"unbalanced brackets in " + Quoted(frame);
    } else if (frame.back() != L']') {
        error = L"text after the \"]\" of " + Quoted(frame);
    } else if (!IsPrintableAscii(frame)) {
        error = Quoted(frame) + L" holds a character that is not printable ASCII";
    } else if (frame.size() > kMaxFrameChars) {
        error = L"a frame longer than a command may be (" + std::to_wstring(frame.size()) + L" characters, at most "
                + std::to_wstring(kMaxFrameChars) + L")";
    } else {
        return true;
    }
    return false;
}

// Refuses a pattern that no frame can match: a frame is "[", characters without brackets,
// and "]".
bool CheckPattern(const std::wstring& pattern, std::wstring& error)
{
    const wchar_t first = pattern.empty() ? L'\0' : pattern[0];
    const size_t nClose = pattern.find(L']');
    const std::wstring never = Quoted(pattern) + L" can never match a frame: ";
    if (pattern.empty()) {
        error = L"\"expect\" needs a frame or a pattern";
    } else if (first != L'[' && first != L'*' && first != L'?') {
        error = never + L"it does not start with \"[\" or a wildcard";
    } else if (pattern.find(L'[', 1) != std::wstring::npos
               || (nClose != std::wstring::npos && pattern.find_first_of(L"[]", nClose + 1) != std::wstring::npos)) {
        error = first == L'[' && Count(pattern, L'[') != Count(pattern, L']') ? L"unbalanced brackets in " + Quoted(pattern)
                                                                               : never + L"it holds a bracket inside";
    } else if (nClose != std::wstring::npos && nClose + 1 != pattern.size()) {
        error = never + L"it has text after its \"]\"";
    } else if (pattern.back() != L']' && pattern.back() != L'*') {
        error = first == L'[' ? L"unbalanced brackets in " + Quoted(pattern)
                              : never + L"it ends in neither \"]\" nor \"*\"";
    } else if (!IsPrintableAscii(pattern)) {
        error = Quoted(pattern) + L" holds a character that is not printable ASCII";
    } else {
        const size_t nFixed = pattern.size() - Count(pattern, L'*');
        if (nFixed <= kMaxPatternFixedChars)
            return true;
        error = never + std::to_wstring(nFixed) + L" characters must be there, a frame has at most "
                + std::to_wstring(kMaxPatternFixedChars);
    }
    return false;
}

// "N s" or "N ms", N a positive decimal (with a fraction for seconds), into milliseconds
// between 1 and kMaxStepMs.
bool ReadDuration(CLineReader& reader, const std::wstring& keyword, int& nMs, std::wstring& error)
{
    const std::wstring number = reader.Word();
    const std::wstring unit = reader.Word();
    const std::wstring form = Quoted(keyword) + L" needs a number and \"s\" or \"ms\"";
    if (number.empty()) {
        error = form;
        return false;
    }
    // Integer and fraction digits apart, so that nothing is lost to rounding.
    const size_t nDot = number.find(L'.');
    const std::wstring whole = number.substr(0, nDot);
    const std::wstring fraction = nDot == std::wstring::npos ? L"" : number.substr(nDot + 1);
    const bool bDigits = !whole.empty() && whole.find_first_not_of(L"0123456789") == std::wstring::npos
                         && fraction.find_first_not_of(L"0123456789") == std::wstring::npos
                         && (nDot == std::wstring::npos || !fraction.empty());
    if (!bDigits || (unit != L"s" && unit != L"ms")) {
        error = form + L", not " + Quoted(Trim(number + L" " + unit));
        return false;
    }
    const size_t nScaleDigits = unit == L"s" ? 3 : 0;
    if (fraction.find_first_not_of(L'0', nScaleDigits) != std::wstring::npos) {
        error = Quoted(keyword) + L" counts whole milliseconds, not " + Quoted(number + L" " + unit);
        return false;
    }
    // Leading zeros do not count towards the size; more digits than this are out of range.
    const size_t nFirst = whole.find_first_not_of(L'0');
    const std::wstring significant = nFirst == std::wstring::npos ? L"" : whole.substr(nFirst);
    long long nValue = 0;
    if (significant.size() <= 10) {
        for (wchar_t c : significant)
            nValue = nValue * 10 + (c - L'0');
        for (size_t i = 0; i < nScaleDigits; ++i)
            nValue = nValue * 10 + (i < fraction.size() ? fraction[i] - L'0' : 0);
    } else {
        nValue = kMaxStepMs + 1LL;
    }
    if (nValue <= 0 || nValue > kMaxStepMs) {
        error = Quoted(keyword) + L" must be more than 0 and at most 1 hour";
        return false;
    }
    nMs = static_cast<int>(nValue);
    return true;
}

bool ReadNothingMore(CLineReader& reader, const std::wstring& after, std::wstring& error)
{
    if (reader.AtEnd())
        return true;
    error = L"unexpected " + Quoted(reader.Word()) + L" after " + after;
    return false;
}

// "[within N s|ms]" at the end of a line, for the expectation of a step.
bool ReadWithin(CLineReader& reader, ProcedureStep& step, const std::wstring& after, std::wstring& error)
{
    if (reader.AtEnd())
        return true;
    const std::wstring word = reader.Word();
    if (word != L"within") {
        error = L"unexpected " + Quoted(word) + L" after " + after;
        return false;
    }
    return ReadDuration(reader, word, step.nWithinMs, error) && ReadNothingMore(reader, L"the time", error);
}

bool ParseStep(const std::wstring& source, ProcedureStep& step, std::wstring& error)
{
    CLineReader reader(source);
    const std::wstring keyword = reader.Word();
    if (keyword == L"send") {
        step.type = ProcedureStep::Type::Send;
        step.frame = reader.Item();
        if (!CheckFrame(keyword, step.frame, error))
            return false;
        if (reader.AtEnd())
            return true;
        const std::wstring word = reader.Word();
        if (word == L"within") {
            error = L"\"within\" bounds an answer: write \"expect\" and what must come before it";
            return false;
        }
        if (word != L"expect") {
            error = L"unexpected " + Quoted(word) + L" after the frame";
            return false;
        }
        step.pattern = reader.Item();
        return CheckPattern(step.pattern, error) && ReadWithin(reader, step, L"the expectation", error);
    }
    if (keyword == L"expect") {
        step.type = ProcedureStep::Type::Expect;
        step.pattern = reader.Item();
        return CheckPattern(step.pattern, error) && ReadWithin(reader, step, L"the expectation", error);
    }
    if (keyword == L"wait") {
        step.type = ProcedureStep::Type::Wait;
        return ReadDuration(reader, keyword, step.nWithinMs, error) && ReadNothingMore(reader, L"the time", error);
    }
    if (keyword == L"note" || keyword == L"ask") {
        step.type = keyword == L"note" ? ProcedureStep::Type::Note : ProcedureStep::Type::Ask;
        if (reader.Peek() != L'"') {
            error = Quoted(keyword) + L" needs its text in double quotes";
            return false;
        }
        if (!reader.QuotedText(step.text)) {
            error = L"unclosed quote";
            return false;
        }
        if (Trim(step.text).empty()) {
            error = Quoted(keyword) + L" needs a text between its quotes";
            return false;
        }
        return ReadNothingMore(reader, L"the closing quote", error);
    }
    if (keyword == L"stop-on-fail" || keyword == L"continue-on-fail") {
        step.type = keyword == L"stop-on-fail" ? ProcedureStep::Type::StopOnFail : ProcedureStep::Type::ContinueOnFail;
        return ReadNothingMore(reader, Quoted(keyword), error);
    }
    error = L"unknown step " + Quoted(keyword);
    return false;
}

// The bytes as UTF-16 text, without a byte-order mark; false when they are not UTF-8 text.
bool DecodeUtf8(const std::string& bytes, std::wstring& text)
{
    if (std::memchr(bytes.data(), 0, bytes.size()) != nullptr)
        return false;
    const size_t nSkip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const int cbIn = static_cast<int>(bytes.size() - nSkip);
    text.clear();
    if (cbIn == 0)
        return true;
    const int cchOut = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + nSkip, cbIn, nullptr, 0);
    if (cchOut <= 0)
        return false;
    text.resize(static_cast<size_t>(cchOut));
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data() + nSkip, cbIn, text.data(), cchOut) == cchOut;
}

std::wstring TooLarge(unsigned long long nBytes)
{
    return L"larger than 1 MB (" + std::to_wstring(nBytes) + L" bytes)";
}

} // namespace

bool Procedure::HasAsk() const
{
    for (const ProcedureStep& step : steps) {
        if (step.type == ProcedureStep::Type::Ask)
            return true;
    }
    return false;
}

int Procedure::CountChecks() const
{
    int nChecks = 0;
    for (const ProcedureStep& step : steps) {
        switch (step.type) {
        case ProcedureStep::Type::Send:
        case ProcedureStep::Type::Expect:
        case ProcedureStep::Type::Wait:
        case ProcedureStep::Type::Ask:
            ++nChecks;
            break;
        default:
            break;
        }
    }
    return nChecks;
}

bool ParseProcedure(const std::string& bytes, const std::wstring& name, Procedure& out, std::wstring& error)
{
    out = Procedure();
    error.clear();
    if (bytes.size() > kMaxProcedureBytes) {
        error = TooLarge(bytes.size());
        return false;
    }
    std::wstring text;
    if (!DecodeUtf8(bytes, text)) {
        error = L"not UTF-8 text";
        return false;
    }
    Procedure procedure;
    procedure.name = name;
    int nLine = 0;
    for (size_t nStart = 0; nStart <= text.size();) {
        size_t nEnd = text.find_first_of(L"\r\n", nStart);
        if (nEnd == std::wstring::npos)
            nEnd = text.size();
        ++nLine;
        std::wstring line;
        std::wstring reason;
        if (!StripComment(text.substr(nStart, nEnd - nStart), line)) {
            reason = L"unclosed quote";
        } else {
            ProcedureStep step;
            step.nLine = nLine;
            step.source = Trim(line);
            if (!step.source.empty() && ParseStep(step.source, step, reason))
                procedure.steps.push_back(std::move(step));
        }
        if (!reason.empty()) {
            error = L"line " + std::to_wstring(nLine) + L": " + reason;
            return false;
        }
        nStart = nEnd + (text.compare(nEnd, 2, L"\r\n") == 0 ? 2 : 1);
    }
    if (procedure.steps.empty()) {
        error = L"the procedure has no steps";
        return false;
    }
    if (!Sha256Hex(bytes, procedure.hash, error))
        return false;
    out = std::move(procedure);
    return true;
}

bool LoadProcedure(const std::wstring& path, Procedure& out, std::wstring& error)
{
    out = Procedure();
    CFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.Get() == INVALID_HANDLE_VALUE) {
        error = L"cannot open the file: " + CUtilityTools::SystemMessage(GetLastError());
        return false;
    }
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size)) {
        error = L"cannot read the file: " + CUtilityTools::SystemMessage(GetLastError());
        return false;
    }
    if (static_cast<unsigned long long>(size.QuadPart) > kMaxProcedureBytes) {
        error = TooLarge(static_cast<unsigned long long>(size.QuadPart));
        return false;
    }
    std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
    DWORD cbRead = 0;
    if (!::ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &cbRead, nullptr)) {
        error = L"cannot read the file: " + CUtilityTools::SystemMessage(GetLastError());
        return false;
    }
    if (cbRead != bytes.size()) {
        error = L"cannot read the file: it changed while it was read";
        return false;
    }
    return ParseProcedure(bytes, path.substr(path.find_last_of(L"\\/:") + 1), out, error);
}

bool MatchFramePattern(const std::wstring& pattern, const std::wstring& frame)
{
    // Left to right; on a mismatch the latest '*' takes one character more.
    size_t p = 0;
    size_t f = 0;
    size_t nStar = std::wstring::npos;
    size_t nStarFrame = 0;
    while (f < frame.size()) {
        if (p < pattern.size() && (pattern[p] == L'?' || pattern[p] == frame[f])) {
            ++p;
            ++f;
        } else if (p < pattern.size() && pattern[p] == L'*') {
            nStar = p++;
            nStarFrame = f;
        } else if (nStar != std::wstring::npos) {
            p = nStar + 1;
            f = ++nStarFrame;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}
