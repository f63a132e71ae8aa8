#include "SimScript.h"

#include "SimText.h"

#include <cstring>

namespace simunit {

namespace {
struct DirectiveInfo {
    const char* name;
    int args;
};

const DirectiveInfo kDirectives[] = {
    {"delay", 2},
    {"silent", 1},
    {"split", 2},
    {"noise", 1},
    {"line-end", 1},
    {"answer-with-spaces", 0},
    {"send-after-connect", 1},
    {"send-after-command", 2},
    {"every", 2},
    {"hangup-after-command", 1},
    {"vanish-after-command", 2},
    {"reset-after-command", 1},
    {"vanish-after-connect", 1},
    {"flood", 2},
    {"flood-after-command", 3},
    {"pace", 3},
    {"pace-after-command", 4},
    {"xoff-after-command", 2},
    {"stop-reading-after-command", 2},
    {"echo-timeout", 1},
    {"echo-summary", 0},
    {"hostile", 3},
    {"hostile-after-command", 4},
};

const unsigned long kMaxMs = 24UL * 3600UL * 1000UL;
const unsigned long kMaxCount = 10000000UL;
const unsigned long kMaxRate = 1000000UL;
const unsigned long kMaxHostileBytes = 100000000UL;

bool Number(const std::string& text, unsigned long ulMin, unsigned long ulMax, unsigned long& value, const char* lpWhat,
            std::string& error)
{
    if (!ParseNumber(text, ulMax, value) || value < ulMin) {
        error = std::string(lpWhat) + " must be a number from " + std::to_string(ulMin) + " to " + std::to_string(ulMax) +
                ", not \"" + text + "\"";
        return false;
    }
    return true;
}

bool Word(const std::string& text, std::string& word, std::string& error)
{
    if (text != "*" && text.size() != 4) {
        error = "a command word has 4 characters (or is * for every word), not \"" + text + "\"";
        return false;
    }
    word = Upper(text);
    return true;
}

bool Frame(const std::string& text, std::string& frame, std::string& error)
{
    if (!Unescape(text, frame, error))
        return false;
    if (frame.empty()) {
        error = "the frame is empty";
        return false;
    }
    return true;
}

std::string Trim(const std::string& s)
{
    size_t b = 0;
    size_t e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r' || s[b] == '\n'))
        ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r' || s[e - 1] == '\n'))
        --e;
    return s.substr(b, e - b);
}
} // namespace

int CSimScript::ArgCount(const std::string& name)
{
    for (const DirectiveInfo& d : kDirectives) {
        if (name == d.name)
            return d.args;
    }
    return -1;
}

bool CSimScript::Apply(const std::string& name, const std::vector<std::string>& args, std::string& error)
{
    const int n = ArgCount(name);
    if (n < 0) {
        error = "unknown directive \"" + name + "\"";
        return false;
    }
    if (static_cast<int>(args.size()) != n) {
        error = name + " takes " + std::to_string(n) + " argument(s)";
        return false;
    }
    unsigned long a = 0;
    unsigned long b = 0;
    std::string text;
    if (name == "delay") {
        if (!Word(args[0], text, error) || !Number(args[1], 0, kMaxMs, a, "the delay", error))
            return false;
        m_delays[text] = a;
    } else if (name == "silent") {
        if (!Word(args[0], text, error))
            return false;
        m_silent.insert(text);
    } else if (name == "split") {
        if (!Number(args[0], 1, 1000, a, "the number of pieces", error) ||
            !Number(args[1], 0, kMaxMs, b, "the pause", error))
            return false;
        m_ulSplitPieces = a;
        m_dwSplitPauseMs = b;
    } else if (name == "noise") {
        if (!Unescape(args[0], m_noise, error))
            return false;
    } else if (name == "line-end") {
        if (args[0] == "none")
            m_lineEnd.clear();
        else if (!Unescape(args[0], m_lineEnd, error))
            return false;
    } else if (name == "answer-with-spaces") {
        m_bAnswerWithSpaces = true;
    } else if (name == "send-after-connect") {
        ScriptFrame f;
        if (!Frame(args[0], f.frame, error))
            return false;
        m_frames.push_back(f);
    } else if (name == "send-after-command") {
        ScriptFrame f;
        if (!Number(args[0], 1, kMaxCount, f.afterCommand, "the command number", error) ||
            !Frame(args[1], f.frame, error))
            return false;
        m_frames.push_back(f);
    } else if (name == "every") {
        ScriptPeriodic p;
        if (!Number(args[0], 1, kMaxMs, a, "the period", error) || !Frame(args[1], p.frame, error))
            return false;
        p.dwPeriodMs = a;
        m_periodic.push_back(p);
    } else if (name == "hangup-after-command") {
        if (!Number(args[0], 1, kMaxCount, m_ulHangupAfterCommand, "the command number", error))
            return false;
    } else if (name == "vanish-after-command") {
        if (!Number(args[0], 1, kMaxCount, m_ulVanishAfterCommand, "the command number", error) ||
            !Number(args[1], 0, kMaxMs, a, "the time away", error))
            return false;
        m_dwVanishMs = a;
    } else if (name == "vanish-after-connect") {
        if (!Number(args[0], 0, kMaxMs, a, "the time away", error))
            return false;
        m_dwVanishMs = a;
        m_bVanishAtConnect = true;
    } else if (name == "reset-after-command") {
        if (!Number(args[0], 1, kMaxCount, m_ulResetAfterCommand, "the command number", error))
            return false;
    } else if (name == "flood" || name == "flood-after-command") {
        ScriptFlood f;
        size_t i = 0;
        if (name == "flood-after-command" &&
            !Number(args[i++], 1, kMaxCount, f.afterCommand, "the command number", error))
            return false;
        if (!Number(args[i], 1, kMaxCount, f.count, "the number of frames", error) || !Frame(args[i + 1], f.frame, error))
            return false;
        m_floods.push_back(f);
    } else if (name == "pace" || name == "pace-after-command") {
        ScriptPace p;
        size_t i = 0;
        if (name == "pace-after-command" &&
            !Number(args[i++], 1, kMaxCount, p.afterCommand, "the command number", error))
            return false;
        if (!Number(args[i], 1, kMaxCount, p.count, "the number of frames", error) ||
            !Number(args[i + 1], 1, kMaxRate, p.rate, "the rate", error) || !Frame(args[i + 2], p.frame, error))
            return false;
        m_paces.push_back(p);
    } else if (name == "xoff-after-command" || name == "stop-reading-after-command") {
        ScriptHold h;
        if (!Number(args[0], 1, kMaxCount, h.afterCommand, "the command number", error) ||
            !Number(args[1], 1, kMaxMs, a, "the time", error))
            return false;
        h.dwMs = a;
        (name == "xoff-after-command" ? m_xoffs : m_readingStops).push_back(h);
    } else if (name == "echo-timeout") {
        if (!Number(args[0], 1, kMaxMs, a, "the echo time-out", error))
            return false;
        m_dwEchoTimeoutMs = a;
    } else if (name == "echo-summary") {
        m_bEchoSummary = true;
    } else if (name == "hostile" || name == "hostile-after-command") {
        ScriptHostile h;
        size_t i = 0;
        if (name == "hostile-after-command" &&
            !Number(args[i++], 1, kMaxCount, h.afterCommand, "the command number", error))
            return false;
        if (!Number(args[i], 1, kMaxHostileBytes, h.count, "the number of bytes", error) ||
            !Number(args[i + 1], 0, 0xFFFFFFFFUL, h.seed, "the seed", error))
            return false;
        if (!ParseHostileKind(args[i + 2], h.kind)) {
            error = "the kind must be random, high, printable or mixed, not \"" + args[i + 2] + "\"";
            return false;
        }
        m_hostiles.push_back(h);
    }
    return true;
}

bool CSimScript::LoadFile(const std::wstring& path, std::string& error)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot open the script " + ToAnsi(path) + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    std::string content;
    char buf[4096];
    DWORD dwRead = 0;
    while (ReadFile(h, buf, sizeof(buf), &dwRead, nullptr) && dwRead > 0)
        content.append(buf, dwRead);
    CloseHandle(h);
    if (content.size() >= 3 && std::memcmp(content.data(), "\xEF\xBB\xBF", 3) == 0)
        content.erase(0, 3);

