// CScriptBuffer: doubling growth in COM task memory, always NUL-terminated.
#include "registrar/ScriptBuffer.h"

#include <cwchar>

namespace
{
// A capacity above this would not double within a signed 32-bit count.
constexpr int kMaxDoublableCapacity = 0x3FFFFFFF;
}

CScriptBuffer::CScriptBuffer(size_t nRequested)
{
    // A request too large for a 32-bit count can never be met: it counts as a failed allocation.
    if (nRequested > static_cast<size_t>(kMaxDoublableCapacity) * 2)
        return;
    int nCapacity = static_cast<int>(nRequested);
    if (nCapacity < 100)
        nCapacity = 1000;
    m_pszText = static_cast<LPWSTR>(CoTaskMemAlloc(static_cast<SIZE_T>(nCapacity) * sizeof(WCHAR)));
    if (m_pszText == nullptr)
        return;
    m_pszText[0] = L'\0';
    m_nCapacity = nCapacity;
}

CScriptBuffer::~CScriptBuffer()
{
    CoTaskMemFree(m_pszText);
}

bool CScriptBuffer::Append(LPCWSTR pchText, size_t nChars)
{
    if (m_pszText == nullptr)
        return false;
    // Counted in 64 bits so that no length can wrap before the capacity test.
    const unsigned long long nNeeded = static_cast<unsigned long long>(m_nLength) + nChars + 1;
    if (nNeeded >= static_cast<unsigned long long>(m_nCapacity))
    {
        long long nCapacity = m_nCapacity;
        while (static_cast<unsigned long long>(nCapacity) <= nNeeded)
        {
            if (nCapacity > kMaxDoublableCapacity)
                return false;
            nCapacity *= 2;
        }
        LPWSTR pszGrown = static_cast<LPWSTR>(
            CoTaskMemRealloc(m_pszText, static_cast<SIZE_T>(nCapacity) * sizeof(WCHAR)));
        if (pszGrown == nullptr)
            return false;
        m_pszText = pszGrown;
        m_nCapacity = static_cast<int>(nCapacity);
    }
    wmemcpy(m_pszText + m_nLength, pchText, nChars);
    m_nLength += static_cast<int>(nChars);
    m_pszText[m_nLength] = L'\0';
    return true;
}

bool CScriptBuffer::Append(LPCWSTR pszText)
{
    return Append(pszText, wcslen(pszText));
}

LPWSTR CScriptBuffer::Detach()
{
    LPWSTR pszText = m_pszText;
    m_pszText = nullptr;
    m_nLength = 0;
    m_nCapacity = 0;
    return pszText;
}
