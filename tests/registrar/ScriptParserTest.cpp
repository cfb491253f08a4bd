// The reading side of the registry script engine: tokenizer, preprocessor and value-clause readers.
#include "registrar/RegScriptParser.h"
#include "registrar/Registrar.h"
#include "registrar/ScriptBuffer.h"
#include "service/Module.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{
// Reads every token of a text; the HRESULT of the read that ended it is returned through *phrEnd.
std::vector<std::wstring> ReadAllTokens(const std::wstring& text, HRESULT* phrEnd)
{
    CRegistrar registrar;
    CRegScriptParser parser(&registrar, false);
    parser.m_pszCursor = text.c_str();
    std::vector<std::wstring> tokens;
    ScriptToken token;
    for (int i = 0; i < 100; ++i)
    {
        *phrEnd = parser.ReadToken(token);
        if (FAILED(*phrEnd))
            break;
        tokens.push_back(token);
    }
    return tokens;
}

class PreprocessTest : public ::testing::Test
{
protected:
    bool m_bPerUser = false;

    HRESULT Preprocess(const std::wstring& text, std::wstring* pOutput)
    {
        CRegScriptParser parser(&m_registrar, m_bPerUser);
        LPWSTR pszResult = reinterpret_cast<LPWSTR>(1);
        HRESULT hr = parser.Preprocess(text.c_str(), &pszResult);
        CTaskMemText result(pszResult);
        if (SUCCEEDED(hr))
            *pOutput = pszResult;
        else
            EXPECT_EQ(nullptr, pszResult) << "a failed preprocessing hands out no text";
        return hr;
    }

    std::wstring Expanded(const std::wstring& text)
    {
        std::wstring output;
        EXPECT_EQ(S_OK, Preprocess(text, &output)) << "for the script: " << text;
        return output;
    }

    CRegistrar m_registrar;
};

const std::wstring kOpening = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
const std::wstring kClosing = L"\r\n\t}\r\n}\r\n";
}  // namespace

// Every text ends in a failed read: blanks and then the end of the text hold no token.
TEST(ScriptTokenizer, QuotesBlanksSeparatorsAndTheLongestToken)
{
    const std::wstring fits(4094, L'x');
    const std::wstring tooLong(4095, L'x');
    const struct
    {
        std::wstring text;
        std::vector<std::wstring> tokens;
    } cases[] = {
        // The last quoted token never closes: its doubled quote is text and the text ends inside it.
        {L" 'it''s' 'a'b '' 'x y' {x} =s\fz\tHKCR{ 'don''t'' ",
         {L"it's", L"a", L"b", L"", L"x y", L"{x}", L"=s\fz", L"HKCR{"}},
        {L"\r\n last \r\n\t ", {L"last"}},
        {fits + L" next", {fits, L"next"}},
        {tooLong, {}},
        {L"'" + fits + L"'", {fits}},
        {L"'" + tooLong + L"'", {}},
        // A doubled quote stores one code unit.
        {L"'" + std::wstring(4093, L'x') + L"'''", {std::wstring(4093, L'x') + L"'"}},
        {L"'" + fits + L"'''", {}},
    };
    for (const auto& item : cases)
    {
        HRESULT hrEnd = S_OK;
        EXPECT_EQ(item.tokens, ReadAllTokens(item.text, &hrEnd)) << item.text.substr(0, 40);
        EXPECT_EQ(DISP_E_EXCEPTION, hrEnd) << item.text.substr(0, 40);
    }
}

TEST_F(PreprocessTest, VariablesExpandWithoutRescanning)
{
    ASSERT_EQ(S_OK, m_registrar.AddVariable(L"APPID", CORVANE_APPID));
    ASSERT_EQ(S_OK, m_registrar.AddVariable(L"Module", L"C:\\x.exe"));
    ASSERT_EQ(S_OK, m_registrar.AddVariable(L"Tricky", L"%APPID% 'HKCR' {"));
    const std::wstring name31(31, L'N');
    ASSERT_EQ(S_OK, m_registrar.AddVariable(name31.c_str(), L"thirty-one"));

    EXPECT_EQ(L"100% 'x%'", Expanded(L"100%% 'x%%'"));
    EXPECT_EQ(L"'" CORVANE_APPID L"' = s 'Corvane'", Expanded(L"'%APPID%' = s 'Corvane'"));
    EXPECT_EQ(L"C:\\x.exe C:\\x.exe C:\\x.exe", Expanded(L"%Module% %MODULE% %module%"));
    EXPECT_EQ(L"[%APPID% 'HKCR' {]", Expanded(L"[%Tricky%]"));
    EXPECT_EQ(L"thirty-one", Expanded(L"%" + name31 + L"%"));
    EXPECT_EQ(L"", Expanded(L""));

    std::wstring output;
    EXPECT_EQ(E_FAIL, Preprocess(L"%" + std::wstring(32, L'N') + L"%", &output)) << "32-unit name";
    // An unknown name, a lone % at the end, no closing %.
    for (LPCWSTR pszBad : {L"HKCR %NOSUCH%", L"HKCR { }%", L"%APPID"})
        EXPECT_EQ(DISP_E_EXCEPTION, Preprocess(pszBad, &output)) << pszBad;

    CRegScriptParser parser(&m_registrar, m_bPerUser);
    LPWSTR pszResult = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_POINTER, parser.Preprocess(nullptr, &pszResult));
    EXPECT_EQ(E_POINTER, parser.Preprocess(L"HKCR", nullptr));
}

