// The kit's check box and edit box on a real dialog: faces read back from the screen, real
// clicks and key presses through the system's input queue, the clipboard for pasting.
#include "controls/HSCheckBox.h"
#include "controls/HSEdit.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"

#include <commctrl.h>

#include <gtest/gtest.h>

using kit::CaptureClient;
using kit::Pixels;

namespace {
struct CheckFixture {
    kit::CKitHost host{IDD_KIT_HOST};
    CHSCheckBox check;

    bool Open()
    {
        if (!host.Open())
            return false;
        host.SizeItem(IDC_KIT_CHECK, 100, 20);
        if (!check.SubclassDlgItem(IDC_KIT_CHECK, &host))
            return false;
        check.m_bBorder = 0;
        check.Invalidate();
        return kit::BringToFront(host);
    }
};

struct EditFixture {
    kit::CKitHost host{IDD_KIT_HOST};
    CHSEdit edit;
    CHSEdit other;

    bool Open()
    {
        return host.Open() && edit.SubclassDlgItem(IDC_KIT_EDIT, &host) && other.SubclassDlgItem(IDC_KIT_EDIT2, &host) &&
               kit::BringToFront(host);
    }
};

// Background of a box's client area, right of any text.
COLORREF BackOf(const CHSEdit& box)
{
    const Pixels px = CaptureClient(box);
    return px.At(px.Width() - 3, px.Height() / 2);
}
} // namespace

TEST(KitCheckBox, GeometryAndMarksOfA20PixelBox)
{
    CheckFixture f;
    ASSERT_TRUE(f.Open());
    Pixels px = CaptureClient(f.check);
    // Box from (3,3) to (17,18): B = 16, Y2 = 18; caption at B + 10.
    const COLORREF pen = RGB(30, 30, 30);
    for (POINT pt : {POINT{3, 3}, POINT{16, 3}, POINT{3, 17}, POINT{16, 17}})
        EXPECT_EQ(px.At(pt.x, pt.y), pen) << pt.x << "," << pt.y;
    EXPECT_EQ(px.At(17, 10), RGB(255, 255, 255));
    EXPECT_EQ(px.At(3, 18), RGB(255, 255, 255));
    const RECT ink = px.Bounds([](COLORREF cr) { return GetRValue(cr) < 200; }, RECT{17, 0, 100, 20});
    EXPECT_GE(ink.left, 26);
    EXPECT_LE(ink.left, 28);

    // Checked, square style: a red inner square and the brown caption; disabled: grey.
    f.check.m_crBack = RGB(220, 220, 220);
    f.check.m_bTick = false;
    f.check.m_bChecked = true;
    f.check.Invalidate();
    px = CaptureClient(f.check);
    EXPECT_EQ(px.At(8, 8), RGB(255, 0, 0));
    EXPECT_EQ(px.At(4, 4), RGB(255, 255, 255));
    EXPECT_EQ(px.At(40, 1), RGB(220, 220, 220));
    EXPECT_GT(px.Count(RGB(165, 42, 42), 26, 0, 100, 20), 0);
    f.check.EnableWindow(FALSE);
    EXPECT_EQ(CaptureClient(f.check).At(8, 8), RGB(120, 120, 120));
    f.check.EnableWindow(TRUE);

    // Tick style: the tick crosses the box; indicator style: a blue bar instead of the box.
    f.check.m_bTick = true;
    f.check.Invalidate();
    px = CaptureClient(f.check);
    EXPECT_EQ(px.Count(RGB(255, 0, 0), 0, 0, 20, 20), 0);
    EXPECT_GT(px.Count(pen, 4, 4, 16, 17), 10);
    f.check.m_bIndicator = 1;
    f.check.Invalidate();
    px = CaptureClient(f.check);
    EXPECT_EQ(px.At(8, 9), RGB(100, 149, 237));
    EXPECT_EQ(px.At(3, 3), RGB(220, 220, 220));
}

TEST(KitCheckBox, ClicksToggleReleaseOutsideDoesNot)
{
    CheckFixture f;
    ASSERT_TRUE(f.Open());
    f.check.m_bNotify = 1;
    kit::ClickAt(f.check, POINT{10, 10});
    ASSERT_TRUE(kit::Pump([&] { return f.host.Count(WM_COMMAND, BN_CLICKED) >= 1; }));
    kit::PumpFor(50);
    EXPECT_TRUE(f.check.m_bChecked);
    EXPECT_EQ(f.host.Count(WM_COMMAND, BN_CLICKED), 1) << "one click, one notice";
    EXPECT_EQ(f.host.Count(WM_NOTIFY, static_cast<UINT>(TCN_SELCHANGE)), 1);

    // Pressed, the box darkens; released outside, nothing changes but the box is redrawn.
    kit::MoveMouse(f.check, POINT{10, 10});
    kit::MouseButton(true);
    EXPECT_EQ(CaptureClient(f.check).At(10, 12), RGB(110, 100, 120));
    kit::MoveMouse(f.host, POINT{400, 280});
    kit::MouseButton(false);
    EXPECT_TRUE(f.check.m_bChecked);
    EXPECT_EQ(f.host.Count(WM_COMMAND, BN_CLICKED), 1);
    EXPECT_EQ(CaptureClient(f.check).At(10, 12), RGB(255, 255, 255));

    // The space bar clicks it like a native check box.
    f.check.SetFocus();
    kit::TapKey(VK_SPACE);
    kit::PumpFor(50);
    EXPECT_FALSE(f.check.m_bChecked);
    EXPECT_EQ(f.host.Count(WM_COMMAND, BN_CLICKED), 2);
}

