// The diagnostic log: one fixed-format line per call on the system debug output.
// Stateless and lock-free; callable from any thread. Callers use the LOG_* macros, which
// supply the qualified name of the calling function and the source line.
#pragma once

#include <source_location>

// Tags: nine visible characters and a trailing blank, as they appear in every line.
#define TAG_FUN_S L":_FUN_S_: "
#define TAG_FUN_E L":_FUN_E_: "
#define TAG_DAT_A L":_DAT_A_: "
#define TAG_NOTIC L":_NOTIC_: "
#define TAG_ERROR L":_ERROR_: "
#define TAG_COM_S L":_COM_S_: "
#define TAG_COM_R L":_COM_R_: "

// Standard messages of the start and end lines and of the frame of a block.
#define LOG_TEXT_START L"_________________________"
#define LOG_TEXT_END   L"^^^^^^^^^^^^^^^^^^^^"
#define LOG_TEXT_FRAME L"+------------------------------------------------------"

// Writes "[%-40s : %-05d]%s %s" of (function, line, tag, message) in one OutputDebugStringW
// call. The message is formatted from lpFormat with the Windows wide conventions (%s takes a
// wide string). Text of outside origin must be passed as an argument, never as lpFormat.
void DebugLog(const wchar_t* lpFunction, int nLine, const wchar_t* lpTag, const wchar_t* lpFormat, ...);

namespace rig_log {

// The calling function's qualified name ("CIniMngr::SetPathName", "Thread_WaitComm"),
// cut at compile time out of the compiler's full signature text.
struct FunctionName {
    wchar_t text[128];
};

constexpr bool IsNameChar(char c)
{
    return c == '_' || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

consteval FunctionName MakeFunctionName(const char* lpSignature)
{
    FunctionName result{};
    int length = 0;
    while (lpSignature[length] != '\0')
        ++length;
    // The parameter list opens at the first '(' outside template brackets. An operator's
    // symbol ("operator()", "operator<", "operator bool") belongs to the name: its brackets
    // and parentheses are stepped over, and the name reaches back to before the keyword.
    int open = length;
    int nameEnd = -1; // the name includes everything up to here when an operator was met
    int keyword = -1;
    int depth = 0;
    for (int i = 0; i < length; ++i) {
        const char c = lpSignature[i];
        if (depth == 0 && c == 'o' && i + 8 <= length && (i == 0 || !IsNameChar(lpSignature[i - 1]))) {
            const char* word = "operator";
            int k = 0;
            while (k < 8 && lpSignature[i + k] == word[k])
                ++k;
            if (k == 8 && (i + 8 == length || !IsNameChar(lpSignature[i + 8]))) {
                keyword = i;
                int j = i + 8;
                while (j < length && lpSignature[j] == ' ')
                    ++j;
                if (j + 1 < length && lpSignature[j] == '(' && lpSignature[j + 1] == ')')
                    j += 2;
                while (j < length && lpSignature[j] != '(')
                    ++j;
                nameEnd = j;
                open = j;
                break;
            }
        }
        if (c == '<') ++depth;
        else if (c == '>') --depth;
        else if (c == '(' && depth == 0) { open = i; break; }
    }
    // The name starts after the last blank before it (return type, calling convention).
    const int scanFrom = keyword >= 0 ? keyword - 1 : open - 1;
    int start = 0;
    depth = 0;
    for (int i = scanFrom; i >= 0; --i) {
        const char c = lpSignature[i];
        if (c == '>') ++depth;
        else if (c == '<') --depth;
        else if (c == ' ' && depth == 0) { start = i + 1; break; }
    }
    const int end = nameEnd >= 0 ? nameEnd : open;
    // File-local functions (thread routines, helpers) are named as written in the source,
    // without the compiler's mark of the unnamed namespace.
    const char* const marks[] = {"{anonymous}::", "`anonymous namespace'::"};
    int n = 0;
    for (int i = start; i < end && n < 127;) {
        int skip = 0;
        for (const char* mark : marks) {
            int k = 0;
            while (mark[k] != '\0' && i + k < end && lpSignature[i + k] == mark[k])
                ++k;
            if (mark[k] == '\0')
                skip = k;
        }
        if (skip > 0) {
            i += skip;
            continue;
        }
        result.text[n++] = static_cast<wchar_t>(static_cast<unsigned char>(lpSignature[i]));
        ++i;
    }
    result.text[n] = L'\0';
    return result;
}

} // namespace rig_log

#define RIG_LOG(tag, ...)                                                                          \
    do {                                                                                           \
        static constexpr ::rig_log::FunctionName rigLogFunction_ =                                 \
            ::rig_log::MakeFunctionName(std::source_location::current().function_name());         \
        ::DebugLog(rigLogFunction_.text, static_cast<int>(__LINE__), tag, __VA_ARGS__);            \
    } while (0)

#define LOG_FUN_S()      RIG_LOG(TAG_FUN_S, LOG_TEXT_START)
#define LOG_FUN_E()      RIG_LOG(TAG_FUN_E, LOG_TEXT_END)
#define LOG_DATA(...)    RIG_LOG(TAG_DAT_A, __VA_ARGS__)
#define LOG_NOTICE(...)  RIG_LOG(TAG_NOTIC, __VA_ARGS__)
#define LOG_ERROR(...)   RIG_LOG(TAG_ERROR, __VA_ARGS__)
#define LOG_COM_S(...)   RIG_LOG(TAG_COM_S, __VA_ARGS__)
#define LOG_COM_R(...)   RIG_LOG(TAG_COM_R, __VA_ARGS__)
