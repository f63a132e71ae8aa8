// The program as an engineer meets it: the real RigConsole.exe, copied into a scratch folder
// with the settings files each case needs, started as its own process with its trace
// captured, driven from outside with window messages, and linked to the simulated unit over
// TCP and over the pseudo-terminal COM pair.
#include "messages.h"
#include "resource.h"
#include "storage/UtilityTools.h"
#include "support/AppDriver.h"
#include "support/SimUnitProcess.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <fstream>

using namespace testsupport;

namespace {

const std::wstring kTimeOutBox = L"[Error] Communication timeout has occurred";


std::string Narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += static_cast<char>(c < 0x80 ? c : '?');
    return out;
}

void SetText(HWND hWnd, const std::wstring& text)
{
    DWORD_PTR dwResult = 0;
    SendMessageTimeoutW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 5000, &dwResult);
}

int ComboSelection(HWND hCombo)
{
    return static_cast<int>(SendMessageW(hCombo, CB_GETCURSEL, 0, 0));
}

bool WaitTick(HWND hCheck, int nState, DWORD dwTimeoutMs = 10000)
{
    return PumpUntil([&] { return ScreenTickState(hCheck) == nState; }, dwTimeoutMs);
}

bool WaitEnabled(HWND hWnd, bool bEnabled, DWORD dwTimeoutMs = 10000)
{
    return PumpUntil([&] { return (IsWindowEnabled(hWnd) != FALSE) == bEnabled; }, dwTimeoutMs);
}

// Lines of the exit sequence, in the order they must come.
void ExpectExitSequence(const ProgramRun& run, const std::string& closeLine)
{
    const std::vector<LogLine> lines = run.Trace();
    size_t i = 0;
    auto next = [&](const std::string& part, const char* lpFunction, int nLine) {
        for (; i < lines.size(); ++i) {
            if (lines[i].message.find(part) != std::string::npos && lines[i].function == lpFunction &&
                (nLine == 0 || lines[i].line == nLine))
                return true;
        }
        return false;
    };
    EXPECT_TRUE(next("_________________________", "CBasicSheetDlg::SequenceExit", 440));
    EXPECT_TRUE(next(closeLine, "CComm::LogWrite", 0)) << closeLine;
    EXPECT_TRUE(next("Destroy : mc_pCommMngr", "CBasicSheetDlg::SequenceExit", 450));
    EXPECT_TRUE(next("+------------------------------------------------------", "CBasicSheetDlg::SequenceExit", 453));
    EXPECT_TRUE(next("|      $---< Capture Software Closed >---$", "CBasicSheetDlg::SequenceExit", 454));
    EXPECT_TRUE(next("+------------------------------------------------------", "CBasicSheetDlg::SequenceExit", 455));
    EXPECT_EQ(0u, CountTrace(run, "Notification texts not freed"));
}

// ---------------------------------------------------------------------------------------
// Start-up

