// The service's entry point, handed to the service control dispatcher.
#pragma once
#include <windows.h>

// Runs on the thread that the dispatcher creates; reaches the module through g_pModule.
VOID WINAPI ServiceMain(DWORD dwArgc, LPWSTR* ppszArgv);
