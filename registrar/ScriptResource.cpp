// Self-registration from a script resource: loading the script from a module file and the module's variables.
#include "registrar/Registrar.h"

#include "registrar/FixedOrHeapBuffer.h"
#include "registrar/HResult.h"
#include "registrar/RegScriptParser.h"

#include <climits>
#include <cwchar>

namespace
{
// Script text up to this many code units is converted without the heap.
constexpr size_t kFixedScriptChars = 512;

// A module file loaded as data for the span of one script run.
class CDataModule
{
public:
    explicit CDataModule(LPCWSTR pszPath) : m_hModule(LoadLibraryExW(pszPath, nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
    ~CDataModule()
    {
        if (m_hModule != nullptr)
            FreeLibrary(m_hModule);
    }
    CDataModule(const CDataModule&) = delete;
    CDataModule& operator=(const CDataModule&) = delete;

    HMODULE m_hModule;
};
}  // namespace

HRESULT CRegistrar::ApplyScriptResource(LPCWSTR pszModulePath, WORD nID, LPCWSTR pszType, BOOL bRegister,
                                        bool bPerUser, CRegistrationJournal* pJournal)
{
    CDataModule module(pszModulePath);
    if (module.m_hModule == nullptr)
        return HResultFromLastError();

    HRSRC hResource = FindResourceW(module.m_hModule, MAKEINTRESOURCEW(nID), pszType);
    if (hResource == nullptr)
        return HResultFromLastError();
    HGLOBAL hData = LoadResource(module.m_hModule, hResource);
    if (hData == nullptr)
        return HResultFromLastError();
    const char* pchScript = static_cast<const char*>(LockResource(hData));
    if (pchScript == nullptr)
        return HResultFromLastError();
    const DWORD cbScript = SizeofResource(module.m_hModule, hResource);
    // MultiByteToWideChar counts in int; no script comes near that size.
    if (cbScript > static_cast<DWORD>(INT_MAX - 1))
        return E_OUTOFMEMORY;

    CFixedOrHeapBuffer<WCHAR, kFixedScriptChars> text;
    if (!text.Allocate(static_cast<size_t>(cbScript) + 1))
        return E_OUTOFMEMORY;
    // 8-bit text in the ANSI code page, stored without a terminating NUL.
    const int nChars = MultiByteToWideChar(CP_THREAD_ACP, 0, pchScript, static_cast<int>(cbScript), text.Get(),
                                           static_cast<int>(cbScript));
    if (nChars == 0)
        return HResultFromLastError();
    text.Get()[nChars] = L'\0';

    CRegScriptParser parser(this, bPerUser);
    return parser.RunScript(text.Get(), bRegister, pJournal);
}

void DoubleSingleQuotes(LPWSTR pszDest, size_t nDestChars, LPCWSTR pszSource)
{
    if (nDestChars == 0)
        return;
    const size_t nLimit = nDestChars - 1;
    size_t nWritten = 0;
    for (; *pszSource != L'\0' && nWritten < nLimit; ++pszSource)
    {
        pszDest[nWritten++] = *pszSource;
        if (*pszSource == L'\'' && nWritten < nLimit)
            pszDest[nWritten++] = L'\'';
    }
    pszDest[nWritten] = L'\0';
}

HRESULT RegisterFromScriptResource(IRegistrationModule* pModule, HINSTANCE hInstance, UINT nID, BOOL bRegister,
                                   const ReplacementPair* pPairs, bool bPerUser, CRegistrationJournal* pJournal)
{
    CRegistrar registrar;
    if (pPairs != nullptr)
    {
        // A pair that cannot be added shows up later, as an unknown variable of the script.
        for (; pPairs->pszName != nullptr; ++pPairs)
            registrar.AddVariable(pPairs->pszName, pPairs->pszValue);
    }
    HRESULT hr = pModule->AddCommonVariables(&registrar);
    if (FAILED(hr))
        return hr;

    WCHAR szPath[MAX_PATH];
    const DWORD nPathChars = GetModuleFileNameW(hInstance, szPath, MAX_PATH);
    if (nPathChars == 0)
        return HResultFromLastError();
    if (nPathChars == MAX_PATH)
        return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);

    // Doubled quotes let the path stand inside a quoted script token.
    WCHAR szEscaped[MAX_PATH * 2];
    DoubleSingleQuotes(szEscaped, MAX_PATH * 2, szPath);

    // The executable itself gets its path in double quotes, ready for a command line.
    WCHAR szModule[MAX_PATH * 2 + 4];
    if (hInstance == nullptr || hInstance == GetModuleHandleW(nullptr))
    {
        const size_t nEscapedChars = wcslen(szEscaped);
        if (nEscapedChars + 3 > MAX_PATH * 2 + 4)
            return E_FAIL;
        szModule[0] = L'"';
        wmemcpy(szModule + 1, szEscaped, nEscapedChars);
        szModule[nEscapedChars + 1] = L'"';
        szModule[nEscapedChars + 2] = L'\0';
    }
    else
    {
        wmemcpy(szModule, szEscaped, wcslen(szEscaped) + 1);
    }

    hr = registrar.AddVariable(L"Module", szModule);
    if (FAILED(hr))
        return hr;
    hr = registrar.AddVariable(L"Module_Raw", szEscaped);
    if (FAILED(hr))
        return hr;

    return registrar.ApplyScriptResource(szPath, static_cast<WORD>(nID), L"REGISTRY", bRegister, bPerUser, pJournal);
}
