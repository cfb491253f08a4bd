// CTransfer: all the state of one client's transfer, in one place with one reset.
#pragma once
#include <cstdint>
#include <cstring>

#include "tftp/Platform.h"
#include "tftp/ReadAhead.h"
#include "tftp/WireFormat.h"

struct CTransfer
{
    CTransfer() { Reset(); }

    // Frees the slot: closes the file and forgets the client, so the next request starts from scratch.
    void Reset()
    {
        m_readAhead.Restart();
        m_bInUse = false;
        std::memset(&m_addrClient, 0, sizeof m_addrClient);
        m_nRequestLength = 0;
        m_nBlockSize = TFTP_DEFAULT_BLOCK_SIZE;
        m_nWindowSize = 1;
        m_nIntervalMs = 0;
        m_szOptions[0] = '\0';
        m_nOackLength = 0;
        m_bOackPending = false;
        m_nFirstUnacked = 1;
        m_nNextToSend = 1;
        m_nLastBlock = 0;
        m_nLastBlockBytes = 0;
        m_nStartTick = 0;
        m_nLastHeardTick = 0;
        m_nLastSentTick = 0;
        m_nBlocksResent = 0;
        m_nSilentResends = 0;
    }

    bool IsFor(const CSocketAddress& client) const { return m_bInUse && m_addrClient.SameAs(client); }

    // How long after the last packet went out the outstanding ones go again: the interval, doubled for every
    // resend the client left unanswered, up to 32 times it. A client that went away, or the forged sender of a
    // request, gets a handful of packets before the give-up instead of one every interval.
    std::uint32_t ResendDueMs() const { return m_nIntervalMs << (m_nSilentResends < 5 ? m_nSilentResends : 5); }

    // The same request again: name, mode and options byte for byte.
    bool IsRepeatedBy(const unsigned char* pRequest, int nLength) const
    {
        return nLength == m_nRequestLength && std::memcmp(pRequest, m_request, static_cast<std::size_t>(nLength)) == 0;
    }

    // The requested name, from the kept request.
    const char* Name() const { return reinterpret_cast<const char*>(m_request); }

    // Blocks sent and not yet acknowledged; while the OACK is awaited, none.
    std::uint64_t InFlight() const { return m_nNextToSend - m_nFirstUnacked; }

    // File bytes that the client has acknowledged.
    std::uint64_t BytesAcknowledged() const
    {
        if (m_nLastBlock != 0 && m_nFirstUnacked > m_nLastBlock)
            return (m_nLastBlock - 1) * m_nBlockSize + m_nLastBlockBytes;
        return (m_nFirstUnacked - 1) * m_nBlockSize;
    }

    // Every field but the buffers' bytes is set by Reset.
    bool m_bInUse;
    CSocketAddress m_addrClient;
    unsigned char m_request[TFTP_PACKET_BYTES];  // the request that started the transfer without its opcode: name,
                                                 // mode and options, to know its repetition
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
    std::uint64_t m_nNextToSend;    // the first block never sent
    std::uint64_t m_nLastBlock;     // the short block that ends the file, once it was read; else 0
    int m_nLastBlockBytes;

    std::uint32_t m_nStartTick;     // when the request arrived
    std::uint32_t m_nLastHeardTick; // when the client's most recent datagram arrived
    std::uint32_t m_nLastSentTick;  // when a packet last went out to the client
    std::uint32_t m_nBlocksResent;
    std::uint32_t m_nSilentResends; // timer resends since the client was last heard
};
