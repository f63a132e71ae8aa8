// Group box, separator, label and the rich-edit log on real dialogs: enabling what lies in
// a frame, lines and captions read back from the screen, gradient strips, flashing, and the
// colours of text inserted into the log.
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
bool Enabled(const kit::CKitHost& host, int nID)
{
    return ::IsWindowEnabled(host.GetDlgItem(nID)) != FALSE;
}

struct GroupFixture {
    kit::CKitHost host{IDD_KIT_GROUP};
    CMSGroupBox group;
    bool Open() { return host.Open() && group.SubclassDlgItem(IDC_KIT_GROUP, &host); }
};
} // namespace

TEST(KitGroupBox, EnableGroupScansAllSiblingsOrOnlyThoseAfterTheBox)
{
    {
        GroupFixture f;
        ASSERT_TRUE(f.Open());
        f.group.EnableGroup(false);
        EXPECT_FALSE(Enabled(f.host, IDC_KIT_INNER1));
        EXPECT_FALSE(Enabled(f.host, IDC_KIT_INNER2));
        EXPECT_FALSE(Enabled(f.host, IDC_KIT_INNER3)) << "inside the frame, wherever in Z order";
        EXPECT_TRUE(Enabled(f.host, IDC_KIT_PARTIAL)) << "partly covered: left alone";
        EXPECT_TRUE(Enabled(f.host, IDC_KIT_OUTSIDE));
        EXPECT_TRUE(Enabled(f.host, IDC_KIT_GROUP));
        f.group.m_bIncludePartial = true;
        f.group.EnableGroup(false);
        EXPECT_FALSE(Enabled(f.host, IDC_KIT_PARTIAL));
        f.group.EnableGroup(true);
        EXPECT_TRUE(Enabled(f.host, IDC_KIT_INNER3));
        EXPECT_TRUE(Enabled(f.host, IDC_KIT_PARTIAL));
    }
    {
        GroupFixture f;
        ASSERT_TRUE(f.Open());
        f.group.m_bScanFromBox = true;
        f.group.EnableGroup(false);
        EXPECT_FALSE(Enabled(f.host, IDC_KIT_INNER1));
        EXPECT_FALSE(Enabled(f.host, IDC_KIT_INNER2));
        EXPECT_TRUE(Enabled(f.host, IDC_KIT_INNER3)) << "the scan stopped at the first window outside";
    }
}

TEST(KitGroupBox, FrameCaptionAndGreyCaptionWhenDisabled)
{
    GroupFixture f;
    ASSERT_TRUE(f.Open());
    const COLORREF frame = RGB(115, 115, 115);
    const COLORREF back = ::GetSysColor(COLOR_BTNFACE);

    f.group.SetWindowText(L"");
    Pixels px = CaptureClient(f.group);
    const int w = px.Width();
    int top = -1;
    for (int y = 0; y < 30 && top < 0; ++y)
        if (px.At(w / 2, y) == frame)
            top = y;
    ASSERT_GT(top, 0);
    EXPECT_EQ(px.Count(frame, 10, top, w - 10, top + 1), w - 20) << "an empty caption leaves the edge whole";
    EXPECT_EQ(px.At(w / 2, top + 5), back);

    f.group.SetWindowText(L"Group");
    f.group.Invalidate();
    px = CaptureClient(f.group);
    EXPECT_NE(px.At(11, top), frame) << "the edge opens behind the caption";
    EXPECT_EQ(px.At(w - 12, top), frame);
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
    const RECT rcInner = f.host.ItemRect(IDC_KIT_INNER1);
    EXPECT_EQ(CaptureClient(f.host).At((rcInner.left + rcInner.right) / 2, (rcInner.top + rcInner.bottom) / 2),
              ::GetSysColor(COLOR_WINDOW));
}

