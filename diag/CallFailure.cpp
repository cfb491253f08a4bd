// A failed call told with its cause: one text, built once, for the console line and the error event.
#include "diag/CallFailure.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "diag/ErrorEvent.h"
#include "diag/Trace.h"

namespace
{
// Formats as TraceW does: at most 511 characters, always closed.
void FormatText(wchar_t* pszText, const wchar_t* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    FormatTraceTextW(pszText, pszFormat, args);
    va_end(args);
}
}  // namespace

void ReportCallFailure(LPCWSTR pszCall, DWORD nError, bool bErrorEvent)
{
    wchar_t szSystem[TRACE_BUFFER_CHARS] = L"";
    DWORD nSystem = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, nError, 0,
                                   szSystem, TRACE_BUFFER_CHARS, nullptr);
    // The system's texts end with a line end, which would split the one line.
    while (nSystem > 0 && std::wcschr(L"\r\n ", szSystem[nSystem - 1]) != nullptr)
        szSystem[--nSystem] = L'\0';
    // A Win32 code as the decimal number that its documentation gives; an HRESULT in hexadecimal, as it is written.
    wchar_t szText[TRACE_BUFFER_CHARS];
    FormatText(szText, nError >= 0x80000000u ? L"%ls failed: error 0x%08lX%ls%ls" : L"%ls failed: error %lu%ls%ls",
               pszCall, nError, nSystem > 0 ? L": " : L"", szSystem);

    // In the console's code page, as the console shows it (a localized system text is rarely plain ASCII); the ANSI
    // code page without a console.
    const UINT nCodePage = GetConsoleOutputCP();
    char szLine[TRACE_BUFFER_CHARS * 3];  // up to 3 bytes per UTF-16 unit
    if (WideCharToMultiByte(nCodePage != 0 ? nCodePage : CP_ACP, 0, szText, -1, szLine, sizeof szLine, nullptr,
                            nullptr) == 0)
        szLine[0] = '\0';
    std::printf("ZetCorvane: %s\n", szLine);
    std::fflush(stdout);
    if (bErrorEvent)
        WriteErrorEvent(static_cast<int>(nError), szText);
}
