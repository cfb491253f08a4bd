// Loads the built Corvane.exe's resources through the Windows resource, version and type-library calls.
#include <windows.h>
#include <oleauto.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Corvane.exe lies two directories above this test program in the build tree.
std::wstring CorvanePath()
{
    WCHAR szPath[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    std::wstring path(szPath);
    for (int i = 0; i < 3; ++i)
        path.resize(path.find_last_of(L'\\'));
    return path + L"\\Corvane.exe";
}

class CDataModule
{
public:
    explicit CDataModule(const std::wstring& path)
        : m_hModule(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~CDataModule() { if (m_hModule) FreeLibrary(m_hModule); }
    HMODULE m_hModule;
};

TEST(BuiltResources, ScriptStringVersionAndTypeLibraryLoad)
{
    const std::wstring path = CorvanePath();
    CDataModule module(path);
    ASSERT_NE(module.m_hModule, nullptr) << GetLastError();

    HRSRC hScript = FindResourceExW(module.m_hModule, L"REGISTRY", MAKEINTRESOURCEW(101),
                                    MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(hScript, nullptr);
    const char* pScript = static_cast<const char*>(LockResource(LoadResource(module.m_hModule, hScript)));
    const std::string script(pScript, SizeofResource(module.m_hModule, hScript));
    EXPECT_EQ(script.substr(0, 9), "HKCR\r\n{\r\n");
    EXPECT_EQ(script.substr(script.size() - 3), "}\r\n");

    WCHAR szName[256] = {};
    EXPECT_EQ(LoadStringW(module.m_hModule, 100, szName, 256), 10);
    EXPECT_STREQ(szName, L"ZetCorvane");

    DWORD dwHandle = 0;
    const DWORD cbInfo = GetFileVersionInfoSizeW(path.c_str(), &dwHandle);
    ASSERT_GT(cbInfo, 0u);
    std::vector<BYTE> info(cbInfo);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, cbInfo, info.data()));
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT cbFixed = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbFixed));
    EXPECT_EQ(pFixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(pFixed->dwFileVersionLS, 0x00000001u);
    LPWSTR pszDescription = nullptr;
    UINT cchDescription = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\StringFileInfo\\040904B0\\FileDescription",
                               reinterpret_cast<void**>(&pszDescription), &cchDescription));
    EXPECT_STREQ(pszDescription, L"ZetCorvane");

    ITypeLib* pTypeLib = nullptr;
    ASSERT_EQ(LoadTypeLibEx(path.c_str(), REGKIND_NONE, &pTypeLib), S_OK);
    BSTR bstrName = nullptr;
    BSTR bstrHelp = nullptr;
    ASSERT_EQ(pTypeLib->GetDocumentation(-1, &bstrName, &bstrHelp, nullptr, nullptr), S_OK);
    EXPECT_STREQ(bstrName, L"CorvaneLib");
    EXPECT_STREQ(bstrHelp, L"Corvane 1.0 Type Library");
    SysFreeString(bstrName);
    SysFreeString(bstrHelp);
    pTypeLib->Release();
}

}  // namespace
