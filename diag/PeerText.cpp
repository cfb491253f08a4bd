// Peer text as the program shows it: a peer's control bytes written as \xNN, cut only between whole characters.
#include "diag/PeerText.h"

#include <cstdio>

std::size_t EscapePeerText(const char* pchText, std::size_t nText, char* pszOut, std::size_t nOutChars)
{
    std::size_t nOut = 0;
    for (std::size_t i = 0; i < nText; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(pchText[i]);
        const bool bControl = c < 0x20 || c == 0x7F;
        // Half an escape would show another byte than the peer sent.
        if (nOut + (bControl ? 4 : 1) > nOutChars - 1)
            break;
        if (bControl)
            nOut += static_cast<std::size_t>(std::snprintf(pszOut + nOut, 5, "\\x%02x", c));
        else
            pszOut[nOut++] = static_cast<char>(c);
    }
    pszOut[nOut] = '\0';
    return nOut;
}
