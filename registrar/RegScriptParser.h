// CRegScriptParser: reads a registry script (preprocessor, tokenizer, value clauses) and walks it into the registry.
#pragma once
#include <windows.h>

#include "registrar/RegKeyHandle.h"
#include "registrar/RegistrationJournal.h"

class CRegistrar;

// Every buffer that receives a token holds this many code units; a token has at most 4094 of them.
constexpr int kScriptTokenChars = 4096;
typedef WCHAR ScriptToken[kScriptTokenChars];

// Every fault of a script's text (an unknown root, a missing brace or quote, nesting too deep, ...) fails the
// script with this one result.
constexpr HRESULT kScriptSyntaxError = DISP_E_EXCEPTION;

// Created for one run of one script and discarded afterwards.
class CRegScriptParser
{
public:
    // bPerUser: the preprocessor puts HKCR root blocks under HKCU\Software\Classes.
    CRegScriptParser(CRegistrar* pRegistrar, bool bPerUser) : m_pRegistrar(pRegistrar), m_bPerUser(bPerUser) {}
    CRegScriptParser(const CRegScriptParser&) = delete;
    CRegScriptParser& operator=(const CRegScriptParser&) = delete;

    // Reading the text (RegScriptParser.cpp).
    void SkipBlanks();
    HRESULT ReadToken(ScriptToken& token);
    // Expands %NAME% and, for per-user registration, puts HKCR blocks under HKCU\Software\Classes.
    // *ppszResult receives a new text in COM task memory, which the caller frees with CoTaskMemFree.
    HRESULT Preprocess(LPCWSTR pszText, LPWSTR* ppszResult);
    static bool ValueTypeFromLetter(LPCWSTR pszToken, VARTYPE* pvtKind);
    static BYTE HexDigitValue(WCHAR chDigit);
    HRESULT SkipValueClause(ScriptToken& token);

    // Applying the script to the registry (ScriptWalk.cpp). A registration records every change into pJournal when
    // given, whose owner undoes a failure together with its own steps; else a failed registration is undone before it
    // returns.
    HRESULT RunScript(LPCWSTR pszScript, BOOL bRegister, CRegistrationJournal* pJournal = nullptr);
    static HKEY RootKeyFromName(LPCWSTR pszName);
    static bool IsRemovableKey(LPCWSTR pszName);
    static bool KeyHasSubkeys(HKEY hKey);

    LPCWSTR m_pszCursor = nullptr;  // current read position
    CRegistrar* m_pRegistrar;       // source of variable values; not owned
    bool m_bPerUser;                // per-user registration

private:
    // The walk runs only inside RunScript, which keeps the registration's journal.
    HRESULT WalkBlock(ScriptToken& token, HKEY hParent, BOOL bRegister, BOOL bRecovering);
    HRESULT WriteValue(CRegKeyHandle& key, LPCWSTR pszValueName, ScriptToken& token);
    HRESULT WalkValueEntry(ScriptToken& token, HKEY hParent, BOOL bRegister, BOOL bRecovering, bool bRemovable);
    HRESULT ReadPastKeyValueClause(ScriptToken& token);
    HRESULT RegisterDeleteEntry(ScriptToken& token, HKEY hParent);
    HRESULT RegisterKeyEntry(ScriptToken& token, HKEY hParent, CRegKeyHandle& key);
    HRESULT UnregisterKeyEntry(ScriptToken& token, HKEY hParent, BOOL bRecovering, bool bRemovable,
                               bool bDeleteEntry, CRegKeyHandle& key);

    int m_nBlockDepth = 0;                         // nesting of the block being walked
    CRegistrationJournal* m_pJournal = nullptr;    // while registering: what the walk changed
};
