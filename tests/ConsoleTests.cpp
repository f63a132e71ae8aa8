// The communication console driven as the engineer drives it: its real window, its
// controls, keys and buttons, linked to the simulated unit over TCP.
#include "comm/Comm.h"
#include "resource.h"
#include "support/CommTestSupport.h"
#include "support/SimUnitProcess.h"

#include <gtest/gtest.h>

#include <commdlg.h>
#include <richedit.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

using namespace testsupport;

namespace {

// A saved log without the time stamp after each number ("0001| 14:03:12.345 >> ..." becomes
// "0001| >> ..."); nStamps counts the stamps taken out.
template <typename String>
String WithoutStamps(const String& text, size_t* pnStamps = nullptr)
{
    using Char = typename String::value_type;
    String out;
    size_t nStamps = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        out += text[i];
        const auto digit = [&](size_t at) { return at < text.size() && text[at] >= Char('0') && text[at] <= Char('9'); };
        if (text[i] == Char('|') && i + 14 < text.size() && text[i + 1] == Char(' ') && digit(i + 2) && digit(i + 3) &&
            text[i + 4] == Char(':') && text[i + 7] == Char(':') && text[i + 10] == Char('.') && digit(i + 13) &&
            text[i + 14] == Char(' ')) {
            i += 13;
            ++nStamps;
        }
    }
    if (pnStamps != nullptr)
        *pnStamps = nStamps;
    return out;
}

std::wstring WindowTextOf(HWND hWnd)
{
    wchar_t sz[512] = {};
    GetWindowTextW(hWnd, sz, 511);
    return sz;
}

class ConsoleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(owner.Create());
        comm = CComm::GetInstance();
        comm->SetOwnerWnd(&owner);
        dir = MakeScratchDir(L"console");
        comm->Console().ShowWindow(SW_SHOW);
        PumpFor(50);
    }
    void TearDown() override
    {
        comm->CloseEthernet();
        delete comm;
        unit.Stop();
    }

    void StartUnit(const std::wstring& args = L"")
    {
        port = UnusedTcpPort();
        ASSERT_TRUE(unit.Start(L"--tcp 127.0.0.1:" + std::to_wstring(port) + L" --quiet --raw-log \"" + dir +
                               L"raw.bin\" " + args));
        ASSERT_TRUE(comm->Open_Ethernet(L"127.0.0.1", port));
    }
    std::string Raw() { return ReadFileBytes(dir + L"raw.bin"); }

    HWND Item(int nID) { return comm->Console().GetDlgItem(nID); }
    void Command(int nID, int nCode) { SendMessageW(comm->Console().m_hWnd, WM_COMMAND, MAKEWPARAM(nID, nCode), reinterpret_cast<LPARAM>(Item(nID))); }
    void Click(int nID) { Command(nID, BN_CLICKED); }
    void TypeInCombo(int nID, const wchar_t* lpText)
    {
        SendMessageW(Item(nID), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
        SetWindowTextW(Item(nID), lpText);
        Command(nID, CBN_EDITCHANGE);
    }
    void SelectInCombo(int nID, const wchar_t* lpText)
    {
        SendMessageW(Item(nID), CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(lpText));
        Command(nID, CBN_SELCHANGE);
    }
    std::wstring Text(int nID)
    {
        wchar_t sz[512] = {};
        GetWindowTextW(Item(nID), sz, 512);
        return sz;
    }
    std::vector<std::wstring> ComboEntries(int nID)
    {
        std::vector<std::wstring> entries;
        const int n = static_cast<int>(SendMessageW(Item(nID), CB_GETCOUNT, 0, 0));
        for (int i = 0; i < n; ++i) {
            wchar_t sz[64] = {};
            SendMessageW(Item(nID), CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(sz));
            entries.push_back(sz);
        }
        return entries;
    }
    void PressKey(HWND hTarget, WPARAM vk)
    {
        PostMessageW(hTarget, WM_KEYDOWN, vk, 1);
        PostMessageW(hTarget, WM_KEYUP, vk, 0xC0000001);
        PumpFor(100);
    }
    // Colour of the log text that starts at the first occurrence of lpText.
    COLORREF ColorOf(const std::wstring& text)
    {
        HWND hLog = Item(1122);
        FINDTEXTEXW find{{0, -1}, text.c_str(), {0, 0}};
        const LRESULT at = SendMessageW(hLog, EM_FINDTEXTEXW, FR_DOWN, reinterpret_cast<LPARAM>(&find));
        if (at < 0)
            return CLR_INVALID;
        CHARRANGE range{static_cast<LONG>(at), static_cast<LONG>(at + 1)};
        SendMessageW(hLog, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
        CHARFORMATW cf{};
        cf.cbSize = sizeof(cf);
        SendMessageW(hLog, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
        return cf.crTextColor;
    }

    // A key pressed in the log, with Shift or Ctrl held as the engineer holds them.
    void KeyInLog(WPARAM vk, bool bShift = false, bool bCtrl = false)
    {
        BYTE state[256] = {};
        GetKeyboardState(state);
        state[VK_SHIFT] = bShift ? 0x80 : 0;
        state[VK_CONTROL] = bCtrl ? 0x80 : 0;
        SetKeyboardState(state);
        // As a keyboard does: the modifier goes down first, as a key of its own.
        if (bShift)
            SendMessageW(Item(IDC_RICHEDIT_LOG), WM_KEYDOWN, VK_SHIFT, 1);
        if (bCtrl)
            SendMessageW(Item(IDC_RICHEDIT_LOG), WM_KEYDOWN, VK_CONTROL, 1);
        SendMessageW(Item(IDC_RICHEDIT_LOG), WM_KEYDOWN, vk, 1);
        state[VK_SHIFT] = 0;
        state[VK_CONTROL] = 0;
        SetKeyboardState(state);
    }
    static std::wstring ClipboardText()
    {
        std::wstring text;
        if (!OpenClipboard(nullptr))
            return text;
        if (HANDLE hText = GetClipboardData(CF_UNICODETEXT)) {
            if (const wchar_t* pText = static_cast<const wchar_t*>(GlobalLock(hText))) {
                text = pText;
                GlobalUnlock(hText);
            }
        }
        CloseClipboard();
        return text;
    }

    CRecorderWnd owner;
    CComm* comm = nullptr;
    SimUnitProcess unit;
    std::wstring dir;
    int port = 0;
};

TEST_F(ConsoleTest, CommandTextIsBuiltFromClassAndWord)
{
    SelectInCombo(1111, L"[SPL_");
    SelectInCombo(1114, L"CEPH]");
    EXPECT_EQ(L"[SPL_CEPH]", Text(1104));
    TypeInCombo(1111, L"spl_");
    TypeInCombo(1114, L"erdy");
    EXPECT_EQ(L"[SPL_ERDY]", Text(1104));
}

TEST_F(ConsoleTest, SendKeepsAHistoryOfNewClassesAndWords)
{
    StartUnit();
    const size_t nWords = ComboEntries(1114).size();
    const size_t nClasses = ComboEntries(1111).size();

    TypeInCombo(1111, L"[spl_");
    TypeInCombo(1114, L"xrfv");
    Click(1085);
    EXPECT_EQ(nWords + 1, ComboEntries(1114).size());
    EXPECT_EQ(L"XRFV", ComboEntries(1114).back());
    EXPECT_EQ(nClasses, ComboEntries(1111).size()) << "the entry \"[\" covers every text with a bracket";

    // A text already covered by an entry is not added again.
    TypeInCombo(1114, L"Xrfv");
    TypeInCombo(1111, L"spm_");
    Click(1085);
    EXPECT_EQ(nWords + 1, ComboEntries(1114).size());
    EXPECT_EQ(L"SPM_", ComboEntries(1111).back());
    EXPECT_TRUE(PumpUntil([&] { return Raw() == "[SPL_XRFV]\r\n[SPM_XRFV]\r\n"; }, 10000)) << Raw();
}

TEST_F(ConsoleTest, EnterSendsFromAnyControlAndEscapeDoesNothing)
{
    StartUnit();
    SetWindowTextW(Item(1104), L"[SPL_PSON]");
    PressKey(Item(1104), VK_RETURN);
    EXPECT_TRUE(PumpUntil([&] { return Raw() == "[SPL_PSON]\r\n"; }, 10000)) << Raw();
    PumpFor(300);
    PressKey(Item(1116), VK_RETURN);
    PressKey(Item(1166), VK_RETURN);
    EXPECT_TRUE(PumpUntil([&] { return Raw() == "[SPL_PSON]\r\n[SPL_PSON]\r\n[SPL_PSON]\r\n"; }, 10000)) << Raw();

    const size_t nLines = ConsoleLines(comm).size();
    PressKey(Item(1104), VK_ESCAPE);
    PressKey(comm->Console().m_hWnd, VK_ESCAPE);
    EXPECT_TRUE(comm->Console().IsWindowVisible());
    EXPECT_EQ(nLines, ConsoleLines(comm).size());
    EXPECT_EQ(L"[SPL_PSON]", Text(1104));

    // "Exit" hides the console and leaves the link alone.
    Click(IDOK);
    EXPECT_FALSE(comm->Console().IsWindowVisible());
    EXPECT_TRUE(comm->IsConnected());
}

TEST_F(ConsoleTest, SendOnAClosedLinkSaysSoAndSendsNothing)
{
    StartUnit();
    comm->CloseEthernet();
    SetWindowTextW(Item(1104), L"[SPL_PANO]");
    Click(1085);
    EXPECT_TRUE(ConsoleHasLine(comm, L"Can not send. Is not connected!!"));
    EXPECT_EQ(0, comm->GetQueueCount());
    PumpFor(200);
    EXPECT_EQ("", Raw());
}

TEST_F(ConsoleTest, ACommandTooLongForAFrameIsRefusedWithItsRealLengthAndNotSent)
{
    StartUnit();
    const std::wstring text = L"[SPL_" + std::wstring(294, L'Q') + L"]";
    SetWindowTextW(Item(1104), text.c_str());
    ASSERT_EQ(text.size(), Text(1104).size()) << "the field holds the whole command";
    Click(1085);
    EXPECT_TRUE(ConsoleHasLine(comm, L"Command not sent: 300 characters, at most 257 fit a frame"));
    PumpFor(200);
    EXPECT_EQ("", Raw());
}

TEST_F(ConsoleTest, LinesCarryTheirColoursAndWaitFieldsFollowAwaitedCommandsOnly)
{
    StartUnit(L"--delay PANO 600");
    SelectInCombo(1116, L"enRECV_COMMAND");
    SetWindowTextW(Item(1104), L"[SPL_PANO]");
    Click(1085);
    EXPECT_EQ(L"[SPL_PANO]", Text(1146));
    EXPECT_EQ(L"90", Text(1151));

    // While PANO is in flight: a command that awaits nothing waits as "Non", one that
    // awaits its answer as "Ack".
    SelectInCombo(1116, L"enRECV_NONE");
    SetWindowTextW(Item(1104), L"[SPL_CSON]");
    Click(1085);
    SelectInCombo(1116, L"enRECV_START_OK");
    SetWindowTextW(Item(1104), L"[SPL_HSON]");
    Click(1085);
    comm->ShowPendingLines();
    CListCtrl list;
    list.Attach(Item(1166));
    ASSERT_EQ(2, list.GetItemCount());
    EXPECT_EQ(L"Non", list.GetItemText(0, 1));
    EXPECT_EQ(L"Ack", list.GetItemText(1, 1));
    EXPECT_EQ(L"2", Text(1148));
    EXPECT_EQ(L"300", Text(1149));
    list.Detach();

    ASSERT_TRUE(PumpUntil([&] { return owner.Count(WM_SERIAL_EPM) == 2; }, 10000));
    EXPECT_EQ(L"[SPL_HSON]", Text(1146));
    EXPECT_EQ(L"3", Text(1151));

    // Idle link: a command of kind 5000 leaves the fields as they are.
    SelectInCombo(1116, L"enRECV_NONE");
    SetWindowTextW(Item(1104), L"[SPL_ERDY]");
    Click(1085);
    ASSERT_TRUE(PumpUntil([&] { return ConsoleHasLine(comm, L"<< [EPL_ERDY_001]"); }, 10000));
    EXPECT_EQ(L"[SPL_HSON]", Text(1146));
    EXPECT_EQ(L"3", Text(1151));

    EXPECT_EQ(RGB(96, 167, 45), ColorOf(L">> [SPL_PANO]"));
    EXPECT_EQ(RGB(187, 180, 0), ColorOf(L"<< [EPL_PANO_001]"));
    EXPECT_EQ(RGB(0, 0, 0), ColorOf(L"FUN_S - CComm::Open_Ethernet"));
    EXPECT_EQ(RGB(62, 138, 161), ColorOf(L"0001| "));
}

TEST_F(ConsoleTest, LinkButtonsFollowTheLinkAndOpenWorksAfterClose)
{
    StartUnit();
    comm->UpdateLinkButtons(false, true);
    Click(1108); // Close
    EXPECT_FALSE(comm->IsConnected());
    EXPECT_TRUE(IsWindowEnabled(Item(1109)));
    EXPECT_FALSE(IsWindowEnabled(Item(1108)));

    // The console opens what its fields say: here the unit's address and port.
    comm->Console().ShowWindow(SW_HIDE);
    comm->Console().ShowWindow(SW_SHOW);
    EXPECT_EQ(std::to_wstring(port), Text(1153));
    Click(1109); // Open
    EXPECT_TRUE(comm->IsConnected());
    EXPECT_FALSE(IsWindowEnabled(Item(1109)));
    EXPECT_TRUE(IsWindowEnabled(Item(1108)));

    Click(1089); // Clear above the queue list
    EXPECT_TRUE(IsWindowEnabled(Item(1109)));
    EXPECT_TRUE(IsWindowEnabled(Item(1108)));
}

TEST_F(ConsoleTest, OpenWithoutAPortSaysSoAndOpensNothing)
{
    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), 19200));
    ASSERT_TRUE(comm->CloseSerial());
    SendMessageW(Item(1081), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    Click(1109); // Open
    EXPECT_FALSE(comm->IsConnected());
    EXPECT_TRUE(ConsoleHasLine(comm, L"Not opened: choose a serial port first"));
    EXPECT_TRUE(IsWindowEnabled(Item(1109)));
    EXPECT_FALSE(IsWindowEnabled(Item(1108)));
}

