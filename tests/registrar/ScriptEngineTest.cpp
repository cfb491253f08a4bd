// The registry script engine: scripts read in memory, applied to and removed from Wine's real registry.
#include "registrar/RegKeyHandle.h"
#include "registrar/RegScriptParser.h"
#include "registrar/Registrar.h"
#include "registrar/ScriptBuffer.h"
#include "tests/registrar/RegistryTree.h"

#include <gtest/gtest.h>

namespace
{
const std::wstring kRoot = L"Software\\CorvaneTest-" + std::to_wstring(GetCurrentProcessId());
const ReplacementPair kVariables[] = {{L"UNUSED", L"-"}, {L"ROOT", kRoot.c_str() + 9}, {nullptr, nullptr}};

// Runs entries below the private key; a whole script (a root name first) runs as it is.
HRESULT RunBelow(const std::wstring& entries, BOOL bRegister)
{
    CRegistrar registrar;
    registrar.AddVariable(L"ROOT", kRoot.c_str() + 9);
    const std::wstring script = _wcsnicmp(entries.c_str(), L"HK", 2) == 0 ? entries : L"HKCU\r\n{\r\n\tNoRemove "
        L"Software\r\n\t{\r\n\t\tNoRemove '%ROOT%'\r\n\t\t{\r\n" + entries + L"\r\n} } }\r\n";
    return CRegScriptParser(&registrar, false).RunScript(script.c_str(), bRegister);
}

void RemoveRoot()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, kRoot.c_str()), RegDeleteKeyW(HKEY_CURRENT_USER, kRoot.c_str());
}
}  // namespace

// Every text ends in a failed read (blanks and the end hold no token; the first text's last quote never closes).
TEST(ScriptReading, Tokens)
{
    const std::wstring fits(4094, L'x'), tooLong(4095, L'x');
    const std::pair<std::wstring, std::vector<std::wstring>> cases[] = {
        {L" 'it''s' 'a'b '' 'x y' {x} =s\fz\r\nHKCR{ 'don''t'' ", {L"it's", L"a", L"b", L"", L"x y", L"{x}", L"=s\fz",
                                                                     L"HKCR{"}},
        {fits + L"\t" + fits, {fits, fits}}, {tooLong, {}}, {L"'" + fits + L"'", {fits}}, {L"'" + tooLong + L"'", {}},
        {L"'" + fits.substr(1) + L"'''", {fits.substr(1) + L"'"}}, {L"'" + fits + L"'''", {}}};
    for (const auto& c : cases)
    {
        CRegScriptParser parser(nullptr, false);
        parser.m_pszCursor = c.first.c_str();
        ScriptToken token;
        std::vector<std::wstring> tokens;
        HRESULT hr = S_OK;
        while ((hr = parser.ReadToken(token)) == S_OK && tokens.size() < 20)
            tokens.push_back(token);
        EXPECT_EQ(c.second, tokens) << c.first.substr(0, 40);
        EXPECT_EQ(DISP_E_EXCEPTION, hr) << c.first.substr(0, 40);
    }
}

