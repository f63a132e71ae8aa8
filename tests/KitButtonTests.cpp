// The kit's push button on a real dialog: its face read back pixel by pixel in each state,
// real mouse presses, double clicks and hovering through the system's input queue.
#include "controls/MSButton.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"

#include <gtest/gtest.h>

using kit::CaptureClient;
using kit::Pixels;

namespace {
COLORREF Shade(COLORREF cr, int d)
{
    return CMSButton::Shade(cr, d);
}

bool IsInk(COLORREF cr)
{
    return GetRValue(cr) < 160 && GetGValue(cr) < 160;
}

// A dialog with the kit button bound to its first button, sized w x h pixels, and the
// focus on the second button.
struct ButtonFixture {
    kit::CKitHost host{IDD_KIT_HOST};
    CMSButton button;

    bool Open(int w, int h)
    {
        if (!host.Open())
            return false;
        host.SizeItem(IDC_KIT_BUTTON, w, h);
        if (!button.SubclassDlgItem(IDC_KIT_BUTTON, &host))
            return false;
        kit::BringToFront(host);
        ::SetFocus(host.GetDlgItem(IDC_KIT_BUTTON2));
        button.Invalidate();
        return true;
    }
};
} // namespace

TEST(KitButton, ShadeMovesRedGreenByTheStepAndBlueInProportion)
{
    EXPECT_EQ(Shade(RGB(250, 250, 250), 16), RGB(255, 255, 255));
    EXPECT_EQ(Shade(RGB(255, 255, 255), -24), RGB(231, 231, 224));
    EXPECT_EQ(Shade(RGB(10, 20, 96), 8), RGB(18, 28, 100));
    EXPECT_EQ(Shade(RGB(10, 20, 96), -16), RGB(0, 4, 88));
    EXPECT_EQ(Shade(RGB(0, 0, 0), -1), RGB(0, 0, 0));
}

TEST(KitButton, NormalFaceOfA20PixelButton)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 20));
    EXPECT_EQ(f.button.GetStyle() & BS_TYPEMASK, static_cast<LONG_PTR>(BS_OWNERDRAW));
    const Pixels px = CaptureClient(f.button);

    // 16 ramp rows from white, each darker by 25/16 steps, truncated; the rows at the
    // top and bottom edge lie under the frame.
    const COLORREF base = RGB(250, 250, 250);
    for (int y = 3; y <= 16; ++y) {
        const COLORREF expected = Shade(Shade(base, 16), -static_cast<int>((y - 2) * 25.0 / 16));
        EXPECT_EQ(px.At(4, y), expected) << "row " << y;
        EXPECT_EQ(px.At(55, y), expected) << "row " << y;
    }
    // Idle frame from the base colour; dark-blue outline.
    EXPECT_EQ(px.At(4, 2), Shade(base, -32));
    EXPECT_EQ(px.At(4, 1), Shade(base, -16));
    EXPECT_EQ(px.At(1, 10), Shade(base, -20));
    EXPECT_EQ(px.At(4, 17), Shade(base, -20));
    EXPECT_EQ(px.At(4, 18), Shade(base, -8));
    EXPECT_EQ(px.At(30, 0), RGB(0, 60, 115));
    EXPECT_EQ(px.At(30, 19), RGB(0, 60, 115));

    // The window region clips the corners.
    CRgn rgn;
    rgn.CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(f.button.GetWindowRgn(rgn), ERROR);
    for (POINT pt : {POINT{0, 0}, POINT{59, 0}, POINT{0, 19}, POINT{59, 19}, POINT{1, 0}})
        EXPECT_FALSE(rgn.PtInRegion(pt.x, pt.y)) << pt.x << "," << pt.y;
    EXPECT_TRUE(rgn.PtInRegion(3, 3));
    EXPECT_TRUE(rgn.PtInRegion(30, 0));
}

