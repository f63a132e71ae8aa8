// The console's view: a window of one screenful over the whole session, in the console's rich
// edit. The session is every line since the console was last cleared, in memory or in the
// session records on disk (CSessionLines); the rich edit holds only the lines on screen,
// whatever the session's length, so a tick costs the same at the millionth line as at the
// first and memory stays flat.
//
// At the bottom the view follows: each tick that found new lines shows the latest screenful.
// Scrolled back (wheel, scroll bar, keys) it holds still while lines keep coming, and counts
// them; End, or scrolling to the bottom, follows again. Filters and "Time" change how lines
// are drawn, never which are kept: the view redraws at the same place in the session.
//
// The selection lives in the session, not in the control: it may run across any number of
// screens, and Ctrl+C copies it as the view shows it (with stamps when "Time" is on).
//
// User-interface thread only; owned by the link manager's console.
#pragma once

#include "comm/record/ConsoleRecord.h"
#include "comm/record/SessionLines.h"
#include "controls/MyRichEditCtrl.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

// Console colours of the line kinds and of the line-number prefix.
constexpr COLORREF kColorLogPrefix = RGB(62, 138, 161);
constexpr COLORREF kColorLogSend = RGB(96, 167, 45);
constexpr COLORREF kColorLogRecv = RGB(187, 180, 0);
constexpr COLORREF kColorLogData = RGB(0, 0, 0);
constexpr COLORREF kColorLogBack = RGB(227, 233, 245);
// The background of the find's hit.
constexpr COLORREF kColorLogHit = RGB(255, 230, 90);

class CConsoleView : private IRichEditInput {
public:
    // A place in the session: a line and a character of it as the view shows it.
    struct Pos {
        unsigned long long nSeq = 0;
        size_t nCol = 0;
    };

    // pScrollBar: the vertical bar that stands for the whole session; onMoved is told when
    // the view moved, followed again or counted new lines (the console shows where it is).
    void Attach(CMyRichEditCtrl* pView, HWND hScrollBar, CSessionLines* pLines, std::function<void()> onMoved);
    void Detach();

    // The view's turn at a timer tick: following, it shows the latest lines when some came;
    // held, it counts them. Returns the milliseconds it took.
    double Update();
    // Draws the view anew at its place (shown again, resized).
    void Redraw();
    // Lines stopped coming: the scroll bar, which follows a flood only a few times a second,
    // shows where the view is now.
    void SettleScrollBar();
    // Empties the view and follows; the lines that come from now on are shown.
    void Clear();

    // Which kinds the view shows; every line is kept whatever it shows.
    void SetShown(int nKind, bool bShown);
    // Whether the view shows each line's time stamp (saved logs always have them).
    void SetShowTime(bool bShowTime);
    bool ShowsTime() const { return m_bShowTime; }

    // Where the view is.
    bool IsFollowing() const { return m_bFollow; }
    unsigned long long TopSeq() const { return m_nTopSeq; }
    // Lines that came since the view was held (0 while it follows).
    unsigned long long NewLines() const;
    int Rows() const { return m_nRows; }

    // Moving through the session.
    void ScrollLines(long long nLines);
    void ScrollPages(int nPages);
    void ScrollToStart();
    void Follow();
    // Holds the view with the line of nSeq (or the first shown one after it) at its top.
    void ScrollTo(unsigned long long nSeq);
    // A message of the scroll bar (WM_VSCROLL's code).
    void OnScrollBar(int nCode);
    void OnWheel(int nDelta);

    // The selection, in the session.
    bool HasSelection() const { return m_bSelection && (m_anchor.nSeq != m_caret.nSeq || m_anchor.nCol != m_caret.nCol); }
    void Select(Pos anchor, Pos caret);
    // Lines one copy takes at most (some 12 MB of text, twice over with the clipboard's copy):
    // a selection of a whole long session is saved with Save file instead.
    static constexpr size_t kMaxCopyLines = 100000;
    // The selected text as shown, lines ending in CR LF; at most nMaxLines lines (pbCut: the
    // selection had more).
    std::wstring SelectedText(size_t nMaxLines = kMaxCopyLines, bool* pbCut = nullptr) const;
    // Copies the selection to the clipboard; false when nothing was copied. A selection longer
    // than kMaxCopyLines is copied as far as that, and CopyNote says so.
    bool CopySelection();
    const std::wstring& CopyNote() const { return m_copyNote; }
    // Shows a find's hit: its line in sight, the hit selected and marked.
    void ShowHit(unsigned long long nSeq, int nColumn, int nLength);

