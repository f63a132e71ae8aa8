#include "storage/UtilityTools.h"

#include "storage/DebugLog.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace {
constexpr size_t kPathChars = 260;

// Splits a path; false (and all parts empty) when it is longer than a path buffer. The
// length is checked first: the CRT treats a part too long for its buffer as an invalid
// parameter, which ends the process.
bool SplitPath(const wchar_t* lpPath, wchar_t* lpDrive, wchar_t* lpDir, wchar_t* lpName, wchar_t* lpExt)
{
    if (wcsnlen(lpPath, kPathChars) >= kPathChars ||
        _wsplitpath_s(lpPath, lpDrive, kPathChars, lpDir, kPathChars, lpName, kPathChars, lpExt, kPathChars) != 0) {
        lpDrive[0] = lpDir[0] = lpName[0] = lpExt[0] = L'\0';
        return false;
    }
    return true;
}

// Reads the whole version resource of a file; empty when it has none or it cannot be read.
std::vector<BYTE> ReadVersionBlock(const wchar_t* lpPath)
{
    DWORD dwHandle = 0;
    const DWORD dwSize = GetFileVersionInfoSizeW(lpPath, &dwHandle);
    if (dwSize == 0)
        return {};
    std::vector<BYTE> block(dwSize);
    if (!GetFileVersionInfoW(lpPath, 0, dwSize, block.data()))
        return {};
    return block;
}

// The system's text for an error code into lpOut (always terminated); empty when the system
// has no text for it.
void SystemErrorText(DWORD dwCode, wchar_t* lpOut, size_t cchOut)
{
    wmemset(lpOut, L'\0', cchOut);
    wchar_t* pSystemText = nullptr;
    const DWORD dwLength = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&pSystemText), 0, nullptr);
    if (dwLength != 0 && pSystemText != nullptr)
        CUtilityTools::CopyText(lpOut, cchOut, pSystemText);
    if (pSystemText != nullptr)
        LocalFree(pSystemText);
}

