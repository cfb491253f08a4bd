// Writes the error event of a failed sockets start, for the test that reads Wine's event-log channel.
#include "diag/ErrorEvent.h"

int main()
{
    ReportErrorEvent(10091, L"WSAStartup fails, err = %d.", 10091);
    return 0;
}
