#include "storage/UtilityTools.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using testsupport::DebugCapture;
using testsupport::LogLine;

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

bool IsFolder(const std::wstring& path)
{
    const DWORD dwAttributes = GetFileAttributesW(path.c_str());
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The system's text for a code, asked for here without the tool under test.
std::string SystemText(DWORD dwCode)
{
    wchar_t szText[1024] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szText, 1023, nullptr);
    return Narrow(szText);
}

} // namespace

TEST(UtilityToolsPaths, ExtensionWithAndWithoutDot)
{
    wchar_t szOut[260];
    CUtilityTools::GetFileExt(L"C:\\Logs\\Log.rtf", szOut, false);
    EXPECT_STREQ(L"rtf", szOut);
    EXPECT_EQ(0, _wcsicmp(szOut, L"RTF"));
    CUtilityTools::GetFileExt(L"C:\\Logs\\Log.rtf", szOut, true);
    EXPECT_STREQ(L".rtf", szOut);
    CUtilityTools::GetFileExt(L"C:\\Logs.d\\Log", szOut, true);
    EXPECT_STREQ(L"", szOut);
    CUtilityTools::GetFileExt(L"C:\\Logs\\Log.old.txt", szOut, false);
    EXPECT_STREQ(L"txt", szOut);
}

TEST(UtilityToolsPaths, FolderNameAndBackslash)
{
    wchar_t szOut[260];
    CUtilityTools::GetFolderOfPath(L"C:\\Program\\Tool.exe", szOut);
    EXPECT_STREQ(L"C:\\Program\\", szOut);
    CUtilityTools::GetFolderOfPath(L"C:\\Program\\", szOut);
    EXPECT_STREQ(L"C:\\Program\\", szOut);
    CUtilityTools::GetFolderOfPath(L"Tool.exe", szOut);
    EXPECT_STREQ(L"", szOut);
    // Longer than any path buffer: an empty result, not a cut folder and not a crash.
    CUtilityTools::GetFolderOfPath((L"C:\\" + std::wstring(300, L'x') + L"\\a.txt").c_str(), szOut);
    EXPECT_STREQ(L"", szOut);

    CUtilityTools::GetFileNameExt(szOut, L"C:\\Logs\\Log.rtf");
    EXPECT_STREQ(L"Log.rtf", szOut);
    CUtilityTools::GetFileNameExt(szOut, L"C:\\Logs\\");
    EXPECT_STREQ(L"", szOut);
    CUtilityTools::GetFileNameExt(szOut, L"Config");
    EXPECT_STREQ(L"Config", szOut);

    wchar_t szText[260] = L"C:\\Data\\";
    CUtilityTools::AppendBackslash(szText);
    EXPECT_STREQ(L"C:\\Data\\", szText);
    wcscpy(szText, L"C:\\Data");
    CUtilityTools::AppendBackslash(szText);
    EXPECT_STREQ(L"C:\\Data\\", szText);
    // A full buffer stays as it is rather than losing its terminator.
    wchar_t szFull[8] = L"C:\\Dat";
    szFull[6] = L'a';
    szFull[7] = L'\0';
    CUtilityTools::AppendBackslash(szFull, 8);
    EXPECT_STREQ(L"C:\\Data", szFull);
}

// Folder creation, with its trace captured from the debug output of this process.
class UtilityToolsCreateDirectory : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.Start());
        m_dir = testsupport::MakeScratchDir(L"mkdir");
        m_capture.Take(); // whatever came before the test
    }

    // The trace since the last call as "tag|message" lines, each checked to be a whole line
    // of Create_Directory.
    std::vector<std::string> Trace()
    {
        std::vector<std::string> result;
        for (const std::string& text : m_capture.Take()) {
            LogLine line;
            EXPECT_TRUE(LogLine::Parse(text, line)) << text;
            EXPECT_EQ("CUtilityTools::Create_Directory", line.function) << text;
            result.push_back(line.tag + "|" + line.message);
        }
        return result;
    }

    static std::vector<std::string> Opening(const std::wstring& path)
    {
        return {":_FUN_S_: |_________________________",
                ":_DAT_A_: |+------------------------------------------------------",
                ":_DAT_A_: || Input Path : " + Narrow(path),
                ":_DAT_A_: |+------------------------------------------------------"};
    }
    static std::vector<std::string> Created(const std::wstring& chain)
    {
        return {":_DAT_A_: || Execute - ::CreateDirectory()", ":_DAT_A_: || Path   : " + Narrow(chain),
                ":_DAT_A_: || Result : true", ":_DAT_A_: |Result : Directory created!!"};
    }
    static std::vector<std::string> Failed(DWORD dwCode)
    {
        return {":_ERROR_: |Result : " + SystemText(dwCode), ":_ERROR_: |CodeNo : " + std::to_string(dwCode),
                ":_FUN_E_: |^^^^^^^^^^^^^^^^^^^^"};
    }
    static std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts)
    {
        std::vector<std::string> all;
        for (const auto& part : parts)
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }

    const std::vector<std::string> m_closing{":_FUN_E_: |^^^^^^^^^^^^^^^^^^^^"};
    DebugCapture m_capture;
    std::wstring m_dir;
};