bool IsFolder(const wchar_t* lpPath)
{
    const DWORD dwAttributes = GetFileAttributesW(lpPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Length of the leading part of a folder path that names no folder to create: the
// backslash of a rooted path (\Data\), or server and share of a network path
// (\\server\share\, which also covers \\?\C:\).
size_t RootLength(const wchar_t* lpFolder)
{
    size_t i = 0;
    if (lpFolder[0] == L'\\' && lpFolder[1] == L'\\') {
        i = 2;
        for (int separators = 0; lpFolder[i] != L'\0' && separators < 2; ++i) {
            if (lpFolder[i] == L'\\')
                ++separators;
        }
        return i;
    }
    while (lpFolder[i] == L'\\')
        ++i;
    return i;
}

wchar_t g_szErrorText[1024];
} // namespace

void CUtilityTools::GetFolderOfPath(const wchar_t* lpPath, wchar_t* lpOut)
{
    if (lpPath == nullptr || lpOut == nullptr)
        return;
    wchar_t szDrive[kPathChars], szDir[kPathChars], szName[kPathChars], szExt[kPathChars];
    wchar_t szFolder[kPathChars * 2] = {};
    if (SplitPath(lpPath, szDrive, szDir, szName, szExt)) {
        _snwprintf(szFolder, kPathChars * 2 - 2, L"%s%s", szDrive, szDir);
        if (szFolder[0] != L'\0')
            AppendBackslash(szFolder, kPathChars * 2);
    }
    CUtilityTools::CopyText(lpOut, kPathChars, szFolder);
}

void CUtilityTools::CopyText(wchar_t* lpOut, size_t cchOut, const wchar_t* lpText)
{
    if (lpOut == nullptr || cchOut == 0)
        return;
    size_t n = 0;
    if (lpText != nullptr) {
        for (; lpText[n] != L'\0' && n + 1 < cchOut; ++n)
            lpOut[n] = lpText[n];
    }
    lpOut[n] = L'\0';
}

void CUtilityTools::AppendBackslash(wchar_t* lpText, size_t cchText)
{
    if (lpText == nullptr)
        return;
    const size_t length = wcslen(lpText);
    if (length == 0 || lpText[length - 1] == L'\\' || length + 1 >= cchText)
        return;
    lpText[length] = L'\\';
    lpText[length + 1] = L'\0';
}

void CUtilityTools::GetFileNameExt(wchar_t* lpOut, const wchar_t* lpPath)
{
    if (lpOut == nullptr || lpPath == nullptr)
        return;
    wchar_t szDrive[kPathChars], szDir[kPathChars], szName[kPathChars], szExt[kPathChars];
    wchar_t szResult[kPathChars * 2] = {};
    SplitPath(lpPath, szDrive, szDir, szName, szExt);
    _snwprintf(szResult, kPathChars * 2 - 1, L"%s%s", szName, szExt);
    CUtilityTools::CopyText(lpOut, kPathChars, szResult);
}

void CUtilityTools::GetFileExt(const wchar_t* lpPath, wchar_t* lpOut, bool bWithDot)
{
    if (lpOut == nullptr)
        return;
    lpOut[0] = L'\0';
    if (lpPath == nullptr)
        return;
    wchar_t szDrive[kPathChars], szDir[kPathChars], szName[kPathChars], szExt[kPathChars];
    SplitPath(lpPath, szDrive, szDir, szName, szExt);
    if (szExt[0] == L'\0')
        return;
    CUtilityTools::CopyText(lpOut, kPathChars, bWithDot ? szExt : szExt + 1);
}

bool CUtilityTools::Create_Directory(const wchar_t* lpPath)
{
    if (lpPath == nullptr)
        return false;

    LOG_FUN_S();
    LOG_DATA(LOG_TEXT_FRAME);
    LOG_DATA(L"| Input Path : %s", lpPath);
    LOG_DATA(LOG_TEXT_FRAME);

    DWORD dwFailure = 0;
    // A longer path cannot be split without losing part of it, and a cut path would
    // create other folders than the ones asked for.
    if (wcsnlen(lpPath, kPathChars) >= kPathChars)
        dwFailure = ERROR_FILENAME_EXCED_RANGE;

    wchar_t szFolder[kPathChars] = {};
    if (dwFailure == 0)
        GetFolderOfPath(lpPath, szFolder);
    for (wchar_t* q = szFolder; *q != L'\0'; ++q) {
        if (*q == L'/')
            *q = L'\\';
    }

    wchar_t szChain[kPathChars] = {};
    size_t chainLength = RootLength(szFolder);
    wmemcpy(szChain, szFolder, chainLength);
    const wchar_t* p = szFolder + chainLength;

    // Error of the last creation attempt; 0 when it created its folder.
    DWORD dwLastError = 0;
    while (dwFailure == 0 && *p != L'\0') {
        const wchar_t* end = wcschr(p, L'\\');
        const size_t partLength = end != nullptr ? static_cast<size_t>(end - p) : wcslen(p);
        if (partLength > 0) {
            // Cannot overflow: the chain never grows beyond the folder part, which fits.
            wmemcpy(szChain + chainLength, p, partLength);
            chainLength += partLength;
            szChain[chainLength++] = L'\\';
            szChain[chainLength] = L'\0';

            if (CreateDirectoryW(szChain, nullptr)) {
                dwLastError = 0;
                LOG_DATA(L"| Execute - ::CreateDirectory()");
                LOG_DATA(L"| Path   : %s", szChain);
                LOG_DATA(L"| Result : %s", L"true");
                LOG_DATA(L"Result : Directory created!!");
            } else {
                dwLastError = GetLastError();
                // Existing folders and drive roots answer 183 or 5; an inner folder that we
                // may not open can still lead to one that we may create.
                if (dwLastError != ERROR_ALREADY_EXISTS && dwLastError != ERROR_ACCESS_DENIED)
                    dwFailure = dwLastError;
            }
        }
        if (end == nullptr)
            break;
        p = end + 1;
    }

    // 183 and 5 say nothing about the last folder: a file of that name, or a folder that
    // we may not create, must not be reported as an existing folder.
    if (dwFailure == 0 && szFolder[0] != L'\0' && !IsFolder(szFolder)) {
        const DWORD dwAttributesError = GetLastError();
        dwFailure = dwLastError != 0 ? dwLastError : (dwAttributesError != 0 ? dwAttributesError : ERROR_PATH_NOT_FOUND);
    }

    if (dwFailure != 0) {
        // Own text buffer: this may run on any thread, and FormatError's buffer is shared.
        wchar_t szErrorText[1024];
        SystemErrorText(dwFailure, szErrorText, 1024);
        LOG_ERROR(L"Result : %s", szErrorText);
        LOG_ERROR(L"CodeNo : %d", static_cast<int>(dwFailure));
        LOG_FUN_E();
        return false;
    }

    LOG_FUN_E();
    return true;
}

std::wstring CUtilityTools::GetFileVersion(const wchar_t* lpPath)
{
    const std::vector<BYTE> block = ReadVersionBlock(lpPath);
    if (block.empty())
        return L"1.0.0.0";

    VS_FIXEDFILEINFO* pInfo = nullptr;
    UINT uLength = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&pInfo), &uLength) || pInfo == nullptr)
        return L"";

    wchar_t szVersion[64] = {};
    _snwprintf(szVersion, 63, L"%d.%d.%d.%d", HIWORD(pInfo->dwFileVersionMS), LOWORD(pInfo->dwFileVersionMS),
               HIWORD(pInfo->dwFileVersionLS), LOWORD(pInfo->dwFileVersionLS));
    return szVersion;
}

