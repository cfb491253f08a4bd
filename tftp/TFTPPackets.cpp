// CTFTPServer's packet operations: sending to the current peer, ERROR packets and the blksize option.
#include "tftp/TFTPServer.h"

#include "diag/Trace.h"

void CTFTPServer::SendPacket(const unsigned char* pPacket, int nLength)
{
    if (!SendDatagram(m_socket.load(), pPacket, nLength, m_addrPeer, m_nPeerAddrLen))
        TraceA("TFTP: sendto() failed: error %d\n", LastSocketError());
}

// Built in a buffer of its own: the received datagram is never written.
void CTFTPServer::SendError(std::uint16_t nCode, const char* pszText)
{
    unsigned char error[TFTP_ERROR_BUFFER_BYTES];
    SendPacket(error, BuildError(error, sizeof error, nCode, pszText));
}

void CTFTPServer::ParseOptions(const unsigned char* pOptions, std::int16_t nLength)
{
    if (nLength <= 0)
    {
        TraceA("TFTP: No tftp option extensions found.\n");
        return;
    }
    // Only the first option counts; tsize, timeout and the rest are never acknowledged.
    if (!IsBlockSizeOptionName(pOptions, nLength))
    {
        m_bOptionAcked = false;
        return;
    }
    m_nBlockSize = ReadClampedBlockSize(pOptions, nLength);
    TraceA("TFTP: Found tftp 'blksize' option extension.\n");
    unsigned char oack[TFTP_OACK_BUFFER_BYTES];
    SendPacket(oack, BuildOack(oack, m_nBlockSize));
    m_bOptionAcked = true;
}
