// Tests of the TFTP wire format: reading RRQ, ACK and ERROR fields within the datagram, the blksize option rule,
// and the exact bytes of DATA, OACK and ERROR packets.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tftp/WireFormat.h"

namespace
{
// The datagram in a heap block of exactly its size, so that any read past its end is caught by AddressSanitizer.
std::vector<unsigned char> Datagram(const std::string& bytes)
{
    return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

std::string Bytes(const unsigned char* p, int n)
{
    return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
}

std::int16_t BlockSizeOf(const std::string& options)
{
    std::vector<unsigned char> datagram = Datagram(options);
    return ReadClampedBlockSize(datagram.data(), static_cast<std::int16_t>(datagram.size()));
}

bool NameMatches(const std::string& options)
{
    std::vector<unsigned char> datagram = Datagram(options);
    return IsBlockSizeOptionName(datagram.data(), static_cast<std::int16_t>(datagram.size()));
}
}

TEST(ReadRequest, FieldsAndOptionsLength)
{
    std::vector<unsigned char> datagram = Datagram(std::string("\0\1fw/boot.bin\0OcTeT\0blksize\0" "1428\0", 33));
    CReadRequest request;
    ASSERT_TRUE(ReadReadRequest(datagram.data(), static_cast<int>(datagram.size()), &request));
    EXPECT_STREQ(request.m_pszName, "fw/boot.bin");
    EXPECT_STREQ(request.m_pszMode, "OcTeT");
    EXPECT_EQ(request.m_pOptions, datagram.data() + 20);
    EXPECT_EQ(request.m_nOptionsLength, 13);

    datagram = Datagram(std::string("\0\1\0octet\0", 9));
    ASSERT_TRUE(ReadReadRequest(datagram.data(), static_cast<int>(datagram.size()), &request));
    EXPECT_STREQ(request.m_pszName, "") << "an empty name is read; the engine refuses it";
    EXPECT_EQ(request.m_nOptionsLength, 0);
}

TEST(ReadRequest, StringsNotClosedInsideTheDatagramAreNotRead)
{
    CReadRequest request;
    for (const std::string& bytes : {std::string("\0\1", 2), std::string("\0\1boot.bin", 10),
                                     std::string("\0\1boot.bin\0", 11), std::string("\0\1boot.bin\0oct", 14),
                                     std::string("\0\1", 1)})
    {
        std::vector<unsigned char> datagram = Datagram(bytes);
        EXPECT_FALSE(ReadReadRequest(datagram.data(), static_cast<int>(datagram.size()), &request))
            << datagram.size() << " bytes";
    }
}

TEST(ReadRequest, OctetModeRule)
{
    EXPECT_TRUE(IsOctetMode("octet"));
    EXPECT_TRUE(IsOctetMode("OCTET"));
    EXPECT_TRUE(IsOctetMode("oCtEt"));
    EXPECT_TRUE(IsOctetMode("octets")) << "compared over the length of \"octet\" only";
    EXPECT_FALSE(IsOctetMode("netascii"));
    EXPECT_FALSE(IsOctetMode("mail"));
    EXPECT_FALSE(IsOctetMode("octe"));
    EXPECT_FALSE(IsOctetMode(""));
}

TEST(BlockSizeOption, FourLetterNameRule)
{
    EXPECT_TRUE(NameMatches(std::string("blksize\0" "1024\0", 13)));
    EXPECT_TRUE(NameMatches(std::string("BLKSIZE\0" "1024\0", 13)));
    EXPECT_TRUE(NameMatches(std::string("BlKsXyZ\0" "1024\0", 13))) << "only four characters are compared";
    EXPECT_TRUE(NameMatches("blks"));
    EXPECT_FALSE(NameMatches("blk")) << "a name cut off by the datagram's end";
    EXPECT_FALSE(NameMatches(std::string("blk\0" "1024\0", 9)));
    EXPECT_FALSE(NameMatches(std::string("tsize\0" "0\0blksize\0" "1024\0", 21))) << "only the first option counts";
    EXPECT_FALSE(NameMatches(std::string("timeout\0" "5\0", 10)));
}

TEST(BlockSizeOption, ValueIsClampedTo512Through1428)
{
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "1024\0", 13)), 1024);
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "1428\0", 13)), 1428);
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "1429\0", 13)), 1428);
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "65464\0", 14)), 1428);
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "512\0", 12)), 512);
    EXPECT_EQ(BlockSizeOf(std::string("BLKSIZE\0" "100\0", 12)), 512);
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "abc\0", 12)), 512) << "no digits read as 0";
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "-1024\0", 14)), 512);
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" " \t+700x\0", 16)), 700) << "white space, sign, digits to a non-digit";
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "99999999999999999999\0", 29)), 1428) << "saturates";
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "-99999999999999999999\0", 30)), 512) << "saturates";
}

TEST(BlockSizeOption, ValueIsReadEightBytesAfterTheNameWhateverItsLength)
{
    // "blks" and its NUL take 5 bytes; the value is still taken from offset 8.
    EXPECT_EQ(BlockSizeOf(std::string("blks\0" "100" "900\0", 12)), 900);
    // A long name: offset 8 falls inside it.
    EXPECT_EQ(BlockSizeOf(std::string("blksizeX1000\0" "600\0", 17)), 1000);
}

