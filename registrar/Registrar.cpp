// CRegistrar: a registrar that only holds variables; it is neither reference counted nor queried.
#include "registrar/Registrar.h"

HRESULT STDMETHODCALLTYPE CRegistrar::QueryInterface(REFIID, void** ppvObject)
{
    if (ppvObject != nullptr)
        *ppvObject = nullptr;
    return E_NOTIMPL;
}

ULONG STDMETHODCALLTYPE CRegistrar::AddRef()
{
    return 1;
}

ULONG STDMETHODCALLTYPE CRegistrar::Release()
{
    return 0;
}

HRESULT STDMETHODCALLTYPE CRegistrar::AddVariable(LPCWSTR pszName, LPCWSTR pszValue)
{
    return m_variables.AddVariable(pszName, pszValue);
}

HRESULT STDMETHODCALLTYPE CRegistrar::ClearVariables()
{
    m_variables.ClearVariables();
    return S_OK;
}

LPCWSTR CRegistrar::FindVariable(LPCWSTR pszName) const
{
    return m_variables.FindVariable(pszName);
}
