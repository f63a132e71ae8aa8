// Text helpers of the simulated unit: escaping bytes for its log and for script texts, the
// fixed-position fields of a frame, and wide/narrow conversion for its options.
// Written apart from the program's own frame code on purpose: the simulator checks the
// program, so it must not share the program's mistakes.
#pragma once

#include <windows.h>

#include <string>

namespace simunit {

// Bytes as a C-like literal body: printable ASCII as is, \" \\ \r \n \t, anything else \xHH.
std::string Escape(const char* p, size_t cb);
inline std::string Escape(const std::string& s) { return Escape(s.data(), s.size()); }

// Reverses the escapes of script texts: \r \n \t \\ \s (space) \0 and \xHH (two hex digits).
// False with lpError set when an escape is unknown or incomplete.
bool Unescape(const std::string& in, std::string& out, std::string& error);

std::string Upper(std::string s);
bool EqualNoCase(const std::string& a, const std::string& b);

// Fields of a frame text by their fixed positions: "[" class(3) "_" word(4) ("]" | "_" data "]").
// valid is false when the text does not have that shape (then the fields are empty).
struct FrameFields {
    bool valid = false;
    std::string cls;
    std::string word;
    std::string data;
};
FrameFields SplitFields(const std::string& frame);

std::string ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const std::string& text);

// Strict unsigned decimal; false for anything else or a value above ulMax.
bool ParseNumber(const std::string& text, unsigned long ulMax, unsigned long& value);

} // namespace simunit
