#include "storage/UtilityTools.h"

#include "storage/DebugLog.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {
constexpr size_t kPathChars = 260;

// Copies at most cchOut - 1 characters and always terminates.
void CopyText(wchar_t* lpOut, size_t cchOut, const wchar_t* lpText)
{
    if (cchOut == 0)
        return;
    size_t n = 0;
    for (; lpText[n] != L'\0' && n + 1 < cchOut; ++n)
        lpOut[n] = lpText[n];
    lpOut[n] = L'\0';
}

// Splits a path; false (and all parts empty) when a part does not fit its buffer.
bool SplitPath(const wchar_t* lpPath, wchar_t* lpDrive, wchar_t* lpDir, wchar_t* lpName, wchar_t* lpExt)
{
    if (_wsplitpath_s(lpPath, lpDrive, kPathChars, lpDir, kPathChars, lpName, kPathChars, lpExt, kPathChars) != 0) {
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
    CopyText(lpOut, kPathChars, szFolder);
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
    CopyText(lpOut, kPathChars, szResult);
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
    CopyText(lpOut, kPathChars, bWithDot ? szExt : szExt + 1);
}

bool CUtilityTools::Create_Directory(const wchar_t* lpPath)
{
    if (lpPath == nullptr)
        return false;

    LOG_FUN_S();
    LOG_DATA(LOG_TEXT_FRAME);
    LOG_DATA(L"| Input Path : %s", lpPath);
    LOG_DATA(LOG_TEXT_FRAME);

    wchar_t szFolder[kPathChars] = {};
    GetFolderOfPath(lpPath, szFolder);

    // A rooted path without a drive (\Data\) keeps its leading backslashes.
    wchar_t szChain[kPathChars] = {};
    size_t chainLength = 0;
    const wchar_t* p = szFolder;
    while (*p == L'\\' && chainLength + 1 < kPathChars)
        szChain[chainLength++] = *p++;

    while (*p != L'\0') {
        const wchar_t* end = wcschr(p, L'\\');
        const size_t partLength = end != nullptr ? static_cast<size_t>(end - p) : wcslen(p);
        if (partLength > 0) {
            if (chainLength + partLength + 1 >= kPathChars)
                break; // cannot happen: the folder part itself fits 260 characters
            wmemcpy(szChain + chainLength, p, partLength);
            chainLength += partLength;
            szChain[chainLength++] = L'\\';
            szChain[chainLength] = L'\0';

            if (CreateDirectoryW(szChain, nullptr)) {
                LOG_DATA(L"| Execute - ::CreateDirectory()");
                LOG_DATA(L"| Path   : %s", szChain);
                LOG_DATA(L"| Result : %s", L"true");
                LOG_DATA(L"Result : Directory created!!");
            } else {
                const DWORD dwError = GetLastError();
                if (dwError != ERROR_ALREADY_EXISTS && dwError != ERROR_ACCESS_DENIED) {
                    LOG_ERROR(L"Result : %s", FormatError(dwError));
                    LOG_ERROR(L"CodeNo : %d", static_cast<int>(dwError));
                    LOG_FUN_E();
                    return false;
                }
            }
        }
        if (end == nullptr)
            break;
        p = end + 1;
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
    wmemset(g_szErrorText, L'\0', 1024);
    wchar_t* pSystemText = nullptr;
    const DWORD dwLength = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, dwCode,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&pSystemText), 0, nullptr);
    if (dwLength != 0 && pSystemText != nullptr)
        CopyText(g_szErrorText, 1024, pSystemText);
    if (pSystemText != nullptr)
        LocalFree(pSystemText);
    return g_szErrorText;
}

void CUtilityTools::ToNarrow(const wchar_t* lpText, char* lpOut, size_t cbOut)
{
    if (lpOut == nullptr || cbOut == 0)
        return;
    lpOut[0] = '\0';
    if (lpText == nullptr)
        return;
    const size_t length = wcslen(lpText);
    std::vector<char> temp(length * 2 + 2, '\0');
    const int written = WideCharToMultiByte(CP_ACP, 0, lpText, -1, temp.data(), static_cast<int>(temp.size()), nullptr,
                                            nullptr);
    if (written <= 0)
        return;
    size_t n = 0;
    for (; temp[n] != '\0' && n + 1 < cbOut; ++n)
        lpOut[n] = temp[n];
    lpOut[n] = '\0';
}
