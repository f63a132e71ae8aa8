// The unit's bracketed text frames: splitting a frame text into its fields, and cutting the
// received byte stream into frames and loose text.
#pragma once

#include <cstddef>

// Characters of a frame text, terminator included; longer frames do not exist on the link.
constexpr int kFrameTextChars = 260;
// Characters the assembly collects before it must hand them on, terminator included.
constexpr int kFrameBufferChars = 256;

// Splits "[CCC_WWWW]" or "[CCC_WWWW_data]" by fixed positions: class from position 1 (3
// characters), word from position 5 (4 characters), data from position 10 up to the last
// character. Each output is optional; lpClass takes 4 characters, lpWord 5, lpData 260.
// A text shorter than 10 characters leaves the outputs untouched.
void SplitFrame(const wchar_t* lpFrameText, wchar_t* lpClass, wchar_t* lpWord, wchar_t* lpData);

// Cuts received bytes into frames ("[" ... "]") and data lines (text ended by CR, LF or a
// new "["). A frame is recognised by its brackets alone: whatever lies between them, however
// short or odd, is handed on as a frame. Blanks are dropped on the serial link. Two mends
// keep the texts safe for every later reader: a NUL byte is dropped (it would end the text
// early and hide the rest of the frame from the console, the trace and the record), and a
// run that fills the buffer without a frame end or line end is handed on as a data line
// (the rest of it follows as loose text), so a unit can never write past the buffer. Control
// characters and bytes above 0x7F pass as they are; the console shows them by their codes.
// State of one receive thread; not shared.
class CFrameAssembler {
public:
    enum class Result { None, Frame, Data };

    // bKeepSpaces: the TCP link keeps blanks, the serial link drops them.
    explicit CFrameAssembler(bool bKeepSpaces) : m_bKeepSpaces(bKeepSpaces) {}

    // Feeds one byte. A Frame or Data result leaves the completed text in Completed() until
    // the next call.
    Result Feed(unsigned char byte);
    const wchar_t* Completed() const { return m_szCompleted; }
    void Reset();

private:
    Result Complete(Result result);
    void Append(wchar_t ch);

    bool m_bKeepSpaces;
    bool m_bInFrame = false;
    int m_nCount = 0;
    wchar_t m_szBuffer[kFrameBufferChars] = {};
    wchar_t m_szCompleted[kFrameBufferChars] = {};
};
