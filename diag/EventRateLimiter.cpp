// CEventRateLimiter: a credit of time that every written event spends and that the passing time refills.
#include "diag/EventRateLimiter.h"

CEventRateLimiter::CEventRateLimiter(std::uint32_t nNowMs) : m_nLastMs(nNowMs) {}

bool CEventRateLimiter::Admit(std::uint32_t nNowMs)
{
    // Unsigned difference: right across the wrap of the tick count.
    const std::uint32_t nElapsed = nNowMs - m_nLastMs;
    m_nLastMs = nNowMs;
    m_nCreditMs = nElapsed >= FULL_CREDIT_MS - m_nCreditMs ? FULL_CREDIT_MS : m_nCreditMs + nElapsed;
    if (m_nCreditMs < MS_PER_EVENT)
    {
        ++m_nLeftOut;
        return false;
    }
    m_nCreditMs -= MS_PER_EVENT;
    return true;
}

std::uint32_t CEventRateLimiter::TakeLeftOut()
{
    const std::uint32_t nLeftOut = m_nLeftOut;
    m_nLeftOut = 0;
    return nLeftOut;
}
