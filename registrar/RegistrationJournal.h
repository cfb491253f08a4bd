// CRegistrationJournal: what a registering walk changed, so that a failed registration can be undone exactly.
#pragma once
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "registrar/RegKeyHandle.h"

// Holds a handle for every change, so that the undo needs neither paths nor the script.
class CRegistrationJournal
{
public:
    CRegistrationJournal() = default;
    CRegistrationJournal(const CRegistrationJournal&) = delete;
    CRegistrationJournal& operator=(const CRegistrationJournal&) = delete;

    // Creates subkey pszName of hParent into key, with read and write access, and records it when it is new.
    LONG CreateKey(CRegKeyHandle& key, HKEY hParent, LPCWSTR pszName);
    // Records value pszName (null: the unnamed value) of hKey as it is before the walk writes it; when this fails
    // the value must not be written.
    LONG SaveValue(HKEY hKey, LPCWSTR pszName);
    // Newest first: removes the keys made and the values written, and gives overwritten values their old data.
    void Undo();

private:
    struct CChange
    {
        CRegKeyHandle key;       // parent of a created key, or the key that holds a value
        std::wstring name;       // of the created key or of the value
        bool bValue = false;
        bool bExisted = false;   // the value had data before the walk
        DWORD dwType = REG_NONE;
        std::unique_ptr<BYTE[]> data;  // the value's old data
        DWORD cbData = 0;
    };

    // A record with room for it in the journal, or null when memory runs out.
    std::unique_ptr<CChange> NewChange(LPCWSTR pszName);

    std::vector<std::unique_ptr<CChange>> m_changes;
};
