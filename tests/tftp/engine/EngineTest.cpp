// The transfer engine in this process over the scripted network: exact bytes on the wire and trace lines.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <gtest/gtest.h>

#include "diag/Trace.h"
#include "tests/diag/StdoutCapture.h"
#include "tests/tftp/engine/FakeNetwork.h"
#include "tftp/TFTPServer.h"

namespace fs = std::filesystem;
using std::string;

namespace
{
constexpr std::uint32_t TIMEOUT_MS = 1000;  // a client repeats its ACK after this long without DATA
string Net16(std::size_t n) { return {static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n & 0xFF)}; }
string Ack(std::size_t n) { return Net16(4) + Net16(n); }
string Error(unsigned nCode, const string& text) { return Net16(5) + Net16(nCode) + text + '\0'; }
string Oack(std::size_t nSize) { return Net16(6) + "blksize" + '\0' + std::to_string(nSize) + '\0'; }
string Rrq(const string& name, const string& mode = "octet", const string& options = "")
{
    return Net16(1) + name + '\0' + mode + '\0' + options;
}
// DATA with the nth block of a file; n counts on past 65535 while the number on the wire rolls over.
string Block(const string& file, std::size_t n, std::size_t nSize = 512)
{
    return Net16(3) + Net16(n) + file.substr(std::min(file.size(), (n - 1) * nSize), nSize);
}

class Engine : public testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(m_dir);
        g_bTraceQuiet = 0;
        ASSERT_NE(m_server.Start(), nullptr);
        ASSERT_TRUE(FakeDeliver(9, Net16(0)));  // an ignored opcode, handled once the server listens
        FakeTakeSent(), Trace();
    }
    void TearDown() override
    {
        m_server.Stop();
        g_bTraceQuiet = 1;
        fs::remove_all(m_dir);
        if (HasFailure())  // the failure messages went to the captured standard output
            std::cerr << m_capture.Text();
    }
    // A file of pattern bytes in the scratch directory, each name with its own pattern; returns the content.
    string Put(const string& name, std::size_t nSize)
    {
        string content(nSize, '\0');
        for (std::size_t i = 0; i < nSize; ++i)
            content[i] = static_cast<char>(i + i / 509 + name[0] * 7);
        std::ofstream(m_dir / name, std::ios::binary) << content;
        return content;
    }
    // The one reply to a datagram from a client, or "" for none.
    string Reply(std::uint16_t nPort, const string& bytes)
    {
        EXPECT_TRUE(FakeDeliver(nPort, bytes));
        std::vector<CSentDatagram> sent = FakeTakeSent();
        EXPECT_TRUE(sent.empty() || (sent.size() == 1 && sent[0].m_nPort == nPort)) << sent.size() << " replies";
        return sent.empty() ? "" : sent[0].m_bytes;
    }
    // Acknowledges block nFrom and every later one, checking each DATA; the last ACK draws nothing.
    void Finish(std::uint16_t nPort, const string& file, std::size_t nFrom, std::size_t nSize = 512)
    {
        for (std::size_t n = nFrom; n <= file.size() / nSize; ++n)
            ASSERT_EQ(Reply(nPort, Ack(n)), Block(file, n + 1, nSize)) << n;
        EXPECT_EQ(Reply(nPort, Ack(file.size() / nSize + 1)), "");
    }
    string Trace()  // the "TFTP: " lines printed since the last call; failure messages are printed there too
    {
        string text = m_capture.Text(), lines;
        std::istringstream stream(text.substr(m_nSeen));
        m_nSeen = text.size();
        for (string line; std::getline(stream, line);)
            lines += line.rfind("TFTP: ", 0) == 0 ? line + "\n" : "";
        return lines;
    }
    // From now on every read of the server's descriptor of the file fails, as on a disk error.
    void BreakReads(const string& name)
    {
        for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd"))
        {
            std::error_code error;
            if (fs::read_symlink(entry.path(), error) == fs::canonical(m_dir / name))
                dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), std::stoi(entry.path().filename()));
        }
    }

    const string m_sub = "engine-" + std::to_string(getpid()), m_f = m_sub + "/f";
    const fs::path m_dir = fs::path(ExecutableDirectory()) / m_sub;
    CStdoutCapture m_capture;
    std::size_t m_nSeen = 0;
    CTFTPServer m_server;
};
}

