// The module object: service name, service status, service-mode flag and the process-wide values.
#pragma once
#include <windows.h>

#include "registrar/Registrar.h"

// The program's AppID, braces included.
#define CORVANE_APPID L"{552356EC-14D6-4A40-9F34-09CFC70BC685}"

struct MODULE_BASE_RECORD
{
    UINT cbSize;                // size of this record once the lock exists; 0 when it could not be made
    CRITICAL_SECTION csLock;    // made at construction, deleted at termination
};

// Instance handle of the executable, from which the resources are loaded too.
class CModuleInstance
{
public:
    CModuleInstance();
    ~CModuleInstance();
    CModuleInstance(const CModuleInstance&) = delete;
    CModuleInstance& operator=(const CModuleInstance&) = delete;

    HINSTANCE m_hInst;
    HINSTANCE m_hInstResource;
    CRITICAL_SECTION m_csResource;
    bool m_bLockReady;
};

// Registers itself through the registrar, which asks it for the module-wide replacement variables.
class CModuleBase : public MODULE_BASE_RECORD, public IRegistrationModule
{
public:
    CModuleBase();
    virtual ~CModuleBase();
    CModuleBase(const CModuleBase&) = delete;
    CModuleBase& operator=(const CModuleBase&) = delete;
};

template <class T>
class CModuleT : public CModuleBase
{
};

template <class T>
class CExeModuleT : public CModuleT<T>
{
};

template <class T, UINT nServiceNameID>
class CServiceModuleT : public CExeModuleT<T>
{
public:
    CServiceModuleT();

    WCHAR m_szSvcName[256];
    SERVICE_STATUS_HANDLE m_hSvcStatus;
    SERVICE_STATUS m_svcStatus;
    BOOL m_bRunAsService;
    DWORD m_dwLoopThreadId;
};

class CCorvaneModule : public CServiceModuleT<CCorvaneModule, 100>
{
public:
    CCorvaneModule();  // the one module object of the process: sets g_pModule
    HRESULT AddCommonVariables(IScriptRegistrar* pRegistrar) override;

    // Service event log.
    void LogServiceEvent(LPCWSTR pszFormat, ...);

    // Process entry: the mode decision.
    int Start();

    // Service runtime.
    void RequestStop();
    HRESULT Run();
    HRESULT ServeUntilQuit();
    void PumpMessages();
    void ReportServiceStatus(DWORD dwState);  // the one place that reports m_svcStatus

    // Registration flows.
    HRESULT RegisterAppIdEntries(BOOL bService);
    HRESULT RemoveAppIdEntries();

    // Service installation and removal.
    BOOL IsServiceInstalled();
    BOOL InstallService();
    // Stops the service, deletes its entry and waits until the entry is gone: S_OK (also when there was none),
    // E_FAIL, or the service manager's error when the service did not stop or go in time.
    HRESULT UninstallService();
    void ShowServiceMessage(UINT nID, LPCWSTR pszDefault);
};

extern CCorvaneModule* g_pModule;
extern CModuleInstance g_moduleInstance;
extern bool g_bInitFailed;
extern bool perUserRegistration;
