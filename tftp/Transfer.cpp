// The transfer table's rules: which transfer a full table gives up for a new request, and how many a host holds.
#include "tftp/Transfer.h"

#include <algorithm>

CTransfer* ChooseDisplaced(CTransfer* rgTransfers, int nTransfers, std::uint32_t nNow)
{
    CTransfer* pOldestUnconfirmed = nullptr;
    CTransfer* pSilentLongest = nullptr;
    for (int i = 0; i < nTransfers; ++i)
    {
        CTransfer& transfer = rgTransfers[i];
        if (!transfer.m_bInUse)
            continue;
        // Ages from now backwards, so that they compare right across the tick count's wrap.
        if (transfer.IsUnconfirmed())
        {
            if (pOldestUnconfirmed == nullptr ||
                nNow - transfer.m_nStartTick > nNow - pOldestUnconfirmed->m_nStartTick)
                pOldestUnconfirmed = &transfer;
            continue;
        }
        std::uint32_t nSilence = nNow - transfer.m_nLastHeardTick;
        if (nSilence >= std::min(transfer.m_nIntervalMs, DISPLACEABLE_SILENCE_MS) &&
            (pSilentLongest == nullptr || nSilence > nNow - pSilentLongest->m_nLastHeardTick))
            pSilentLongest = &transfer;
    }
    return pOldestUnconfirmed != nullptr ? pOldestUnconfirmed : pSilentLongest;
}

int CountTransfersOfHost(const CTransfer* rgTransfers, int nTransfers, const CSocketAddress& client)
{
    int nCount = 0;
    for (int i = 0; i < nTransfers; ++i)
        nCount += rgTransfers[i].m_bInUse && rgTransfers[i].m_addrClient.SameHost(client);
    return nCount;
}
