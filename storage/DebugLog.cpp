#include "storage/DebugLog.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace {
constexpr int kBufferChars = 4096;
}

void DebugLog(const wchar_t* lpFunction, int nLine, const wchar_t* lpTag, const wchar_t* lpFormat, ...)
{
    // Both buffers live on the stack for this call only: no heap, no shared state, so lines
    // from different threads can never mix.
    wchar_t szMessage[kBufferChars] = {};
    wchar_t szLine[kBufferChars] = {};

    if (lpFormat != nullptr) {
        va_list args;
        va_start(args, lpFormat);
        // _vsnwprintf reads %s as a wide string; it does not terminate a full buffer.
        _vsnwprintf(szMessage, kBufferChars - 1, lpFormat, args);
        va_end(args);
        szMessage[kBufferChars - 1] = L'\0';
    }

    _snwprintf(szLine, kBufferChars - 1, L"[%-40s : %-05d]%s %s",
               lpFunction != nullptr ? lpFunction : L"", nLine, lpTag != nullptr ? lpTag : L"", szMessage);
    szLine[kBufferChars - 1] = L'\0';

    OutputDebugStringW(szLine);
}