    size_t pos = 0;
    unsigned lineNo = 0;
    while (pos < content.size()) {
        size_t eol = content.find('\n', pos);
        if (eol == std::string::npos)
            eol = content.size();
        const std::string line = Trim(content.substr(pos, eol - pos));
        pos = eol + 1;
        ++lineNo;
        if (line.empty() || line[0] == '#')
            continue;

        // The last argument is the rest of the line, so frames and noise may hold blanks.
        size_t cut = line.find_first_of(" \t");
        const std::string name = line.substr(0, cut);
        std::string rest = cut == std::string::npos ? std::string() : Trim(line.substr(cut));
        const int n = ArgCount(name);
        std::vector<std::string> args;
        for (int i = 0; i < n && !rest.empty(); ++i) {
            if (i == n - 1) {
                args.push_back(rest);
                rest.clear();
            } else {
                cut = rest.find_first_of(" \t");
                args.push_back(rest.substr(0, cut));
                rest = cut == std::string::npos ? std::string() : Trim(rest.substr(cut));
            }
        }
        if (!rest.empty() && n >= 0) {
            error = "line " + std::to_string(lineNo) + ": " + name + " takes " + std::to_string(n) + " argument(s)";
            return false;
        }
        std::string why;
        if (!Apply(name, args, why)) {
            error = "line " + std::to_string(lineNo) + ": " + why;
            return false;
        }
    }
    return true;
}

DWORD CSimScript::DelayFor(const std::string& word) const
{
    auto it = m_delays.find(Upper(word));
    if (it == m_delays.end())
        it = m_delays.find("*");
    return it == m_delays.end() ? 0 : it->second;
}

bool CSimScript::IsSilent(const std::string& word) const
{
    return m_silent.count(Upper(word)) > 0 || m_silent.count("*") > 0;
}

} // namespace simunit
