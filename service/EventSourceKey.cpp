// The event source of the Application log: the key that names this executable's message table, written and removed.
#include "service/EventSourceKey.h"

namespace
{
const WCHAR g_szApplicationLog[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
}  // namespace

LONG WriteEventSourceKey(LPCWSTR pszSource, CRegistrationJournal& journal)
{
    WCHAR szPath[MAX_PATH];
    const DWORD nPath = GetModuleFileNameW(nullptr, szPath, MAX_PATH);
    if (nPath == 0)
        return static_cast<LONG>(GetLastError());
    if (nPath == MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;  // a cut path would name no message file
    CRegKeyHandle keyLog;
    LONG nError = keyLog.CreateKey(HKEY_LOCAL_MACHINE, g_szApplicationLog, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_READ | KEY_WRITE, nullptr, nullptr);
    CRegKeyHandle keySource;
    if (nError == ERROR_SUCCESS)
        nError = journal.CreateKey(keySource, keyLog.m_hKey, pszSource);
    // REG_SZ: the path is used as it is, so a '%' in a folder name is never taken for a variable.
    if (nError == ERROR_SUCCESS)
        nError = journal.SaveValue(keySource.m_hKey, L"EventMessageFile");
    if (nError == ERROR_SUCCESS)
        nError = keySource.WriteString(L"EventMessageFile", szPath, REG_SZ);
    if (nError == ERROR_SUCCESS)
        nError = journal.SaveValue(keySource.m_hKey, L"TypesSupported");
    if (nError == ERROR_SUCCESS)
        nError = keySource.WriteDword(L"TypesSupported",
                                      EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE);
    return nError;
}

LONG RemoveEventSourceKey(LPCWSTR pszSource)
{
    CRegKeyHandle keyLog;
    LONG nError = keyLog.OpenKey(HKEY_LOCAL_MACHINE, g_szApplicationLog, KEY_READ | KEY_WRITE);
    if (nError == ERROR_SUCCESS)
        nError = keyLog.DeleteChild(pszSource);
    return nError == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : nError;
}
