// CTFTPServer's transfer engine: receives datagrams, keeps a transfer per client and sends files window by window.
#include "tftp/TFTPServer.h"

#include <algorithm>
#include <cstring>

#include "diag/Trace.h"
#include "tftp/Options.h"
#include "tftp/PathSafety.h"
#include "tftp/TransferRecordText.h"

static_assert(CTFTPServer::MAX_TRANSFERS + 2 <= MAX_WAITED_SOCKETS, "port 6051 and every slot's socket in one wait");

namespace
{
// Ticks from now until a deadline; 0 once it has passed.
std::uint32_t Until(std::uint32_t nDeadline, std::uint32_t nNow)
{
    std::int32_t nLeft = static_cast<std::int32_t>(nDeadline - nNow);
    return nLeft > 0 ? static_cast<std::uint32_t>(nLeft) : 0;
}

// A socket for one windowed transfer, of its client's family, on a free port that the system picks; invalid when
// none can be had.
SocketHandle OpenTransferSocket(EFamily eFamily)
{
    SocketHandle hSocket = OpenUdpSocket(eFamily);
    CSocketAddress any;
    FillAnyAddress(&any, eFamily, 0);
    if (hSocket != INVALID_SOCKET_HANDLE && !BindSocket(hSocket, any))
    {
        CloseSocket(hSocket);
        hSocket = INVALID_SOCKET_HANDLE;
    }
    return hSocket;
}
}  // namespace

void CTFTPServer::ServeRequests()
{
    TraceA("TFTP: 'Listening' on port %d, protocol UDP at %s\n", m_nPort, m_szBootDir);
    m_nReceiveWaitMs = 0;
    std::uint32_t nWaitMs = MAX_WAIT_MS;
    while (!m_bStop.load())
    {
        WaitAndDispatch(nWaitMs);
        // After the datagrams, so that their answers are not sent twice; a flood cannot starve them. The thread looks
        // at the stop flag at least this often, should the stop's datagram never arrive.
        nWaitMs = std::min(RunTimers(), MAX_WAIT_MS);
    }
    // Every client still served hears that the server stopped, and every transfer leaves its record.
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        if (m_pTransfers[i].m_bInUse)
            EndTransfer(m_pTransfers[i], ETransferEnd::ServerStopped, TFTP_ERROR_UNDEFINED, "Server stopped.");
    }
}

// Waits up to nWaitMs for datagrams and hands each one that arrived to its socket's handler.
void CTFTPServer::WaitAndDispatch(std::uint32_t nWaitMs)
{
    if (m_nOwnSockets == 0)
    {
        // Port 6051 alone: its receive is the wait, and lock-step costs one receive and one send per block.
        if (nWaitMs != m_nReceiveWaitMs && SetReceiveTimeout(m_socket, nWaitMs))
            m_nReceiveWaitMs = nWaitMs;
        int nLength = ReceiveDatagram(m_socket, m_packet, sizeof m_packet, &m_addrPeer);
        m_nNow = TickCount();
        if (!m_bStop.load())
            OnListenerDatagram(nLength);
        return;
    }
    // The windowed transfers' own sockets first, port 6051 last: a request handled there may end a transfer and
    // close its socket, whose number the system may then give to the next transfer's.
    SocketHandle rgSockets[TRANSFER_SLOTS + 1];
    CTransfer* rgpOwners[TRANSFER_SLOTS + 1];
    bool rgbReady[TRANSFER_SLOTS + 1];
    int nSockets = 0;
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        if (m_pTransfers[i].m_bInUse && m_pTransfers[i].m_hSocket != INVALID_SOCKET_HANDLE)
        {
            rgpOwners[nSockets] = &m_pTransfers[i];
            rgSockets[nSockets++] = m_pTransfers[i].m_hSocket;
        }
    }
    rgpOwners[nSockets] = nullptr;
    rgSockets[nSockets++] = m_socket;
    int nReady = WaitForDatagrams(rgSockets, rgbReady, nSockets, nWaitMs);
    m_nNow = TickCount();
    if (nReady == DATAGRAM_WAIT_FAILED)
        TraceA("TFTP: poll() failed: error %d\n", LastSocketError());
    for (int i = 0; nReady > 0 && i < nSockets && !m_bStop.load(); ++i)
    {
        if (!rgbReady[i])
            continue;
        int nLength = ReceiveDatagram(rgSockets[i], m_packet, sizeof m_packet, &m_addrPeer);
        if (rgpOwners[i] == nullptr)
            OnListenerDatagram(nLength);
        else if (nLength >= 0 && rgpOwners[i]->m_bInUse && rgpOwners[i]->m_hSocket == rgSockets[i])
            OnTransferDatagram(*rgpOwners[i], nLength);
    }
}

