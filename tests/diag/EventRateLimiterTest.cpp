// The event rate limit against a settable clock: the burst, the steady rate, the count left out, the tick wrap.
#include <gtest/gtest.h>

#include "diag/EventRateLimiter.h"

TEST(EventRateLimiter, BurstThenSteadyRateAndCountOfTheRest)
{
    for (std::uint32_t nStart : {0u, 0xFFFFFF00u})
    {
        CEventRateLimiter limiter(nStart);
        auto admitted = [&](std::uint32_t nAtMs, int nTries) {
            int n = 0;
            for (int i = 0; i < nTries; ++i)
                n += limiter.Admit(nStart + nAtMs) ? 1 : 0;
            return n;
        };
        EXPECT_EQ(admitted(0, 1000), 10);
        EXPECT_EQ(limiter.TakeLeftOut(), 990u);
        EXPECT_EQ(limiter.TakeLeftOut(), 0u);
        EXPECT_EQ(admitted(499, 5), 0);
        EXPECT_EQ(admitted(500, 5), 1);   // two events a second
        EXPECT_EQ(admitted(2500, 5), 4);
        EXPECT_EQ(limiter.TakeLeftOut(), 10u);
        EXPECT_EQ(admitted(3600000, 50), 10);  // a long quiet time saves up one burst, no more
    }
}
