// Applying a registry script: the register and unregister walk over its root blocks, keys and values.
#include "registrar/RegScriptParser.h"

#include "registrar/FixedOrHeapBuffer.h"
#include "registrar/HResult.h"
#include "registrar/HResultException.h"
#include "registrar/ScriptBuffer.h"

#include <cwchar>

namespace
{
// No registry path is deeper than 512 keys; a deeper script would only exhaust the stack.
constexpr int kMaxBlockDepth = 512;

// Value data up to these sizes is built without the heap.
constexpr size_t kFixedBinaryBytes = 256;
constexpr size_t kFixedMultiStringChars = 128;

// Key names that ForceRemove and Delete never remove.
constexpr LPCWSTR kProtectedKeyNames[] = {
    L"AppID",    L"CLSID",  L"Component Categories", L"FileType", L"Interface", L"Hardware",
    L"Mime",     L"SAM",    L"SECURITY",             L"SYSTEM",   L"Software",  L"TypeLib",
};

bool IsKeyword(LPCWSTR pszToken, LPCWSTR pszKeyword)
{
    return lstrcmpiW(pszToken, pszKeyword) == 0;
}

bool IsOpeningBrace(LPCWSTR pszToken)
{
    return pszToken[0] == L'{' && pszToken[1] == L'\0';
}

bool HasBackslash(LPCWSTR pszToken)
{
    return wcschr(pszToken, L'\\') != nullptr;
}

// Counts the levels of WalkBlock that are running.
class CBlockDepth
{
public:
    explicit CBlockDepth(int& nDepth) : m_nDepth(nDepth) { ++m_nDepth; }
    ~CBlockDepth() { --m_nDepth; }
    CBlockDepth(const CBlockDepth&) = delete;
    CBlockDepth& operator=(const CBlockDepth&) = delete;

private:
    int& m_nDepth;
};
}  // namespace

HRESULT CRegScriptParser::RunScript(LPCWSTR pszScript, BOOL bRegister, CRegistrationJournal* pJournal)
{
    LPWSTR pszText = nullptr;
    HRESULT hr = Preprocess(pszScript, &pszText);
    if (FAILED(hr))
        return hr;
    CTaskMemText text(pszText);
    m_pszCursor = pszText;
    if (*m_pszCursor == L'\0')
        return S_OK;

    CRegistrationJournal journal;
    m_pJournal = !bRegister ? nullptr : pJournal != nullptr ? pJournal : &journal;
    try
    {
        ScriptToken token;
        for (;;)
        {
            hr = ReadToken(token);
            if (FAILED(hr))
                break;
            HKEY hRoot = RootKeyFromName(token);
            if (hRoot == nullptr)
            {
                hr = kScriptSyntaxError;
                break;
            }
            hr = ReadToken(token);
            if (FAILED(hr))
                break;
            if (token[0] != L'{')
            {
                hr = kScriptSyntaxError;
                break;
            }
            hr = WalkBlock(token, hRoot, bRegister, FALSE);
            if (FAILED(hr))
                break;
            SkipBlanks();
            if (*m_pszCursor == L'\0')
            {
                hr = S_OK;
                break;
            }
        }
    }
    catch (const CHResultException& e)
    {
        hr = e.m_hr;
    }
    // A failed registration takes back all it did, in all root blocks, and leaves what was there before; with the
    // caller's journal the caller does.
    if (FAILED(hr))
        journal.Undo();
    m_pJournal = nullptr;
    m_pszCursor = nullptr;
    return hr;
}