// Port 6051: read requests start and repeat transfers; ACK and ERROR belong to the transfers that run on it.
void CTFTPServer::OnListenerDatagram(int nLength)
{
    if (nLength < 0)
    {
        if (nLength != RECEIVE_TIMED_OUT)
            TraceA("TFTP: recv() failed: error %d\n", LastSocketError());
        return;
    }
    if (nLength == 0)
        TraceA("TFTP: Client closed connection\n");
    CTransfer* pTransfer = nullptr;
    switch (nLength < 2 ? 0 : ReadNet16(m_packet))  // shorter than an opcode: nothing to answer
    {
    case TFTP_RRQ:
        OnReadRequest(nLength);
        break;
    case TFTP_WRQ:
        TraceA("TFTP: Received unsupported write request\n");
        SendError(m_socket, TFTP_ERROR_ILLEGAL, "Write operation not supported.", m_addrPeer);
        break;
    case TFTP_DATA:
        TraceA("TFTP: Received invalid DATA packet\n");
        SendError(m_socket, TFTP_ERROR_ILLEGAL, "Write operation not supported.", m_addrPeer);
        break;
    case TFTP_ACK:
    case TFTP_ERROR:
        // A windowed transfer takes its client's ACKs only on its own port: one sent here blindly moves nothing.
        pTransfer = FindTransfer(m_addrPeer);
        if (pTransfer != nullptr && pTransfer->m_hSocket == INVALID_SOCKET_HANDLE)
            OnTransferDatagram(*pTransfer, nLength);
        break;
    default:
        break;  // OACK and unknown opcodes: no trace line, no reply
    }
}

// A datagram for one transfer: on its own socket, or on port 6051 from its client.
void CTFTPServer::OnTransferDatagram(CTransfer& transfer, int nLength)
{
    std::uint16_t nOpcode = nLength < 2 ? 0 : ReadNet16(m_packet);
    if (!transfer.m_addrClient.SameAs(m_addrPeer))
    {
        // Another address or port on the transfer's own: ERROR 5, and nothing changes. An ERROR is never
        // answered, so that two programs cannot keep answering each other.
        if (nOpcode == TFTP_ERROR)
            return;
        char szStranger[SOCKET_ADDRESS_TEXT_BYTES];
        m_addrPeer.Print(szStranger);
        TraceA("TFTP: Received a datagram from %s, which is not the client of the transfer of %s\n", szStranger,
               transfer.Name());
        SendError(transfer.m_hSocket, TFTP_ERROR_UNKNOWN_TRANSFER, "Unknown transfer ID.", m_addrPeer);
        return;
    }
    if (nOpcode == TFTP_ACK)
        OnAck(transfer, nLength);
    else if (nOpcode == TFTP_ERROR)
        OnError(transfer, nLength);
}