TEST(KitButton, PressedAndDisabledFaces)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 20));
    const RECT inner{3, 3, 57, 17};
    const RECT inkNormal = CaptureClient(f.button).Bounds(IsInk, inner);
    ASSERT_FALSE(IsRectEmpty(&inkNormal));

    kit::MoveMouse(f.button, kit::CenterOf(f.button));
    kit::MouseButton(true);
    const Pixels pressed = CaptureClient(f.button);
    kit::MouseButton(false);
    // Darker ramp, running up from the bottom edge.
    const COLORREF start = Shade(Shade(RGB(250, 250, 250), 16), -32);
    for (int y = 3; y <= 16; ++y)
        EXPECT_EQ(pressed.At(4, y), Shade(start, -static_cast<int>((18 - y) * 25.0 / 16))) << "row " << y;
    // The caption moves one pixel right and down and turns grey.
    const RECT inkPressed = pressed.Bounds(IsInk, inner);
    EXPECT_EQ(inkPressed.left, inkNormal.left + 1);
    EXPECT_EQ(inkPressed.top, inkNormal.top + 1);
    EXPECT_EQ(pressed.Count(RGB(0, 0, 0), 3, 3, 57, 17), 0);
    EXPECT_GT(pressed.Count(RGB(100, 100, 100), 3, 3, 57, 17), 0);

    // Disabled: one flat colour, and a greyed icon.
    f.button.SetIcon(kit::MakeSquareIcon(16, RGB(255, 0, 0)));
    f.host.SizeItem(IDC_KIT_BUTTON, 90, 30);
    f.button.m_nAlign = 0;
    f.button.EnableWindow(FALSE);
    const Pixels disabled = CaptureClient(f.button);
    const COLORREF flat = Shade(Shade(RGB(250, 250, 250), 16), -32);
    EXPECT_EQ(disabled.At(4, 4), flat);
    EXPECT_EQ(disabled.At(4, 24), flat);
    EXPECT_EQ(disabled.Count(RGB(255, 0, 0), 0, 0, 90, 30), 0);
    f.button.EnableWindow(TRUE);
    EXPECT_EQ(CaptureClient(f.button).Count(RGB(255, 0, 0), 0, 0, 90, 30), 16 * 16);
}

TEST(KitButton, IconPlacementBesideAboveAndAlone)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 30));
    f.button.SetIcon(kit::MakeSquareIcon(16, RGB(255, 0, 0)));
    auto isRed = [](COLORREF cr) { return cr == RGB(255, 0, 0); };
    const RECT all{0, 0, 120, 60};

    // Alone: centred both ways inside the frame (2-pixel edges): (60-4-16)/2 + 2 = 22.
    f.button.SetWindowText(L"");
    RECT icon = CaptureClient(f.button).Bounds(isRed, all);
    EXPECT_EQ(icon.left, 22);
    EXPECT_EQ(icon.right, 38);
    EXPECT_EQ(icon.top, 7);
    EXPECT_EQ(icon.bottom, 23);

    f.host.SizeItem(IDC_KIT_BUTTON, 120, 60);
    f.button.SetWindowText(L"Log In");
    f.button.m_nAlign = 0;
    f.button.Invalidate();
    Pixels px = CaptureClient(f.button);
    icon = px.Bounds(isRed, all);
    RECT ink = px.Bounds(IsInk, RECT{icon.right, 3, 117, 57});
    EXPECT_LT(icon.right, ink.left) << "icon left of the caption";
    EXPECT_NEAR((icon.top + icon.bottom) / 2, (ink.top + ink.bottom) / 2, 2);

    f.button.m_nAlign = 1;
    f.button.Invalidate();
    px = CaptureClient(f.button);
    icon = px.Bounds(isRed, all);
    ink = px.Bounds(IsInk, RECT{3, icon.bottom, 117, 57});
    EXPECT_LE(icon.bottom, ink.top) << "icon above the caption";
    EXPECT_NEAR((icon.left + icon.right) / 2, (ink.left + ink.right) / 2, 3);
}

