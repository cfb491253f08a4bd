// CTFTPServer's packet operations: sending, ERROR packets and the blksize option.
#include "tftp/TFTPServer.h"

#include "diag/Trace.h"

void CTFTPServer::SendTo(const unsigned char* pPacket, int nLength, const CSocketAddress& to, int nToLength)
{
    if (!SendDatagram(m_socket.load(), pPacket, nLength, to, nToLength))
        TraceA("TFTP: sendto() failed: error %d\n", LastSocketError());
}

void CTFTPServer::SendPacket(const unsigned char* pPacket, int nLength)
{
    SendTo(pPacket, nLength, m_addrPeer, m_nPeerAddrLen);
}

// Built in a buffer of its own: the received datagram may still be in use, and is never written.
void CTFTPServer::SendError(std::uint16_t nCode, const char* pszText)
{
    unsigned char error[TFTP_ERROR_BUFFER_BYTES];
    SendPacket(error, BuildError(error, sizeof error, nCode, pszText));
}

void CTFTPServer::ParseOptions(CTransfer& transfer, const unsigned char* pOptions, std::int16_t nLength)
{
    if (nLength <= 0)
    {
        TraceA("TFTP: No tftp option extensions found.\n");
        return;
    }
    // Only the first option counts; tsize, timeout and the rest are never acknowledged.
    if (!IsBlockSizeOptionName(pOptions, nLength))
    {
        transfer.m_bOptionAcked = false;
        return;
    }
    transfer.m_nBlockSize = ReadClampedBlockSize(pOptions, nLength);
    TraceA("TFTP: Found tftp 'blksize' option extension.\n");
    unsigned char oack[TFTP_OACK_BUFFER_BYTES];
    SendPacket(oack, BuildOack(oack, transfer.m_nBlockSize));
    transfer.m_bOptionAcked = true;
}