// The file of 3072 bytes is a whole multiple of 512 and 1024: those transfers end with a DATA of 4 bytes.
TEST_F(Engine, OnlyAFirstBlksizeOptionIsAcknowledgedClampedTo512Through1428AndEveryTransferHasItsStatistics)
{
    const string file = Put("f", 3072), kFound = "TFTP: Found tftp 'blksize' option extension.\n";
    const struct { string options; std::size_t nSize; string traced; } rows[] = {
        {string("blksize\0" "1024\0", 13), 1024, kFound}, {string("BLKSIZE\0" "100\0", 12), 512, kFound},
        {string("BlKsXyZ\0" "1428\0", 13), 1428, kFound}, {string("blksize\0" "1429\0", 13), 1428, kFound},
        {string("blksize\0" "65464\0", 14), 1428, kFound}, {string("blksize\0" "abc\0", 12), 512, kFound},
        {string("blksize\0" "-1024\0", 14), 512, kFound}, {string("blksize\0" " \t+700x\0", 16), 700, kFound},
        {string("blksize\0" "99999999999\0", 20), 1428, kFound},
        {string("blks\0" "100" "900\0", 12), 900, kFound},  // the value starts 8 bytes after the name
        {string("blksize\0" "1024", 12), 1024, kFound}, {string("blksize\0", 8), 512, kFound},
        {string("blk\0" "1024\0", 9), 0, ""}, {string("tsize\0" "0\0blksize\0" "1024\0", 21), 0, ""},
        {"", 0, "TFTP: No tftp option extensions found.\n"}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(testing::PrintToString(row.options));
        std::size_t nSize = row.nSize ? row.nSize : 512;
        EXPECT_EQ(Reply(1, Rrq(m_f, "octet", row.options)), row.nSize ? Oack(nSize) : Block(file, 1));
        FakeAdvanceClock(1234);
        Finish(1, file, row.nSize ? 0 : 1, nSize);
        EXPECT_EQ(Trace(), "TFTP: Received read request\nTFTP: Received RRQ for " + m_f + "\n" + row.traced +
                               "TFTP: Transferred " + std::to_string(3072 / nSize + 1) + " blocks of " +
                               std::to_string(nSize) + " data bytes in 1.234 seconds.\n");
    }
    for (const char* pszMode : {"OCTET", "oCtEt", "octets"})
        EXPECT_EQ(Reply(1, Rrq(m_f, pszMode)), Block(file, 1)) << pszMode;
    Put("e", 0);
    EXPECT_EQ(Reply(2, Rrq(m_sub + "/e")), Net16(3) + Net16(1));
    EXPECT_EQ(Reply(2, Ack(1)), "");
    EXPECT_NE(Trace().find("TFTP: Transferred 1 blocks of 512 data bytes"), string::npos);
}

TEST_F(Engine, RefusedRequestsGetTheirErrorAndTraceLines)
{
    Put("f", 100);
    const string kRead = "TFTP: Received read request\n", kFor = kRead + "TFTP: Received RRQ for " + m_sub;
    const string kModeRefused = Error(4, "Only octet transfer mode supported.");
    const struct { string request, reply, traced; } rows[] = {
        {Rrq(""), Error(4, "No file name in read request."), kRead + "TFTP: Received read request with invalid file\n"},
        {Rrq(m_f, "netascii"), kModeRefused, kFor + "/f\nTFTP: Received read request for netascii mode\n"},
        {Rrq(m_f, "oct"), kModeRefused, kFor + "/f\nTFTP: Received read request for oct mode\n"},
        {Rrq(m_sub + "/no"), Error(1, "File does not exist."), kFor + "/no\nTFTP: Received read request for invalid file\n"}};
    for (const auto& row : rows)
    {
        EXPECT_EQ(Reply(2, row.request), row.reply);
        EXPECT_EQ(Trace(), row.traced);
    }
}

