// CStorageMngr on real Config.ini and environment files in scratch folders of the Wine
// prefix; what it writes is compared byte by byte and read back with the system's reader.
#include "comm/protocol/LinkParams.h"
#include "storage/StorageMngr.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using testsupport::ReadFileBytes;

namespace {

std::string Utf16(const std::wstring& text)
{
    return std::string("\xFF\xFE") + std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    ASSERT_EQ(bytes.size(), written);
}

std::wstring Scratch(const wchar_t* lpSuffix = L"")
{
    const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    return testsupport::MakeScratchDir((std::wstring(name, name + strlen(name)) + lpSuffix).c_str());
}

// Config.ini's keys in file order, as held in memory and as the system reads them.
std::wstring Text(const ConfigSettings& c)
{
    return std::wstring(c.EnvironPath) + L"|" + c.EnvironName + L"|" + std::to_wstring(c.CommMode) + L"|" +
           std::to_wstring(c.CommType) + L"|" + std::to_wstring(c.Comport) + L"|" + std::to_wstring(c.Baudrate) +
           L"|" + c.EthernetIP + L"|" + std::to_wstring(c.EthernetPort);
}
std::wstring StoredText(const std::wstring& path)
{
    static const wchar_t* const keys[][2] = {
        {L"SETTINGS", L"EnvironPath"}, {L"SETTINGS", L"EnvironName"}, {L"SETTINGS", L"CommMode"},
        {L"COMMUNICATION", L"CommType"}, {L"COMMUNICATION", L"Comport"}, {L"COMMUNICATION", L"Baudrate"},
        {L"COMMUNICATION", L"EthernetIP"}, {L"COMMUNICATION", L"EthernetPort"}};
    std::wstring text;
    for (const auto& k : keys) {
        wchar_t value[300] = {};
        GetPrivateProfileStringW(k[0], k[1], L"<missing>", value, 300, path.c_str());
        text += (text.empty() ? L"" : L"|") + std::wstring(value);
    }
    return text;
}
const std::wstring kDefaults = L"C:\\AcqStation\\SettingFiles\\|Environment.ini|1|0|3|19200|127.0.0.1|20130";
const std::wstring kAtConstruction = L"||1|0|1|19200||20130";

// Deterministic bytes that are no INI text.
std::string Garbage(size_t size, unsigned seed)
{
    std::string bytes(size, '\x01');
    for (size_t i = 1; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        bytes[i] = static_cast<char>(seed >> 16);
    }
    return bytes;
}

} // namespace

TEST(StorageMngrStartUp, FirstStartInEmptyFolderWritesDefaults)
{
    const std::wstring dir = Scratch();
    CIniMngr ini;
    CStorageMngr storage(dir.c_str(), &ini);
    EXPECT_EQ(0, storage.ReadIni_StartUp());
    EXPECT_EQ(0u, ReadFileBytes(dir + L"Config.ini").rfind("\xFF\xFE", 0));
    EXPECT_EQ(kDefaults, StoredText(dir + L"Config.ini"));
    EXPECT_EQ(kDefaults, Text(storage.m_ConfigSettings));
    // No environment file on this machine: the record tells, the machine settings stay.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, storage.m_LastError.Code);
    EXPECT_STREQ(L"C:\\AcqStation\\SettingFiles\\Environment.ini", storage.m_LastError.Detail);
    EXPECT_EQ(0, storage.m_MachineSettings.Baudrate);
}

