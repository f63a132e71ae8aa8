// CIniMngr on real files in the Wine prefix through the system's private-profile functions;
// its trace is read back through an in-process debug-output listener.
#include "storage/DebugLog.h"
#include "storage/IniMngr.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using testsupport::ReadFileBytes;

namespace {

std::string Utf16(const std::wstring& text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

void WriteIni(const std::wstring& path, const std::wstring& text)
{
    const std::string bytes = std::string("\xFF\xFE") + Utf16(text);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    ASSERT_EQ(bytes.size(), written);
}

std::wstring Scratch()
{
    const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return testsupport::MakeScratchDir(std::wstring(name, name + strlen(name)).c_str());
}

// Listens on the system's debug-output channel as a debug viewer does, keeping this
// process's lines.
class DebugCapture {
public:
    DebugCapture()
    {
        m_hMap = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER");
        if (m_hMap == nullptr || GetLastError() == ERROR_ALREADY_EXISTS)
            return;
        m_pView = static_cast<const char*>(MapViewOfFile(m_hMap, FILE_MAP_READ, 0, 0, 4096));
        m_hReady = CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY");
        m_hData = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
        m_thread = std::thread([this] {
            while (!m_bStop)
                if (WaitForSingleObject(m_hData, 20) == WAIT_OBJECT_0) {
                    if (*reinterpret_cast<const DWORD*>(m_pView) == GetCurrentProcessId()) {
                        std::lock_guard<std::mutex> guard(m_Mutex);
                        m_Lines.emplace_back(m_pView + 4, strnlen(m_pView + 4, 4092));
                    }
                    SetEvent(m_hReady);
                }
        });
    }
    ~DebugCapture()
    {
        m_bStop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_pView != nullptr)
            UnmapViewOfFile(m_pView);
        for (HANDLE h : {m_hData, m_hReady, m_hMap})
            if (h != nullptr)
                CloseHandle(h);
    }
    bool Listening() const { return m_pView != nullptr; }

    // Lines of the function ending in text, once all lines written so far have arrived (a
    // marker line is sent through and awaited).
    int Count(const char* function, const std::string& text)
    {
        DebugLog(L"Mark", 0, TAG_DAT_A, L"end-of-step");
        testsupport::PumpUntil([&] { return Find("[Mark ", "end-of-step") > m_nMarks; }, 10000);
        ++m_nMarks;
        return Find((std::string("[") + function + " ").c_str(), text);
    }

private:
    int Find(const char* prefix, const std::string& text)
    {
        std::lock_guard<std::mutex> guard(m_Mutex);
        int n = 0;
        for (const std::string& line : m_Lines)
            n += line.rfind(prefix, 0) == 0 && line.size() >= text.size() &&
                 line.compare(line.size() - text.size(), text.size(), text) == 0;
        return n;
    }

    HANDLE m_hMap = nullptr, m_hReady = nullptr, m_hData = nullptr;
    const char* m_pView = nullptr;
    std::thread m_thread; // ends before the view and the events go
    std::atomic<bool> m_bStop{false};
    std::mutex m_Mutex;   // covers m_Lines
    std::vector<std::string> m_Lines;
    int m_nMarks = 0;
};

} // namespace

TEST(IniMngrFile, NewFileHoldsOnlyTheMarkAndTakesUtf16Writes)
{
    const std::wstring path = Scratch() + L"New.ini";
    CIniMngr ini;
    ASSERT_TRUE(ini.SetPathName(path.c_str(), false));
    EXPECT_EQ(std::string("\xFF\xFE"), ReadFileBytes(path));

    ASSERT_TRUE(ini.WriteInt(L"SETTINGS", L"Value", -5));
    ASSERT_TRUE(ini.WriteString(L"SETTINGS", L"Name", nullptr));
    const std::string bytes = ReadFileBytes(path);
    EXPECT_EQ(0u, bytes.rfind("\xFF\xFE", 0));
    EXPECT_NE(std::string::npos, bytes.find(Utf16(L"[SETTINGS]\r\nValue=-5\r\nName=\r\n")));
    int value = 0;
    EXPECT_EQ(2, ini.GetInt(L"settings", L"value", value, 7));
    EXPECT_EQ(-5, value);
    wchar_t text[260];
    EXPECT_EQ(4, ini.GetString(L"SETTINGS", L"Name", text, 260, L"none")); // empty value: default
    EXPECT_STREQ(L"none", text);
}

