// The registrar: replacement variables for registry scripts and the entry into self-registration.
#pragma once
#include <windows.h>

class CModuleBase;

// One caller-supplied replacement variable; a list ends with a pair whose name is null.
struct ReplacementPair
{
    LPCWSTR pszName;
    LPCWSTR pszValue;
};

class IScriptRegistrar : public IUnknown
{
public:
    virtual HRESULT STDMETHODCALLTYPE AddVariable(LPCWSTR pszName, LPCWSTR pszValue) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearVariables() = 0;
    virtual ~IScriptRegistrar() = default;
};

// Runs registry script resource nID of the executable, registering or unregistering it, with the
// caller's variables (may be null), the module's common variables, "Module" and "Module_Raw".
HRESULT RegisterFromScriptResource(CModuleBase* pModule, UINT nID, BOOL bRegister, const ReplacementPair* pPairs);