TEST_F(ConsoleTest, FiltersHideLineKindsWithoutLosingThem)
{
    comm->LogWrite(LOG_KIND_SEND, L"%s", L"[SPL_PANO]");
    comm->LogWrite(LOG_KIND_RECV, L"%s", L"[EPL_PANO_001]");
    comm->LogWrite(LOG_KIND_DATA, L"%s", L"loose text");
    SendMessageW(Item(1101), BM_SETCHECK, BST_UNCHECKED, 0);
    Click(1101);
    EXPECT_FALSE(ConsoleHasLine(comm, L"loose text"));
    EXPECT_TRUE(ConsoleHasLine(comm, L">> [SPL_PANO]"));
    comm->LogWrite(LOG_KIND_DATA, L"%s", L"more text");
    comm->LogWrite(LOG_KIND_RECV, L"%s", L"[SMP_DOOR]");
    EXPECT_TRUE(ConsoleHasLine(comm, L"<< [SMP_DOOR]"));
    EXPECT_EQ(RGB(187, 180, 0), ColorOf(L"<< [SMP_DOOR]"));

    SendMessageW(Item(1101), BM_SETCHECK, BST_CHECKED, 0);
    Click(1101);
    const std::vector<std::wstring> lines = ConsoleLines(comm);
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ(L"0003| loose text", lines[2]);
    EXPECT_EQ(L"0004| more text", lines[3]);
    EXPECT_EQ(RGB(0, 0, 0), ColorOf(L"more text"));
    EXPECT_EQ(RGB(96, 167, 45), ColorOf(L">> [SPL_PANO]"));
}