TEST(KitButton, PressesReachTheParentFirstAndADoubleClickIsTwoClicks)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 20));
    kit::ClickAt(f.button, kit::CenterOf(f.button));
    ASSERT_TRUE(kit::Pump([&] { return f.host.Count(WM_COMMAND, BN_CLICKED) == 1; }));
    // What the parent heard from the button, in order (the system's own button
    // notifications, custom draw and the like, left out).
    std::vector<kit::Received> heard;
    for (const kit::Received& r : f.host.m_log)
        if (r.message != WM_NOTIFY && LOWORD(r.wParam) == IDC_KIT_BUTTON)
            heard.push_back(r);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].message, static_cast<UINT>(WM_LBUTTONDOWN));
    EXPECT_EQ(heard[0].wParam, static_cast<WPARAM>(IDC_KIT_BUTTON));
    EXPECT_EQ(heard[0].nSenderState & BST_PUSHED, 0u) << "the parent hears of the press before the button";
    EXPECT_EQ(heard[1].message, static_cast<UINT>(WM_LBUTTONUP));
    EXPECT_EQ(heard[1].wParam, static_cast<WPARAM>(IDC_KIT_BUTTON));
    EXPECT_NE(heard[1].nSenderState & BST_PUSHED, 0u) << "and of the release before the button lets go";
    EXPECT_EQ(heard[2].message, static_cast<UINT>(WM_COMMAND));
    EXPECT_EQ(heard[2].nCode, static_cast<UINT>(BN_CLICKED));

    // Two quick presses in one batch: the system makes the second a double click.
    f.host.m_log.clear();
    INPUT clicks[4] = {};
    for (int i = 0; i < 4; ++i) {
        clicks[i].type = INPUT_MOUSE;
        clicks[i].mi.dwFlags = i % 2 == 0 ? MOUSEEVENTF_LEFTDOWN : MOUSEEVENTF_LEFTUP;
    }
    SendInput(4, clicks, sizeof(INPUT));
    kit::Pump([&] { return f.host.Count(WM_COMMAND, BN_CLICKED) >= 2; }, 3000);
    kit::PumpFor(100);
    EXPECT_EQ(f.host.Count(WM_COMMAND, BN_CLICKED), 2);
    EXPECT_EQ(f.host.Count(WM_COMMAND, BN_DOUBLECLICKED), 0);
    EXPECT_EQ(f.host.Count(WM_LBUTTONDOWN), 2);
}

TEST(KitButton, HoverFramesShowOnTheFocusedButtonOnly)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 20));
    const COLORREF base = RGB(250, 250, 250);

    // Unfocused: hovering changes nothing.
    kit::MoveMouse(f.button, POINT{30, 10});
    ASSERT_TRUE(kit::Pump([&] { return f.button.IsHovering(); }));
    EXPECT_EQ(CaptureClient(f.button).At(4, 2), Shade(base, -32));

    f.button.SetFocus();
    Pixels px = CaptureClient(f.button);
    EXPECT_EQ(px.At(4, 2), RGB(255, 219, 140));
    EXPECT_EQ(px.At(4, 1), RGB(255, 243, 206));
    EXPECT_EQ(px.At(1, 10), RGB(255, 178, 49));
    EXPECT_EQ(px.At(4, 18), RGB(231, 150, 0));

    // Leaving: the focus frame.
    kit::MoveMouse(f.host, POINT{300, 280});
    ASSERT_TRUE(kit::Pump([&] { return !f.button.IsHovering(); }));
    px = CaptureClient(f.button);
    EXPECT_EQ(px.At(4, 2), RGB(189, 215, 247));
    EXPECT_EQ(px.At(4, 1), RGB(206, 231, 255));
    EXPECT_EQ(px.At(1, 10), RGB(140, 174, 231));
    EXPECT_EQ(px.At(4, 18), RGB(107, 130, 239));
}
