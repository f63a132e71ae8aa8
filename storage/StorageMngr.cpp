#include "storage/StorageMngr.h"

#include "storage/DebugLog.h"
#include "storage/UtilityTools.h"

#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr int kTextChars = 260;
// A value read to see how long it really is (longer than any path may be).
constexpr int kLongTextChars = 4096;

const wchar_t kConfigFileName[] = L"Config.ini";

const wchar_t kSectionSettings[] = L"SETTINGS";
const wchar_t kSectionCommunication[] = L"COMMUNICATION";
const wchar_t kSectionMachine[] = L"MACHINE_SETTING";
const wchar_t kSectionConsole[] = L"CONSOLE";

const wchar_t kFunctionReadConfig[] = L"CStorageMngr::ReadIni_Config";
const wchar_t kFunctionReadEnvironment[] = L"CStorageMngr::ReadIni_Environment";

// Values read when a key of Config.ini is missing or empty.
const wchar_t kReadEnvironPath[] = L"C:\\AcqStation\\SettingFiles\\";
const wchar_t kReadEnvironName[] = L"Environment.ini";
constexpr int kReadCommMode = 1;
constexpr int kReadCommType = 0;
constexpr int kReadComport = 0;
constexpr int kReadBaudrate = 0;
const wchar_t kReadEthernetIP[] = L"127.0.0.1";
constexpr int kReadEthernetPort = 20130;

// Values read when a key of the environment file is missing or empty.
const wchar_t kReadMachineName[] = L"";
constexpr int kReadUseCommType = 0;
constexpr int kReadMachineComport = 1;
constexpr int kReadMachineBaudrate = 19200;
const wchar_t kReadMachineIP[] = L"127.0.0.1";
constexpr int kReadMachineEthernetPort = 20130;

// What a new Config.ini holds. Comport and Baudrate differ from the values read for a
// missing key: a missing key reads as "not set", a new file offers a usable link.
ConfigSettings DefaultConfig()
{
    ConfigSettings settings{};
    CUtilityTools::CopyText(settings.EnvironPath, kTextChars, kReadEnvironPath);
    CUtilityTools::CopyText(settings.EnvironName, kTextChars, kReadEnvironName);
    settings.CommMode = 1;
    settings.CommType = 0;
    settings.Comport = 3;
    settings.Baudrate = 19200;
    CUtilityTools::CopyText(settings.EthernetIP, kTextChars, kReadEthernetIP);
    settings.EthernetPort = 20130;
    return settings;
}

// Folder of the running executable; empty when its path does not fit a path buffer.
void GetModuleFolder(wchar_t* lpOut)
{
    lpOut[0] = L'\0';
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD dwLength = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (dwLength == 0)
            return;
        if (dwLength < path.size())
            break;
        if (path.size() >= 32768)
            return;
        path.resize(path.size() * 2);
    }
    if (wcslen(path.data()) >= static_cast<size_t>(kTextChars))
        return;
    CUtilityTools::GetFolderOfPath(path.data(), lpOut);
}

CStorageMngr* g_pStorageMngr = nullptr;

} // namespace

CStorageMngr::CStorageMngr(const wchar_t* lpProgramFolder, CIniMngr* pIniMngr)
    : m_LastError{}, m_ConfigSettings{}, m_MachineSettings{}, m_szProgramFolder{},
      m_pIniMngr(pIniMngr != nullptr ? pIniMngr : &CIniMngr::GetInstance())
{
    if (lpProgramFolder != nullptr) {
        SetProgramFolder(lpProgramFolder);
    } else {
        GetModuleFolder(m_szProgramFolder);
    }

    m_ConfigSettings.CommMode = 1;
    m_ConfigSettings.CommType = 0;
    m_ConfigSettings.Comport = 1;
    m_ConfigSettings.Baudrate = 19200;
    m_ConfigSettings.EthernetPort = 20130;
}

CStorageMngr* CStorageMngr::GetInstance()
{
    if (g_pStorageMngr == nullptr)
        g_pStorageMngr = new CStorageMngr();
    return g_pStorageMngr;
}

