// The options that the server negotiates (RFC 2347-2349, 7440): one table row each, read from a request and
// answered in its OACK.
#pragma once
#include <cstdint>

#include "tftp/Transfer.h"
#include "tftp/WireFormat.h"

// The options that the server knows, in the order of the table's rows.
enum ETftpOption : std::uint8_t
{
    OPTION_BLKSIZE,     // 8..65464, answered with at most 1428
    OPTION_TSIZE,       // answered with the file's size
    OPTION_TIMEOUT,     // 1..255 seconds: the transfer's interval
    OPTION_WINDOWSIZE,  // 1..65535, answered with at most 64
    OPTION_COUNT,
};

// The known options of a request, in the request's order. Only pairs that lie wholly inside the datagram
// are read (a cut pair ends the list); names match whole in any letter case; of a repeated name only the
// first counts; a value that is not a plain decimal number in the option's range drops that option.
struct CRequestOptions
{
    int m_nCount;
    ETftpOption m_rgOption[OPTION_COUNT];
    std::uint64_t m_rgValue[OPTION_COUNT];  // by ETftpOption, for the options listed

    // The value asked for an option, or nAbsent when the request does not carry it.
    std::uint64_t Asked(ETftpOption eOption, std::uint64_t nAbsent) const;
};
void ReadRequestOptions(const CReadRequest& request, CRequestOptions* pOptionsRead);

// Applies the known options of a request to its transfer, in the request's order, and builds the OACK that
// answers them (none when no option was accepted) with the text of what it acknowledged. The transfer's file
// is open: tsize answers its size, and is left out for an empty file (curl takes "tsize 0" for a failure).
void NegotiateOptions(CTransfer& transfer, const CReadRequest& request, const CRequestOptions& options);
