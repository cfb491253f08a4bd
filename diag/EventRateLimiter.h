// CEventRateLimiter: lets a small burst of events through, then a steady few per second, and counts the rest.
#pragma once
#include <cstdint>

// The caller passes the time (a millisecond tick count that may wrap), so the limit holds for any clock.
class CEventRateLimiter
{
public:
    static constexpr std::uint32_t BURST_EVENTS = 10;
    static constexpr std::uint32_t EVENTS_PER_SECOND = 2;

    explicit CEventRateLimiter(std::uint32_t nNowMs);

    // True when an event may be written now; false counts it as left out.
    bool Admit(std::uint32_t nNowMs);
    // The events left out since the last call, and starts counting again from 0.
    std::uint32_t TakeLeftOut();

private:
    static constexpr std::uint32_t MS_PER_EVENT = 1000 / EVENTS_PER_SECOND;
    static constexpr std::uint32_t FULL_CREDIT_MS = BURST_EVENTS * MS_PER_EVENT;

    std::uint32_t m_nCreditMs = FULL_CREDIT_MS;  // time saved up for events, at most a full burst
    std::uint32_t m_nLastMs;
    std::uint32_t m_nLeftOut = 0;
};
