// CReplacementMap: owned copies of the variables, grown by one pair at a time.
#include "registrar/ReplacementMap.h"

#include "registrar/HResultException.h"

#include <cwchar>
#include <new>
#include <utility>

namespace
{
std::unique_ptr<WCHAR[]> CopyText(LPCWSTR pszText)
{
    const size_t nChars = wcslen(pszText) + 1;
    std::unique_ptr<WCHAR[]> pCopy(new (std::nothrow) WCHAR[nChars]);
    if (!pCopy)
        throw CHResultException(E_OUTOFMEMORY);
    CheckBoundedCopy(wcscpy_s(pCopy.get(), nChars, pszText));
    return pCopy;
}
}  // namespace

HRESULT CReplacementMap::AddVariable(LPCWSTR pszName, LPCWSTR pszValue)
{
    if (pszName == nullptr || pszValue == nullptr)
        return E_INVALIDARG;
    try
    {
        CText pName = CopyText(pszName);
        CText pValue = CopyText(pszValue);
        // Both arrays are had before either is touched, so a failure leaves the map as it was.
        std::unique_ptr<CText[]> pNames(new (std::nothrow) CText[m_nCount + 1]);
        std::unique_ptr<CText[]> pValues(new (std::nothrow) CText[m_nCount + 1]);
        if (!pNames || !pValues)
            throw CHResultException(E_OUTOFMEMORY);
        for (int i = 0; i < m_nCount; ++i)
        {
            pNames[i] = std::move(m_pNames[i]);
            pValues[i] = std::move(m_pValues[i]);
        }
        pNames[m_nCount] = std::move(pName);
        pValues[m_nCount] = std::move(pValue);
        m_pNames = std::move(pNames);
        m_pValues = std::move(pValues);
        ++m_nCount;
        return S_OK;
    }
    catch (const CHResultException& e)
    {
        return e.m_hr;
    }
}

void CReplacementMap::ClearVariables()
{
    m_pNames.reset();
    m_pValues.reset();
    m_nCount = 0;
}

LPCWSTR CReplacementMap::FindVariable(LPCWSTR pszName) const
{
    for (int i = 0; i < m_nCount; ++i)
    {
        if (lstrcmpiW(m_pNames[i].get(), pszName) == 0)
            return m_pValues[i].get();
    }
    return nullptr;
}
