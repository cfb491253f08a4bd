// TFTP wire format: bounded readers of RRQ, ACK and ERROR packets, and the builders of DATA, OACK and ERROR.
#include "tftp/WireFormat.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace
{
// Finds the NUL that closes a string starting at p, without passing pEnd.
const unsigned char* FindNul(const unsigned char* p, const unsigned char* pEnd)
{
    const void* pNul = std::memchr(p, 0, static_cast<std::size_t>(pEnd - p));
    return static_cast<const unsigned char*>(pNul);
}

char LowerAscii(unsigned char c)
{
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

// An option pair of a request, for sorting: names compare without regard to ASCII case, then values byte by byte.
struct COptionPair
{
    const char* m_pszName;
    const char* m_pszValue;
};

bool PairBefore(const COptionPair& left, const COptionPair& right)
{
    const char* pLeft = left.m_pszName;
    const char* pRight = right.m_pszName;
    for (; *pLeft != '\0' && LowerAscii(static_cast<unsigned char>(*pLeft)) == LowerAscii(static_cast<unsigned char>(*pRight));
         ++pLeft, ++pRight)
    {
    }
    unsigned char cLeft = static_cast<unsigned char>(LowerAscii(static_cast<unsigned char>(*pLeft)));
    unsigned char cRight = static_cast<unsigned char>(LowerAscii(static_cast<unsigned char>(*pRight)));
    if (cLeft != cRight)
        return cLeft < cRight;
    return std::strcmp(left.m_pszValue, right.m_pszValue) < 0;
}

// Copies a NUL-closed string with its NUL, in lower case when asked; returns the position after it.
unsigned char* CopyString(unsigned char* pOut, const char* pszText, bool bLower)
{
    do
        *pOut++ = static_cast<unsigned char>(bLower ? LowerAscii(static_cast<unsigned char>(*pszText)) : *pszText);
    while (*pszText++ != '\0');
    return pOut;
}
}

std::uint16_t ReadNet16(const unsigned char* p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void WriteNet16(unsigned char* p, std::uint16_t nValue)
{
    p[0] = static_cast<unsigned char>(nValue >> 8);
    p[1] = static_cast<unsigned char>(nValue & 0xFF);
}

bool ReadReadRequest(const unsigned char* pPacket, int nLength, CReadRequest* pRequest)
{
    if (nLength < 2)
        return false;
    const unsigned char* pEnd = pPacket + nLength;
    const unsigned char* pName = pPacket + 2;
    const unsigned char* pNameNul = FindNul(pName, pEnd);
    if (pNameNul == nullptr)
        return false;
    const unsigned char* pMode = pNameNul + 1;
    const unsigned char* pModeNul = FindNul(pMode, pEnd);
    if (pModeNul == nullptr)
        return false;
    pRequest->m_pszName = reinterpret_cast<const char*>(pName);
    pRequest->m_pszMode = reinterpret_cast<const char*>(pMode);
    pRequest->m_pOptions = pModeNul + 1;
    pRequest->m_nOptionsLength = static_cast<std::int16_t>(pEnd - (pModeNul + 1));
    return true;
}

bool IsOctetMode(const char* pszMode)
{
    static const char szOctet[] = "octet";
    for (int i = 0; i < 5; ++i)
    {
        // A shorter mode meets its NUL here, which matches no letter of "octet".
        if (LowerAscii(static_cast<unsigned char>(pszMode[i])) != szOctet[i])
            return false;
    }
    return true;
}

COptionWalk::COptionWalk(const CReadRequest& request)
    : m_p(request.m_pOptions), m_pEnd(request.m_pOptions + (request.m_nOptionsLength > 0 ? request.m_nOptionsLength : 0))
{
}

bool COptionWalk::Next(const char** ppszName, const char** ppszValue)
{
    const unsigned char* pNameNul = m_p < m_pEnd ? FindNul(m_p, m_pEnd) : nullptr;
    const unsigned char* pValueNul = pNameNul != nullptr ? FindNul(pNameNul + 1, m_pEnd) : nullptr;
    if (pValueNul == nullptr)
        return false;
    *ppszName = reinterpret_cast<const char*>(m_p);
    *ppszValue = reinterpret_cast<const char*>(pNameNul + 1);
    m_p = pValueNul + 1;
    return true;
}

int RequestIdentity(const CReadRequest& request, unsigned char* pIdentity)
{
    // Every pair takes at least its two NULs, so a datagram cannot hold more.
    COptionPair rgPairs[TFTP_PACKET_BYTES / 2];
    int nPairs = 0;
    COptionWalk walk(request);
    while (walk.Next(&rgPairs[nPairs].m_pszName, &rgPairs[nPairs].m_pszValue))
        ++nPairs;
    std::sort(rgPairs, rgPairs + nPairs, PairBefore);
    unsigned char* pOut = CopyString(pIdentity, request.m_pszName, false);
    pOut = CopyString(pOut, request.m_pszMode, true);
    for (int i = 0; i < nPairs; ++i)
        pOut = CopyString(CopyString(pOut, rgPairs[i].m_pszName, true), rgPairs[i].m_pszValue, false);
    return static_cast<int>(pOut - pIdentity);
}

bool ReadAck(const unsigned char* pPacket, int nLength, std::uint16_t* pnBlock)
{
    if (nLength < 4)
        return false;
    *pnBlock = ReadNet16(pPacket + 2);
    return true;
}

bool ReadErrorPacket(const unsigned char* pPacket, int nLength, std::uint16_t* pnCode, const char** ppText,
                     int* pnTextLength)
{
    if (nLength < 4)
        return false;
    const unsigned char* pText = pPacket + 4;
    const unsigned char* pEnd = pPacket + nLength;
    const unsigned char* pNul = FindNul(pText, pEnd);
    *pnCode = ReadNet16(pPacket + 2);
    *ppText = reinterpret_cast<const char*>(pText);
    *pnTextLength = static_cast<int>((pNul != nullptr ? pNul : pEnd) - pText);
    return true;
}

void WriteDataHeader(unsigned char* pPacket, std::uint16_t nBlock)
{
    WriteNet16(pPacket, TFTP_DATA);
    WriteNet16(pPacket + 2, nBlock);
}

int AppendOackOption(unsigned char* pBuffer, int nLength, const char* pszName, std::uint64_t nValue)
{
    if (nLength == 0)
    {
        WriteNet16(pBuffer, TFTP_OACK);
        nLength = 2;
    }
    char szPair[40];  // a known option's name, NUL, 20 digits, NUL
    int nPair = std::snprintf(szPair, sizeof szPair, "%s%c%llu", pszName, '\0', static_cast<unsigned long long>(nValue)) + 1;
    if (nPair <= 0 || nPair > static_cast<int>(sizeof szPair) || nLength + nPair > TFTP_OACK_BUFFER_BYTES)
        return nLength;  // cannot happen with the four known options; the buffer stays within bounds
    std::memcpy(pBuffer + nLength, szPair, static_cast<std::size_t>(nPair));
    return nLength + nPair;
}

int BuildError(unsigned char* pBuffer, int cbBuffer, std::uint16_t nCode, const char* pszText)
{
    int nText = static_cast<int>(std::strlen(pszText));
    if (nText > cbBuffer - 5)
        nText = cbBuffer - 5;
    WriteNet16(pBuffer, TFTP_ERROR);
    WriteNet16(pBuffer + 2, nCode);
    std::memcpy(pBuffer + 4, pszText, static_cast<std::size_t>(nText));
    pBuffer[4 + nText] = 0;
    return 5 + nText;
}
