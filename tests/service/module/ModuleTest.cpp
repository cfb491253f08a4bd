// The registration flows in-process: a step that fails after the service entry was made.
#include "service/Module.h"
#include "tests/registrar/RegistryTree.h"

#include <gtest/gtest.h>

namespace
{
// Wine's HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes alone; per-user classes are read directly.
const std::wstring kAppId = L"Software\\Classes\\AppID\\" CORVANE_APPID;
const std::wstring kExe = L"Software\\Classes\\AppID\\Corvane.EXE";
const std::wstring kEntries = L"{@=1:Corvane|}{AppID=1:" CORVANE_APPID L"|}";
std::wstring Entries(HKEY hRoot) { return Tree(hRoot, kAppId) + Tree(hRoot, kExe); }
const std::wstring kSource = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\ZetCorvane";

// Wine's registry cannot be made to refuse one value alone, so a test points this executable's import slot of
// RegSetValueExW at a stand-in that refuses "LocalService" and hands every other call on.
extern "C" decltype(&RegSetValueExW) __imp_RegSetValueExW;
decltype(&RegSetValueExW) g_pfnSetValue;
LONG WINAPI RefuseLocalService(HKEY hKey, LPCWSTR pszName, DWORD dwReserved, DWORD dwType, const BYTE* pbData, DWORD cb)
{
    return lstrcmpW(pszName, L"LocalService") == 0 ? ERROR_ACCESS_DENIED
                                                    : g_pfnSetValue(hKey, pszName, dwReserved, dwType, pbData, cb);
}

class ModuleTest : public ::testing::Test
{
protected:
    ModuleTest() { Clean(); }
    ~ModuleTest() override { Clean(); }
    static void Clean()
    {
        g_pModule->RemoveAppIdEntries();  // also a service entry that a wrong flow created
        for (HKEY hRoot : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
            for (const std::wstring& key : {kAppId, kExe, kSource})
                RegDeleteTreeW(hRoot, key.c_str()), RegDeleteKeyW(hRoot, key.c_str());
    }
};
}  // namespace

TEST_F(ModuleTest, AFailedLocalServiceWriteFailsTheServiceSwitch)
{
    DWORD dwProtect = 0;  // the import table may be read-only
    VirtualProtect(&__imp_RegSetValueExW, sizeof(void*), PAGE_READWRITE, &dwProtect);
    g_pfnSetValue = __imp_RegSetValueExW;
    __imp_RegSetValueExW = RefuseLocalService;
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), g_pModule->RegisterAppIdEntries(TRUE));
    __imp_RegSetValueExW = g_pfnSetValue;
    // The service entry made before the refusal goes again, and so does the event source.
    EXPECT_FALSE(g_pModule->IsServiceInstalled());
    EXPECT_EQ(kEntries + L"-", Entries(HKEY_LOCAL_MACHINE) + Tree(HKEY_LOCAL_MACHINE, kSource));
}
