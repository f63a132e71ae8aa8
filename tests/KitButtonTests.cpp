// The kit's push button on a real dialog: its face read back pixel by pixel in each state,
// real mouse presses, double clicks and hovering through the system's input queue.
#include "controls/MSButton.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"

#include <gtest/gtest.h>

using kit::CaptureClient;
using kit::Pixels;

namespace {
constexpr COLORREF kBase = RGB(250, 250, 250);

COLORREF Shade(COLORREF cr, int d)
{
    return CMSButton::Shade(cr, d);
}

// Ramp row i of a 20-pixel button: 25/16 steps a row, truncated.
int Step(int i)
{
    return static_cast<int>(i * 25.0 / 16);
}

// The kit button bound to the dialog's first button, w x h pixels, focus on the second.
struct ButtonFixture {
    kit::CKitHost host{IDD_KIT_HOST};
    CMSButton button;

    bool Open(int w, int h)
    {
        if (!host.Open())
            return false;
        host.SizeItem(IDC_KIT_BUTTON, w, h);
        if (!button.SubclassDlgItem(IDC_KIT_BUTTON, &host) || !kit::BringToFront(host))
            return false;
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
    EXPECT_EQ(Shade(RGB(10, 20, 96), -16), RGB(0, 4, 88));
}

TEST(KitButton, NormalPressedAndDisabledFacesOfA20PixelButton)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 20));
    const Pixels normal = CaptureClient(f.button);
    // Ramp rows from white, the first and last under the frame; idle frame from the base.
    for (int y = 3; y <= 16; ++y)
        EXPECT_EQ(normal.At(4, y), Shade(RGB(255, 255, 255), -Step(y - 2))) << "row " << y;
    EXPECT_EQ(normal.At(4, 2), Shade(kBase, -32));
    EXPECT_EQ(normal.At(4, 1), Shade(kBase, -16));
    EXPECT_EQ(normal.At(1, 10), Shade(kBase, -20));
    EXPECT_EQ(normal.At(4, 18), Shade(kBase, -8));
    EXPECT_EQ(normal.At(30, 0), RGB(0, 60, 115));
    CRgn rgn;
    rgn.CreateRectRgn(0, 0, 0, 0);
    ASSERT_NE(f.button.GetWindowRgn(rgn), ERROR);
    EXPECT_FALSE(rgn.PtInRegion(0, 0) || rgn.PtInRegion(59, 19) || rgn.PtInRegion(1, 0));
    EXPECT_TRUE(rgn.PtInRegion(3, 3));

    // Pressed: darker ramp rising from the bottom, caption grey and one pixel right and down.
    auto isInk = [](COLORREF cr) { return GetRValue(cr) < 160 && GetGValue(cr) < 160; };
    const RECT inner{3, 3, 57, 17};
    kit::MoveMouse(f.button, kit::CenterOf(f.button));
    kit::MouseButton(true);
    const Pixels pressed = CaptureClient(f.button);
    kit::MouseButton(false);
    for (int y = 3; y <= 16; ++y)
        EXPECT_EQ(pressed.At(4, y), Shade(RGB(223, 223, 213), -Step(18 - y))) << "row " << y;
    EXPECT_EQ(pressed.Bounds(isInk, inner).left, normal.Bounds(isInk, inner).left + 1);
    EXPECT_EQ(pressed.Bounds(isInk, inner).top, normal.Bounds(isInk, inner).top + 1);
    EXPECT_EQ(pressed.Count(RGB(0, 0, 0), 3, 3, 57, 17), 0);
    EXPECT_GT(pressed.Count(RGB(100, 100, 100), 3, 3, 57, 17), 0);

    // An icon without caption sits in the middle; disabled, the face is flat and the icon grey.
    f.host.SizeItem(IDC_KIT_BUTTON, 60, 30);
    f.button.SetIcon(kit::MakeSquareIcon(16, RGB(255, 0, 0)));
    f.button.SetWindowText(L"");
    const RECT icon = CaptureClient(f.button).Bounds([](COLORREF cr) { return cr == RGB(255, 0, 0); }, RECT{0, 0, 60, 30});
    EXPECT_TRUE(icon.left == 22 && icon.top == 7 && icon.right == 38 && icon.bottom == 23);
    f.button.EnableWindow(FALSE);
    const Pixels disabled = CaptureClient(f.button);
    EXPECT_EQ(disabled.At(4, 4), Shade(Shade(kBase, 16), -32));
    EXPECT_EQ(disabled.At(4, 24), Shade(Shade(kBase, 16), -32));
    EXPECT_EQ(disabled.Count(RGB(255, 0, 0), 0, 0, 60, 30), 0);
}

