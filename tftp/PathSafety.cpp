// Path safety: refuses request names that climb out of the boot directory, start at a root or name devices.
#include "tftp/PathSafety.h"

#include <cstddef>
#include <cstring>

namespace
{
bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

char UpperAscii(char c)
{
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(const char* p, std::size_t nLength, const char* pszWord)
{
    if (std::strlen(pszWord) != nLength)
        return false;
    for (std::size_t i = 0; i < nLength; ++i)
    {
        if (UpperAscii(p[i]) != pszWord[i])
            return false;
    }
    return true;
}

// Digits that Windows takes for a port number after COM or LPT: 0-9 and, in the ANSI code page,
// the superscripts one, two and three.
bool IsPortDigit(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return (c >= '0' && c <= '9') || u == 0xB9 || u == 0xB2 || u == 0xB3;
}

// Windows opens the device for a reserved name whatever extension follows it, and ignores trailing
// spaces before the extension: "nul", "NUL.txt", "com1 .log" all name devices.
bool IsDeviceName(const char* pComponent, std::size_t nLength)
{
    std::size_t nBase = 0;
    while (nBase < nLength && pComponent[nBase] != '.')
        ++nBase;
    while (nBase > 0 && pComponent[nBase - 1] == ' ')
        --nBase;
    static const char* const rgpszDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* pszDevice : rgpszDevices)
    {
        if (EqualsIgnoringCase(pComponent, nBase, pszDevice))
            return true;
    }
    return nBase == 4 && (EqualsIgnoringCase(pComponent, 3, "COM") || EqualsIgnoringCase(pComponent, 3, "LPT")) &&
           IsPortDigit(pComponent[3]);
}

// ".", "..", "...", " ", ". ." and the empty component between two separators: Windows drops trailing dots
// and spaces, so all of them can climb or stay where a name must go down.
bool IsOnlyDotsAndSpaces(const char* pComponent, std::size_t nLength)
{
    for (std::size_t i = 0; i < nLength; ++i)
    {
        if (pComponent[i] != '.' && pComponent[i] != ' ')
            return false;
    }
    return true;
}
}

bool IsSafeRequestName(const char* pszName)
{
    if (pszName[0] == '\0' || IsSeparator(pszName[0]) || std::strchr(pszName, ':') != nullptr)
        return false;
    const char* pComponent = pszName;
    for (;;)
    {
        std::size_t nLength = 0;
        while (pComponent[nLength] != '\0' && !IsSeparator(pComponent[nLength]))
            ++nLength;
        if (IsOnlyDotsAndSpaces(pComponent, nLength) || IsDeviceName(pComponent, nLength))
            return false;
        if (pComponent[nLength] == '\0')
            return true;
        pComponent += nLength + 1;
    }
}