TEST(StorageMngrStartUp, MissingSectionRewritesAllKeysMissingKeyReadsDefault)
{
    const std::wstring dir = Scratch(), path = dir + L"Config.ini";
    WriteBytes(path, Utf16(L"[SETTINGS]\r\nEnvironPath=D:\\Capture\\\r\nCommMode=0\r\n"));
    CStorageMngr storage(dir.c_str());
    EXPECT_EQ(ERROR_SECTOR_NOT_FOUND, storage.ReadIni_Config());
    EXPECT_STREQ(L"COMMUNICATION", storage.m_LastError.Detail);
    EXPECT_STREQ(L"ERROR_SECTOR_NOT_FOUND", storage.m_LastError.Name);
    EXPECT_EQ(L"D:\\Capture\\|Environment.ini|0|0|1|19200||20130", Text(storage.m_ConfigSettings));
    EXPECT_EQ(0, storage.ReadIni_StartUp());
    EXPECT_EQ(kDefaults, StoredText(path));
    EXPECT_EQ(kDefaults, Text(storage.m_ConfigSettings));

    // Both sections there, keys missing or empty: their read defaults, and no rewrite.
    const std::string partial = Utf16(L"[SETTINGS]\r\nCommMode=0\r\n[COMMUNICATION]\r\nCommType=1\r\nBaudrate=\r\n");
    WriteBytes(path, partial);
    CStorageMngr second(dir.c_str());
    EXPECT_EQ(0, second.ReadIni_StartUp());
    EXPECT_EQ(partial, ReadFileBytes(path));
    EXPECT_EQ(L"C:\\AcqStation\\SettingFiles\\|Environment.ini|0|1|0|0|127.0.0.1|20130", Text(second.m_ConfigSettings));
}

TEST(StorageMngrEnvironment, FolderAndNameAreJoinedAsGiven)
{
    const std::wstring dir = Scratch(), path = dir + L"Environment.ini";
    WriteBytes(path, Utf16(L"[MACHINE_SETTING]\r\nMachineName=RT-9\r\nUseCommType=1\r\nComport=4\r\n"
                           L"Baudrate=115200\r\nMachineIP=10.0.0.7\r\nEthernetPort=20131\r\n"));
    const std::string before = ReadFileBytes(path);
    CStorageMngr storage(dir.c_str());
    const std::wstring noBackslash = dir.substr(0, dir.size() - 1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, storage.ReadIni_Environment(noBackslash.c_str(), L"Environment.ini"));
    EXPECT_EQ(noBackslash + L"Environment.ini", storage.m_LastError.Detail);
    EXPECT_STREQ(L"CStorageMngr::ReadIni_Environment", storage.m_LastError.Function);

    EXPECT_EQ(0, storage.ReadIni_Environment(dir.c_str(), L"Environment.ini"));
    const MachineSettings& m = storage.m_MachineSettings;
    EXPECT_STREQ(L"RT-9", m.MachineName);
    EXPECT_STREQ(L"10.0.0.7", m.MachineIP);
    EXPECT_EQ(1, m.UseCommType);
    EXPECT_EQ(4, m.Comport);
    EXPECT_EQ(115200, m.Baudrate);
    EXPECT_EQ(20131, m.EthernetPort);
    EXPECT_EQ(before, ReadFileBytes(path));
}

TEST(StorageMngrEnvironment, BadFilesGiveCodesAndAreNeverWritten)
{
    const std::wstring dir = Scratch();
    ASSERT_TRUE(CreateDirectoryW((dir + L"Folder.ini").c_str(), nullptr));
    const struct {
        const wchar_t* name;
        std::string bytes; // empty: no file written
        int code;
        const wchar_t* machineName; // after the read; "untouched": nothing was read
    } cases[] = {
        {L"Ansi.ini", "[MACHINE_SETTING]\r\nMachineName=AnsiRig\r\nComport=2\r\n", 0, L"AnsiRig"},
        {L"NoSection.ini", Utf16(L"[OTHER]\r\nMachineName=X\r\n"), ERROR_SECTOR_NOT_FOUND, L"untouched"},
        {L"Garbage.ini", Garbage(8192, 7), ERROR_SECTOR_NOT_FOUND, L"untouched"},
        {L"OddUtf16.ini", std::string("\xFF\xFE") + Garbage(4097, 11), ERROR_SECTOR_NOT_FOUND, L"untouched"},
        {L"Huge.ini", Utf16(L"[MACHINE_SETTING]\r\nMachineName=" + std::wstring(100000, L'M') + L"\r\nComport=2\r\n"), 0,
         nullptr},
        {L"Folder.ini", "", ERROR_FILE_NOT_FOUND, L"untouched"},
        {L"NoFolder\\Environment.ini", "", ERROR_FILE_NOT_FOUND, L"untouched"},
    };
    for (const auto& c : cases) {
        if (!c.bytes.empty())
            WriteBytes(dir + c.name, c.bytes);
        CStorageMngr storage(dir.c_str());
        wcscpy(storage.m_MachineSettings.MachineName, L"untouched");
        EXPECT_EQ(c.code, storage.ReadIni_Environment(dir.c_str(), c.name)) << c.name;
        EXPECT_EQ(c.bytes, ReadFileBytes(dir + c.name)) << c.name;
        EXPECT_EQ(c.code == 0 ? 19200 : 0, storage.m_MachineSettings.Baudrate) << c.name;
        EXPECT_STREQ(c.machineName != nullptr ? c.machineName : std::wstring(259, L'M').c_str(),
                     storage.m_MachineSettings.MachineName)
            << c.name;
    }
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dir + L"NoFolder").c_str()));
}

