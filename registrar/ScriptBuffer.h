// CScriptBuffer: the growing text, in COM task memory, that receives a preprocessed registry script.
#pragma once
#include <windows.h>

#include <memory>

class CScriptBuffer
{
public:
    // Room for nRequested code units (twice the script's length); below 100 it becomes 1000.
    explicit CScriptBuffer(size_t nRequested);
    ~CScriptBuffer();
    CScriptBuffer(const CScriptBuffer&) = delete;
    CScriptBuffer& operator=(const CScriptBuffer&) = delete;

    // False when the first allocation failed.
    bool HasText() const { return m_pszText != nullptr; }
    // Appends nChars code units and a NUL; on failure the buffer stays as it was.
    bool Append(LPCWSTR pchText, size_t nChars);
    bool Append(LPCWSTR pszText);
    // Hands the text to the caller, who frees it with CoTaskMemFree.
    LPWSTR Detach();

private:
    int m_nLength = 0;
    int m_nCapacity = 0;
    LPWSTR m_pszText = nullptr;
};

// Owner of a text in COM task memory, such as the preprocessed script.
struct CTaskMemFree
{
    void operator()(void* pMemory) const { CoTaskMemFree(pMemory); }
};
typedef std::unique_ptr<WCHAR, CTaskMemFree> CTaskMemText;
