// CTFTPServer's packet operations: which socket a transfer's packets leave by, sending, and ERROR packets.
#include "tftp/TFTPServer.h"

#include "diag/Trace.h"

SocketHandle CTFTPServer::SocketOf(const CTransfer& transfer) const
{
    return transfer.m_hSocket != INVALID_SOCKET_HANDLE ? transfer.m_hSocket : m_socket;
}

void CTFTPServer::SendTo(SocketHandle hSocket, const unsigned char* pPacket, int nLength, const CSocketAddress& to)
{
    if (!SendDatagram(hSocket, pPacket, nLength, to))
        TraceA("TFTP: sendto() failed: error %d\n", LastSocketError());
}

// Built in a buffer of its own: the received datagram may still be in use, and is never written.
void CTFTPServer::SendError(SocketHandle hSocket, std::uint16_t nCode, const char* pszText, const CSocketAddress& to)
{
    unsigned char error[TFTP_ERROR_BUFFER_BYTES];
    SendTo(hSocket, error, BuildError(error, sizeof error, nCode, pszText), to);
}
