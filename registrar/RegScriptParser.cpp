// Reading a registry script: blanks, tokens, the preprocessor and the small value-clause readers.
#include "registrar/RegScriptParser.h"

#include "registrar/Registrar.h"
#include "registrar/ScriptBuffer.h"

#include <cwchar>

namespace
{
// Per-user registration wraps each HKCR root block in HKCU\Software\Classes.
constexpr WCHAR kPerUserOpening[] = L"HKCU\r\n{\tSoftware\r\n\t{\r\n\t\tClasses";
constexpr WCHAR kPerUserClosing[] = L"\r\n\t}\r\n}\r\n";

// Longest variable name between two '%' signs, in code units.
constexpr ptrdiff_t kMaxVariableNameChars = 31;

bool IsBlank(WCHAR ch)
{
    return ch == L'\t' || ch == L'\n' || ch == L'\r' || ch == L' ';
}

// Copies the character at *ppszCursor (all its code units) into the token, keeping room for the NUL.
bool StoreCharacter(ScriptToken& token, int& nStored, LPCWSTR* ppszCursor)
{
    LPCWSTR pszNext = CharNextW(*ppszCursor);
    const ptrdiff_t nUnits = pszNext - *ppszCursor;
    if (nStored + nUnits + 1 >= kScriptTokenChars)
        return false;
    wmemcpy(token + nStored, *ppszCursor, static_cast<size_t>(nUnits));
    nStored += static_cast<int>(nUnits);
    *ppszCursor = pszNext;
    return true;
}
}  // namespace

void CRegScriptParser::SkipBlanks()
{
    while (IsBlank(*m_pszCursor))
        m_pszCursor = CharNextW(m_pszCursor);
}

HRESULT CRegScriptParser::ReadToken(ScriptToken& token)
{
    token[0] = L'\0';
    SkipBlanks();
    if (*m_pszCursor == L'\0')
        return kScriptSyntaxError;

    int nStored = 0;
    if (*m_pszCursor != L'\'')
    {
        while (*m_pszCursor != L'\0' && !IsBlank(*m_pszCursor))
        {
            if (!StoreCharacter(token, nStored, &m_pszCursor))
                return kScriptSyntaxError;
        }
    }
    else
    {
        m_pszCursor = CharNextW(m_pszCursor);
        for (;;)
        {
            if (*m_pszCursor == L'\0')
                return kScriptSyntaxError;  // no closing quote
            if (*m_pszCursor == L'\'')
            {
                LPCWSTR pszNext = CharNextW(m_pszCursor);
                if (*pszNext != L'\'')
                {
                    m_pszCursor = pszNext;  // the closing quote ends the token; the next may follow at once
                    break;
                }
                if (nStored + 2 >= kScriptTokenChars)
                    return kScriptSyntaxError;
                token[nStored++] = L'\'';
                m_pszCursor = CharNextW(pszNext);
            }
            else if (!StoreCharacter(token, nStored, &m_pszCursor))
            {
                return kScriptSyntaxError;
            }
        }
    }
    token[nStored] = L'\0';
    return S_OK;
}

