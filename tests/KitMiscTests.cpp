// Group box, separator, label and the rich-edit log on real dialogs: enabling what lies in
// a frame, lines read back from the screen, gradient strips, flashing, and the colours of
// text inserted into the log.
#include "controls/HSLabel.h"
#include "controls/MSGroupBox.h"
#include "controls/MyRichEditCtrl.h"
#include "controls/Separator.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"

#include <gtest/gtest.h>

using kit::CaptureClient;
using kit::Pixels;

namespace {
struct GroupFixture {
    kit::CKitHost host{IDD_KIT_GROUP};
    CMSGroupBox group;
    bool Open() { return host.Open() && group.SubclassDlgItem(IDC_KIT_GROUP, &host); }
    bool Enabled(int nID) const { return ::IsWindowEnabled(host.GetDlgItem(nID)) != FALSE; }
};
} // namespace

TEST(KitGroupBox, EnableGroupScansAllSiblingsOrOnlyThoseAfterTheBox)
{
    GroupFixture f;
    ASSERT_TRUE(f.Open());
    f.group.EnableGroup(false);
    EXPECT_FALSE(f.Enabled(IDC_KIT_INNER1) || f.Enabled(IDC_KIT_INNER2));
    EXPECT_FALSE(f.Enabled(IDC_KIT_INNER3)) << "inside the frame, wherever in Z order";
    EXPECT_TRUE(f.Enabled(IDC_KIT_PARTIAL)) << "partly covered: left alone";
    EXPECT_TRUE(f.Enabled(IDC_KIT_OUTSIDE) && f.Enabled(IDC_KIT_GROUP));
    f.group.m_bIncludePartial = true;
    f.group.EnableGroup(false);
    EXPECT_FALSE(f.Enabled(IDC_KIT_PARTIAL));
    f.group.m_bIncludePartial = false;
    f.group.EnableGroup(true);

    f.group.m_bScanFromBox = true;
    f.group.EnableGroup(false);
    EXPECT_FALSE(f.Enabled(IDC_KIT_INNER1) || f.Enabled(IDC_KIT_INNER2));
    EXPECT_TRUE(f.Enabled(IDC_KIT_INNER3)) << "the scan stopped at the first window outside";
}

TEST(KitGroupBox, FrameCaptionAndGreyCaptionWhenDisabled)
{
    GroupFixture f;
    ASSERT_TRUE(f.Open());
    const COLORREF frame = RGB(115, 115, 115);
    f.group.SetWindowText(L"");
    Pixels px = CaptureClient(f.group);
    const int w = px.Width();
    const int top = px.Bounds([&](COLORREF cr) { return cr == frame; }, RECT{w / 2, 0, w / 2 + 1, 30}).top;
    ASSERT_GT(top, 0);
    EXPECT_EQ(px.Count(frame, 10, top, w - 10, top + 1), w - 20) << "an empty caption leaves the edge whole";

    f.group.SetWindowText(L"Group");
    px = CaptureClient(f.group);
    EXPECT_NE(px.At(11, top), frame) << "the edge opens behind the caption";
    EXPECT_GT(px.Count(RGB(58, 71, 153), 0, 0, w, 25), 0);
    f.group.EnableGroup(false);
    f.group.Invalidate();
    px = CaptureClient(f.group);
    EXPECT_EQ(px.Count(RGB(58, 71, 153), 0, 0, w, 25), 0);
    EXPECT_GT(px.Count(RGB(100, 100, 100), 0, 0, w, 25), 0);

    // Repainted alone, the frame does not paint over the controls it holds.
    f.group.EnableGroup(true);
    kit::Settle(f.host);
    f.group.Invalidate();
    const RECT rc = f.host.ItemRect(IDC_KIT_INNER1);
    EXPECT_EQ(CaptureClient(f.host).At((rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2), ::GetSysColor(COLOR_WINDOW));
}

TEST(KitSeparator, HorizontalAndVerticalLinesAndACentredCaption)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    CSeparator horizontal, vertical;
    ASSERT_TRUE(horizontal.SubclassDlgItem(IDC_KIT_SEP_H, &host) && vertical.SubclassDlgItem(IDC_KIT_SEP_V, &host));
    host.PlaceItem(IDC_KIT_SEP_H, 240, 262, 200, 3);
    host.PlaceItem(IDC_KIT_SEP_V, 550, 75, 3, 150);
    vertical.SetWindowText(L"Never shown");
    const COLORREF line = ::GetSysColor(COLOR_BTNSHADOW);
    Pixels px = CaptureClient(horizontal);
    EXPECT_EQ(px.Count(line, 0, 1, 200, 2), 200);
    EXPECT_EQ(px.Count(line, 0, 0, 200, 1) + px.Count(line, 0, 2, 200, 3), 0);
    px = CaptureClient(vertical);
    EXPECT_EQ(px.Count(line, 1, 0, 2, 150), 150);
    EXPECT_EQ(px.Count(line, 0, 0, 1, 150) + px.Count(line, 2, 0, 3, 150), 0);
    EXPECT_EQ(px.Count(RGB(240, 240, 230), 0, 0, 3, 150), 0);

    // Centred caption: the face-coloured box of "  Cap  " interrupts the line in the middle.
    host.PlaceItem(IDC_KIT_SEP_H, 240, 262, 200, 21);
    horizontal.ModifyStyle(SS_TYPEMASK, SS_CENTER);
    horizontal.m_crFace = RGB(0, 128, 0);
    horizontal.SetWindowText(L"Cap");
    px = CaptureClient(horizontal);
    const RECT box = px.Bounds([](COLORREF cr) { return cr == RGB(0, 128, 0); }, RECT{0, 10, 200, 11});
    const RECT text = px.Bounds([](COLORREF cr) { return cr == RGB(240, 240, 230); }, RECT{0, 0, 200, 21});
    EXPECT_NEAR((box.left + box.right) / 2, 100, 2);
    EXPECT_GT(text.left - box.left, 6) << "two spaces before the text";
    EXPECT_GT(box.right - text.right, 6) << "and after it";
    EXPECT_EQ(px.Count(line, 0, 10, 200, 11), 200 - (box.right - box.left));
}

