// The transfer engine in this process over the scripted network: exact bytes on the wire and trace lines.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "diag/Trace.h"
#include "tests/diag/StdoutCapture.h"
#include "tests/tftp/engine/FakeNetwork.h"
#include "tftp/TFTPServer.h"

namespace fs = std::filesystem;
using std::string;

constexpr std::uint32_t T = 1000, LOCAL = 0x7F000001;  // T: a client's time-out before it repeats its ACK
string Net16(std::size_t n) { return {static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n & 0xFF)}; }
string Ack(std::size_t n) { return Net16(4) + Net16(n); }
string Error(unsigned nCode, const string& text) { return Net16(5) + Net16(nCode) + text + '\0'; }
string Oack(std::size_t nSize) { return Net16(6) + "blksize" + '\0' + std::to_string(nSize) + '\0'; }
string Rrq(string name, string options = "", string mode = "octet") { return Net16(1) + name + '\0' + mode + '\0' + options; }
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
        Trace();
    }
    void TearDown() override
    {
        m_server.Stop();
        fs::remove_all(m_dir);
        if (HasFailure())  // the failure messages went to the captured standard output
            std::fputs(m_capture.Text().c_str(), stderr);
    }
    string Put(const string& name, std::size_t nSize)  // a file of pattern bytes, each name its own, in the scratch directory
    {
        string content(nSize, '\0');
        for (std::size_t i = 0; i < nSize; ++i)
            content[i] = static_cast<char>(i + i / 509 + name[0] * 7);
        std::ofstream(m_dir / name, std::ios::binary) << content;
        return content;
    }
    // What the server sends in answer to a datagram from a client; what goes to another client after its port and ':'.
    string Reply(std::uint16_t nPort, const string& datagram, std::uint32_t nAddress = LOCAL)
    {
        EXPECT_TRUE(FakeDeliver(nPort, datagram, nAddress));
        string replies;
        for (const CSentDatagram& sent : FakeTakeSent())
            replies += (sent.m_nPort == nPort && sent.m_nAddress == nAddress ? "" : std::to_string(sent.m_nPort) + ":") +
                       (sent.m_bytes.empty() ? "(empty datagram)" : sent.m_bytes);
        return replies;
    }
    // A pause, a datagram from a client, the server's reply and, where given, the trace lines that it prints.
    struct CStep { std::uint32_t nPauseMs; std::uint16_t nPort; string datagram, reply; std::optional<string> traced = {}; };
    void Play(const std::vector<CStep>& steps)
    {
        for (std::size_t i = 0; i < steps.size(); ++i)
        {
            FakeAdvanceClock(steps[i].nPauseMs);
            Trace();
            EXPECT_EQ(Reply(steps[i].nPort, steps[i].datagram), steps[i].reply) << "step " << i;
            EXPECT_EQ(steps[i].traced ? Trace() : "", steps[i].traced.value_or("")) << "step " << i;
        }
    }
    // Acknowledges block nFrom and every later one, checking each DATA; the last ACK, and its repetition, draw nothing.
    void Finish(std::uint16_t nPort, const string& file, std::size_t nFrom, std::size_t nSize = 512)
    {
        for (std::size_t n = nFrom; n <= file.size() / nSize; ++n)
            ASSERT_EQ(Reply(nPort, Ack(n)), Block(file, n + 1, nSize)) << n;
        for (int nTimes = 0; nTimes < 2; ++nTimes)
            EXPECT_EQ(Reply(nPort, Ack(file.size() / nSize + 1)), "");
    }
    string Trace()  // the "TFTP: " lines printed since the last call; failure messages are printed there too
    {
        string text = m_capture.Text(), lines;
        for (std::size_t at = std::exchange(m_nSeen, text.size()), end; (end = text.find('\n', at)) != text.npos; at = end + 1)
            lines += text.compare(at, 6, "TFTP: ") == 0 ? text.substr(at, end + 1 - at) : "";
        return lines;
    }
    void BreakReads(const string& name)  // every later read of the server's descriptor of the file fails
    {
        for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd"))
            if (std::error_code error; fs::read_symlink(fd.path(), error) == fs::canonical(m_dir / name))
                dup2(open("/dev/null", O_WRONLY | O_CLOEXEC), std::stoi(fd.path().filename()));
    }

    const string m_sub = "engine-" + std::to_string(getpid()), m_f = m_sub + "/f";
    const fs::path m_dir = [] { string dir; ExecutableDirectory(&dir); return fs::path(dir); }() / m_sub;
    CStdoutCapture m_capture;
    std::size_t m_nSeen = 0;
    CTFTPServer m_server;
};