HRESULT CRegScriptParser::WalkBlock(ScriptToken& token, HKEY hParent, BOOL bRegister, BOOL bRecovering)
{
    CBlockDepth depth(m_nBlockDepth);
    if (m_nBlockDepth > kMaxBlockDepth)
        return kScriptSyntaxError;

    CRegKeyHandle key;  // the current key of this level
    HRESULT hr = ReadToken(token);
    if (FAILED(hr))
        return hr;
    if (token[0] == L'}')
        return S_OK;

    for (;;)
    {
        bool bRemovable = true;
        bool bDeleteEntry = false;
        bool bEntryDone = false;
        if (IsKeyword(token, L"ForceRemove") || (bDeleteEntry = IsKeyword(token, L"Delete")))
        {
            hr = ReadToken(token);
            if (FAILED(hr))
                return hr;
            if (bRegister)
            {
                if (HasBackslash(token))
                    return kScriptSyntaxError;
                if (bDeleteEntry)
                {
                    hr = RegisterDeleteEntry(token, hParent);
                    if (FAILED(hr))
                        return hr;
                    bEntryDone = true;
                }
                else if (IsRemovableKey(token))
                {
                    // A key that cannot be removed stays, and the entry goes on to open it.
                    CLentRegKey parent(hParent);
                    parent.Key().DeleteTree(token);
                }
            }
        }

        if (!bEntryDone)
        {
            if (IsKeyword(token, L"NoRemove"))
            {
                bRemovable = false;
                hr = ReadToken(token);
                if (FAILED(hr))
                    return hr;
            }

            if (IsKeyword(token, L"Val"))
            {
                hr = WalkValueEntry(token, hParent, bRegister, bRecovering, bRemovable);
                if (FAILED(hr))
                    return hr;
                // A value has no subkeys: a block after it is refused in both modes.
                if (IsOpeningBrace(token))
                    return kScriptSyntaxError;
            }
            else
            {
                if (HasBackslash(token))
                    return kScriptSyntaxError;
                if (bRegister)
                {
                    hr = RegisterKeyEntry(token, hParent, key);
                    if (FAILED(hr))
                        return hr;
                    if (IsOpeningBrace(token))
                    {
                        hr = WalkBlock(token, key.m_hKey, TRUE, FALSE);
                        if (FAILED(hr))
                            return hr;
                        hr = ReadToken(token);
                        if (FAILED(hr))
                            return hr;
                    }
                }
                else
                {
                    hr = UnregisterKeyEntry(token, hParent, bRecovering, bRemovable, bDeleteEntry, key);
                    if (FAILED(hr))
                        return hr;
                }
            }
        }

        if (token[0] == L'}')
            return S_OK;
    }
}

// Kept out of WalkBlock's frame: its name buffer must not stack up with every level of nesting.
[[gnu::noinline]] HRESULT CRegScriptParser::WalkValueEntry(ScriptToken& token, HKEY hParent, BOOL bRegister,
                                                           BOOL bRecovering, bool bRemovable)
{
    ScriptToken valueName;
    HRESULT hr = ReadToken(valueName);
    if (FAILED(hr))
        return hr;
    hr = ReadToken(token);
    if (FAILED(hr))
        return hr;
    if (token[0] != L'=')
        return kScriptSyntaxError;

    if (bRegister)
    {
        CLentRegKey parent(hParent);
        return WriteValue(parent.Key(), valueName, token);
    }

    if (!bRecovering && bRemovable)
    {
        CRegKeyHandle parent;
        LONG lResult = parent.OpenKey(hParent, nullptr, KEY_WRITE);
        if (lResult != ERROR_SUCCESS)
            return HResultFromWin32(lResult);
        lResult = RegDeleteValueW(parent.m_hKey, valueName);
        if (lResult != ERROR_SUCCESS && lResult != ERROR_FILE_NOT_FOUND)
            return HResultFromWin32(lResult);
    }
    return SkipValueClause(token);
}

// Reads the token after a key name, past the key's default-value clause when it has one.
HRESULT CRegScriptParser::ReadPastKeyValueClause(ScriptToken& token)
{
    HRESULT hr = ReadToken(token);
    return FAILED(hr) ? hr : SkipValueClause(token);
}

