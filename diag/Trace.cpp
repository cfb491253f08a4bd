// Trace output: formats each message into a bounded stack buffer and writes it to standard output at once.
#include "diag/Trace.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "diag/PeerText.h"

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

// A control byte in a narrow line can only have come from a peer (a file name, a mode, an error text):
// the formats' own one is the line end, which the escaping leaves out and the line gets back at its end.
void TraceA(const char* pszFormat, ...)
{
    if (g_bTraceQuiet != 0)
        return;
    char szText[TRACE_BUFFER_CHARS];
    szText[0] = '\0';
    va_list args;
    va_start(args, pszFormat);
    const int nFormatted = std::vsnprintf(szText, sizeof szText, pszFormat, args);
    va_end(args);
    szText[sizeof szText - 1] = '\0';
    // The format's own line end is the text's last byte, unless the formatter cut it off with the text's tail.
    const std::size_t nFormat = std::strlen(pszFormat);
    const bool bLineEnd = nFormat > 0 && pszFormat[nFormat - 1] == '\n';
    std::size_t nText = std::strlen(szText);
    if (bLineEnd && nFormatted > 0 && static_cast<std::size_t>(nFormatted) == nText)
        --nText;
    // The cut applies to the line as printed; a cut line keeps its line end, so the next line starts on its own.
    char szLine[TRACE_BUFFER_CHARS];
    std::size_t nLine = EscapePeerText(szText, nText, szLine, sizeof szLine - (bLineEnd ? 1 : 0));
    if (bLineEnd)
    {
        szLine[nLine++] = '\n';
        szLine[nLine] = '\0';
    }
    std::printf("%s", szLine);
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
    const std::size_t nFormat = std::wcslen(pszFormat), nText = std::wcslen(szText);
    if (nFormat > 0 && pszFormat[nFormat - 1] == L'\n' && nText > 0)
        szText[nText - 1] = L'\n';  // a cut line keeps its line end
    // Wide text leaves through the narrow stream as well: with one stream, narrow and wide lines stay
    // in the order of the calls (a C library may not mix wide and narrow output on one stream).
    std::printf("%ls", szText);
    std::fflush(stdout);
}
