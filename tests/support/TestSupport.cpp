#include "support/TestSupport.h"

#include "framework/Wnd.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace testsupport {

std::wstring BinDir()
{
    wchar_t szPath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring path(szPath);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

namespace {
void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW fd;
    HANDLE hFind = FindFirstFileW((dir + L"*").c_str(), &fd);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = dir + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full + L"\\");
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(hFind, &fd));
        FindClose(hFind);
    }
    RemoveDirectoryW(dir.c_str());
}
} // namespace

std::wstring MakeScratchDir(const wchar_t* lpName)
{
    wchar_t szTemp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, szTemp);
    std::wstring dir = std::wstring(szTemp) + L"rigtest_" + lpName + L"_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    RemoveTree(dir);
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

std::string ReadFileBytes(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

void PumpPending()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        // As the program's own message loops do: the windows' key handling first.
        if (RigPreTranslateMessage(&msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool PumpUntil(const std::function<bool()>& cond, DWORD dwTimeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
    while (!cond()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return cond();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        PumpPending();
    }
    return true;
}

void PumpFor(DWORD dwMs)
{
    PumpUntil([] { return false; }, dwMs);
}

namespace {
int EnvInt(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr ? std::atoi(value) : 0;
}
} // namespace

int ProgramComPort() { return EnvInt("RIG_COM_PROGRAM"); }
int UnitComPort() { return EnvInt("RIG_COM_UNIT"); }
int PulledProgramComPort() { return EnvInt("RIG_COM_PULLED_PROGRAM"); }
int PulledUnitComPort() { return EnvInt("RIG_COM_PULLED_UNIT"); }

bool PullComPair(bool bPulled, DWORD dwTimeoutMs)
{
    // The test environment keeps the pair while its folder holds no file "down" (a Unix
    // folder, reached through drive Z:).
    const char* lpDir = std::getenv("RIG_PTY_DIR");
    if (lpDir == nullptr)
        return false;
    std::wstring dir = L"Z:";
    for (const char* p = lpDir; *p != '\0'; ++p)
        dir += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    const std::wstring down = dir + L"\\down";
    if (bPulled) {
        HANDLE hFile = CreateFileW(down.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hFile == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(hFile);
    } else if (!DeleteFileW(down.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    // The program's end of the pair (a link to a terminal device) is there, or gone.
    const std::wstring end = dir + L"\\ttyC";
    const auto present = [&] {
        WIN32_FIND_DATAW found{};
        HANDLE hFind = FindFirstFileW(end.c_str(), &found);
        if (hFind == INVALID_HANDLE_VALUE)
            return false;
        FindClose(hFind);
        return true;
    };
    return PumpUntil([&] { return present() != bPulled; }, dwTimeoutMs);
}

ChildProcess::~ChildProcess()
{
    Terminate();
}

bool ChildProcess::Start(const std::wstring& commandLine, const std::wstring& outputFile, bool bSuspended)
{
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    HANDLE hOut = nullptr;
    if (!outputFile.empty()) {
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        hOut = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (hOut == INVALID_HANDLE_VALUE)
            return false;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = hOut;
        si.hStdError = hOut;
        si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    // A process started before by this object is let go of (it has ended, or ends alone).
    if (m_pi.hThread != nullptr)
        CloseHandle(m_pi.hThread);
    if (m_pi.hProcess != nullptr)
        CloseHandle(m_pi.hProcess);
    m_pi = PROCESS_INFORMATION{};
    std::wstring line = commandLine;
    const DWORD dwFlags = CREATE_NO_WINDOW | (bSuspended ? CREATE_SUSPENDED : 0);
    const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, hOut != nullptr, dwFlags, nullptr, nullptr,
                                   &si, &m_pi);
    if (hOut != nullptr)
        CloseHandle(hOut);
    return ok != FALSE;
}

bool ChildProcess::Resume()
{
    return m_pi.hThread != nullptr && ResumeThread(m_pi.hThread) != static_cast<DWORD>(-1);
}

bool ChildProcess::WaitExit(DWORD dwTimeoutMs)
{
    return m_pi.hProcess != nullptr && WaitForSingleObject(m_pi.hProcess, dwTimeoutMs) == WAIT_OBJECT_0;
}

DWORD ChildProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (m_pi.hProcess != nullptr)
        GetExitCodeProcess(m_pi.hProcess, &code);
    return code;
}

void ChildProcess::Terminate()
{
    if (m_pi.hProcess != nullptr) {
        if (WaitForSingleObject(m_pi.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(m_pi.hProcess, 1);
            WaitForSingleObject(m_pi.hProcess, 5000);
        }
        CloseHandle(m_pi.hProcess);
        CloseHandle(m_pi.hThread);
        m_pi = PROCESS_INFORMATION{};
    }
}

DebugCapture::~DebugCapture()
{
    Stop();
}

bool DebugCapture::Start()
{
    if (m_thread.joinable())
        return true;
    m_hMapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
    bool ok = m_hMapping != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    if (ok) {
        m_hBufferReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
        ok = m_hBufferReady != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    }
    if (ok) {
        m_hDataReady = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
        ok = m_hDataReady != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
    }
    if (ok) {
        m_hStop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_pView = static_cast<const BYTE*>(MapViewOfFile(m_hMapping, FILE_MAP_READ, 0, 0, 4096));
        ok = m_hStop != nullptr && m_pView != nullptr;
    }
    if (!ok) {
        Stop();
        return false;
    }
    m_thread = std::thread([this] { Listen(); });
    SetEvent(m_hBufferReady);
    return true;
}

void DebugCapture::Listen()
{
    HANDLE waits[2] = {m_hDataReady, m_hStop};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        DWORD dwPid = 0;
        memcpy(&dwPid, m_pView, sizeof(dwPid));
        const char* pText = reinterpret_cast<const char*>(m_pView + sizeof(DWORD));
        std::string text(pText, strnlen(pText, 4096 - sizeof(DWORD)));
        SetEvent(m_hBufferReady);
        std::lock_guard<std::mutex> guard(m_lock);
        if (dwPid == m_dwPid)
            m_lines.push_back(std::move(text));
        else if (std::find(m_otherPids.begin(), m_otherPids.end(), dwPid) != m_otherPids.end())
            m_otherLines.emplace_back(dwPid, std::move(text));
    }
}

void DebugCapture::Stop()
{
    if (m_thread.joinable()) {
        SetEvent(m_hStop);
        m_thread.join();
    }
    if (m_pView != nullptr)
        UnmapViewOfFile(m_pView);
    m_pView = nullptr;
    for (HANDLE* h : {&m_hMapping, &m_hBufferReady, &m_hDataReady, &m_hStop}) {
        if (*h != nullptr)
            CloseHandle(*h);
        *h = nullptr;
    }
}

std::vector<std::string> DebugCapture::Take(DWORD dwTimeoutMs)
{
    const std::string marker = "rigtest-capture-marker-" + std::to_string(++m_nextMarker);
    OutputDebugStringA(marker.c_str());
    std::vector<std::string> result;
    PumpUntil(
        [&] {
            std::lock_guard<std::mutex> guard(m_lock);
            for (size_t i = 0; i < m_lines.size(); ++i) {
                if (m_lines[i] == marker) {
                    result.assign(m_lines.begin(), m_lines.begin() + static_cast<std::ptrdiff_t>(i));
                    m_lines.erase(m_lines.begin(), m_lines.begin() + static_cast<std::ptrdiff_t>(i) + 1);
                    return true;
                }
            }
            return false;
        },
        dwTimeoutMs);
    return result;
}

std::vector<std::string> DebugCapture::Lines() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

void DebugCapture::AlsoKeep(DWORD dwPid)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_otherPids.push_back(dwPid);
}

std::vector<std::string> DebugCapture::LinesOf(DWORD dwPid) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<std::string> lines;
    for (const auto& line : m_otherLines)
        if (line.first == dwPid)
            lines.push_back(line.second);
    return lines;
}

bool LogLine::Parse(const std::string& text, LogLine& out)
{
    static const char* const kTags[] = {":_FUN_S_: ", ":_FUN_E_: ", ":_DAT_A_: ", ":_NOTIC_: ",
                                        ":_ERROR_: ", ":_COM_S_: ", ":_COM_R_: "};
    if (text.empty() || text[0] != '[')
        return false;
    const size_t sep = text.find(" : ", 1);
    if (sep == std::string::npos || sep < 41)
        return false;
    std::string name = text.substr(1, sep - 1);
    if (name.size() == 40) {
        while (!name.empty() && name.back() == ' ')
            name.pop_back();
    }
    // A longer name is written whole, so it cannot end in padding.
    if (name.empty() || name.back() == ' ')
        return false;

    size_t pos = sep + 3;
    size_t digits = 0;
    while (pos + digits < text.size() && text[pos + digits] >= '0' && text[pos + digits] <= '9')
        ++digits;
    if (digits == 0)
        return false;
    const int number = std::atoi(text.substr(pos, digits).c_str());
    pos += digits;
    for (size_t width = digits; width < 5; ++width, ++pos) {
        if (pos >= text.size() || text[pos] != ' ')
            return false;
    }
    if (pos >= text.size() || text[pos] != ']')
        return false;
    ++pos;
    const std::string tag = text.substr(pos, 10);
    bool known = false;
    for (const char* t : kTags)
        known = known || tag == t;
    if (!known || pos + 10 >= text.size() || text[pos + 10] != ' ')
        return false;

    out.function = name;
    out.line = number;
    out.tag = tag;
    out.message = text.substr(pos + 11);
    return true;
}

} // namespace testsupport
