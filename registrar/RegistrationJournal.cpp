// CRegistrationJournal: recording each key and value that a registering walk makes, and undoing them.
#include "registrar/RegistrationJournal.h"

LONG CRegistrationJournal::CreateKey(CRegKeyHandle& key, HKEY hParent, LPCWSTR pszName)
{
    // Everything that can fail or allocate comes before the key exists, so that no new key goes unrecorded.
    std::unique_ptr<CChange> pChange(new CChange);
    pChange->name = pszName;
    LONG lResult = pChange->key.OpenKey(hParent, nullptr, KEY_READ);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    m_changes.reserve(m_changes.size() + 1);
    DWORD dwDisposition = 0;
    lResult = key.CreateKey(hParent, pszName, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                            &dwDisposition);
    if (lResult == ERROR_SUCCESS && dwDisposition == REG_CREATED_NEW_KEY)
        m_changes.push_back(std::move(pChange));
    return lResult;
}

LONG CRegistrationJournal::SaveValue(HKEY hKey, LPCWSTR pszName)
{
    std::unique_ptr<CChange> pChange(new CChange);
    pChange->bValue = true;
    pChange->name = pszName != nullptr ? pszName : L"";
    LONG lResult = pChange->key.OpenKey(hKey, nullptr, KEY_READ | KEY_WRITE);
    if (lResult != ERROR_SUCCESS)
        return lResult;
    DWORD cbData = 0;
    lResult = RegQueryValueExW(pChange->key.m_hKey, pszName, nullptr, &pChange->dwType, nullptr, &cbData);
    if (lResult == ERROR_SUCCESS)
    {
        pChange->bExisted = true;
        pChange->data.resize(cbData);
        lResult = RegQueryValueExW(pChange->key.m_hKey, pszName, nullptr, &pChange->dwType, pChange->data.data(),
                                   &cbData);
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
            RegSetValueExW(change.key.m_hKey, change.name.c_str(), 0, change.dwType, change.data.data(),
                           static_cast<DWORD>(change.data.size()));
        else
            RegDeleteValueW(change.key.m_hKey, change.name.c_str());
        change.key.CloseKey();
    }
    m_changes.clear();
}
