// The options that the server negotiates: a table with a row per option, the reader of a request's options and the
// negotiation that applies them to a transfer and answers them.
#include "tftp/Options.h"

#include <algorithm>
#include <cstdio>

#include "diag/Trace.h"

namespace
{
// What an accepted option sets in the transfer. *pnValue holds the value asked, already capped, and leaves with
// the value answered; false leaves the option out of the OACK.
using PfnApplyOption = bool (*)(CTransfer& transfer, std::uint64_t* pnValue);

bool SetBlockSize(CTransfer& transfer, std::uint64_t* pnValue)
{
    if (transfer.m_addrClient.IsIPv6())
        *pnValue = std::min<std::uint64_t>(*pnValue, TFTP_MAX_BLOCK_SIZE_IPV6);
    transfer.m_nBlockSize = static_cast<std::uint16_t>(*pnValue);
    return true;
}

bool AnswerFileSize(CTransfer& transfer, std::uint64_t* pnValue)
{
    return transfer.m_readAhead.File().Size(pnValue) && *pnValue != 0;
}

bool SetInterval(CTransfer& transfer, std::uint64_t* pnValue)
{
    transfer.m_nIntervalMs = static_cast<std::uint32_t>(*pnValue) * 1000u;
    return true;
}

bool SetWindow(CTransfer& transfer, std::uint64_t* pnValue)
{
    transfer.m_nWindowSize = static_cast<std::uint16_t>(*pnValue);
    return true;
}

struct COptionRow
{
    const char* m_pszName;          // as the server writes it, in lower case
    std::uint64_t m_nMin, m_nMax;   // the values a request may ask; any other drops the option
    std::uint64_t m_nCap;           // the largest value answered: never more than asked
    PfnApplyOption m_pfnApply;
};

// By ETftpOption. A DATA of 1428 bytes fits an Ethernet frame over IPv4 (one of 1408 over IPv6); 64 blocks in
// flight are the read-ahead a transfer keeps (CReadAhead::MAX_WINDOW).
const COptionRow g_rgOptions[OPTION_COUNT] = {
    {"blksize", 8, 65464, TFTP_MAX_BLOCK_SIZE, SetBlockSize},
    {"tsize", 0, UINT64_MAX, UINT64_MAX, AnswerFileSize},
    {"timeout", 1, 255, 255, SetInterval},
    {"windowsize", 1, 65535, CReadAhead::MAX_WINDOW, SetWindow},
};

char LowerAscii(unsigned char c)
{
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
}

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
}  // namespace

std::uint64_t CRequestOptions::Asked(ETftpOption eOption, std::uint64_t nAbsent) const
{
    return std::find(m_rgOption, m_rgOption + m_nCount, eOption) != m_rgOption + m_nCount ? m_rgValue[eOption] : nAbsent;
}

void ReadRequestOptions(const CReadRequest& request, CRequestOptions* pOptionsRead)
{
    pOptionsRead->m_nCount = 0;
    bool rgSeen[OPTION_COUNT] = {};
    COptionWalk walk(request);
    for (const char *pszName = nullptr, *pszValue = nullptr; walk.Next(&pszName, &pszValue);)
    {
        for (int i = 0; i < OPTION_COUNT; ++i)
        {
            if (!SameNameAnyCase(pszName, g_rgOptions[i].m_pszName) || rgSeen[i])
                continue;
            rgSeen[i] = true;
            std::uint64_t nValue = 0;
            if (ReadPlainDecimal(pszValue, &nValue) && nValue >= g_rgOptions[i].m_nMin && nValue <= g_rgOptions[i].m_nMax)
            {
                pOptionsRead->m_rgOption[pOptionsRead->m_nCount++] = static_cast<ETftpOption>(i);
                pOptionsRead->m_rgValue[i] = nValue;
            }
        }
    }
}

void NegotiateOptions(CTransfer& transfer, const CReadRequest& request, const CRequestOptions& options)
{
    if (request.m_nOptionsLength <= 0)
    {
        TraceA("TFTP: No tftp option extensions found.\n");
        return;
    }
    std::size_t nText = 0;
    for (int i = 0; i < options.m_nCount; ++i)
    {
        const COptionRow& row = g_rgOptions[options.m_rgOption[i]];
        std::uint64_t nValue = std::min(options.m_rgValue[options.m_rgOption[i]], row.m_nCap);
        if (!row.m_pfnApply(transfer, &nValue))
            continue;
        TraceA("TFTP: Found tftp '%s' option extension.\n", row.m_pszName);
        transfer.m_nOackLength = AppendOackOption(transfer.m_oack, transfer.m_nOackLength, row.m_pszName, nValue);
        int nWritten = std::snprintf(transfer.m_szOptions + nText, sizeof transfer.m_szOptions - nText, "%s%s %llu",
                                     nText ? ", " : "", row.m_pszName, static_cast<unsigned long long>(nValue));
        nText = std::min(sizeof transfer.m_szOptions - 1, nText + static_cast<std::size_t>(nWritten > 0 ? nWritten : 0));
    }
}
