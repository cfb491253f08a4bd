// The transfer engine in this process over the scripted network: exact bytes on the wire, trace lines and records.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <optional>

#include <gtest/gtest.h>

#include "diag/Trace.h"
#include "tests/diag/StdoutCapture.h"
#include "tests/tftp/engine/FakeNetwork.h"
#include "tftp/TFTPServer.h"

namespace fs = std::filesystem;
using std::string;

// T: a client's time-out before it repeats itself, between the resend gap and the server's own interval.
constexpr std::uint32_t T = 500, GAP = CTFTPServer::RESEND_GAP_MS;
string Host(int n) { return "127.0.0." + std::to_string(n); }  // an IPv4 client's host
const string LOCAL = Host(1);
string Net16(std::size_t n) { return {static_cast<char>(n >> 8 & 0xFF), static_cast<char>(n & 0xFF)}; }
string Ack(std::size_t n) { return Net16(4) + Net16(n); }
string Error(unsigned nCode, const string& text) { return Net16(5) + Net16(nCode) + text + '\0'; }
string P(const string& name, const string& value) { return name + '\0' + value + '\0'; }  // an option pair
string Oack(const string& pairs) { return Net16(6) + pairs; }
string Rrq(string name, string options = "", string mode = "octet") { return Net16(1) + name + '\0' + mode + '\0' + options; }
// DATA blocks nFrom to nTo of a file; n counts on past 65535 while the number on the wire rolls over.
string Blocks(const string& file, std::size_t nFrom, std::size_t nTo, std::size_t nSize = 512)
{
    string data;
    for (std::size_t n = nFrom; n <= nTo; ++n)
        data += Net16(3) + Net16(n) + file.substr(std::min(file.size(), (n - 1) * nSize), nSize);
    return data;
}
string Block(const string& file, std::size_t n, std::size_t nSize = 512) { return Blocks(file, n, n, nSize); }

