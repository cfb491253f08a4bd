// Trace output: formats each message into a bounded stack buffer and writes it to standard output at once.
#include "diag/Trace.h"

#include <cstdio>
#include <cwchar>

int g_bTraceQuiet = 1;

// The formatted text is always passed as the argument of "%s" / "%ls", never as a format, so a '%'
// from a peer's file name is printed as it is. Every call flushes: in foreground mode the process is
// only ever ended from outside, and lines left in the runtime's buffer of a redirected stream would be lost.

void FormatTraceTextW(wchar_t* pszBuffer, const wchar_t* pszFormat, va_list args)
{
    // The wide formatter reports a cut as a failure, and some runtimes leave the buffer unclosed then.
    pszBuffer[0] = L'\0';
    std::vswprintf(pszBuffer, TRACE_BUFFER_CHARS, pszFormat, args);
    pszBuffer[TRACE_BUFFER_CHARS - 1] = L'\0';
}

void TraceA(const char* pszFormat, ...)
{
    if (g_bTraceQuiet != 0)
        return;
    char szText[TRACE_BUFFER_CHARS];
    szText[0] = '\0';
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szText, sizeof szText, pszFormat, args);
    va_end(args);
    std::printf("%s", szText);
    std::fflush(stdout);
}

void TraceW(const wchar_t* pszFormat, ...)
{
    if (g_bTraceQuiet != 0)
        return;
    wchar_t szText[TRACE_BUFFER_CHARS];
    va_list args;
    va_start(args, pszFormat);
    FormatTraceTextW(szText, pszFormat, args);
    va_end(args);
    // Wide text leaves through the narrow stream as well: with one stream, narrow and wide lines stay
    // in the order of the calls (a C library may not mix wide and narrow output on one stream).
    std::printf("%ls", szText);
    std::fflush(stdout);
}
