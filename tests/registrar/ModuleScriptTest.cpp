// The program's own registry script (resource 101) registered and removed for real, machine-wide and per user.
#include "registrar/RegScriptParser.h"
#include "registrar/Registrar.h"
#include "service/Module.h"
#include "tests/registrar/TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
const ReplacementPair kAppIdPairs[] = {{L"APPID", CORVANE_APPID}, {nullptr, nullptr}};

// Wine's HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\Software\Classes alone; per-user classes are read directly.
const std::wstring kClasses = L"Software\\Classes";
const std::wstring kAppIdKey = kClasses + L"\\AppID\\" CORVANE_APPID;
const std::wstring kExeKey = kClasses + L"\\AppID\\Corvane.EXE";

class ModuleScriptTest : public ::testing::Test
{
protected:
    ModuleScriptTest()
    {
        m_bUserAppIdExisted = KeyExists(HKEY_CURRENT_USER, kClasses + L"\\AppID");
        m_bUserClassesExisted = KeyExists(HKEY_CURRENT_USER, kClasses);
        RemoveEntries();
    }

    ~ModuleScriptTest() override
    {
        perUserRegistration = false;
        RemoveEntries();
        // Leave the current user's classes as they were found.
        if (!m_bUserAppIdExisted)
            RegDeleteKeyW(HKEY_CURRENT_USER, (kClasses + L"\\AppID").c_str());
        if (!m_bUserClassesExisted)
            RegDeleteKeyW(HKEY_CURRENT_USER, kClasses.c_str());
    }

    static void RemoveEntries()
    {
        for (HKEY hRoot : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER})
        {
            DeleteTestTree(hRoot, kAppIdKey);
            DeleteTestTree(hRoot, kExeKey);
        }
    }

    // Each key holds exactly one string value and no subkeys.
    static void ExpectEntries(HKEY hRoot)
    {
        ExpectOnlyString(hRoot, kAppIdKey, nullptr, L"Corvane");
        ExpectOnlyString(hRoot, kExeKey, L"AppID", CORVANE_APPID);
    }

    static void ExpectOnlyString(HKEY hRoot, const std::wstring& key, LPCWSTR pszName, LPCWSTR pszText)
    {
        EXPECT_EQ(1, CountValues(hRoot, key)) << key;
        EXPECT_EQ(0, CountSubkeys(hRoot, key)) << key;
        RegValue value = ReadValue(hRoot, key, pszName);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.dwType) << key;
        EXPECT_EQ(StringBytes(pszText), value.data) << key;
    }

    static bool EntriesExist(HKEY hRoot) { return KeyExists(hRoot, kAppIdKey) || KeyExists(hRoot, kExeKey); }

    bool m_bUserAppIdExisted;
    bool m_bUserClassesExisted;
};
}  // namespace

TEST_F(ModuleScriptTest, RegistersAndRemovesTheAppIdEntriesOfTheClassesRoot)
{
    const int nAppIdSubkeys = CountSubkeys(HKEY_LOCAL_MACHINE, kClasses + L"\\AppID");
    ASSERT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, TRUE, kAppIdPairs, perUserRegistration));
    ExpectEntries(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(StringBytes(L"Corvane"), ReadValue(HKEY_CLASSES_ROOT, L"AppID\\" CORVANE_APPID, nullptr).data);
    EXPECT_FALSE(EntriesExist(HKEY_CURRENT_USER));

    ASSERT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, TRUE, kAppIdPairs, perUserRegistration)) << "registering twice";
    ExpectEntries(HKEY_LOCAL_MACHINE);

    EXPECT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, FALSE, kAppIdPairs, perUserRegistration));
    EXPECT_FALSE(EntriesExist(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(nAppIdSubkeys, CountSubkeys(HKEY_LOCAL_MACHINE, kClasses + L"\\AppID")) << "AppID and the rest stay";

    EXPECT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, FALSE, kAppIdPairs, perUserRegistration)) << "nothing left to remove";
}

TEST_F(ModuleScriptTest, UnregistrationTakesTheServiceValueAlongButKeepsForeignSubkeys)
{
    ASSERT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, TRUE, nullptr, perUserRegistration)) << "APPID also comes from the module";
    ExpectEntries(HKEY_LOCAL_MACHINE);
    SetTestString(HKEY_LOCAL_MACHINE, kAppIdKey, L"LocalService", L"ZetCorvane");
    CreateTestKey(HKEY_LOCAL_MACHINE, kExeKey + L"\\Foreign");

    EXPECT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, FALSE, kAppIdPairs, perUserRegistration));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kAppIdKey));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kExeKey + L"\\Foreign"));
    EXPECT_EQ(0, CountValues(HKEY_LOCAL_MACHINE, kExeKey));
}

TEST_F(ModuleScriptTest, PerUserRegistrationWritesBelowTheCurrentUsersClasses)
{
    perUserRegistration = true;
    ASSERT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, TRUE, kAppIdPairs, perUserRegistration));
    ExpectEntries(HKEY_CURRENT_USER);
    EXPECT_FALSE(EntriesExist(HKEY_LOCAL_MACHINE));

    EXPECT_EQ(S_OK, RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, 101, FALSE, kAppIdPairs, perUserRegistration));
    EXPECT_FALSE(EntriesExist(HKEY_CURRENT_USER));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kClasses + L"\\AppID")) << "NoRemove AppID";
}

// The wrapper keys Software and Classes are ordinary keys of the walk: each goes when nothing is left below it.
TEST_F(ModuleScriptTest, PerUserWrapperHoldsEveryHkcrBlockAndBracesInQuotes)
{
    const std::wstring name = L"CorvaneTest-" + std::to_wstring(GetCurrentProcessId());
    CRegistrar registrar;
    ASSERT_EQ(S_OK, registrar.AddVariable(L"NAME", name.c_str()));
    const std::wstring script = L"HKCR\r\n{\r\n\t'%NAME%' { val 'br}ce' = s '}' }\r\n}\r\n"
                                L"HKCR { '%NAME%-2' = s '{' }\r\n";
    DeleteTestTree(HKEY_CURRENT_USER, kClasses + L"\\" + name);
    DeleteTestTree(HKEY_CURRENT_USER, kClasses + L"\\" + name + L"-2");
    const int nOtherClasses = CountSubkeys(HKEY_CURRENT_USER, kClasses);

    perUserRegistration = true;
    ASSERT_EQ(S_OK, CRegScriptParser(&registrar, true).RunScript(script.c_str(), TRUE));
    EXPECT_EQ(StringBytes(L"}"), ReadValue(HKEY_CURRENT_USER, kClasses + L"\\" + name, L"br}ce").data);
    EXPECT_EQ(StringBytes(L"{"), ReadValue(HKEY_CURRENT_USER, kClasses + L"\\" + name + L"-2", nullptr).data);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kClasses + L"\\" + name));

    ASSERT_EQ(S_OK, CRegScriptParser(&registrar, true).RunScript(script.c_str(), FALSE));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClasses + L"\\" + name));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kClasses + L"\\" + name + L"-2"));
    EXPECT_EQ(nOtherClasses > 0, KeyExists(HKEY_CURRENT_USER, kClasses));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software"));
}
