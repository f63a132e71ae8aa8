// The program's settings in memory, loaded from its own Config.ini (in the program's folder)
// and from the capture software's environment file, which is only ever read. One instance
// per process (GetInstance), owned by the main window, which deletes it at exit.
// User-interface thread only; each load and save holds the INI manager's sequence lock.
#pragma once

#include "storage/IniMngr.h"

#include <string>

// Settings of Config.ini: where the environment file lies and the program's own link.
struct ConfigSettings {
    wchar_t EnvironPath[260];
    wchar_t EnvironName[260];
    int CommMode;      // 0: link settings below; otherwise those of the environment file
    int CommType;      // 0: RS-232C; otherwise Ethernet
    int Comport;
    int Baudrate;
    wchar_t EthernetIP[260];
    int EthernetPort;
};

// The capture software's link settings from its environment file, section MACHINE_SETTING.
struct MachineSettings {
    wchar_t MachineName[260];
    int UseCommType;   // 0: RS-232C; otherwise Ethernet
    int Comport;
    int Baudrate;
    wchar_t MachineIP[260];
    int EthernetPort;
};

// The console's own choices, in a section of Config.ini that only this program writes.
// An older file without the section gives these defaults, and reading never writes it.
struct ConsoleSettings {
    bool bShowTime = false;     // "Time": the view shows each line's time stamp
    bool bReconnect = false;    // "Reconnect": a lost link is opened again by itself
    std::wstring LogFolder;     // where session records go; empty: "Logs" beside the program
    // A LogFolder longer than a path may be (MAX_PATH - 1 characters) is not used: its length
    // (-1 when it is longer still than could be read), 0 when none was refused.
    int nRefusedFolderChars = 0;
    // "LogFolderLimitMB": the session records' folder is kept within this many megabytes, the
    // oldest session records going first (0: no limit).
    unsigned long nFolderLimitMB = 1024;
};

class CStorageMngr {
public:
    // Outcome of the most recent load.
    struct LastError {
        int Code;                 // 0, ERROR_FILE_NOT_FOUND or ERROR_SECTOR_NOT_FOUND
        wchar_t Detail[260];      // the missing file's path or the missing section's name
        wchar_t Name[260];        // "ERROR_FILE_NOT_FOUND", ...
        wchar_t Function[260];    // the load operation that failed
        int Line;
        wchar_t SourceFile[260];
        wchar_t BuildDate[260];
        wchar_t BuildTime[260];
    };

    // lpProgramFolder: folder of Config.ini; nullptr takes the folder of the running
    // executable. pIniMngr: the INI manager to use; nullptr takes the shared one.
    explicit CStorageMngr(const wchar_t* lpProgramFolder = nullptr, CIniMngr* pIniMngr = nullptr);
    virtual ~CStorageMngr() = default;
    CStorageMngr(const CStorageMngr&) = delete;
    CStorageMngr& operator=(const CStorageMngr&) = delete;

    // The process's instance, created on first use; DeleteInstance ends it (exit sequence).
    static CStorageMngr* GetInstance();
    static void DeleteInstance();

    // Start-up: creates the instance if needed and loads everything (see ReadIni_StartUp).
    static CStorageMngr* LoadAtStartUp();

    // Reads Config.ini; when that fails, writes the default values into a new file (a damaged
    // one, present but without both sections, is kept as Config.ini.bad) and reads it again; then reads the environment file, whose outcome is left in the last-error record
    // only. Returns the outcome of the last Config.ini read.
    int ReadIni_StartUp();

    // Folder of Config.ini, with a trailing backslash (added when missing).
    void SetProgramFolder(const wchar_t* lpFolder);
    const wchar_t* GetProgramFolder() const { return m_szProgramFolder; }

    // Loads Config.ini into m_ConfigSettings: 0, ERROR_FILE_NOT_FOUND or
    // ERROR_SECTOR_NOT_FOUND (also left in the last-error record).
    int ReadIni_Config();

    // Writes m_ConfigSettings into Config.ini, creating it as UTF-16 when missing. True when
    // every value was stored.
    bool SaveIni_Config();

    // Writes the default values into Config.ini; the values in memory stay as they are.
    bool SaveIni_ConfigDefault();

    // Loads section MACHINE_SETTING of the file folder + fileName (joined as given) into
    // m_MachineSettings. The file is never written. 0, ERROR_FILE_NOT_FOUND or
    // ERROR_SECTOR_NOT_FOUND (also left in the last-error record).
    int ReadIni_Environment(const wchar_t* folder, const wchar_t* fileName);

    // Reads the console's section of Config.ini into m_ConsoleSettings (defaults for what is
    // missing); stores the "Time" and "Reconnect" choices (only that key is written).
    void ReadIni_Console();
    bool SaveIni_ConsoleTime(bool bShowTime);
    bool SaveIni_ConsoleReconnect(bool bReconnect);
    // The folder of the session records, with a trailing backslash: LogFolder, or "Logs" in
    // the program's folder.
    std::wstring SessionLogFolder() const;

    // Records a load's outcome; code 0 clears the record first. Returns code.
    int SetError(int code, const wchar_t* function, int line, const wchar_t* detail);

    // Written by the loads and by the settings page; user-interface thread only.
    LastError m_LastError;
    ConfigSettings m_ConfigSettings;
    MachineSettings m_MachineSettings;
    ConsoleSettings m_ConsoleSettings;

private:
    bool SaveConfig(const ConfigSettings& settings);
    // Writes one of the console's on/off choices into its section of Config.ini.
    bool SaveConsoleChoice(const wchar_t* lpKey, bool bOn);
    std::wstring ConfigPath() const;
    // Renames a damaged Config.ini to Config.ini.bad (replacing an older one); false, with a
    // diagnostic-log error, when it cannot be renamed.
    bool SetAsideDamagedConfig();

    wchar_t m_szProgramFolder[260];
    CIniMngr* m_pIniMngr;
};