// A client silent for the whole give-up bound is dropped; one silent for its interval gets its outstanding
// packets again, and again after twice as long while it stays silent, within the limits for an unconfirmed
// transfer and for a file whose last block went out. Returns the time until the nearest deadline left (a resend
// or a give-up), at least 1 ms, or the longest of all waits without transfers: one pass over the table per wait.
// In lock-step it is the interval every time, so the socket's time-out is seldom set again.
std::uint32_t CTFTPServer::RunTimers()
{
    std::uint32_t nWait = MAX_WAIT_MS;
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        CTransfer& transfer = m_pTransfers[i];
        if (!transfer.m_bInUse)
            continue;
        if (m_nNow - transfer.m_nLastHeardTick >= IDLE_DROP_MS && transfer.LastBlockSent())
        {
            EndTransfer(transfer, ETransferEnd::SentUnacknowledged, 0, "");
            continue;
        }
        if (m_nNow - transfer.m_nLastHeardTick >= IDLE_DROP_MS)
        {
            char szClient[SOCKET_ADDRESS_TEXT_BYTES];
            transfer.m_addrClient.Print(szClient);
            TraceA("TFTP: Dropped the transfer of %s, idle for 60 seconds\n", szClient);
            EndTransfer(transfer, ETransferEnd::DroppedIdle, TFTP_ERROR_UNDEFINED, "Transfer timed out.");
            continue;
        }
        bool bCapped = transfer.m_nSilentResends >= SILENT_RESENDS;
        bool bResends = !(bCapped && transfer.IsUnconfirmed());
        if (bResends && m_nNow - transfer.m_nLastSentTick >= transfer.ResendDueMs())
        {
            // A client that has every block but whose last ACK was lost would otherwise wait for the give-up.
            if (bCapped && transfer.LastBlockSent())
            {
                EndTransfer(transfer, ETransferEnd::SentUnacknowledged, 0, "");
                continue;
            }
            // A silent client gets one block: all that a vanished one costs, and what one that lost the rest of the
            // window needs to answer.
            bool bSent = transfer.IsUnconfirmed() ? ResendFirstAnswer(transfer) : Resend(transfer, 1);
            if (!bSent)
            {
                EndUnreadable(transfer);
                continue;
            }
            ++transfer.m_nSilentResends;
            bResends = !(transfer.m_nSilentResends >= SILENT_RESENDS && transfer.IsUnconfirmed());
        }
        std::uint32_t nLeft = Until(transfer.m_nLastHeardTick + IDLE_DROP_MS, m_nNow);
        if (bResends)
            nLeft = std::min(nLeft, Until(transfer.m_nLastSentTick + transfer.ResendDueMs(), m_nNow));
        nWait = std::min(nWait, std::max(nLeft, std::uint32_t(1)));
    }
    return nWait;
}

// The client's transfer, whichever socket it runs on, or null.
CTransfer* CTFTPServer::FindTransfer(const CSocketAddress& client)
{
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        if (m_pTransfers[i].IsFor(client))
            return &m_pTransfers[i];
    }
    return nullptr;
}

// The client spoke: its silence, and the back-off of the resends, start again.
void CTFTPServer::HearFrom(CTransfer& transfer)
{
    transfer.m_nLastHeardTick = m_nNow;
    transfer.m_nSilentResends = 0;
}

