// Tests of the trace output: the quiet switch, the 511-character cut, literal '%', order of lines, flushing.
#include <cstdarg>
#include <cwchar>
#include <string>

#include <gtest/gtest.h>

#include "diag/Trace.h"
#include "tests/diag/StdoutCapture.h"

namespace
{
class TraceTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_capture.IsCapturing()); }
    void TearDown() override { g_bTraceQuiet = 1; }

    CStdoutCapture m_capture;
};

std::wstring FormatW(const wchar_t* pszFormat, ...)
{
    wchar_t szBuffer[TRACE_BUFFER_CHARS + 8];
    std::wmemset(szBuffer, L'#', TRACE_BUFFER_CHARS + 8);
    va_list args;
    va_start(args, pszFormat);
    FormatTraceTextW(szBuffer, pszFormat, args);
    va_end(args);
    // Nothing beyond the 512 characters of the buffer may have been touched.
    for (std::size_t i = TRACE_BUFFER_CHARS; i < TRACE_BUFFER_CHARS + 8; ++i)
        EXPECT_EQ(szBuffer[i], L'#') << "written past the buffer at " << i;
    return szBuffer;
}
}

TEST_F(TraceTest, QuietUntilSwitchedOnAndWhenSwitchedOff)
{
    TraceA("TFTP: Received RRQ for %s\n", "boot.bin");
    TraceW(L"Starting TFTP server\n");
    EXPECT_EQ(m_capture.Text(), "") << "quiet is the initial state";

    g_bTraceQuiet = 0;
    TraceA("TFTP: Received RRQ for %s\n", "boot.bin");
    g_bTraceQuiet = 7;
    TraceA("TFTP: Received RRQ for %s\n", "other.bin");
    TraceW(L"Error %d calling WSACleanup\n", 10093);
    EXPECT_EQ(m_capture.Text(), "TFTP: Received RRQ for boot.bin\n");
}

TEST_F(TraceTest, PercentSignsFromArgumentsArePrintedAsTheyAre)
{
    g_bTraceQuiet = 0;
    TraceA("TFTP: Received RRQ for %s\n", "a%sb%n%d%%.bin");
    TraceA("TFTP: Received error %d packet - %s\n", 2, "100% %x");
    EXPECT_EQ(m_capture.Text(), "TFTP: Received RRQ for a%sb%n%d%%.bin\nTFTP: Received error 2 packet - 100% %x\n");
}

TEST_F(TraceTest, NarrowMessagesAreCutAfter511Characters)
{
    g_bTraceQuiet = 0;
    const std::string exact(511, 'x');
    TraceA("%s", exact.c_str());
    TraceA("|");
    const std::string name(600, 'n');
    TraceA("TFTP: Received RRQ for %s\n", name.c_str());
    TraceA("|");
    const std::string expectedCut = "TFTP: Received RRQ for " + name.substr(0, 511 - 23);
    EXPECT_EQ(m_capture.Text(), exact + "|" + expectedCut + "|");
}

TEST_F(TraceTest, WideMessagesAreCutAfter511Characters)
{
    const std::wstring exact(511, L'w');
    EXPECT_EQ(FormatW(L"%ls", exact.c_str()), exact);
    const std::wstring longer(700, L'v');
    EXPECT_EQ(FormatW(L"err = %d %ls", 5, longer.c_str()), L"err = 5 " + longer.substr(0, 511 - 8));

    g_bTraceQuiet = 0;
    TraceW(L"%ls", longer.c_str());
    EXPECT_EQ(m_capture.Text(), std::string(511, 'v'));
}

TEST_F(TraceTest, NarrowAndWideLinesKeepTheirOrder)
{
    g_bTraceQuiet = 0;
    TraceW(L"Starting TFTP server\n");
    TraceA("Entering CTFTPServer::Entry().\n");
    TraceW(L"WSAStartup fails, err = %d.", 10091);
    TraceA("CTFTPServer::Entry() is down!\n");
    TraceW(L"Error %d calling WSACleanup\n", 10093);
    EXPECT_EQ(m_capture.Text(), "Starting TFTP server\n"
                                "Entering CTFTPServer::Entry().\n"
                                "WSAStartup fails, err = 10091.CTFTPServer::Entry() is down!\n"
                                "Error 10093 calling WSACleanup\n");
}

// The capture's Text() never flushes: what it finds is what each call pushed out itself, as a
// redirected foreground run that is ended from outside would leave it.
TEST_F(TraceTest, EachCallReachesARedirectedStreamAtOnce)
{
    g_bTraceQuiet = 0;
    TraceA("TFTP: Client closed connection\n");
    EXPECT_EQ(m_capture.Text(), "TFTP: Client closed connection\n");
    TraceW(L"Starting TFTP server\n");
    EXPECT_EQ(m_capture.Text(), "TFTP: Client closed connection\nStarting TFTP server\n");
}
