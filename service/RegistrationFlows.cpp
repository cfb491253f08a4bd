// The registration flows behind the switches: AppID entries from the script, the event source, the service entry
// and "LocalService".
#include "registrar/HResult.h"
#include "registrar/RegKeyHandle.h"
#include "registrar/Registrar.h"
#include "registrar/RegistrationJournal.h"
#include "service/EventSourceKey.h"
#include "service/Module.h"

namespace
{
const UINT g_nAppIdScript = 101;

// Removes "LocalService", whose presence makes a start choose service mode; a value that is not there is no error.
LONG DeleteServiceMark(CRegKeyHandle& keyAppId)
{
    const LONG nError = RegDeleteValueW(keyAppId.m_hKey, L"LocalService");
    return nError == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : nError;
}

// The script's one variable, APPID, is the module's common variable.
HRESULT ApplyAppIdScript(BOOL bRegister)
{
    return RegisterFromScriptResource(g_pModule, g_moduleInstance.m_hInst, g_nAppIdScript, bRegister, nullptr,
                                      perUserRegistration);
}
}  // namespace

HRESULT CCorvaneModule::RunSwitch(CommandSwitch eSwitch)
{
    // The per-user switches write the script's entries in the current user's classes, and nothing machine-wide.
    perUserRegistration = eSwitch == CommandSwitch::UnregServerPerUser || eSwitch == CommandSwitch::RegServerPerUser;
    if (eSwitch == CommandSwitch::UnregServer || eSwitch == CommandSwitch::UnregServerPerUser)
        return RemoveAppIdEntries();
    return RegisterAppIdEntries(eSwitch == CommandSwitch::Service ? TRUE : FALSE);
}

HRESULT CCorvaneModule::RegisterAppIdEntries(BOOL bService)
{
    // Every registration starts from no service entry, whichever mode it asks for.
    HRESULT hr = UninstallService();
    if (FAILED(hr))
        return hr;

    hr = ApplyAppIdScript(TRUE);
    if (FAILED(hr))
        return hr;

    // A later failure takes the event source back to what it was; the script's entries stay.
    CRegistrationJournal journal;
    hr = RegisterModeEntries(bService, journal);
    if (FAILED(hr))
        journal.Undo();
    return hr;
}

HRESULT CCorvaneModule::RegisterModeEntries(BOOL bService, CRegistrationJournal& journal)
{
    LONG nError = ERROR_SUCCESS;
    if (!perUserRegistration)
    {
        nError = WriteEventSourceKey(m_szSvcName, journal);
        if (nError != ERROR_SUCCESS)
            return HResultFromWin32(nError);
    }

    CRegKeyHandle keyAppIdRoot;
    nError = keyAppIdRoot.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (nError != ERROR_SUCCESS)
        return HResultFromWin32(nError);
    CRegKeyHandle keyAppId;
    nError = keyAppId.CreateKey(keyAppIdRoot.m_hKey, CORVANE_APPID, nullptr, REG_OPTION_NON_VOLATILE,
                                KEY_READ | KEY_WRITE, nullptr, nullptr);
    if (nError != ERROR_SUCCESS)
        return HResultFromWin32(nError);

    nError = DeleteServiceMark(keyAppId);
    if (nError != ERROR_SUCCESS || !bService)
        return HResultFromWin32(nError);
    const HRESULT hr = InstallService();
    if (FAILED(hr))
        return hr;
    // "LocalService" makes the next start choose service mode, so it is written only once the service exists,
    // and a service without it would be started in the foreground mode by the service manager: it goes again.
    nError = keyAppId.WriteString(L"LocalService", m_szSvcName, REG_SZ);
    if (nError == ERROR_SUCCESS)
        return S_OK;
    UninstallService();
    return HResultFromWin32(nError);
}

HRESULT CCorvaneModule::RemoveAppIdEntries()
{
    HRESULT hr = UninstallService();
    if (FAILED(hr))
        return hr;
    if (!perUserRegistration)
    {
        hr = HResultFromWin32(RemoveEventSourceKey(m_szSvcName));
        if (FAILED(hr))
            return hr;
    }

    CRegKeyHandle keyAppIdRoot;
    LONG nError = keyAppIdRoot.OpenKey(HKEY_CLASSES_ROOT, L"AppID", KEY_WRITE);
    if (nError != ERROR_SUCCESS)
        return HResultFromWin32(nError);
    CRegKeyHandle keyAppId;
    nError = keyAppId.OpenKey(keyAppIdRoot.m_hKey, CORVANE_APPID, KEY_WRITE);
    if (nError != ERROR_SUCCESS)
        return HResultFromWin32(nError);

    nError = DeleteServiceMark(keyAppId);
    if (nError != ERROR_SUCCESS)
        return HResultFromWin32(nError);
    // Both keys stay open while the script removes its entries; they close on the way out.
    return ApplyAppIdScript(FALSE);
}