TEST_F(ConsoleTest, SavedLogsAreRichOrPlainTextAndWhole)
{
    comm->LogWrite(LOG_KIND_SEND, L"%s", L"[SPL_PANO]");
    comm->LogWrite(LOG_KIND_RECV, L"%s", L"[EPL_PANO_001]");
    comm->LogWrite(LOG_KIND_DATA, L"%s", L"a {brace} and \\ back");
    ASSERT_TRUE(comm->SaveLogToFile((dir + L"Log.txt").c_str()));
    size_t nStamps = 0;
    EXPECT_EQ("0001| >> [SPL_PANO]\r\n0002| << [EPL_PANO_001]\r\n0003| a {brace} and \\ back\r\n",
              WithoutStamps(ReadFileBytes(dir + L"Log.txt"), &nStamps));
    EXPECT_EQ(3u, nStamps) << "every saved line carries its time";
    ASSERT_TRUE(comm->SaveLogToFile((dir + L"Log.RTF").c_str()));
    const std::string rtf = ReadFileBytes(dir + L"Log.RTF");
    EXPECT_EQ(0u, rtf.rfind("{\\rtf1", 0));
    EXPECT_NE(std::string::npos, rtf.find("\\red96\\green167\\blue45"));
    EXPECT_NE(std::string::npos, rtf.find("a \\{brace\\} and \\\\ back"));
    EXPECT_FALSE(comm->SaveLogToFile((dir + L"missing\\Log.txt").c_str()));

    // A log of megabytes is written whole, lines the view does not show included.
    for (int nID : {1095, 1098, 1101}) {
        SendMessageW(Item(nID), BM_SETCHECK, BST_UNCHECKED, 0);
        Click(nID);
    }
    const std::wstring payload(150, L'x');
    for (int i = 0; i < 20000; ++i)
        comm->LogWrite(LOG_KIND_DATA, L"%d %s", i, payload.c_str());
    EXPECT_TRUE(ConsoleLines(comm).empty());
    ASSERT_TRUE(comm->SaveLogToFile((dir + L"Big.log").c_str()));
    const std::string big = WithoutStamps(ReadFileBytes(dir + L"Big.log"));
    EXPECT_GT(big.size(), 3000000u);
    EXPECT_EQ(0u, big.find("0001| >> [SPL_PANO]\r\n"));
    EXPECT_NE(std::string::npos, big.find("\r\n20003| 19999 xxx"));
    EXPECT_EQ("\r\n", big.substr(big.size() - 2));

    // Past what the record keeps in memory the oldest lines go, and the saved log says how
    // many before its first line.
    const std::wstring longer(490, L'y');
    for (int i = 0; i < 10000; ++i)
        comm->LogWrite(LOG_KIND_DATA, L"%d %s", i, longer.c_str());
    const unsigned long long nDropped = comm->GetRecord().Dropped();
    EXPECT_GT(nDropped, 20000u) << "the first lines went";
    ASSERT_TRUE(comm->SaveLogToFile((dir + L"Bigger.log").c_str()));
    const std::string bigger = WithoutStamps(ReadFileBytes(dir + L"Bigger.log"));
    EXPECT_EQ(0u, bigger.find("....| " + std::to_string(nDropped) + " earlier lines not kept here")) << bigger.substr(0, 100);
    EXPECT_LT(bigger.size(), 4500000u);
    EXPECT_NE(std::string::npos, bigger.find("| 9999 yyy"));
    EXPECT_EQ(0u, CComm::DefaultLogFileName().rfind(L"Log20", 0));
    EXPECT_EQ(18u, CComm::DefaultLogFileName().size());
}

TEST_F(ConsoleTest, TimeShowsStampsInTheViewOnlyAndSavedLogsAlwaysHaveThem)
{
    for (int i = 1; i <= 50; ++i)
        comm->LogWrite(i % 2 ? LOG_KIND_SEND : LOG_KIND_DATA, L"line %d", i);
    ASSERT_TRUE(comm->SaveLogToFile((dir + L"Before.txt").c_str()));
    std::wstring view;
    for (const std::wstring& line : ConsoleLines(comm))
        view += line + L"\r\n";
    size_t nStamps = 0;
    WithoutStamps(view, &nStamps);
    EXPECT_EQ(0u, nStamps) << "no stamps in the view at first";

    SendMessageW(Item(IDC_CHECK_TIME), BM_SETCHECK, BST_CHECKED, 0);
    Click(IDC_CHECK_TIME);
    std::wstring stamped;
    for (const std::wstring& line : ConsoleLines(comm))
        stamped += line + L"\r\n";
    EXPECT_EQ(view, WithoutStamps(stamped, &nStamps)) << "the same lines, stamped";
    // Drawing is switched off during a change and on again after it (a control with drawing
    // off counts as hidden, and would never be drawn again).
    EXPECT_TRUE(IsWindowVisible(Item(1122)));
    EXPECT_EQ(static_cast<size_t>(comm->Console().View().Rows()), nStamps) << "a screenful, each line stamped";
    ASSERT_TRUE(comm->SaveLogToFile((dir + L"After.txt").c_str()));
    EXPECT_EQ(ReadFileBytes(dir + L"Before.txt"), ReadFileBytes(dir + L"After.txt")) << "the saved log does not change";

    // Stamps follow the lines' order and tell the time they were written.
    std::vector<CConsoleRecord::Line> lines;
    comm->GetRecord().Copy(0, 100, lines);
    FILETIME ftNow;
    GetSystemTimeAsFileTime(&ftNow);
    const long long llNow = static_cast<long long>((static_cast<unsigned long long>(ftNow.dwHighDateTime) << 32) | ftNow.dwLowDateTime);
    for (size_t i = 1; i < lines.size(); ++i)
        EXPECT_LE(lines[i - 1].llTime, lines[i].llTime) << i;
    EXPECT_LT(llNow - lines.back().llTime, 20000000LL) << "within seconds of now";
    EXPECT_GE(llNow - lines.back().llTime, 0LL);
    SendMessageW(Item(IDC_CHECK_TIME), BM_SETCHECK, BST_UNCHECKED, 0);
    Click(IDC_CHECK_TIME);
    EXPECT_EQ(view.size(), [&] {
        std::wstring again;
        for (const std::wstring& line : ConsoleLines(comm))
            again += line + L"\r\n";
        return again.size();
    }());
}

