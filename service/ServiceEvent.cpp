// The service's informational events in the Application log, echoed to the console outside service mode.
#include <cstdarg>
#include <cstdio>

#include "diag/EventSource.h"
#include "service/Module.h"

void CCorvaneModule::LogServiceEvent(LPCWSTR pszFormat, ...)
{
    // 255 characters at most; a longer text is cut, not refused.
    WCHAR szMessage[256];
    va_list args;
    va_start(args, pszFormat);
    _vsnwprintf(szMessage, ARRAYSIZE(szMessage) - 1, pszFormat, args);
    va_end(args);
    szMessage[ARRAYSIZE(szMessage) - 1] = L'\0';

    // Through the narrow stream, as the trace lines go, so that both keep the order of the calls.
    if (!m_bRunAsService)
    {
        printf("%ls\n", szMessage);
        fflush(stdout);
    }

    // Without a source (no rights, say) the event is dropped: there is nowhere else to report it.
    CEventSource source(m_szSvcName);
    source.Report(EVENTLOG_INFORMATION_TYPE, szMessage);
}
