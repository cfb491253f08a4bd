// Registry scripts applied to and removed from the real registry, below a private key of the current user.
#include "registrar/RegScriptParser.h"
#include "registrar/Registrar.h"
#include "tests/registrar/TestRegistry.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
class ScriptWalkTest : public ::testing::Test
{
protected:
    ScriptWalkTest() { m_registrar.AddVariable(L"ROOT", m_root.Name().c_str()); }

    HRESULT Run(const std::wstring& script, BOOL bRegister)
    {
        return CRegScriptParser(&m_registrar, false).RunScript(script.c_str(), bRegister);
    }

    // A root block that places the entries below the test's private key.
    static std::wstring Below(const std::wstring& entries)
    {
        return L"HKCU\r\n{\r\n\tNoRemove Software\r\n\t{\r\n\t\tNoRemove '%ROOT%'\r\n\t\t{\r\n" + entries +
               L"\r\n\t\t}\r\n\t}\r\n}\r\n";
    }

    bool Exists(const std::wstring& below) { return KeyExists(HKEY_CURRENT_USER, m_root.Path(below)); }
    RegValue Value(const std::wstring& below, LPCWSTR pszName)
    {
        return ReadValue(HKEY_CURRENT_USER, m_root.Path(below), pszName);
    }
    void Create(const std::wstring& below) { CreateTestKey(HKEY_CURRENT_USER, m_root.Path(below)); }
    void SetString(const std::wstring& below, LPCWSTR pszName, LPCWSTR pszText)
    {
        SetTestString(HKEY_CURRENT_USER, m_root.Path(below), pszName, pszText);
    }
    // True when the private key holds nothing at all.
    bool RootIsEmpty()
    {
        return CountSubkeys(HKEY_CURRENT_USER, m_root.Path()) == 0 && CountValues(HKEY_CURRENT_USER, m_root.Path()) == 0;
    }

    void ExpectString(const std::wstring& below, LPCWSTR pszName, const std::wstring& text)
    {
        RegValue value = Value(below, pszName);
        EXPECT_TRUE(value.bFound) << below << " " << (pszName ? pszName : L"(default)");
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.dwType);
        EXPECT_EQ(StringBytes(text), value.data);
    }

    CTestRoot m_root;
    CRegistrar m_registrar;
};

std::vector<BYTE> DwordBytes(DWORD dwValue)
{
    const BYTE* pb = reinterpret_cast<const BYTE*>(&dwValue);
    return std::vector<BYTE>(pb, pb + sizeof(dwValue));
}
}  // namespace

TEST_F(ScriptWalkTest, RegistersEachValueKindWithExactTypeAndBytes)
{
    std::wstring bigHex;
    std::vector<BYTE> bigBytes;
    for (int i = 0; i < 300; ++i)
    {
        bigHex += L"0123456789abcdef"[i % 16], bigHex += L"FEDCBA9876543210"[i % 16];
        bigBytes.push_back(static_cast<BYTE>(((i % 16) << 4) | (15 - i % 16)));
    }
    const std::wstring bigPiece(200, L'p');
    const std::wstring script = Below(L"Kinds = s 'default text'\r\n{\r\n"
                                      L"\tval Str = s 'it''s here'\r\n"
                                      L"\tval Multi = m 'a\\0b'\r\n"
                                      L"\tval MultiCut = M 'a\\0\\0b'\r\n"
                                      L"\tval MultiEmpty = m ''\r\n"
                                      L"\tval MultiSlash = m 'a\\b\\'\r\n"
                                      L"\tval Num = d 123\r\n"
                                      L"\tval NumMax = D 4294967295\r\n"
                                      L"\tval Bin = b 0aFF\r\n"
                                      L"\tval BinBadDigit = B 0g\r\n"
                                      L"\tval BinEmpty = b ''\r\n"
                                      L"\tval 'Back\\slash' = s x\r\n"
                                      L"\tval BigBin = b " + bigHex + L"\r\n"
                                      L"\tval BigMulti = m '" + bigPiece + L"\\0" + bigPiece + L"'\r\n"
                                      L"}");
    ASSERT_EQ(S_OK, Run(script, TRUE));

    ExpectString(L"Kinds", nullptr, L"default text");
    ExpectString(L"Kinds", L"Str", L"it's here");
    ExpectString(L"Kinds", L"Back\\slash", L"x");

    const struct
    {
        LPCWSTR pszName;
        DWORD dwType;
        std::vector<BYTE> data;
    } expected[] = {
        {L"Multi", REG_MULTI_SZ, WideBytes(L"a\0b\0\0", 5)},
        {L"MultiCut", REG_MULTI_SZ, WideBytes(L"a\0\0", 3)},
        {L"MultiEmpty", REG_MULTI_SZ, WideBytes(L"\0", 1)},
        {L"MultiSlash", REG_MULTI_SZ, WideBytes(L"a\\b\\\0\0", 6)},
        {L"Num", REG_DWORD, DwordBytes(123)},
        {L"NumMax", REG_DWORD, DwordBytes(0xFFFFFFFFu)},
        {L"Bin", REG_BINARY, {0x0A, 0xFF}},
        {L"BinBadDigit", REG_BINARY, {0x00}},
        {L"BinEmpty", REG_BINARY, {}},
        {L"BigMulti", REG_MULTI_SZ, StringBytes(bigPiece + std::wstring(1, L'\0') + bigPiece + std::wstring(1, L'\0'))},
        {L"BigBin", REG_BINARY, bigBytes},
    };
    for (const auto& item : expected)
    {
        RegValue value = Value(L"Kinds", item.pszName);
        EXPECT_TRUE(value.bFound) << item.pszName;
        EXPECT_EQ(item.dwType, value.dwType) << item.pszName;
        EXPECT_EQ(item.data, value.data) << item.pszName;
    }
    EXPECT_EQ(14, CountValues(HKEY_CURRENT_USER, m_root.Path(L"Kinds"))) << "13 named and the unnamed value";
}

