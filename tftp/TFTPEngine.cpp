// CTFTPServer's transfer engine: receives datagrams, keeps a transfer per client and sends files block by block.
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
        m_nNow = TickCount();
        DropIdleTransfers();
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
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
        m_pTransfers[i].Reset();
}

// The client's transfer, or null. Finding it counts as hearing from the client.
CTransfer* CTFTPServer::FindTransfer(const CSocketAddress& client)
{
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        if (m_pTransfers[i].IsFor(client))
        {
            m_pTransfers[i].m_nLastHeardTick = m_nNow;
            return &m_pTransfers[i];
        }
    }
    return nullptr;
}

// Without a retransmission timer a client can vanish without a word; its transfer must not hold a slot for ever.
void CTFTPServer::DropIdleTransfers()
{
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        CTransfer& transfer = m_pTransfers[i];
        if (transfer.m_bInUse && m_nNow - transfer.m_nLastHeardTick >= IDLE_DROP_MS)
            DropTransfer(transfer, "idle for 60 seconds", "Transfer timed out.");
    }
}

// In a full table, the transfer whose client has gone longest without a datagram makes room.
void CTFTPServer::MakeRoomIfFull()
{
    CTransfer* pOldest = nullptr;
    int nInUse = 0;
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        CTransfer& transfer = m_pTransfers[i];
        if (!transfer.m_bInUse)
            continue;
        ++nInUse;
        if (pOldest == nullptr || m_nNow - transfer.m_nLastHeardTick > m_nNow - pOldest->m_nLastHeardTick)
            pOldest = &transfer;
    }
    if (nInUse >= MAX_TRANSFERS)
        DropTransfer(*pOldest, "too many transfers", "Server busy, transfer dropped.");
}

// The client is told, so it stops waiting; its later ACKs find no transfer and get nothing.
void CTFTPServer::DropTransfer(CTransfer& transfer, const char* pszWhy, const char* pszText)
{
    const unsigned char* pClient = transfer.m_addrClient.m_rgBytes;  // family, port, IPv4 address
    TraceA("TFTP: Dropped the transfer of %u.%u.%u.%u:%u, %s\n", unsigned(pClient[4]), unsigned(pClient[5]),
           unsigned(pClient[6]), unsigned(pClient[7]), unsigned(ReadNet16(pClient + 2)), pszWhy);
    unsigned char error[TFTP_ERROR_BUFFER_BYTES];
    SendTo(error, BuildError(error, sizeof error, TFTP_ERROR_UNDEFINED, pszText), transfer.m_addrClient,
           transfer.m_nClientAddrLen);
    transfer.Reset();
}

void CTFTPServer::OnReadRequest(int nLength)
{
    CReadRequest request;
    if (!ReadReadRequest(m_packet, nLength, &request))
        return;  // name or mode not closed inside the datagram: ignored, every transfer goes on
    TraceA("TFTP: Received read request\n");
    // A client's new request restarts its own transfer; another client's takes a free slot, and one is always
    // free because the table has a slot more than the transfers it keeps.
    CTransfer* pTransfer = FindTransfer(m_addrPeer);
    for (int i = 0; pTransfer == nullptr && i < TRANSFER_SLOTS; ++i)
    {
        if (!m_pTransfers[i].m_bInUse)
            pTransfer = &m_pTransfers[i];
    }
    pTransfer->Reset();
    if (!OpenRequestedFile(request, pTransfer->m_file))
        return;
    MakeRoomIfFull();
    pTransfer->m_bInUse = true;
    pTransfer->m_addrClient = m_addrPeer;
    pTransfer->m_nClientAddrLen = m_nPeerAddrLen;
    pTransfer->m_nStartTick = m_nNow;
    pTransfer->m_nLastHeardTick = m_nNow;
    ParseOptions(*pTransfer, request.m_pOptions, request.m_nOptionsLength);
    if (pTransfer->m_bOptionAcked)
        return;  // block 0: DATA 1 follows the client's ACK 0 of the OACK
    pTransfer->m_nBlock = 1;
    SendBlock(*pTransfer);
}

