// Error event report: formats the message and writes it as an error event with two insertion strings.
#include "diag/ErrorEvent.h"

#include <cstdarg>
#include <cwchar>

#include "diag/EventSource.h"
#include "diag/Trace.h"

void ReportErrorEvent(int nError, LPCWSTR pszFormat, ...)
{
    wchar_t szMessage[TRACE_BUFFER_CHARS];
    va_list args;
    va_start(args, pszFormat);
    FormatTraceTextW(szMessage, pszFormat, args);
    va_end(args);
    WriteErrorEvent(nError, szMessage);
}

void WriteErrorEvent(int nError, LPCWSTR pszMessage)
{
    CEventSource source(L"ZetCorvane");
    wchar_t szFirst[256];
    std::swprintf(szFirst, 256, L"ZetCorvane error: %d", nError);
    LPCWSTR rgpszStrings[] = {szFirst, pszMessage};
    source.ReportStrings(EVENTLOG_ERROR_TYPE, ERROR_EVENT_ID, 2, rgpszStrings);
}