TEST_F(UtilityToolsCreateDirectory, FilePathCreatesOnlyTheMissingFolder)
{
    ASSERT_TRUE(CreateDirectoryW((m_dir + L"Data").c_str(), nullptr));
    const std::wstring path = m_dir + L"Data\\Logs\\out.txt";
    EXPECT_TRUE(CUtilityTools::Create_Directory(path.c_str()));
    EXPECT_EQ(Join({Opening(path), Created(m_dir + L"Data\\Logs\\"), m_closing}), Trace());
    EXPECT_TRUE(IsFolder(m_dir + L"Data\\Logs"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((m_dir + L"Data\\Logs\\out.txt").c_str()));
}

TEST_F(UtilityToolsCreateDirectory, WithAndWithoutTrailingBackslash)
{
    // Without: the last name counts as a file's.
    const std::wstring withoutSlash = m_dir + L"Data\\Logs";
    EXPECT_TRUE(CUtilityTools::Create_Directory(withoutSlash.c_str()));
    EXPECT_EQ(Join({Opening(withoutSlash), Created(m_dir + L"Data\\"), m_closing}), Trace());
    EXPECT_TRUE(IsFolder(m_dir + L"Data"));
    EXPECT_FALSE(IsFolder(m_dir + L"Data\\Logs"));

    // With: the whole chain, one group of lines per created folder.
    const std::wstring withSlash = m_dir + L"Data\\Logs\\Today\\";
    EXPECT_TRUE(CUtilityTools::Create_Directory(withSlash.c_str()));
    EXPECT_EQ(Join({Opening(withSlash), Created(m_dir + L"Data\\Logs\\"), Created(m_dir + L"Data\\Logs\\Today\\"),
                    m_closing}),
              Trace());
    EXPECT_TRUE(IsFolder(m_dir + L"Data\\Logs\\Today"));

    // All there already: the opening lines and the closing line only.
    EXPECT_TRUE(CUtilityTools::Create_Directory(withSlash.c_str()));
    EXPECT_EQ(Join({Opening(withSlash), m_closing}), Trace());
}

TEST_F(UtilityToolsCreateDirectory, MissingDriveFailsAtTheDriveWithTheSystemsText)
{
    // A letter that names no drive here (the Wine prefix maps only a few).
    const DWORD dwDrives = GetLogicalDrives();
    wchar_t letter = L'\0';
    for (wchar_t c = L'Y'; c >= L'D' && letter == L'\0'; --c) {
        if ((dwDrives & (1u << (c - L'A'))) == 0)
            letter = c;
    }
    ASSERT_NE(L'\0', letter);
    const std::wstring path = std::wstring(1, letter) + L":\\Data\\Logs\\out.txt";
    EXPECT_FALSE(CUtilityTools::Create_Directory(path.c_str()));

    const std::vector<std::string> trace = Trace();
    ASSERT_EQ(7u, trace.size());
    const std::string codeLine = trace[5];
    ASSERT_EQ(0u, codeLine.find(":_ERROR_: |CodeNo : ")) << codeLine;
    const DWORD dwCode = static_cast<DWORD>(std::stoul(codeLine.substr(strlen(":_ERROR_: |CodeNo : "))));
    EXPECT_NE(0u, dwCode);
    EXPECT_NE(static_cast<DWORD>(ERROR_ALREADY_EXISTS), dwCode);
    EXPECT_NE(static_cast<DWORD>(ERROR_ACCESS_DENIED), dwCode);
    EXPECT_FALSE(SystemText(dwCode).empty());
    EXPECT_EQ(Join({Opening(path), Failed(dwCode)}), trace);
}

TEST_F(UtilityToolsCreateDirectory, RefusalsAreReportedAsFailures)
{
    // A file where the folder should be: the folder does not exist afterwards, so no success.
    const std::wstring blocker = m_dir + L"Blocker";
    HANDLE hFile = CreateFileW(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hFile);
    CloseHandle(hFile);
    const std::wstring path = blocker + L"\\";
    EXPECT_FALSE(CUtilityTools::Create_Directory(path.c_str()));
    EXPECT_EQ(Join({Opening(path), Failed(ERROR_ALREADY_EXISTS)}), Trace());

    // Too long to split: refused whole, nothing created under a cut name.
    const std::wstring tooLong = m_dir + std::wstring(300 - m_dir.size(), L'x') + L"\\";
    EXPECT_FALSE(CUtilityTools::Create_Directory(tooLong.c_str()));
    EXPECT_EQ(Join({Opening(tooLong), Failed(ERROR_FILENAME_EXCED_RANGE)}), Trace());

    // No path: false, and not a line in the log.
    EXPECT_FALSE(CUtilityTools::Create_Directory(nullptr));
    EXPECT_TRUE(Trace().empty());
}

TEST(UtilityToolsVersion, VersionAndDescriptionOfExecutables)
{
    const std::wstring versioned = testsupport::BinDir() + L"VersionedProbe.exe";
    const std::wstring plain = testsupport::BinDir() + L"PlainProbe.exe";
    EXPECT_EQ(L"1.2.3.4", CUtilityTools::GetFileVersion(versioned.c_str()));
    EXPECT_EQ(L"Version probe", CUtilityTools::GetFileDescription(versioned.c_str()));
    EXPECT_EQ(L"1.0.0.0", CUtilityTools::GetFileVersion(plain.c_str()));
    EXPECT_EQ(L"RT0042", CUtilityTools::GetFileDescription(plain.c_str()));
    const std::wstring missing = testsupport::BinDir() + L"NoSuchProbe.exe";
    EXPECT_EQ(L"1.0.0.0", CUtilityTools::GetFileVersion(missing.c_str()));
    EXPECT_EQ(L"RT0042", CUtilityTools::GetFileDescription(missing.c_str()));
}

TEST(UtilityToolsText, FormatErrorGivesTheSystemsTextInOneSharedBuffer)
{
    const wchar_t* pFirst = CUtilityTools::FormatError(ERROR_FILE_NOT_FOUND);
    const std::wstring fileNotFound = pFirst;
    EXPECT_FALSE(fileNotFound.empty());
    EXPECT_EQ(SystemText(ERROR_FILE_NOT_FOUND), Narrow(fileNotFound));

    const wchar_t* pSecond = CUtilityTools::FormatError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(pFirst, pSecond);
    EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED), Narrow(pSecond));
    EXPECT_NE(fileNotFound, pFirst);

    // No text for the code: empty, nothing left over from the call before.
    EXPECT_STREQ(L"", CUtilityTools::FormatError(0x2000FFFF));
}