// 3072 bytes are a whole multiple of 512 and 1024: those transfers end with a DATA of 4 bytes.
TEST_F(Engine, OnlyAFirstBlksizeOptionIsAcknowledgedClampedTo512Through1428AndEachTransferHasItsStatistics)
{
    const string file = Put("f", 3072), z(1, '\0');
    const struct { string options; std::size_t nSize; } rows[] = {  // size 0: no OACK, 512-byte blocks
        {"blksize" + z + "1024" + z, 1024}, {"BLKSIZE" + z + "100" + z, 512}, {"BlKsXyZ" + z + "1428" + z, 1428},
        {"blksize" + z + "65464" + z, 1428}, {"blksize" + z + "-1024" + z, 512}, {"blksize" + z + " \t+700x" + z, 700},
        {"blksize" + z + "99999999999" + z, 1428}, {"blksize" + z + " ", 512}, {"blksize" + z + "1024", 1024},
        {"blks" + z + "100900" + z, 900}, {"blk" + z + "1024" + z, 0}, {"blk", 0}, {"tsize" + z + "blksize" + z, 0}, {"", 0}};
    for (const auto& row : rows)  // the value is read 8 bytes after the name's start, up to the datagram's end
    {
        std::size_t nSize = row.nSize ? row.nSize : 512;
        EXPECT_EQ(Reply(1, Rrq(m_f, row.options)), row.nSize ? Oack(nSize) : Block(file, 1)) << nSize;
        FakeAdvanceClock(1234);
        Finish(1, file, row.nSize ? 0 : 1, nSize);
        EXPECT_EQ(Trace(), "TFTP: Received read request\nTFTP: Received RRQ for " + m_f + "\n" +
                               (row.nSize ? "TFTP: Found tftp 'blksize' option extension.\n" : "") +
                               (row.options.empty() ? "TFTP: No tftp option extensions found.\n" : "") +
                               "TFTP: Transferred " + std::to_string(3072 / nSize + 1) + " blocks of " +
                               std::to_string(nSize) + " data bytes in 1.234 seconds.\n");
    }
    Play({{0, 1, Rrq(m_f, "", "OCTET"), Block(file, 1)}, {0, 1, Rrq(m_f, "", "oCtEt"), Block(file, 1)},
          {0, 1, Rrq(m_f, "", "octets"), Block(file, 1)}});
}

// Refused requests, writes, stray opcodes and datagrams too short for their fields (read past their end they
// would be a valid ACK 2, ERROR or request: AddressSanitizer stops that) leave a running transfer alone.
TEST_F(Engine, RefusedStrayAndShortDatagramsLeaveTheTransferAlone)
{
    const string file = Put("f", 2000), kRead = "TFTP: Received read request\n", kFor = kRead + "TFTP: Received RRQ for ";
    const string kMode = Error(4, "Only octet transfer mode supported."), kWrite = Error(4, "Write operation not supported.");
    Play({{0, 1, Rrq(m_f), Block(file, 1)}, {0, 1, Ack(1), Block(file, 2)},
          {0, 2, Rrq(""), Error(4, "No file name in read request."), kRead + "TFTP: Received read request with invalid file\n"},
          {0, 2, Rrq(m_f, "", "xctet"), kMode, kFor + m_f + "\nTFTP: Received read request for xctet mode\n"},
          {0, 2, Rrq(m_f, "", "oct"), kMode, kFor + m_f + "\nTFTP: Received read request for oct mode\n"},
          {0, 2, Rrq("no"), Error(1, "File does not exist."), kFor + "no\nTFTP: Received read request for invalid file\n"},
          {0, 2, Net16(2), kWrite, "TFTP: Received unsupported write request\n"},
          {0, 1, Net16(3) + Net16(1) + "fw", kWrite, "TFTP: Received invalid DATA packet\n"},
          {0, 1, "", "", "TFTP: Client closed connection\n"}, {0, 1, Oack(1024), "", ""}, {0, 1, Net16(9) + Net16(2), "", ""},
          {0, 1, "\4", "", ""}, {0, 1, Net16(4), "", ""}, {0, 1, Ack(2).substr(0, 3), "", ""}, {0, 1, Net16(5) + '\0', "", ""},
          {0, 1, Net16(1), "", ""}, {0, 1, Rrq(m_f).substr(0, m_f.size() + 3), "", ""},
          {0, 1, Rrq(m_f).substr(0, m_f.size() + 6), "", ""},
          {0, 1, string(2049, 'x'), "", "TFTP: recv() failed: error " + std::to_string(EMSGSIZE) + "\n"}});
    Finish(1, file, 2);
}