// "0042| << line 42" as the view shows line i of PagingLines (without stamps).
std::wstring PagedLine(int i)
{
    wchar_t sz[64] = {};
    _snwprintf(sz, 63, L"%04d| %sline %d", i, i % 3 == 0 ? L">> " : i % 3 == 1 ? L"<< " : L"", i);
    return sz;
}

void WritePagedLines(CComm* comm, int nFrom, int nTo)
{
    for (int i = nFrom; i <= nTo; ++i) {
        comm->LogWrite(i % 3 == 0 ? LOG_KIND_SEND : i % 3 == 1 ? LOG_KIND_RECV : LOG_KIND_DATA, L"line %d", i);
        if (i % 97 == 0)
            comm->ShowPendingLines();
    }
}

TEST_F(ConsoleTest, TheViewIsAScreenOverTheSessionThatFollowsHoldsAndKeepsItsPlace)
{
    WritePagedLines(comm, 1, 2000);
    std::vector<std::wstring> shown = ConsoleLines(comm);
    CConsoleView& view = comm->Console().View();
    const int nRows = view.Rows();
    ASSERT_GE(nRows, 5);
    EXPECT_EQ(static_cast<size_t>(nRows), shown.size()) << "a screenful";
    EXPECT_EQ(PagedLine(2000), shown.back());
    EXPECT_TRUE(view.IsFollowing());

    // Home reaches the session's first line; the scroll bar stands at its top.
    KeyInLog(VK_HOME);
    shown = ConsoleLines(comm);
    EXPECT_EQ(PagedLine(1), shown.front());
    SCROLLINFO si{sizeof(si), SIF_ALL};
    ASSERT_TRUE(GetScrollInfo(Item(IDC_SCROLL_LOG), SB_CTL, &si));
    EXPECT_EQ(0, si.nPos);
    EXPECT_GE(si.nMax, 1999);
    // Page down: the next screen starts where the last one ended.
    KeyInLog(VK_NEXT);
    shown = ConsoleLines(comm);
    EXPECT_EQ(PagedLine(1 + nRows), shown.front());

    // Held, the view stays while lines keep coming, and says how many came.
    WritePagedLines(comm, 2001, 2300);
    shown = ConsoleLines(comm);
    EXPECT_EQ(PagedLine(1 + nRows), shown.front());
    EXPECT_FALSE(view.IsFollowing());
    EXPECT_EQ(L"300 new lines: End to follow", Text(IDC_STATIC_LOG_STATUS));

    // A filter changes what is drawn at the same place, and gives it back unchanged.
    const unsigned long long nTop = view.TopSeq();
    SendMessageW(Item(IDC_CHECK_SEND_COMMAND), BM_SETCHECK, BST_UNCHECKED, 0);
    Click(IDC_CHECK_SEND_COMMAND);
    shown = ConsoleLines(comm);
    for (const std::wstring& line : shown)
        EXPECT_EQ(std::wstring::npos, line.find(L"| >> ")) << line;
    EXPECT_EQ(nTop, view.TopSeq());
    SendMessageW(Item(IDC_CHECK_SEND_COMMAND), BM_SETCHECK, BST_CHECKED, 0);
    Click(IDC_CHECK_SEND_COMMAND);
    shown = ConsoleLines(comm);
    EXPECT_EQ(PagedLine(1 + nRows), shown.front());
    // "Time" too: the same line, with its stamp.
    SendMessageW(Item(IDC_CHECK_TIME), BM_SETCHECK, BST_CHECKED, 0);
    Click(IDC_CHECK_TIME);
    shown = ConsoleLines(comm);
    EXPECT_EQ(PagedLine(1 + nRows), WithoutStamps(shown.front()));
    EXPECT_NE(PagedLine(1 + nRows), shown.front());
    SendMessageW(Item(IDC_CHECK_TIME), BM_SETCHECK, BST_UNCHECKED, 0);
    Click(IDC_CHECK_TIME);

    // The mouse selects too: from the start of the second row to the end of the fourth, and
    // Ctrl+C copies those lines as shown.
    shown = ConsoleLines(comm);
    ASSERT_GE(shown.size(), 4u);
    HWND hLog = Item(IDC_RICHEDIT_LOG);
    const auto pointAt = [&](size_t nRow, size_t nCol) {
        LONG nChar = 0;
        for (size_t i = 0; i < nRow; ++i)
            nChar += static_cast<LONG>(shown[i].size()) + 1;
        POINTL pt{};
        SendMessageW(hLog, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&pt), nChar + static_cast<LONG>(nCol));
        return MAKELPARAM(pt.x + 1, pt.y + 2);
    };
    SendMessageW(hLog, WM_LBUTTONDOWN, MK_LBUTTON, pointAt(1, 0));
    SendMessageW(hLog, WM_MOUSEMOVE, MK_LBUTTON, pointAt(2, 3));
    SendMessageW(hLog, WM_MOUSEMOVE, MK_LBUTTON, pointAt(3, shown[3].size()));
    SendMessageW(hLog, WM_LBUTTONUP, 0, pointAt(3, shown[3].size()));
    KeyInLog('C', false, true);
    EXPECT_EQ(shown[1] + L"\r\n" + shown[2] + L"\r\n" + shown[3], ClipboardText());
    KeyInLog(VK_END);
    KeyInLog(VK_HOME);

    // Scrolling up to the top and down to the bottom by the scroll bar: the bottom follows.
    SendMessageW(comm->Console().m_hWnd, WM_VSCROLL, SB_TOP, reinterpret_cast<LPARAM>(Item(IDC_SCROLL_LOG)));
    EXPECT_EQ(PagedLine(1), ConsoleLines(comm).front());
    SendMessageW(comm->Console().m_hWnd, WM_VSCROLL, SB_BOTTOM, reinterpret_cast<LPARAM>(Item(IDC_SCROLL_LOG)));
    EXPECT_TRUE(view.IsFollowing());
    EXPECT_EQ(PagedLine(2300), ConsoleLines(comm).back());
    EXPECT_EQ(L"", Text(IDC_STATIC_LOG_STATUS));
    // A line down from the bottom stays there; lines up hold again.
    KeyInLog(VK_UP);
    EXPECT_FALSE(view.IsFollowing());
    EXPECT_EQ(PagedLine(2299), ConsoleLines(comm).back());
    KeyInLog(VK_DOWN);
    EXPECT_TRUE(view.IsFollowing());
    WritePagedLines(comm, 2301, 2310);
    EXPECT_EQ(PagedLine(2310), ConsoleLines(comm).back());
}