TEST(StorageMngrLink, CommModeChoosesWhoseLinkSettingsAndTcpAlwaysGoesToTheUnitsPort)
{
    const std::wstring dir = Scratch(), config = dir + L"Config.ini", env = dir + L"Environment.ini";
    WriteBytes(env, Utf16(L"[MACHINE_SETTING]\r\nUseCommType=0\r\nComport=7\r\nBaudrate=57600\r\n"
                          L"MachineIP=10.1.2.3\r\nEthernetPort=20999\r\n"));
    const auto linkOf = [&](const std::wstring& configText) {
        WriteBytes(config, Utf16(L"[SETTINGS]\r\nEnvironPath=" + dir + L"\r\nEnvironName=Environment.ini\r\n" + configText));
        CStorageMngr storage(dir.c_str());
        EXPECT_EQ(0, storage.ReadIni_StartUp());
        return LinkParams::FromSettings(storage.m_ConfigSettings, storage.m_MachineSettings);
    };
    // The program's own settings: TCP to its address, on the unit's port whatever is stored.
    LinkParams link = linkOf(L"CommMode=0\r\n[COMMUNICATION]\r\nCommType=1\r\nComport=2\r\nBaudrate=9600\r\n"
                             L"EthernetIP=192.168.5.9\r\nEthernetPort=4000\r\n");
    EXPECT_EQ(LinkKind::Tcp, link.kind);
    EXPECT_EQ(L"192.168.5.9", link.address);
    EXPECT_EQ(20130, link.nTcpPort);
    // Its own serial settings.
    link = linkOf(L"CommMode=0\r\n[COMMUNICATION]\r\nCommType=0\r\nComport=2\r\nBaudrate=9600\r\n");
    EXPECT_EQ(LinkKind::Serial, link.kind);
    EXPECT_EQ(2, link.nComPort);
    EXPECT_EQ(9600u, link.dwBaud);
    // Any other mode: the capture software's, whatever the program's own say.
    link = linkOf(L"CommMode=2\r\n[COMMUNICATION]\r\nCommType=1\r\nEthernetIP=192.168.5.9\r\n");
    EXPECT_EQ(LinkKind::Serial, link.kind);
    EXPECT_EQ(7, link.nComPort);
    EXPECT_EQ(57600u, link.dwBaud);
    EXPECT_EQ(L"COM7 at 57600 baud", link.Describe());
}