TEST_F(ScriptWalkTest, OddBinaryValueFailsAndTheBlockIsUndone)
{
    EXPECT_EQ(E_FAIL, Run(Below(L"Made { val Ok = s x }\r\nOdd = b 0aF"), TRUE));
    EXPECT_FALSE(Exists(L"Made"));
    EXPECT_FALSE(Exists(L"Odd"));
    EXPECT_TRUE(Exists(L"")) << "NoRemove keeps the private key itself";
}

TEST_F(ScriptWalkTest, UnregistrationRemovesBottomUpAndKeepsKeysWithForeignSubkeys)
{
    const std::wstring script = Below(L"Top\r\n{\r\n\tval V = s x\r\n\tMid = s m { Leaf = s y }\r\n"
                                      L"\tKept { val K = d 1 }\r\n}");
    ASSERT_EQ(S_OK, Run(script, TRUE));
    ASSERT_TRUE(Exists(L"Top\\Mid\\Leaf"));
    Create(L"Top\\Kept\\Foreign");

    EXPECT_EQ(S_OK, Run(script, FALSE));
    EXPECT_FALSE(Exists(L"Top\\Mid"));
    EXPECT_TRUE(Exists(L"Top\\Kept\\Foreign"));
    EXPECT_EQ(0, CountValues(HKEY_CURRENT_USER, m_root.Path(L"Top\\Kept")));
    EXPECT_EQ(0, CountValues(HKEY_CURRENT_USER, m_root.Path(L"Top"))) << "listed values go even where the key stays";
    EXPECT_EQ(1, CountSubkeys(HKEY_CURRENT_USER, m_root.Path(L"Top")));

    // Nothing left that the script can remove: a second run changes nothing and succeeds.
    EXPECT_EQ(S_OK, Run(script, FALSE));
    EXPECT_TRUE(Exists(L"Top\\Kept\\Foreign"));
}

TEST_F(ScriptWalkTest, UnregisteringMissingKeysAndValuesSucceedsAndChangesNothing)
{
    SetString(L"Other", L"Keep", L"me");
    SetString(L"", L"RootValue", L"stays");
    EXPECT_EQ(S_OK, Run(Below(L"Missing { Deeper = s q { val X = s y } }\r\nval Absent = s z\r\n"
                              L"NoRemove Other { val Gone = s g }"), FALSE));
    ExpectString(L"Other", L"Keep", L"me");
    ExpectString(L"", L"RootValue", L"stays");
}

TEST_F(ScriptWalkTest, NoRemoveKeepsKeyOrValueButNotWhatTheirBlockNames)
{
    const std::wstring script = Below(L"NoRemove Keep\r\n{\r\n\tNoRemove val Stay = s a\r\n\tval Go = s b\r\n"
                                      L"\tInner { }\r\n}");
    ASSERT_EQ(S_OK, Run(script, TRUE));
    ASSERT_TRUE(Exists(L"Keep\\Inner"));
    EXPECT_EQ(S_OK, Run(script, FALSE));
    EXPECT_TRUE(Exists(L"Keep"));
    ExpectString(L"Keep", L"Stay", L"a");
    EXPECT_FALSE(Value(L"Keep", L"Go").bFound);
    EXPECT_FALSE(Exists(L"Keep\\Inner"));
}

