// The registrar: replacement variables for registry scripts and the entry into self-registration.
#pragma once
#include <windows.h>

#include "registrar/ReplacementMap.h"

class CRegistrationJournal;

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

// A module that registers itself from its script resources: it adds the variables that all of its scripts share.
class IRegistrationModule
{
public:
    virtual HRESULT AddCommonVariables(IScriptRegistrar* pRegistrar) = 0;

protected:
    ~IRegistrationModule() = default;
};

// Lives as a local object for one registration; it is not reference counted and hands out no interfaces.
class CRegistrar : public IScriptRegistrar
{
public:
    CRegistrar() = default;
    ~CRegistrar() override = default;  // the map frees every variable
    CRegistrar(const CRegistrar&) = delete;
    CRegistrar& operator=(const CRegistrar&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE AddVariable(LPCWSTR pszName, LPCWSTR pszValue) override;
    HRESULT STDMETHODCALLTYPE ClearVariables() override;

    LPCWSTR FindVariable(LPCWSTR pszName) const;
    // Loads script resource nID of type pszType from the module file as 8-bit text and runs it with these
    // variables, registering or unregistering; bPerUser puts its HKCR blocks under HKCU\Software\Classes. A
    // registration records into pJournal as CRegScriptParser::RunScript does.
    HRESULT ApplyScriptResource(LPCWSTR pszModulePath, WORD nID, LPCWSTR pszType, BOOL bRegister, bool bPerUser,
                                CRegistrationJournal* pJournal = nullptr);

private:
    CReplacementMap m_variables;
};

// Runs registry script resource nID of the module file hInstance, registering or unregistering it, with the
// caller's variables (may be null), the module's common variables, "Module" and "Module_Raw"; per user
// (bPerUser) its HKCR blocks go under HKCU\Software\Classes. A registration records into pJournal as
// CRegScriptParser::RunScript does.
HRESULT RegisterFromScriptResource(IRegistrationModule* pModule, HINSTANCE hInstance, UINT nID, BOOL bRegister,
                                   const ReplacementPair* pPairs, bool bPerUser,
                                   CRegistrationJournal* pJournal = nullptr);

// Copies pszSource with every single quote written twice, so that it can stand inside a quoted script token;
// stops before nDestChars - 1 code units and always ends with a NUL (nothing at all for a size of 0).
void DoubleSingleQuotes(LPWSTR pszDest, size_t nDestChars, LPCWSTR pszSource);
