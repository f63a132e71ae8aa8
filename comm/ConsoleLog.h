// The console's log: every line the link manager writes, kept in order for the whole run,
// and the latest of them shown in the console's rich edit in their colours. Keeping the
// shown part bounded keeps each new line as cheap at the 100 000th line as at the first;
// nothing is lost, since a saved log is written from the kept lines. User-interface thread
// only; owned by CComm.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

class CMyRichEditCtrl;

class CConsoleLog {
public:
    struct Line {
        int nKind;
        int nNumber;
        std::wstring text;
    };

    // Lines the view shows at most; older ones are dropped from the view in blocks.
    static constexpr int kViewLines = 1000;
    static constexpr int kTrimLines = 500;
    // Lines kept for saving at most (a whole service day is far below it).
    static constexpr size_t kKeptLines = 200000;

    // A line handed over by a worker thread, waiting for the user-interface thread.
    struct Pending {
        int nKind;
        std::wstring text;
    };

    void Attach(CMyRichEditCtrl* pView) { m_pView = pView; }

    // Adds a line of a kind (100 sent, 101 received, 102 data; any other kind writes its
    // number only) and shows it when its kind is shown.
    void Append(int nKind, const wchar_t* lpText);
    // Adds several lines in their order, shown together in one step.
    void AppendBatch(const std::vector<Pending>& lines);
    void Clear();

    // Which kinds the view shows; every line is kept whatever the filter says.
    void SetShown(int nKind, bool bShown);
    bool IsShown(int nKind) const;

    size_t Count() const { return m_lines.size(); }
    const std::deque<Line>& Lines() const { return m_lines; }

    // Every kept line, whatever the filter shows, as plain text exactly as the view writes
    // it, or as rich text with its colours: the saved record is always complete.
    std::string ToText() const;
    std::string ToRtf() const;
    // Writes one of the two to a file; false when it could not be written whole.
    bool Save(HANDLE hFile, bool bRichText) const;

    // The view's text of one line, prefix included ("0001| >> [SPL_PANO]").
    static std::wstring Format(const Line& line);

private:
    void Show(const Line& line);
    // Drops the oldest shown lines past the limit and scrolls to the end.
    void AfterInsert();
    // Puts rich text into the view (at the selection, or as its whole content) and leaves
    // the caret at the end, after a line break.
    void StreamIn(const std::string& rtf, bool bAtSelection);
    void Rebuild();
    void ScrollToEnd();
    // Rich text of the lines from nFirst on: the shown ones for the view, all of them (with
    // the font) for a document.
    std::string BuildRtf(size_t nFirst, bool bDocument) const;

    CMyRichEditCtrl* m_pView = nullptr;
    std::deque<Line> m_lines;
    int m_nNextNumber = 1;
    int m_nViewLines = 0;
    bool m_bShown[3] = {true, true, true};
};
