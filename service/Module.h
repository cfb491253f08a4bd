// The module object: service name, service status, service-mode flag and the process-wide values.
#pragma once
#include <windows.h>

#include "registrar/Registrar.h"
#include "registrar/RegistrationJournal.h"
#include "service/CommandLine.h"

// The program's AppID, braces included.
#define CORVANE_APPID L"{552356EC-14D6-4A40-9F34-09CFC70BC685}"

// Instance handle of the executable, from which the resources are loaded too.
class CModuleInstance
{
public:
    CModuleInstance();
    CModuleInstance(const CModuleInstance&) = delete;
    CModuleInstance& operator=(const CModuleInstance&) = delete;

    HINSTANCE m_hInst;
};

// Registers itself through the registrar, which asks it for the module-wide replacement variables.
class CCorvaneModule : public IRegistrationModule
{
public:
    // The one module object of the process: sets g_pModule and loads the service name from string 100.
    CCorvaneModule();
    CCorvaneModule(const CCorvaneModule&) = delete;
    CCorvaneModule& operator=(const CCorvaneModule&) = delete;
    HRESULT AddCommonVariables(IScriptRegistrar* pRegistrar) override;

    WCHAR m_szSvcName[256];
    SERVICE_STATUS_HANDLE m_hSvcStatus;
    SERVICE_STATUS m_svcStatus;
    BOOL m_bRunAsService;
    DWORD m_dwLoopThreadId;

    // Service event log.
    void LogServiceEvent(LPCWSTR pszFormat, ...);

    // Process entry: the mode decision.
    int Start();
    // The flow of a registration switch; its HRESULT is the process exit code.
    HRESULT RunSwitch(CommandSwitch eSwitch);

    // Service runtime.
    void RequestStop();
    HRESULT Run();
    HRESULT ServeUntilQuit();
    void PumpMessages();
    void ReportServiceStatus(DWORD dwState);  // the one place that reports m_svcStatus

    // Registration flows.
    HRESULT RegisterAppIdEntries(BOOL bService);
    HRESULT RemoveAppIdEntries();
    // After the script: the event source (machine-wide only), then for a service its entry and "LocalService".
    HRESULT RegisterModeEntries(BOOL bService, CRegistrationJournal& journal);

    // Service installation and removal.
    BOOL IsServiceInstalled();
    // Creates the service entry (an existing one is kept): S_OK, or E_FAIL after its message box.
    HRESULT InstallService();
    // Stops the service, deletes its entry and waits until the entry is gone: S_OK (also when there was none),
    // E_FAIL, or the service manager's error when the service did not stop or go in time.
    HRESULT UninstallService();
    void ShowServiceMessage(LPCWSTR pszText);  // a message box captioned with the service name
};

extern CCorvaneModule* g_pModule;
extern CModuleInstance g_moduleInstance;
extern bool perUserRegistration;
