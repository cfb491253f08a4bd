// The service entry in the service control manager: looking it up, creating it, stopping and deleting it.
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

// Asks the service to stop until it has stopped, or until the deadline: 0, or the service manager's error
// (the last refused stop request, else ERROR_SERVICE_REQUEST_TIMEOUT).
DWORD StopAndWait(SC_HANDLE hService, ULONGLONG nDeadline)
{
    DWORD nError = ERROR_SERVICE_REQUEST_TIMEOUT;
    for (;;)
    {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(hService, &status))
            return GetLastError();
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

BOOL CCorvaneModule::IsServiceInstalled()
{
    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
        return FALSE;
    CServiceHandle service(OpenServiceW(scm.Get(), m_szSvcName, SERVICE_QUERY_CONFIG));
    return service ? TRUE : FALSE;
}

HRESULT CCorvaneModule::InstallService()
{
    // An existing entry is kept as it is.
    if (IsServiceInstalled())
        return S_OK;

    // Quoted, so that a path with spaces is one command: '"', at most 259 characters, '"', NUL.
    WCHAR szPath[262];
    const DWORD nPathLimit = 260;
    DWORD nLength = GetModuleFileNameW(nullptr, szPath + 1, nPathLimit);
    if (nLength == 0 || nLength == nPathLimit)
        return E_FAIL;
    szPath[0] = L'"';
    szPath[nLength + 1] = L'"';
    szPath[nLength + 2] = L'\0';

    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
    {
        ShowServiceMessage(L"Could not open Service Manager");
        return E_FAIL;
    }
    CServiceHandle service(CreateServiceW(scm.Get(), m_szSvcName, m_szSvcName, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          szPath, nullptr, nullptr, L"RPCSS\0", g_szServiceAccount, nullptr));
    if (!service)
    {
        scm.Close();
        ShowServiceMessage(L"Could not start service");
        return E_FAIL;
    }
    return S_OK;
}

HRESULT CCorvaneModule::UninstallService()
{
    if (!IsServiceInstalled())
        return S_OK;

    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
    {
        ShowServiceMessage(L"Could not open Service Manager");
        return E_FAIL;
    }
    CServiceHandle service(OpenServiceW(scm.Get(), m_szSvcName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service)
    {
        scm.Close();
        ShowServiceMessage(L"Could not open service");
        return E_FAIL;
    }

    // The service manager removes a deleted entry only once its service has stopped and nobody holds it open;
    // until then no new entry of the same name can be made. So the removal waits for both, within one limit.
    const ULONGLONG nDeadline = GetTickCount64() + g_nRemovalTimeoutMs;
    DWORD nError = StopAndWait(service.Get(), nDeadline);
    if (nError != ERROR_SUCCESS)
    {
        service.Close();
        scm.Close();
        ShowServiceMessage(L"Could not stop service");
        return HResultFromWin32(static_cast<LONG>(nError));
    }
    // Marked for deletion already by an earlier removal that gave up waiting: it only has to go.
    if (!DeleteService(service.Get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
    {
        service.Close();
        scm.Close();
        ShowServiceMessage(L"Could not delete service");
        return E_FAIL;
    }
    service.Close();
    nError = WaitUntilGone(scm.Get(), m_szSvcName, nDeadline);
    scm.Close();
    if (nError == ERROR_SUCCESS)
        return S_OK;
    ShowServiceMessage(L"Could not delete service");
    return HResultFromWin32(static_cast<LONG>(nError));
}

void CCorvaneModule::ShowServiceMessage(LPCWSTR pszText)
{
    MessageBoxW(nullptr, pszText, m_szSvcName, MB_OK);
}