TEST_F(ConsoleTest, ALongSessionIsScrolledFoundAndCopiedAlsoWhereOnlyItsSessionFileHasIt)
{
    comm->SetConsoleOptions(false, false, dir + L"Logs\\");
    StartUnit();
    // Longer than the record keeps: its front lives in the session file only.
    const int nLines = static_cast<int>(CConsoleRecord::kKeptLines) + 5000;
    for (int i = 0; i < nLines; ++i) {
        if (i == 1000)
            comm->LogWrite(LOG_KIND_DATA, L"long session line %d Needle-in-file", i);
        else
            comm->LogWrite(LOG_KIND_DATA, L"long session line %d", i);
    }
    comm->ShowPendingLines();
    ASSERT_GT(comm->GetRecord().Dropped(), 0u);
    const std::vector<std::wstring> parts = comm->SessionRecord().Parts();
    ASSERT_FALSE(parts.empty());
    std::vector<std::string> fileLines;
    {
        const std::string bytes = ReadFileBytes(parts.front());
        for (size_t at = 0, next; fileLines.size() < 200 && (next = bytes.find("\r\n", at)) != std::string::npos; at = next + 2)
            fileLines.push_back(WithoutStamps(bytes.substr(at, next - at)));
    }
    ASSERT_GE(fileLines.size(), 100u);
    const auto wide = [](const std::string& text) { return std::wstring(text.begin(), text.end()); };

    // The top of the session is the first line of its file.
    CConsoleView& view = comm->Console().View();
    KeyInLog(VK_HOME);
    std::vector<std::wstring> shown = ConsoleLines(comm);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(wide(fileLines[0]), shown.front());

    // A word that only the file has is found (either case), shown and selected.
    SetWindowTextW(Item(IDC_EDIT_FIND), L"needle-IN-file");
    Click(IDC_BTN_FIND_NEXT);
    ASSERT_TRUE(PumpUntil([&] { return !comm->Console().IsFinding() && !Text(IDC_STATIC_LOG_STATUS).empty() &&
                                       Text(IDC_STATIC_LOG_STATUS).rfind(L"Finding", 0) != 0; },
                          30000));
    EXPECT_EQ(0u, Text(IDC_STATIC_LOG_STATUS).rfind(L"hit 1 of 1", 0)) << Text(IDC_STATIC_LOG_STATUS);
    shown = ConsoleLines(comm);
    EXPECT_NE(shown.end(), std::find_if(shown.begin(), shown.end(), [](const std::wstring& line) {
                  return line.find(L"long session line 1000 Needle-in-file") != std::wstring::npos;
              }));
    wchar_t szSelected[64] = {};
    SendMessageW(Item(IDC_RICHEDIT_LOG), EM_GETSELTEXT, 0, reinterpret_cast<LPARAM>(szSelected));
    EXPECT_STREQ(L"Needle-in-file", szSelected);

    // Lines selected with Shift+Down across a page boundary are copied as the file has them.
    KeyInLog(VK_HOME);
    const int nCopied = view.Rows() + 3;
    for (int i = 0; i < nCopied; ++i)
        KeyInLog(VK_DOWN, true);
    KeyInLog('C', false, true);
    std::wstring expected;
    for (int i = 0; i < nCopied; ++i)
        expected += wide(fileLines[static_cast<size_t>(i)]) + L"\r\n";
    EXPECT_EQ(expected, ClipboardText());
    EXPECT_FALSE(view.IsFollowing());

    // The whole session selected copies as much as one copy takes, and says so.
    KeyInLog('A', false, true);
    KeyInLog('C', false, true);
    const std::wstring all = ClipboardText();
    EXPECT_EQ(CConsoleView::kMaxCopyLines, static_cast<size_t>(std::count(all.begin(), all.end(), L'\n')));
    EXPECT_EQ(0u, all.find(expected));
    EXPECT_EQ(0u, Text(IDC_STATIC_LOG_STATUS).find(L"Copied the first 100,000 selected lines")) << Text(IDC_STATIC_LOG_STATUS);

    // End follows again: the last line written is the view's last.
    KeyInLog(VK_END);
    EXPECT_TRUE(view.IsFollowing());
    shown = ConsoleLines(comm);
    const std::wstring last = L"long session line " + std::to_wstring(nLines - 1);
    EXPECT_NE(shown.end(), std::find_if(shown.begin(), shown.end(), [&](const std::wstring& line) {
                  return line.size() >= last.size() && line.compare(line.size() - last.size(), last.size(), last) == 0;
              }));
}

// Lines of the record whose text starts with the given words.
size_t RecordLinesStartingWith(CComm* comm, const std::wstring& start)
{
    std::vector<CConsoleRecord::Line> lines;
    comm->GetRecord().Copy(0, CConsoleRecord::kKeptLines, lines);
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(),
                                             [&](const CConsoleRecord::Line& line) { return line.text.rfind(start, 0) == 0; }));
}