// Delete in register mode: the whole entry is read first, so that a malformed one removes nothing.
[[gnu::noinline]] HRESULT CRegScriptParser::RegisterDeleteEntry(ScriptToken& token, HKEY hParent)
{
    ScriptToken keyName;
    wmemcpy(keyName, token, wcslen(token) + 1);
    HRESULT hr = ReadPastKeyValueClause(token);
    if (FAILED(hr))
        return hr;
    // The key is removed, so a block of subkeys after it has nothing to apply to.
    if (IsOpeningBrace(token))
        return kScriptSyntaxError;
    if (IsRemovableKey(keyName))
    {
        CLentRegKey parent(hParent);
        parent.Key().DeleteTree(keyName);  // a key that cannot be removed stays; the entry is done either way
    }
    return S_OK;
}

HRESULT CRegScriptParser::RegisterKeyEntry(ScriptToken& token, HKEY hParent, CRegKeyHandle& key)
{
    LONG lResult = key.OpenKey(hParent, token, KEY_READ | KEY_WRITE);
    if (lResult != ERROR_SUCCESS)
        lResult = key.OpenKey(hParent, token, KEY_READ);  // used read-only from here on
    if (lResult != ERROR_SUCCESS)
    {
        lResult = m_pJournal->CreateKey(key, hParent, token);
        if (lResult != ERROR_SUCCESS)
            return HResultFromWin32(lResult);
    }
    HRESULT hr = ReadToken(token);
    if (FAILED(hr))
        return hr;
    if (token[0] == L'=')
        return WriteValue(key, nullptr, token);
    return S_OK;
}