TEST(ScriptReading, VariablesAndPerUserWrapping)
{
    CRegistrar registrar;
    EXPECT_EQ(E_INVALIDARG, registrar.AddVariable(nullptr, L"x"));
    ASSERT_EQ(S_OK, registrar.AddVariable(L"Module", L"first"));
    ASSERT_EQ(S_OK, registrar.AddVariable(L"MODULE", L"second"));
    ASSERT_EQ(S_OK, registrar.AddVariable(L"Tricky", L"%Module% 'HKCR' {"));
    ASSERT_EQ(S_OK, registrar.AddVariable(std::wstring(31, L'N').c_str(), L"31"));
    ASSERT_EQ(S_OK, registrar.AddVariable(L"BIG", std::wstring(5000, L'v').c_str()));

    const std::wstring open = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses", close = L"\r\n\t}\r\n}\r\n";
    std::wstring bigScript, bigText;
    for (int i = 0; i < 6; ++i)
        bigScript += L"x %BIG% ", bigText += L"x " + std::wstring(5000, L'v') + L" ";
    const struct { bool bPerUser; std::wstring text; HRESULT hr; std::wstring expanded; } cases[] = {
        {false, L"100%% 'x%%' %module% %MODULE% [%Tricky%] %" + std::wstring(31, L'N') + L"%", S_OK,
         L"100% 'x%' first first [%Module% 'HKCR' {] 31"},
        {false, bigScript, S_OK, bigText}, {false, L"", S_OK, L""},
        {false, L"%" + std::wstring(32, L'N') + L"%", E_FAIL, L""}, {false, L"HKCR %NOSUCH%", DISP_E_EXCEPTION, L""},
        {false, L"HKCR { }%", DISP_E_EXCEPTION, L""}, {false, L"%Module", DISP_E_EXCEPTION, L""},
        {false, L"HKCR { NoRemove AppID { } }", S_OK, L"HKCR { NoRemove AppID { } }"},
        {true, L"HKCR { a }\r\nHKCR\t{ 'it''s}' val '{' = s '}}' %Tricky% }", S_OK,
         open + L" { a " + close + L"}\r\n" + open + L"\t{ 'it''s}' val '{' = s '}}' %Module% 'HKCR' { " + close +
             L"}"},
        {true, L"hkcr { a } HKEY_CLASSES_ROOT { b } HKCU { HKCR { c } }", S_OK,
         L"hkcr { a } HKEY_CLASSES_ROOT { b } HKCU { HKCR { c } }"}};
    for (const auto& c : cases)
    {
        LPWSTR pszResult = reinterpret_cast<LPWSTR>(1);
        EXPECT_EQ(c.hr, CRegScriptParser(&registrar, c.bPerUser).Preprocess(c.text.c_str(), &pszResult)) << c.text;
        CTaskMemText result(pszResult);
        EXPECT_EQ(c.expanded, pszResult != nullptr ? pszResult : L"") << c.text;
    }
    EXPECT_EQ(E_POINTER, CRegScriptParser(&registrar, false).Preprocess(nullptr, nullptr));

    WCHAR szQuoted[8] = L"#";
    DoubleSingleQuotes(szQuoted, 0, L"'");
    EXPECT_STREQ(L"#", szQuoted);
    DoubleSingleQuotes(szQuoted, 7, L"a'b''");  // no room for the last quote's double
    EXPECT_STREQ(L"a''b''", szQuoted);
}

// Script 202, longer than the fixed text buffer, writes the module variables of this executable.
TEST(ScriptReading, ScriptResources)
{
    struct : IRegistrationModule
    {
        HRESULT m_hr = S_OK;
        HRESULT AddCommonVariables(IScriptRegistrar* p) { return FAILED(m_hr) ? m_hr : p->AddVariable(L"APPID", L"x"); }
    } module;
    const HINSTANCE hOwn = GetModuleHandleW(nullptr);
    WCHAR szOwn[MAX_PATH];
    const std::wstring own(szOwn, GetModuleFileNameW(nullptr, szOwn, MAX_PATH));
    CRegistrar registrar;
    EXPECT_EQ(HRESULT_FROM_WIN32(1814), RegisterFromScriptResource(&module, hOwn, 999, TRUE, kVariables, false));
    EXPECT_EQ(HRESULT_FROM_WIN32(1813), registrar.ApplyScriptResource(own.c_str(), 202, L"X", TRUE, false));
    EXPECT_EQ(HRESULT_FROM_WIN32(2), registrar.ApplyScriptResource(L"C:\\no.dll", 202, L"REGISTRY", TRUE, false));

    ASSERT_EQ(S_OK, RegisterFromScriptResource(&module, hOwn, 202, TRUE, kVariables, false));
    EXPECT_EQ(L"{Long{AppID=1:x|;Module=1:\"" + own + L"\"|;Pad=1:" + std::wstring(400, L'-') + L"|;Raw=1:" + own +
                  L"|}}", Tree(HKEY_CURRENT_USER, kRoot));
    EXPECT_EQ(S_OK, RegisterFromScriptResource(&module, hOwn, 202, FALSE, kVariables, false));
    EXPECT_EQ(L"{}", Tree(HKEY_CURRENT_USER, kRoot));
    RemoveRoot();
    module.m_hr = E_ABORT;
    EXPECT_EQ(E_ABORT, RegisterFromScriptResource(&module, hOwn, 202, TRUE, kVariables, false));
}