TEST(AppStartUp, FirstStartWritesDefaultConfigLogsBannerAndShowsSettingsAfterLinkFailure)
{
    ProgramRun run(L"first_start");
    ASSERT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(run.ConfigPath().c_str()));
    const ULONGLONG ullStart = GetTickCount64();
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitMainWindowShown());
    RecordProperty("startup_ms_to_main_window", std::to_string(GetTickCount64() - ullStart));

    const std::wstring version = CUtilityTools::GetFileVersion(run.ExePath().c_str());
    const std::wstring description = CUtilityTools::GetFileDescription(run.ExePath().c_str());
    EXPECT_EQ(L"Rig Console  Ver " + version, WindowText(run.MainWindow()));

    // The default file: no environment file at its default place, so the capture software's
    // serial port 0 is tried and fails.
    ASSERT_TRUE(run.WaitAndDismiss(kLinkErrorText));
    EXPECT_EQ(L"C:\\AcqStation\\SettingFiles\\", ReadIniValue(run.ConfigPath(), L"SETTINGS", L"EnvironPath"));
    EXPECT_EQ(L"1", ReadIniValue(run.ConfigPath(), L"SETTINGS", L"CommMode"));
    EXPECT_EQ(L"3", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"Comport"));
    EXPECT_EQ(L"19200", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"Baudrate"));

    // The page shows what was read back from the file just written: port 3 is the new
    // file's, neither the value of a missing key (0) nor the storage's initial one (1).
    ASSERT_TRUE(run.WaitPageShown());
    EXPECT_EQ(3, ComboSelection(run.PageItem(IDC_COMBO_USER_PORT)));
    EXPECT_EQ(L"19200", WindowText(run.PageItem(IDC_EDIT_USER_BAUD)));
    EXPECT_EQ(L"C:\\AcqStation\\SettingFiles\\", WindowText(run.PageItem(IDC_EDIT_ENVIRON_PATH)));

    const std::vector<LogLine> lines = run.Trace();
    struct Expected {
        int line;
        std::string message;
    };
    const Expected banner[] = {
        {196, "+------------------------------------------------------"},
        {197, "|      $---< Software Start!! >---$"},
        {198, "+------------------------------------------------------"},
        {200, "| FilePath      : " + Narrow(run.Folder())},
        {202, "| FileName      : RigConsole.exe"},
        {203, "| FileVersion   : " + Narrow(version) + " " + Narrow(description)},
        {204, "+------------------------------------------------------"},
    };
    size_t i = 0;
    for (const Expected& expected : banner) {
        while (i < lines.size() && lines[i].function != "CBasicSheetDlg::OnInitDialog")
            ++i;
        ASSERT_LT(i, lines.size()) << "missing banner line " << expected.line;
        EXPECT_EQ(expected.line, lines[i].line);
        EXPECT_EQ(":_NOTIC_: ", lines[i].tag);
        EXPECT_EQ(expected.message, lines[i].message);
        ++i;
    }
    // The first read found no file: its error comes before the link is tried.
    const int nMissing = run.WaitForTrace("Config.ini", 1000, "CIniMngr::SetPathName");
    const int nActivate = run.WaitForTrace("_________________________", 1000, "CBasicSheetDlg::OnActivatePage");
    EXPECT_GE(nMissing, 0);
    EXPECT_LT(nMissing, nActivate);

    ASSERT_TRUE(run.CloseAndWait());
    EXPECT_EQ(0u, run.Child().ExitCode());
}

TEST(AppStartUp, SecondInstanceSaysSoAndEndsWhileTheFirstRunsOn)
{
    ProgramRun first(L"instance_first");
    ASSERT_TRUE(StartWithoutUnit(first));

    // A second copy, here from another folder, finds the name taken.
    ProgramRun second(L"instance_second");
    ASSERT_TRUE(second.WriteConfig(TcpConfig(first, PrivateLoopbackAddress())));
    ASSERT_TRUE(second.Start(&first));
    HWND hBox = second.WaitMessageBox(L"Capture program is running. Please wait.");
    ASSERT_NE(nullptr, hBox);
    EXPECT_NE(0, GetWindowLongPtrW(hBox, GWL_STYLE) & WS_VISIBLE);
    EXPECT_EQ(nullptr, second.MainWindow());
    ASSERT_TRUE(second.Dismiss(hBox));
    ASSERT_TRUE(second.Child().WaitExit(20000));
    EXPECT_EQ(0u, second.Child().ExitCode());
    // It ended before any window: nothing in its trace.
    EXPECT_TRUE(second.RawTrace().empty());

    EXPECT_FALSE(first.Child().WaitExit(0));
    EXPECT_TRUE(IsWindowVisible(first.MainWindow()));
    ASSERT_TRUE(first.CloseAndWait());
}

// ---------------------------------------------------------------------------------------
// The link from the stored settings

