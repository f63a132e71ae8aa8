#include "SimText.h"

#include <cstdio>

namespace simunit {

std::string Escape(const char* p, size_t cb)
{
    std::string out;
    out.reserve(cb + 8);
    for (size_t i = 0; i < cb; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        switch (c) {
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof(hex), "\\x%02X", c);
                out += hex;
            }
        }
    }
    return out;
}

namespace {
int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
} // namespace

bool Unescape(const std::string& in, std::string& out, std::string& error)
{
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (i + 1 >= in.size()) {
            error = "a lone backslash ends the text";
            return false;
        }
        const char e = in[++i];
        switch (e) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 's': out += ' '; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            const int hi = i + 1 < in.size() ? HexValue(in[i + 1]) : -1;
            const int lo = i + 2 < in.size() ? HexValue(in[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                error = "\\x needs two hex digits";
                return false;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            error = std::string("unknown escape \\") + e;
            return false;
        }
    }
    return true;
}

std::string Upper(std::string s)
{
    for (char& c : s) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return s;
}

bool EqualNoCase(const std::string& a, const std::string& b)
{
    return Upper(a) == Upper(b);
}

FrameFields SplitFields(const std::string& frame)
{
    FrameFields f;
    const size_t n = frame.size();
    if (n < 10 || frame[0] != '[' || frame[4] != '_' || frame[n - 1] != ']')
        return f;
    if (n == 10) {
        if (frame[9] != ']')
            return f;
    } else if (frame[9] != '_') {
        return f;
    }
    f.valid = true;
    f.cls = frame.substr(1, 3);
    f.word = frame.substr(5, 4);
    if (n > 10)
        f.data = frame.substr(10, n - 11);
    return f;
}

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int cb = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(cb > 0 ? cb : 0, '\0');
    if (cb > 0)
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), cb, nullptr, nullptr);
    return out;
}

std::wstring FromAnsi(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int cch = MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(cch > 0 ? cch : 0, L'\0');
    if (cch > 0)
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), out.data(), cch);
    return out;
}

bool ParseNumber(const std::string& text, unsigned long ulMax, unsigned long& value)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v > ulMax)
        return false;
    value = static_cast<unsigned long>(v);
    return true;
}

} // namespace simunit
