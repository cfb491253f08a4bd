// The command-line switches: finding the registration switch that a command line selects.
#include "service/CommandLine.h"

namespace
{
const WCHAR g_szSeparators[] = L"-/";

// Switches of the first scan, in the order they are tried against each candidate.
struct SwitchName
{
    LPCWSTR pszName;
    CommandSwitch eSwitch;
};

const SwitchName g_registrationSwitches[] = {
    { L"UnregServer", CommandSwitch::UnregServer },
    { L"RegServer", CommandSwitch::RegServer },
    { L"UnregServerPerUser", CommandSwitch::UnregServerPerUser },
    { L"RegServerPerUser", CommandSwitch::RegServerPerUser },
};

WCHAR UpperChar(WCHAR ch)
{
    // The single-character form: the character travels in the low word of the pointer argument.
    ULONG_PTR nChar = ch;
    return static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(nChar))));
}

bool EndsWord(WCHAR ch)
{
    return ch == L'\0' || ch == L' ' || ch == L'\t';
}

// The arguments after the program name, which Windows writes first on the line: up to the closing quote when it
// starts with one, else up to the first blank. A '-' or '/' in the program's own path must never act as a switch.
LPCWSTR SkipProgramName(LPCWSTR pszCommandLine)
{
    LPCWSTR p = pszCommandLine;
    if (*p == L'"')
    {
        for (p = CharNextW(p); *p != L'\0' && *p != L'"';)
            p = CharNextW(p);
        return *p == L'"' ? CharNextW(p) : p;
    }
    while (*p != L'\0' && *p != L' ' && *p != L'\t')
        p = CharNextW(p);
    return p;
}
}  // namespace

LPCWSTR FindNextSwitch(LPCWSTR pszText, LPCWSTR pszSeparators)
{
    if (pszText == nullptr)
        return nullptr;
    for (LPCWSTR p = pszText; *p != L'\0'; p = CharNextW(p))
    {
        for (LPCWSTR s = pszSeparators; *s != L'\0'; s = CharNextW(s))
        {
            if (*p == *s)
                return CharNextW(p);
        }
    }
    return nullptr;
}

int CompareSwitchWord(LPCWSTR pszCandidate, LPCWSTR pszSwitch)
{
    WCHAR chCandidate = UpperChar(*pszCandidate);
    WCHAR chSwitch = UpperChar(*pszSwitch);
    while (chCandidate == chSwitch && !EndsWord(chCandidate))
    {
        pszCandidate = CharNextW(pszCandidate);
        pszSwitch = CharNextW(pszSwitch);
        chCandidate = UpperChar(*pszCandidate);
        chSwitch = UpperChar(*pszSwitch);
    }
    if (EndsWord(chCandidate) && EndsWord(chSwitch))
        return 0;
    return chCandidate < chSwitch ? -1 : 1;
}

CommandSwitch FindRegistrationSwitch(LPCWSTR pszCommandLine)
{
    // Everything after the program name counts: the first matching candidate wins.
    LPCWSTR pszArguments = SkipProgramName(pszCommandLine);
    for (LPCWSTR p = FindNextSwitch(pszArguments, g_szSeparators); p != nullptr;
         p = FindNextSwitch(p, g_szSeparators))
    {
        for (const SwitchName& sw : g_registrationSwitches)
        {
            if (CompareSwitchWord(p, sw.pszName) == 0)
                return sw.eSwitch;
        }
    }
    // "Service" only counts when no other registration switch is among the arguments.
    for (LPCWSTR p = FindNextSwitch(pszArguments, g_szSeparators); p != nullptr;
         p = FindNextSwitch(p, g_szSeparators))
    {
        if (CompareSwitchWord(p, L"Service") == 0)
            return CommandSwitch::Service;
    }
    return CommandSwitch::None;
}