TEST(AppLink, CapturesSoftwareValuesOpenTcpOnPort20130AndTheConsoleWorksThroughIt)
{
    ProgramRun run(L"link_tcp");
    const std::wstring address = PrivateLoopbackAddress();
    MachineValues machine;
    machine.UseCommType = 1;
    machine.Comport = 4;
    machine.Baudrate = 38400;
    machine.MachineIP = address;
    machine.EthernetPort = 20999;
    const std::wstring environPath = run.WriteEnvironment(machine);
    ScriptedUnit unit;
    // The capture software's values in use: the own values (a COM port, another TCP port)
    // must not be the ones that reach the unit.
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "delay * 50\n", [&](ConfigValues& cfg) {
        cfg.EnvironPath = environPath;
        cfg.CommMode = 1;
        cfg.CommType = 0;
        cfg.Comport = 7;
        cfg.EthernetIP = L"127.0.0.1";
        cfg.EthernetPort = 20999;
    }));
    EXPECT_TRUE(unit.WaitLog("CONNECT"));
    // A working link ends the start-up step and still brings the settings page.
    EXPECT_GE(run.WaitForTrace("^^^^^^^^^^^^^^^^^^^^", 10000, "CBasicSheetDlg::OnActivatePage"), 0);
    EXPECT_EQ(L" Config ", WindowText(GetDlgItem(run.MainWindow(), IDC_TAB_SHEET)));
    EXPECT_TRUE(run.OpenMessageBoxes().empty());

    // The page with the capture software's values in use.
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_USE_CONSOLE), 1));
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_USE_USER), 0));
    for (int nID : {IDC_CHECK_USER_SERIAL, IDC_CHECK_USER_ETHERNET, IDC_COMBO_USER_PORT, IDC_EDIT_USER_BAUD,
                    IDC_EDIT_USER_TCP_PORT, IDC_IP_USER})
        EXPECT_FALSE(IsWindowEnabled(run.PageItem(nID))) << nID;
    EXPECT_EQ(4, ComboSelection(run.PageItem(IDC_COMBO_CONSOLE_PORT)));
    EXPECT_EQ(L"38400", WindowText(run.PageItem(IDC_EDIT_CONSOLE_BAUD)));
    EXPECT_EQ(address, IpControlText(run.PageItem(IDC_IP_CONSOLE)));
    EXPECT_EQ(L"20999", WindowText(run.PageItem(IDC_EDIT_CONSOLE_TCP_PORT)));
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_CONSOLE_ETHERNET), 1));
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_CONSOLE_SERIAL), 0));
    EXPECT_EQ(7, ComboSelection(run.PageItem(IDC_COMBO_USER_PORT)));

    // "Serial Dialog" shows the console; a command from it is answered to the main window.
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_PANO]"));
    // The console belongs to the main window: above it, no taskbar entry of its own.
    EXPECT_EQ(run.MainWindow(), GetWindow(run.Console(), GW_OWNER));
    EXPECT_TRUE(unit.WaitLog("FRAME \"[SPL_PANO]\""));
    EXPECT_GE(run.WaitForTrace("[EPL_PANO"), 0);
    EXPECT_GE(run.WaitForTrace("lParam : enRECV_COMMAND", 20000, "CBasicSheetDlg::OnMessage_SerialEPM"), 0);

    ASSERT_TRUE(run.CloseAndWait());
    EXPECT_EQ(0u, run.Child().ExitCode());
    ExpectExitSequence(run, "DAT_A - 0 = closesocket()");
    EXPECT_TRUE(unit.WaitLog("DISCONNECT"));
}

TEST(AppLink, AHealthyStartAndExitTraceNoErrorAndTheManagerIsDestroyed)
{
    ProgramRun run(L"link_healthy");
    ScriptedUnit unit;
    // The capture software's file is where Config.ini says; no [CONSOLE] section: an older
    // file, as most workshops have.
    const std::wstring environPath = run.WriteEnvironment(MachineValues{});
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "delay * 50\n", [&](ConfigValues& cfg) { cfg.EnvironPath = environPath; }));
    EXPECT_EQ(L"<missing>", ReadIniValue(run.ConfigPath(), L"CONSOLE", L"Time"));
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    EXPECT_GE(run.WaitForTrace("[EPL_STAT_001]", 20000, "CComm::LogWrite"), 0);
    ASSERT_TRUE(run.CloseAndWait());
    EXPECT_EQ(0u, run.Child().ExitCode());
    size_t nErrors = 0;
    for (const std::string& line : run.RawTrace()) {
        if (line.find(":_ERROR_:") != std::string::npos) {
            ++nErrors;
            ADD_FAILURE() << line;
        }
    }
    EXPECT_EQ(0u, nErrors);
    EXPECT_EQ(1u, CountTrace(run, "Destroy : mc_pCommMngr", "CBasicSheetDlg::SequenceExit"));
    EXPECT_EQ(0u, CountTrace(run, "Left : mc_pCommMngr"));
}

