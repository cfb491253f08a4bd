// CTFTPServer's transfer engine: receives datagrams, keeps a transfer per client and sends files window by window.
#include "tftp/TFTPServer.h"

#include <algorithm>
#include <cstring>

#include "diag/Trace.h"
#include "tftp/PathSafety.h"
#include "tftp/TransferRecordText.h"

namespace
{
// Ticks from now until a deadline; 0 once it has passed.
std::uint32_t Until(std::uint32_t nDeadline, std::uint32_t nNow)
{
    std::int32_t nLeft = static_cast<std::int32_t>(nDeadline - nNow);
    return nLeft > 0 ? static_cast<std::uint32_t>(nLeft) : 0;
}
}

void CTFTPServer::ServeRequests()
{
    TraceA("TFTP: 'Listening' on port %d, protocol UDP at %s\n", m_nPort, m_szBootDir);
    m_nReceiveWaitMs = 0;
    std::uint32_t nWaitMs = 0;  // no transfers yet: wait without end
    for (;;)
    {
        if (nWaitMs != m_nReceiveWaitMs && SetReceiveTimeout(m_socket.load(), nWaitMs))
            m_nReceiveWaitMs = nWaitMs;
        int nLength = ReceiveDatagram(m_socket.load(), m_packet, sizeof m_packet, &m_addrPeer);
        m_nNow = TickCount();
        if (nLength == RECEIVE_TIMED_OUT || nLength < 0)
        {
            if (m_bStop.load())
                break;
            if (nLength != RECEIVE_TIMED_OUT)
                TraceA("TFTP: recv() failed: error %d\n", LastSocketError());
            nWaitMs = RunTimers();
            continue;
        }
        if (nLength == 0)
            TraceA("TFTP: Client closed connection\n");
        switch (nLength < 2 ? 0 : ReadNet16(m_packet))  // shorter than an opcode: nothing to answer
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
        nWaitMs = RunTimers();  // after the datagram, so that its answer is not sent twice; a flood cannot starve them
    }
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
        m_pTransfers[i].Reset();
}

// A client silent for the whole give-up bound is dropped; one silent for its interval gets its outstanding
// packets again, and again after twice as long while it stays silent. Returns the time until the nearest
// deadline left (a resend or a give-up), at least 1 ms, or 0 without transfers, which waits without end: one
// pass over the table per datagram. In lock-step it is the interval every time, so the socket's time-out is
// seldom set again.
std::uint32_t CTFTPServer::RunTimers()
{
    std::uint32_t nWait = 0;
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        CTransfer& transfer = m_pTransfers[i];
        if (!transfer.m_bInUse)
            continue;
        if (m_nNow - transfer.m_nLastHeardTick >= IDLE_DROP_MS)
        {
            char szClient[SOCKET_ADDRESS_TEXT_BYTES];
            transfer.m_addrClient.Print(szClient);
            TraceA("TFTP: Dropped the transfer of %s, idle for 60 seconds\n", szClient);
            EndTransfer(transfer, ETransferEnd::DroppedIdle, TFTP_ERROR_UNDEFINED, "Transfer timed out.");
            continue;
        }
        if (m_nNow - transfer.m_nLastSentTick >= transfer.ResendDueMs())
        {
            Resend(transfer);
            ++transfer.m_nSilentResends;
        }
        std::uint32_t nLeft = std::max(std::min(Until(transfer.m_nLastSentTick + transfer.ResendDueMs(), m_nNow),
                                                Until(transfer.m_nLastHeardTick + IDLE_DROP_MS, m_nNow)),
                                       std::uint32_t(1));
        nWait = nWait == 0 ? nLeft : std::min(nWait, nLeft);
    }
    return nWait;
}

// The client's transfer, or null. Finding it counts as hearing from the client.
CTransfer* CTFTPServer::FindTransfer(const CSocketAddress& client)
{
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        if (m_pTransfers[i].IsFor(client))
        {
            m_pTransfers[i].m_nLastHeardTick = m_nNow;
            m_pTransfers[i].m_nSilentResends = 0;
            return &m_pTransfers[i];
        }
    }
    return nullptr;
}