TEST(BlockSizeOption, ValueIsReadOnlyWithinTheDatagram)
{
    // Value starting at or past the datagram's end: no digits.
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0", 8)), 512);
    EXPECT_EQ(BlockSizeOf(std::string("blks\0", 5)), 512);
    EXPECT_EQ(BlockSizeOf("blks"), 512);
    // Digits stop at the datagram's end, with no NUL after them.
    EXPECT_EQ(BlockSizeOf(std::string("blksize\0" "1024", 12)), 1024);
    // A shorter length than the bytes behind it: the digits beyond the length are not seen.
    std::vector<unsigned char> bytes = Datagram(std::string("blksize\0" "1024\0", 13));
    EXPECT_EQ(ReadClampedBlockSize(bytes.data(), 11), 512) << "reads 102 and clamps it";
}

TEST(ReceivedPackets, AckAndErrorFieldsWithinTheDatagram)
{
    std::int16_t nBlock = 0;
    std::vector<unsigned char> ack = Datagram(std::string("\0\4\xFF\xFE", 4));
    ASSERT_TRUE(ReadAck(ack.data(), 4, &nBlock));
    EXPECT_EQ(nBlock, -2) << "65534 on the wire";
    std::vector<unsigned char> shortAck = Datagram(std::string("\0\4\0", 3));
    EXPECT_FALSE(ReadAck(shortAck.data(), 3, &nBlock));

    std::uint16_t nCode = 0;
    const char* pText = nullptr;
    int nTextLength = -1;
    std::vector<unsigned char> error = Datagram(std::string("\0\5\0\3disk full\0trailing", 22));
    ASSERT_TRUE(ReadErrorPacket(error.data(), static_cast<int>(error.size()), &nCode, &pText, &nTextLength));
    EXPECT_EQ(nCode, 3);
    EXPECT_EQ(std::string(pText, static_cast<std::size_t>(nTextLength)), "disk full");

    std::vector<unsigned char> unclosed = Datagram(std::string("\0\5\1\1abc", 7));
    ASSERT_TRUE(ReadErrorPacket(unclosed.data(), 7, &nCode, &pText, &nTextLength));
    EXPECT_EQ(nCode, 257);
    EXPECT_EQ(std::string(pText, static_cast<std::size_t>(nTextLength)), "abc") << "read up to the datagram's end";

    std::vector<unsigned char> bare = Datagram(std::string("\0\5\0\0", 4));
    ASSERT_TRUE(ReadErrorPacket(bare.data(), 4, &nCode, &pText, &nTextLength));
    EXPECT_EQ(nTextLength, 0);

    std::vector<unsigned char> shortError = Datagram(std::string("\0\5\0", 3));
    EXPECT_FALSE(ReadErrorPacket(shortError.data(), 3, &nCode, &pText, &nTextLength));
}

TEST(SentPackets, DataHeader)
{
    unsigned char packet[TFTP_DATA_HEADER_BYTES + 4] = {0, 0, 0, 0, 'a', 'b', 'c', 'd'};
    WriteDataHeader(packet, 1);
    EXPECT_EQ(Bytes(packet, 8), std::string("\0\3\0\1abcd", 8));
    WriteDataHeader(packet, -32768);
    EXPECT_EQ(Bytes(packet, 4), std::string("\0\3\x80\0", 4));
    WriteDataHeader(packet, -1);
    EXPECT_EQ(Bytes(packet, 4), std::string("\0\3\xFF\xFF", 4));
}

TEST(SentPackets, OackCarriesBlksizeInLowerCaseAndTheDigits)
{
    unsigned char oack[TFTP_OACK_BUFFER_BYTES];
    std::memset(oack, 0xAA, sizeof oack);
    int nLength = BuildOack(oack, 1024);
    EXPECT_EQ(nLength, 15);
    EXPECT_EQ(Bytes(oack, nLength), std::string("\0\6blksize\0" "1024\0", 15));
    nLength = BuildOack(oack, 512);
    EXPECT_EQ(nLength, 14);
    EXPECT_EQ(Bytes(oack, nLength), std::string("\0\6blksize\0" "512\0", 14));
    EXPECT_EQ(Bytes(oack, BuildOack(oack, 1428)), std::string("\0\6blksize\0" "1428\0", 15));
}

TEST(SentPackets, ErrorPackets)
{
    unsigned char packet[TFTP_PACKET_BYTES];
    int nLength = BuildError(packet, sizeof packet, TFTP_ERROR_NOT_FOUND, "File does not exist.");
    EXPECT_EQ(nLength, 25);
    EXPECT_EQ(Bytes(packet, nLength), std::string("\0\5\0\1File does not exist.\0", 25));
    nLength = BuildError(packet, sizeof packet, TFTP_ERROR_ILLEGAL, "Only octet transfer mode supported.");
    EXPECT_EQ(nLength, 40);
    EXPECT_EQ(Bytes(packet, 4), std::string("\0\5\0\4", 4));
    EXPECT_EQ(packet[39], 0);

    unsigned char small[9];
    nLength = BuildError(small, sizeof small, TFTP_ERROR_ACCESS, "File read failed.");
    EXPECT_EQ(Bytes(small, nLength), std::string("\0\5\0\2File\0", 9)) << "cut to the buffer";
}
