#include "comm/protocol/Frame.h"

#include <cwchar>

void SplitFrame(const wchar_t* lpFrameText, wchar_t* lpClass, wchar_t* lpWord, wchar_t* lpData)
{
    if (lpFrameText == nullptr)
        return;
    const size_t length = wcslen(lpFrameText);
    if (length < 10)
        return;
    if (lpClass != nullptr) {
        wmemcpy(lpClass, lpFrameText + 1, 3);
        lpClass[3] = L'\0';
    }
    if (lpWord != nullptr) {
        wmemcpy(lpWord, lpFrameText + 5, 4);
        lpWord[4] = L'\0';
    }
    if (lpData != nullptr && length > 10) {
        size_t dataLength = length - 11;
        if (dataLength > static_cast<size_t>(kFrameTextChars - 1))
            dataLength = kFrameTextChars - 1;
        wmemcpy(lpData, lpFrameText + 10, dataLength);
        lpData[dataLength] = L'\0';
    }
}

void CFrameAssembler::Reset()
{
    m_bInFrame = false;
    m_nCount = 0;
    m_szBuffer[0] = L'\0';
}

CFrameAssembler::Result CFrameAssembler::Complete(Result result)
{
    wmemcpy(m_szCompleted, m_szBuffer, static_cast<size_t>(m_nCount));
    m_szCompleted[m_nCount] = L'\0';
    Reset();
    return result;
}

void CFrameAssembler::Append(wchar_t ch)
{
    m_szBuffer[m_nCount++] = ch;
    m_szBuffer[m_nCount] = L'\0';
}

CFrameAssembler::Result CFrameAssembler::Feed(unsigned char byte)
{
    // The protocol is ASCII; a byte above 0x7F becomes the character of the same value.
    // A NUL byte would end the text early and is dropped.
    const wchar_t ch = static_cast<wchar_t>(byte);
    if (ch == L'\0')
        return Result::None;

    if (ch == L'[') {
        Result result = Result::None;
        if (m_nCount > 0)
            result = Complete(Result::Data);
        m_nCount = 0;
        Append(L'[');
        m_bInFrame = true;
        return result;
    }
    if (ch == L'\r' || ch == L'\n')
        return m_nCount > 0 ? Complete(Result::Data) : Result::None;
    if (ch == L' ' && !m_bKeepSpaces)
        return Result::None;

    // A buffer that is full without a frame end or line end is handed on as a data line,
    // and collecting starts again with this byte.
    Result result = Result::None;
    if (m_nCount >= kFrameBufferChars - 1)
        result = Complete(Result::Data);

    if (ch == L']' && m_bInFrame) {
        Append(L']');
        return Complete(Result::Frame);
    }
    Append(ch);
    return result;
}
