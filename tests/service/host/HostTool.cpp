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
    WCHAR szCommand[4096];
    if (GetEnvironmentVariableW(L"CORVANE_CHILD_CMDLINE", szCommand, ARRAYSIZE(szCommand)) == 0)
        return 1;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    // A loaded Wine server now and then fails a process creation with an internal error: try again.
    for (int nTry = 0; nTry < 5 && !CreateProcessW(nullptr, szCommand, nullptr, nullptr, FALSE, 0, nullptr,
                                                    nullptr, &si, &pi); ++nTry)
        Sleep(500);
    if (pi.hProcess == nullptr)
    {
        printf("CreateProcess failed %lu\n", GetLastError());
        return 1;
    }
    CloseHandle(pi.hThread);
    DWORD nExit = 0;
    if (WaitForSingleObject(pi.hProcess, nTimeoutMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(pi.hProcess, 0xDEAD);
        printf("timeout\n");
    }
    else if (GetExitCodeProcess(pi.hProcess, &nExit))
        printf("exit 0x%08lX\n", nExit);
    CloseHandle(pi.hProcess);
    return 0;
}

int Control(LPCWSTR pszName, DWORD nCode)
{
    SC_HANDLE hScm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE hService = hScm ? OpenServiceW(hScm, pszName, SERVICE_ALL_ACCESS) : nullptr;
    SERVICE_STATUS status = {};
    BOOL bDone = hService && ControlService(hService, nCode, &status);
    if (bDone)
        printf("control ok\n");
    else
        printf("control failed %lu\n", GetLastError());
    if (hService)
        CloseServiceHandle(hService);
    if (hScm)
        CloseServiceHandle(hScm);
    return bDone ? 0 : 1;
}

SERVICE_STATUS_HANDLE g_hStatus;
SERVICE_STATUS g_status = {SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
HANDLE g_hStopped;

void Report(DWORD dwState)
{
    g_status.dwCurrentState = dwState;
    SetServiceStatus(g_hStatus, &g_status);
}

DWORD WINAPI Handler(DWORD dwControl, DWORD, LPVOID, LPVOID)
{
    if (dwControl == SERVICE_CONTROL_STOP)
    {
        Report(SERVICE_STOP_PENDING);
        SetEvent(g_hStopped);
    }
    return NO_ERROR;
}

void WINAPI SlowServiceMain(DWORD, LPWSTR* pszArgs)
{
    g_hStatus = RegisterServiceCtrlHandlerExW(pszArgs[0], Handler, nullptr);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(g_hStopped, INFINITE);
    Sleep(3000);
    Report(SERVICE_STOPPED);
}
}  // namespace

int wmain(int argc, wchar_t** argv)
{
    int nResult = 64;
    if (argc >= 3 && wcscmp(argv[1], L"run") == 0)
        nResult = RunChild(wcstoul(argv[2], nullptr, 10));
    else if (argc >= 4 && wcscmp(argv[1], L"control") == 0)
        nResult = Control(argv[2], wcstoul(argv[3], nullptr, 10));
    else if (argc >= 2 && wcscmp(argv[1], L"slow") == 0)
    {
        g_hStopped = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        WCHAR szAny[] = L"";
        SERVICE_TABLE_ENTRYW table[] = {{szAny, SlowServiceMain}, {nullptr, nullptr}};
        nResult = StartServiceCtrlDispatcherW(table) ? 0 : 1;
    }
    fflush(stdout);
    return nResult;
}
