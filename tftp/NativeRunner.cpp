// Native runner: serves the directory in which this program lies, with trace output, until SIGINT or SIGTERM.
#include <csignal>
#include <pthread.h>

#include "diag/Trace.h"
#include "tftp/TFTPServer.h"

int main()
{
    // Blocked before the server thread exists, so that only the sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    g_bTraceQuiet = 0;
    CTFTPServer server;
    if (!server.Start())
        return 1;
    int nSignal = 0;
    sigwait(&stopSignals, &nSignal);
    server.Stop();
    return 0;
}