// A free slot, which always exists: the table has a slot more than the transfers it keeps. *pbFull tells
// whether the transfers in use have reached MAX_TRANSFERS.
CTransfer* CTFTPServer::FindSlot(bool* pbFull)
{
    CTransfer* pFree = nullptr;
    int nInUse = 0;
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        if (m_pTransfers[i].m_bInUse)
            ++nInUse;
        else if (pFree == nullptr)
            pFree = &m_pTransfers[i];
    }
    *pbFull = nInUse >= MAX_TRANSFERS;
    return pFree;
}

void CTFTPServer::OnReadRequest(int nLength)
{
    CReadRequest request;
    if (!ReadReadRequest(m_packet, nLength, &request))
        return;  // name or mode not closed inside the datagram: ignored, every transfer goes on
    TraceA("TFTP: Received read request\n");
    CTransfer* pTransfer = FindTransfer(m_addrPeer);
    if (pTransfer != nullptr && pTransfer->IsRepeatedBy(m_packet + 2, nLength - 2))
    {
        AnswerRepeatedRequest(*pTransfer);
        return;
    }
    // A client's new request starts its transfer over; another client's takes a free slot.
    CTransfer* pDisplace = nullptr;
    if (pTransfer != nullptr)
    {
        pTransfer->Reset();
    }
    else
    {
        bool bFull = false;
        pTransfer = FindSlot(&bFull);
        // A full table gives up only the transfer whose client has been silent longest, and only once that
        // client has been silent for its interval: a flood of requests cannot end a transfer that moves.
        for (int i = 0; bFull && i < TRANSFER_SLOTS; ++i)
        {
            CTransfer& other = m_pTransfers[i];
            if (other.m_bInUse && m_nNow - other.m_nLastHeardTick >= other.m_nIntervalMs &&
                (pDisplace == nullptr || m_nNow - other.m_nLastHeardTick > m_nNow - pDisplace->m_nLastHeardTick))
                pDisplace = &other;
        }
        if (bFull && pDisplace == nullptr)
        {
            TraceA("TFTP: Received RRQ for %s\n", request.m_pszName);
            TraceA("TFTP: Refused the read request: %d transfers under way\n", MAX_TRANSFERS);
            Refuse(request.m_pszName, TFTP_ERROR_UNDEFINED, "Server busy.");
            return;
        }
    }
    if (!OpenRequestedFile(request, *pTransfer, pDisplace))
        return;
    pTransfer->m_bInUse = true;
    pTransfer->m_addrClient = m_addrPeer;
    std::memcpy(pTransfer->m_request, m_packet + 2, static_cast<std::size_t>(nLength - 2));
    pTransfer->m_nRequestLength = nLength - 2;
    pTransfer->m_nIntervalMs = DEFAULT_INTERVAL_MS;
    pTransfer->m_nStartTick = m_nNow;
    pTransfer->m_nLastHeardTick = m_nNow;
    NegotiateOptions(*pTransfer, request);
    if (!pTransfer->m_bOackPending)
        SendNewBlocks(*pTransfer);  // without an OACK, DATA 1 answers at once
}

// The client did not hear the first answer in time and asks again: it gets that answer again while it is
// outstanding (and went out longer ago than a crossing in flight would take), else nothing. A second OACK
// after the client's ACK 0 would make some clients give up.
void CTFTPServer::AnswerRepeatedRequest(CTransfer& transfer)
{
    TraceA("TFTP: Received the same read request again for %s\n", transfer.Name());
    bool bOutstanding = transfer.m_bOackPending || (transfer.m_nOackLength == 0 && transfer.m_nFirstUnacked == 1);
    if (bOutstanding && m_nNow - transfer.m_nLastSentTick >= RESEND_GAP_MS)
        Resend(transfer);
}

