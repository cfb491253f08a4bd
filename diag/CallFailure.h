// A failed call told with its cause: the call, its Win32 code and the system's text, on the console and in the log.
#pragma once
#include <windows.h>

// Prints "ZetCorvane: CALL failed: error N: TEXT" as one line on standard output, TEXT being the system's text for N
// (FormatMessageW, its line end trimmed; left out with its colon when the system has none) and N written in
// hexadecimal when it is an HRESULT. With bErrorEvent the same text, without "ZetCorvane: ", is also the message of
// the error event (WriteErrorEvent).
void ReportCallFailure(LPCWSTR pszCall, DWORD nError, bool bErrorEvent);
