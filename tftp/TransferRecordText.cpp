// The one-line text of a transfer's record: what ended, for whom, and how far it came.
#include "tftp/TransferRecordText.h"

#include <cstdio>

void FormatTransferRecord(const CTransferRecord& record, char* pszText, std::size_t cbText)
{
    const char* pszWhy = nullptr;
    switch (record.m_eEnd)
    {
    case ETransferEnd::Finished:
    case ETransferEnd::SentUnacknowledged:
        std::snprintf(pszText, cbText, "Sent %s to %s: %llu bytes in %u blocks of %u, %u.%03u s, %u blocks resent, options: %s%s",
                      record.m_pszFile, record.m_pszClient, static_cast<unsigned long long>(record.m_nBytes),
                      unsigned(record.m_nBlocks), unsigned(record.m_nBlockSize), unsigned(record.m_nMilliseconds / 1000),
                      unsigned(record.m_nMilliseconds % 1000), unsigned(record.m_nBlocksResent),
                      record.m_pszOptions[0] != '\0' ? record.m_pszOptions : "none",
                      record.m_eEnd == ETransferEnd::SentUnacknowledged ? ", the last ACK did not arrive" : "");
        return;
    case ETransferEnd::Refused:
        std::snprintf(pszText, cbText, "Refused %s from %s: error %u \"%s\"", record.m_pszFile, record.m_pszClient,
                      unsigned(record.m_nErrorCode), record.m_pszErrorText);
        return;
    case ETransferEnd::SizeProbe:
        std::snprintf(pszText, cbText, "Size probe for %s from %s, options: %s, ended by the client's error %u \"%s\"",
                      record.m_pszFile, record.m_pszClient, record.m_pszOptions, unsigned(record.m_nErrorCode),
                      record.m_pszErrorText);
        return;
    case ETransferEnd::ClientError:
        std::snprintf(pszText, cbText, "Ended %s to %s early: the client's error %u \"%s\", after %llu bytes in %u blocks",
                      record.m_pszFile, record.m_pszClient, unsigned(record.m_nErrorCode), record.m_pszErrorText,
                      static_cast<unsigned long long>(record.m_nBytes), unsigned(record.m_nBlocks));
        return;
    case ETransferEnd::ReadFailed:
        pszWhy = "the file could not be read";
        break;
    case ETransferEnd::DroppedIdle:
        pszWhy = "dropped after 60 s of silence";
        break;
    case ETransferEnd::DroppedBusy:
        pszWhy = "dropped for a new request while every slot was taken";
        break;
    case ETransferEnd::Restarted:
        pszWhy = "restarted by the client";
        break;
    case ETransferEnd::ServerStopped:
        pszWhy = "server stopped";
        break;
    }
    std::snprintf(pszText, cbText, "Ended %s to %s early: %s, after %llu bytes in %u blocks", record.m_pszFile,
                  record.m_pszClient, pszWhy, static_cast<unsigned long long>(record.m_nBytes), unsigned(record.m_nBlocks));
}