TEST(ScriptWalk, Table)
{
    EXPECT_EQ(S_OK, CRegScriptParser(nullptr, false).RunScript(L"", TRUE));
    EXPECT_EQ(DISP_E_EXCEPTION, CRegScriptParser(nullptr, false).RunScript(L" \r\n\t ", TRUE)) << "a root name is due";
    const HRESULT kSyntax = DISP_E_EXCEPTION;
    std::wstring bigHex, bigText(200, L'p'), deep;
    for (int i = 0; i < 33; ++i)
        bigHex += L"0123456789abcdef";
    for (int i = 0; i < 100000; ++i)
        deep += i < 50000 ? L" a {" : L" }";
    const std::wstring deep600 = deep.substr(0, 2400) + deep.substr(deep.size() - 1200);
    std::wstring siblings;  // blocks one after another never add up to the nesting limit of 512
    for (int i = 0; i < 600; ++i)
        siblings += L" S { }";
    const std::wstring force = L"ForceRemove Forced { val Fresh = s new } ForceRemove CLSID { val Added = s yes } "
                               L"Delete Doomed = s ignored Delete AppID";
    // Entries registered first (null: not even the private key exists), the script, its mode and result, and
    // the private key's tree afterwards.
    const struct { LPCWSTR pszBefore; std::wstring script; BOOL bRegister; HRESULT hr; std::wstring after; } cases[] = {
        // Value kinds with their exact types and bytes; keywords, letters and root names in any case.
        {L"", L"K = s 'a b' { val S = s 'it''s' val M = m 'a\\0b' val Mc = M 'a\\0\\0b' val Me = m '' "
              L"val Ms = m 'a\\b\\' val D = d 123 val Dm = D 4294967295 val B = b 0aFFAb val Bg = B 0g val Be = b '' "
              L"val 'Back\\slash' = s x val Bb = b " + bigHex + L" val Mb = m '" + bigText + L"\\0" + bigText + L"' }",
         TRUE, S_OK, L"{K{@=1:a b|;B=3:0affab;Back\\slash=1:x|;Bb=3:" + bigHex + L";Be=3:;Bg=3:00;D=4:7b000000;"
                     L"Dm=4:ffffffff;M=7:a|b||;Mb=7:" + bigText + L"|" + bigText + L"||;Mc=7:a||;Me=7:|;Ms=7:a\\b\\||;"
                     L"S=1:it's|}}"},
        {L"", L"hkey_current_user { noremove software { NOREMOVE '%ROOT%' { forceremove Any { VAL v = S x "
              L"NOREMOVE vAl w = d 7 noremove Sub { } } } } }", TRUE, S_OK, L"{Any{v=1:x|;w=4:07000000;Sub{}}}"},
        {L"", L"HKCU {x NoRemove Software { NoRemove '%ROOT%' { Opened { } } } }", TRUE, S_OK, L"{Opened{}}"},
        // Unregistering: bottom-up, listed values go, keys with foreign subkeys or NoRemove stay, missing is fine.
        {L"Top { val V = s x Mid = s m { Leaf = s y } Kept { val K = d 1 Foreign } }",
         L"Top { val V = s x Mid = s m { Leaf = s y } Kept { val K = d 1 } }", FALSE, S_OK, L"{Top{Kept{Foreign{}}}}"},
        {L"Other { val Keep = s me }",
         L"Missing { Deeper = s q { val X = s y } } val Absent = s z NoRemove Other { val Gone = s g }", FALSE, S_OK,
         L"{Other{Keep=1:me|}}"},
        {L"NoRemove Keep { val Stay = s a val Go = s b Inner { } }",
         L"NoRemove Keep { NoRemove val Stay = s a val Go = s b Inner { } }", FALSE, S_OK, L"{Keep{Stay=1:a|}}"},
        // ForceRemove and Delete: trees go when registering, protected names stay; plain entries when unregistering.
        {L"Forced { val Stale = s s Old { Deep } } CLSID { Existing } Doomed { Sub { val V = s v } } AppID { In }",
         force, TRUE, S_OK, L"{AppID{In{}};CLSID{Added=1:yes|;Existing{}};Forced{Fresh=1:new|}}"},
        {L"Forced { val Fresh = s new } CLSID { val Added = s yes Existing } Doomed AppID { In }", force, FALSE, S_OK,
         L"{AppID{In{}};CLSID{Existing{}}}"},
        // Malformed scripts; a failed registration leaves nothing behind.
        {nullptr, L"HKCU{ }", TRUE, kSyntax, L"-"}, {nullptr, L"HKXX { }", TRUE, kSyntax, L"-"},
        {nullptr, L"HKCU x", TRUE, kSyntax, L"-"}, {L"", L"Made { val Ok = s x } Odd = b 0aF", TRUE, E_FAIL, L"{}"},
        {L"", L"K = s '%NOSUCH%'", TRUE, kSyntax, L"{}"}, {L"", L"K { val V s x }", TRUE, kSyntax, L"{}"},
        {L"", L"K { val V = x bad }", TRUE, kSyntax, L"{}"}, {L"", L"'A\\B' { }", TRUE, kSyntax, L"{}"},
        {L"", L"K { val V = s 'open } }", TRUE, kSyntax, L"{}"}, {L"", L"ForceRemove 'A\\B'", TRUE, kSyntax, L"{}"},
        {L"", L"val V = s x { Sub { } }", TRUE, kSyntax, L"{}"},
        {L"Doomed { val V = s v }", L"Delete Doomed { Sub { } }", TRUE, kSyntax, L"{Doomed{V=1:v|}}"},
        {L"A { B }", L"Delete A\\B", TRUE, kSyntax, L"{A{B{}}}"},
        {L"V Sub", L"val V = s x { Sub { } }", FALSE, kSyntax, L"{Sub{};V{}}"},
        {L"A { B }", L"Empty { } A\\B", FALSE, kSyntax, L"{A{B{}}}"},
        // A syntax error below a missing key ends the walk there: the entry after it would be read one level up.
        {L"Victim", L"NoRemove Missing { Bad\\Name Victim }", FALSE, kSyntax, L"{Victim{}}"},
        {L"Victim", L"Missing {" + deep + L" } Victim", FALSE, kSyntax, L"{Victim{}}"},
        // A failed registration removes exactly what it made and puts back the values it overwrote.
        {L"Old { val Keep = s before }", L"Old { val Keep = s changed val New = s n Fresh { val F = s f } }\r\n"
            L"ReviewNew { val a = s 'x' Bad\\Name }", TRUE, kSyntax, L"{Old{Keep=1:before|}}"},
        {L"", L"First { }\r\n} } }\r\nHKCU { Second = s x }\r\nstray", TRUE, kSyntax, L"{}"},
        {L"", deep600, TRUE, kSyntax, L"{}"}, {L"", siblings, TRUE, S_OK, L"{S{}}"}};
    for (const auto& c : cases)
    {
        RemoveRoot();
        ASSERT_EQ(S_OK, c.pszBefore != nullptr ? RunBelow(c.pszBefore, TRUE) : S_OK) << c.script;
        EXPECT_EQ(c.hr, RunBelow(c.script, c.bRegister)) << c.script.substr(0, 60);
        EXPECT_EQ(c.after, Tree(HKEY_CURRENT_USER, kRoot)) << c.script.substr(0, 60);
    }
    RemoveRoot();
}

