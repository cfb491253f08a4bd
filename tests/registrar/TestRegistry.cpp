// Reading and preparing the registry for the script engine's tests.
#include "tests/registrar/TestRegistry.h"

#include <gtest/gtest.h>

bool KeyExists(HKEY hRoot, const std::wstring& path)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

RegValue ReadValue(HKEY hRoot, const std::wstring& path, LPCWSTR pszName)
{
    RegValue value;
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return value;
    DWORD cbData = 0;
    if (RegQueryValueExW(hKey, pszName, nullptr, &value.dwType, nullptr, &cbData) == ERROR_SUCCESS)
    {
        value.data.resize(cbData);
        if (RegQueryValueExW(hKey, pszName, nullptr, &value.dwType, value.data.data(), &cbData) == ERROR_SUCCESS)
        {
            value.data.resize(cbData);
            value.bFound = true;
        }
    }
    RegCloseKey(hKey);
    return value;
}

namespace
{
int CountInfo(HKEY hRoot, const std::wstring& path, bool bValues)
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return -1;
    DWORD nSubkeys = 0;
    DWORD nValues = 0;
    LONG lResult = RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &nSubkeys, nullptr, nullptr, &nValues,
                                    nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS)
        return -1;
    return static_cast<int>(bValues ? nValues : nSubkeys);
}
}  // namespace

int CountValues(HKEY hRoot, const std::wstring& path)
{
    return CountInfo(hRoot, path, true);
}

int CountSubkeys(HKEY hRoot, const std::wstring& path)
{
    return CountInfo(hRoot, path, false);
}

void CreateTestKey(HKEY hRoot, const std::wstring& path)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(hRoot, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                             nullptr));
    RegCloseKey(hKey);
}

void SetTestString(HKEY hRoot, const std::wstring& path, LPCWSTR pszName, LPCWSTR pszText)
{
    HKEY hKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(hRoot, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hKey,
                                             nullptr));
    const DWORD cbText = static_cast<DWORD>((wcslen(pszText) + 1) * sizeof(WCHAR));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE*>(pszText), cbText));
    RegCloseKey(hKey);
}

void DeleteTestTree(HKEY hRoot, const std::wstring& path)
{
    RegDeleteTreeW(hRoot, path.c_str());
    RegDeleteKeyW(hRoot, path.c_str());
}

std::vector<BYTE> WideBytes(const wchar_t* pchText, size_t nChars)
{
    const BYTE* pbText = reinterpret_cast<const BYTE*>(pchText);
    return std::vector<BYTE>(pbText, pbText + nChars * sizeof(wchar_t));
}

std::vector<BYTE> StringBytes(const std::wstring& text)
{
    return WideBytes(text.c_str(), text.size() + 1);
}

CTestRoot::CTestRoot()
{
    const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string testName = pInfo != nullptr ? std::string(pInfo->test_suite_name()) + "." + pInfo->name() : "none";
    m_name = L"CorvaneTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::wstring(testName.begin(), testName.end());
    DeleteTestTree(HKEY_CURRENT_USER, Path());
    CreateTestKey(HKEY_CURRENT_USER, Path());
}

CTestRoot::~CTestRoot()
{
    DeleteTestTree(HKEY_CURRENT_USER, Path());
}

std::wstring CTestRoot::Path(const std::wstring& below) const
{
    std::wstring path = L"Software\\" + m_name;
    if (!below.empty())
        path += L"\\" + below;
    return path;
}
