#include "support/TestSupport.h"

#include <cstdlib>
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

bool PumpUntil(const std::function<bool()>& cond, DWORD dwTimeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + dwTimeoutMs;
    while (!cond()) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return cond();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
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

ChildProcess::~ChildProcess()
{
    Terminate();
}

bool ChildProcess::Start(const std::wstring& commandLine, const std::wstring& outputFile)
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
    std::wstring line = commandLine;
    const BOOL ok = CreateProcessW(nullptr, line.data(), nullptr, nullptr, hOut != nullptr, CREATE_NO_WINDOW, nullptr,
                                   nullptr, &si, &m_pi);
    if (hOut != nullptr)
        CloseHandle(hOut);
    return ok != FALSE;
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

} // namespace testsupport