void CTFTPServer::OnReadRequest(int nLength)
{
    CReadRequest request;
    if (!ReadReadRequest(m_packet, nLength, &request))
        return;  // name or mode not closed inside the datagram: ignored, every transfer goes on
    TraceA("TFTP: Received read request\n");
    unsigned char identity[TFTP_PACKET_BYTES];
    int nIdentity = RequestIdentity(request, identity);
    CTransfer* pTransfer = FindTransfer(m_addrPeer);
    if (pTransfer != nullptr)
    {
        HearFrom(*pTransfer);
        if (pTransfer->IsRepeatedBy(identity, nIdentity))
        {
            AnswerRepeatedRequest(*pTransfer);
            return;
        }
        // A different request from the client starts over: the transfer it ends is recorded as the client's choice.
        EndTransfer(*pTransfer, ETransferEnd::Restarted, 0, "");
    }
    CRequestOptions options;
    ReadRequestOptions(request, &options);
    CTransfer* pSlot = nullptr;
    CTransfer* pDisplace = nullptr;
    if (!AdmitRequest(request, &pSlot, &pDisplace))
        return;
    // A window runs from a port of its own, which only a client that heard the OACK knows: an ACK forged blindly to
    // port 6051 moves nothing. Lock-step, the instrument's way, stays on port 6051.
    SocketHandle hOwn = INVALID_SOCKET_HANDLE;
    if (options.Asked(OPTION_WINDOWSIZE, 1) > 1 && (hOwn = OpenTransferSocket(m_addrPeer.Family())) == INVALID_SOCKET_HANDLE)
    {
        TraceA("TFTP: Received RRQ for %s\n", request.m_pszName);
        TraceA("TFTP: socket() failed with error %d\n", LastSocketError());
        Refuse(request.m_pszName, TFTP_ERROR_UNDEFINED, "Server busy.");
        return;
    }
    if (!OpenRequestedFile(request, *pSlot, pDisplace))
    {
        if (hOwn != INVALID_SOCKET_HANDLE)
            CloseSocket(hOwn);
        return;
    }
    CTransfer& transfer = *pSlot;
    transfer.m_bInUse = true;
    transfer.m_addrClient = m_addrPeer;
    transfer.m_hSocket = hOwn;
    m_nOwnSockets += hOwn != INVALID_SOCKET_HANDLE;
    std::memcpy(transfer.m_request, identity, static_cast<std::size_t>(nIdentity));
    transfer.m_nRequestLength = nIdentity;
    transfer.m_nIntervalMs = DEFAULT_INTERVAL_MS;
    transfer.m_nStartTick = m_nNow;
    transfer.m_nLastHeardTick = m_nNow;
    NegotiateOptions(transfer, request, options);
    transfer.m_bOackPending = transfer.m_nOackLength > 0;
    if (!ResendFirstAnswer(transfer))  // without an OACK, DATA 1 answers at once
        EndUnreadable(transfer);
}

// The client did not hear the first answer in time and asks again: it gets that answer again while it is
// outstanding (and went out longer ago than a crossing in flight would take), else nothing. A second OACK
// after the client's ACK 0 would make some clients give up.
void CTFTPServer::AnswerRepeatedRequest(CTransfer& transfer)
{
    TraceA("TFTP: Received the same read request again for %s\n", transfer.Name());
    if (transfer.IsUnconfirmed() && m_nNow - transfer.m_nLastSentTick >= RESEND_GAP_MS && !ResendFirstAnswer(transfer))
        EndUnreadable(transfer);
}

// A free slot for a new request (the table has a slot more than the transfers it keeps) and, when every transfer
// slot is taken, the transfer that gives up its place once the new file has opened. False after refusing the
// request with "Server busy.": its host holds its share of the slots, or every other client is busy.
bool CTFTPServer::AdmitRequest(const CReadRequest& request, CTransfer** ppSlot, CTransfer** ppDisplace)
{
    int nInUse = 0;
    for (int i = 0; i < TRANSFER_SLOTS; ++i)
    {
        if (m_pTransfers[i].m_bInUse)
            ++nInUse;
        else if (*ppSlot == nullptr)
            *ppSlot = &m_pTransfers[i];
    }
    bool bHostFull = CountTransfersOfHost(m_pTransfers.get(), TRANSFER_SLOTS, m_addrPeer) >= MAX_TRANSFERS_PER_HOST;
    if (!bHostFull && nInUse >= MAX_TRANSFERS)
        *ppDisplace = ChooseDisplaced(m_pTransfers.get(), TRANSFER_SLOTS, m_nNow);
    if (!bHostFull && (nInUse < MAX_TRANSFERS || *ppDisplace != nullptr))
        return true;
    TraceA("TFTP: Received RRQ for %s\n", request.m_pszName);
    if (bHostFull)
        TraceA("TFTP: Refused the read request: %d transfers under way for its host\n", MAX_TRANSFERS_PER_HOST);
    else
        TraceA("TFTP: Refused the read request: %d transfers under way\n", MAX_TRANSFERS);
    Refuse(request.m_pszName, TFTP_ERROR_UNDEFINED, "Server busy.");
    return false;
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
    SendError(m_socket, nCode, pszText, m_addrPeer);
    char szClient[SOCKET_ADDRESS_TEXT_BYTES];
    m_addrPeer.Print(szClient);
    Record({ETransferEnd::Refused, szClient, pszName, "", 0, 0, 0, 0, 0, nCode, pszText});
}