TEST(AppLink, ALogFolderLongerThanAPathIsRefusedWithAConsoleLineAndTheDefaultIsUsed)
{
    ProgramRun run(L"link_longfolder");
    ASSERT_TRUE(run.WriteConfig(TcpConfig(run, PrivateLoopbackAddress())));
    const std::wstring folder = L"C:\\" + std::wstring(296, L'f') + L"\\";
    ASSERT_EQ(300u, folder.size());
    ASSERT_TRUE(WritePrivateProfileStringW(L"CONSOLE", L"LogFolder", folder.c_str(), run.ConfigPath().c_str()));
    ASSERT_EQ(folder, ReadIniValue(run.ConfigPath(), L"CONSOLE", L"LogFolder"));
    ASSERT_TRUE(run.Start());
    EXPECT_GE(run.WaitForTrace("LogFolder in Config.ini not used: 300 characters, a folder has at most 259; session records go to ",
                               30000, "CComm::LogWrite"),
              0);
    ASSERT_TRUE(run.WaitAndDismiss(kLinkErrorText));
    ASSERT_TRUE(run.CloseAndWait());
}

TEST(AppLink, OwnSerialSettingsOpenTheComPortAndTheCloseButtonReleasesIt)
{
    ProgramRun run(L"link_com");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Com, "delay * 50\n"));
    EXPECT_TRUE(run.OpenMessageBoxes().empty());
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_USE_USER), 1));
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_USER_SERIAL), 1));
    EXPECT_EQ(ProgramComPort() < 10 ? ProgramComPort() : -1, ComboSelection(run.PageItem(IDC_COMBO_USER_PORT)));

    ASSERT_TRUE(SendFromConsole(run, L"[SPM_CEPH]"));
    EXPECT_TRUE(unit.WaitLog("FRAME \"[SPM_CEPH]\""));
    EXPECT_GE(run.WaitForTrace("lParam : enRECV_COMMAND", 20000, "CBasicSheetDlg::OnMessage_SerialEPM"), 0);

    PostClick(GetDlgItem(run.MainWindow(), IDC_BTN_MAIN_CLOSE));
    ASSERT_TRUE(run.Child().WaitExit(30000));
    EXPECT_EQ(0u, run.Child().ExitCode());
    ExpectExitSequence(run, "FUN_E - CComm::CloseSerial");
}

TEST(AppLink, FailureReportsThenAddsTheConfigPageOnceOnly)
{
    ProgramRun run(L"link_fail");
    ConfigValues cfg;
    cfg.EnvironPath = run.Folder();
    cfg.CommMode = 0;
    cfg.CommType = 1;
    cfg.EthernetIP = PrivateLoopbackAddress();
    ASSERT_TRUE(run.WriteConfig(cfg));
    ASSERT_TRUE(run.Start());

    HWND hBox = run.WaitMessageBox(kLinkErrorText);
    ASSERT_NE(nullptr, hBox);
    HWND hTabs = GetDlgItem(run.MainWindow(), IDC_TAB_SHEET);
    // Nothing in the strip while the box is up.
    EXPECT_EQ(L"", WindowText(hTabs));
    EXPECT_FALSE(IsWindowVisible(run.Page()));
    ASSERT_TRUE(run.Dismiss(hBox));
    ASSERT_TRUE(run.WaitPageShown());
    EXPECT_EQ(L" Config ", WindowText(hTabs));
    EXPECT_EQ(L" Config ", WindowText(run.Page()));
    EXPECT_EQ(0u, CountTrace(run, "^^^^^^^^^^^^^^^^^^^^", "CBasicSheetDlg::OnActivatePage"));

    // A second attempt through the same manager fails the same way; the page found in the
    // strip is only selected again.
    ShowWindow(run.Page(), SW_HIDE);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindowVisible(run.Page()); }, 5000));
    PostMessageW(run.MainWindow(), WM_TABPAGE_ACTIVATE, 0, 0);
    ASSERT_TRUE(run.WaitAndDismiss(kLinkErrorText));
    ASSERT_TRUE(run.WaitPageShown());
    EXPECT_EQ(L" Config ", WindowText(hTabs));
    EXPECT_EQ(2u, CountTrace(run, "_________________________", "CBasicSheetDlg::OnActivatePage"));
    EXPECT_EQ(4u, CountTrace(run, "_________________________", "CBasicSheetDlg::Init_RS232C"));
    // Through the same manager: still one console window.
    size_t nConsoles = 0;
    for (HWND hWnd = GetTopWindow(nullptr); hWnd != nullptr; hWnd = GetWindow(hWnd, GW_HWNDNEXT)) {
        DWORD dwPid = 0;
        GetWindowThreadProcessId(hWnd, &dwPid);
        if (dwPid == run.Pid() && WindowText(hWnd) == L"Serial Communication")
            ++nConsoles;
    }
    EXPECT_EQ(1u, nConsoles);

    ASSERT_TRUE(run.CloseAndWait());
    ExpectExitSequence(run, "FUN_S - CComm::CloseEthernet");
}

