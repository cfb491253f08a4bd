// Test helper run under Wine: full exit codes of a child, and service-manager queries and controls.
//
//   HostTool run TIMEOUT_MS      runs the command line in CORVANE_CHILD_CMDLINE, prints "exit 0x%08X"
//   HostTool query NAME          prints the service's binary path, state and exit code as key=value lines
//   HostTool control NAME CODE   sends a control code (ControlService)
//   HostTool create NAME DISPLAY BINARY   creates a demand-start own-process service
//   HostTool config NAME BINARY  changes the service's executable path
//   HostTool remove NAME...      stops (without waiting) and deletes services
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace
{
class CScHandle
{
public:
    explicit CScHandle(SC_HANDLE h) : m_h(h) {}
    ~CScHandle()
    {
        if (m_h)
            CloseServiceHandle(m_h);
    }
    CScHandle(const CScHandle&) = delete;
    CScHandle& operator=(const CScHandle&) = delete;
    SC_HANDLE m_h;
};

int Fail(const char* pszWhat)
{
    printf("%s failed %lu\n", pszWhat, GetLastError());
    return 1;
}

int RunChild(DWORD nTimeoutMs)
{
    WCHAR szCommand[4096];
    if (GetEnvironmentVariableW(L"CORVANE_CHILD_CMDLINE", szCommand, ARRAYSIZE(szCommand)) == 0)
        return Fail("CORVANE_CHILD_CMDLINE");
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, szCommand, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return Fail("CreateProcess");
    CloseHandle(pi.hThread);
    int nResult = 0;
    if (WaitForSingleObject(pi.hProcess, nTimeoutMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(pi.hProcess, 0xDEAD);
        printf("timeout\n");
        nResult = 3;
    }
    else
    {
        DWORD nExit = 0;
        GetExitCodeProcess(pi.hProcess, &nExit);
        printf("exit 0x%08lX\n", nExit);
    }
    CloseHandle(pi.hProcess);
    return nResult;
}

// The service manager and one of its services; m_svc.m_h is null when either could not be opened.
struct CServiceRef
{
    CServiceRef(LPCWSTR pszName, DWORD dwAccess)
        : m_scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)),
          m_svc(m_scm.m_h ? OpenServiceW(m_scm.m_h, pszName, dwAccess) : nullptr)
    {
    }
    CScHandle m_scm;
    CScHandle m_svc;
};

int Query(LPCWSTR pszName)
{
    CServiceRef service(pszName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    if (!service.m_svc.m_h)
    {
        printf("missing %lu\n", GetLastError());
        return 2;
    }
    DWORD cbNeeded = 0;
    QueryServiceConfigW(service.m_svc.m_h, nullptr, 0, &cbNeeded);
    std::string config(cbNeeded + 16, '\0');
    auto* pConfig = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(&config[0]);
    if (!QueryServiceConfigW(service.m_svc.m_h, pConfig, static_cast<DWORD>(config.size()), &cbNeeded))
        return Fail("QueryServiceConfig");
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service.m_svc.m_h, &status))
        return Fail("QueryServiceStatus");
    printf("binary=%ls\nstate=%lu\nexitcode=0x%08lX\n", pConfig->lpBinaryPathName ? pConfig->lpBinaryPathName : L"",
           status.dwCurrentState, status.dwWin32ExitCode);
    return 0;
}

int Control(LPCWSTR pszName, DWORD nCode)
{
    CServiceRef service(pszName, SERVICE_ALL_ACCESS);
    SERVICE_STATUS status = {};
    if (!service.m_svc.m_h || !ControlService(service.m_svc.m_h, nCode, &status))
        return Fail("ControlService");
    printf("control ok state=%lu\n", status.dwCurrentState);
    return 0;
}

int Create(LPCWSTR pszName, LPCWSTR pszDisplay, LPCWSTR pszBinary)
{
    CScHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    CScHandle service(scm.m_h ? CreateServiceW(scm.m_h, pszName, pszDisplay, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               pszBinary, nullptr, nullptr, nullptr, nullptr, nullptr)
                              : nullptr);
    if (!service.m_h)
        return Fail("CreateService");
    printf("created\n");
    return 0;
}

int Config(LPCWSTR pszName, LPCWSTR pszBinary)
{
    CServiceRef service(pszName, SERVICE_CHANGE_CONFIG);
    if (!service.m_svc.m_h || !ChangeServiceConfigW(service.m_svc.m_h, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                                    SERVICE_NO_CHANGE, pszBinary, nullptr, nullptr, nullptr, nullptr,
                                                    nullptr, nullptr))
        return Fail("ChangeServiceConfig");
    printf("configured\n");
    return 0;
}

int Remove(LPCWSTR pszName)
{
    CServiceRef service(pszName, SERVICE_STOP | DELETE | SERVICE_QUERY_STATUS);
    if (!service.m_svc.m_h)
    {
        printf("missing %lu\n", GetLastError());
        return 0;
    }
    SERVICE_STATUS status = {};
    ControlService(service.m_svc.m_h, SERVICE_CONTROL_STOP, &status);
    if (!DeleteService(service.m_svc.m_h) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
        return Fail("DeleteService");
    printf("removed\n");
    return 0;
}
}  // namespace

int main()
{
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 3)
    {
        printf("usage: HostTool run|query|control|create|config|remove ARGS\n");
        return 64;
    }
    std::wstring verb = argv[1];
    int nResult = 64;
    if (verb == L"run")
        nResult = RunChild(wcstoul(argv[2], nullptr, 10));
    else if (verb == L"query")
        nResult = Query(argv[2]);
    else if (verb == L"control" && argc >= 4)
        nResult = Control(argv[2], wcstoul(argv[3], nullptr, 10));
    else if (verb == L"create" && argc >= 5)
        nResult = Create(argv[2], argv[3], argv[4]);
    else if (verb == L"config" && argc >= 4)
        nResult = Config(argv[2], argv[3]);
    else if (verb == L"remove")
    {
        nResult = 0;
        for (int i = 2; i < argc && nResult == 0; ++i)
            nResult = Remove(argv[i]);
    }
    else
        printf("bad arguments\n");
    fflush(stdout);
    LocalFree(argv);
    return nResult;
}