// How the mode decision reads "LocalService": a whole REG_SZ or REG_EXPAND_SZ string that fits two code units.
// Expected: the result, the code units read and, after a successful read, the text.
TEST(RegKeyHandle, ReadString)
{
    CRegKeyHandle key;
    ASSERT_EQ(0, key.CreateKey(HKEY_CURRENT_USER, kRoot.c_str(), nullptr, 0, KEY_ALL_ACCESS, nullptr, nullptr));
    const struct { DWORD dwType; const char* pData; DWORD cbData; LPCWSTR pszExpected; } cases[] = {
        {REG_SZ, "Z\0\0", 4, L"0:2:Z"}, {REG_EXPAND_SZ, "Z\0\0", 4, L"0:2:Z"}, {REG_SZ, "", 0, L"0:0:"},
        {REG_SZ, "Z\0e\0\0", 6, L"234:0:"}, {REG_SZ, "abc", 3, L"13:0:"}, {REG_DWORD, "\1\0\0\0", 4, L"13:0:"},
        {REG_SZ, nullptr, 0, L"2:0:"}};
    for (const auto& c : cases)
    {
        const std::wstring name = std::to_wstring(&c - cases);
        if (c.pData != nullptr)
            RegSetValueExW(key.m_hKey, name.c_str(), 0, c.dwType, reinterpret_cast<const BYTE*>(c.pData), c.cbData);
        WCHAR szText[2] = L"#";
        ULONG nChars = 2;
        const LONG lResult = key.ReadString(name.c_str(), szText, &nChars);
        const std::wstring result = std::to_wstring(lResult) + L":" + std::to_wstring(nChars) + L":";
        EXPECT_EQ(c.pszExpected, result + (lResult != 0 ? L"" : szText)) << name;
    }
    RemoveRoot();
}