// A client repeats the ACK of the previous block after its time-out when the current one was lost: the kept
// block goes again byte for byte; a duplicate that comes sooner does not, nor a block of an earlier transfer.
TEST_F(Engine, RepeatedAckOfThePreviousBlockAfterTheClientsTimeOutBringsTheKeptBlockAgain)
{
    const string file = Put("f", 5000);
    Play({{0, 1, Rrq(m_f), Block(file, 1)}, {T, 1, Ack(0), ""}, {0, 1, Ack(1), Block(file, 2)},  // no OACK to acknowledge
          {CTFTPServer::RESEND_GAP_MS - 1, 1, Ack(1), ""}, {1, 1, Ack(1), Block(file, 2)}, {0, 1, Ack(0), ""}, {0, 1, Ack(3), ""},
          {0, 1, Rrq(m_f, string("blksize\0" "1024\0", 13)), Oack(1024)}, {0, 1, Net16(4), ""}, {T, 1, Ack(0xFFFF), ""},
          {0, 1, Ack(0), Block(file, 1, 1024)}, {T, 1, Ack(0), Block(file, 1, 1024)}, {0, 1, Ack(1), Block(file, 2, 1024)}});
    BreakReads("f");
    Play({{0, 1, Ack(2), Error(2, "File read failed."), "TFTP: Read of file failed in ACK handler\n"},
          {T, 1, Ack(2), ""}, {0, 1, Ack(3), ""}});  // the transfer has ended
}

TEST_F(Engine, BlockNumbersRollOverFrom65535To0)  // 65537 blocks: numbered 1 to 65535, then 0 and 1 again
{
    const string file = Put("big", 65536 * 512 + 100);
    string reply = Reply(1, Rrq(m_sub + "/big"));
    for (std::size_t n = 1; n <= 65537; reply = Reply(1, Ack(n++)))
    {
        if (n == 32768 || n == 65536 || n == 65537)  // DATA n is lost: after its time-out the client repeats its ACK
            FakeAdvanceClock(T), reply = Reply(1, Ack(n - 1));
        ASSERT_EQ(reply, Block(file, n)) << n;
    }
    EXPECT_EQ(reply, "");
    EXPECT_NE(Trace().find("TFTP: Transferred 65537 blocks of 512 data bytes in 3.000 seconds.\n"), string::npos);
}

// Two, then three clients (two on one port of different hosts) in turn, each with its own file, size and statistics.
TEST_F(Engine, InterleavedClientsEachGetTheirOwnFile)
{
    const string files[] = {Put("a", 5000), Put("b", 3000), Put("c", 7000)};
    const std::size_t sizes[] = {512, 1024, 1428}, lasts[] = {10, 3, 5}, ports[] = {1, 2, 1}, hosts[] = {LOCAL, LOCAL, LOCAL + 1};
    for (std::size_t nClients : {2, 3})
    {
        for (std::size_t c = 0; c < nClients; ++c)  // the first, without options, gets DATA 1 at once
            ASSERT_EQ(Reply(ports[c], Rrq(m_sub + "/" + "abc"[c], c ? Oack(sizes[c]).substr(2) : ""), hosts[c]),
                      c ? Oack(sizes[c]) : Block(files[0], 1));
        for (std::size_t r = 0; r <= 10; ++r)
            for (std::size_t c = 0; c < nClients; ++c)  // client 0's ACKs are one ahead
                EXPECT_EQ(r + !c > lasts[c] ? "" : Reply(ports[c], Ack(r + !c), hosts[c]),
                          r + !c < lasts[c] ? Block(files[c], r + !c + 1, sizes[c]) : "") << c;
        const string trace = Trace();
        for (std::size_t c = 0; c < nClients; ++c)
            EXPECT_NE(trace.find("Transferred " + std::to_string(lasts[c]) + " blocks of " + std::to_string(sizes[c])), trace.npos);
    }
}

