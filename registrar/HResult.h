// HRESULTs made from Win32 error codes, the one rule every registration step uses.
#pragma once
#include <windows.h>

// A code of 0 or below is kept; a positive code n becomes (n AND 0xFFFF) OR 0x80070000.
inline HRESULT HResultFromWin32(LONG nCode)
{
    return nCode <= 0 ? static_cast<HRESULT>(nCode)
                      : static_cast<HRESULT>((static_cast<ULONG>(nCode) & 0xFFFFu) | 0x80070000u);
}

inline HRESULT HResultFromLastError()
{
    return HResultFromWin32(static_cast<LONG>(GetLastError()));
}
