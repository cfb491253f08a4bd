// Loads the built Corvane.exe's resources through the Windows resource, version and type-library calls.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

TEST(BuiltResources, ScriptStringManifestVersionAndTypeLibraryLoad)
{
    HMODULE hModule = LoadLibraryExW(CORVANE_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hModule, nullptr) << GetLastError();
    auto bytes = [hModule](HRSRC hResource) {
        return hResource ? std::string(static_cast<const char*>(LockResource(LoadResource(hModule, hResource))),
                                       SizeofResource(hModule, hResource))
                         : "(missing)";
    };
    // The script is stored byte for byte: 8-bit text, CR LF line ends, no closing NUL.
    std::ifstream source(CORVANE_RGS, std::ios::binary);
    EXPECT_EQ(bytes(FindResourceExW(hModule, L"REGISTRY", MAKEINTRESOURCEW(101), MAKELANGID(LANG_ENGLISH,
                                                                                            SUBLANG_ENGLISH_US))),
              std::string(std::istreambuf_iterator<char>(source), {}));
    EXPECT_NE(bytes(FindResourceW(hModule, MAKEINTRESOURCEW(1), RT_MANIFEST)).find(
                  "level=\"asInvoker\" uiAccess=\"false\""), std::string::npos);
    WCHAR szName[256] = {};
    EXPECT_EQ(LoadStringW(hModule, 100, szName, 256), 10);
    EXPECT_STREQ(szName, L"ZetCorvane");
    FreeLibrary(hModule);

    std::vector<BYTE> info(GetFileVersionInfoSizeW(CORVANE_EXE, nullptr));
    ASSERT_TRUE(GetFileVersionInfoW(CORVANE_EXE, 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    LPWSTR pszDescription = nullptr;
    UINT cb = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cb));
    EXPECT_EQ(std::make_pair(pFixed->dwFileVersionMS, pFixed->dwFileVersionLS), std::make_pair(0x10000ul, 1ul));
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                               reinterpret_cast<void**>(&pszDescription), &cb));
    EXPECT_STREQ(pszDescription, L"ZetCorvane");

    ITypeLib* pTypeLib = nullptr;
    BSTR bstrName = nullptr, bstrHelp = nullptr;
    ASSERT_EQ(LoadTypeLibEx(CORVANE_EXE, REGKIND_NONE, &pTypeLib), S_OK);
    ASSERT_EQ(pTypeLib->GetDocumentation(-1, &bstrName, &bstrHelp, nullptr, nullptr), S_OK);
    EXPECT_STREQ(bstrName, L"CorvaneLib");
    EXPECT_STREQ(bstrHelp, L"Corvane 1.0 Type Library");
    SysFreeString(bstrName);
    SysFreeString(bstrHelp);
    pTypeLib->Release();
}
