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

    // Registration flows. bPerUser: a per-user switch, which writes the script's entries in the current user's
    // classes, nothing machine-wide, and tells its failures on the console only, never in the error event.
    HRESULT RegisterAppIdEntries(BOOL bService, bool bPerUser);
    HRESULT RemoveAppIdEntries(bool bPerUser);
    // After the script: the event source (machine-wide only), into journal; then for a service its entry and
    // "LocalService".
    HRESULT RegisterModeEntries(BOOL bService, bool bPerUser, CRegistrationJournal& journal);

    // Service installation and removal. A failed call of the service manager is told with its cause and a message box.
    // S_OK when the service manager knows the service, S_FALSE when it does not, else why it could not be asked.
    HRESULT IsServiceInstalled(bool bPerUser);
    // Creates the service entry (an existing one is kept): S_OK, the look-up's failure, or E_FAIL once told.
    HRESULT InstallService();
    // Stops the service, deletes its entry and waits until the entry is gone: S_OK (also when there was none),
    // E_FAIL, or the service manager's error when it could not be asked, or the service did not stop or go in time.
    HRESULT UninstallService(bool bPerUser);
    // Tells a failed service-manager call: its cause (ReportCallFailure; in the error event for a machine-wide switch),
    // then the message box pszText captioned with the service name. Returns hr.
    HRESULT ShowServiceFailure(LPCWSTR pszText, LPCWSTR pszCall, DWORD nError, bool bPerUser, HRESULT hr);
};

extern CCorvaneModule* g_pModule;
extern CModuleInstance g_moduleInstance;
extern bool perUserRegistration;