TEST(StorageMngrConfig, BadConfigFilesFallBackToDefaults)
{
    // Garbage instead of Config.ini has no sections: the defaults are written in and read.
    const std::wstring garbageDir = Scratch(L"_garbage"), hugeDir = Scratch(L"_huge"), dirDir = Scratch(L"_dir");
    WriteBytes(garbageDir + L"Config.ini", Garbage(4096, 3));
    CStorageMngr garbage(garbageDir.c_str());
    EXPECT_EQ(0, garbage.ReadIni_StartUp());
    EXPECT_EQ(kDefaults, Text(garbage.m_ConfigSettings));
    // The garbage is kept aside whole, and the new file holds nothing of it.
    EXPECT_EQ(Garbage(4096, 3), ReadFileBytes(garbageDir + L"Config.ini.bad"));
    EXPECT_EQ(kDefaults, StoredText(garbageDir + L"Config.ini"));
    EXPECT_EQ(0u, ReadFileBytes(garbageDir + L"Config.ini").rfind("\xFF\xFE", 0));

    // A value far beyond its field is cut; the rest of the file still reads.
    WriteBytes(hugeDir + L"Config.ini", Utf16(L"[SETTINGS]\r\n[COMMUNICATION]\r\nEthernetIP=" + std::wstring(50000, L'9') +
                                              L"\r\nBaudrate=38400\r\n"));
    CStorageMngr huge(hugeDir.c_str());
    EXPECT_EQ(0, huge.ReadIni_StartUp());
    EXPECT_EQ(std::wstring(259, L'9'), huge.m_ConfigSettings.EthernetIP);
    EXPECT_EQ(38400, huge.m_ConfigSettings.Baudrate);

    // A directory named Config.ini, or a program folder that does not exist: nothing is
    // read or created, the values at construction stay and no save claims success.
    ASSERT_TRUE(CreateDirectoryW((dirDir + L"Config.ini").c_str(), nullptr));
    for (const std::wstring& folder : {dirDir, dirDir + L"NoFolder\\"}) {
        CStorageMngr storage(folder.c_str());
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, storage.ReadIni_StartUp());
        EXPECT_EQ(kAtConstruction, Text(storage.m_ConfigSettings));
        EXPECT_FALSE(storage.SaveIni_Config());
    }
    EXPECT_EQ(FILE_ATTRIBUTE_DIRECTORY, GetFileAttributesW((dirDir + L"Config.ini").c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((dirDir + L"NoFolder").c_str()));
}

TEST(StorageMngrConfig, TheConsoleSectionReadsDefaultsWhenMissingAndTimeIsWrittenAlone)
{
    const std::wstring dir = Scratch(), path = dir + L"Config.ini";
    const std::string older = Utf16(L"[SETTINGS]\r\nCommMode=0\r\n[COMMUNICATION]\r\nCommType=1\r\n");
    WriteBytes(path, older);
    CStorageMngr storage(dir.c_str());
    EXPECT_EQ(0, storage.ReadIni_StartUp());
    EXPECT_FALSE(storage.m_ConsoleSettings.bShowTime);
    EXPECT_EQ(dir + L"Logs\\", storage.SessionLogFolder());
    EXPECT_EQ(older, ReadFileBytes(path)) << "an older file is left as it is";

    // "Time" goes into a section of its own; what was there stays, byte for byte.
    EXPECT_TRUE(storage.SaveIni_ConsoleTime(true));
    const std::string saved = ReadFileBytes(path);
    EXPECT_EQ(0u, saved.find(older));
    wchar_t szTime[8] = {};
    GetPrivateProfileStringW(L"CONSOLE", L"Time", L"", szTime, 8, path.c_str());
    EXPECT_STREQ(L"1", szTime);
    EXPECT_TRUE(WritePrivateProfileStringW(L"CONSOLE", L"LogFolder", L"D:\\Service\\Records", path.c_str()));
    CStorageMngr again(dir.c_str());
    EXPECT_EQ(0, again.ReadIni_StartUp());
    EXPECT_TRUE(again.m_ConsoleSettings.bShowTime);
    EXPECT_EQ(L"D:\\Service\\Records\\", again.SessionLogFolder());
}