void CStorageMngr::DeleteInstance()
{
    delete g_pStorageMngr;
    g_pStorageMngr = nullptr;
}

CStorageMngr* CStorageMngr::LoadAtStartUp()
{
    CStorageMngr* pStorage = GetInstance();
    pStorage->ReadIni_StartUp();
    return pStorage;
}

int CStorageMngr::ReadIni_StartUp()
{
    auto lock = m_pIniMngr->LockSequence();

    int result = ReadIni_Config();
    if (m_LastError.Code != 0) {
        // A missing file means a first start; a file without both sections is damaged. Either
        // way start again from the defaults, so that the engineer finds every key in the file.
        // A damaged file is kept beside the new one rather than written into: the defaults
        // appended to garbage would be neither the old file nor a sound new one.
        if (m_LastError.Code != ERROR_FILE_NOT_FOUND)
            SetAsideDamagedConfig();
        SaveIni_ConfigDefault();
        result = ReadIni_Config();
    }
    ReadIni_Console();
    // Without the environment file the machine settings keep their initial values.
    ReadIni_Environment(m_ConfigSettings.EnvironPath, m_ConfigSettings.EnvironName);
    return result;
}

bool CStorageMngr::SetAsideDamagedConfig()
{
    const std::wstring path = ConfigPath();
    if (path.empty())
        return false;
    const std::wstring kept = path + L".bad";
    if (!::MoveFileExW(path.c_str(), kept.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        LOG_ERROR(L"Config.ini is damaged and could not be kept as Config.ini.bad (error %u); the defaults are written into it",
                  static_cast<unsigned>(::GetLastError()));
        return false;
    }
    LOG_ERROR(L"Config.ini is damaged: kept as Config.ini.bad, and a new Config.ini holds the defaults");
    return true;
}

void CStorageMngr::SetProgramFolder(const wchar_t* lpFolder)
{
    wmemset(m_szProgramFolder, L'\0', kTextChars);
    if (lpFolder == nullptr)
        return;
    // A folder cut to fit would be another folder: leave none, so that loads fail.
    const size_t length = wcslen(lpFolder);
    if (length == 0 || length + 2 > static_cast<size_t>(kTextChars))
        return;
    CUtilityTools::CopyText(m_szProgramFolder, kTextChars, lpFolder);
    CUtilityTools::AppendBackslash(m_szProgramFolder, kTextChars);
}

std::wstring CStorageMngr::ConfigPath() const
{
    if (m_szProgramFolder[0] == L'\0')
        return std::wstring();
    return std::wstring(m_szProgramFolder) + kConfigFileName;
}

int CStorageMngr::SetError(int code, const wchar_t* function, int line, const wchar_t* detail)
{
    if (code == 0) {
        m_LastError = LastError{};
    } else {
        const wchar_t* lpName = L"ERROR_INVALID_DATA";
        switch (code) {
        case ERROR_FILE_NOT_FOUND: lpName = L"ERROR_FILE_NOT_FOUND"; break;
        case ERROR_INVALID_HANDLE: lpName = L"ERROR_INVALID_HANDLE"; break;
        case ERROR_SECTOR_NOT_FOUND: lpName = L"ERROR_SECTOR_NOT_FOUND"; break;
        case ERROR_OPEN_FAILED: lpName = L"ERROR_OPEN_FAILED"; break;
        default: break;
        }
        CUtilityTools::CopyText(m_LastError.Name, kTextChars, lpName);
    }
    m_LastError.Code = code;
    CUtilityTools::CopyText(m_LastError.BuildDate, kTextChars, L"" __DATE__);
    CUtilityTools::CopyText(m_LastError.BuildTime, kTextChars, L"" __TIME__);
    CUtilityTools::CopyText(m_LastError.Function, kTextChars, function);
    CUtilityTools::CopyText(m_LastError.SourceFile, kTextChars, L"" __FILE__);
    m_LastError.Line = line;
    CUtilityTools::CopyText(m_LastError.Detail, kTextChars, detail);
    return code;
}

int CStorageMngr::ReadIni_Config()
{
    auto lock = m_pIniMngr->LockSequence();
    CIniMngr& ini = *m_pIniMngr;
    ConfigSettings& cfg = m_ConfigSettings;

    const std::wstring path = ConfigPath();
    if (!ini.SetPathName(path.c_str(), true))
        return SetError(ERROR_FILE_NOT_FOUND, kFunctionReadConfig, __LINE__, path.c_str());

    if (!ini.IsSectionExist(kSectionSettings))
        return SetError(ERROR_SECTOR_NOT_FOUND, kFunctionReadConfig, __LINE__, kSectionSettings);
    ini.GetString(kSectionSettings, L"EnvironPath", cfg.EnvironPath, kTextChars, kReadEnvironPath);
    ini.GetString(kSectionSettings, L"EnvironName", cfg.EnvironName, kTextChars, kReadEnvironName);
    ini.GetInt(kSectionSettings, L"CommMode", cfg.CommMode, kReadCommMode);

    if (!ini.IsSectionExist(kSectionCommunication))
        return SetError(ERROR_SECTOR_NOT_FOUND, kFunctionReadConfig, __LINE__, kSectionCommunication);
    ini.GetInt(kSectionCommunication, L"CommType", cfg.CommType, kReadCommType);
    ini.GetInt(kSectionCommunication, L"Comport", cfg.Comport, kReadComport);
    ini.GetInt(kSectionCommunication, L"Baudrate", cfg.Baudrate, kReadBaudrate);
    ini.GetString(kSectionCommunication, L"EthernetIP", cfg.EthernetIP, kTextChars, kReadEthernetIP);
    ini.GetInt(kSectionCommunication, L"EthernetPort", cfg.EthernetPort, kReadEthernetPort);

    m_LastError.Code = 0;
    return 0;
}

bool CStorageMngr::SaveConfig(const ConfigSettings& settings)
{
    auto lock = m_pIniMngr->LockSequence();
    CIniMngr& ini = *m_pIniMngr;

    const std::wstring path = ConfigPath();
    if (!ini.SetPathName(path.c_str(), false))
        return false;

    // Every key is written even after a refused one, so that as much as possible is kept.
    bool bStored = true;
    bStored &= ini.WriteString(kSectionSettings, L"EnvironPath", settings.EnvironPath);
    bStored &= ini.WriteString(kSectionSettings, L"EnvironName", settings.EnvironName);
    bStored &= ini.WriteInt(kSectionSettings, L"CommMode", settings.CommMode);
    bStored &= ini.WriteInt(kSectionCommunication, L"CommType", settings.CommType);
    bStored &= ini.WriteInt(kSectionCommunication, L"Comport", settings.Comport);
    bStored &= ini.WriteInt(kSectionCommunication, L"Baudrate", settings.Baudrate);
    bStored &= ini.WriteString(kSectionCommunication, L"EthernetIP", settings.EthernetIP);
    bStored &= ini.WriteInt(kSectionCommunication, L"EthernetPort", settings.EthernetPort);
    return bStored;
}

bool CStorageMngr::SaveIni_Config()
{
    return SaveConfig(m_ConfigSettings);
}

bool CStorageMngr::SaveIni_ConfigDefault()
{
    return SaveConfig(DefaultConfig());
}

int CStorageMngr::ReadIni_Environment(const wchar_t* folder, const wchar_t* fileName)
{
    auto lock = m_pIniMngr->LockSequence();
    CIniMngr& ini = *m_pIniMngr;
    MachineSettings& machine = m_MachineSettings;

    // Joined exactly as given: the folder is expected to end in a backslash. A path too
    // long for a path buffer is refused by the INI manager instead of being cut.
    std::wstring path = folder != nullptr ? folder : L"";
    path += fileName != nullptr ? fileName : L"";

    // mustExist: the file belongs to the capture software and is never created here.
    if (!ini.SetPathName(path.c_str(), true))
        return SetError(ERROR_FILE_NOT_FOUND, kFunctionReadEnvironment, __LINE__, path.c_str());

    if (!ini.IsSectionExist(kSectionMachine))
        return SetError(ERROR_SECTOR_NOT_FOUND, kFunctionReadEnvironment, __LINE__, kSectionMachine);
    ini.GetString(kSectionMachine, L"MachineName", machine.MachineName, kTextChars, kReadMachineName);
    ini.GetInt(kSectionMachine, L"UseCommType", machine.UseCommType, kReadUseCommType);
    ini.GetInt(kSectionMachine, L"Comport", machine.Comport, kReadMachineComport);
    ini.GetInt(kSectionMachine, L"Baudrate", machine.Baudrate, kReadMachineBaudrate);
    ini.GetString(kSectionMachine, L"MachineIP", machine.MachineIP, kTextChars, kReadMachineIP);
    ini.GetInt(kSectionMachine, L"EthernetPort", machine.EthernetPort, kReadMachineEthernetPort);

    m_LastError.Code = 0;
    return 0;
}

void CStorageMngr::ReadIni_Console()
{
    auto lock = m_pIniMngr->LockSequence();
    CIniMngr& ini = *m_pIniMngr;
    m_ConsoleSettings = ConsoleSettings{};
    const std::wstring path = ConfigPath();
    // The section is optional (older files lack it): its keys are read directly, each with its
    // default, so that its absence is no error in the trace.
    if (!ini.SetPathName(path.c_str(), true))
        return;
    int nTime = 0;
    ini.GetInt(kSectionConsole, L"Time", nTime, 0);
    m_ConsoleSettings.bShowTime = nTime != 0;
    int nReconnect = 0;
    ini.GetInt(kSectionConsole, L"Reconnect", nReconnect, 0);
    m_ConsoleSettings.bReconnect = nReconnect != 0;
    int nLimitMB = static_cast<int>(m_ConsoleSettings.nFolderLimitMB);
    ini.GetInt(kSectionConsole, L"LogFolderLimitMB", nLimitMB, nLimitMB);
    // A negative figure is no limit anyone meant: the default stays.
    if (nLimitMB >= 0)
        m_ConsoleSettings.nFolderLimitMB = static_cast<unsigned long>(nLimitMB);
    // Read in full, so that a folder longer than a path may be is refused as a whole rather
    // than cut into a folder nobody named.
    std::vector<wchar_t> folder(kLongTextChars, L'\0');
    const int nLength = ini.GetString(kSectionConsole, L"LogFolder", folder.data(), kLongTextChars, L"");
    if (nLength >= kTextChars) {
        m_ConsoleSettings.nRefusedFolderChars = nLength >= kLongTextChars ? -1 : nLength;
        return;
    }
    m_ConsoleSettings.LogFolder = folder.data();
}

bool CStorageMngr::SaveIni_ConsoleTime(bool bShowTime)
{
    m_ConsoleSettings.bShowTime = bShowTime;
    return SaveConsoleChoice(L"Time", bShowTime);
}

bool CStorageMngr::SaveIni_ConsoleReconnect(bool bReconnect)
{
    m_ConsoleSettings.bReconnect = bReconnect;
    return SaveConsoleChoice(L"Reconnect", bReconnect);
}

bool CStorageMngr::SaveConsoleChoice(const wchar_t* lpKey, bool bOn)
{
    auto lock = m_pIniMngr->LockSequence();
    CIniMngr& ini = *m_pIniMngr;
    const std::wstring path = ConfigPath();
    if (!ini.SetPathName(path.c_str(), false))
        return false;
    return ini.WriteInt(kSectionConsole, lpKey, bOn ? 1 : 0);
}

std::wstring CStorageMngr::SessionLogFolder() const
{
    std::wstring folder = m_ConsoleSettings.LogFolder;
    if (folder.empty())
        folder = std::wstring(m_szProgramFolder) + L"Logs";
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder += L'\\';
    return folder;
}
