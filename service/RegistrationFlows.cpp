// The registration flows behind the switches: AppID entries from the script, the event source, the service entry
// and "LocalService".
#include "diag/CallFailure.h"
#include "registrar/HResult.h"
#include "registrar/RegKeyHandle.h"
#include "registrar/Registrar.h"
#include "registrar/RegistrationJournal.h"
#include "service/EventSourceKey.h"
#include "service/Module.h"

namespace
{
const UINT g_nAppIdScript = 101;

// Tells a failed registry step with its cause, in the error event only for a machine-wide switch; its HRESULT.
HRESULT FailedStep(LPCWSTR pszCall, LONG nError, bool bPerUser)
{
    ReportCallFailure(pszCall, static_cast<DWORD>(nError), !bPerUser);
    return HResultFromWin32(nError);
}

// Removes "LocalService", whose presence makes a start choose service mode; a value that is not there is no error.
LONG DeleteServiceMark(CRegKeyHandle& keyAppId)
{
    const LONG nError = RegDeleteValueW(keyAppId.m_hKey, L"LocalService");
    return nError == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : nError;
}

// Removes "LocalService" from the program's AppID key; where the program was never registered there is neither.
LONG RemoveServiceMark()
{
    CRegKeyHandle keyAppId;
    const LONG nError = keyAppId.OpenKey(HKEY_CLASSES_ROOT, L"AppID\\" CORVANE_APPID, KEY_WRITE);
    if (nError == ERROR_SUCCESS)
        return DeleteServiceMark(keyAppId);
    return nError == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : nError;
}

// The script's one variable, APPID, is the module's common variable. A registration records into pJournal.
HRESULT ApplyAppIdScript(BOOL bRegister, bool bPerUser, CRegistrationJournal* pJournal)
{
    const HRESULT hr = RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, g_nAppIdScript, bRegister,
                                                  nullptr, bPerUser, pJournal);
    // The engine's registry failures carry a Win32 code; any other failure is told by its HRESULT.
    const LONG nError = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : hr;
    if (FAILED(hr))
        ReportCallFailure(L"RegisterFromScriptResource", static_cast<DWORD>(nError), !bPerUser);
    return hr;
}
}  // namespace

HRESULT CCorvaneModule::RunSwitch(CommandSwitch eSwitch)
{
    // The per-user switches write the script's entries in the current user's classes, and nothing machine-wide.
    perUserRegistration = eSwitch == CommandSwitch::UnregServerPerUser || eSwitch == CommandSwitch::RegServerPerUser;
    if (eSwitch == CommandSwitch::UnregServer || eSwitch == CommandSwitch::UnregServerPerUser)
        return RemoveAppIdEntries(perUserRegistration);
    return RegisterAppIdEntries(eSwitch == CommandSwitch::Service ? TRUE : FALSE, perUserRegistration);
}

HRESULT CCorvaneModule::RegisterAppIdEntries(BOOL bService, bool bPerUser)
{
    // Every registration starts from no service, whichever mode it asks for: its entry goes, and with it at once the
    // "LocalService" that makes a start choose service mode, so that no later failure leaves one without the other.
    HRESULT hr = UninstallService(bPerUser);
    if (FAILED(hr))
        return hr;
    const LONG nError = RemoveServiceMark();
    if (nError != ERROR_SUCCESS)
        return FailedStep(L"RemoveServiceMark", nError, bPerUser);

    // One journal for the script's entries and the mode's: a failure takes back every key and value that this
    // registration wrote, while what it removed stays removed.
    CRegistrationJournal journal;
    hr = ApplyAppIdScript(TRUE, bPerUser, &journal);
    if (SUCCEEDED(hr))
        hr = RegisterModeEntries(bService, bPerUser, journal);
    if (FAILED(hr))
        journal.Undo();
    return hr;
}

HRESULT CCorvaneModule::RegisterModeEntries(BOOL bService, bool bPerUser, CRegistrationJournal& journal)
{
    LONG nError = ERROR_SUCCESS;
    if (!bPerUser)
    {
        nError = WriteEventSourceKey(m_szSvcName, journal);
        if (nError != ERROR_SUCCESS)
            return FailedStep(L"WriteEventSourceKey", nError, bPerUser);
    }
    if (!bService)
        return S_OK;

    CRegKeyHandle keyAppIdRoot;
    nError = keyAppIdRoot.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (nError != ERROR_SUCCESS)
        return FailedStep(L"RegOpenKeyExW HKCR\\AppID", nError, bPerUser);
    CRegKeyHandle keyAppId;
    nError = keyAppId.CreateKey(keyAppIdRoot.m_hKey, CORVANE_APPID, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, nullptr, nullptr);
    if (nError != ERROR_SUCCESS)
        return FailedStep(L"RegCreateKeyExW HKCR\\AppID\\" CORVANE_APPID, nError, bPerUser);
    HRESULT hr = InstallService();
    if (FAILED(hr))
        return hr;
    // "LocalService" makes the next start choose service mode, so it is written only once the service exists,
    // and a service without it would be started in the foreground mode by the service manager: it goes again.
    nError = keyAppId.WriteString(L"LocalService", m_szSvcName, REG_SZ);
    if (nError == ERROR_SUCCESS)
        return S_OK;
    hr = FailedStep(L"RegSetValueExW LocalService", nError, bPerUser);
    UninstallService(bPerUser);
    return hr;
}

HRESULT CCorvaneModule::RemoveAppIdEntries(bool bPerUser)
{
    HRESULT hr = UninstallService(bPerUser);
    if (FAILED(hr))
        return hr;
    LONG nError = bPerUser ? ERROR_SUCCESS : RemoveEventSourceKey(m_szSvcName);
    if (nError != ERROR_SUCCESS)
        return FailedStep(L"RemoveEventSourceKey", nError, bPerUser);

    CRegKeyHandle keyAppIdRoot;
    nError = keyAppIdRoot.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (nError != ERROR_SUCCESS)
        return FailedStep(L"RegOpenKeyExW HKCR\\AppID", nError, bPerUser);
    CRegKeyHandle keyAppId;
    nError = keyAppId.OpenKey(keyAppIdRoot.m_hKey, CORVANE_APPID, KEY_WRITE);
    if (nError != ERROR_SUCCESS)
        return FailedStep(L"RegOpenKeyExW HKCR\\AppID\\" CORVANE_APPID, nError, bPerUser);

    nError = DeleteServiceMark(keyAppId);
    if (nError != ERROR_SUCCESS)
        return FailedStep(L"RegDeleteValueW LocalService", nError, bPerUser);
    // Both keys stay open while the script removes its entries; they close on the way out.
    return ApplyAppIdScript(FALSE, bPerUser, nullptr);
}
