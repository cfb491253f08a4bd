// The service runtime: entry point, control handler, status reports and the run step that owns the server.
#include "service/ServiceRuntime.h"

#include "diag/Trace.h"
#include "service/Module.h"
#include "service/TransferEvent.h"
#include "tftp/TFTPServer.h"

namespace
{
// Runs on the main thread, inside the dispatcher.
VOID WINAPI ServiceControlHandler(DWORD dwControl)
{
    switch (dwControl)
    {
    case SERVICE_CONTROL_STOP:
        g_pModule->RequestStop();
        break;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
    case SERVICE_CONTROL_INTERROGATE:
    case SERVICE_CONTROL_SHUTDOWN:
        break;
    default:
        g_pModule->LogServiceEvent(L"Bad service request");
        break;
    }
}
}  // namespace

VOID WINAPI ServiceMain(DWORD /*dwArgc*/, LPWSTR* /*ppszArgv*/)
{
    CCorvaneModule& module = *g_pModule;
    module.m_svcStatus.dwCurrentState = SERVICE_START_PENDING;
    module.m_hSvcStatus = RegisterServiceCtrlHandlerW(module.m_szSvcName, ServiceControlHandler);
    if (module.m_hSvcStatus == nullptr)
    {
        module.LogServiceEvent(L"Handler not installed");
        return;
    }
    module.ReportServiceStatus(SERVICE_START_PENDING);
    module.m_svcStatus.dwWin32ExitCode = 0;
    module.m_svcStatus.dwCheckPoint = 0;
    module.m_svcStatus.dwWaitHint = 0;

    HRESULT hr = module.Run();

    // The event goes out before the stopped report: once the service manager hears STOPPED it may
    // end the process at any moment, and the event would be lost.
    module.LogServiceEvent(L"Service stopped");
    // The service manager's terms for a failure of the service's own: its HRESULT as the service-specific code.
    module.m_svcStatus.dwWin32ExitCode = FAILED(hr) ? ERROR_SERVICE_SPECIFIC_ERROR : NO_ERROR;
    module.m_svcStatus.dwServiceSpecificExitCode = FAILED(hr) ? static_cast<DWORD>(hr) : 0;
    module.ReportServiceStatus(SERVICE_STOPPED);
}

void CCorvaneModule::ReportServiceStatus(DWORD dwState)
{
    m_svcStatus.dwCurrentState = dwState;
    SetServiceStatus(m_hSvcStatus, &m_svcStatus);
}

void CCorvaneModule::RequestStop()
{
    ReportServiceStatus(SERVICE_STOP_PENDING);
    PostThreadMessageW(m_dwLoopThreadId, WM_QUIT, 0, 0);
}

HRESULT CCorvaneModule::Run()
{
    // Trace lines are for the console of foreground mode; a service has nobody to read them.
    g_bTraceQuiet = m_bRunAsService;
    // In service mode every transfer leaves its event; the log outlives the server that writes to it.
    CTransferEventLog eventLog(m_szSvcName);
    CTFTPServer server;
    if (m_bRunAsService)
        server.SetRecordSink(&CTransferEventLog::OnRecord, &eventLog);
    if (server.Start() == nullptr)
        return E_FAIL;
    HRESULT hr = ServeUntilQuit();
    server.Stop();
    return hr;
}

HRESULT CCorvaneModule::ServeUntilQuit()
{
    if (m_bRunAsService)
    {
        m_dwLoopThreadId = GetCurrentThreadId();
        // The thread's message queue must exist before RUNNING is reported: a stop posted to a
        // thread without a queue is dropped, and the service would never stop.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        LogServiceEvent(L"Service started");
        ReportServiceStatus(SERVICE_RUNNING);
    }
    PumpMessages();
    return S_OK;
}

void CCorvaneModule::PumpMessages()
{
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0)
    {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}
