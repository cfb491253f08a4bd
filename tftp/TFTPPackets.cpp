// CTFTPServer's packet operations: sending, ERROR packets and the option negotiation.
#include "tftp/TFTPServer.h"

#include <algorithm>
#include <cstdio>

#include "diag/Trace.h"

void CTFTPServer::SendTo(const unsigned char* pPacket, int nLength, const CSocketAddress& to)
{
    if (!SendDatagram(m_socket.load(), pPacket, nLength, to))
        TraceA("TFTP: sendto() failed: error %d\n", LastSocketError());
}

void CTFTPServer::SendPacket(const unsigned char* pPacket, int nLength)
{
    SendTo(pPacket, nLength, m_addrPeer);
}

// Built in a buffer of its own: the received datagram may still be in use, and is never written.
void CTFTPServer::SendError(std::uint16_t nCode, const char* pszText)
{
    unsigned char error[TFTP_ERROR_BUFFER_BYTES];
    SendPacket(error, BuildError(error, sizeof error, nCode, pszText));
}

// Answers the known options of the request in its order; the OACK is kept for a resend and for a repeated
// request. A tsize of an empty file is left out: curl takes an OACK that says "tsize 0" for a failure.
void CTFTPServer::NegotiateOptions(CTransfer& transfer, const CReadRequest& request)
{
    if (request.m_nOptionsLength <= 0)
    {
        TraceA("TFTP: No tftp option extensions found.\n");
        return;
    }
    CRequestOptions options;
    ReadRequestOptions(request.m_pOptions, request.m_nOptionsLength, &options);
    std::size_t nText = 0;
    for (int i = 0; i < options.m_nCount; ++i)
    {
        ETftpOption eOption = options.m_rgOption[i];
        std::uint64_t nValue = options.m_rgValue[eOption];
        switch (eOption)
        {
        case OPTION_BLKSIZE:
            transfer.m_nBlockSize = static_cast<std::uint16_t>(std::min<std::uint64_t>(nValue, TFTP_MAX_BLOCK_SIZE));
            nValue = transfer.m_nBlockSize;
            break;
        case OPTION_TSIZE:
            if (!transfer.m_readAhead.File().Size(&nValue) || nValue == 0)
                continue;
            break;
        case OPTION_TIMEOUT:
            transfer.m_nIntervalMs = static_cast<std::uint32_t>(nValue) * 1000u;
            break;
        default:
            transfer.m_nWindowSize = static_cast<std::uint16_t>(std::min<std::uint64_t>(nValue, CReadAhead::MAX_WINDOW));
            nValue = transfer.m_nWindowSize;
            break;
        }
        TraceA("TFTP: Found tftp '%s' option extension.\n", OptionName(eOption));
        transfer.m_nOackLength = AppendOackOption(transfer.m_oack, transfer.m_nOackLength, eOption, nValue);
        int nWritten = std::snprintf(transfer.m_szOptions + nText, sizeof transfer.m_szOptions - nText, "%s%s %llu",
                                     nText ? ", " : "", OptionName(eOption), static_cast<unsigned long long>(nValue));
        nText = std::min(sizeof transfer.m_szOptions - 1, nText + static_cast<std::size_t>(nWritten > 0 ? nWritten : 0));
    }
    if (transfer.m_nOackLength == 0)
        return;
    transfer.m_bOackPending = true;
    transfer.m_nLastSentTick = m_nNow;
    SendPacket(transfer.m_oack, transfer.m_nOackLength);
}