HRESULT CRegScriptParser::Preprocess(LPCWSTR pszText, LPWSTR* ppszResult)
{
    if (pszText == nullptr || ppszResult == nullptr)
        return E_POINTER;
    *ppszResult = nullptr;

    CScriptBuffer output(wcslen(pszText) * 2);
    if (!output.HasText())
        return E_OUTOFMEMORY;

    int nDepth = 0;
    bool bInQuotes = false;
    bool bRedirectOpen = false;
    m_pszCursor = pszText;
    while (*m_pszCursor != L'\0')
    {
        if (m_bPerUser)
        {
            if (nDepth == 0 && wcsncmp(m_pszCursor, L"HKCR", 4) == 0)
            {
                m_pszCursor += 4;
                if (!output.Append(kPerUserOpening))
                    return E_OUTOFMEMORY;
                bRedirectOpen = true;
                if (*m_pszCursor == L'\0')
                    break;
            }
            if (*m_pszCursor == L'\'')
            {
                if (!bInQuotes)
                {
                    bInQuotes = true;
                }
                else
                {
                    LPCWSTR pszNext = CharNextW(m_pszCursor);
                    if (*pszNext != L'\'')
                    {
                        bInQuotes = false;
                    }
                    else
                    {
                        // A doubled quote stays doubled: one written here, the second below.
                        m_pszCursor = pszNext;
                        if (!output.Append(L"'", 1))
                            return E_OUTOFMEMORY;
                    }
                }
            }
            else if (!bInQuotes && *m_pszCursor == L'{')
            {
                ++nDepth;
            }
            else if (!bInQuotes && *m_pszCursor == L'}')
            {
                if (--nDepth == 0 && bRedirectOpen)
                {
                    if (!output.Append(kPerUserClosing))
                        return E_OUTOFMEMORY;
                    bRedirectOpen = false;
                }
            }
        }

        if (*m_pszCursor == L'%')
        {
            m_pszCursor = CharNextW(m_pszCursor);
            if (*m_pszCursor == L'%')
            {
                if (!output.Append(L"%", 1))
                    return E_OUTOFMEMORY;
            }
            else
            {
                LPCWSTR pszEnd = wcschr(m_pszCursor, L'%');
                if (pszEnd == nullptr)
                    return kScriptSyntaxError;
                const ptrdiff_t nNameChars = pszEnd - m_pszCursor;
                if (nNameChars > kMaxVariableNameChars)
                    return E_FAIL;
                WCHAR szName[kMaxVariableNameChars + 1];
                wmemcpy(szName, m_pszCursor, static_cast<size_t>(nNameChars));
                szName[nNameChars] = L'\0';
                LPCWSTR pszValue = m_pRegistrar != nullptr ? m_pRegistrar->FindVariable(szName) : nullptr;
                if (pszValue == nullptr)
                    return kScriptSyntaxError;
                // The value goes in as it is: it is not scanned for variables, quotes or braces.
                if (!output.Append(pszValue))
                    return E_OUTOFMEMORY;
                m_pszCursor = pszEnd;
            }
        }
        else
        {
            // Every code unit of the character, so that nothing beyond plain ASCII is lost.
            LPCWSTR pszNext = CharNextW(m_pszCursor);
            if (!output.Append(m_pszCursor, static_cast<size_t>(pszNext - m_pszCursor)))
                return E_OUTOFMEMORY;
        }
        m_pszCursor = CharNextW(m_pszCursor);
    }
    *ppszResult = output.Detach();
    return S_OK;
}

bool CRegScriptParser::ValueTypeFromLetter(LPCWSTR pszToken, VARTYPE* pvtKind)
{
    static const struct
    {
        LPCWSTR pszLetter;
        VARTYPE vtKind;
    } s_kinds[] = {
        {L"S", VT_BSTR},
        {L"M", VT_BSTR | VT_BYREF},
        {L"D", VT_UI4},
        {L"B", VT_UI1},
    };
    for (const auto& kind : s_kinds)
    {
        if (lstrcmpiW(pszToken, kind.pszLetter) == 0)
        {
            *pvtKind = kind.vtKind;
            return true;
        }
    }
    return false;
}

BYTE CRegScriptParser::HexDigitValue(WCHAR chDigit)
{
    if (chDigit >= L'0' && chDigit <= L'9')
        return static_cast<BYTE>(chDigit - L'0');
    if (chDigit >= L'A' && chDigit <= L'F')
        return static_cast<BYTE>(chDigit - L'A' + 10);
    if (chDigit >= L'a' && chDigit <= L'f')
        return static_cast<BYTE>(chDigit - L'a' + 10);
    return 0;
}

HRESULT CRegScriptParser::SkipValueClause(ScriptToken& token)
{
    if (token[0] != L'=')
        return S_OK;
    ScriptToken dropped;
    HRESULT hr = ReadToken(dropped);  // the type letter, not checked here
    if (FAILED(hr))
        return hr;
    SkipBlanks();
    hr = ReadToken(dropped);
    if (FAILED(hr))
        return hr;
    return ReadToken(token);
}
