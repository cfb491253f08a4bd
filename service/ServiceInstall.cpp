// The service entry in the service control manager: looking it up, creating it, stopping and deleting it.
#include "service/Module.h"
#include "service/ServiceHandle.h"

namespace
{
// Failure messages; the program's string table does not hold them, so the built-in texts show.
const UINT IDS_NO_SCM = 55306;
const UINT IDS_CREATE_FAILED = 55307;
const UINT IDS_OPEN_FAILED = 55308;
const UINT IDS_DELETE_FAILED = 55309;
const UINT IDS_STOP_FAILED = 55310;

const int g_nMessageChars = 1024;

// The executable is the one resource instance of this program.
int LoadResourceString(UINT nID, LPWSTR pszBuffer, int nBufferChars)
{
    return LoadStringW(g_moduleInstance.m_hInstResource, nID, pszBuffer, nBufferChars);
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

BOOL CCorvaneModule::InstallService()
{
    // An existing entry is kept as it is.
    if (IsServiceInstalled())
        return TRUE;

    // Quoted, so that a path with spaces is one command: '"', at most 259 characters, '"', NUL.
    WCHAR szPath[262];
    const DWORD nPathLimit = 260;
    DWORD nLength = GetModuleFileNameW(nullptr, szPath + 1, nPathLimit);
    if (nLength == 0 || nLength == nPathLimit)
        return FALSE;
    szPath[0] = L'"';
    szPath[nLength + 1] = L'"';
    szPath[nLength + 2] = L'\0';

    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
    {
        ShowServiceMessage(IDS_NO_SCM, L"Could not open Service Manager");
        return FALSE;
    }
    CServiceHandle service(CreateServiceW(scm.Get(), m_szSvcName, m_szSvcName, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          szPath, nullptr, nullptr, L"RPCSS\0", nullptr, nullptr));
    if (!service)
    {
        scm.Close();
        ShowServiceMessage(IDS_CREATE_FAILED, L"Could not start service");
        return FALSE;
    }
    return TRUE;
}

BOOL CCorvaneModule::UninstallService()
{
    if (!IsServiceInstalled())
        return TRUE;

    CServiceHandle scm(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!scm)
    {
        ShowServiceMessage(IDS_NO_SCM, L"Could not open Service Manager");
        return FALSE;
    }
    CServiceHandle service(OpenServiceW(scm.Get(), m_szSvcName, SERVICE_STOP | DELETE));
    if (!service)
    {
        scm.Close();
        ShowServiceMessage(IDS_OPEN_FAILED, L"Could not open service");
        return FALSE;
    }

    // A service that is not running, or already stopping, needs no stop; any other refusal is shown,
    // but the entry is deleted all the same.
    SERVICE_STATUS status = {};
    if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status))
    {
        DWORD nError = GetLastError();
        bool bTolerated = nError == ERROR_SERVICE_NOT_ACTIVE ||
                          (nError == ERROR_SERVICE_CANNOT_ACCEPT_CTRL && status.dwCurrentState == SERVICE_STOP_PENDING);
        if (!bTolerated)
            ShowServiceMessage(IDS_STOP_FAILED, L"Could not stop service");
    }

    BOOL bDeleted = DeleteService(service.Get());
    service.Close();
    scm.Close();
    if (bDeleted)
        return TRUE;
    ShowServiceMessage(IDS_DELETE_FAILED, L"Could not delete service");
    return FALSE;
}

void CCorvaneModule::ShowServiceMessage(UINT nID, LPCWSTR pszDefault)
{
    WCHAR szText[g_nMessageChars];
    if (LoadResourceString(nID, szText, g_nMessageChars) == 0)
        lstrcpynW(szText, pszDefault, g_nMessageChars);
    MessageBoxW(nullptr, szText, m_szSvcName, MB_OK);
}
