// The command-line switches: finding the registration switch that a command line selects.
#pragma once
#include <windows.h>

// The registration switch that a command line selects, if any.
enum class CommandSwitch
{
    None,
    UnregServer,
    RegServer,
    UnregServerPerUser,
    RegServerPerUser,
    Service,
};

// Position just after the first character of pszText that is one of pszSeparators; null when none.
LPCWSTR FindNextSwitch(LPCWSTR pszText, LPCWSTR pszSeparators);

// 0 when the candidate starts with the switch name as a whole word (ended by NUL, space or tab),
// letter case ignored; nonzero otherwise.
int CompareSwitchWord(LPCWSTR pszCandidate, LPCWSTR pszSwitch);

// Scans the arguments after the program name: first for the four registration switches, then for "Service".
CommandSwitch FindRegistrationSwitch(LPCWSTR pszCommandLine);

