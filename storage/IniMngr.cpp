#include "storage/IniMngr.h"

#include "storage/DebugLog.h"

#include <cwchar>
#include <new>
#include <vector>

namespace {

// Buffers for values and section lists start here and double until the answer fits. Each
// try is a full read of the file by the system: growing by a fixed step would read a
// damaged file with a 2-million-character line 3 907 times (8 s), doubling reads it 13 times.
constexpr DWORD kFirstReadChars = 512;
// A settings file is a few hundred bytes; a value or list beyond this is garbage, and what
// was read so far is enough to answer (values are cut far shorter anyway).
constexpr DWORD kLargestReadChars = 16u * 1024u * 1024u;

bool HasLineBreak(const wchar_t* lpText)
{
    return lpText != nullptr && (wcschr(lpText, L'\r') != nullptr || wcschr(lpText, L'\n') != nullptr);
}

} // namespace

CIniMngr::CIniMngr()
    : m_PathName{}
{
}

CIniMngr& CIniMngr::GetInstance()
{
    static CIniMngr instance;
    return instance;
}

std::unique_lock<std::recursive_mutex> CIniMngr::LockSequence()
{
    return std::unique_lock<std::recursive_mutex>(m_Lock);
}

bool CIniMngr::SetPathName(const wchar_t* path, bool mustExist)
{
    std::lock_guard<std::recursive_mutex> guard(m_Lock);

    wmemset(m_PathName, L'\0', kPathChars);
    if (path == nullptr)
        return true;

    // The system resolves a bare file name against the Windows folder, while the existence
    // check below would resolve it against the current folder: name one file for both.
    // A path too long for the buffer is refused, as cutting it would name another file.
    wchar_t szFull[kPathChars] = {};
    const DWORD dwLength = path[0] != L'\0' ? GetFullPathNameW(path, kPathChars, szFull, nullptr) : 0;
    if (dwLength == 0 || dwLength >= static_cast<DWORD>(kPathChars)) {
        LOG_ERROR(L"File not Found!!");
        LOG_ERROR(L"Path : %s", path);
        return false;
    }
    wmemcpy(m_PathName, szFull, dwLength + 1);

    const DWORD dwAttributes = GetFileAttributesW(m_PathName);
    if (dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return true;

    if (mustExist) {
        LOG_ERROR(L"File not Found!!");
        LOG_ERROR(L"Path : %s", m_PathName);
        return false;
    }

    // Without the byte-order mark the system would create the file in the ANSI code page on
    // the first write. A file that cannot be created is not usable: writing anyway would let
    // the system create an ANSI file after all, should the obstacle go away meanwhile.
    if (CreateNewFileAsUTF16(m_PathName) != ERROR_SUCCESS) {
        LOG_ERROR(L"CreateNewFileAsUTF16(lpPathName) != ERROR_SUCCESS");
        return false;
    }
    return true;
}

DWORD CIniMngr::CreateNewFileAsUTF16(const wchar_t* lpPathName)
{
    if (lpPathName == nullptr || lpPathName[0] == L'\0')
        return ERROR_INVALID_NAME;

    HANDLE hFile = CreateFileW(lpPathName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError();

    static const BYTE kByteOrderMark[2] = {0xFF, 0xFE};
    DWORD dwWritten = 0;
    DWORD dwResult = ERROR_SUCCESS;
    if (!WriteFile(hFile, kByteOrderMark, sizeof(kByteOrderMark), &dwWritten, nullptr))
        dwResult = GetLastError();
    else if (dwWritten != sizeof(kByteOrderMark))
        dwResult = ERROR_WRITE_FAULT;
    CloseHandle(hFile);

    // A file without its mark would turn into an ANSI file at the first write.
    if (dwResult != ERROR_SUCCESS)
        DeleteFileW(lpPathName);
    return dwResult;
}

bool CIniMngr::ReadWhole(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, bool bSectionNames,
                         std::wstring& out)
{
    out.clear();
    // The system answers "too small" with the capacity minus 2 for a list, minus 1 for a value.
    const DWORD dwMargin = bSectionNames ? 2 : 1;
    try {
        std::vector<wchar_t> buffer;
        for (DWORD dwCapacity = kFirstReadChars;; dwCapacity *= 2) {
            buffer.assign(dwCapacity, L'\0');
            const DWORD dwRead =
                bSectionNames
                    ? GetPrivateProfileSectionNamesW(buffer.data(), dwCapacity, m_PathName)
                    : static_cast<DWORD>(GetPrivateProfileStringW(section, key, defaultValue, buffer.data(),
                                                                  dwCapacity, m_PathName));
            if (dwRead + dwMargin < dwCapacity || dwCapacity >= kLargestReadChars) {
                const DWORD dwLength = dwRead < dwCapacity ? dwRead : dwCapacity - 1;
                out.assign(buffer.data(), dwLength);
                return true;
            }
        }
    } catch (const std::bad_alloc&) {
        out.clear();
        return false;
    }
}

bool CIniMngr::IsSectionExist(const wchar_t* section)
{
    if (section == nullptr)
        return false;

    std::lock_guard<std::recursive_mutex> guard(m_Lock);

    std::wstring names;
    if (m_PathName[0] != L'\0')
        ReadWhole(nullptr, nullptr, nullptr, true, names);

    // The list is a run of zero-terminated names ended by an empty one.
    size_t pos = 0;
    while (pos < names.size() && names[pos] != L'\0') {
        const wchar_t* pName = names.c_str() + pos;
        // Ordinal comparison without case, over all of Unicode, as the system finds sections.
        if (CompareStringOrdinal(pName, -1, section, -1, TRUE) == CSTR_EQUAL)
            return true;
        pos += wcslen(pName) + 1;
    }

    LOG_ERROR(L"FilePath: %s ", m_PathName);
    LOG_ERROR(L"Section : %s - Not Exist!!", section);
    return false;
}

int CIniMngr::GetString(const wchar_t* section, const wchar_t* key, wchar_t* dst, int dstLen,
                        const wchar_t* defaultValue)
{
    if (dst == nullptr || dstLen <= 0)
        return 0;
    dst[0] = L'\0';

    std::lock_guard<std::recursive_mutex> guard(m_Lock);

    // Without a section or key name the system would answer with lists of names instead of
    // a value; without a current file it would look in the Windows folder.
    std::wstring value;
    if (section != nullptr && key != nullptr && m_PathName[0] != L'\0')
        ReadWhole(section, key, defaultValue != nullptr ? defaultValue : L"", false, value);

    if (value.empty() && defaultValue != nullptr)
        value = defaultValue;

    const size_t copyLength = value.size() < static_cast<size_t>(dstLen - 1) ? value.size() : static_cast<size_t>(dstLen - 1);
    wmemcpy(dst, value.c_str(), copyLength);
    dst[copyLength] = L'\0';

    return value.size() < static_cast<size_t>(dstLen) ? static_cast<int>(value.size()) : dstLen;
}

int CIniMngr::GetInt(const wchar_t* section, const wchar_t* key, int& out, int defaultValue)
{
    wchar_t szText[65] = {};
    const int length = GetString(section, key, szText, 64, nullptr);
    if (szText[0] == L'\0')
        out = defaultValue;
    else
        out = static_cast<int>(wcstol(szText, nullptr, 10));
    return length;
}

bool CIniMngr::WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value)
{
    // A missing key name would delete the whole section, a missing value the key; a line
    // break would write lines of its own into a file that other programs read.
    if (section == nullptr || key == nullptr || HasLineBreak(section) || HasLineBreak(key) || HasLineBreak(value))
        return false;

    std::lock_guard<std::recursive_mutex> guard(m_Lock);
    if (m_PathName[0] == L'\0')
        return false;
    return WritePrivateProfileStringW(section, key, value != nullptr ? value : L"", m_PathName) != FALSE;
}

bool CIniMngr::WriteInt(const wchar_t* section, const wchar_t* key, int value)
{
    wchar_t szText[65] = {};
    _snwprintf(szText, 64, L"%d", value);
    szText[64] = L'\0';
    if (section == nullptr || key == nullptr)
        return false;
    return WriteString(section, key, szText);
}