TEST_F(ConsoleTest, AProcedureRunsFromTheConsoleAndItsStopEndsItAtOnceWithItsReport)
{
    const std::wstring path = dir + L"Door test.txt";
    ASSERT_TRUE(WriteFileBytes(path, "send [SPL_STAT] expect [EPL_STAT_001]\nwait 60 s\nsend [SPL_PANO] expect [EPL_PANO_001]\n"));
    std::wstring error;
    // On a closed link nothing runs, and the console says why.
    EXPECT_FALSE(comm->RunProcedure(path, dir + L"Reports\\", false, error));
    EXPECT_EQ(L"Procedure Door test.txt not run: the link is closed", error);
    EXPECT_EQ(1u, RecordLinesStartingWith(comm, L"Procedure Door test.txt not run: the link is closed"));
    StartUnit();
    ASSERT_TRUE(comm->RunProcedure(path, dir + L"Reports\\", false, error)) << std::string(error.begin(), error.end());
    EXPECT_TRUE(comm->IsProcedureRunning());
    // A second run is refused while one is under way.
    EXPECT_FALSE(comm->RunProcedure(path, dir + L"Reports\\", false, error));
    EXPECT_NE(std::wstring::npos, error.find(L"running already"));
    // The console shows the step under way, and its button stops the run.
    ASSERT_TRUE(PumpUntil([&] { return WindowTextOf(Item(IDC_STATIC_PROCEDURE)).find(L"Step 2 of 3: wait 60 s") == 0; }, 20000));
    EXPECT_EQ(L"Stop procedure", WindowTextOf(Item(IDC_BTN_PROCEDURE)));
    EXPECT_EQ(1, static_cast<int>(SendMessageW(Item(IDC_PROGRESS_PROCEDURE), PBM_GETPOS, 0, 0)));
    Click(IDC_BTN_PROCEDURE);
    EXPECT_FALSE(comm->IsProcedureRunning());
    EXPECT_EQ(L"Procedure...", WindowTextOf(Item(IDC_BTN_PROCEDURE)));
    const ProcedureOutcome& outcome = comm->LastProcedureOutcome();
    EXPECT_EQ(ProcedureOutcome::Result::Stopped, outcome.result);
    EXPECT_EQ(1, outcome.nPassed);
    EXPECT_EQ(2, outcome.nSkipped);
    const std::string report = ReadFileBytes(outcome.textPath);
    EXPECT_NE(std::string::npos, report.find("stopped by the engineer")) << report;
    EXPECT_NE(std::string::npos, report.find("Summary: 1 passed, 0 failed, 2 skipped")) << report;
    EXPECT_FALSE(ReadFileBytes(outcome.htmlPath).empty());
    // Each verdict and the end are console lines too; the PANO command never left.
    EXPECT_EQ(1u, RecordLinesStartingWith(comm, L"PASS  1/3  [SPL_STAT] \x2192 [EPL_STAT_001]"));
    EXPECT_EQ(1u, RecordLinesStartingWith(comm, L"Procedure Door test.txt stopped: stopped by the engineer"));
    PumpFor(300);
    EXPECT_EQ(std::string::npos, Raw().find("[SPL_PANO]"));
}


TEST_F(ConsoleTest, ASessionLongerThanTheConsoleKeepsIsSavedWholeFromItsRecord)
{
    comm->SetConsoleOptions(false, false, dir + L"Logs\\");
    StartUnit();
    // The lines before the link was open are in no session record.
    std::vector<CConsoleRecord::Line> first;
    comm->GetRecord().Copy(0, 100, first);
    const auto session = std::find_if(first.begin(), first.end(),
                                      [](const CConsoleRecord::Line& line) { return line.text.rfind(L"Session record: ", 0) == 0; });
    ASSERT_NE(first.end(), session);
    const std::string outside = std::to_string(session->nSeq) + " earlier lines not kept here (outside the session records";
    const int nLines = 230000;
    for (int i = 0; i < nLines; ++i)
        comm->LogWrite(LOG_KIND_DATA, L"long session line %d", i);
    comm->ShowPendingLines();
    EXPECT_GT(comm->GetRecord().Dropped(), 0u) << "more than the console keeps";
    EXPECT_TRUE(PumpUntil([&] { return RecordLinesStartingWith(comm, L"The console keeps only its latest lines") == 1; }, 10000));
    EXPECT_EQ(1u, RecordLinesStartingWith(comm, L"The console keeps only its latest lines from here on; every line is in "));

    // Saved while the link is open and after it closed: every line, once, in order.
    for (const wchar_t* lpName : {L"Open.txt", L"Closed.txt"}) {
        if (std::wstring(lpName) == L"Closed.txt")
            comm->CloseEthernet();
        ASSERT_TRUE(comm->SaveLogToFile((dir + lpName).c_str()));
        const std::string saved = ReadFileBytes(dir + lpName);
        int nNext = 0;
        for (size_t at = saved.find("long session line "); at != std::string::npos; at = saved.find("long session line ", at + 1)) {
            const int n = std::atoi(saved.c_str() + at + 18);
            ASSERT_EQ(nNext, n) << lpName;
            ++nNext;
        }
        EXPECT_EQ(nLines, nNext) << lpName;
        EXPECT_EQ(0u, WithoutStamps(saved).find("....| " + outside)) << lpName;
        EXPECT_EQ(saved.find("not kept"), saved.rfind("not kept")) << lpName;
    }
}