// The checks of a read request in their order, each refusal traced, answered and recorded; true with the file
// open. The displaced transfer goes only once the new file is open, so a refused request costs nobody theirs.
bool CTFTPServer::OpenRequestedFile(const CReadRequest& request, CTransfer& transfer, CTransfer* pDisplace)
{
    if (request.m_pszName[0] == '\0')
    {
        TraceA("TFTP: Received read request with invalid file\n");
        Refuse(request.m_pszName, TFTP_ERROR_ILLEGAL, "No file name in read request.");
        return false;
    }
    // The boot directory and the name must fit a full path of FULL_PATH_BYTES with its NUL.
    bool bPathFits = std::strlen(m_szBootDir) + std::strlen(request.m_pszName) < FULL_PATH_BYTES;
    TraceA("TFTP: Received RRQ for %s\n", request.m_pszName);
    if (!IsOctetMode(request.m_pszMode))
    {
        TraceA("TFTP: Received read request for %s mode\n", request.m_pszMode);
        Refuse(request.m_pszName, TFTP_ERROR_ILLEGAL, "Only octet transfer mode supported.");
        return false;
    }
    // The name is checked before any file access, and opened only beneath the boot directory. A refused
    // name is answered as a missing file: the peer learns nothing of what lies outside.
    EServedOpen eOpen = EServedOpen::Missing;
    if (bPathFits && IsSafeRequestName(request.m_pszName))
        eOpen = transfer.m_readAhead.File().Open(m_bootDirectory, request.m_pszName);
    if (eOpen != EServedOpen::Opened)
    {
        TraceA("TFTP: Received read request for invalid file\n");
        if (eOpen == EServedOpen::Failed)
            Refuse(request.m_pszName, TFTP_ERROR_ACCESS, "File open failed.");
        else
            Refuse(request.m_pszName, TFTP_ERROR_NOT_FOUND, "File does not exist.");
        return false;
    }
    if (pDisplace != nullptr)
    {
        char szClient[SOCKET_ADDRESS_TEXT_BYTES];
        pDisplace->m_addrClient.Print(szClient);
        TraceA("TFTP: Dropped the transfer of %s, too many transfers\n", szClient);
        EndTransfer(*pDisplace, ETransferEnd::DroppedBusy, TFTP_ERROR_UNDEFINED, "Server busy, transfer dropped.");
    }
    return true;
}

void CTFTPServer::Refuse(const char* pszName, std::uint16_t nCode, const char* pszText)
{
    SendError(nCode, pszText);
    char szClient[SOCKET_ADDRESS_TEXT_BYTES];
    m_addrPeer.Print(szClient);
    Record({ETransferEnd::Refused, szClient, pszName, "", 0, 0, 0, 0, 0, nCode, pszText});
}

// An ACK of block n (on the wire, its low 16 bits) says that every block up to n arrived.
void CTFTPServer::OnAck(int nLength)
{
    std::uint16_t nAck = 0;
    CTransfer* pTransfer = nullptr;
    if (!ReadAck(m_packet, nLength, &nAck) || (pTransfer = FindTransfer(m_addrPeer)) == nullptr)
        return;  // cut short, or from a client without a transfer: no reply, nothing changes
    CTransfer& transfer = *pTransfer;
    if (transfer.m_bOackPending)
    {
        if (nAck == 0)
        {
            transfer.m_bOackPending = false;
            SendNewBlocks(transfer);
        }
        return;
    }
    std::uint64_t nBefore = transfer.m_nFirstUnacked - 1;
    std::uint16_t nAhead = static_cast<std::uint16_t>(nAck - static_cast<std::uint16_t>(nBefore));
    if (nAhead == 0)
    {
        // The client repeats the ACK before what it misses, after its time-out. An ACK 0 of a DATA 1 sent
        // without an OACK acknowledges nothing the client ever got, so it brings nothing.
        bool bAcksAnything = nBefore > 0 || transfer.m_nOackLength > 0;
        if (bAcksAnything && m_nNow - transfer.m_nLastSentTick >= RESEND_GAP_MS)
            Resend(transfer);
        return;
    }
    if (nAhead > transfer.InFlight())
        return;  // no block sent to this client has that number
    transfer.m_nFirstUnacked = nBefore + nAhead + 1;
    if (transfer.m_nLastBlock != 0 && transfer.m_nFirstUnacked > transfer.m_nLastBlock)
    {
        TraceA("TFTP: Transferred %llu blocks of %u data bytes in %.3lf seconds.\n",
               static_cast<unsigned long long>(transfer.m_nLastBlock), unsigned(transfer.m_nBlockSize),
               (m_nNow - transfer.m_nStartTick) / 1000.0);
        EndTransfer(transfer, ETransferEnd::Finished, 0, "");
        return;
    }
    // An ACK inside the window slides it: the blocks after the acknowledged one are in flight still, and go
    // again only after the interval or a repeated ACK, so a duplicated datagram never costs a whole window.
    SendNewBlocks(transfer);
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
    char szText[TFTP_PACKET_BYTES];
    std::memcpy(szText, pText, static_cast<std::size_t>(nTextLength));
    szText[nTextLength] = '\0';
    // An ERROR that answers the OACK before any DATA is how a client ends a request for the size alone.
    EndTransfer(*pTransfer, pTransfer->m_bOackPending ? ETransferEnd::SizeProbe : ETransferEnd::ClientError, nCode,
                szText);
}

