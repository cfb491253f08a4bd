// Peer text escaped and cut in-process; the trace line as printed: quiet until switched on, '%' kept, escaped, cut.
#include <gtest/gtest.h>

#include "diag/PeerText.h"
#include "diag/Trace.h"
#include "tests/diag/StdoutCapture.h"

TEST(PeerText, ControlBytesEscapedAndCutBeforeTheFirstOneThatDoesNotFitWhole)
{
    const struct { std::string text; std::size_t nOutChars; std::string escaped; } rgCases[] = {
        {std::string("a\0\x1f\x7f\x80%\xff", 7), 17, "a\\x00\\x1f\\x7f\x80%\xff"}, {"abc\x01", 8, "abc\\x01"},
        {"abc\x01z", 8, "abc\\x01"}, {"abc\x01", 7, "abc"}, {"abcd", 4, "abc"}, {"a", 1, ""}};
    char szOut[17];
    for (const auto& c : rgCases)
        EXPECT_EQ(c.escaped, std::string(szOut, EscapePeerText(c.text.data(), c.text.size(), szOut, c.nOutChars)));
}

TEST(Trace, NarrowLinesAsPrinted)
{
    const std::string rrq = "TFTP: Received RRQ for ", n487(487, 'n'), n486(486, 'n');
    const struct { int bQuiet; std::string name, printed; } rgCases[] = {
        {1, "boot.bin", ""}, {0, "a%sb%n%d%%.bin", rrq + "a%sb%n%d%%.bin\n"},
        {0, "x\nTFTP: Transferred 7 blocks ...\n\x1b", rrq + "x\\x0aTFTP: Transferred 7 blocks ...\\x0a\\x1b\n"},
        // 511 characters with the line end print whole; a cut line (before an escape, by the formatter) ends in one.
        {0, n487, rrq + n487 + "\n"}, {0, n486 + "\t", rrq + n486 + "\n"}, {0, n487 + "ab", rrq + n487 + "\n"}};
    for (const auto& c : rgCases)
    {
        CStdoutCapture capture;
        g_bTraceQuiet = c.bQuiet;
        TraceA("TFTP: Received RRQ for %s\n", c.name.c_str());
        EXPECT_EQ(capture.Text(), c.printed) << c.name;
    }
    CStdoutCapture capture;  // line ends only from the format: 511 characters whole, "\n" alone, a cut wide line too
    TraceA("%s", (std::string(507, 'n') + "\x01").c_str()), TraceA("\n");
    TraceW(L"%ls\n", std::wstring(600, L'w').c_str()), TraceW(L"%ls", L"x");
    EXPECT_EQ(capture.Text(), std::string(507, 'n') + "\\x01\n" + std::string(510, 'w') + "\nx");
}