class Engine : public testing::Test
{
protected:
    void SetUp() override
    {
        fs::create_directories(m_dir);
        g_bTraceQuiet = 0;
        m_server.SetRecordSink(&Engine::Keep, &m_records);
        ASSERT_NE(m_server.Start(), nullptr);
        ASSERT_TRUE(FakeDeliver(9, Net16(0)));  // an ignored opcode, handled once the server listens
        Trace();
    }
    void TearDown() override
    {
        // Every test ends its transfers: none may leave its file open, however it ended.
        std::size_t nOpen = 0;
        for (const fs::directory_entry& fd : fs::directory_iterator("/proc/self/fd"))
            if (std::error_code error; fs::read_symlink(fd.path(), error).string().rfind(m_dir.string(), 0) == 0)
                ++nOpen;
        EXPECT_EQ(nOpen, 0u) << "served files left open";
        m_server.Stop();
        EXPECT_EQ(FakeOpenSockets(), 0) << "sockets left open";
        fs::remove_all(m_dir);
        if (HasFailure())  // the failure messages went to the captured standard output
            std::fputs(m_capture.Text().c_str(), stderr);
    }
    static void Keep(const CTransferRecord& r, void* pRecords)  // each record's fields as one line
    {
        static const char* const kinds[] = {"Finished", "Refused", "SizeProbe", "ClientError", "ReadFailed", "DroppedIdle",
                                            "DroppedBusy", "Restarted", "ServerStopped", "SentUnacknowledged"};
        static_cast<std::vector<string>*>(pRecords)->push_back(
            string(kinds[static_cast<int>(r.m_eEnd)]) + " " + r.m_pszClient + " " + r.m_pszFile + " [" + r.m_pszOptions + "] " +
            std::to_string(r.m_nBytes) + " " + std::to_string(r.m_nBlocks) + "x" + std::to_string(r.m_nBlockSize) + " " +
            std::to_string(r.m_nMilliseconds) + "ms " + std::to_string(r.m_nBlocksResent) + " " +
            std::to_string(r.m_nErrorCode) + " " + r.m_pszErrorText);
    }
    string Put(const string& name, std::size_t nSize)  // a file of pattern bytes, each name its own, in the scratch directory
    {
        string content(nSize, '\0');
        for (std::size_t i = 0; i < nSize; ++i)
            content[i] = static_cast<char>(i + i / 509 + name[0] * 7);
        std::ofstream(m_dir / name, std::ios::binary) << content;
        return content;
    }
    // What the server sends in answer to a datagram from a client (port 0: what it sent by itself, client 1 being
    // the one answered); what goes to another client after its port and ':', what leaves by a port other than the
    // one the datagram went to after '@', that port and ':'. A client sends a request to port 6051 and anything else
    // where its last reply came from, unless nTo says otherwise.
    string Reply(std::uint16_t nPort, const string& datagram, const string& host = LOCAL, std::uint16_t nTo = 0)
    {
        std::uint16_t& nFollow = m_to[{host, nPort ? nPort : 1}];
        nTo = nTo ? nTo : datagram.compare(0, 2, Net16(1)) == 0 || !nFollow ? 6051 : nFollow;
        EXPECT_TRUE(nPort == 0 || FakeDeliver(nPort, datagram, host, nTo));
        string replies;
        for (const CSentDatagram& sent : FakeTakeSent())
        {
            bool bOwn = sent.m_nPort == (nPort ? nPort : 1) && sent.m_host == host;
            nFollow = bOwn ? sent.m_nFrom : nFollow;
            replies += (bOwn ? "" : std::to_string(sent.m_nPort) + ":") +
                       (nPort && sent.m_nFrom != nTo ? "@" + std::to_string(sent.m_nFrom) + ":" : "") +
                       (sent.m_bytes.empty() ? "(empty datagram)" : sent.m_bytes);
        }
        return replies;
    }
    // A pause, a datagram from a client, the server's reply and, where given, the trace lines that it prints.
    struct CStep { std::uint32_t nPauseMs; std::uint16_t nPort; string datagram, reply; std::optional<string> traced = {}; };
    void Play(const std::vector<CStep>& steps)
    {
        for (std::size_t i = 0; i < steps.size(); ++i)
        {
            Trace();
            EXPECT_TRUE(FakeAdvanceClock(steps[i].nPauseMs));
            EXPECT_EQ(Reply(steps[i].nPort, steps[i].datagram), steps[i].reply) << "step " << i;
            EXPECT_EQ(steps[i].traced ? Trace() : "", steps[i].traced.value_or("")) << "step " << i;
        }
    }
    // As a client with a window: acknowledges block nFrom, then each window's last block, checking every DATA;
    // the last ACK, and its repetition, draw nothing.
    void Finish(std::uint16_t nPort, const string& file, std::size_t nFrom, std::size_t nSize = 512, std::size_t nWindow = 1,
                const string& host = LOCAL)
    {
        const std::size_t nLast = file.size() / nSize + 1;
        for (std::size_t n = nFrom; n < nLast; n = std::min(n + nWindow, nLast))
            ASSERT_EQ(Reply(nPort, Ack(n), host), Blocks(file, n + 1, std::min(n + nWindow, nLast), nSize)) << n;
        for (int nTimes = 0; nTimes < 2; ++nTimes)
            EXPECT_EQ(Reply(nPort, Ack(nLast), host), "");
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
    string Refused(const string& name, std::uint16_t nPort, unsigned nCode, const string& text)  // the record's trace line
    {
        return "TFTP: Refused " + name + " from 127.0.0.1:" + std::to_string(nPort) + ": error " + std::to_string(nCode) +
               " \"" + text + "\"\n";
    }

    const string m_sub = "engine-" + std::to_string(getpid()), m_f = m_sub + "/f";
    const fs::path m_dir = [] { string dir; CStartFailure failure; ExecutableDirectory(&dir, &failure); return fs::path(dir); }() / m_sub;
    CStdoutCapture m_capture;
    std::size_t m_nSeen = 0;
    std::vector<string> m_records;
    std::map<std::pair<string, std::uint16_t>, std::uint16_t> m_to;  // a client's port of its transfer
    CTFTPServer m_server;
};

// Each row: the request's options, the OACK's pairs ("" for none: plain DATA 1 of 512 bytes), the block size and
// window that the transfer then uses. 3072 bytes are a whole multiple of 512 and 1024: those end with a DATA of 4 bytes.
TEST_F(Engine, OptionsAreAnsweredInTheRequestsOrderAndTheTransferUsesThem)
{
    const string file = Put("f", 3072), z(1, '\0'), k3072 = "3072";
    const struct { string options, oack; std::size_t nSize, nWindow; } rows[] = {
        {"", "", 512, 1}, {P("blksize", "1428"), P("blksize", "1428"), 1428, 1},  // the instrument: byte for byte as ever, all on port 6051
        {P("blksize", "300"), P("blksize", "300"), 300, 1}, {P("BlkSize", "65464"), P("blksize", "1428"), 1428, 1},
        {P("blksize", "8"), P("blksize", "8"), 8, 1}, {P("blksize", "7") + P("blksize", "1024"), "", 512, 1},
        {P("blksize", "65465"), "", 512, 1}, {P("blksize", "+700"), "", 512, 1}, {P("blksize", " 700"), "", 512, 1},
        {P("blksize", "700x"), "", 512, 1}, {P("blksize", ""), "", 512, 1}, {P("blks", "800") + P("blksizes", "800"), "", 512, 1},
        {P("blksize", "1024") + P("BLKSIZE", "600"), P("blksize", "1024"), 1024, 1},
        {P("tsize", "0"), P("tsize", k3072), 512, 1}, {P("tsize", "18446744073709551616"), "", 512, 1},  // past 64 bits
        {P("timeout", "255") + P("timeout", "1"), P("timeout", "255"), 512, 1},
        {P("timeout", "0"), "", 512, 1}, {P("timeout", "256"), "", 512, 1}, {P("windowsize", "4"), P("windowsize", "4"), 512, 4},
        {P("WINDOWSIZE", "65535"), P("windowsize", "64"), 512, 64}, {P("windowsize", "0"), "", 512, 1},
        {P("windowsize", "1"), P("windowsize", "1"), 512, 1},
        {P("timeout", "3") + P("tsize", "0") + P("blksize", "1468") + P("windowsize", "8"),  // U-Boot
         P("timeout", "3") + P("tsize", k3072) + P("blksize", "1428") + P("windowsize", "8"), 1428, 8},
        {P("tsize", "0") + P("blksize", "512") + P("timeout", "6"), P("tsize", k3072) + P("blksize", "512") + P("timeout", "6"), 512, 1},
        {P("x", "1") + P("blksize", "800"), P("blksize", "800"), 800, 1}, {"blksize" + z + "800", "", 512, 1},  // a cut pair
        {P("tsize", "0") + "blksize" + z + "800", P("tsize", k3072), 512, 1}, {P("tsize", "0") + "blksize", P("tsize", k3072), 512, 1}};
    std::uint16_t nOwnPort = 50000;  // a window runs from a port of its own, each transfer's next
    for (const auto& row : rows)
    {
        const string from = row.nWindow > 1 ? "@" + std::to_string(++nOwnPort) + ":" : "";
        EXPECT_EQ(Reply(1, Rrq(m_f, row.options)), from + (row.oack.empty() ? Block(file, 1) : Oack(row.oack))) << row.options;
        Finish(1, file, row.oack.empty(), row.nSize, row.nWindow);
        string found = row.options.empty() ? "TFTP: No tftp option extensions found.\n" : "";
        for (std::size_t at = 0; at < row.oack.size(); at = row.oack.find('\0', row.oack.find('\0', at) + 1) + 1)
            found += "TFTP: Found tftp '" + row.oack.substr(at, row.oack.find('\0', at) - at) + "' option extension.\n";
        const string blocks = std::to_string(3072 / row.nSize + 1), size = std::to_string(row.nSize);
        const string traced = "TFTP: Received read request\nTFTP: Received RRQ for " + m_f + "\n" + found +
                              "TFTP: Transferred " + blocks + " blocks of " + size + " data bytes in 0.000 seconds.\n";
        EXPECT_EQ(Trace().substr(0, traced.size()), traced) << row.options;
    }
    Put("e", 0);  // the size of an empty file is left out
    Play({{0, 1, Rrq(m_f, "", "OCTET"), Block(file, 1)}, {0, 1, Rrq(m_f, P("x", "1"), "oCtEt"), Block(file, 1)},
          {0, 1, Rrq(m_f, P("y", "1"), "octets"), Block(file, 1)}, {0, 1, Rrq(m_sub + "/e", P("tsize", "0")), Net16(3) + Net16(1)},
          {0, 1, Ack(1), ""}});
}

// Refused requests, writes, stray opcodes and datagrams too short for their fields (read past their end they
// would be a valid ACK 2, ERROR or request: AddressSanitizer stops that) leave a running transfer alone.
TEST_F(Engine, RefusedStrayAndShortDatagramsLeaveTheTransferAlone)
{
    const string file = Put("f", 2000), kRead = "TFTP: Received read request\n", kFor = kRead + "TFTP: Received RRQ for ";
    const string kModeText = "Only octet transfer mode supported.", kMode = Error(4, kModeText), kWrite = Error(4, "Write operation not supported.");
    Play({{0, 1, Rrq(m_f), Block(file, 1)}, {0, 1, Ack(1), Block(file, 2)},
          {0, 2, Rrq(""), Error(4, "No file name in read request."), kRead + "TFTP: Received read request with invalid file\n" +
           Refused("", 2, 4, "No file name in read request.")},
          {0, 2, Rrq(m_f, "", "xctet"), kMode, kFor + m_f + "\nTFTP: Received read request for xctet mode\n" + Refused(m_f, 2, 4, kModeText)},
          {0, 2, Rrq(m_f, "", "oct"), kMode, kFor + m_f + "\nTFTP: Received read request for oct mode\n" + Refused(m_f, 2, 4, kModeText)},
          {0, 2, Rrq("no\1"), Error(1, "File does not exist."), kFor + "no\\x01\nTFTP: Received read request for invalid file\n" +
           Refused("no\\x01", 2, 1, "File does not exist.")},
          {0, 2, Net16(2), kWrite, "TFTP: Received unsupported write request\n"},
          {0, 1, Net16(3) + Net16(1) + "fw", kWrite, "TFTP: Received invalid DATA packet\n"},
          {0, 1, "", "", "TFTP: Client closed connection\n"}, {0, 1, Oack(P("blksize", "1024")), "", ""}, {0, 1, Net16(9) + Net16(2), "", ""},
          {0, 1, "\4", "", ""}, {0, 1, Net16(4), "", ""}, {0, 1, Ack(2).substr(0, 3), "", ""}, {0, 1, Net16(5) + '\0', "", ""},
          {0, 1, Net16(1), "", ""}, {0, 1, Rrq(m_f).substr(0, m_f.size() + 3), "", ""},
          {0, 1, Rrq(m_f).substr(0, m_f.size() + 6), "", ""},
          {0, 1, string(2049, 'x'), "", "TFTP: recv() failed: error " + std::to_string(EMSGSIZE) + "\n"}});
    Finish(1, file, 2);
    EXPECT_EQ(m_records[1], "Refused 127.0.0.1:2 " + m_f + " [] 0 0x0 0ms 0 4 " + kModeText);
}

// A client repeats the ACK of the previous block after its time-out when the current one was lost: the kept
// block goes again byte for byte; a duplicate that comes sooner does not. Without a word from the client the
// server sends it again itself after its interval (1 s, or the timeout option), twice as late each time, and gives up
// after 60 s of silence. A client that never answered the first answer (it may be forged) gets it only twice more
// from the timer, but its late answer still finds the transfer.
TEST_F(Engine, LostBlocksGoAgainOnARepeatedAckOrAfterTheIntervalAndSilenceEndsTheTransfer)
{
    const string file = Put("f", 5000), kT3 = P("timeout", "3");
    const std::uint32_t nInterval = CTFTPServer::DEFAULT_INTERVAL_MS, nIdle = CTFTPServer::IDLE_DROP_MS;
    Play({{0, 1, Rrq(m_f), Block(file, 1)}, {T, 1, Ack(0), ""}, {0, 1, Ack(1), Block(file, 2)},  // no OACK to acknowledge
          {GAP - 1, 1, Ack(1), ""}, {1, 1, Ack(1), Block(file, 2)}, {0, 1, Ack(0), ""}, {0, 1, Ack(3), ""},
          {nInterval - 1, 0, "", ""}, {1, 0, "", Block(file, 2)}, {2 * nInterval - 1, 0, "", ""}, {1, 0, "", Block(file, 2)},
          {0, 1, Rrq(m_f, P("blksize", "1024") + kT3), Oack(P("blksize", "1024") + kT3)}, {0, 1, Net16(4), ""},
          {2999, 1, Ack(0xFFFF), ""}, {1, 0, "", Oack(P("blksize", "1024") + kT3)}, {6000, 0, "", Oack(P("blksize", "1024") + kT3)},
          {12000, 0, "", ""}, {nIdle - 21000 - 1, 1, Ack(0), Block(file, 1, 1024)}, {T, 1, Ack(0), Block(file, 1, 1024)}, {0, 1, Ack(1), Block(file, 2, 1024)},
          {3000, 0, "", Block(file, 2, 1024)}, {nIdle - 3001, 0, "", Block(file, 2, 1024)},  // 59.999 s of silence
          {1, 0, "", Error(0, "Transfer timed out."), "TFTP: Dropped the transfer of 127.0.0.1:1, idle for 60 seconds\n"
           "TFTP: Ended " + m_f + " to 127.0.0.1:1 early: dropped after 60 s of silence, after 1024 bytes in 2 blocks\n"},
          {0, 1, Ack(2), ""}});
    EXPECT_EQ(m_records.empty() ? "" : m_records.back(), "DroppedIdle 127.0.0.1:1 " + m_f + " [blksize 1024, timeout 3] 1024 2x1024 120499ms 3 0 ");
}

// A window runs from a port of its own: its client's ACKs count there alone, another address or port gets ERROR 5
// and changes nothing, and an ACK sent blindly to port 6051 moves nothing. An ACK inside the window slides it without
// sending its rest again; the rest goes after the resend gap on the same ACK. A silent client gets one block after the
// interval, and its ACK of that block brings the rest at once. Block numbers roll over inside a window.
TEST_F(Engine, WindowsRunOnAPortOfTheirOwnSlideOnAnAckInsideThemAndGoAgainAfterTheGapOrTheInterval)
{
    const string file = Put("f", 10 * 512 + 100), kW4 = P("windowsize", "4");
    EXPECT_EQ(Reply(1, Rrq(m_f, kW4)), "@50001:" + Oack(kW4));
    EXPECT_EQ(Reply(1, Ack(0), LOCAL, 6051) + Reply(1, Error(0, "x"), LOCAL, 6051) + Reply(2, Error(0, "x"), LOCAL, 50001), "");
    for (const auto& [host, nPort] : {std::pair(LOCAL, 2), std::pair(Host(2), 1)})
        EXPECT_EQ(Reply(nPort, Ack(0), host, 50001), Error(5, "Unknown transfer ID."));
    Play({{0, 1, Ack(0), Blocks(file, 1, 4)}, {0, 1, Ack(0), ""},
          {0, 1, Ack(2), Blocks(file, 5, 6)}, {0, 1, Ack(2), ""}, {0, 1, Ack(7), ""}, {GAP, 1, Ack(2), Blocks(file, 3, 6)},
          {0, 1, Ack(6), Blocks(file, 7, 10)}, {0, 1, Ack(8), Block(file, 11)},  // blocks 9 and 10 lost, 11 the last
          {CTFTPServer::DEFAULT_INTERVAL_MS, 0, "", Block(file, 9)}, {0, 1, Ack(9), Blocks(file, 10, 11)}, {0, 1, Ack(11), ""}});
    EXPECT_EQ(FakeOpenSockets(), 1);  // the transfer's own socket closed with it
    const string big = Put("big", 65536 * 512 + 100);  // 65537 blocks: numbered 1 to 65535, then 0 and 1 again
    ASSERT_EQ(Reply(1, Rrq(m_sub + "/big", P("windowsize", "7"))), "@50002:" + Oack(P("windowsize", "7")));
    Finish(1, big, 0, 512, 7);  // 65535 starts a window that ends with block 1
}

// The same request again, whatever the letter case of its mode and option names and the order of its options, is
// answered as the first time while that answer is outstanding (and not when it crossed the answer in flight), and
// ignored later; a different request from the client starts over, and the transfer it ends is recorded.
TEST_F(Engine, ARepeatedRequestGetsTheFirstAnswerWhileItIsOutstandingAndADifferentOneStartsOver)
{
    const string file = Put("f", 9 * 512), kW4 = P("windowsize", "4"), kOack = "@50001:" + Oack(P("tsize", "4608") + kW4);
    const string kRrq = Rrq(m_f, P("tsize", "0") + kW4), kSame = Rrq(m_f, P("WindowSize", "4") + P("TSIZE", "0"), "Octet");
    Play({{0, 1, kRrq, kOack}, {0, 1, kSame, ""}, {GAP, 1, kSame, kOack}, {0, 1, Ack(0), Blocks(file, 1, 4)},
          {GAP, 1, kSame, ""}, {0, 1, Ack(4), Blocks(file, 5, 8)},
          {0, 2, Rrq(m_f), Block(file, 1)}, {GAP, 2, Rrq(m_f), Block(file, 1)}, {0, 2, Ack(1), Block(file, 2)},
          {GAP, 2, Rrq(m_f), "", "TFTP: Received read request\nTFTP: Received the same read request again for " + m_f + "\n"},
          {0, 2, Rrq(m_f, P("blksize", "1024")), Oack(P("blksize", "1024")), "TFTP: Received read request\n"
           "TFTP: Ended " + m_f + " to 127.0.0.1:2 early: restarted by the client, after 512 bytes in 2 blocks\nTFTP: Received RRQ for " +
           m_f + "\nTFTP: Found tftp 'blksize' option extension.\n"}});
    Finish(1, file, 8, 512, 4);
    Finish(2, file, 0, 1024);
}

// A host holds at most 8 transfers. A full table gives up its oldest unconfirmed transfer for a new request at once.
// While 64 confirmed clients download, none silent for its interval, 20,000 requests from another host each get
// ERROR 0 "Server busy." and every download completes byte for byte; once a client has been silent that long, a
// request whose file opens displaces it, the longest silent first.
TEST_F(Engine, AFullTableGivesUpAnUnconfirmedTransferAtOnceAndAConfirmedOneOnlyAfterItsSilence)
{
    const string file = Put("f", 20 * 512 + 5);
    string rgHost[CTFTPServer::MAX_TRANSFERS];  // client c: port c + 1 of host 127.0.0.(1 + c / 8)
    for (std::uint16_t c = 0; c < CTFTPServer::MAX_TRANSFERS; ++c)
    {
        ASSERT_EQ(Reply(c + 1, Rrq(m_f), rgHost[c] = Host(1 + c / 8)), Block(file, 1));
        EXPECT_EQ(c == 7 ? Reply(100, Rrq(m_f), LOCAL) : Error(0, "Server busy."), Error(0, "Server busy.")) << Trace();
    }
    EXPECT_EQ(Reply(1, Rrq(m_f), rgHost[0] = Host(9)), "1:" + Error(0, "Server busy, transfer dropped.") + Block(file, 1));
    EXPECT_EQ(m_records.back(), "DroppedBusy 127.0.0.1:1 " + m_f + " [] 0 1x512 0ms 0 0 ");
    g_bTraceQuiet = 1;  // the refusals' lines would fill the captured output
    std::size_t nSpoofed = 0;
    for (std::size_t n = 1; n <= 21; ++n, FakeAdvanceClock(100))  // 2 s in all, longer than the interval
        for (std::uint16_t c = 0; c < CTFTPServer::MAX_TRANSFERS; ++c)
        {
            ASSERT_EQ(Reply(c + 1, Ack(n), rgHost[c]), n < 21 ? Block(file, n + 1) : "") << c;
            for (int i = 0; i < 17 && n > 1 && n < 21 && nSpoofed < 20000; ++i, ++nSpoofed)
                ASSERT_EQ(Reply(static_cast<std::uint16_t>(1 + nSpoofed % 1000), Rrq(m_f), Host(10)), Error(0, "Server busy."));
        }
    EXPECT_EQ(nSpoofed, 20000u);
    g_bTraceQuiet = 0;
    for (std::uint16_t c = 0; c < CTFTPServer::MAX_TRANSFERS; ++c)
        for (std::size_t n = 0; n < 2; ++n)
            ASSERT_EQ(Reply(c + 1, n ? Ack(n) : Rrq(m_f), rgHost[c]), Block(file, n + 1));
    Play({{999, 2, Ack(2), Block(file, 3)}, {0, 100, Rrq(m_f), Error(0, "Server busy.")}});
    FakeAdvanceClock(1), FakeTakeSent();  // the 63 silent clients get DATA 2 again from the timer
    Play({{0, 100, Rrq("no"), Error(1, "File does not exist.")},  // a request that fails costs nobody theirs
          {0, 100, Rrq(m_f), "1:" + Error(0, "Server busy, transfer dropped.") + Block(file, 1),
           "TFTP: Received read request\nTFTP: Received RRQ for " + m_f + "\nTFTP: Dropped the transfer of 127.0.0.9:1, "
           "too many transfers\nTFTP: Ended " + m_f + " to 127.0.0.9:1 early: dropped for a new request while every slot "
           "was taken, after 512 bytes in 2 blocks\nTFTP: No tftp option extensions found.\n"}});
    EXPECT_EQ(m_records.back(), "DroppedBusy 127.0.0.9:1 " + m_f + " [] 512 2x512 1000ms 1 0 ");
    FakeAdvanceClock(CTFTPServer::IDLE_DROP_MS), FakeTakeSent();  // every transfer left ends
}

// An IPv6 client is named in RFC 5952 text (a link-local one with its zone), gets blocks of 1408 bytes at most, so that
// a DATA still fits an Ethernet frame under IPv6's longer header, and counts towards the share of its host, its /64.
TEST_F(Engine, AnIPv6ClientIsNamedInItsOwnTextGetsBlocksOf1408AndItsHostIsItsSlash64)
{
    const string file = Put("f", 3000), kV6 = "2001:db8::20";
    ASSERT_EQ(Reply(1758, Rrq(m_f, P("blksize", "1428")), kV6), Oack(P("blksize", "1408")));
    Finish(1758, file, 0, 1408, 1, kV6);  // DATA 3 of 184 bytes ends it
    for (int n = 1; n <= 9; ++n)
        EXPECT_EQ(Reply(1, Rrq(m_f), "2001:db8::" + std::to_string(n)), n < 9 ? Block(file, 1) : Error(0, "Server busy."));
    EXPECT_EQ(Reply(1, Rrq(m_f), "2001:db8:0:1::9") + Reply(2, Rrq("no"), "fe80::1%3"), Block(file, 1) + Error(1, "File does not exist."));
    EXPECT_EQ(m_records[0], "Finished [2001:db8::20]:1758 " + m_f + " [blksize 1408] 3000 3x1408 0ms 0 0 ");
    EXPECT_EQ(m_records.back(), "Refused [fe80::1%3]:2 no [] 0 0x0 0ms 0 1 File does not exist.");
    FakeAdvanceClock(CTFTPServer::IDLE_DROP_MS), FakeTakeSent();  // every transfer left ends
}

// The file is read a buffer at a time; a resend sends the bytes sent before, even when the file has changed since
// the read; a read that fails ends the transfer with ERROR 2.
TEST_F(Engine, TheReadAheadKeepsTheBlocksInFlightAndAFailedReadEndsTheTransfer)
{
    const string file = Put("f", 400 * 512);
    const std::size_t nBuffered = CReadAhead::BUFFER_BYTES / 512;  // whole blocks of the first read
    ASSERT_EQ(Reply(1, Rrq(m_f)), Block(file, 1));
    for (std::size_t n = 1; n <= nBuffered; ++n)  // DATA nBuffered + 1 needs the second read
        ASSERT_EQ(Reply(1, Ack(n)), Block(file, n + 1)) << n;
    std::ofstream(m_dir / "f", std::ios::binary) << string(file.size(), 'x');
    Play({{T, 1, Ack(nBuffered), Block(file, nBuffered + 1)}});
    BreakReads("f");
    for (std::size_t n = nBuffered + 1; n < 2 * nBuffered; ++n)
        ASSERT_EQ(Reply(1, Ack(n)).size(), 516u) << n;
    Play({{0, 1, Ack(2 * nBuffered), Error(2, "File read failed."), "TFTP: Read of file failed in ACK handler\nTFTP: Ended " +
           m_f + " to 127.0.0.1:1 early: the file could not be read, after 182272 bytes in 356 blocks\n"}, {T, 1, Ack(2 * nBuffered), ""}});
}

// The record of each way a transfer ends that the tests above do not end it in, and its trace line. A client that has
// every block but stays silent is taken to have lost its last ACK after two resends: its record says so, not "dropped".
TEST_F(Engine, EveryEndHandsOverItsRecord)
{
    const string file = Put("f", 3000), small = Put("s", 600), kW2 = P("blksize", "1024") + P("windowsize", "2"), kHuge = m_sub + "/huge";
    std::ofstream(m_dir / "huge").close();
    fs::resize_file(m_dir / "huge", 5ull << 30);  // past 4 GiB, sparse
    const string kProbe = P("tsize", "5368709120") + P("blksize", "1428");
    Play({{0, 1, Rrq(m_f, kW2), "@50001:" + Oack(kW2)}, {0, 1, Ack(0), Blocks(file, 1, 2, 1024)},
          {1000, 0, "", Block(file, 1, 1024)}, {234, 1, Ack(2), Block(file, 3, 1024)},
          {0, 1, Ack(3), "", "TFTP: Transferred 3 blocks of 1024 data bytes in 1.234 seconds.\nTFTP: Sent " + m_f + " to 127.0.0.1:1: "
           "3000 bytes in 3 blocks of 1024, 1.234 s, 1 blocks resent, options: blksize 1024, windowsize 2\n"},
          {0, 3, Rrq(kHuge, P("tsize", "0") + P("blksize", "1428")), Oack(kProbe)},
          {0, 3, Error(8, "probe"), "", "TFTP: Received error 8 packet - probe\nTFTP: Size probe for " + kHuge + " from 127.0.0.1:3, "
           "options: tsize 5368709120, blksize 1428, ended by the client's error 8 \"probe\"\n"},
          {0, 4, Rrq(m_f), Block(file, 1)}, {0, 4, Ack(1), Block(file, 2)},
          {0, 4, Error(0, "cancelled").substr(0, 13), "", "TFTP: Received error 0 packet - cancelled\nTFTP: Ended " + m_f +  // no NUL
           " to 127.0.0.1:4 early: the client's error 0 \"cancelled\", after 512 bytes in 2 blocks\n"},
          {0, 5, Rrq(m_f), Block(file, 1)}, {0, 5, Net16(5) + Net16(3), "", "TFTP: Received error 3 packet - no reason given\n"
           "TFTP: Ended " + m_f + " to 127.0.0.1:5 early: the client's error 3 \"\", after 0 bytes in 1 blocks\n"},
          {0, 6, Rrq(m_sub + "/s"), Block(small, 1)}, {0, 6, Ack(1), Block(small, 2)}, {1000, 0, "", "6:" + Block(small, 2)},
          {2000, 0, "", "6:" + Block(small, 2)}, {4000, 0, "", "", "TFTP: Sent " + m_sub + "/s to 127.0.0.1:6: 600 bytes in 2 blocks of "
           "512, 7.000 s, 2 blocks resent, options: none, the last ACK did not arrive\n"}, {0, 6, Ack(2), ""},
          {0, 7, Rrq(m_f), Block(file, 1)}});
    m_server.Stop();  // the client still served is told, and its transfer recorded
    EXPECT_EQ(Reply(0, ""), "7:" + Error(0, "Server stopped."));
    EXPECT_EQ(m_records, (std::vector<string>{"Finished 127.0.0.1:1 " + m_f + " [blksize 1024, windowsize 2] 3000 3x1024 1234ms 1 0 ",
                                              "SizeProbe 127.0.0.1:3 " + kHuge + " [tsize 5368709120, blksize 1428] 0 0x1428 0ms 0 8 probe",
                                              "ClientError 127.0.0.1:4 " + m_f + " [] 512 2x512 0ms 0 0 cancelled",
                                              "ClientError 127.0.0.1:5 " + m_f + " [] 0 1x512 0ms 0 3 ",
                                              "SentUnacknowledged 127.0.0.1:6 " + m_sub + "/s [] 600 2x512 7000ms 2 0 ",
                                              "ServerStopped 127.0.0.1:7 " + m_f + " [] 0 1x512 0ms 0 0 "}));
}

// Every 20th datagram arrives twice; the client acknowledges each window's last block and, as UEFI does, repeats
// its ACK for a block out of order: no lasting doubling of the DATA sent, in lock-step or with a window.
TEST_F(Engine, DuplicatedDatagramsDoNotMultiplyTheDataSent)
{
    const string file = Put("f", 200 * 512 + 7);
    for (std::size_t nWindow : {1, 8})
    {
        std::vector<string> toServer{Rrq(m_f, nWindow > 1 ? P("windowsize", std::to_string(nWindow)) : "")};
        string received;
        std::size_t nData = 0, nHave = 0;
        std::uint16_t nTo = 6051;  // where the client sends: the port of the server's last DATA
        for (std::size_t n = 0; n < toServer.size() && n < 5000; ++n)
        {
            FakeAdvanceClock(1);
            ASSERT_TRUE(FakeDeliver(1, toServer[n], LOCAL, nTo) && (n % 20 || FakeDeliver(1, toServer[n], LOCAL, nTo)));
            for (const CSentDatagram& sent : FakeTakeSent())
            {
                nTo = sent.m_nFrom;
                bool bNext = sent.m_bytes == Block(file, nHave + 1), bOack = sent.m_bytes[1] == 6;
                nData += !bOack;
                received += bNext ? sent.m_bytes.substr(4) : "";
                nHave += bNext;
                if (bOack || !bNext || nHave % nWindow == 0 || sent.m_bytes.size() < 516)
                    toServer.push_back(Ack(nHave));
            }
        }
        EXPECT_EQ(received, file);
        EXPECT_LE(nData, 221u) << "DATA datagrams sent for 201 blocks, window " << nWindow;
    }
}

TEST(EngineLifecycle, AStopRightAfterTheStartEndsTheThread)  // even before the thread has its socket; or the object's end
{
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE([i] { CTFTPServer server; return server.Start() != nullptr && (i % 2 || (server.Stop(), true)); }());
}