TEST_F(ScriptWalkTest, ForceRemoveRecreatesTheKeyButSparesProtectedNames)
{
    SetString(L"Forced\\Old\\Deep", L"D", L"d");
    SetString(L"Forced", L"Stale", L"s");
    SetString(L"CLSID\\Existing", L"E", L"e");
    const std::wstring script = Below(L"ForceRemove Forced { val Fresh = s new }\r\n"
                                      L"ForceRemove CLSID { val Added = s yes }");
    ASSERT_EQ(S_OK, Run(script, TRUE));
    EXPECT_FALSE(Exists(L"Forced\\Old"));
    EXPECT_FALSE(Value(L"Forced", L"Stale").bFound);
    ExpectString(L"Forced", L"Fresh", L"new");
    ExpectString(L"CLSID\\Existing", L"E", L"e");
    ExpectString(L"CLSID", L"Added", L"yes");

    // Unregistering, ForceRemove is an ordinary key entry.
    EXPECT_EQ(S_OK, Run(script, FALSE));
    EXPECT_FALSE(Exists(L"Forced"));
    EXPECT_TRUE(Exists(L"CLSID\\Existing"));
    EXPECT_FALSE(Value(L"CLSID", L"Added").bFound);
}

TEST_F(ScriptWalkTest, DeleteRemovesTheKeyWhenRegisteringAndIsAPlainEntryOtherwise)
{
    SetString(L"Doomed\\Sub", L"V", L"v");
    SetString(L"AppID\\Inner", L"V", L"v");
    const std::wstring script = Below(L"Delete Doomed = s ignored\r\nDelete AppID");
    ASSERT_EQ(S_OK, Run(script, TRUE));
    EXPECT_FALSE(Exists(L"Doomed")) << "removed with its subkeys, and not created again";
    ExpectString(L"AppID\\Inner", L"V", L"v");

    Create(L"Doomed");
    EXPECT_EQ(S_OK, Run(script, FALSE));
    EXPECT_FALSE(Exists(L"Doomed")) << "an empty key listed for unregistration goes";
    EXPECT_TRUE(Exists(L"AppID\\Inner"));
}

TEST_F(ScriptWalkTest, BlockAfterAValueOrADeleteEntryIsRefusedInBothModes)
{
    const std::wstring afterValue = Below(L"val V = s x { Sub { } }");
    EXPECT_EQ(DISP_E_EXCEPTION, Run(afterValue, TRUE));
    EXPECT_TRUE(RootIsEmpty()) << "the failed block is undone";
    SetString(L"", L"V", L"x");
    Create(L"Sub");
    EXPECT_EQ(DISP_E_EXCEPTION, Run(afterValue, FALSE));
    EXPECT_TRUE(Exists(L"Sub"));

    SetString(L"Doomed", L"V", L"v");
    const std::wstring afterDelete = Below(L"Delete Doomed { Sub { } }");
    EXPECT_EQ(DISP_E_EXCEPTION, Run(afterDelete, TRUE));
    ExpectString(L"Doomed", L"V", L"v");
    EXPECT_EQ(DISP_E_EXCEPTION, Run(afterDelete, FALSE));
    ExpectString(L"Doomed", L"V", L"v");
    EXPECT_TRUE(Exists(L"Sub"));
}

TEST_F(ScriptWalkTest, BackslashInAKeyNameIsRefusedBeforeTheRegistryIsTouched)
{
    EXPECT_EQ(DISP_E_EXCEPTION, Run(Below(L"'A\\B' { }"), TRUE));
    EXPECT_FALSE(Exists(L"A"));

    SetString(L"A\\B", L"V", L"v");
    EXPECT_EQ(DISP_E_EXCEPTION, Run(Below(L"ForceRemove 'A\\B' { }"), TRUE));
    EXPECT_EQ(DISP_E_EXCEPTION, Run(Below(L"Delete A\\B"), TRUE));
    Create(L"Empty");
    EXPECT_EQ(DISP_E_EXCEPTION, Run(Below(L"Empty { }\r\nA\\B"), FALSE));
    ExpectString(L"A\\B", L"V", L"v");
    EXPECT_FALSE(Exists(L"Empty")) << "entries before the bad one were already removed";
}

TEST_F(ScriptWalkTest, FailingSecondRootBlockIsUndoneWhileTheFirstStays)
{
    Create(L"Later");
    const std::wstring script = Below(L"First { val V = s 1 }") +
                                L"HKCU { NoRemove Software { NoRemove '%ROOT%' {\r\n"
                                L"Second { val W = s 2 }\r\nBroken = x bad\r\nLater { }\r\n} } }\r\n";
    EXPECT_EQ(DISP_E_EXCEPTION, Run(script, TRUE));
    ExpectString(L"First", L"V", L"1");
    EXPECT_FALSE(Exists(L"Second"));
    EXPECT_FALSE(Exists(L"Broken"));
    EXPECT_FALSE(Exists(L"Later")) << "the undo walks the whole block, also entries after the failure";
}

