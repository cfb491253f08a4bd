// The event rate limit on a settable clock: a burst of 10, 2 a second, one burst saved up, the rest counted.
#include <gtest/gtest.h>

#include <vector>

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
        const int rgAdmitted[] = {admitted(0, 1000), admitted(499, 5), admitted(500, 5), admitted(2500, 5)};
        EXPECT_EQ(std::vector<int>(rgAdmitted, rgAdmitted + 4), std::vector<int>({10, 0, 1, 4}));
        EXPECT_EQ(limiter.TakeLeftOut(), 1000u);
        EXPECT_EQ(limiter.TakeLeftOut(), 0u);
        EXPECT_EQ(admitted(3600000, 50), 10);
    }
}