// The checks of a read request in their order, each refusal traced and answered; true with the file open.
bool CTFTPServer::OpenRequestedFile(const CReadRequest& request, CServedFile& file)
{
    if (request.m_pszName[0] == '\0')
    {
        TraceA("TFTP: Received read request with invalid file\n");
        SendError(TFTP_ERROR_ILLEGAL, "No file name in read request.");
        return false;
    }
    // The boot directory and the name must fit a full path of FULL_PATH_BYTES with its NUL.
    bool bPathFits = std::strlen(m_szBootDir) + std::strlen(request.m_pszName) < FULL_PATH_BYTES;
    TraceA("TFTP: Received RRQ for %s\n", request.m_pszName);
    if (!IsOctetMode(request.m_pszMode))
    {
        TraceA("TFTP: Received read request for %s mode\n", request.m_pszMode);
        SendError(TFTP_ERROR_ILLEGAL, "Only octet transfer mode supported.");
        return false;
    }
    // The name is checked before any file access, and opened only beneath the boot directory. A refused
    // name is answered as a missing file: the peer learns nothing of what lies outside.
    EServedOpen eOpen = EServedOpen::Missing;
    if (bPathFits && IsSafeRequestName(request.m_pszName))
        eOpen = file.Open(m_bootDirectory, request.m_pszName);
    if (eOpen != EServedOpen::Opened)
    {
        TraceA("TFTP: Received read request for invalid file\n");
        if (eOpen == EServedOpen::Failed)
            SendError(TFTP_ERROR_ACCESS, "File open failed.");
        else
            SendError(TFTP_ERROR_NOT_FOUND, "File does not exist.");
        return false;
    }
    return true;
}

void CTFTPServer::OnAck(int nLength)
{
    std::int16_t nAck = 0;
    CTransfer* pTransfer = nullptr;
    if (!ReadAck(m_packet, nLength, &nAck) || (pTransfer = FindTransfer(m_addrPeer)) == nullptr)
        return;  // cut short, or from a client without a transfer: no reply, nothing changes
    CTransfer& transfer = *pTransfer;
    if (nAck == transfer.m_nBlock)
    {
        if (transfer.m_bLastBlock)
        {
            TraceA("TFTP: Transferred %u blocks of %d data bytes in %.3lf seconds.\n", transfer.m_nBlocksSent,
                   transfer.m_nBlockSize, (m_nNow - transfer.m_nStartTick) / 1000.0);
            transfer.Reset();
            return;
        }
        transfer.m_nBlock = NextBlockNumber(transfer.m_nBlock);
        SendBlock(transfer);
        return;
    }
    // The kept block goes again only after the client's own time-out (RESEND_GAP_MS).
    if (CallsForResend(nAck, transfer.m_nBlock, transfer.m_nBlocksSent == 1 && !transfer.m_bOptionAcked) &&
        transfer.m_nDataLength > 0 && m_nNow - transfer.m_nLastSentTick >= RESEND_GAP_MS)
    {
        transfer.m_nLastSentTick = m_nNow;
        SendPacket(transfer.m_dataPacket, transfer.m_nDataLength);
    }
}

void CTFTPServer::OnError(int nLength)
{
    std::uint16_t nCode = 0;
    const char* pText = nullptr;
    int nTextLength = 0;
    CTransfer* pTransfer = nullptr;
    if (!ReadErrorPacket(m_packet, nLength, &nCode, &pText, &nTextLength) ||
        (pTransfer = FindTransfer(m_addrPeer)) == nullptr)
        return;  // cut short, or from a client without a transfer: nothing to end
    if (nTextLength == 0)
        TraceA("TFTP: Received error %d packet - no reason given\n", nCode);
    else
        TraceA("TFTP: Received error %d packet - %.*s\n", nCode, nTextLength, pText);  // text may lack its NUL
    pTransfer->Reset();
}

// One read straight into the transfer's kept DATA packet; a resend later sends that packet as it is.
void CTFTPServer::SendBlock(CTransfer& transfer)
{
    WriteDataHeader(transfer.m_dataPacket, transfer.m_nBlock);
    int nRead = transfer.m_file.Read(transfer.m_dataPacket + TFTP_DATA_HEADER_BYTES, transfer.m_nBlockSize);
    if (nRead < 0)
    {
        TraceA("TFTP: Read of file failed in ACK handler\n");
        SendError(TFTP_ERROR_ACCESS, "File read failed.");
        transfer.Reset();  // the transfer ends: its client's later ACKs get nothing
        return;
    }
    transfer.m_bLastBlock = nRead < transfer.m_nBlockSize;
    transfer.m_nDataLength = TFTP_DATA_HEADER_BYTES + nRead;
    transfer.m_nLastSentTick = m_nNow;
    ++transfer.m_nBlocksSent;
    SendPacket(transfer.m_dataPacket, transfer.m_nDataLength);
}