TEST_F(PreprocessTest, GrowsForOutputsManyTimesItsInput)
{
    const std::wstring big(5000, L'v');
    ASSERT_EQ(S_OK, m_registrar.AddVariable(L"BIG", big.c_str()));
    std::wstring script, expected;
    for (int i = 0; i < 20; ++i)
        script += L"x %BIG% ", expected += L"x " + big + L" ";
    EXPECT_EQ(expected, Expanded(script));
}

TEST_F(PreprocessTest, PerUserModeWrapsEachHkcrRootBlock)
{
    ASSERT_EQ(S_OK, m_registrar.AddVariable(L"APPID", CORVANE_APPID));
    const std::wstring unchanged = L"hkcr { a }\r\nHKEY_CLASSES_ROOT { b }\r\nHKCU { HKCR { c } }";
    EXPECT_EQ(L"HKCR { NoRemove AppID { } }", Expanded(L"HKCR { NoRemove AppID { } }")) << "not per-user";

    m_bPerUser = true;
    EXPECT_EQ(kOpening + L" { NoRemove AppID { } " + kClosing + L"}", Expanded(L"HKCR { NoRemove AppID { } }"));
    EXPECT_EQ(kOpening + L" { a " + kClosing + L"}\r\n" + kOpening + L"\t{ b " + kClosing + L"}",
              Expanded(L"HKCR { a }\r\nHKCR\t{ b }"));
    // A brace between quotes neither opens nor closes; a doubled quote stays doubled.
    EXPECT_EQ(kOpening + L" { 'it''s}' val '{' = s '}}' " + kClosing + L"}",
              Expanded(L"HKCR { 'it''s}' val '{' = s '}}' }"));
    EXPECT_EQ(unchanged, Expanded(unchanged)) << "only the upper-case short name at depth 0";

    // The program's own script, byte for byte as the registrar receives it.
    const std::wstring script = L"HKCR\r\n{\r\n\tNoRemove AppID\r\n\t{\r\n\t\t'%APPID%' = s 'Corvane'\r\n"
                                L"\t\t'Corvane.EXE'\r\n\t\t{\r\n\t\t\tval AppID = s '%APPID%'\r\n\t\t}\r\n\t}\r\n}\r\n";
    const std::wstring body = L"\r\n{\r\n\tNoRemove AppID\r\n\t{\r\n\t\t'" CORVANE_APPID L"' = s 'Corvane'\r\n"
                              L"\t\t'Corvane.EXE'\r\n\t\t{\r\n\t\t\tval AppID = s '" CORVANE_APPID
                              L"'\r\n\t\t}\r\n\t}\r\n";
    EXPECT_EQ(kOpening + body + kClosing + L"}\r\n", Expanded(script));
}

TEST(ScriptValueReaders, TypeLettersHexDigitsAndValueClauses)
{
    VARTYPE vtKind = VT_EMPTY;
    const struct
    {
        LPCWSTR pszLetter;
        VARTYPE vtKind;
    } kinds[] = {{L"s", VT_BSTR}, {L"S", VT_BSTR}, {L"m", VT_BSTR | VT_BYREF}, {L"D", VT_UI4}, {L"b", VT_UI1}};
    for (const auto& kind : kinds)
    {
        EXPECT_TRUE(CRegScriptParser::ValueTypeFromLetter(kind.pszLetter, &vtKind));
        EXPECT_EQ(kind.vtKind, vtKind);
    }
    for (LPCWSTR pszNoType : {L"", L"x", L"SS", L"sz", L"'s'"})
        EXPECT_FALSE(CRegScriptParser::ValueTypeFromLetter(pszNoType, &vtKind));

    const std::wstring digits = L"0123456789ABCDEFabcdefgG/:@`";
    const BYTE values[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 0};
    for (size_t i = 0; i < digits.size(); ++i)
        EXPECT_EQ(values[i], CRegScriptParser::HexDigitValue(digits[i])) << "digit " << static_cast<char>(digits[i]);

    CRegistrar registrar;
    CRegScriptParser parser(&registrar, false);
    ScriptToken token = L"Key";
    parser.m_pszCursor = L" = s 'value' next";
    EXPECT_EQ(S_OK, parser.SkipValueClause(token));
    EXPECT_STREQ(L"Key", token) << "no clause: token and cursor untouched";
    EXPECT_STREQ(L" = s 'value' next", parser.m_pszCursor);

    ASSERT_EQ(S_OK, parser.ReadToken(token));
    EXPECT_EQ(S_OK, parser.SkipValueClause(token));
    EXPECT_STREQ(L"next", token);

    parser.m_pszCursor = L"= q";
    ASSERT_EQ(S_OK, parser.ReadToken(token));
    EXPECT_EQ(DISP_E_EXCEPTION, parser.SkipValueClause(token)) << "the value token is missing";
}
