// The table's choice of the transfer that a new request displaces, from the table and the time alone.
#include <gtest/gtest.h>

#include <memory>

#include "tftp/Transfer.h"

TEST(TransferTable, TheOldestUnconfirmedGoesFirstAConfirmedOneOnlyAfterItsSilence)
{
    std::unique_ptr<CTransfer[]> table(new CTransfer[4]);
    const std::uint32_t kStart = 0xFFFFFF00u;  // the ticks wrap in between
    // {confirmed, started, last heard, interval}: a timeout of 255 s, the default 1 s, two requests never answered.
    const struct { bool bConfirmed; std::uint32_t nStart, nHeard, nInterval; } rows[] = {
        {true, kStart, kStart, 255000}, {true, kStart, kStart + 1000, 1000}, {false, kStart + 30, 0, 1000},
        {false, kStart + 20, 0, 1000}};
    for (int i = 0; i < 4; ++i)
    {
        CTransfer& t = table[i];
        t.m_bInUse = i < 2;  // the unconfirmed ones join later
        t.m_nFirstUnacked = rows[i].bConfirmed ? 2 : 1;
        t.m_nStartTick = rows[i].nStart, t.m_nLastHeardTick = rows[i].bConfirmed ? rows[i].nHeard : rows[i].nStart;
        t.m_nIntervalMs = rows[i].nInterval;
    }
    EXPECT_EQ(ChooseDisplaced(table.get(), 4, kStart + 1999), nullptr);         // both clients spoke within their bounds
    EXPECT_EQ(ChooseDisplaced(table.get(), 4, kStart + 2000), &table[1]);       // silent for its interval
    EXPECT_EQ(ChooseDisplaced(table.get(), 4, kStart + 5000), &table[0]);       // 5 s whatever its timeout, and longer silent
    table[2].m_bInUse = table[3].m_bInUse = true;
    EXPECT_EQ(ChooseDisplaced(table.get(), 4, kStart + 5000), &table[3]);       // the oldest unconfirmed, before all of them
    table[3].m_bOackPending = false, table[3].m_nOackLength = 20;            // its client acknowledged the OACK
    EXPECT_EQ(ChooseDisplaced(table.get(), 4, kStart + 5000), &table[2]);
}
