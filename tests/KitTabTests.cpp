// The kit's tab strip and pages on a real dialog: captions, page switching by real clicks,
// the tab outlines read back from the screen, and keys typed inside a page.
#include "controls/HSTabCtrl.h"
#include "framework/Dc.h"
#include "framework/Edit.h"
#include "support/KitHost.h"
#include "support/KitTestIds.h"

#include <gtest/gtest.h>

#include <memory>

using kit::CaptureClient;
using kit::Pixels;

namespace {
class CProbePage : public CHSTabPage {
public:
    CProbePage() : CHSTabPage(IDD_KIT_PAGE) {}
    ~CProbePage() override { DestroyWindow(); }
    int m_nActivations = 0;

protected:
    LRESULT OnActivate(WPARAM, LPARAM) { return ++m_nActivations, 0; }
    DECLARE_MESSAGE_MAP()
};
BEGIN_MESSAGE_MAP(CProbePage, CHSTabPage)
    ON_MESSAGE(WM_TABPAGE_ACTIVATE, CProbePage::OnActivate)
END_MESSAGE_MAP()

struct TabFixture {
    kit::CKitHost host{IDD_KIT_HOST};
    CHSTabCtrl tabs;
    std::vector<std::unique_ptr<CProbePage>> pages;

    bool Open(int nPages)
    {
        if (!host.Open() || !tabs.SubclassDlgItem(IDC_KIT_TAB, &host))
            return false;
        // As the main window does: the template's placeholder text goes first.
        tabs.RemoveAllPages();
        host.SizeItem(IDC_KIT_TAB, 200, 40);
        for (int i = 0; i < nPages; ++i) {
            pages.push_back(std::make_unique<CProbePage>());
            if (!pages.back()->Create(IDD_KIT_PAGE, &host))
                return false;
        }
        return true;
    }
    POINT TabCenter(int i) const
    {
        const RECT rc = tabs.GetTabRect(i);
        return POINT{(rc.left + rc.right) / 2, (rc.top + rc.bottom) / 2};
    }
};
} // namespace

TEST(KitTabStrip, AddFindSelectAndRemovePages)
{
    TabFixture f;
    ASSERT_TRUE(f.Open(10));
    CProbePage unborn;
    EXPECT_FALSE(f.tabs.AddPage(L"", nullptr, 21, f.pages[0].get()));
    EXPECT_FALSE(f.tabs.AddPage(L"X", nullptr, 21, &unborn));
    ASSERT_TRUE(f.tabs.AddPage(L"A", &f.host, 21, f.pages[0].get()));
    ASSERT_TRUE(f.tabs.AddPage(L"B", nullptr, 21, f.pages[1].get()));
    EXPECT_EQ(f.tabs.GetWindowText(), L"A|B");
    EXPECT_TRUE(f.pages[0]->IsWindowVisible());
    EXPECT_FALSE(f.pages[1]->IsWindowVisible());
    EXPECT_EQ(f.pages[0]->m_pOwner, &f.host);
    // Under the strip by the offset, as wide as the strip.
    const RECT strip = f.host.ItemRect(IDC_KIT_TAB);
    RECT page;
    f.pages[1]->GetWindowRect(&page);
    ::MapWindowPoints(nullptr, f.host, reinterpret_cast<POINT*>(&page), 2);
    EXPECT_TRUE(page.left == strip.left && page.top == strip.top + 21 && page.right == strip.right);
    kit::PumpFor(50);
    EXPECT_EQ(f.pages[0]->m_nActivations, 2) << "shown by each add while current";
    EXPECT_EQ(f.pages[1]->m_nActivations, 0);
    EXPECT_EQ(f.tabs.FindPage(L"b"), 1);
    EXPECT_EQ(f.tabs.FindPage(L"C"), -1);

    for (int i = 2; i < 9; ++i)
        EXPECT_TRUE(f.tabs.AddPage(std::to_wstring(i).c_str(), nullptr, 21, f.pages[i].get()));
    EXPECT_FALSE(f.tabs.AddPage(L"9", nullptr, 21, f.pages[9].get())) << "nine pages at most";
    EXPECT_EQ(f.tabs.GetWindowText(), L"A|B|2|3|4|5|6|7|8");
    f.tabs.SelectPage(9);
    EXPECT_EQ(f.tabs.m_nCurrent, 0);
    f.tabs.SelectPage(4);
    EXPECT_TRUE(f.pages[4]->IsWindowVisible() && !f.pages[0]->IsWindowVisible());

    // Removing destroys the page windows; a page object gone before the strip is let be.
    f.tabs.RemoveAllPages();
    EXPECT_EQ(f.tabs.GetWindowText(), L"");
    EXPECT_FALSE(f.pages[4]->IsWindow());
    {
        CProbePage early;
        ASSERT_TRUE(early.Create(IDD_KIT_PAGE, &f.host));
        ASSERT_TRUE(f.tabs.AddPage(L"Early", nullptr, 21, &early));
    }
    EXPECT_EQ(f.tabs.FindPage(L"Early"), -1);
    f.tabs.RemoveAllPages();
}