// ---------------------------------------------------------------------------------------
// Settings page

TEST(AppSettingsPage, UseUserRestoresTheStoredChoiceAndSaveKeepsOwnValuesWithConsoleSettings)
{
    ProgramRun run(L"page_radio");
    MachineValues machine;
    machine.UseCommType = 0;
    machine.Comport = 0;
    ConfigValues cfg;
    cfg.EnvironPath = run.WriteEnvironment(machine);
    cfg.CommMode = 1;
    cfg.CommType = 1;
    cfg.Comport = 2;
    cfg.Baudrate = 57600;
    cfg.EthernetIP = L"10.1.2.3";
    cfg.EthernetPort = 20131;
    ASSERT_TRUE(run.WriteConfig(cfg));
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitAndDismiss(kLinkErrorText));
    ASSERT_TRUE(run.WaitPageShown());

    const HWND hUseUser = run.PageItem(IDC_CHECK_USE_USER);
    const HWND hUseConsole = run.PageItem(IDC_CHECK_USE_CONSOLE);
    const HWND hSerial = run.PageItem(IDC_CHECK_USER_SERIAL);
    const HWND hEthernet = run.PageItem(IDC_CHECK_USER_ETHERNET);
    EXPECT_TRUE(WaitTick(hUseConsole, 1));
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_CONSOLE_SERIAL), 1));
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_CONSOLE_ETHERNET), 0));
    EXPECT_EQ(L"10.1.2.3", IpControlText(run.PageItem(IDC_IP_USER)));

    PostClick(hUseUser);
    EXPECT_TRUE(WaitTick(hUseUser, 1));
    EXPECT_TRUE(WaitTick(hUseConsole, 0));
    EXPECT_TRUE(WaitTick(hEthernet, 1)) << "stored CommType 1";
    EXPECT_TRUE(WaitTick(hSerial, 0));
    EXPECT_TRUE(WaitEnabled(run.PageItem(IDC_IP_USER), true));
    EXPECT_TRUE(WaitEnabled(run.PageItem(IDC_EDIT_USER_TCP_PORT), true));
    EXPECT_FALSE(IsWindowEnabled(run.PageItem(IDC_COMBO_USER_PORT)));
    EXPECT_FALSE(IsWindowEnabled(run.PageItem(IDC_EDIT_USER_BAUD)));

    PostClick(hSerial);
    EXPECT_TRUE(WaitTick(hSerial, 1));
    EXPECT_TRUE(WaitTick(hEthernet, 0));
    EXPECT_TRUE(WaitEnabled(run.PageItem(IDC_COMBO_USER_PORT), true));
    // Clicking the ticked box of a pair leaves it ticked.
    PostClick(hSerial);
    PostClick(hUseConsole);
    EXPECT_TRUE(WaitTick(hUseConsole, 1));
    EXPECT_TRUE(WaitTick(hSerial, 1));
    EXPECT_TRUE(WaitEnabled(hSerial, false));
    // Back to the own settings: the stored choice again, not the ticks shown last.
    PostClick(hUseUser);
    EXPECT_TRUE(WaitTick(hUseUser, 1));
    EXPECT_TRUE(WaitTick(hEthernet, 1));
    EXPECT_TRUE(WaitTick(hSerial, 0));

    // Saved with the capture software's values in use: CommMode 1, own values as loaded.
    PostClick(hUseConsole);
    EXPECT_TRUE(WaitTick(hUseConsole, 1));
    PostClick(run.PageItem(IDC_BTN_SAVE));
    ASSERT_TRUE(run.WaitAndDismiss(L"Save Success!!"));
    EXPECT_EQ(L"1", ReadIniValue(run.ConfigPath(), L"SETTINGS", L"CommMode"));
    EXPECT_EQ(L"1", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"CommType"));
    EXPECT_EQ(L"2", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"Comport"));
    EXPECT_EQ(L"57600", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"Baudrate"));
    EXPECT_EQ(L"10.1.2.3", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"EthernetIP"));
    EXPECT_EQ(L"20131", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"EthernetPort"));

    ASSERT_TRUE(run.CloseAndWait());
}

