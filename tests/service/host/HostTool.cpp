// Test helper run under Wine: a child's full exit code, control codes Wine's sc cannot send, and a service
// that takes seconds to stop.
//
//   HostTool run TIMEOUT_MS     runs the command line in CORVANE_CHILD_CMDLINE, prints "exit 0x%08X"
//   HostTool control NAME CODE  sends a control code to a service
//   HostTool slow               runs as a service (any name) that needs 3 s to stop
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace
{
int RunChild(DWORD nTimeoutMs)
{
    WCHAR szCommand[4096] = L"";
    GetEnvironmentVariableW(L"CORVANE_CHILD_CMDLINE", szCommand, ARRAYSIZE(szCommand));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // A loaded Wine server now and then fails a process creation with an internal error: try again.
    for (int nTry = 0; nTry < 5 && !CreateProcessW(nullptr, szCommand, nullptr, nullptr, FALSE, 0, nullptr,
                                                    nullptr, &si, &pi); ++nTry)
        Sleep(500);
    DWORD nExit = 0;
    if (pi.hProcess != nullptr && WaitForSingleObject(pi.hProcess, nTimeoutMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(pi.hProcess, 0xDEAD);  // the test then sees "exit 0x0000DEAD"
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    if (pi.hProcess != nullptr && GetExitCodeProcess(pi.hProcess, &nExit))
        printf("exit 0x%08lX\n", nExit);
    else
        printf("no exit code: %lu\n", GetLastError());
    return 0;
}

int Control(LPCWSTR pszName, DWORD nCode)
{
    SC_HANDLE hScm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService = hScm ? OpenServiceW(hScm, pszName, SERVICE_ALL_ACCESS) : nullptr;
    SERVICE_STATUS status = {};
    return hService && ControlService(hService, nCode, &status) ? 0 : 1;
}

SERVICE_STATUS_HANDLE g_hStatus;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE g_hStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);

DWORD WINAPI Handler(DWORD dwControl, DWORD, LPVOID, LPVOID)
{
    if (dwControl == SERVICE_CONTROL_STOP)
        SetEvent(g_hStopped);
    return NO_ERROR;
}

void WINAPI SlowServiceMain(DWORD, LPWSTR* pszArgs)
{
    g_hStatus = RegisterServiceCtrlHandlerExW(pszArgs[0], Handler, nullptr);
    SetServiceStatus(g_hStatus, &g_status);
    WaitForSingleObject(g_hStopped, INFINITE);
    g_status.dwCurrentState = SERVICE_STOP_PENDING;
    SetServiceStatus(g_hStatus, &g_status);
    Sleep(3000);
    g_status.dwCurrentState = SERVICE_STOPPED;
    SetServiceStatus(g_hStatus, &g_status);
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    WCHAR szAny[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{szAny, SlowServiceMain}, {nullptr, nullptr}};
    int nResult = 64;
    if (argc >= 3 && wcscmp(argv[1], L"run") == 0)
        nResult = RunChild(wcstoul(argv[2], nullptr, 10));
    else if (argc >= 4 && wcscmp(argv[1], L"control") == 0)
        nResult = Control(argv[2], wcstoul(argv[3], nullptr, 10));
    else if (argc >= 2 && wcscmp(argv[1], L"slow") == 0)
        nResult = StartServiceCtrlDispatcherW(table) ? 0 : 1;
    fflush(stdout);
    return nResult;
}
