// CRegKeyHandle: the registry calls behind every key the program opens, writes or removes.
#include "registrar/RegKeyHandle.h"

#include <cwchar>

namespace
{
constexpr REGSAM kViewBits = KEY_WOW64_64KEY | KEY_WOW64_32KEY;

typedef LONG(WINAPI* PFN_REG_DELETE_KEY_EX)(HKEY, LPCWSTR, REGSAM, DWORD);

// RegDeleteKeyExW is missing on older systems; advapi32 is already loaded, so it is only looked up.
PFN_REG_DELETE_KEY_EX LookUpRegDeleteKeyEx()
{
    HMODULE hAdvapi = GetModuleHandleW(L"Advapi32.dll");
    if (hAdvapi == nullptr)
        return nullptr;
    // Through the generic function type, which converts to any other without a cast warning.
    return reinterpret_cast<PFN_REG_DELETE_KEY_EX>(
        reinterpret_cast<void (*)()>(GetProcAddress(hAdvapi, "RegDeleteKeyExW")));
}
}  // namespace

CRegKeyHandle::~CRegKeyHandle()
{
    CloseKey();
}

LONG CRegKeyHandle::OpenKey(HKEY hParent, LPCWSTR pszName, REGSAM samDesired)
{
    HKEY hKey = nullptr;
    LONG lResult = RegOpenKeyExW(hParent, pszName, 0, samDesired, &hKey);
    if (lResult == ERROR_SUCCESS)
        Take(hKey, samDesired);
    return lResult;
}

LONG CRegKeyHandle::CreateKey(HKEY hParent, LPCWSTR pszName, LPWSTR pszClass, DWORD dwOptions, REGSAM samDesired,
                              LPSECURITY_ATTRIBUTES pSecurity, LPDWORD pdwDisposition)
{
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;
    LONG lResult = RegCreateKeyExW(hParent, pszName, 0, pszClass, dwOptions, samDesired, pSecurity, &hKey,
                                   &dwDisposition);
    if (pdwDisposition != nullptr)
        *pdwDisposition = dwDisposition;
    if (lResult == ERROR_SUCCESS)
        Take(hKey, samDesired);
    return lResult;
}

// A newly opened key replaces the one held; the view bits go with it to every removal below it.
void CRegKeyHandle::Take(HKEY hKey, REGSAM samDesired)
{
    CloseKey();
    m_hKey = hKey;
    m_samView = samDesired & kViewBits;
}

LONG CRegKeyHandle::CloseKey()
{
    LONG lResult = ERROR_SUCCESS;
    if (m_hKey != nullptr)
        lResult = RegCloseKey(m_hKey);
    m_hKey = nullptr;
    m_samView = 0;
    return lResult;
}

LONG CRegKeyHandle::WriteString(LPCWSTR pszValueName, LPCWSTR pszText, DWORD dwType)
{
    if (pszText == nullptr)
        return ERROR_INVALID_DATA;
    const DWORD cbData = static_cast<DWORD>((wcslen(pszText) + 1) * sizeof(WCHAR));
    return RegSetValueExW(m_hKey, pszValueName, 0, dwType, reinterpret_cast<const BYTE*>(pszText), cbData);
}

LONG CRegKeyHandle::WriteDword(LPCWSTR pszValueName, DWORD dwValue)
{
    return RegSetValueExW(m_hKey, pszValueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dwValue),
                          sizeof(dwValue));
}

LONG CRegKeyHandle::WriteMultiString(LPCWSTR pszValueName, LPCWSTR pszList)
{
    if (pszList == nullptr)
        return ERROR_INVALID_DATA;
    // Up to and including the first empty string, which ends the list.
    size_t nChars = 0;
    for (;;)
    {
        const size_t nLength = wcslen(pszList + nChars);
        nChars += nLength + 1;
        if (nLength == 0)
            break;
    }
    return RegSetValueExW(m_hKey, pszValueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(pszList),
                          static_cast<DWORD>(nChars * sizeof(WCHAR)));
}

LONG CRegKeyHandle::ReadString(LPCWSTR pszValueName, LPWSTR pszBuffer, ULONG* pnChars)
{
    const ULONG nBufferChars = *pnChars;
    *pnChars = 0;
    // The byte size must not wrap for a caller's huge count; no string value comes near it.
    DWORD cbData = nBufferChars > MAXDWORD / sizeof(WCHAR) ? MAXDWORD & ~1ul : nBufferChars * sizeof(WCHAR);
    DWORD dwType = 0;
    LONG lResult = RegQueryValueExW(m_hKey, pszValueName, nullptr, &dwType, reinterpret_cast<BYTE*>(pszBuffer),
                                    &cbData);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    if (dwType != REG_SZ && dwType != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (pszBuffer != nullptr)
    {
        if (cbData == 0)
        {
            if (nBufferChars > 0)
                pszBuffer[0] = L'\0';
        }
        else if (cbData % sizeof(WCHAR) != 0 || pszBuffer[cbData / sizeof(WCHAR) - 1] != L'\0')
        {
            return ERROR_INVALID_DATA;
        }
    }
    *pnChars = cbData / sizeof(WCHAR);
    return ERROR_SUCCESS;
}

LONG CRegKeyHandle::DeleteChild(LPCWSTR pszSubkey)
{
    // Looked up at the first removal and remembered, found or not, for the rest of the process.
    static const PFN_REG_DELETE_KEY_EX s_pfnRegDeleteKeyEx = LookUpRegDeleteKeyEx();
    if (s_pfnRegDeleteKeyEx != nullptr)
        return s_pfnRegDeleteKeyEx(m_hKey, pszSubkey, m_samView, 0);
    return RegDeleteKeyW(m_hKey, pszSubkey);
}

LONG CRegKeyHandle::DeleteTree(LPCWSTR pszSubkey)
{
    CRegKeyHandle subkey;
    LONG lResult = subkey.OpenKey(m_hKey, pszSubkey, KEY_READ | KEY_WRITE | m_samView);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    // Index 0 every time: each subkey found is gone before the next look. The loop ends when none is left,
    // or when a name does not fit the buffer (the final removal then reports the key as not empty).
    for (;;)
    {
        WCHAR szChild[256];
        DWORD nChildChars = 256;
        if (RegEnumKeyExW(subkey.m_hKey, 0, szChild, &nChildChars, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        lResult = subkey.DeleteTree(szChild);
        if (lResult != ERROR_SUCCESS)
            return lResult;
    }
    subkey.CloseKey();
    return DeleteChild(pszSubkey);
}

void CRegKeyHandle::Lend(HKEY hKey)
{
    m_hKey = hKey;
    m_samView = 0;
}

HKEY CRegKeyHandle::Reclaim()
{
    HKEY hKey = m_hKey;
    m_hKey = nullptr;
    m_samView = 0;
    return hKey;
}