// Fills the window: every block from the first never sent up to a window past the first unacknowledged one,
// until the file's short last block has gone. A failed read ends the transfer.
void CTFTPServer::SendNewBlocks(CTransfer& transfer)
{
    while (transfer.m_nNextToSend < transfer.m_nFirstUnacked + transfer.m_nWindowSize && transfer.m_nLastBlock == 0)
    {
        if (!SendBlock(transfer, transfer.m_nNextToSend))
            return;
        ++transfer.m_nNextToSend;
    }
}

// Builds a DATA packet from the read-ahead, which still holds every block in flight, and sends it.
bool CTFTPServer::SendBlock(CTransfer& transfer, std::uint64_t nBlock)
{
    const unsigned char* pData = nullptr;
    int nRead = transfer.m_readAhead.Block(nBlock, transfer.m_nBlockSize, transfer.m_nFirstUnacked, &pData);
    if (nRead < 0)
    {
        TraceA("TFTP: Read of file failed in ACK handler\n");
        EndTransfer(transfer, ETransferEnd::ReadFailed, TFTP_ERROR_ACCESS, "File read failed.");
        return false;
    }
    if (nRead < transfer.m_nBlockSize)
    {
        transfer.m_nLastBlock = nBlock;
        transfer.m_nLastBlockBytes = nRead;
    }
    WriteDataHeader(m_dataPacket, static_cast<std::uint16_t>(nBlock));
    std::memcpy(m_dataPacket + TFTP_DATA_HEADER_BYTES, pData, static_cast<std::size_t>(nRead));
    transfer.m_nLastSentTick = m_nNow;
    SendTo(m_dataPacket, TFTP_DATA_HEADER_BYTES + nRead, transfer.m_addrClient);
    return true;
}

// The outstanding packets again: the OACK while its ACK 0 is awaited, else every block in flight.
void CTFTPServer::Resend(CTransfer& transfer)
{
    transfer.m_nLastSentTick = m_nNow;
    if (transfer.m_bOackPending)
    {
        SendTo(transfer.m_oack, transfer.m_nOackLength, transfer.m_addrClient);
        return;
    }
    for (std::uint64_t nBlock = transfer.m_nFirstUnacked; nBlock < transfer.m_nNextToSend; ++nBlock)
    {
        if (!SendBlock(transfer, nBlock))
            return;
        ++transfer.m_nBlocksResent;
    }
}

// Ends a transfer: the client is told with ERROR nCode unless it finished or ended the transfer itself; the
// record goes out; the slot is freed. Its later ACKs find no transfer and get nothing.
void CTFTPServer::EndTransfer(CTransfer& transfer, ETransferEnd eEnd, std::uint16_t nCode, const char* pszText)
{
    bool bClientEnded = eEnd == ETransferEnd::Finished || eEnd == ETransferEnd::ClientError ||
                        eEnd == ETransferEnd::SizeProbe;
    if (!bClientEnded)
    {
        unsigned char error[TFTP_ERROR_BUFFER_BYTES];
        SendTo(error, BuildError(error, sizeof error, nCode, pszText), transfer.m_addrClient);
    }
    char szClient[SOCKET_ADDRESS_TEXT_BYTES];
    transfer.m_addrClient.Print(szClient);
    std::uint64_t nBlocks = transfer.m_nNextToSend - 1;
    Record({eEnd, szClient, transfer.Name(), transfer.m_szOptions, transfer.BytesAcknowledged(),
            static_cast<std::uint32_t>(nBlocks), transfer.m_nBlockSize, m_nNow - transfer.m_nStartTick,
            transfer.m_nBlocksResent, bClientEnded ? nCode : std::uint16_t(0), bClientEnded ? pszText : ""});
    transfer.Reset();
}

// One trace line per record, after the transfer's own lines, and the record to its keeper.
void CTFTPServer::Record(const CTransferRecord& record)
{
    char szLine[TRACE_BUFFER_CHARS];
    FormatTransferRecord(record, szLine, sizeof szLine);
    TraceA("TFTP: %s\n", szLine);
    if (m_pfnRecord != nullptr)
        m_pfnRecord(record, m_pRecordContext);
}