TEST_F(ScriptWalkTest, StrayTextAfterTheLastRootBlockFailsAfterTheBlocksAreApplied)
{
    EXPECT_EQ(DISP_E_EXCEPTION, Run(Below(L"Applied { }") + L"stray", TRUE));
    EXPECT_TRUE(Exists(L"Applied"));
    EXPECT_EQ(DISP_E_EXCEPTION, Run(Below(L"Applied { }") + L"HKCU", FALSE));
    EXPECT_FALSE(Exists(L"Applied"));
}

TEST_F(ScriptWalkTest, MalformedScriptsFail)
{
    EXPECT_EQ(S_OK, Run(L"", TRUE));
    EXPECT_EQ(DISP_E_EXCEPTION, Run(L" \r\n\t ", TRUE)) << "blanks only: a root name is looked for";
    const LPCWSTR malformed[] = {
        L"HKCU{ NoRemove Software { NoRemove '%ROOT%' { K { } } } }",
        L"HKXX { }",
        L"HKCU x",
        L"HKCU { NoRemove Software { NoRemove '%ROOT%' { K = s '%NOSUCH%' } } }",
        L"HKCU { NoRemove Software { NoRemove '%ROOT%' { val V s x } } }",
        L"HKCU { NoRemove Software { NoRemove '%ROOT%' { val V = s 'open } } }",
        L"HKCU { NoRemove Software { NoRemove '%ROOT%' { val V = s x",
    };
    for (LPCWSTR pszScript : malformed)
    {
        EXPECT_EQ(DISP_E_EXCEPTION, Run(pszScript, TRUE)) << pszScript;
        EXPECT_TRUE(RootIsEmpty()) << pszScript;
    }

    // The undo stops where the register walk stopped: a key whose own block is malformed stays.
    EXPECT_EQ(DISP_E_EXCEPTION, Run(Below(L"Before { }\r\nK { val V s x }"), TRUE));
    EXPECT_FALSE(Exists(L"Before"));
    EXPECT_TRUE(Exists(L"K"));

    // The token after the root name only has to begin with a brace.
    EXPECT_EQ(S_OK, Run(L"HKCU {x NoRemove Software { NoRemove '%ROOT%' { Opened { } } } }", TRUE));
    EXPECT_TRUE(Exists(L"Opened"));
}

TEST_F(ScriptWalkTest, KeywordsTypeLettersAndRootNamesIgnoreCase)
{
    const std::wstring script = L"hkey_current_user { noremove software { NOREMOVE '%ROOT%' {\r\n"
                                L"forceremove Any { VAL v = S x\r\nNOREMOVE vAl w = d 7\r\nnoremove Sub { } } } } }";
    ASSERT_EQ(S_OK, Run(script, TRUE));
    ExpectString(L"Any", L"v", L"x");
    EXPECT_EQ(S_OK, Run(script, FALSE));
    EXPECT_FALSE(Value(L"Any", L"v").bFound);
    EXPECT_TRUE(Value(L"Any", L"w").bFound);
}

TEST_F(ScriptWalkTest, NestingBeyondAnyRegistryPathIsRefusedWithoutExhaustingTheStack)
{
    // The root block, Software and the private key are three levels; "Missing" opens the fourth.
    auto nested = [](int nLevels) {
        std::wstring entries = L"Missing {";
        for (int i = 4; i < nLevels; ++i)
            entries += L" a {";
        for (int i = 3; i < nLevels; ++i)
            entries += L" }";
        return Below(entries + L"\r\n'%ROOT%-sibling' { }");
    };
    // Read one level too high, the entry after the deep block would name a sibling of the private key.
    const std::wstring sibling = m_root.Path() + L"-sibling";
    CreateTestKey(HKEY_CURRENT_USER, sibling);

    EXPECT_EQ(S_OK, Run(nested(512), FALSE));
    EXPECT_EQ(DISP_E_EXCEPTION, Run(nested(513), FALSE));
    EXPECT_EQ(DISP_E_EXCEPTION, Run(nested(100000), FALSE));
    EXPECT_TRUE(RootIsEmpty());
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, sibling)) << "the walk stops at the refused block, also below a missing key";
    DeleteTestTree(HKEY_CURRENT_USER, sibling);
}
