// CTFTPServer's transfer engine: receives datagrams, answers read requests and sends files block by block.
#include "tftp/TFTPServer.h"

#include <cstring>

#include "diag/Trace.h"
#include "tftp/BlockNumber.h"
#include "tftp/PathSafety.h"

void CTFTPServer::ServeRequests()
{
    TraceA("TFTP: 'Listening' on port %d, protocol UDP at %s\n", m_nPort, m_szBootDir);
    for (;;)
    {
        m_nPeerAddrLen = sizeof m_addrPeer;
        int nLength = ReceiveDatagram(m_socket.load(), m_packet, sizeof m_packet, &m_addrPeer, &m_nPeerAddrLen);
        if (nLength < 0)
        {
            if (m_bStop.load())
                break;
            TraceA("TFTP: recv() failed: error %d\n", LastSocketError());
            continue;
        }
        if (nLength == 0)
        {
            TraceA("TFTP: Client closed connection\n");
            continue;
        }
        if (nLength < 2)
            continue;  // not even an opcode
        switch (ReadNet16(m_packet))
        {
        case TFTP_RRQ:
            OnReadRequest(nLength);
            break;
        case TFTP_WRQ:
            TraceA("TFTP: Received unsupported write request\n");
            SendError(TFTP_ERROR_ILLEGAL, "Write operation not supported.");
            break;
        case TFTP_DATA:
            TraceA("TFTP: Received invalid DATA packet\n");
            SendError(TFTP_ERROR_ILLEGAL, "Write operation not supported.");
            break;
        case TFTP_ACK:
            OnAck(nLength);
            break;
        case TFTP_ERROR:
            OnError(nLength);
            break;
        default:
            break;  // OACK and unknown opcodes: no trace line, no reply
        }
    }
    m_file.Close();
}

void CTFTPServer::OnReadRequest(int nLength)
{
    CReadRequest request;
    if (!ReadReadRequest(m_packet, nLength, &request))
        return;  // name or mode not closed inside the datagram: ignored, the transfer goes on
    TraceA("TFTP: Received read request\n");
    m_file.Close();
    m_nBlockSize = TFTP_MIN_BLOCK_SIZE;
    m_bOptionAcked = false;
    m_bLastBlock = false;
    if (request.m_pszName[0] == '\0')
    {
        TraceA("TFTP: Received read request with invalid file\n");
        SendError(TFTP_ERROR_ILLEGAL, "No file name in read request.");
        return;
    }
    // The boot directory and the name must fit a full path of FULL_PATH_BYTES with its NUL.
    bool bPathFits = std::strlen(m_szBootDir) + std::strlen(request.m_pszName) < FULL_PATH_BYTES;
    TraceA("TFTP: Received RRQ for %s\n", request.m_pszName);
    if (!IsOctetMode(request.m_pszMode))
    {
        TraceA("TFTP: Received read request for %s mode\n", request.m_pszMode);
        SendError(TFTP_ERROR_ILLEGAL, "Only octet transfer mode supported.");
        return;
    }
    // The name is checked before any file access, and opened only beneath the boot directory. A refused
    // name is answered as a missing file: the peer learns nothing of what lies outside.
    EServedOpen eOpen = EServedOpen::Missing;
    if (bPathFits && IsSafeRequestName(request.m_pszName))
        eOpen = m_file.Open(m_bootDirectory, request.m_pszName);
    if (eOpen != EServedOpen::Opened)
    {
        TraceA("TFTP: Received read request for invalid file\n");
        if (eOpen == EServedOpen::Failed)
            SendError(TFTP_ERROR_ACCESS, "File open failed.");
        else
            SendError(TFTP_ERROR_NOT_FOUND, "File does not exist.");
        return;
    }
    m_nStartTick = TickCount();
    m_nBlocksSent = 0;
    m_nDataLength = 0;  // the kept packet belongs to another file: never resend it to this transfer
    ParseOptions(request.m_pOptions, request.m_nOptionsLength);
    if (m_bOptionAcked)
    {
        m_nBlock = 0;  // DATA 1 follows the client's ACK 0 of the OACK
        return;
    }
    m_nBlock = 1;
    SendBlock();
}

void CTFTPServer::OnAck(int nLength)
{
    std::int16_t nAck = 0;
    if (!ReadAck(m_packet, nLength, &nAck))
        return;
    if (nAck == m_nBlock)
    {
        if (m_bLastBlock)
        {
            std::uint32_t nElapsed = TickCount() - m_nStartTick;
            TraceA("TFTP: Transferred %u blocks of %d data bytes in %.3lf seconds.\n", m_nBlocksSent, m_nBlockSize,
                   nElapsed / 1000.0);
            m_file.Close();
            return;
        }
        m_nBlock = NextBlockNumber(m_nBlock);
        SendBlock();
        return;
    }
    if (CallsForResend(nAck, m_nBlock, m_nBlocksSent == 1 && !m_bOptionAcked) && m_nDataLength > 0)
        SendPacket(m_dataPacket, m_nDataLength);
}

void CTFTPServer::OnError(int nLength)
{
    std::uint16_t nCode = 0;
    const char* pText = nullptr;
    int nTextLength = 0;
    if (!ReadErrorPacket(m_packet, nLength, &nCode, &pText, &nTextLength))
        return;
    if (nTextLength == 0)
        TraceA("TFTP: Received error %d packet - no reason given\n", nCode);
    else
        TraceA("TFTP: Received error %d packet - %.*s\n", nCode, nTextLength, pText);  // text may lack its NUL
    m_file.Close();
}

// One read straight into the kept DATA packet; a resend later sends that packet as it is.
void CTFTPServer::SendBlock()
{
    WriteDataHeader(m_dataPacket, m_nBlock);
    int nRead = m_file.Read(m_dataPacket + TFTP_DATA_HEADER_BYTES, m_nBlockSize);
    if (nRead < 0)
    {
        TraceA("TFTP: Read of file failed in ACK handler\n");
        SendError(TFTP_ERROR_ACCESS, "File read failed.");
        m_file.Close();
        m_nDataLength = 0;  // the kept packet's header already names the failed block: never resend it
        return;
    }
    m_bLastBlock = nRead < m_nBlockSize;
    m_nDataLength = TFTP_DATA_HEADER_BYTES + nRead;
    ++m_nBlocksSent;
    SendPacket(m_dataPacket, m_nDataLength);
}
