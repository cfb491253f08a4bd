// CRegKeyHandle: owns one open registry key and closes it on every path.
#pragma once
#include <windows.h>

class CRegKeyHandle
{
public:
    CRegKeyHandle() = default;
    ~CRegKeyHandle();
    CRegKeyHandle(const CRegKeyHandle&) = delete;
    CRegKeyHandle& operator=(const CRegKeyHandle&) = delete;

    // Results are Win32 codes (0 is success).
    LONG OpenKey(HKEY hParent, LPCWSTR pszName, REGSAM samDesired);
    LONG CreateKey(HKEY hParent, LPCWSTR pszName, LPWSTR pszClass, DWORD dwOptions, REGSAM samDesired,
                   LPSECURITY_ATTRIBUTES pSecurity, LPDWORD pdwDisposition);
    LONG CloseKey();
    LONG WriteString(LPCWSTR pszValueName, LPCWSTR pszText, DWORD dwType);
    LONG WriteDword(LPCWSTR pszValueName, DWORD dwValue);
    LONG WriteMultiString(LPCWSTR pszValueName, LPCWSTR pszList);
    // *pnChars: in, the buffer's size in code units; out, the code units read with the NUL.
    LONG ReadString(LPCWSTR pszValueName, LPWSTR pszBuffer, ULONG* pnChars);
    LONG DeleteChild(LPCWSTR pszSubkey);
    LONG DeleteTree(LPCWSTR pszSubkey);

    // A key owned by somebody else (a parent or a root key) lent for one call and taken back unclosed.
    void Lend(HKEY hKey);
    HKEY Reclaim();

    HKEY m_hKey = nullptr;
    REGSAM m_samView = 0;  // KEY_WOW64_64KEY / KEY_WOW64_32KEY bits the key was opened with

private:
    void Take(HKEY hKey, REGSAM samDesired);
};

// Lends a key that somebody else owns to a CRegKeyHandle for one scope, and always takes it back unclosed.
class CLentRegKey
{
public:
    explicit CLentRegKey(HKEY hKey) { m_key.Lend(hKey); }
    ~CLentRegKey() { m_key.Reclaim(); }
    CLentRegKey(const CLentRegKey&) = delete;
    CLentRegKey& operator=(const CLentRegKey&) = delete;

    CRegKeyHandle& Key() { return m_key; }

private:
    CRegKeyHandle m_key;
};