// Datagrams that start no transfer: writes, stray opcodes, and datagrams too short for their fields (read past
// their end they would be a valid ACK 2, ERROR or request: AddressSanitizer stops that).
TEST_F(Engine, StrayAndShortDatagramsLeaveTheTransferAlone)
{
    const string file = Put("f", 2000), kWriteRefused = Error(4, "Write operation not supported.");
    ASSERT_EQ(Reply(1, Rrq(m_f)), Block(file, 1));
    ASSERT_EQ(Reply(1, Ack(1)), Block(file, 2));
    Trace();
    const struct { std::uint16_t nPort; string datagram, reply, traced; } rows[] = {
        {2, Net16(2) + "x" + '\0' + "octet" + '\0', kWriteRefused, "TFTP: Received unsupported write request\n"},
        {1, Net16(3) + Net16(1) + "fw", kWriteRefused, "TFTP: Received invalid DATA packet\n"},
        {1, "", "", "TFTP: Client closed connection\n"}, {1, Net16(0) + Net16(2), "", ""}, {1, Oack(1024), "", ""},
        {1, Net16(7) + Net16(2), "", ""}, {1, Net16(0xFFFF) + Net16(2), "", ""}, {1, "\x04", "", ""},
        {1, Net16(4), "", ""}, {1, Ack(2).substr(0, 3), "", ""}, {1, Net16(5), "", ""},
        {1, Error(0, "x").substr(0, 3), "", ""}, {1, Net16(1), "", ""}, {1, Rrq(m_f).substr(0, 6), "", ""},
        {1, Rrq(m_f).substr(0, m_f.size() + 3), "", ""}, {1, Rrq(m_f).substr(0, m_f.size() + 6), "", ""}};
    for (const auto& row : rows)
    {
        EXPECT_EQ(Reply(row.nPort, row.datagram), row.reply) << testing::PrintToString(row.datagram);
        EXPECT_EQ(Trace(), row.traced) << testing::PrintToString(row.datagram);
    }
    ASSERT_TRUE(FakeFailReceive(104));
    EXPECT_EQ(Trace(), "TFTP: recv() failed: error 104\n");
    Finish(1, file, 2);
}

TEST_F(Engine, ErrorFromTheClientEndsTheTransfer)
{
    const string file = Put("f", 2000);
    const struct { string error, traced; } rows[] = {{Error(0, "cancelled by user"), "0 packet - cancelled by user"},
        {Error(3, ""), "3 packet - no reason given"}, {Error(7, "abc").substr(0, 7), "7 packet - abc"}};
    for (const auto& row : rows)
    {
        ASSERT_EQ(Reply(1, Rrq(m_f)), Block(file, 1));
        Trace();
        EXPECT_EQ(Reply(1, row.error), "");
        EXPECT_EQ(Trace(), "TFTP: Received error " + row.traced + "\n");
        EXPECT_EQ(Reply(1, Ack(1)), Error(2, "File read failed."));
    }
}

