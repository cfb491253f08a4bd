// Loads the built Corvane.exe's resources through the Windows resource, version and type-library calls.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

TEST(BuiltResources, ScriptStringVersionAndTypeLibraryLoad)
{
    HMODULE hModule = LoadLibraryExW(CORVANE_EXE, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(hModule, nullptr) << GetLastError();
    // The script is stored byte for byte: 8-bit text, CR LF line ends, no closing NUL.
    HRSRC hScript = FindResourceExW(hModule, L"REGISTRY", MAKEINTRESOURCEW(101),
                                    MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(hScript, nullptr);
    std::ifstream source(CORVANE_RGS, std::ios::binary);
    EXPECT_EQ(std::string(static_cast<const char*>(LockResource(LoadResource(hModule, hScript))),
                          SizeofResource(hModule, hScript)),
              std::string(std::istreambuf_iterator<char>(source), {}));
    WCHAR szName[256] = {};
    EXPECT_EQ(LoadStringW(hModule, 100, szName, 256), 10);
    EXPECT_STREQ(szName, L"ZetCorvane");
    HRSRC hManifest = FindResourceW(hModule, MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(hManifest, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(hModule, hManifest))),
                               SizeofResource(hModule, hManifest));
    EXPECT_NE(manifest.find("level=\"asInvoker\" uiAccess=\"false\""), std::string::npos) << manifest;
    FreeLibrary(hModule);

    std::vector<BYTE> info(GetFileVersionInfoSizeW(CORVANE_EXE, nullptr));
    ASSERT_TRUE(GetFileVersionInfoW(CORVANE_EXE, 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    LPWSTR pszDescription = nullptr;
    UINT cb = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cb));
    EXPECT_EQ(pFixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(pFixed->dwFileVersionLS, 0x00000001u);
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                               reinterpret_cast<void**>(&pszDescription), &cb));
    EXPECT_STREQ(pszDescription, L"ZetCorvane");

    ITypeLib* pTypeLib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(CORVANE_EXE, REGKIND_NONE, &pTypeLib), S_OK);
    BSTR bstrName = nullptr;
    BSTR bstrHelp = nullptr;
    ASSERT_EQ(pTypeLib->GetDocumentation(-1, &bstrName, &bstrHelp, nullptr, nullptr), S_OK);
    EXPECT_STREQ(bstrName, L"CorvaneLib");
    EXPECT_STREQ(bstrHelp, L"Corvane 1.0 Type Library");
    SysFreeString(bstrName);
    SysFreeString(bstrHelp);
    pTypeLib->Release();
}
