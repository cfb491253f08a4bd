// The module object and the process-wide values, built by static construction before the entry function runs.
#include "service/Module.h"

// The executable's image base, which is also its instance handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

// Constant-initialised, so they hold their values before any constructor below can set them.
CCorvaneModule* g_pModule = nullptr;
bool perUserRegistration = false;

CModuleInstance::CModuleInstance() : m_hInst(reinterpret_cast<HINSTANCE>(&__ImageBase)) {}

CCorvaneModule::CCorvaneModule() : m_hSvcStatus(nullptr), m_bRunAsService(TRUE), m_dwLoopThreadId(0)
{
    g_pModule = this;
    m_szSvcName[0] = L'\0';
    LoadStringW(g_moduleInstance.m_hInst, 100, m_szSvcName, ARRAYSIZE(m_szSvcName));
    m_svcStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    m_svcStatus.dwCurrentState = SERVICE_STOPPED;
    m_svcStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    m_svcStatus.dwWin32ExitCode = 0;
    m_svcStatus.dwServiceSpecificExitCode = 0;
    m_svcStatus.dwCheckPoint = 0;
    m_svcStatus.dwWaitHint = 0;
}
HRESULT CCorvaneModule::AddCommonVariables(IScriptRegistrar* pRegistrar)
{
    return pRegistrar->AddVariable(L"APPID", CORVANE_APPID);
}

// Defined in this order so that the instance record exists before the module object loads its name,
// and is destroyed after it at exit.
CModuleInstance g_moduleInstance;
static CCorvaneModule g_module;
