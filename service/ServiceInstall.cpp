// The service entry in the service control manager: looking it up, creating it, stopping and deleting it.
#include "diag/CallFailure.h"
#include "registrar/HResult.h"
#include "service/Module.h"
#include "service/ServiceHandle.h"

namespace
{
// A server on the network that only reads files needs no more than the least privileged service account, which
// has no password.
const WCHAR g_szServiceAccount[] = L"NT AUTHORITY\\LocalService";

// How long a removal waits for the old service to stop and its entry to go, and how often it looks.
const ULONGLONG g_nRemovalTimeoutMs = 30000;
const DWORD g_nPollMs = 100;

// Asks the service to stop until it has stopped, or until the deadline: 0, or the service manager's error and the
// call that gave it (the last refused stop request, else ERROR_SERVICE_REQUEST_TIMEOUT).
DWORD StopAndWait(SC_HANDLE hService, ULONGLONG nDeadline, LPCWSTR* ppszCall)
{
    DWORD nError = ERROR_SERVICE_REQUEST_TIMEOUT;
    *ppszCall = L"ControlService";
    for (;;)
    {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(hService, &status))
        {
            *ppszCall = L"QueryServiceStatus";
            return GetLastError();
        }
        if (status.dwCurrentState == SERVICE_STOPPED)
            return ERROR_SUCCESS;
        // Asked again while it runs: a service that was still starting could not take the first request.
        if (status.dwCurrentState != SERVICE_STOP_PENDING && !ControlService(hService, SERVICE_CONTROL_STOP, &status))
            nError = GetLastError();
        if (GetTickCount64() >= nDeadline)
            return nError;
        Sleep(g_nPollMs);
    }
}

// Waits until the service manager no longer knows the service: 0, the error of looking it up, or
// ERROR_SERVICE_MARKED_FOR_DELETE when it is still there at the deadline.
DWORD WaitUntilGone(SC_HANDLE hScm, LPCWSTR pszName, ULONGLONG nDeadline)
{
    for (;;)
    {
        CServiceHandle service(OpenServiceW(hScm, pszName, SERVICE_QUERY_STATUS));
        const DWORD nError = service ? ERROR_SERVICE_MARKED_FOR_DELETE : GetLastError();
        if (nError == ERROR_SERVICE_DOES_NOT_EXIST)
            return ERROR_SUCCESS;
        if (nError != ERROR_SERVICE_MARKED_FOR_DELETE || GetTickCount64() >= nDeadline)
            return nError;
        service.Close();
        Sleep(g_nPollMs);
    }
}
}  // namespace

HRESULT CCorvaneModule::IsServiceInstalled(bool bPerUser)
{
    // Connecting is all that a look-up needs, and every account may do it: a look-up that fails is no "no".
    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm)
    {
        const DWORD nError = GetLastError();
        return ShowServiceFailure(L"Could not open Service Manager", L"OpenSCManagerW", nError, bPerUser,
                                  HResultFromWin32(static_cast<LONG>(nError)));
    }
    CServiceHandle service(OpenServiceW(scm.Get(), m_szSvcName, SERVICE_QUERY_STATUS));
    if (service)
        return S_OK;
    const DWORD nError = GetLastError();
    if (nError == ERROR_SERVICE_DOES_NOT_EXIST)
        return S_FALSE;
    scm.Close();
    return ShowServiceFailure(L"Could not open service", L"OpenServiceW", nError, bPerUser,
                              HResultFromWin32(static_cast<LONG>(nError)));
}

HRESULT CCorvaneModule::InstallService()
{
    // An existing entry is kept as it is. Only "Service", a machine-wide switch, installs.
    const HRESULT hr = IsServiceInstalled(false);
    if (hr != S_FALSE)
        return hr;

    // Quoted, so that a path with spaces is one command: '"', at most 259 characters, '"', NUL.
    WCHAR szPath[262];
    const DWORD nPathLimit = 260;
    DWORD nLength = GetModuleFileNameW(nullptr, szPath + 1, nPathLimit);
    if (nLength == 0 || nLength == nPathLimit)
    {
        ReportCallFailure(L"GetModuleFileNameW", GetLastError(), true);  // a cut path would name another program
        return E_FAIL;
    }
    szPath[0] = L'"';
    szPath[nLength + 1] = L'"';
    szPath[nLength + 2] = L'\0';

    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!scm)
        return ShowServiceFailure(L"Could not open Service Manager", L"OpenSCManagerW", GetLastError(), false, E_FAIL);
    CServiceHandle service(CreateServiceW(scm.Get(), m_szSvcName, m_szSvcName, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          szPath, nullptr, nullptr, L"RPCSS\0", g_szServiceAccount, nullptr));
    if (!service)
    {
        const DWORD nError = GetLastError();
        scm.Close();
        return ShowServiceFailure(L"Could not start service", L"CreateServiceW", nError, false, E_FAIL);
    }
    return S_OK;
}

HRESULT CCorvaneModule::UninstallService(bool bPerUser)
{
    HRESULT hr = IsServiceInstalled(bPerUser);
    if (hr != S_OK)
        return hr == S_FALSE ? S_OK : hr;

    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm)
        return ShowServiceFailure(L"Could not open Service Manager", L"OpenSCManagerW", GetLastError(), bPerUser,
                                  E_FAIL);
    CServiceHandle service(OpenServiceW(scm.Get(), m_szSvcName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service)
    {
        const DWORD nError = GetLastError();
        scm.Close();
        return ShowServiceFailure(L"Could not open service", L"OpenServiceW", nError, bPerUser, E_FAIL);
    }

    // The service manager removes a deleted entry only once its service has stopped and nobody holds it open;
    // until then no new entry of the same name can be made. So the removal waits for both, within one limit.
    const ULONGLONG nDeadline = GetTickCount64() + g_nRemovalTimeoutMs;
    LPCWSTR pszCall = nullptr;
    DWORD nError = StopAndWait(service.Get(), nDeadline, &pszCall);
    if (nError != ERROR_SUCCESS)
    {
        service.Close();
        scm.Close();
        return ShowServiceFailure(L"Could not stop service", pszCall, nError, bPerUser,
                                  HResultFromWin32(static_cast<LONG>(nError)));
    }
    // Marked for deletion already by an earlier removal that gave up waiting: it only has to go.
    if (!DeleteService(service.Get()) && (nError = GetLastError()) != ERROR_SERVICE_MARKED_FOR_DELETE)
    {
        service.Close();
        scm.Close();
        return ShowServiceFailure(L"Could not delete service", L"DeleteService", nError, bPerUser, E_FAIL);
    }
    service.Close();
    nError = WaitUntilGone(scm.Get(), m_szSvcName, nDeadline);
    scm.Close();
    if (nError == ERROR_SUCCESS)
        return S_OK;
    // Still there at the deadline, the deletion is what did not complete: someone holds the service open.
    return ShowServiceFailure(L"Could not delete service",
                              nError == ERROR_SERVICE_MARKED_FOR_DELETE ? L"DeleteService" : L"OpenServiceW", nError,
                              bPerUser, HResultFromWin32(static_cast<LONG>(nError)));
}

HRESULT CCorvaneModule::ShowServiceFailure(LPCWSTR pszText, LPCWSTR pszCall, DWORD nError, bool bPerUser, HRESULT hr)
{
    // The cause first: on a desktop the box waits for its OK, and the console line explains it meanwhile.
    ReportCallFailure(pszCall, nError, !bPerUser);
    MessageBoxW(nullptr, pszText, m_szSvcName, MB_OK);
    return hr;
}