TEST(KitButton, PressesReachTheParentFirstAndADoubleClickIsTwoClicks)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 20));
    kit::ClickAt(f.button, kit::CenterOf(f.button));
    ASSERT_TRUE(kit::Pump([&] { return f.host.Count(WM_COMMAND, BN_CLICKED) == 1; }));
    // What the parent heard from the button, in order (the system's own notices left out).
    std::vector<kit::Received> heard;
    for (const kit::Received& r : f.host.m_log)
        if (r.message != WM_NOTIFY && LOWORD(r.wParam) == IDC_KIT_BUTTON)
            heard.push_back(r);
    ASSERT_EQ(heard.size(), 3u);
    EXPECT_EQ(heard[0].message, static_cast<UINT>(WM_LBUTTONDOWN));
    EXPECT_EQ(heard[0].wParam, static_cast<WPARAM>(IDC_KIT_BUTTON));
    EXPECT_EQ(heard[0].nSenderState & BST_PUSHED, 0u) << "the parent hears of the press before the button";
    EXPECT_EQ(heard[1].message, static_cast<UINT>(WM_LBUTTONUP));
    EXPECT_NE(heard[1].nSenderState & BST_PUSHED, 0u) << "and of the release before the button lets go";
    EXPECT_EQ(heard[2].nCode, static_cast<UINT>(BN_CLICKED));

    f.host.m_log.clear();
    kit::DoubleClick();
    kit::Pump([&] { return f.host.Count(WM_COMMAND, BN_CLICKED) >= 2; }, 3000);
    kit::PumpFor(100);
    EXPECT_EQ(f.host.Count(WM_COMMAND, BN_CLICKED), 2);
    EXPECT_EQ(f.host.Count(WM_COMMAND, BN_DOUBLECLICKED), 0);
}

TEST(KitButton, HoverFramesShowOnTheFocusedButtonOnly)
{
    ButtonFixture f;
    ASSERT_TRUE(f.Open(60, 20));
    kit::MoveMouse(f.button, POINT{30, 10});
    ASSERT_TRUE(kit::Pump([&] { return f.button.IsHovering(); }));
    EXPECT_EQ(CaptureClient(f.button).At(4, 2), Shade(kBase, -32)) << "unfocused: no change";
    f.button.SetFocus();
    Pixels px = CaptureClient(f.button);
    EXPECT_EQ(px.At(4, 2), RGB(255, 219, 140));
    EXPECT_EQ(px.At(4, 1), RGB(255, 243, 206));
    EXPECT_EQ(px.At(1, 10), RGB(255, 178, 49));
    EXPECT_EQ(px.At(4, 18), RGB(231, 150, 0));
    kit::MoveMouse(f.host, POINT{300, 280});
    ASSERT_TRUE(kit::Pump([&] { return !f.button.IsHovering(); }));
    px = CaptureClient(f.button);
    EXPECT_EQ(px.At(4, 2), RGB(189, 215, 247));
    EXPECT_EQ(px.At(4, 1), RGB(206, 231, 255));
    EXPECT_EQ(px.At(1, 10), RGB(140, 174, 231));
    EXPECT_EQ(px.At(4, 18), RGB(107, 130, 239));
}