TEST(AppSettingsPage, AnAddressTheControlCannotShowIsKeptWhenSavedUnlessItWasChanged)
{
    ProgramRun run(L"page_hostname");
    ASSERT_TRUE(StartWithoutUnit(run, [](ConfigValues& cfg) {
        cfg.CommMode = 0;
        cfg.CommType = 1;
        cfg.EthernetIP = L"unit-7.workshop";
    }));
    // The control shows dotted addresses only: it is blank, and the stored text stays.
    EXPECT_EQ(L"...", IpControlText(run.PageItem(IDC_IP_USER)));
    PostClick(run.PageItem(IDC_BTN_SAVE));
    ASSERT_TRUE(run.WaitAndDismiss(L"Save Success!!"));
    EXPECT_EQ(L"unit-7.workshop", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"EthernetIP"));

    // An address the engineer puts into the control is what is saved.
    DWORD_PTR dwResult = 0;
    ASSERT_NE(0, SendMessageTimeoutW(run.PageItem(IDC_IP_USER), IPM_SETADDRESS, 0, MAKEIPADDRESS(10, 9, 8, 7), SMTO_ABORTIFHUNG, 5000,
                                     &dwResult));
    PostClick(run.PageItem(IDC_BTN_SAVE));
    ASSERT_TRUE(run.WaitAndDismiss(L"Save Success!!"));
    EXPECT_EQ(L"10.9.8.7", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"EthernetIP"));
    ASSERT_TRUE(run.CloseAndWait());
}

TEST(AppSettingsPage, AStoredPortThatIsNotPresentStaysSelectedMarkedAndIsSavedAsItWas)
{
    ProgramRun run(L"page_save");
    ConfigValues cfg;
    cfg.EnvironPath = run.Folder();
    cfg.CommMode = 0;
    cfg.CommType = 0;
    cfg.Comport = 12;
    ASSERT_TRUE(run.WriteConfig(cfg));
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitAndDismiss(kLinkErrorText));
    ASSERT_TRUE(run.WaitPageShown());
    // The machine has no COM12: it is offered as it was stored, marked.
    EXPECT_EQ(L"COM 12 (absent)", WindowText(run.PageItem(IDC_COMBO_USER_PORT)));
    EXPECT_TRUE(WaitTick(run.PageItem(IDC_CHECK_USER_SERIAL), 1));

    // Values are saved as typed, unchecked: a baud rate that is no number gives 0.
    const std::wstring newFolder = run.Folder() + L"elsewhere\\";
    SetText(run.PageItem(IDC_EDIT_ENVIRON_PATH), newFolder);
    SetText(run.PageItem(IDC_EDIT_USER_BAUD), L"fast");
    PostClick(run.PageItem(IDC_BTN_SAVE));
    ASSERT_TRUE(run.WaitAndDismiss(L"Save Success!!"));
    EXPECT_EQ(L"12", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"Comport")) << "the stored port is kept";
    EXPECT_EQ(L"0", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"Baudrate"));
    EXPECT_EQ(L"0", ReadIniValue(run.ConfigPath(), L"SETTINGS", L"CommMode"));
    EXPECT_EQ(L"0", ReadIniValue(run.ConfigPath(), L"COMMUNICATION", L"CommType"));
    EXPECT_EQ(newFolder, ReadIniValue(run.ConfigPath(), L"SETTINGS", L"EnvironPath"));

    // A file that cannot be written (a folder took its name) is reported, not claimed saved.
    ASSERT_TRUE(DeleteFileW(run.ConfigPath().c_str()));
    ASSERT_TRUE(CreateDirectoryW(run.ConfigPath().c_str(), nullptr));
    PostClick(run.PageItem(IDC_BTN_SAVE));
    ASSERT_TRUE(run.WaitAndDismiss(L"Save Fail!!"));

    ASSERT_TRUE(run.CloseAndWait());
}

