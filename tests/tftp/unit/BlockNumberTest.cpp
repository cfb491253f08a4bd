// Tests of the block-number arithmetic: the roll-over from 65535 to 0 and which ACK calls for a resend.
#include <gtest/gtest.h>

#include "tftp/BlockNumber.h"

TEST(BlockNumber, CountsOnThroughTheSignBitAndRollsOverTo0)
{
    EXPECT_EQ(NextBlockNumber(1), 2);
    EXPECT_EQ(NextBlockNumber(32766), 32767);
    EXPECT_EQ(NextBlockNumber(32767), -32768) << "0x8000 on the wire";
    EXPECT_EQ(NextBlockNumber(-2), -1);
    EXPECT_EQ(NextBlockNumber(-1), 0) << "after 65535 comes 0";
    EXPECT_EQ(NextBlockNumber(0), 1);

    std::int16_t nBlock = 0;
    for (int i = 0; i < 65536; ++i)
        nBlock = NextBlockNumber(nBlock);
    EXPECT_EQ(nBlock, 0);
}

TEST(BlockNumber, AckOfThePreviousBlockCallsForAResend)
{
    EXPECT_TRUE(CallsForResend(4, 5, false));
    EXPECT_FALSE(CallsForResend(5, 5, false));
    EXPECT_FALSE(CallsForResend(3, 5, false));
    EXPECT_FALSE(CallsForResend(6, 5, false));
    EXPECT_TRUE(CallsForResend(32766, 32767, false));
    EXPECT_TRUE(CallsForResend(32767, -32768, false)) << "ACK 0x7FFF calls for DATA 0x8000";
    EXPECT_TRUE(CallsForResend(-1, 0, false)) << "ACK 65535 calls for DATA 0 after the roll-over";
    EXPECT_TRUE(CallsForResend(0, 1, false)) << "ACK 0 calls for DATA 1 after the roll-over";
    EXPECT_FALSE(CallsForResend(-1, 1, false));
}

TEST(BlockNumber, Ack0ResendsTheFirstData1OnlyAfterAnOack)
{
    EXPECT_FALSE(CallsForResend(0, 1, true)) << "without an OACK, ACK 0 acknowledges nothing";
    EXPECT_TRUE(CallsForResend(0, 1, false)) << "the client repeats the ACK 0 of the OACK when DATA 1 is lost";
}