TEST_F(ConsoleTest, ASessionRecordThatCannotBeWrittenIsToldOnceAndTheLinkGoesOn)
{
    // A drive that does not exist.
    comm->SetConsoleOptions(false, false, L"Q:\\Rig\\Logs\\");
    StartUnit();
    // The record's writer finds out, off this thread, and the console tells it.
    EXPECT_TRUE(PumpUntil([&] { return RecordLinesStartingWith(comm, L"Session record not written: ") == 1; }, 10000));
    SetWindowTextW(Item(1104), L"[SPL_ERDY]");
    Click(1085);
    EXPECT_TRUE(PumpUntil([&] { return ConsoleHasLine(comm, L"<< [EPL_ERDY_001]"); }, 10000)) << "the link works without a record";
    comm->CloseEthernet();
    ASSERT_TRUE(comm->Open_Ethernet(L"127.0.0.1", port));
    EXPECT_TRUE(PumpUntil([&] { return RecordLinesStartingWith(comm, L"Session record not written: ") == 2; }, 10000)) << "once for each link";
    PumpFor(500);
    EXPECT_EQ(2u, RecordLinesStartingWith(comm, L"Session record not written: ")) << "and only once";
}

TEST_F(ConsoleTest, ALongLogSavedAsRichTextIsOneDocumentThatReadsBackWhole)
{
    // The record is written in pieces; the pieces must make one document.
    const int nLines = 12000;
    for (int i = 1; i <= nLines; ++i)
        comm->LogWrite(i % 2 ? LOG_KIND_RECV : LOG_KIND_DATA, L"line %d {%d}", i, i);
    ASSERT_TRUE(comm->SaveLogToFile((dir + L"Long.rtf").c_str()));
    const std::string rtf = ReadFileBytes(dir + L"Long.rtf");
    EXPECT_EQ(0u, rtf.find("{\\rtf1"));
    EXPECT_EQ(rtf.find("{\\rtf1"), rtf.rfind("{\\rtf1")) << "one header";
    EXPECT_EQ("}\r\n", rtf.substr(rtf.size() - 3));

    // Read back by a rich edit of its own: every line, in order, braces and all.
    HWND hEdit = CreateWindowExW(0, RICHEDIT_CLASSW, L"", WS_POPUP | ES_MULTILINE, 0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, hEdit);
    SendMessageW(hEdit, EM_EXLIMITTEXT, 0, 100000000);
    struct Source {
        const std::string* pText;
        size_t nAt;
    } source{&rtf, 0};
    EDITSTREAM es{reinterpret_cast<DWORD_PTR>(&source), 0, [](DWORD_PTR cookie, LPBYTE pBuffer, LONG cb, LONG* pcb) -> DWORD {
        Source* p = reinterpret_cast<Source*>(cookie);
        const size_t n = std::min(static_cast<size_t>(cb), p->pText->size() - p->nAt);
        memcpy(pBuffer, p->pText->data() + p->nAt, n);
        p->nAt += n;
        *pcb = static_cast<LONG>(n);
        return 0;
    }};
    SendMessageW(hEdit, EM_STREAMIN, SF_RTF, reinterpret_cast<LPARAM>(&es));
    const int length = GetWindowTextLengthW(hEdit);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hEdit, text.data(), length + 1)));
    DestroyWindow(hEdit);
    text = WithoutStamps(text);
    EXPECT_EQ(0u, text.find(L"0001| << line 1 {1}"));
    EXPECT_NE(std::wstring::npos, text.find(L"6000| line 6000 {6000}")) << "where two pieces meet";
    EXPECT_NE(std::wstring::npos, text.find(L"12000| line 12000 {12000}"));
}

TEST_F(ConsoleTest, AHiddenConsoleShowsTheLatestLinesWhenItIsShownAgain)
{
    comm->Console().ShowWindow(SW_HIDE);
    // Lines come while nobody looks, from a worker as from the link.
    std::thread worker([&] {
        for (int i = 1; i <= 1500; ++i)
            comm->LogWrite(LOG_KIND_DATA, L"unseen %d", i);
    });
    worker.join();
    PumpFor(100);
    comm->Console().ShowWindow(SW_SHOW);
    // What the control holds now, without a tick asked for.
    HWND hLog = Item(1122);
    const int length = GetWindowTextLengthW(hLog);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(hLog, text.data(), length + 1)));
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n'))
        text.pop_back();
    EXPECT_EQ(text.size() - 13, text.rfind(L"| unseen 1500")) << "the latest line is there, last";
    for (size_t at = text.find(L"| unseen 1"); at != std::wstring::npos; at = text.find(L"| unseen 1", at + 1))
        EXPECT_TRUE(at + 10 < text.size() && iswdigit(text[at + 10])) << "the view holds a screenful of the latest lines";
}

TEST_F(ConsoleTest, ShowingTheConsoleSelectsTheStoredPortAndKeepsAnUnlistedBaud)
{
    SendMessageW(Item(1094), CB_SETCURSEL, 3, 0); // 19200
    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), 12345));
    ASSERT_TRUE(comm->CloseSerial());
    comm->Console().ShowWindow(SW_HIDE);
    comm->Console().ShowWindow(SW_SHOW);
    EXPECT_EQ(ProgramComPort(), static_cast<int>(SendMessageW(Item(1081), CB_GETCURSEL, 0, 0)));
    EXPECT_EQ(3, static_cast<int>(SendMessageW(Item(1094), CB_GETCURSEL, 0, 0)));

    ASSERT_TRUE(comm->Open_Serial(static_cast<unsigned short>(ProgramComPort()), 38400));
    ASSERT_TRUE(comm->CloseSerial());
    comm->Console().ShowWindow(SW_HIDE);
    comm->Console().ShowWindow(SW_SHOW);
    EXPECT_EQ(4, static_cast<int>(SendMessageW(Item(1094), CB_GETCURSEL, 0, 0)));
}

} // namespace