TEST(AppSettingsPage, FolderBrowserStartsAtTheSavedFolderAndEndsInABackslash)
{
    ProgramRun run(L"page_find");
    const std::wstring saved = run.Folder() + L"capture";
    ASSERT_TRUE(CreateDirectoryW(saved.c_str(), nullptr));
    ASSERT_TRUE(StartWithoutUnit(run, [&](ConfigValues& cfg) { cfg.EnvironPath = saved + L"\\"; }));

    // Cancelled, the browser leaves the field as it was. (The first browser of a process
    // under Wine does not always move to its starting folder, so the start is checked on
    // the second.)
    const HWND hPath = run.PageItem(IDC_EDIT_ENVIRON_PATH);
    SetText(hPath, L"C:\\windows\\");
    auto openBrowser = [&] {
        PostClick(run.PageItem(IDC_BTN_FIND_CAPTURE));
        return run.WaitMessageBox(L"Select folder path");
    };
    HWND hBrowser = openBrowser();
    ASSERT_NE(nullptr, hBrowser);
    PostMessageW(hBrowser, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(hBrowser); }, 10000));
    EXPECT_EQ(L"C:\\windows\\", WindowText(hPath));

    // Another, unsaved folder in the field does not move the browser's start: it selects the
    // saved folder, whose path the page shows as the browser's status text. Confirmed, the
    // chosen folder's path replaces the field's text, always with a backslash at its end
    // (Wine's browser may hand back another folder than the one it shows selected, so only
    // the form of the result is checked).
    hBrowser = openBrowser();
    ASSERT_NE(nullptr, hBrowser);
    EXPECT_TRUE(PumpUntil([&] { return run.WaitMessageBox(saved, 0) == hBrowser; }, 30000)) << "status text of the saved folder";
    ASSERT_TRUE(run.Dismiss(hBrowser));
    EXPECT_TRUE(PumpUntil([&] { return WindowText(hPath) != L"C:\\windows\\"; }, 10000));
    const std::wstring chosen = WindowText(hPath);
    EXPECT_TRUE(chosen.size() > 3 && chosen.back() == L'\\' && chosen[chosen.size() - 2] != L'\\') << Narrow(chosen);
    // Not stored until "Save".
    EXPECT_EQ(saved + L"\\", ReadIniValue(run.ConfigPath(), L"SETTINGS", L"EnvironPath"));

    ASSERT_TRUE(run.CloseAndWait());
}

// ---------------------------------------------------------------------------------------
// Main window

TEST(AppMainWindow, EnterRunsTheLogInToggleAndEscapeDoesNothing)
{
    ProgramRun run(L"login");
    ASSERT_TRUE(StartWithoutUnit(run));
    const HWND hMain = run.MainWindow();
    const HWND hPassword = GetDlgItem(hMain, IDC_EDIT_PASSWORD);
    const HWND hLogIn = GetDlgItem(hMain, IDC_BTN_LOGIN);
    const HWND hTabs = GetDlgItem(hMain, IDC_TAB_SHEET);
    // The log-in controls are hidden: Enter is their only way in.
    EXPECT_FALSE(IsWindowVisible(hPassword));
    EXPECT_FALSE(IsWindowVisible(hLogIn));
    auto key = [&](WPARAM vk) { PostMessageW(hMain, WM_KEYDOWN, vk, 1); };

    SetText(hPassword, L"wrong");
    key(VK_RETURN);
    EXPECT_TRUE(PumpUntil([&] { return WindowText(hPassword).empty(); }, 10000)) << "a wrong password is cleared";
    EXPECT_TRUE(IsWindowEnabled(hPassword));

    // Escape first: had it closed the window, the Enter behind it would find none.
    SetText(hPassword, L"torvik");
    key(VK_ESCAPE);
    key(VK_RETURN);
    EXPECT_TRUE(WaitEnabled(hPassword, false)) << "the password is compared ignoring case";
    EXPECT_EQ(L"Log Out", WindowText(hLogIn));
    EXPECT_EQ(L"torvik", WindowText(hPassword));
    EXPECT_TRUE(IsWindowEnabled(hTabs));
    EXPECT_TRUE(IsWindow(hMain));

    key(VK_RETURN);
    EXPECT_TRUE(WaitEnabled(hPassword, true));
    EXPECT_EQ(L"Log In", WindowText(hLogIn));
    EXPECT_EQ(L"", WindowText(hPassword));
    EXPECT_FALSE(IsWindowEnabled(hTabs));
    EXPECT_TRUE(IsWindowVisible(hMain));
    EXPECT_FALSE(run.Child().WaitExit(0));

    ASSERT_TRUE(run.CloseAndWait());
}