TEST(StorageMngrConfig, ALogFolderLongerThanAPathIsRefusedWholeNotCut)
{
    const std::wstring dir = Scratch(), path = dir + L"Config.ini";
    WriteBytes(path, Utf16(L"[SETTINGS]\r\nCommMode=0\r\n[COMMUNICATION]\r\nCommType=1\r\n"));
    // The longest a folder may be is taken as it is.
    const std::wstring longest = L"D:\\" + std::wstring(MAX_PATH - 1 - 3, L'a');
    ASSERT_TRUE(WritePrivateProfileStringW(L"CONSOLE", L"LogFolder", longest.c_str(), path.c_str()));
    {
        CStorageMngr storage(dir.c_str());
        EXPECT_EQ(0, storage.ReadIni_StartUp());
        EXPECT_EQ(0, storage.m_ConsoleSettings.nRefusedFolderChars);
        EXPECT_EQ(longest + L"\\", storage.SessionLogFolder());
    }
    // One character more is refused with its length: the records go to the default folder.
    const std::wstring longer = longest + L"b";
    ASSERT_TRUE(WritePrivateProfileStringW(L"CONSOLE", L"LogFolder", longer.c_str(), path.c_str()));
    {
        CStorageMngr storage(dir.c_str());
        EXPECT_EQ(0, storage.ReadIni_StartUp());
        EXPECT_EQ(MAX_PATH, storage.m_ConsoleSettings.nRefusedFolderChars);
        EXPECT_EQ(dir + L"Logs\\", storage.SessionLogFolder());
    }
    // Longer than could be read at all: refused too.
    ASSERT_TRUE(WritePrivateProfileStringW(L"CONSOLE", L"LogFolder", (L"D:\\" + std::wstring(5000, L'c')).c_str(), path.c_str()));
    CStorageMngr storage(dir.c_str());
    EXPECT_EQ(0, storage.ReadIni_StartUp());
    EXPECT_EQ(-1, storage.m_ConsoleSettings.nRefusedFolderChars);
    EXPECT_EQ(dir + L"Logs\\", storage.SessionLogFolder());
}

TEST(StorageMngrConfig, SavedBaudrateChangesOnlyThatKey)
{
    const std::wstring dir = Scratch(), path = dir + L"Config.ini";
    CStorageMngr storage(dir.c_str());
    ASSERT_EQ(0, storage.ReadIni_StartUp());
    std::string expected = ReadFileBytes(path);
    const std::string oldText = Utf16(L"\r\nBaudrate=19200\r\n").substr(2);
    const size_t at = expected.find(oldText);
    ASSERT_NE(std::string::npos, at);
    expected.replace(at, oldText.size(), Utf16(L"\r\nBaudrate=9600\r\n").substr(2));

    storage.m_ConfigSettings.Baudrate = 9600;
    EXPECT_TRUE(storage.SaveIni_Config());
    EXPECT_EQ(expected, ReadFileBytes(path));
}

TEST(StorageMngrRecord, InstanceAndErrorRecord)
{
    CStorageMngr* pShared = CStorageMngr::GetInstance();
    EXPECT_EQ(pShared, CStorageMngr::GetInstance());
    EXPECT_EQ(testsupport::BinDir(), pShared->GetProgramFolder());
    EXPECT_EQ(kAtConstruction, Text(pShared->m_ConfigSettings));

    const std::pair<int, const wchar_t*> names[] = {{2, L"ERROR_FILE_NOT_FOUND"}, {6, L"ERROR_INVALID_HANDLE"},
                                                    {27, L"ERROR_SECTOR_NOT_FOUND"}, {110, L"ERROR_OPEN_FAILED"},
                                                    {5, L"ERROR_INVALID_DATA"}, {0, L""}};
    for (const auto& [code, name] : names) {
        EXPECT_EQ(code, pShared->SetError(code, L"CStorageMngr::ReadIni_Config", 77, L"SETTINGS"));
        EXPECT_STREQ(name, pShared->m_LastError.Name);
        EXPECT_EQ(77, pShared->m_LastError.Line);
        EXPECT_STREQ(L"SETTINGS", pShared->m_LastError.Detail);
    }
    const std::wstring file = pShared->m_LastError.SourceFile;
    EXPECT_EQ(L"StorageMngr.cpp", file.substr(file.size() - 15));
    EXPECT_EQ(11u, wcslen(pShared->m_LastError.BuildDate)); // "Mmm dd yyyy"
    EXPECT_EQ(8u, wcslen(pShared->m_LastError.BuildTime));  // "hh:mm:ss"

    // Pointed at another folder, the shared instance loads from there.
    const std::wstring dir = Scratch();
    pShared->SetProgramFolder(dir.substr(0, dir.size() - 1).c_str());
    EXPECT_EQ(dir, pShared->GetProgramFolder());
    EXPECT_EQ(0, pShared->ReadIni_StartUp());
    EXPECT_EQ(kDefaults, StoredText(dir + L"Config.ini"));
    CStorageMngr::DeleteInstance();
}
