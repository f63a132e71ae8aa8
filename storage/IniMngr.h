// Reads and writes the program's settings files: UTF-16 INI files that other programs read
// and write too, so every access goes through the system's private-profile functions and the
// files look exactly as the system makes them. The program shares one instance
// (CIniMngr::GetInstance()); tests and tools may create their own.
#pragma once

#include <windows.h>

#include <mutex>
#include <string>

class CIniMngr {
public:
    // Characters of a path, terminator included.
    static constexpr int kPathChars = 260;

    CIniMngr();
    virtual ~CIniMngr() = default;
    CIniMngr(const CIniMngr&) = delete;
    CIniMngr& operator=(const CIniMngr&) = delete;

    // The process-wide instance: it exists from its first use until the process ends.
    static CIniMngr& GetInstance();

    // The current file is shared by every caller of one instance. A caller that names a file
    // and then reads or writes it holds this lock for the whole sequence, so no other
    // SetPathName can slip in between. The lock is recursive; every operation takes it too.
    [[nodiscard]] std::unique_lock<std::recursive_mutex> LockSequence();

    // Makes path (resolved to a full path) the current file. True when it can be used: it
    // exists, or mustExist is clear and it was created as an empty UTF-16 file. A path that
    // does not fit MAX_PATH is refused rather than cut to another file's name. path nullptr
    // leaves no current file and returns true.
    bool SetPathName(const wchar_t* path, bool mustExist);

    // Creates (replacing) lpPathName holding only the UTF-16 LE byte-order mark, so that
    // the system keeps the file in UTF-16. ERROR_SUCCESS or the system's error code.
    static DWORD CreateNewFileAsUTF16(const wchar_t* lpPathName);

    // True when the current file has the section; letter case is ignored.
    bool IsSectionExist(const wchar_t* section);

    // Reads the value (whole, however long) into dst, cut to dstLen - 1 characters and
    // always terminated. A missing key or an empty value gives defaultValue when one is
    // given. Returns the length of the value, at most dstLen.
    int GetString(const wchar_t* section, const wchar_t* key, wchar_t* dst, int dstLen,
                  const wchar_t* defaultValue = nullptr);

    // Reads a decimal value: a missing key or an empty value gives defaultValue; a text that
    // does not start with a number gives 0. Returns the length of the text read.
    int GetInt(const wchar_t* section, const wchar_t* key, int& out, int defaultValue);

    // Stores the value, creating the section and the key when missing. value nullptr is
    // stored as the empty text. False when the system refused, and for a missing section or
    // key name or a text holding a line break (which would add lines to the file).
    bool WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value);

    // Stores the value as "%d" text.
    bool WriteInt(const wchar_t* section, const wchar_t* key, int value);

    // The current file; empty when there is none.
    const wchar_t* GetPathName() const { return m_PathName; }

private:
    // Calls the system's reader with a buffer that grows until the whole answer fits.
    // bSectionNames reads the list of section names instead of one value.
    bool ReadWhole(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, bool bSectionNames,
                   std::wstring& out);

    wchar_t m_PathName[kPathChars];
    std::recursive_mutex m_Lock;
};
