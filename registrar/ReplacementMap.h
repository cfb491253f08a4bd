// CReplacementMap: the name/value pairs that a registry script's %NAME% references expand to.
#pragma once
#include <windows.h>

#include <memory>

class CReplacementMap
{
public:
    CReplacementMap() = default;
    CReplacementMap(const CReplacementMap&) = delete;
    CReplacementMap& operator=(const CReplacementMap&) = delete;

    // Copies both texts and appends the pair; a name already present gets a second pair.
    // E_INVALIDARG for a null text, E_OUTOFMEMORY (and no pair added) when memory runs out.
    HRESULT AddVariable(LPCWSTR pszName, LPCWSTR pszValue);
    void ClearVariables();
    // The value of the first pair whose name matches regardless of case, or null.
    LPCWSTR FindVariable(LPCWSTR pszName) const;

private:
    typedef std::unique_ptr<WCHAR[]> CText;

    std::unique_ptr<CText[]> m_pNames;
    std::unique_ptr<CText[]> m_pValues;
    int m_nCount = 0;
};
