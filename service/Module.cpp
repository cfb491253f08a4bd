// The module object and the process-wide values, built by static construction before the entry function runs.
#include "service/Module.h"

// The executable's image base, which is also its instance handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// Constant-initialised, so they hold their values before any constructor below can set them.
CCorvaneModule* g_pModule = nullptr;
bool g_bInitFailed = false;
bool perUserRegistration = false;

namespace
{
// Fails only when the system has no memory left for the lock.
bool InitializeLock(CRITICAL_SECTION* pLock)
{
    return InitializeCriticalSectionAndSpinCount(pLock, 0) != FALSE;
}
}  // namespace

CModuleInstance::CModuleInstance()
    : m_hInst(reinterpret_cast<HINSTANCE>(&__ImageBase)),
      m_hInstResource(m_hInst),
      m_bLockReady(InitializeLock(&m_csResource))
{
    if (!m_bLockReady)
        g_bInitFailed = true;
}

CModuleInstance::~CModuleInstance()
{
    if (m_bLockReady)
        DeleteCriticalSection(&m_csResource);
}

CModuleBase::CModuleBase()
{
    cbSize = 0;
    if (InitializeLock(&csLock))
        cbSize = sizeof(MODULE_BASE_RECORD);
    else
        g_bInitFailed = true;
}

CModuleBase::~CModuleBase()
{
    // Nothing to release when the lock was never made.
    if (cbSize != 0)
    {
        DeleteCriticalSection(&csLock);
        cbSize = 0;
    }
}

template <class T, UINT nServiceNameID>
CServiceModuleT<T, nServiceNameID>::CServiceModuleT()
    : m_hSvcStatus(nullptr), m_bRunAsService(TRUE), m_dwLoopThreadId(0)
{
    m_szSvcName[0] = L'\0';
    LoadStringW(g_moduleInstance.m_hInst, nServiceNameID, m_szSvcName, ARRAYSIZE(m_szSvcName));
    m_svcStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_svcStatus.dwCurrentState = SERVICE_STOPPED;
    m_svcStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    m_svcStatus.dwWin32ExitCode = 0;
    m_svcStatus.dwServiceSpecificExitCode = 0;
    m_svcStatus.dwCheckPoint = 0;
    m_svcStatus.dwWaitHint = 0;
}

CCorvaneModule::CCorvaneModule()
{
    g_pModule = this;
}

HRESULT CCorvaneModule::AddCommonVariables(IScriptRegistrar* pRegistrar)
{
    return pRegistrar->AddVariable(L"APPID", CORVANE_APPID);
}

// Defined in this order so that the instance record exists before the module object loads its name,
// and is destroyed after it at exit.
CModuleInstance g_moduleInstance;
static CCorvaneModule g_module;
