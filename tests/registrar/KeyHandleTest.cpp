// CRegKeyHandle against the real registry: string reads as the mode decision uses them, writes, and removals.
#include "registrar/RegKeyHandle.h"
#include "tests/registrar/TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
void SetRaw(HKEY hKey, LPCWSTR pszName, DWORD dwType, const void* pData, DWORD cbData)
{
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(hKey, pszName, 0, dwType, static_cast<const BYTE*>(pData), cbData));
}
}  // namespace

// (A REG_SZ stored without its NUL cannot be shown here: Wine's registry reports such data with a NUL added.)
TEST(RegKeyHandle, ReadStringAcceptsOnlyWholeStrings)
{
    CTestRoot root;
    CRegKeyHandle key;
    ASSERT_EQ(ERROR_SUCCESS, key.OpenKey(HKEY_CURRENT_USER, root.Path().c_str(), KEY_READ | KEY_WRITE));
    SetRaw(key.m_hKey, L"Sz", REG_SZ, L"ZetCorvane", 22);
    SetRaw(key.m_hKey, L"Expand", REG_EXPAND_SZ, L"%x%", 8);
    SetRaw(key.m_hKey, L"Empty", REG_SZ, L"", 0);
    SetRaw(key.m_hKey, L"Odd", REG_SZ, "abc", 3);
    const DWORD dwNumber = 1;
    SetRaw(key.m_hKey, L"Number", REG_DWORD, &dwNumber, 4);

    WCHAR szText[260];
    ULONG nChars = 260;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"Sz", szText, &nChars));
    EXPECT_STREQ(L"ZetCorvane", szText);
    EXPECT_EQ(11u, nChars) << "code units read, NUL included";
    nChars = 260;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"Expand", szText, &nChars));
    EXPECT_STREQ(L"%x%", szText);
    nChars = 260;
    szText[0] = L'#';
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"Empty", szText, &nChars));
    EXPECT_STREQ(L"", szText);
    EXPECT_EQ(0u, nChars);

    for (LPCWSTR pszBad : {L"Odd", L"Number"})
    {
        nChars = 260;
        EXPECT_EQ(ERROR_INVALID_DATA, key.ReadString(pszBad, szText, &nChars)) << pszBad;
        EXPECT_EQ(0u, nChars) << pszBad;
    }
    nChars = 260;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.ReadString(L"Missing", szText, &nChars));
    nChars = 5;
    EXPECT_EQ(ERROR_MORE_DATA, key.ReadString(L"Sz", szText, &nChars)) << "does not fit five code units";
    nChars = 0;
    EXPECT_EQ(ERROR_SUCCESS, key.ReadString(L"Sz", nullptr, &nChars));
    EXPECT_EQ(11u, nChars) << "without a buffer: the size only";
}

TEST(RegKeyHandle, WritesOpensAndRemovesTrees)
{
    CTestRoot root;
    CRegKeyHandle key;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.OpenKey(HKEY_CURRENT_USER, root.Path(L"Nope").c_str(), KEY_READ));
    EXPECT_EQ(nullptr, key.m_hKey) << "a failed open leaves the handle as it was";

    DWORD dwDisposition = 0;
    ASSERT_EQ(ERROR_SUCCESS, key.CreateKey(HKEY_CURRENT_USER, root.Path(L"Tree").c_str(), nullptr,
                                           REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr, &dwDisposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), dwDisposition);
    EXPECT_EQ(ERROR_INVALID_DATA, key.WriteString(L"S", nullptr, REG_SZ));
    EXPECT_EQ(ERROR_INVALID_DATA, key.WriteMultiString(L"M", nullptr));
    EXPECT_EQ(ERROR_SUCCESS, key.WriteString(nullptr, L"unnamed", REG_SZ));
    EXPECT_EQ(ERROR_SUCCESS, key.WriteDword(L"D", 0x01020304));
    EXPECT_EQ(ERROR_SUCCESS, key.WriteMultiString(L"M", L"one\0two\0\0ignored\0"));
    EXPECT_EQ(StringBytes(L"unnamed"), ReadValue(HKEY_CURRENT_USER, root.Path(L"Tree"), nullptr).data);
    EXPECT_EQ((std::vector<BYTE>{4, 3, 2, 1}), ReadValue(HKEY_CURRENT_USER, root.Path(L"Tree"), L"D").data);
    EXPECT_EQ(WideBytes(L"one\0two\0\0", 9), ReadValue(HKEY_CURRENT_USER, root.Path(L"Tree"), L"M").data);
    EXPECT_EQ(ERROR_SUCCESS, key.CloseKey());
    EXPECT_EQ(nullptr, key.m_hKey);

    for (LPCWSTR pszBelow : {L"Tree\\A\\B\\C", L"Tree\\A\\B2", L"Tree\\Z"})
        SetTestString(HKEY_CURRENT_USER, root.Path(pszBelow), L"V", L"v");
    ASSERT_EQ(ERROR_SUCCESS, key.OpenKey(HKEY_CURRENT_USER, root.Path().c_str(), KEY_READ | KEY_WRITE));
    EXPECT_NE(ERROR_SUCCESS, key.DeleteChild(L"Tree")) << "a key with subkeys is not removed by itself";
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, root.Path(L"Tree\\A\\B\\C")));
    EXPECT_EQ(ERROR_SUCCESS, key.DeleteTree(L"Tree"));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, root.Path(L"Tree")));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, key.DeleteTree(L"Tree"));
}
