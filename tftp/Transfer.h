// CTransfer: all the state of one client's transfer, in one place with one reset, and the table's rules that
// read it (which transfer a full table gives up, how many a host holds).
#pragma once
#include <cstdint>
#include <cstring>

#include "tftp/Platform.h"
#include "tftp/ReadAhead.h"
#include "tftp/WireFormat.h"

struct CTransfer
{
    CTransfer() { Reset(); }

    // Frees the slot: closes the file and forgets the client, so the next request starts from scratch. The
    // transfer's own socket, if it has one, is closed by whoever ends the transfer.
    void Reset()
    {
        m_readAhead.Restart();
        m_bInUse = false;
        std::memset(&m_addrClient, 0, sizeof m_addrClient);
        m_hSocket = INVALID_SOCKET_HANDLE;
        m_nRequestLength = 0;
        m_nBlockSize = TFTP_DEFAULT_BLOCK_SIZE;
        m_nWindowSize = 1;
        m_nIntervalMs = 0;
        m_szOptions[0] = '\0';
        m_nOackLength = 0;
        m_bOackPending = false;
        m_nFirstUnacked = 1;
        m_nNextToSend = 1;
        m_nNeverSent = 1;
        m_nLastBlock = 0;
        m_nLastBlockBytes = 0;
        m_nStartTick = 0;
        m_nLastHeardTick = 0;
        m_nLastSentTick = 0;
        m_nBlocksResent = 0;
        m_nSilentResends = 0;
    }

    // A transfer under way for this client: its address and port.
    bool IsFor(const CSocketAddress& client) const { return m_bInUse && m_addrClient.SameAs(client); }

    // How long after the last packet went out the outstanding ones go again: the interval, doubled for every
    // resend the client left unanswered, up to 32 times it. A client that went away gets a handful of packets
    // before the give-up instead of one every interval.
    std::uint32_t ResendDueMs() const { return m_nIntervalMs << (m_nSilentResends < 5 ? m_nSilentResends : 5); }

    // The client has not answered the first answer (the OACK, or DATA 1 without one) yet: it may never have
    // sent the request at all, for a forged request looks the same.
    bool IsUnconfirmed() const { return m_bOackPending || (m_nOackLength == 0 && m_nFirstUnacked == 1); }

    // The file's short last block has gone out at least once.
    bool LastBlockSent() const { return m_nLastBlock != 0 && m_nNeverSent > m_nLastBlock; }

    // The same request again, compared as its canonical form (RequestIdentity).
    bool IsRepeatedBy(const unsigned char* pIdentity, int nLength) const
    {
        return nLength == m_nRequestLength && std::memcmp(pIdentity, m_request, static_cast<std::size_t>(nLength)) == 0;
    }

    // The requested name: the canonical request begins with it.
    const char* Name() const { return reinterpret_cast<const char*>(m_request); }

    // File bytes that the client has acknowledged.
    std::uint64_t BytesAcknowledged() const
    {
        if (m_nLastBlock != 0 && m_nFirstUnacked > m_nLastBlock)
            return FileBytes();
        return (m_nFirstUnacked - 1) * m_nBlockSize;
    }
    // The whole file's bytes, once its last block was read.
    std::uint64_t FileBytes() const { return (m_nLastBlock - 1) * m_nBlockSize + m_nLastBlockBytes; }

    // Every field but the buffers' bytes is set by Reset.
    bool m_bInUse;
    CSocketAddress m_addrClient;
    SocketHandle m_hSocket;         // a windowed transfer's own socket (its port is the transfer's), else invalid:
                                    // the transfer then runs on port 6051
    unsigned char m_request[TFTP_PACKET_BYTES];  // the request that started the transfer, in its canonical form
    int m_nRequestLength;
    CReadAhead m_readAhead;

    // As negotiated.
    std::uint16_t m_nBlockSize;
    std::uint16_t m_nWindowSize;    // blocks sent before the client's ACK is awaited
    std::uint32_t m_nIntervalMs;    // the client's silence after which the outstanding blocks go again
    char m_szOptions[TFTP_OACK_BUFFER_BYTES];  // the options acknowledged, "blksize 1428, tsize 2048", or ""
    unsigned char m_oack[TFTP_OACK_BUFFER_BYTES];
    int m_nOackLength;              // 0 when the request was answered without an OACK
    bool m_bOackPending;            // the OACK awaits the client's ACK 0

    // Blocks counted from 1 without rolling over; the wire carries their low 16 bits.
    std::uint64_t m_nFirstUnacked;  // the first block that the client has not acknowledged
    std::uint64_t m_nNextToSend;    // the next block to send: after a resend of one block, the one after it
    std::uint64_t m_nNeverSent;     // the first block that never went out: every ACK below it is of a block sent
    std::uint64_t m_nLastBlock;     // the short block that ends the file, once it was read; else 0
    int m_nLastBlockBytes;

    std::uint32_t m_nStartTick;     // when the request arrived
    std::uint32_t m_nLastHeardTick; // when the client's most recent datagram arrived
    std::uint32_t m_nLastSentTick;  // when a packet last went out to the client
    std::uint32_t m_nBlocksResent;
    std::uint32_t m_nSilentResends; // timer resends since the client was last heard
};

// A confirmed transfer is given up for a new request only after this much silence at most, whatever its interval:
// a timeout option cannot pin a slot.
constexpr std::uint32_t DISPLACEABLE_SILENCE_MS = 5000;

// The transfer that a new request may take the place of when every slot is taken: the oldest unconfirmed one,
// whatever it asked for, else the confirmed one whose client has been silent longest once that silence reached
// min(its interval, DISPLACEABLE_SILENCE_MS); null when every client is busy.
CTransfer* ChooseDisplaced(CTransfer* rgTransfers, int nTransfers, std::uint32_t nNow);

// How many transfers under way are for clients at the host of client.
int CountTransfersOfHost(const CTransfer* rgTransfers, int nTransfers, const CSocketAddress& client);