// A vanished client's transfer waits for its repeated ACK; clients without a transfer are ignored; an ERROR ends
// one; a 65th client drops the least recently active, 60 s of silence drop one; a dropped client gets ERROR 0.
TEST_F(Engine, EachClientHasItsOwnTransferUntilItEndsOrIsDropped)
{
    const string a = Put("a", 3000), f = Put("f", 3000), kA = m_sub + "/a", kError = "TFTP: Received error ";
    Play({{0, 1, Rrq(kA), Block(a, 1)}, {0, 1, Ack(1), Block(a, 2)}, {0, 2, Rrq(m_f), Block(f, 1)},
          {T, 3, Ack(1), "", ""}, {0, 3, Error(0, "x"), "", ""}, {0, 1, Ack(1), Block(a, 2)},
          {0, 1, Rrq(kA), Block(a, 1)}, {0, 1, Error(0, "cancelled by user"), "", kError + "0 packet - cancelled by user\n"},
          {0, 1, Ack(1), ""}, {0, 1, Rrq(kA), Block(a, 1)}, {0, 1, Error(3, ""), "", kError + "3 packet - no reason given\n"},
          {0, 1, Ack(1), ""}, {0, 1, Rrq(kA), Block(a, 1)}, {0, 1, Error(7, "abc").substr(0, 7), "", kError + "7 packet - abc\n"},
          {0, 1, Ack(1), ""}});
    for (std::uint16_t c = 1; c <= CTFTPServer::MAX_TRANSFERS; ++c, FakeAdvanceClock(1))  // 2 has its transfer
        ASSERT_EQ(Reply(c, c == 2 ? Ack(1) : Rrq(m_f)), Block(f, c == 2 ? 2 : 1));
    Play({{0, 1, Ack(1), Block(f, 2)}, {0, 100, Rrq("no"), Error(1, "File does not exist.")},  // 2 is now the oldest
          {0, 100, Rrq(m_f), "2:" + Error(0, "Server busy, transfer dropped.") + Block(f, 1), "TFTP: Received read "
           "request\nTFTP: Received RRQ for " + m_f + "\nTFTP: Dropped the transfer of 127.0.0.1:2, too many transfers\n"
           "TFTP: No tftp option extensions found.\n"},
          {0, 2, Ack(2), ""}, {CTFTPServer::IDLE_DROP_MS - 63, 100, Ack(1), Block(f, 2)},  // 3 spoke 59.999 s ago
          {1, 1, Ack(2), "3:" + Error(0, "Transfer timed out.") + Block(f, 3),
           "TFTP: Dropped the transfer of 127.0.0.1:3, idle for 60 seconds\n"}, {0, 3, Ack(1), ""}});
}

// Every 20th datagram arrives twice, and the client acknowledges every DATA: no lasting doubling of the DATA sent.
TEST_F(Engine, DuplicatedDatagramsDoNotMultiplyTheDataSent)
{
    const string file = Put("f", 200 * 512 + 7);
    std::vector<string> toServer{Rrq(m_f)};  // after the request, one ACK for each DATA sent
    string received;
    for (std::size_t n = 0; n < toServer.size() && n < 5000; ++n)
    {
        FakeAdvanceClock(1);
        ASSERT_TRUE(FakeDeliver(1, toServer[n]) && (n % 20 || FakeDeliver(1, toServer[n])));
        for (const CSentDatagram& sent : FakeTakeSent())  // each DATA is acknowledged, a duplicate too
            received += sent.m_bytes == Block(file, received.size() / 512 + 1) ? sent.m_bytes.substr(4) : "",
                toServer.push_back(Net16(4) + sent.m_bytes.substr(2, 2));
    }
    EXPECT_EQ(received, file);
    EXPECT_LE(toServer.size() - 1, 205u) << "DATA datagrams sent for 201 blocks";
}

TEST(EngineLifecycle, AStopRightAfterTheStartEndsTheThread)  // even before the thread has its socket; or the object's end
{
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE([i] { CTFTPServer server; return server.Start() != nullptr && (i % 2 || server.Stop()); }());
}