TEST(KitSeparator, HorizontalAndVerticalLinesAndACentredCaption)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    CSeparator horizontal, vertical;
    ASSERT_TRUE(horizontal.SubclassDlgItem(IDC_KIT_SEP_H, &host));
    ASSERT_TRUE(vertical.SubclassDlgItem(IDC_KIT_SEP_V, &host));
    // Clear of the other controls of the template.
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

    // Centred caption: two spaces each side keep the line away from the text.
    host.PlaceItem(IDC_KIT_SEP_H, 240, 262, 200, 21);
    horizontal.ModifyStyle(SS_TYPEMASK, SS_CENTER);
    horizontal.SetWindowText(L"Cap");
    horizontal.m_crFace = RGB(0, 128, 0);
    horizontal.Invalidate();
    px = CaptureClient(horizontal);
    CFont font;
    font.CreatePointFont(115, L"Tahoma");
    LOGFONTW lf{};
    font.GetLogFont(&lf);
    lf.lfWeight = FW_BOLD;
    font.CreateFontIndirect(&lf);
    HDC hDC = ::GetDC(nullptr);
    HGDIOBJ hOld = ::SelectObject(hDC, font);
    SIZE padded{}, spaces{};
    ::GetTextExtentPoint32W(hDC, L"  Cap  ", 7, &padded);
    ::GetTextExtentPoint32W(hDC, L"  ", 2, &spaces);
    ::SelectObject(hDC, hOld);
    ::ReleaseDC(nullptr, hDC);
    const int start = (200 - padded.cx) / 2;
    EXPECT_EQ(px.Count(line, 0, 10, start, 11), start) << "the line runs up to the caption's box";
    EXPECT_EQ(px.Count(RGB(0, 128, 0), start, 10, start + spaces.cx, 11), spaces.cx);
    EXPECT_EQ(px.Count(RGB(0, 128, 0), start + padded.cx - spaces.cx, 10, start + padded.cx, 11), spaces.cx);
    EXPECT_GT(px.Count(RGB(240, 240, 230), start, 0, start + padded.cx, 21), 0);
    EXPECT_EQ(px.Count(line, start + padded.cx, 10, 200, 11), 200 - start - padded.cx);
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
        const COLORREF expected = RGB(2 * i, i, i / 2);
        EXPECT_EQ(px.At(2 * i, 5), expected) << "strip " << i;
        EXPECT_EQ(px.At(2 * i + 1, 5), expected) << "strip " << i;
    }
    EXPECT_EQ(px.Count(RGB(198, 99, 49), 198, 0, 250, 20), 52 * 20) << "the last strip reaches the right edge";
    EXPECT_EQ(px.At(100, 19), px.At(100, 0)) << "down to the bottom row";
}

TEST(KitLabel, TextFontAlignmentFlashingAnd3D)
{
    kit::CKitHost host(IDD_KIT_HOST);
    ASSERT_TRUE(host.Open());
    CHSLabel label;
    ASSERT_TRUE(label.SubclassDlgItem(IDC_KIT_LABEL2, &host));
    host.SizeItem(IDC_KIT_LABEL2, 150, 40);
    auto isInk = [](COLORREF cr) { return GetRValue(cr) < 120 && GetGValue(cr) < 120; };
    const RECT all{0, 0, 150, 40};

    // The first text stays until the label's own SetText.
    const RECT first = CaptureClient(label).Bounds(isInk, all);
    ASSERT_FALSE(IsRectEmpty(&first));
    label.SetWindowText(L"Changed to a much longer text");
    label.Invalidate();
    RECT now = CaptureClient(label).Bounds(isInk, all);
    EXPECT_TRUE(EqualRect(&now, &first));
    label.SetText(L"Changed to a much longer text");
    now = CaptureClient(label).Bounds(isInk, all);
    EXPECT_GT(now.right, first.right);

    label.SetFontBold(true);
    EXPECT_EQ(label.GetLogFont().lfWeight, FW_BOLD);
    label.SetFontBold(false);
    EXPECT_EQ(label.GetLogFont().lfWeight, FW_NORMAL);

    // Centred vertically as one line; from the top with a line break.
    label.ModifyStyle(0, SS_CENTERIMAGE);
    label.SetText(L"Mid");
    const RECT mid = CaptureClient(label).Bounds(isInk, all);
    label.SetText(L"Top\r\nLine");
    const RECT top = CaptureClient(label).Bounds(isInk, all);
    EXPECT_NEAR((mid.top + mid.bottom) / 2, 20, 3);
    EXPECT_LT(top.top, mid.top);
    EXPECT_LE(top.top, 3);

    // Three-dimensional text: a highlight copy one pixel down-right.
    label.SetText(L"Deep");
    label.SetHighlightColor(RGB(255, 0, 255));
    label.SetText3D(true, 1);
    EXPECT_GT(CaptureClient(label).Count(RGB(255, 0, 255), 0, 0, 150, 40), 0);
    label.SetText3D(false);

    // Flashing text takes the own background's colour every other period.
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
    // Right-clicking is left to the control itself.
    log.SendMessage(WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(5, 5));
    EXPECT_EQ(colourOf(0, 5), RGB(0, 0, 255));
}