std::wstring CUtilityTools::GetFileDescription(const wchar_t* lpPath)
{
    static const wchar_t kFallback[] = L"RT0042";
    const std::vector<BYTE> block = ReadVersionBlock(lpPath);
    if (block.empty())
        return kFallback;

    struct Translation {
        WORD wLanguage;
        WORD wCodePage;
    };
    Translation* pTranslation = nullptr;
    UINT uLength = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation),
                        &uLength) ||
        pTranslation == nullptr || uLength < sizeof(Translation))
        return kFallback;

    wchar_t szQuery[128] = {};
    _snwprintf(szQuery, 127, L"\\StringFileInfo\\%04X%04X\\%s", pTranslation->wLanguage, pTranslation->wCodePage,
               L"FileDescription");
    wchar_t* pText = nullptr;
    if (!VerQueryValueW(block.data(), szQuery, reinterpret_cast<void**>(&pText), &uLength) || pText == nullptr)
        return kFallback;
    return std::wstring(pText, wcsnlen(pText, uLength));
}

const wchar_t* CUtilityTools::FormatError(unsigned long dwCode)
{
    SystemErrorText(dwCode, g_szErrorText, 1024);
    return g_szErrorText;
}

std::wstring CUtilityTools::SystemMessage(unsigned long dwCode)
{
    wchar_t szText[1024];
    SystemErrorText(dwCode, szText, 1024);
    std::wstring text = szText;
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
        text.pop_back();
    if (text.empty())
        text = L"System error " + std::to_wstring(dwCode) + L".";
    return text;
}

void CUtilityTools::ToNarrow(const wchar_t* lpText, char* lpOut, size_t cbOut)
{
    if (lpOut == nullptr || cbOut == 0)
        return;
    lpOut[0] = '\0';
    if (lpText == nullptr || lpText[0] == L'\0')
        return;

    // Ask the system for the size: with UTF-8 as the ANSI code page a character takes up to
    // three bytes, more than twice the wide length.
    const int cbNeeded = WideCharToMultiByte(CP_ACP, 0, lpText, -1, nullptr, 0, nullptr, nullptr);
    if (cbNeeded <= 0)
        return;
    if (static_cast<size_t>(cbNeeded) <= cbOut) {
        if (WideCharToMultiByte(CP_ACP, 0, lpText, -1, lpOut, cbNeeded, nullptr, nullptr) <= 0)
            lpOut[0] = '\0';
        lpOut[cbNeeded - 1] = '\0';
        return;
    }

    // Too long for lpOut: keep whole characters only, never the first half of a
    // double-byte character or of a surrogate pair.
    size_t used = 0;
    for (const wchar_t* p = lpText; *p != L'\0';) {
        const int units = (IS_HIGH_SURROGATE(p[0]) && IS_LOW_SURROGATE(p[1])) ? 2 : 1;
        char bytes[8];
        const int cb = WideCharToMultiByte(CP_ACP, 0, p, units, bytes, static_cast<int>(sizeof(bytes)), nullptr, nullptr);
        if (cb <= 0 || used + static_cast<size_t>(cb) + 1 > cbOut)
            break;
        memcpy(lpOut + used, bytes, static_cast<size_t>(cb));
        used += static_cast<size_t>(cb);
        p += units;
    }
    lpOut[used] = '\0';
}
