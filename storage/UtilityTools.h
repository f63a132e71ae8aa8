// Small operations shared by the subsystems: path splitting, folder creation with a trace,
// version resource read-out, system error texts and conversion to the ANSI code page.
// One instance lives for the whole run; every operation also works without one.
#pragma once

#include <cstddef>
#include <string>

class CUtilityTools {
public:
    CUtilityTools() = default;
    virtual ~CUtilityTools() = default;

    // Folder part of lpPath with a trailing backslash, at most 259 characters, into lpOut
    // (a buffer of 260 characters). C:\Program\Tool.exe gives C:\Program\ .
    static void GetFolderOfPath(const wchar_t* lpPath, wchar_t* lpOut);

    // Copies at most cchOut - 1 characters of lpText (none when it is null) and always
    // terminates lpOut.
    static void CopyText(wchar_t* lpOut, size_t cchOut, const wchar_t* lpText);

    // Appends a backslash unless the text already ends in one. cchText is the buffer size.
    static void AppendBackslash(wchar_t* lpText, size_t cchText = 260);

    // File name with extension of lpPath into lpOut (260 characters).
    static void GetFileNameExt(wchar_t* lpOut, const wchar_t* lpPath);

    // Extension of lpPath into lpOut (260 characters), with or without its dot; empty when
    // the file name has none.
    static void GetFileExt(const wchar_t* lpPath, wchar_t* lpOut, bool bWithDot);

    // Creates every missing folder of the folder part of lpPath (text after the last
    // backslash counts as a file name). True only when the whole chain exists afterwards as
    // folders; safe on any thread (it does not use FormatError's buffer).
    static bool Create_Directory(const wchar_t* lpPath);

    // "major.minor.build.revision" of the file's version resource; "1.0.0.0" without one.
    static std::wstring GetFileVersion(const wchar_t* lpPath);

    // FileDescription of the file's version resource; "RT0042" when it cannot be read.
    static std::wstring GetFileDescription(const wchar_t* lpPath);

    // The system's text for an error code, in one process-wide buffer that the next call
    // overwrites. User-interface thread only.
    static const wchar_t* FormatError(unsigned long dwCode);
    // The same as a string of its own, without its line break ("System error 1234." when the
    // system has no text for the code); any thread.
    static std::wstring SystemMessage(unsigned long dwCode);

    // lpText in the system's ANSI code page into lpOut (cbOut bytes, always terminated).
    // Characters outside the code page become its default character; a text too long for
    // lpOut is cut after its last whole character that fits.
    static void ToNarrow(const wchar_t* lpText, char* lpOut, size_t cbOut);
};
