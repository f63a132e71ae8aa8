// Seeded random settings files through the start-up read: whatever the bytes, the program
// comes up with sound values, reports a code it knows, and never writes the capture
// software's environment file.
#include "storage/StorageMngr.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <fstream>
#include <random>
#include <string>

using namespace testsupport;

namespace {

// Text made of what settings files hold, mixed with what they should not: sections, keys,
// values long and short, stray brackets and equal signs, line ends of every kind, bytes of
// no text at all. Written as UTF-16 with its mark, or as bytes.
std::string RandomIniBytes(std::mt19937& random)
{
    static const wchar_t* const kPieces[] = {
        L"[SETTINGS]",   L"[COMMUNICATION]", L"[MACHINE_SETTING]", L"[settings", L"]", L"=", L"==",
        L"EnvironPath=", L"EnvironName=",    L"CommMode=",         L"CommType=", L"Comport=", L"Baudrate=",
        L"EthernetIP=",  L"EthernetPort=",   L"MachineName=",      L"UseCommType=", L"MachineIP=",
        L"1",            L"-5",              L"19200x",            L"abc",       L"C:\\Acq\\", L"127.0.0.1",
        L"\r\n",         L"\n",              L"\r",                L" ",         L";comment", L"\t",
    };
    std::wstring text;
    const int nPieces = static_cast<int>(random() % 200);
    for (int i = 0; i < nPieces; ++i) {
        if (random() % 40 == 0)
            text += std::wstring(300 + random() % 3000, static_cast<wchar_t>(L'a' + random() % 26));
        else if (random() % 30 == 0)
            text += static_cast<wchar_t>(random() % 0xD7FF);
        else
            text += kPieces[random() % (sizeof(kPieces) / sizeof(kPieces[0]))];
    }
    std::string bytes;
    switch (random() % 4) {
    case 0: // raw bytes, not text
        for (int i = 0; i < static_cast<int>(random() % 4000); ++i)
            bytes += static_cast<char>(random() % 256);
        break;
    case 1: // ANSI text
        for (wchar_t ch : text)
            bytes += static_cast<char>(ch < 0x80 ? ch : '?');
        break;
    default: // UTF-16 with its mark
        bytes = "\xFF\xFE";
        for (wchar_t ch : text) {
            bytes += static_cast<char>(ch & 0xFF);
            bytes += static_cast<char>(ch >> 8);
        }
        break;
    }
    return bytes;
}

void Write(const std::wstring& path, const std::string& bytes)
{
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Terminated(const wchar_t* lpField)
{
    return wmemchr(lpField, L'\0', 260) != nullptr;
}

TEST(HostileIni, RandomSettingsFilesComeUpSound)
{
    // What a first start writes: the file a damaged one is replaced with, byte for byte.
    const std::wstring freshDir = MakeScratchDir(L"hostileini_fresh");
    CStorageMngr fresh(freshDir.c_str());
    ASSERT_EQ(0, fresh.ReadIni_StartUp());
    const std::string freshConfig = ReadFileBytes(freshDir + L"Config.ini");
    ASSERT_EQ(0u, freshConfig.rfind("\xFF\xFE", 0)) << "a new Config.ini is UTF-16";
    int nReplaced = 0;

    std::mt19937 random(1207);
    for (int seed = 0; seed < 60; ++seed) {
        const std::wstring dir = MakeScratchDir((L"hostileini" + std::to_wstring(seed)).c_str());
        const std::wstring envDir = dir + L"Env\\";
        CreateDirectoryW(envDir.c_str(), nullptr);
        const std::string environment = RandomIniBytes(random);
        Write(envDir + L"Environment.ini", environment);
        // Config.ini points at the environment file (or is random itself).
        std::string config = RandomIniBytes(random);
        if (seed % 2 == 0) {
            std::wstring text = L"[SETTINGS]\r\nEnvironPath=" + envDir + L"\r\nEnvironName=Environment.ini\r\nCommMode=1\r\n";
            config = "\xFF\xFE";
            for (wchar_t ch : text) {
                config += static_cast<char>(ch & 0xFF);
                config += static_cast<char>(ch >> 8);
            }
            config += RandomIniBytes(random).substr(2);
        }
        Write(dir + L"Config.ini", config);

        CStorageMngr storage(dir.c_str());
        // Whatever the file held, start-up ends with a Config.ini that reads back whole: a
        // file that does not give both sections is rewritten with the defaults.
        const int nCode = storage.ReadIni_StartUp();
        EXPECT_EQ(0, nCode) << "seed " << seed;
        CStorageMngr again(dir.c_str());
        EXPECT_EQ(0, again.ReadIni_Config()) << "seed " << seed;
        const ConfigSettings& a = again.m_ConfigSettings;
        const ConfigSettings& b = storage.m_ConfigSettings;
        EXPECT_TRUE(wcscmp(a.EnvironPath, b.EnvironPath) == 0 && wcscmp(a.EnvironName, b.EnvironName) == 0 &&
                    wcscmp(a.EthernetIP, b.EthernetIP) == 0 && a.CommMode == b.CommMode && a.CommType == b.CommType &&
                    a.Comport == b.Comport && a.Baudrate == b.Baudrate && a.EthernetPort == b.EthernetPort)
            << "what start-up took is what the file says, seed " << seed;
        const ConfigSettings& c = storage.m_ConfigSettings;
        const MachineSettings& m = storage.m_MachineSettings;
        EXPECT_TRUE(Terminated(c.EnvironPath) && Terminated(c.EnvironName) && Terminated(c.EthernetIP)) << seed;
        EXPECT_TRUE(Terminated(m.MachineName) && Terminated(m.MachineIP)) << seed;
        EXPECT_EQ(environment, ReadFileBytes(envDir + L"Environment.ini")) << "the environment file is never written, seed " << seed;
        // A file start-up could read stays untouched; one it could not is kept whole as
        // Config.ini.bad and replaced by a new file, never written into.
        const std::wstring kept = dir + L"Config.ini.bad";
        if (GetFileAttributesW(kept.c_str()) == INVALID_FILE_ATTRIBUTES) {
            EXPECT_EQ(config, ReadFileBytes(dir + L"Config.ini")) << "seed " << seed;
        } else {
            ++nReplaced;
            EXPECT_EQ(config, ReadFileBytes(kept)) << "seed " << seed;
            EXPECT_EQ(freshConfig, ReadFileBytes(dir + L"Config.ini")) << "seed " << seed;
        }
    }
    EXPECT_GT(nReplaced, 10) << "the seeds make damaged files";
}

} // namespace