TEST(IniMngrFile, UnusablePathsAreReportedAndNothingIsCreated)
{
    DebugCapture capture;
    ASSERT_TRUE(capture.Listening());
    const std::wstring dir = Scratch(), missing = dir + L"Missing.ini", folder = dir + L"Folder.ini";
    CIniMngr ini;
    EXPECT_FALSE(ini.SetPathName(missing.c_str(), true));
    EXPECT_EQ(missing, ini.GetPathName());
    int value = 0;
    ini.GetInt(L"SETTINGS", L"Value", value, 42);
    EXPECT_EQ(42, value);
    EXPECT_EQ(1, capture.Count("CIniMngr::SetPathName", ":_ERROR_:  File not Found!!"));
    EXPECT_EQ(1, capture.Count("CIniMngr::SetPathName", ":_ERROR_:  Path : " + std::string(missing.begin(), missing.end())));

    // A directory of that name, a folder that does not exist, a path too long to hold
    // without cutting it to another file's name: nothing can be created or written.
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    EXPECT_FALSE(ini.SetPathName(folder.c_str(), true));
    for (const std::wstring& path : {folder, dir + L"NoFolder\\Config.ini", dir + std::wstring(300, L'a')}) {
        EXPECT_FALSE(ini.SetPathName(path.c_str(), false));
        EXPECT_FALSE(ini.WriteInt(L"SETTINGS", L"Value", 1));
    }
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW(folder.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dir + L"NoFolder").c_str()));
    EXPECT_STREQ(L"", ini.GetPathName());
    EXPECT_EQ(2, capture.Count("CIniMngr::SetPathName", ":_ERROR_:  CreateNewFileAsUTF16(lpPathName) != ERROR_SUCCESS"));
    EXPECT_TRUE(ini.SetPathName(nullptr, true));
}

TEST(IniMngrFile, SectionsAndValuesAreReadWhole)
{
    DebugCapture capture;
    ASSERT_TRUE(capture.Listening());
    const std::wstring path = Scratch() + L"Read.ini";
    std::wstring text;
    for (int i = 0; i < 80; ++i) // far more section names than 512 characters hold
        text += L"[SECTION_WITH_A_LONG_NAME_" + std::to_wstring(i) + L"]\r\n";
    WriteIni(path, text + L"[SETTINGS]\r\nA=" + std::wstring(300, L'x') + L"\r\nB=" + std::wstring(70000, L'y') +
                       L"\r\nEmpty=\r\nWord=abc\r\nTail=19200x\r\nMinus=-5\r\n");
    CIniMngr ini;
    ASSERT_TRUE(ini.SetPathName(path.c_str(), true));
    EXPECT_TRUE(ini.IsSectionExist(L"settings"));
    EXPECT_FALSE(ini.IsSectionExist(L"COMMUNICATION"));
    EXPECT_EQ(1, capture.Count("CIniMngr::IsSectionExist", ":_ERROR_:  FilePath: " + std::string(path.begin(), path.end()) + " "));
    EXPECT_EQ(1, capture.Count("CIniMngr::IsSectionExist", ":_ERROR_:  Section : COMMUNICATION - Not Exist!!"));

    wchar_t field[261];
    for (const wchar_t* key : {L"A", L"B"}) {
        field[260] = L'#';
        EXPECT_EQ(260, ini.GetString(L"SETTINGS", key, field, 260, L"def"));
        EXPECT_EQ(259u, wcslen(field));
        EXPECT_EQ(L'#', field[260]);
    }
    const std::pair<const wchar_t*, int> numbers[] = {{L"Empty", 77}, {L"Word", 0}, {L"Tail", 19200}, {L"Minus", -5}, {L"None", 77}};
    for (const auto& [key, expected] : numbers) {
        int value = -1;
        ini.GetInt(L"SETTINGS", key, value, 77);
        EXPECT_EQ(expected, value) << key;
    }
}

TEST(IniMngrFile, RefusesWritesThatWouldDamageTheFile)
{
    const std::wstring path = Scratch() + L"Guard.ini";
    WriteIni(path, L"[S]\r\nKey=1\r\n");
    CIniMngr ini;
    EXPECT_FALSE(ini.WriteInt(L"S", L"Key", 2)); // no current file: the system would use the Windows folder
    ASSERT_TRUE(ini.SetPathName(path.c_str(), true));
    const std::string before = ReadFileBytes(path);
    EXPECT_FALSE(ini.WriteString(L"S", L"Key", L"2\r\n[INJECTED]\r\nX=1"));
    EXPECT_FALSE(ini.WriteString(L"S", nullptr, L"2")); // would delete the section
    EXPECT_EQ(before, ReadFileBytes(path));
}

// The program shares one instance; a caller holding the sequence lock keeps its file.
TEST(IniMngrFile, SharedInstanceKeepsEachSequenceWhole)
{
    const std::wstring dir = Scratch();
    CIniMngr& shared = CIniMngr::GetInstance();
    std::atomic<int> mismatches{0};
    auto worker = [&](int id) {
        const std::wstring path = dir + L"Thread" + std::to_wstring(id) + L".ini";
        for (int i = 0; i < 60; ++i) {
            auto lock = shared.LockSequence();
            shared.SetPathName(path.c_str(), false);
            shared.WriteInt(L"T", L"Id", id * 1000 + i);
            int value = -1;
            shared.GetInt(L"T", L"Id", value, -1);
            mismatches += value != id * 1000 + i || path != shared.GetPathName();
        }
    };
    std::thread a(worker, 1), b(worker, 2);
    a.join();
    b.join();
    EXPECT_EQ(0, mismatches.load());
    EXPECT_EQ(&shared, &CIniMngr::GetInstance());
}
