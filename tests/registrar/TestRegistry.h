// Reads the real registry back for the script engine's tests, and owns their private test keys.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// One value as the registry holds it.
struct RegValue
{
    bool bFound = false;
    DWORD dwType = REG_NONE;
    std::vector<BYTE> data;
};

bool KeyExists(HKEY hRoot, const std::wstring& path);
// Null name: the key's unnamed value.
RegValue ReadValue(HKEY hRoot, const std::wstring& path, LPCWSTR pszName);
// Number of values or subkeys of a key; -1 when the key is missing.
int CountValues(HKEY hRoot, const std::wstring& path);
int CountSubkeys(HKEY hRoot, const std::wstring& path);
void CreateTestKey(HKEY hRoot, const std::wstring& path);
void SetTestString(HKEY hRoot, const std::wstring& path, LPCWSTR pszName, LPCWSTR pszText);
void DeleteTestTree(HKEY hRoot, const std::wstring& path);

// The bytes of nChars wide code units, as REG_SZ and REG_MULTI_SZ data hold them.
std::vector<BYTE> WideBytes(const wchar_t* pchText, size_t nChars);
// The bytes of a NUL-terminated text with its NUL.
std::vector<BYTE> StringBytes(const std::wstring& text);

// A key below HKEY_CURRENT_USER\Software, unique to this process and test, removed with everything below it
// when the object goes.
class CTestRoot
{
public:
    CTestRoot();
    ~CTestRoot();
    CTestRoot(const CTestRoot&) = delete;
    CTestRoot& operator=(const CTestRoot&) = delete;

    const std::wstring& Name() const { return m_name; }
    // Path below HKEY_CURRENT_USER of the root, or of a key below it.
    std::wstring Path(const std::wstring& below = std::wstring()) const;

private:
    std::wstring m_name;
};