TEST(KitTabStrip, OutlinesOpenUnderTheCurrentTab)
{
    TabFixture f;
    ASSERT_TRUE(f.Open(2));
    f.tabs.AddPage(L"First", nullptr, 21, f.pages[0].get());
    f.tabs.AddPage(L"Second", nullptr, 21, f.pages[1].get());
    const Pixels px = CaptureClient(f.tabs);
    // Tabs are as wide as their caption in the strip's font plus 10, as high as it plus 4.
    CFont font;
    font.CreatePointFont(100, L"Arial");
    CClientDC dc(&f.tabs);
    dc.SelectObject(font);
    const SIZE first = dc.GetTextExtent(std::wstring(L"First"));
    const int H = first.cy + 4;
    const int X0 = first.cx + 10;
    const int X1 = X0 + dc.GetTextExtent(std::wstring(L"Second")).cx + 10;
    EXPECT_EQ(f.tabs.GetTabRect(1).right, X1);

    const COLORREF line = RGB(115, 115, 115);
    const COLORREF stripFill = RGB(220, 220, 220);
    EXPECT_EQ(px.At(X0 / 2, 0), line);
    EXPECT_EQ(px.At(X0 / 2, H), ::GetSysColor(COLOR_BTNFACE)) << "the current tab is open at the bottom";
    EXPECT_EQ(px.At((X0 + X1) / 2, H), line) << "the other tab is closed";
    EXPECT_EQ(px.At((X0 + X1) / 2, H + 2), stripFill);
    EXPECT_EQ(px.Count(line, X1, H, px.Width(), H + 1), px.Width() - X1) << "base line to the right edge";
    EXPECT_EQ(px.At(2, 2), line) << "chamfered corner";
    EXPECT_EQ(px.At(0, 1), stripFill);
    EXPECT_GT(px.Count(RGB(165, 42, 42), 0, 0, X0, H), 0) << "current caption colour";
    EXPECT_EQ(px.Count(RGB(165, 42, 42), X0, 0, X1, H), 0);
}

TEST(KitTabStrip, ClicksSwitchPagesButNotOnTheCurrentTabOrBeforeFirstPaint)
{
    TabFixture f;
    ASSERT_TRUE(f.Open(2));
    f.tabs.AddPage(L"First", nullptr, 21, f.pages[0].get());
    f.tabs.AddPage(L"Second", nullptr, 21, f.pages[1].get());
    // Not painted yet: no tab rectangle exists, a click hits nothing.
    f.tabs.SendMessage(WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(60, 5));
    EXPECT_EQ(f.tabs.m_nCurrent, 0);

    kit::Settle(f.host);
    ASSERT_TRUE(kit::BringToFront(f.host));
    kit::PumpFor(50);
    const int nShown = f.pages[0]->m_nActivations;
    kit::ClickAt(f.tabs, f.TabCenter(0));
    EXPECT_EQ(f.pages[0]->m_nActivations, nShown) << "the current tab does nothing";
    kit::ClickAt(f.tabs, f.TabCenter(1));
    ASSERT_TRUE(kit::Pump([&] { return f.pages[1]->m_nActivations == 1; }));
    EXPECT_EQ(f.tabs.m_nCurrent, 1);
    EXPECT_TRUE(f.pages[1]->IsWindowVisible() && !f.pages[0]->IsWindowVisible());

    f.pages[1]->ShowWindow(SW_HIDE);
    kit::ClickAt(f.tabs, f.TabCenter(0));
    EXPECT_EQ(f.tabs.m_nCurrent, 1) << "ignored while the current page is hidden";
}

TEST(KitTabStrip, EnterAndEscapeInsideAPageAreSwallowed)
{
    TabFixture f;
    ASSERT_TRUE(f.Open(1));
    f.tabs.AddPage(L"Page", nullptr, 21, f.pages[0].get());
    CEdit edit;
    ASSERT_TRUE(edit.SubclassDlgItem(IDC_KIT_PAGE_EDIT, f.pages[0].get()));
    ASSERT_TRUE(kit::BringToFront(f.host));
    edit.SetFocus();
    for (WORD vk : {WORD(VK_RETURN), WORD(VK_ESCAPE), WORD('5')})
        kit::TapKey(vk);
    EXPECT_TRUE(f.pages[0]->IsWindowVisible());
    EXPECT_EQ(edit.GetWindowText(), L"5") << "other keys still reach the page's controls";

    // The same key ends an ordinary child dialog: what the page guards against.
    CDialog plain(IDD_KIT_PAGE);
    ASSERT_TRUE(plain.Create(IDD_KIT_PAGE, &f.host));
    plain.ShowWindow(SW_SHOW);
    ::SetFocus(plain.GetDlgItem(IDC_KIT_PAGE_EDIT));
    kit::TapKey(VK_RETURN);
    EXPECT_FALSE(plain.IsWindowVisible());
}
