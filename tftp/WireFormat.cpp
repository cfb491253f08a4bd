// TFTP wire format: bounded readers of RRQ, ACK and ERROR packets, and the builders of DATA, OACK and ERROR.
#include "tftp/WireFormat.h"

#include <climits>
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

bool IsSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A decimal number as strtol reads it (leading white space, optional sign, digits), stopping at pEnd,
// saturating at the signed 32-bit range; no digits give 0.
std::int32_t ReadDecimal(const unsigned char* p, const unsigned char* pEnd)
{
    while (p < pEnd && IsSpace(*p))
        ++p;
    bool bNegative = false;
    if (p < pEnd && (*p == '+' || *p == '-'))
    {
        bNegative = *p == '-';
        ++p;
    }
    std::int64_t nValue = 0;
    for (; p < pEnd && *p >= '0' && *p <= '9'; ++p)
    {
        nValue = nValue * 10 + (*p - '0');
        if (nValue > static_cast<std::int64_t>(INT32_MAX) + 1)
            nValue = static_cast<std::int64_t>(INT32_MAX) + 1;  // beyond either limit: stays saturated
    }
    if (bNegative)
        nValue = -nValue;
    if (nValue > INT32_MAX)
        return INT32_MAX;
    if (nValue < INT32_MIN)
        return INT32_MIN;
    return static_cast<std::int32_t>(nValue);
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

bool IsBlockSizeOptionName(const unsigned char* pOptions, std::int16_t nLength)
{
    static const char szBlks[] = "blks";
    if (nLength < 4)
        return false;
    for (int i = 0; i < 4; ++i)
    {
        if (LowerAscii(pOptions[i]) != szBlks[i])
            return false;
    }
    return true;
}

std::int16_t ReadClampedBlockSize(const unsigned char* pOptions, std::int16_t nLength)
{
    constexpr int VALUE_OFFSET = 8;  // strlen("blksize") + 1, whatever the client's name was
    std::int32_t nValue = 0;
    if (nLength > VALUE_OFFSET)
        nValue = ReadDecimal(pOptions + VALUE_OFFSET, pOptions + nLength);
    if (nValue < TFTP_MIN_BLOCK_SIZE)
        return TFTP_MIN_BLOCK_SIZE;
    if (nValue > TFTP_MAX_BLOCK_SIZE)
        return TFTP_MAX_BLOCK_SIZE;
    return static_cast<std::int16_t>(nValue);
}

bool ReadAck(const unsigned char* pPacket, int nLength, std::int16_t* pnBlock)
{
    if (nLength < 4)
        return false;
    *pnBlock = static_cast<std::int16_t>(ReadNet16(pPacket + 2));
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

void WriteDataHeader(unsigned char* pPacket, std::int16_t nBlock)
{
    WriteNet16(pPacket, TFTP_DATA);
    WriteNet16(pPacket + 2, static_cast<std::uint16_t>(nBlock));
}

int BuildOack(unsigned char* pBuffer, std::int16_t nBlockSize)
{
    std::memset(pBuffer, 0, TFTP_OACK_BUFFER_BYTES);
    WriteNet16(pBuffer, TFTP_OACK);
    std::memcpy(pBuffer + 2, "blksize", 7);  // the NUL at offset 9 comes from the zero fill
    char szDigits[8];
    int nDigits = 0;
    for (int nValue = nBlockSize; nValue > 0 && nDigits < 4; nValue /= 10)
        szDigits[nDigits++] = static_cast<char>('0' + nValue % 10);
    for (int i = 0; i < nDigits; ++i)
        pBuffer[10 + i] = static_cast<unsigned char>(szDigits[nDigits - 1 - i]);
    return 11 + nDigits;
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