// An ACK of block n (on the wire, its low 16 bits) says that every block up to n arrived.
void CTFTPServer::OnAck(CTransfer& transfer, int nLength)
{
    std::uint16_t nAck = 0;
    if (!ReadAck(m_packet, nLength, &nAck))
        return;  // cut short: no reply, nothing changes
    HearFrom(transfer);
    if (transfer.m_bOackPending)
    {
        if (nAck == 0)
        {
            transfer.m_bOackPending = false;
            if (!SendWindow(transfer))
                EndUnreadable(transfer);
        }
        return;
    }
    std::uint64_t nBefore = transfer.m_nFirstUnacked - 1;
    std::uint16_t nAhead = static_cast<std::uint16_t>(nAck - static_cast<std::uint16_t>(nBefore));
    if (nAhead == 0)
    {
        // The client repeats the ACK before what it misses, after its time-out: the window goes again from there.
        // An ACK 0 of a DATA 1 sent without an OACK acknowledges nothing the client ever got, so it brings nothing.
        bool bAcksAnything = nBefore > 0 || transfer.m_nOackLength > 0;
        if (bAcksAnything && m_nNow - transfer.m_nLastSentTick >= RESEND_GAP_MS &&
            !Resend(transfer, transfer.m_nWindowSize))
            EndUnreadable(transfer);
        return;
    }
    if (nAhead > transfer.m_nNeverSent - transfer.m_nFirstUnacked)
        return;  // no block sent to this client has that number
    transfer.m_nFirstUnacked = nBefore + nAhead + 1;
    transfer.m_nNextToSend = std::max(transfer.m_nNextToSend, transfer.m_nFirstUnacked);
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
    if (!SendWindow(transfer))
        EndUnreadable(transfer);
}

void CTFTPServer::OnError(CTransfer& transfer, int nLength)
{
    std::uint16_t nCode = 0;
    const char* pText = nullptr;
    int nTextLength = 0;
    if (!ReadErrorPacket(m_packet, nLength, &nCode, &pText, &nTextLength))
        return;  // cut short: nothing to end
    if (nTextLength == 0)
        TraceA("TFTP: Received error %d packet - no reason given\n", nCode);
    else
        TraceA("TFTP: Received error %d packet - %.*s\n", nCode, nTextLength, pText);  // text may lack its NUL
    char szText[TFTP_PACKET_BYTES];
    std::memcpy(szText, pText, static_cast<std::size_t>(nTextLength));
    szText[nTextLength] = '\0';
    // An ERROR that answers the OACK before any DATA is how a client ends a request for the size alone.
    EndTransfer(transfer, transfer.m_bOackPending ? ETransferEnd::SizeProbe : ETransferEnd::ClientError, nCode, szText);
}

// Fills the window: every block from the next one to send up to a window past the first unacknowledged one,
// until the file's short last block has gone.
bool CTFTPServer::SendWindow(CTransfer& transfer)
{
    return SendBlocks(transfer, transfer.m_nWindowSize);
}

// Sends blocks from the next one to send while they lie within nBlocks (at most a window) past the first
// unacknowledged one, up to the file's last block.
bool CTFTPServer::SendBlocks(CTransfer& transfer, std::uint64_t nBlocks)
{
    std::uint64_t nEnd = transfer.m_nFirstUnacked + std::min<std::uint64_t>(nBlocks, transfer.m_nWindowSize);
    while (transfer.m_nNextToSend < nEnd && (transfer.m_nLastBlock == 0 || transfer.m_nNextToSend <= transfer.m_nLastBlock))
    {
        if (!SendBlock(transfer))
            return false;
    }
    return true;
}

