// CRegistrationJournal: recording each key and value that a registering walk makes, and undoing them.
#include "registrar/RegistrationJournal.h"

#include <new>

std::unique_ptr<CRegistrationJournal::CChange> CRegistrationJournal::NewChange(LPCWSTR pszName)
{
    try
    {
        std::unique_ptr<CChange> pChange(new CChange);
        pChange->name = pszName != nullptr ? pszName : L"";
        m_changes.reserve(m_changes.size() + 1);
        return pChange;
    }
    catch (const std::bad_alloc&)
    {
        return nullptr;
    }
}

LONG CRegistrationJournal::CreateKey(CRegKeyHandle& key, HKEY hParent, LPCWSTR pszName)
{
    // Everything that can fail or allocate comes before the key exists, so that no new key goes unrecorded.
    std::unique_ptr<CChange> pChange = NewChange(pszName);
    if (!pChange)
        return ERROR_OUTOFMEMORY;
    LONG lResult = pChange->key.OpenKey(hParent, nullptr, KEY_READ);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    DWORD dwDisposition = 0;
    lResult = key.CreateKey(hParent, pszName, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                            &dwDisposition);
    if (lResult == ERROR_SUCCESS && dwDisposition == REG_CREATED_NEW_KEY)
        m_changes.push_back(std::move(pChange));
    return lResult;
}

LONG CRegistrationJournal::SaveValue(HKEY hKey, LPCWSTR pszName)
{
    std::unique_ptr<CChange> pChange = NewChange(pszName);
    if (!pChange)
        return ERROR_OUTOFMEMORY;
    pChange->bValue = true;
    LONG lResult = pChange->key.OpenKey(hKey, nullptr, KEY_READ | KEY_WRITE);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    DWORD cbData = 0;
    lResult = RegQueryValueExW(pChange->key.m_hKey, pszName, nullptr, &pChange->dwType, nullptr, &cbData);
    if (lResult == ERROR_SUCCESS)
    {
        pChange->bExisted = true;
        pChange->data.reset(new (std::nothrow) BYTE[cbData]);
        if (!pChange->data)
            return ERROR_OUTOFMEMORY;
        pChange->cbData = cbData;
        lResult = RegQueryValueExW(pChange->key.m_hKey, pszName, nullptr, &pChange->dwType, pChange->data.get(),
                                   &pChange->cbData);
    }
    else if (lResult == ERROR_FILE_NOT_FOUND)
    {
        lResult = ERROR_SUCCESS;
    }
    if (lResult == ERROR_SUCCESS)
        m_changes.push_back(std::move(pChange));
    return lResult;
}

void CRegistrationJournal::Undo()
{
    // Each handle closes once used: a key's record is reached only after those of everything made below it.
    for (auto it = m_changes.rbegin(); it != m_changes.rend(); ++it)
    {
        CChange& change = **it;
        if (!change.bValue)
            change.key.DeleteChild(change.name.c_str());
        else if (change.bExisted)
            RegSetValueExW(change.key.m_hKey, change.name.c_str(), 0, change.dwType, change.data.get(), change.cbData);
        else
            RegDeleteValueW(change.key.m_hKey, change.name.c_str());
        change.key.CloseKey();
    }
    m_changes.clear();
}
