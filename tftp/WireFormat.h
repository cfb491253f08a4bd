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
    TFTP_ERROR_UNKNOWN_TRANSFER = 5,
};

constexpr int TFTP_PACKET_BYTES = 2048;        // the largest datagram received
constexpr int TFTP_DATA_HEADER_BYTES = 4;      // opcode and block number
constexpr std::uint16_t TFTP_DEFAULT_BLOCK_SIZE = 512;
constexpr std::uint16_t TFTP_MAX_BLOCK_SIZE = 1428;  // the largest DATA then fits an Ethernet frame
constexpr std::uint16_t TFTP_MAX_BLOCK_SIZE_IPV6 = 1408;  // the same frame, under IPv6's header 20 bytes longer
constexpr int TFTP_OACK_BUFFER_BYTES = 96;     // every option the server knows with its largest value fits
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
    int m_nOptionsLength;              // bytes from there to the datagram's end
};

// Reads the file name, the mode and the options of an RRQ of nLength bytes. False when the name or the
// mode is not closed by a NUL inside the datagram: such a request is not read at all.
bool ReadReadRequest(const unsigned char* pPacket, int nLength, CReadRequest* pRequest);

// The first five characters equal "octet" without regard to ASCII case (longer modes that begin so pass).
bool IsOctetMode(const char* pszMode);

// Walks the option pairs of a request that lie wholly inside the datagram, in their order: a pair cut by the
// datagram's end ends the walk.
class COptionWalk
{
public:
    explicit COptionWalk(const CReadRequest& request);
    // The next pair's name and value, each NUL-closed inside the datagram; false when none is left.
    bool Next(const char** ppszName, const char** ppszValue);

private:
    const unsigned char* m_p;
    const unsigned char* m_pEnd;
};

// The canonical form of a read request, so that a repetition is known by its meaning: the name byte for byte,
// the mode in lower case, then every whole option pair with its name in lower case, in sorted order, each string
// NUL-closed. Returns its length, at most the request's without its opcode.
int RequestIdentity(const CReadRequest& request, unsigned char* pIdentity);

// The block number of an ACK; false when the datagram is shorter than 4 bytes.
bool ReadAck(const unsigned char* pPacket, int nLength, std::uint16_t* pnBlock);

// The error code and text of a received ERROR packet; the text runs to its NUL or to the datagram's end.
// False when the datagram is shorter than 4 bytes.
bool ReadErrorPacket(const unsigned char* pPacket, int nLength, std::uint16_t* pnCode, const char** ppText,
                     int* pnTextLength);

// Writes opcode 3 and the block number into the first four bytes of a DATA packet.
void WriteDataHeader(unsigned char* pPacket, std::uint16_t nBlock);

// Appends an option's name, NUL, decimal value and NUL to an OACK of nLength bytes in a buffer of
// TFTP_OACK_BUFFER_BYTES (opcode 6 is written when nLength is 0). Returns the new length; a pair that does not
// fit is left out.
int AppendOackOption(unsigned char* pBuffer, int nLength, const char* pszName, std::uint64_t nValue);

// Builds an ERROR packet (opcode 5, code, text, NUL) into a buffer of cbBuffer bytes and returns its
// length, 5 plus the text's length; a text too long for the buffer is cut.
int BuildError(unsigned char* pBuffer, int cbBuffer, std::uint16_t nCode, const char* pszText);