TEST(KitEditBox, NumericFilterLetsDigitsAndPasteThrough)
{
    EditFixture f;
    ASSERT_TRUE(f.Open());
    f.edit.SetFocus();
    for (WORD vk : {WORD('A'), WORD('5'), WORD(VK_OEM_PERIOD), WORD('Q'), WORD('2'), WORD(VK_OEM_MINUS)})
        kit::TapKey(vk);
    EXPECT_EQ(f.edit.GetWindowText(), L"5.2-");

    ASSERT_TRUE(OpenClipboard(nullptr));
    EmptyClipboard();
    HGLOBAL hMem = GlobalAlloc(GMEM_MOVEABLE, sizeof(L"42"));
    memcpy(GlobalLock(hMem), L"42", sizeof(L"42"));
    GlobalUnlock(hMem);
    SetClipboardData(CF_UNICODETEXT, hMem);
    CloseClipboard();
    kit::Key(VK_CONTROL, true);
    kit::TapKey('V');
    kit::Key(VK_CONTROL, false);
    EXPECT_EQ(f.edit.GetWindowText(), L"5.2-42");

    // The whole key table, and everything passes with the filter off.
    for (WPARAM vk = 0; vk < 256; ++vk) {
        MSG msg{f.edit, WM_KEYDOWN, vk, 0, 0, {}};
        const bool bPasses = (vk >= '0' && vk <= '9') || (vk >= VK_NUMPAD0 && vk <= VK_NUMPAD9) || vk == VK_OEM_MINUS ||
                             vk == VK_OEM_PERIOD || vk == VK_SUBTRACT || vk == VK_DECIMAL || vk == VK_DELETE ||
                             vk == VK_BACK || vk == VK_TAB || (vk >= VK_LEFT && vk <= VK_DOWN) || vk == VK_END ||
                             vk == VK_HOME;
        EXPECT_EQ(f.edit.PreTranslateMessage(&msg), !bPasses) << "key " << vk;
    }
    f.other.m_bNumeric = false;
    f.other.SetFocus();
    kit::TapKey('A');
    EXPECT_EQ(f.other.GetWindowText(), L"a");
}

TEST(KitEditBox, RangeClampValuesAndChangedFlag)
{
    EditFixture f;
    ASSERT_TRUE(f.Open());
    f.edit.m_nMin = 1;
    f.edit.m_nMax = 10;
    f.edit.SetText(L"25");
    EXPECT_FALSE(f.edit.m_bChanged) << "the first text is no change";
    f.edit.SetFocus();
    f.other.SetFocus();
    EXPECT_EQ(f.edit.GetWindowText(), L"10") << "clamped when the focus left";
    f.edit.SetValue(-3);
    long nLong = 0;
    f.edit.GetValueLong(nLong);
    EXPECT_EQ(nLong, 1);

    f.other.SetText(L"25");
    f.other.SetFocus();
    f.edit.SetFocus();
    EXPECT_EQ(f.other.GetWindowText(), L"25") << "no bounds, no clamp";
    EXPECT_FALSE(f.other.m_bChanged) << "focus passing through is no change";
    f.other.SetText(L"abc");
    EXPECT_TRUE(f.other.m_bChanged);
    UINT nValue = 99;
    f.other.GetValue(nValue);
    EXPECT_EQ(nValue, 0u);

    // Typing a different value and leaving the box marks it changed.
    kit::CKitHost host2(IDD_KIT_HOST);
    CHSEdit typed;
    ASSERT_TRUE(host2.Open() && typed.SubclassDlgItem(IDC_KIT_EDIT, &host2) && kit::BringToFront(host2));
    typed.SetFocus();
    kit::TapKey('7');
    EXPECT_FALSE(typed.m_bChanged);
    ::SetFocus(host2.GetDlgItem(IDC_KIT_EDIT2));
    EXPECT_TRUE(typed.m_bChanged);
}

TEST(KitEditBox, ColoursByFocusChangeAndReadOnly)
{
    EditFixture f;
    ASSERT_TRUE(f.Open());
    f.edit.SetText(L"12");
    f.other.SetFocus();
    EXPECT_EQ(BackOf(f.edit), RGB(220, 232, 245));
    EXPECT_EQ(CaptureClient(f.edit).Count(RGB(200, 20, 20), 0, 0, 60, 20), 0);
    f.edit.SetFocus();
    EXPECT_EQ(BackOf(f.edit), RGB(245, 245, 220));
    f.edit.SetText(L"13");
    f.other.SetFocus();
    EXPECT_GT(CaptureClient(f.edit).Count(RGB(200, 20, 20), 0, 0, 60, 20), 0) << "changed: red text";

    f.edit.SetReadOnly(TRUE);
    EXPECT_EQ(BackOf(f.edit), RGB(226, 226, 226));
    f.edit.SetFocus();
    EXPECT_EQ(BackOf(f.edit), RGB(226, 226, 226));

    // A flat grey frame instead of the sunken edge.
    const RECT rc = f.host.ItemRect(IDC_KIT_EDIT);
    EXPECT_EQ(CaptureClient(f.host).At(rc.left, rc.top), RGB(115, 115, 115));
}