HRESULT CRegScriptParser::UnregisterKeyEntry(ScriptToken& token, HKEY hParent, BOOL bRecovering, bool bRemovable,
                                             bool bDeleteEntry, CRegKeyHandle& key)
{
    // Below a key that could not be opened nothing is tried: such keys count as missing.
    LONG lOpen = ERROR_FILE_NOT_FOUND;
    BOOL bRecoveringBelow = bRecovering;
    if (!bRecovering)
    {
        lOpen = key.OpenKey(hParent, token, KEY_READ);
        if (lOpen != ERROR_SUCCESS)
            bRecoveringBelow = TRUE;
    }
    WCHAR szKeyName[260];
    CheckBoundedCopy(wcsncpy_s(szKeyName, token, _TRUNCATE));

    HRESULT hr = ReadPastKeyValueClause(token);
    if (FAILED(hr))
        return hr;
    if (IsOpeningBrace(token))
    {
        if (bDeleteEntry)
            return kScriptSyntaxError;  // refused as in register mode, so a script means the same both ways
        // Below a missing key only the text is read, and a failure there is a malformed script: the walk ends,
        // since resuming would read the entries after the error one level too high.
        hr = WalkBlock(token, lOpen == ERROR_SUCCESS ? key.m_hKey : nullptr, FALSE, bRecoveringBelow);
        if (FAILED(hr))
            return hr;
        hr = ReadToken(token);
        if (FAILED(hr))
            return hr;
    }

    if (lOpen == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (lOpen != ERROR_SUCCESS)
        return HResultFromWin32(lOpen);

    // Bottom-up: the key goes only when its listed contents are gone and nobody else's subkeys remain.
    const bool bHasSubkeys = KeyHasSubkeys(key.m_hKey);
    LONG lResult = key.CloseKey();
    if (lResult != ERROR_SUCCESS)
        return HResultFromWin32(lResult);
    if (bRemovable && !bHasSubkeys)
    {
        CLentRegKey parent(hParent);
        lResult = parent.Key().DeleteChild(szKeyName);
        if (lResult != ERROR_SUCCESS)
            return HResultFromWin32(lResult);
    }
    return S_OK;
}

[[gnu::noinline]] HRESULT CRegScriptParser::WriteValue(CRegKeyHandle& key, LPCWSTR pszValueName, ScriptToken& token)
{
    ScriptToken value;
    HRESULT hr = ReadToken(value);
    if (FAILED(hr))
        return hr;
    VARTYPE vtKind = VT_EMPTY;
    if (!ValueTypeFromLetter(value, &vtKind))
        return kScriptSyntaxError;
    SkipBlanks();
    hr = ReadToken(value);
    if (FAILED(hr))
        return hr;

    LONG lResult = m_pJournal->SaveValue(key.m_hKey, pszValueName);
    if (lResult != ERROR_SUCCESS)
        return HResultFromWin32(lResult);
    const size_t nValueChars = wcslen(value);
    switch (vtKind)
    {
    case VT_BSTR:
        lResult = key.WriteString(pszValueName, value, REG_SZ);
        break;
    case VT_UI4:
    {
        // A text that is no number writes 0: the conversion leaves the number alone when it fails.
        ULONG nNumber = 0;
        static_cast<void>(VarUI4FromStr(value, 0, 0, &nNumber));
        lResult = key.WriteDword(pszValueName, nNumber);
        break;
    }
    case VT_UI1:
    {
        if (nValueChars % 2 != 0)
            return E_FAIL;
        const size_t nBytes = nValueChars / 2;
        CFixedOrHeapBuffer<BYTE, kFixedBinaryBytes> bytes;
        if (!bytes.Allocate(nBytes))
            return E_FAIL;
        for (size_t i = 0; i < nBytes; ++i)
            bytes.Get()[i] = static_cast<BYTE>(HexDigitValue(value[2 * i]) * 16 + HexDigitValue(value[2 * i + 1]));
        lResult = RegSetValueExW(key.m_hKey, pszValueName, 0, REG_BINARY, bytes.Get(), static_cast<DWORD>(nBytes));
        break;
    }
    default:  // multi-string: "\0" separates the strings
    {
        CFixedOrHeapBuffer<WCHAR, kFixedMultiStringChars> list;
        if (!list.Allocate(nValueChars + 2))
            return E_OUTOFMEMORY;
        WCHAR* pchOut = list.Get();
        for (size_t i = 0; i < nValueChars; ++i)
        {
            if (value[i] == L'\\' && value[i + 1] == L'0')
            {
                *pchOut++ = L'\0';
                ++i;
            }
            else
            {
                *pchOut++ = value[i];
            }
        }
        *pchOut++ = L'\0';
        *pchOut = L'\0';
        lResult = key.WriteMultiString(pszValueName, list.Get());
        break;
    }
    }
    if (lResult != ERROR_SUCCESS)
        return HResultFromWin32(lResult);
    return ReadToken(token);
}

HKEY CRegScriptParser::RootKeyFromName(LPCWSTR pszName)
{
    static const struct
    {
        LPCWSTR pszName;
        HKEY hKey;
    } s_roots[] = {
        {L"HKCR", HKEY_CLASSES_ROOT},
        {L"HKCU", HKEY_CURRENT_USER},
        {L"HKLM", HKEY_LOCAL_MACHINE},
        {L"HKU", HKEY_USERS},
        {L"HKPD", HKEY_PERFORMANCE_DATA},
        {L"HKDD", HKEY_DYN_DATA},
        {L"HKCC", HKEY_CURRENT_CONFIG},
        {L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
        {L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
        {L"HKEY_USERS", HKEY_USERS},
        {L"HKEY_PERFORMANCE_DATA", HKEY_PERFORMANCE_DATA},
        {L"HKEY_DYN_DATA", HKEY_DYN_DATA},
        {L"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    for (const auto& root : s_roots)
    {
        if (lstrcmpiW(pszName, root.pszName) == 0)
            return root.hKey;
    }
    return nullptr;
}

bool CRegScriptParser::IsRemovableKey(LPCWSTR pszName)
{
    for (LPCWSTR pszProtected : kProtectedKeyNames)
    {
        if (lstrcmpiW(pszName, pszProtected) == 0)
            return false;
    }
    return true;
}

bool CRegScriptParser::KeyHasSubkeys(HKEY hKey)
{
    DWORD nSubkeys = 0;
    if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &nSubkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    return nSubkeys > 0;
}
