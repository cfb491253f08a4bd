// CTransfer: all the state of one client's transfer, in one place with one reset.
#pragma once
#include <cstdint>
#include <cstring>

#include "tftp/Platform.h"
#include "tftp/ServedFile.h"
#include "tftp/WireFormat.h"

struct CTransfer
{
    CTransfer() { Reset(); }

    // Frees the slot: closes the file and forgets the client, so the next request starts from scratch.
    void Reset()
    {
        m_file.Close();
        m_bInUse = false;
        std::memset(&m_addrClient, 0, sizeof m_addrClient);
        m_nClientAddrLen = 0;
        m_nBlock = 0;
        m_nBlockSize = TFTP_MIN_BLOCK_SIZE;
        m_bOptionAcked = false;
        m_bLastBlock = false;
        m_nDataLength = 0;
        m_nStartTick = 0;
        m_nLastHeardTick = 0;
        m_nLastSentTick = 0;
        m_nBlocksSent = 0;
    }

    // A client is its IPv4 address and UDP port; the family bytes are not compared.
    bool IsFor(const CSocketAddress& client) const
    {
        return m_bInUse && std::memcmp(m_addrClient.m_rgBytes + 2, client.m_rgBytes + 2, 6) == 0;
    }

    // Every field but the kept packet's bytes is set by Reset.
    bool m_bInUse;
    CSocketAddress m_addrClient;
    int m_nClientAddrLen;
    CServedFile m_file;
    std::int16_t m_nBlock;          // DATA block most recently sent; 0 while the ACK of an OACK is awaited
    std::int16_t m_nBlockSize;
    bool m_bOptionAcked;
    bool m_bLastBlock;              // the block most recently sent was shorter than the block size
    unsigned char m_dataPacket[TFTP_DATA_HEADER_BYTES + TFTP_MAX_BLOCK_SIZE];  // kept for a resend
    int m_nDataLength;              // 0 while no DATA packet is kept
    std::uint32_t m_nStartTick;     // when the file was opened
    std::uint32_t m_nLastHeardTick; // when the client's most recent datagram arrived
    std::uint32_t m_nLastSentTick;  // when the kept DATA packet last went out
    std::uint32_t m_nBlocksSent;    // distinct DATA blocks; resends do not count
};