    using LineSink = CConsoleRecord::LineSink;
    // Gives, through the sink, the lines of sequences nFrom to nTo (not included) that the
    // record does not hold (it let them go, or never kept them) from wherever they are kept;
    // called with rising ranges; false when the sink failed.
    using EarlierLines = std::function<bool(unsigned long long nFrom, unsigned long long nTo, const LineSink& sink)>;

    // Every line of the record, whatever the filter shows, with its time stamp, as plain
    // text or as rich text with its colours, and the tail lines after them. Lines the record
    // let go of or never kept come in their places from earlier (when given), or are told in
    // a note. False when the file was not written whole.
    bool Save(HANDLE hFile, bool bRichText, const std::vector<CConsoleRecord::Line>& tail = {},
              const EarlierLines& earlier = nullptr) const;

private:
    bool BeforeInput(UINT message, WPARAM wParam, LPARAM lParam) override;
    void AfterInput(UINT message, WPARAM wParam, LPARAM lParam) override;
    bool OnKey(UINT vk);

    bool HasView() const;
    // Lines a screen of the control shows whole.
    int VisibleRows();
    // Reads the page at the view's place and puts it into the control.
    void Fill();
    void Draw();
    void ApplySelection();
    void UpdateScrollBar();
    void Hold();
    // The place in the session of a character of the control, and back (-1: not on the page).
    Pos PosOfChar(long nChar) const;
    long CharOfPos(const Pos& pos) const;
    Pos PosAtPoint(POINT point) const;
    // The caret moved by the keys: moves and extends the selection, keeping the caret in sight.
    void MoveCaret(long long nLines, bool bExtend);
    void KeepCaretInSight();
    Pos EndPos() const;

    CMyRichEditCtrl* m_pView = nullptr;
    HWND m_hScrollBar = nullptr;
    CSessionLines* m_pLines = nullptr;
    std::function<void()> m_onMoved;

    bool m_bShown[3] = {true, true, true};
    bool m_bShowTime = false;
    // Where the view is: following the end, or held with the line of m_nTopSeq at its top.
    bool m_bFollow = true;
    unsigned long long m_nTopSeq = 0;
    // The session's end when the view was held, and when it was last drawn.
    unsigned long long m_nHeldAtEnd = 0;
    unsigned long long m_nDrawnEnd = ~0ull;
    // The lines on screen, and where each starts among the control's characters (one more:
    // the end).
    std::vector<CConsoleRecord::Line> m_page;
    std::vector<long> m_starts;
    int m_nRows = 0;
    int m_nLineHeight = 0;
    // The selection: from the anchor to the caret, in the session.
    bool m_bSelection = false;
    Pos m_anchor;
    Pos m_caret;
    // The find's hit, marked on the page while it is in sight.
    bool m_bHit = false;
    Pos m_hit;
    int m_nHitLength = 0;
    // The scroll bar's last state, to set it only when it changes; the bar's units are
    // m_nScrollScale sequences each (a bar's range is an int).
    int m_nBarPos = -1;
    int m_nBarMax = -1;
    int m_nBarPage = -1;
    unsigned long long m_nScrollScale = 1;
    // While the view follows, the bar is set at most every kBarFollowMs (Wine draws it at
    // once, up to a few milliseconds a time); m_bBarBehind: a change waits for SettleScrollBar.
    static constexpr DWORD kBarFollowMs = 200;
    DWORD m_dwBarSetAt = 0;
    bool m_bBarBehind = false;
    // The lines' height was measured on a page of the control's present height.
    bool m_bHeightMeasured = false;
    int m_nClientHeight = -1;
    bool m_bDragging = false; // the left button went down in the control
    std::wstring m_copyNote;  // what the last copy left out, until the engineer moves on
};

// The text of a line as the view shows it, without its line end: number, stamp (bStamp),
// mark, text and round trip; a line break within the text is one '\v', a control character
// its code ("<1B>").
std::wstring ConsoleViewText(const CConsoleRecord::Line& line, bool bStamp);

// Rich text of console lines: the colour table, then each line with its prefix in the
// prefix colour and its text in its kind's colour; bDocument adds the font (a saved file),
// bStamp the time stamps.
std::string BuildConsoleRtf(const std::vector<CConsoleRecord::Line>& lines, bool bDocument, bool bStamp);
