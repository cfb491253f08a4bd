// The event source of the Application log: the key that names this executable's message table, written and removed.
#pragma once
#include <windows.h>

#include "registrar/RegistrationJournal.h"

// Writes HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\<pszSource> with EventMessageFile (this
// executable's full path) and TypesSupported 7; every change goes into journal, so that an undo puts back what
// was there before. A Win32 code.
LONG WriteEventSourceKey(LPCWSTR pszSource, CRegistrationJournal& journal);

// Removes that key; a key that is not there is no error. A Win32 code.
LONG RemoveEventSourceKey(LPCWSTR pszSource);