// Builds the next DATA packet from the read-ahead, which still holds every block in flight, and sends it.
bool CTFTPServer::SendBlock(CTransfer& transfer)
{
    const std::uint64_t nBlock = transfer.m_nNextToSend;
    const unsigned char* pData = nullptr;
    int nRead = transfer.m_readAhead.Block(nBlock, transfer.m_nBlockSize, transfer.m_nFirstUnacked, &pData);
    if (nRead < 0)
        return false;
    if (nRead < transfer.m_nBlockSize)
    {
        transfer.m_nLastBlock = nBlock;
        transfer.m_nLastBlockBytes = nRead;
    }
    WriteDataHeader(m_dataPacket, static_cast<std::uint16_t>(nBlock));
    std::memcpy(m_dataPacket + TFTP_DATA_HEADER_BYTES, pData, static_cast<std::size_t>(nRead));
    transfer.m_nLastSentTick = m_nNow;
    if (nBlock < transfer.m_nNeverSent)
        ++transfer.m_nBlocksResent;
    else
        transfer.m_nNeverSent = nBlock + 1;
    ++transfer.m_nNextToSend;
    SendTo(SocketOf(transfer), m_dataPacket, TFTP_DATA_HEADER_BYTES + nRead, transfer.m_addrClient);
    return true;
}

// The first answer again: the OACK while its ACK 0 is awaited, else DATA 1.
bool CTFTPServer::ResendFirstAnswer(CTransfer& transfer)
{
    if (!transfer.m_bOackPending)
        return Resend(transfer, 1);
    transfer.m_nLastSentTick = m_nNow;
    SendTo(SocketOf(transfer), transfer.m_oack, transfer.m_nOackLength, transfer.m_addrClient);
    return true;
}

// Goes back to the first unacknowledged block and sends nBlocks from there: the blocks after them count as never
// sent, so the client's ACK of the last one it has brings the rest at once.
bool CTFTPServer::Resend(CTransfer& transfer, std::uint64_t nBlocks)
{
    transfer.m_nNextToSend = transfer.m_nFirstUnacked;
    return SendBlocks(transfer, nBlocks);
}

// Ends a transfer: the client is told with ERROR nCode unless it ended the transfer itself or has every block;
// the record goes out; the transfer's own socket closes and the slot is freed. Later ACKs find no transfer.
void CTFTPServer::EndTransfer(CTransfer& transfer, ETransferEnd eEnd, std::uint16_t nCode, const char* pszText)
{
    bool bClientEnded = eEnd == ETransferEnd::Finished || eEnd == ETransferEnd::ClientError ||
                        eEnd == ETransferEnd::SizeProbe || eEnd == ETransferEnd::Restarted ||
                        eEnd == ETransferEnd::SentUnacknowledged;
    if (!bClientEnded)
        SendError(SocketOf(transfer), nCode, pszText, transfer.m_addrClient);
    char szClient[SOCKET_ADDRESS_TEXT_BYTES];
    transfer.m_addrClient.Print(szClient);
    bool bClientText = eEnd == ETransferEnd::ClientError || eEnd == ETransferEnd::SizeProbe;
    Record({eEnd, szClient, transfer.Name(), transfer.m_szOptions,
            eEnd == ETransferEnd::SentUnacknowledged ? transfer.FileBytes() : transfer.BytesAcknowledged(),
            static_cast<std::uint32_t>(transfer.m_nNeverSent - 1), transfer.m_nBlockSize, m_nNow - transfer.m_nStartTick,
            transfer.m_nBlocksResent, bClientText ? nCode : std::uint16_t(0), bClientText ? pszText : ""});
    if (transfer.m_hSocket != INVALID_SOCKET_HANDLE)
    {
        CloseSocket(transfer.m_hSocket);
        --m_nOwnSockets;
    }
    transfer.Reset();
}

void CTFTPServer::EndUnreadable(CTransfer& transfer)
{
    TraceA("TFTP: Read of file failed in ACK handler\n");
    EndTransfer(transfer, ETransferEnd::ReadFailed, TFTP_ERROR_ACCESS, "File read failed.");
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
