#include "comm/link/PortList.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

namespace {
const wchar_t kSerialMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// "COM7" (any case) gives 7; anything else (an "LPT" entry, a name of a driver's own) -1.
int PortNumberOf(const wchar_t* lpName)
{
    if (_wcsnicmp(lpName, L"COM", 3) != 0 || lpName[3] == L'\0')
        return -1;
    int nPort = 0;
    for (const wchar_t* p = lpName + 3; *p != L'\0'; ++p) {
        if (!std::iswdigit(*p) || nPort > 0xFFFF)
            return -1;
        nPort = nPort * 10 + (*p - L'0');
    }
    return nPort <= 0xFFFF ? nPort : -1;
}
} // namespace

std::vector<int> PresentComPorts()
{
    std::vector<int> ports;
    HKEY hKey = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSerialMap, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return ports;
    for (DWORD dwIndex = 0;; ++dwIndex) {
        wchar_t szName[256] = {};
        wchar_t szData[64] = {};
        DWORD cchName = 255;
        DWORD cbData = sizeof(szData) - sizeof(wchar_t);
        DWORD dwType = 0;
        const LONG lResult = ::RegEnumValueW(hKey, dwIndex, szName, &cchName, nullptr, &dwType, reinterpret_cast<BYTE*>(szData), &cbData);
        if (lResult == ERROR_NO_MORE_ITEMS)
            break;
        // A value too long for a port name is no port name.
        if (lResult != ERROR_SUCCESS || dwType != REG_SZ)
            continue;
        szData[cbData / sizeof(wchar_t)] = L'\0';
        const int nPort = PortNumberOf(szData);
        if (nPort >= 0)
            ports.push_back(nPort);
    }
    ::RegCloseKey(hKey);
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

void FillPortList(HWND hCombo, int nFixed, int nSelect)
{
    const std::vector<int> present = PresentComPorts();
    std::vector<int> listed = present;
    for (int nPort = 0; nPort < nFixed; ++nPort)
        listed.push_back(nPort);
    if (nSelect >= 0)
        listed.push_back(nSelect);
    std::sort(listed.begin(), listed.end());
    listed.erase(std::unique(listed.begin(), listed.end()), listed.end());

    ::SendMessageW(hCombo, WM_SETREDRAW, FALSE, 0);
    ::SendMessageW(hCombo, CB_RESETCONTENT, 0, 0);
    for (int nPort : listed) {
        const bool bPresent = std::binary_search(present.begin(), present.end(), nPort);
        wchar_t szItem[32] = {};
        _snwprintf(szItem, 31, bPresent ? L"COM %d" : L"COM %d (absent)", nPort);
        const LRESULT nIndex = ::SendMessageW(hCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szItem));
        if (nIndex >= 0) {
            ::SendMessageW(hCombo, CB_SETITEMDATA, static_cast<WPARAM>(nIndex), static_cast<LPARAM>(nPort));
            if (nPort == nSelect)
                ::SendMessageW(hCombo, CB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
        }
    }
    ::SendMessageW(hCombo, WM_SETREDRAW, TRUE, 0);
    ::InvalidateRect(hCombo, nullptr, TRUE);
}

void RefreshPortList(HWND hCombo, int nFixed)
{
    FillPortList(hCombo, nFixed, SelectedPort(hCombo));
}

int SelectedPort(HWND hCombo)
{
    const LRESULT nIndex = ::SendMessageW(hCombo, CB_GETCURSEL, 0, 0);
    if (nIndex < 0)
        return -1;
    return static_cast<int>(::SendMessageW(hCombo, CB_GETITEMDATA, static_cast<WPARAM>(nIndex), 0));
}
