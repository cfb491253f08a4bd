// Exact conversion of names between UTF-16 and the ANSI code page of the calling thread.
#include "tftp/AnsiName.h"

#include <windows.h>

bool WidenAnsiName(const std::string& name, std::wstring* pWide)
{
    pWide->clear();
    if (name.empty())
        return true;
    int nName = static_cast<int>(name.size());
    int nWide = MultiByteToWideChar(CP_THREAD_ACP, MB_ERR_INVALID_CHARS, name.data(), nName, nullptr, 0);
    if (nWide <= 0)
        return false;
    pWide->resize(static_cast<std::size_t>(nWide));
    return MultiByteToWideChar(CP_THREAD_ACP, MB_ERR_INVALID_CHARS, name.data(), nName, &(*pWide)[0], nWide) == nWide;
}

// The way back decides, not WC_NO_BEST_FIT_CHARS and the default-character flag: those are refused for
// UTF-8 as the ANSI code page, while the comparison holds for every code page.
bool NarrowAnsiName(const std::wstring& name, std::string* pNarrow)
{
    pNarrow->clear();
    if (name.empty())
        return true;
    int nName = static_cast<int>(name.size());
    int cbNarrow = WideCharToMultiByte(CP_THREAD_ACP, 0, name.data(), nName, nullptr, 0, nullptr, nullptr);
    if (cbNarrow <= 0)
        return false;
    pNarrow->resize(static_cast<std::size_t>(cbNarrow));
    std::wstring back;
    return WideCharToMultiByte(CP_THREAD_ACP, 0, name.data(), nName, &(*pNarrow)[0], cbNarrow, nullptr, nullptr) ==
               cbNarrow &&
           WidenAnsiName(*pNarrow, &back) && back == name;
}