TEST(UtilityToolsText, ToNarrowUsesTheAnsiCodePageAndAlwaysTerminates)
{
    char szOut[16];
    // A CJK character has no place in a Western code page: the default character.
    if (GetACP() == 1252) {
        CUtilityTools::ToNarrow(L"A\x4E2D\x00E9Z", szOut, sizeof(szOut));
        EXPECT_STREQ("A?\xE9Z", szOut);
    } else {
        ADD_FAILURE() << "test environment has ANSI code page " << GetACP() << ", expected 1252";
    }

    // Too small: cut, terminated, and not a byte written beyond the buffer.
    memset(szOut, 'x', sizeof(szOut));
    CUtilityTools::ToNarrow(L"ABCDEFGH", szOut, 5);
    EXPECT_STREQ("ABCD", szOut);
    EXPECT_EQ('x', szOut[5]);
    CUtilityTools::ToNarrow(L"ABCD", szOut, 5);
    EXPECT_STREQ("ABCD", szOut);
    memset(szOut, 'x', sizeof(szOut));
    CUtilityTools::ToNarrow(L"ABCD", szOut, 0);
    EXPECT_EQ('x', szOut[0]);
    CUtilityTools::ToNarrow(L"", szOut, sizeof(szOut));
    EXPECT_STREQ("", szOut);
}
