// TFTP wire format: bounded readers of RRQ, ACK and ERROR packets, and the builders of DATA, OACK and ERROR.
#include "tftp/WireFormat.h"

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

struct COptionRule
{
    const char* m_pszName;
    std::uint64_t m_nMin, m_nMax;
};
const COptionRule g_rgOptionRules[OPTION_COUNT] = {
    {"blksize", 8, 65464}, {"tsize", 0, UINT64_MAX}, {"timeout", 1, 255}, {"windowsize", 1, 65535}};

bool SameNameAnyCase(const char* pszName, const char* pszLower)
{
    for (; *pszName != '\0' && LowerAscii(static_cast<unsigned char>(*pszName)) == *pszLower; ++pszName, ++pszLower)
    {
    }
    return *pszName == '\0' && *pszLower == '\0';
}

// A plain decimal number: digits only, at least one, no sign or space, within 64 bits.
bool ReadPlainDecimal(const char* pszValue, std::uint64_t* pnValue)
{
    std::uint64_t nValue = 0;
    const char* p = pszValue;
    for (; *p >= '0' && *p <= '9'; ++p)
    {
        unsigned nDigit = static_cast<unsigned>(*p - '0');
        if (nValue > (UINT64_MAX - nDigit) / 10)
            return false;
        nValue = nValue * 10 + nDigit;
    }
    *pnValue = nValue;
    return p != pszValue && *p == '\0';
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

void ReadRequestOptions(const unsigned char* pOptions, int nLength, CRequestOptions* pOptionsRead)
{
    pOptionsRead->m_nCount = 0;
    bool rgSeen[OPTION_COUNT] = {};
    const unsigned char* pEnd = pOptions + (nLength > 0 ? nLength : 0);
    const unsigned char* pNameNul = nullptr;
    const unsigned char* pValueNul = nullptr;
    for (const unsigned char* p = pOptions; p < pEnd && (pNameNul = FindNul(p, pEnd)) != nullptr &&
                                            (pValueNul = FindNul(pNameNul + 1, pEnd)) != nullptr;
         p = pValueNul + 1)
    {
        const char* pszName = reinterpret_cast<const char*>(p);
        for (int i = 0; i < OPTION_COUNT; ++i)
        {
            if (!SameNameAnyCase(pszName, g_rgOptionRules[i].m_pszName) || rgSeen[i])
                continue;
            rgSeen[i] = true;
            std::uint64_t nValue = 0;
            if (ReadPlainDecimal(reinterpret_cast<const char*>(pNameNul + 1), &nValue) &&
                nValue >= g_rgOptionRules[i].m_nMin && nValue <= g_rgOptionRules[i].m_nMax)
            {
                pOptionsRead->m_rgOption[pOptionsRead->m_nCount++] = static_cast<ETftpOption>(i);
                pOptionsRead->m_rgValue[i] = nValue;
            }
        }
    }
}

const char* OptionName(ETftpOption eOption)
{
    return g_rgOptionRules[eOption].m_pszName;
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

int AppendOackOption(unsigned char* pBuffer, int nLength, ETftpOption eOption, std::uint64_t nValue)
{
    if (nLength == 0)
    {
        WriteNet16(pBuffer, TFTP_OACK);
        nLength = 2;
    }
    char szPair[40];  // the longest name, NUL, 20 digits, NUL
    int nPair = std::snprintf(szPair, sizeof szPair, "%s%c%llu", OptionName(eOption), '\0',
                              static_cast<unsigned long long>(nValue)) + 1;
    if (nPair <= 0 || nLength + nPair > TFTP_OACK_BUFFER_BYTES)
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
