// CReadAhead: the served file, read ahead in pieces of a window or more, keeping every block still in flight.
#pragma once
#include <cstdint>
#include <cstring>

#include "tftp/ServedFile.h"
#include "tftp/WireFormat.h"

class CReadAhead
{
public:
    // Blocks in flight at once: the largest window answered. 64 blocks of 1428 bytes fill a buffer of 91 KB per
    // transfer, 6 MB for a full table, allocated once with it.
    static constexpr std::uint16_t MAX_WINDOW = 64;
    static constexpr int BUFFER_BYTES = MAX_WINDOW * TFTP_MAX_BLOCK_SIZE;

    CServedFile& File() { return m_file; }

    // Forgets what was read: the next block comes from the file's start (the file is opened afresh).
    void Restart()
    {
        m_file.Close();
        m_nBufferStart = 0;
        m_nBuffered = 0;
        m_bEnd = false;
    }

    // The bytes of block nBlock (1 for the file's first) of nBlockSize bytes into *ppData; returns their
    // count, less than nBlockSize only for the last block, or -1 when the file cannot be read. Bytes from
    // block nKeepFrom on stay where they are, so a resend sends exactly what went out before; a refill
    // reads everything after them that the buffer holds, in one read.
    int Block(std::uint64_t nBlock, std::uint16_t nBlockSize, std::uint64_t nKeepFrom, const unsigned char** ppData)
    {
        std::uint64_t nStart = (nBlock - 1) * nBlockSize;
        if (nStart + nBlockSize > m_nBufferStart + m_nBuffered && !m_bEnd && !Refill((nKeepFrom - 1) * nBlockSize))
            return -1;
        std::uint64_t nEnd = m_nBufferStart + m_nBuffered;
        *ppData = m_buffer + (nStart - m_nBufferStart);
        return static_cast<int>(nEnd - nStart < nBlockSize ? nEnd - nStart : nBlockSize);
    }

private:
    bool Refill(std::uint64_t nKeepOffset)
    {
        std::uint64_t nDrop = nKeepOffset - m_nBufferStart;
        std::memmove(m_buffer, m_buffer + nDrop, static_cast<std::size_t>(m_nBuffered - nDrop));
        m_nBufferStart = nKeepOffset;
        m_nBuffered -= static_cast<int>(nDrop);
        int nWanted = BUFFER_BYTES - m_nBuffered;
        int nRead = m_file.Read(m_buffer + m_nBuffered, nWanted);
        if (nRead < 0)
            return false;
        m_nBuffered += nRead;
        m_bEnd = nRead < nWanted;
        return true;
    }

    CServedFile m_file;
    std::uint64_t m_nBufferStart = 0;  // file offset of the buffer's first byte
    int m_nBuffered = 0;
    bool m_bEnd = false;               // the file's end lies in the buffer
    unsigned char m_buffer[BUFFER_BYTES];
};
