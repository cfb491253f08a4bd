// Tests of the server object in this process on UDP port 6051: start and stop while the port is held and
// while receiving, and the trace lines of peer-supplied texts (cut, '%', unclosed strings, long paths).
#include "tests/tftp/unit/UdpTestPeer.h"

#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "diag/Trace.h"
#include "tests/diag/StdoutCapture.h"
#include "tftp/Platform.h"
#include "tftp/TFTPServer.h"

namespace
{
const std::string kNotFound("\0\5\0\1File does not exist.\0", 25);

std::string ReadRequest(const std::string& name, const std::string& mode = "octet")
{
    return std::string("\0\1", 2) + name + '\0' + mode + '\0';
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class ServerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_capture.IsCapturing());
        g_bTraceQuiet = 0;
    }

    void TearDown() override { g_bTraceQuiet = 1; }

    // The server answers once it is bound: a request for a missing file draws ERROR 1. Answers to
    // requests repeated while it was not yet bound are taken out of the way.
    static bool WaitUntilServing(CUdpTestPeer& peer)
    {
        std::string reply;
        if (!peer.Exchange(ReadRequest("corvane-no-such-file.bin"), &reply, 40, 250) || reply != kNotFound)
            return false;
        for (int i = 0; i < 10 && peer.Receive(&reply, 300); ++i)
        {
        }
        return true;
    }

    CStdoutCapture m_capture;
};
}

TEST_F(ServerTest, StopWhileWaitingForTheHeldPortEndsTheThreadWithoutListening)
{
    CUdpTestPeer holder(CUdpTestPeer::HOLD_SERVER_PORT);
    ASSERT_TRUE(holder.IsBound()) << "UDP port 6051 is in use by someone else";
    {
        CTFTPServer server;
        ASSERT_NE(server.Start(), nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a few silent bind attempts
        EXPECT_TRUE(server.Stop());
        // Stop has waited for the thread: its last line is already out.
        EXPECT_EQ(m_capture.Text(), "Starting TFTP server\n"
                                    "Entering CTFTPServer::Entry().\n"
                                    "CTFTPServer::Entry() is down!\n");
    }
    EXPECT_EQ(m_capture.Text(), "Starting TFTP server\n"
                                "Entering CTFTPServer::Entry().\n"
                                "CTFTPServer::Entry() is down!\n")
        << "nothing more after the object is gone";
}

TEST_F(ServerTest, StopWhileReceivingEndsAtOnceWithoutAReceiveFailureAndFreesThePort)
{
    {
        CTFTPServer server;
        ASSERT_NE(server.Start(), nullptr);
        CUdpTestPeer peer;
        ASSERT_TRUE(WaitUntilServing(peer));
        EXPECT_TRUE(server.Stop());
        const std::string text = m_capture.Text();
        EXPECT_TRUE(EndsWith(text, "TFTP: Received read request for invalid file\nCTFTPServer::Entry() is down!\n"))
            << text;
        EXPECT_FALSE(Contains(text, "recv() failed")) << text;
    }
    CUdpTestPeer holder(CUdpTestPeer::HOLD_SERVER_PORT);
    EXPECT_TRUE(holder.IsBound()) << "the server's socket was closed";
}

TEST_F(ServerTest, ObjectThatIsNeverStoppedStopsItselfWhenDestroyed)
{
    {
        CTFTPServer server;
        ASSERT_NE(server.Start(), nullptr);
        CUdpTestPeer peer;
        ASSERT_TRUE(WaitUntilServing(peer));
    }
    EXPECT_TRUE(EndsWith(m_capture.Text(), "CTFTPServer::Entry() is down!\n"));
}

// A stop can come before the server thread has made its socket; the thread must still end, and Stop
// must not wait for ever.
TEST_F(ServerTest, StopRightAfterStartEndsTheThreadEveryTime)
{
    constexpr int ROUNDS = 20;
    for (int i = 0; i < ROUNDS; ++i)
    {
        CTFTPServer server;
        ASSERT_NE(server.Start(), nullptr);
        EXPECT_TRUE(server.Stop());
    }
    const std::string text = m_capture.Text();
    int nEntered = 0;
    int nDown = 0;
    for (std::size_t at = 0; (at = text.find("Entering CTFTPServer::Entry().\n", at)) != std::string::npos; ++at)
        ++nEntered;
    for (std::size_t at = 0; (at = text.find("CTFTPServer::Entry() is down!\n", at)) != std::string::npos; ++at)
        ++nDown;
    EXPECT_EQ(nEntered, ROUNDS);
    EXPECT_EQ(nDown, ROUNDS);
    EXPECT_FALSE(Contains(text, "recv() failed")) << text;
}

// Peer-supplied texts reach the trace through "%s": percent signs stay as they are, overlong lines are cut
// after 511 characters (so the next line follows on the same one), and a request whose full path does not
// fit the path buffer is answered as a missing file.
TEST_F(ServerTest, PeerTextsInTraceLines)
{
    CTFTPServer server;
    ASSERT_NE(server.Start(), nullptr);
    CUdpTestPeer peer;
    ASSERT_TRUE(WaitUntilServing(peer));

    std::string reply;
    ASSERT_TRUE(peer.Exchange(ReadRequest("a%sb%n%d.bin"), &reply));
    EXPECT_EQ(reply, kNotFound);

    const std::string longName(1500, 'L');
    ASSERT_TRUE(peer.Exchange(ReadRequest(longName), &reply));
    EXPECT_EQ(reply, kNotFound) << "a full path longer than the path buffer";

    const std::string longMode(600, 'm');
    ASSERT_TRUE(peer.Exchange(ReadRequest("x.bin", longMode), &reply));
    EXPECT_EQ(reply, std::string("\0\5\0\4Only octet transfer mode supported.\0", 40));
    EXPECT_TRUE(server.Stop());

    const std::string text = m_capture.Text();
    EXPECT_TRUE(Contains(text, "TFTP: Received RRQ for a%sb%n%d.bin\n"
                               "TFTP: Received read request for invalid file\n"))
        << text;
    const std::string rrqLine = "TFTP: Received RRQ for ";
    EXPECT_TRUE(Contains(text, rrqLine + longName.substr(0, 511 - rrqLine.size()) +
                                   "TFTP: Received read request for invalid file\n"))
        << text;
    const std::string modeLine = "TFTP: Received read request for ";
    EXPECT_TRUE(Contains(text, modeLine + longMode.substr(0, 511 - modeLine.size()) + "CTFTPServer::Entry()"))
        << text;
}
