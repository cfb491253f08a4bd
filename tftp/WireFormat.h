// TFTP wire format: opcodes, reading the fields of received packets and building the packets the server sends.
// Every reader works against the received length only and never looks past the datagram's end.
#pragma once
#include <cstdint>

enum : std::uint16_t
{
    TFTP_RRQ = 1,
    TFTP_WRQ = 2,
    TFTP_DATA = 3,
    TFTP_ACK = 4,
    TFTP_ERROR = 5,
    TFTP_OACK = 6,
};

enum : std::uint16_t
{
    TFTP_ERROR_UNDEFINED = 0,
    TFTP_ERROR_NOT_FOUND = 1,
    TFTP_ERROR_ACCESS = 2,
    TFTP_ERROR_ILLEGAL = 4,
};

constexpr int TFTP_PACKET_BYTES = 2048;        // the largest datagram received
constexpr int TFTP_DATA_HEADER_BYTES = 4;      // opcode and block number
constexpr std::int16_t TFTP_MIN_BLOCK_SIZE = 512;
constexpr std::int16_t TFTP_MAX_BLOCK_SIZE = 1428;
constexpr int TFTP_OACK_BUFFER_BYTES = 16;     // "blksize", four digits and the NULs fit
constexpr int TFTP_ERROR_BUFFER_BYTES = 64;    // every error text that the server sends fits

// 16-bit fields are big-endian on the wire and read or written byte by byte.
std::uint16_t ReadNet16(const unsigned char* p);
void WriteNet16(unsigned char* p, std::uint16_t nValue);

// The fields of a read request, pointing into the received datagram.
struct CReadRequest
{
    const char* m_pszName;             // NUL-closed inside the datagram
    const char* m_pszMode;             // NUL-closed inside the datagram
    const unsigned char* m_pOptions;   // first byte after the mode's NUL
    std::int16_t m_nOptionsLength;     // bytes from there to the datagram's end
};

// Reads the file name, the mode and the options of an RRQ of nLength bytes. False when the name or the
// mode is not closed by a NUL inside the datagram: such a request is not read at all.
bool ReadReadRequest(const unsigned char* pPacket, int nLength, CReadRequest* pRequest);

// The first five characters equal "octet" without regard to ASCII case (longer modes that begin so pass).
bool IsOctetMode(const char* pszMode);

// The first option's name matches "blksize" on its first four characters, without regard to ASCII case.
// nLength counts the option bytes of the datagram; a name cut off by its end does not match.
bool IsBlockSizeOptionName(const unsigned char* pOptions, std::int16_t nLength);

// The first option's value, read as a decimal number starting eight bytes after the option name's start
// (the length of "blksize" and its NUL) and stopping at the datagram's end, clamped to 512..1428.
std::int16_t ReadClampedBlockSize(const unsigned char* pOptions, std::int16_t nLength);

// The block number of an ACK; false when the datagram is shorter than 4 bytes.
bool ReadAck(const unsigned char* pPacket, int nLength, std::int16_t* pnBlock);

// The error code and text of a received ERROR packet; the text runs to its NUL or to the datagram's end.
// False when the datagram is shorter than 4 bytes.
bool ReadErrorPacket(const unsigned char* pPacket, int nLength, std::uint16_t* pnCode, const char** ppText,
                     int* pnTextLength);

// Writes opcode 3 and the block number into the first four bytes of a DATA packet.
void WriteDataHeader(unsigned char* pPacket, std::int16_t nBlock);

// Builds the OACK for an accepted block size into a zero-filled buffer of TFTP_OACK_BUFFER_BYTES bytes:
// opcode 6, "blksize", NUL, the decimal digits, NUL. Returns its length, 11 plus the digits.
int BuildOack(unsigned char* pBuffer, std::int16_t nBlockSize);

// Builds an ERROR packet (opcode 5, code, text, NUL) into a buffer of cbBuffer bytes and returns its
// length, 5 plus the text's length; a text too long for the buffer is cut.
int BuildError(unsigned char* pBuffer, int cbBuffer, std::uint16_t nCode, const char* pszText);