TEST(KitLabel, GradientOfAHundredStrips)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    CHSLabel label;
    ::SetDlgItemTextW(host, IDC_KIT_LABEL, L"");
    ASSERT_TRUE(label.SubclassDlgItem(IDC_KIT_LABEL, &host));
    host.PlaceItem(IDC_KIT_LABEL, 10, 262, 250, 20);
    label.SetBkColor(RGB(0, 0, 0), RGB(200, 100, 50), true);
    const Pixels px = CaptureClient(label);
    // Red, green and blue step by 512, 256 and 128 in 1/256 units: strip i is (2i, i, i/2).
    for (int i = 0; i < 99; ++i) {
        EXPECT_EQ(px.At(2 * i, 5), RGB(2 * i, i, i / 2)) << "strip " << i;
        EXPECT_EQ(px.At(2 * i + 1, 5), RGB(2 * i, i, i / 2)) << "strip " << i;
    }
    EXPECT_EQ(px.Count(RGB(198, 99, 49), 198, 0, 250, 20), 52 * 20) << "the last strip reaches the right edge";
}

TEST(KitLabel, FirstTextStaysFlashingHidesTheText)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    CHSLabel label;
    ASSERT_TRUE(label.SubclassDlgItem(IDC_KIT_LABEL2, &host));
    host.SizeItem(IDC_KIT_LABEL2, 150, 40);
    auto isInk = [](COLORREF cr) { return GetRValue(cr) < 120 && GetGValue(cr) < 120; };
    const RECT all{0, 0, 150, 40};
    const RECT first = CaptureClient(label).Bounds(isInk, all);
    ASSERT_FALSE(IsRectEmpty(&first));
    label.SetWindowText(L"Changed to a much longer text");
    RECT now = CaptureClient(label).Bounds(isInk, all);
    EXPECT_TRUE(EqualRect(&now, &first)) << "the first text stays";
    label.SetText(L"Changed to a much longer text");
    now = CaptureClient(label).Bounds(isInk, all);
    EXPECT_GT(now.right, first.right);
    label.SetFontBold(true);
    EXPECT_EQ(label.GetLogFont().lfWeight, FW_BOLD);

    label.SetBkColor(RGB(255, 255, 0));
    label.SetTextColor(RGB(0, 0, 255));
    label.FlashText(true);
    auto blue = [&] { return CaptureClient(label).Count(RGB(0, 0, 255), 0, 0, 150, 40); };
    EXPECT_TRUE(kit::Pump([&] { return blue() == 0; }, 3000)) << "hidden phase";
    EXPECT_TRUE(kit::Pump([&] { return blue() > 0; }, 3000)) << "shown phase";
    EXPECT_TRUE(kit::Pump([&] { return blue() == 0; }, 3000)) << "hidden again";
    label.FlashText(false);
    EXPECT_GT(blue(), 0) << "flashing stopped with the text shown";
}

TEST(KitRichEdit, ColouredInsertionKeepsEarlierTextsColour)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    CMyRichEditCtrl log;
    ASSERT_TRUE(log.SubclassDlgItem(IDC_KIT_RICHEDIT, &host));
    auto append = [&](COLORREF cr, const wchar_t* lpText) {
        const long nEnd = log.GetTextLength();
        log.SetSel(nEnd, nEnd);
        log.SetTextColor(cr);
        log.ReplaceSel(lpText);
    };
    auto colourOf = [&](long nStart, long nEnd) {
        log.SetSel(nStart, nEnd);
        CHARFORMATW cf{};
        cf.dwMask = CFM_COLOR;
        log.GetSelectionCharFormat(cf);
        return cf.crTextColor;
    };
    append(RGB(0, 0, 255), L"sent ");
    append(RGB(255, 0, 0), L"received ");
    append(RGB(0, 128, 0), L"data");
    EXPECT_EQ(colourOf(0, 5), RGB(0, 0, 255));
    EXPECT_EQ(colourOf(5, 14), RGB(255, 0, 0));
    EXPECT_EQ(colourOf(14, 18), RGB(0, 128, 0));
}