TEST(AppMainWindow, ConsoleCommandWithoutAnswerReportsTheTimeOut)
{
    ProgramRun run(L"timeout");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "silent *\n"));

    // A word without a long time-out of its own waits 3 s.
    ASSERT_TRUE(SendFromConsole(run, L"[SPL_STAT]"));
    EXPECT_TRUE(unit.WaitLog("SILENT"));
    ASSERT_TRUE(run.WaitAndDismiss(kTimeOutBox, 30000));
    EXPECT_GE(run.WaitForTrace("lParam : enRECV_TIMEOUT", 5000, "CBasicSheetDlg::OnMessage_SerialEPM"), 0);
    EXPECT_GE(run.WaitForTrace("^^^^^^^^^^^^^^^^^^^^", 5000, "CBasicSheetDlg::OnMessage_SerialEPM"), 0);

    ASSERT_TRUE(run.CloseAndWait());
    EXPECT_EQ(0u, run.Child().ExitCode());
}

TEST(AppMainWindow, UnitNotificationsAreTakenAndTheirCopiesReleased)
{
    ProgramRun run(L"notify");
    ScriptedUnit unit;
    ASSERT_TRUE(StartAgainstUnit(run, unit, UnitLink::Tcp, "flood 30 [SLP_DOOR_OPEN]\nevery 150 [SMP_STAT_READY]\n"));

    EXPECT_TRUE(PumpUntil([&] { return CountTrace(run, "SLP : [SLP_DOOR_OPEN]", "CBasicSheetDlg::OnMessage_SerialSLP") >= 30; }, 30000));
    EXPECT_TRUE(PumpUntil([&] { return CountTrace(run, "_________________________", "CBasicSheetDlg::OnMessage_SerialSMP") >= 3; }, 30000));
    EXPECT_TRUE(unit.WaitLog("echo ok"));

    ASSERT_TRUE(run.CloseAndWait());
    EXPECT_EQ(0u, run.Child().ExitCode());
    ExpectExitSequence(run, "DAT_A - 0 = closesocket()");
}

// The pointer that the system shows while it rests over a window of the program: the same
// for 300 ms on end (the program, a process of its own, takes the move in its own time; a
// few quick looks on a loaded machine can still see the pointer of the last place).
HCURSOR SettledCursorOver(HWND hWnd, POINT ptOffset = POINT{-1, -1})
{
    RECT rc;
    GetWindowRect(hWnd, &rc);
    const int x = ptOffset.x >= 0 ? rc.left + ptOffset.x : (rc.left + rc.right) / 2;
    const int y = ptOffset.y >= 0 ? rc.top + ptOffset.y : (rc.top + rc.bottom) / 2;
    SetCursorPos(x, y);
    HCURSOR hLast = nullptr;
    ULONGLONG ullSince = GetTickCount64();
    PumpUntil(
        [&] {
            CURSORINFO ci{};
            ci.cbSize = sizeof(ci);
            GetCursorInfo(&ci);
            if (ci.hCursor != hLast || hLast == nullptr) {
                hLast = ci.hCursor;
                ullSince = GetTickCount64();
            }
            return hLast != nullptr && GetTickCount64() - ullSince >= 300;
        },
        10000);
    return hLast;
}

TEST(AppMainWindow, PointerIsTheHandOverOwnerDrawnButtonsAndTheArrowElsewhere)
{
    ProgramRun run(L"cursor");
    ASSERT_TRUE(StartWithoutUnit(run));

    // Over the main window's own face, then over a button of the page, a check box of the
    // page, the main window's Close button, and an edit box (whose class would show the
    // text beam): the same two pointers take turns.
    const HWND hMain = run.MainWindow();
    RECT rcMain;
    GetWindowRect(hMain, &rcMain);
    const HCURSOR hFace = SettledCursorOver(hMain, POINT{rcMain.right - rcMain.left - 40, (rcMain.bottom - rcMain.top) / 2});
    const HCURSOR hSave = SettledCursorOver(run.PageItem(IDC_BTN_SAVE));
    const HCURSOR hEdit = SettledCursorOver(run.PageItem(IDC_EDIT_ENVIRON_PATH));
    const HCURSOR hCheck = SettledCursorOver(run.PageItem(IDC_CHECK_USE_USER));
    const HCURSOR hClose = SettledCursorOver(GetDlgItem(hMain, IDC_BTN_MAIN_CLOSE));
    ASSERT_NE(nullptr, hFace);
    EXPECT_NE(hFace, hSave);
    EXPECT_EQ(hSave, hCheck);
    EXPECT_EQ(hSave, hClose);
    EXPECT_EQ(hFace, hEdit);

    ASSERT_TRUE(run.CloseAndWait());
}

} // namespace

