// Process entry: registration switches, or the choice between service mode and foreground mode.
#include "registrar/RegKeyHandle.h"
#include "service/CommandLine.h"
#include "service/Module.h"
#include "service/ServiceRuntime.h"

int CCorvaneModule::Start()
{
    // Registration decides the mode: no AppID key means never registered, and the exit code says so.
    CRegKeyHandle keyAppIdRoot;
    LONG nError = keyAppIdRoot.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_READ);
    if (nError != ERROR_SUCCESS)
    {
        m_svcStatus.dwWin32ExitCode = static_cast<DWORD>(nError);
        return static_cast<int>(nError);
    }
    CRegKeyHandle keyAppId;
    nError = keyAppId.OpenKey(keyAppIdRoot.m_hKey, CORVANE_APPID, KEY_READ);
    if (nError != ERROR_SUCCESS)
    {
        m_svcStatus.dwWin32ExitCode = static_cast<DWORD>(nError);
        return static_cast<int>(nError);
    }

    // Only the presence of a readable "LocalService" string matters, not its text.
    WCHAR szLocalService[260];
    ULONG nChars = ARRAYSIZE(szLocalService);
    m_bRunAsService = keyAppId.ReadString(L"LocalService", szLocalService, &nChars) == ERROR_SUCCESS;

    if (m_bRunAsService)
    {
        SERVICE_TABLE_ENTRYW serviceTable[] = {
            { m_szSvcName, ServiceMain },
            { nullptr, nullptr },
        };
        if (!StartServiceCtrlDispatcherW(serviceTable))
            m_svcStatus.dwWin32ExitCode = GetLastError();
    }
    else
    {
        m_svcStatus.dwWin32ExitCode = static_cast<DWORD>(Run());
    }
    // A service that failed carries its HRESULT as the service-specific code; the process ends with it.
    if (m_svcStatus.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR)
        return static_cast<int>(m_svcStatus.dwServiceSpecificExitCode);
    return static_cast<int>(m_svcStatus.dwWin32ExitCode);
}

// The whole command line comes from GetCommandLineW, so the runtime's arguments are not needed.
int main()
{
    const CommandSwitch eSwitch = FindRegistrationSwitch(GetCommandLineW());
    if (eSwitch == CommandSwitch::None)
        return g_pModule->Start();
    return static_cast<int>(g_pModule->RunSwitch(eSwitch));
}
