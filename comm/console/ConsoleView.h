// The console's view: the latest lines of the console's record, in their colours, in the
// console's rich edit. It takes what came at a timer tick, in one rich-text insertion, and
// keeps itself short so that each tick costs as little at the 100 000th line as at the
// first. Lines a tick cannot show (more than a tick takes, or more characters than the view
// holds) are left out of the view only (a view line says how many); the record keeps them
// and a saved log has them all. User-interface thread only; owned by the link manager's
// console.
#pragma once

#include "comm/record/ConsoleRecord.h"

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

class CMyRichEditCtrl;

// Console colours of the line kinds and of the line-number prefix.
constexpr COLORREF kColorLogPrefix = RGB(62, 138, 161);
constexpr COLORREF kColorLogSend = RGB(96, 167, 45);
constexpr COLORREF kColorLogRecv = RGB(187, 180, 0);
constexpr COLORREF kColorLogData = RGB(0, 0, 0);
constexpr COLORREF kColorLogBack = RGB(227, 233, 245);

class CConsoleView {
public:
    // Lines the view shows at least once it has that many; past kViewLines + kTrimLines the
    // oldest kTrimLines go in one step. The record and Save file have every line.
    static constexpr int kViewLines = 300;
    static constexpr int kTrimLines = 100;
    // Characters the view holds at most, whatever its lines: the rich edit's memory grows
    // with the characters it holds, up to about 500 bytes each for text that changes
    // between letters, digits and signs every few characters (measured under Wine), so a
    // view of long lines of noise would otherwise hold some 80 MB. 12 000 characters are
    // some 250 lines of answers with their stamps and round trips; of long lines, the
    // latest that fit.
    static constexpr size_t kViewChars = 12000;
    // Lines one tick puts into the view at most (about a screenful; more go by faster than
    // anyone reads); beyond, the older ones are left out. Under Wine the rich edit keeps some
    // 330 bytes for every line it was ever given, after the line is gone and even after the
    // control is destroyed, so what a flood costs there grows with the lines drawn.
    static constexpr size_t kMaxLinesPerTick = 50;
    // Lines a turn the view takes out of order (its timer kept from it by a flood of posted
    // reports) puts in at most: enough to show the flood, cheap enough to leave the thread
    // to the reports.
    static constexpr size_t kFloodLinesPerTick = 15;

    void Attach(CMyRichEditCtrl* pView, const CConsoleRecord* pRecord);

    // Brings the view up to the record, with nMaxLines of what came at most. Returns the
    // milliseconds it took.
    double Update(size_t nMaxLines = kMaxLinesPerTick);
    // Brings a view that was not kept up (its console hidden) up to the record: the lines
    // that came, or the latest kViewLines anew when they are more than a tick shows.
    void CatchUp();
    // Empties the view; the lines that come from now on are shown (the record is emptied by
    // its owner).
    void Clear();

    // Which kinds the view shows; every line is kept in the record whatever it shows.
    void SetShown(int nKind, bool bShown);
    // Whether the view shows each line's time stamp (saved logs always have them).
    void SetShowTime(bool bShowTime);
    bool ShowsTime() const { return m_bShowTime; }

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
    // Lets the oldest whole lines go, so that nChars more keep the view within kViewChars.
    void MakeRoom(long nChars);
    // Drops the oldest shown lines past the limit and scrolls to the end.
    void AfterInsert();
    // Puts rich text into the view (at the selection, or as its whole content) and leaves
    // the caret at the end, after a line break.
    void StreamIn(const std::string& rtf, bool bAtSelection);
    // Shows the latest kViewLines lines of the shown kinds anew.
    void Rebuild();
    void ScrollToEnd();
    bool HasView() const;
    // A shown view is drawn once after a change, not at each step of it.
    void BeginChange();
    void EndChange();

    CMyRichEditCtrl* m_pView = nullptr;
    const CConsoleRecord* m_pRecord = nullptr;
    // The record's sequence of the first line the view has not taken yet.
    unsigned long long m_nNextSeq = 0;
    int m_nViewLines = 0;
    bool m_bShown[3] = {true, true, true};
    bool m_bShowTime = false;
    bool m_bRedrawOff = false; // BeginChange switched drawing off
    std::vector<CConsoleRecord::Line> m_lines; // scratch, kept to spare allocations
};

// Rich text of console lines: the colour table, then each line with its prefix in the
// prefix colour and its text in its kind's colour; bDocument adds the font (a saved file),
// bStamp the time stamps.
std::string BuildConsoleRtf(const std::vector<CConsoleRecord::Line>& lines, bool bDocument, bool bStamp);
