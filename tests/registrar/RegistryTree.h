// A registry key and everything below it as one line of text, so that a test states every key and byte it expects.
#pragma once
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

// "{values;subkeys}", sorted: name=type:data ('@': unnamed; strings with '|' for NUL, else hex), subkey name{...}.
inline std::wstring Tree(HKEY hRoot, const std::wstring& path)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return L"-";  // no such key
    std::vector<std::wstring> values, keys;
    WCHAR szName[256];
    std::vector<WCHAR> data(32768);  // on the heap: the walk nests as deep as the tree
    const BYTE* pbData = reinterpret_cast<BYTE*>(data.data());
    const WCHAR kHex[] = L"0123456789abcdef";
    for (DWORD nName = 256, cbData = 65536, dwType = 0; RegEnumValueW(hKey, values.size(), szName, &nName, nullptr,
             &dwType, reinterpret_cast<BYTE*>(data.data()), &cbData) == 0; nName = 256, cbData = 65536)
    {
        values.push_back((nName != 0 ? szName : L"@") + (L"=" + std::to_wstring(dwType)) + L":");
        const bool bText = dwType == REG_SZ || dwType == REG_MULTI_SZ;
        for (DWORD i = 0; i < cbData; i += bText ? 2 : 1)
            values.back() += bText ? std::wstring(1, data[i / 2] != 0 ? data[i / 2] : L'|')
                                   : std::wstring{kHex[pbData[i] >> 4], kHex[pbData[i] & 15]};
    }
    for (DWORD nName = 256; RegEnumKeyExW(hKey, keys.size(), szName, &nName, nullptr, nullptr, nullptr, nullptr) == 0;
         nName = 256)
        keys.push_back(szName + Tree(hKey, szName));
    RegCloseKey(hKey);
    std::sort(values.begin(), values.end());
    std::sort(keys.begin(), keys.end());
    std::wstring text;
    values.insert(values.end(), keys.begin(), keys.end());
    for (const std::wstring& item : values)
        text += (text.empty() ? L"" : L";") + item;
    return L"{" + text + L"}";
}