// A client repeats the ACK of the previous block when the current one was lost: the kept block goes again,
// byte for byte, but never a block of an earlier transfer, nor after a failed read.
TEST_F(Engine, RepeatedAckOfThePreviousBlockBringsTheKeptBlockAgain)
{
    const string file = Put("f", 5000);
    ASSERT_EQ(Reply(1, Rrq(m_f)), Block(file, 1));
    FakeAdvanceClock(TIMEOUT_MS);
    EXPECT_EQ(Reply(1, Ack(0)), "") << "without an OACK, ACK 0 acknowledges nothing";
    ASSERT_EQ(Reply(1, Ack(1)), Block(file, 2));
    FakeAdvanceClock(TIMEOUT_MS);
    EXPECT_EQ(Reply(1, Ack(1)), Block(file, 2));
    EXPECT_EQ(Reply(1, Ack(0)) + Reply(1, Ack(3)), "");

    ASSERT_EQ(Reply(1, Rrq(m_f, "octet", string("blksize\0" "1024\0", 13))), Oack(1024));
    FakeAdvanceClock(TIMEOUT_MS);
    EXPECT_EQ(Reply(1, Ack(0xFFFF)), "") << "the kept block of the earlier transfer";
    ASSERT_EQ(Reply(1, Ack(0)), Block(file, 1, 1024));
    FakeAdvanceClock(TIMEOUT_MS);
    EXPECT_EQ(Reply(1, Ack(0)), Block(file, 1, 1024)) << "after an OACK, a repeated ACK 0 brings DATA 1 again";
    ASSERT_EQ(Reply(1, Ack(1)), Block(file, 2, 1024));

    BreakReads("f"), Trace();
    EXPECT_EQ(Reply(1, Ack(2)), Error(2, "File read failed."));
    EXPECT_EQ(Trace(), "TFTP: Read of file failed in ACK handler\n");
    FakeAdvanceClock(TIMEOUT_MS);
    EXPECT_EQ(Reply(1, Ack(2)), "");
}

// 65537 blocks: numbered 1 to 65535, then 0 and 1 again; a lost block comes again on either side of the wrap.
TEST_F(Engine, BlockNumbersRollOverFrom65535To0)
{
    const string file = Put("big", 65536 * 512 + 100);
    string reply = Reply(1, Rrq(m_sub + "/big"));
    for (std::size_t n = 1; n <= 65537; ++n)
    {
        ASSERT_EQ(reply, Block(file, n)) << n;
        if (n == 32768 || n == 65536 || n == 65537)
        {
            FakeAdvanceClock(TIMEOUT_MS);
            ASSERT_EQ(Reply(1, Ack(n - 1)), reply) << n;
        }
        reply = Reply(1, Ack(n));
    }
    EXPECT_EQ(reply, "");
    EXPECT_NE(Trace().find("TFTP: Transferred 65537 blocks of 512 data bytes in 3.000 seconds.\n"), string::npos);
}

// Start and stop at any point: right after the start, while another program holds the port, while waiting
// for a datagram; the object's end stops it too.
TEST(EngineLifecycle, StartsWaitsForThePortAndStopsAtAnyPoint)
{
    CStdoutCapture capture;
    g_bTraceQuiet = 0;
    const string kStart = "Starting TFTP server\nEntering CTFTPServer::Entry().\n", kDown = "CTFTPServer::Entry() is down!\n";
    const string kListening = "TFTP: 'Listening' on port 6051, protocol UDP at " + ExecutableDirectory() + "\n";
    std::size_t nSeen = 0;
    for (int i = 0; i < 20; ++i)  // the stop may come before the thread has its socket
    {
        CTFTPServer server;
        ASSERT_TRUE(server.Start() != nullptr && server.Stop());
        string lines = capture.Text().substr(nSeen);
        nSeen += lines.size();
        EXPECT_TRUE(lines == kStart + kDown || lines == kStart + kListening + kDown) << lines;
    }
    FakeHoldPort(true);
    for (bool bRelease : {false, true})
    {
        CTFTPServer server;
        ASSERT_TRUE(server.Start() != nullptr && FakeWaitForBinds(3));
        FakeHoldPort(!bRelease);
        ASSERT_TRUE(!bRelease || FakeDeliver(1, Rrq("")));
    }
    EXPECT_EQ(capture.Text().substr(nSeen), kStart + kDown + kStart + kListening +
              "TFTP: Received read request\nTFTP: Received read request with invalid file\n" + kDown);
    g_bTraceQuiet = 1;
}
