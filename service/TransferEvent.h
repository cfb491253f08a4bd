// The record of every boot in service mode: one Application-log event per ended transfer, within a rate limit.
#pragma once
#include <windows.h>

#include "diag/EventRateLimiter.h"
#include "diag/EventSource.h"
#include "tftp/Platform.h"
#include "tftp/TransferRecord.h"

// The event of one transfer record: its ID in the message table, its type and its ten insertion strings
// (client, file name, bytes, blocks, block size, options, seconds, blocks resent, ERROR code, ERROR text).
struct CTransferEvent
{
    static constexpr WORD STRINGS = 10;
    static constexpr int TEXT_CHARS = 512;  // a longer name or text is cut

    DWORD m_dwEventId;
    WORD m_wType;
    WCHAR m_szClient[SOCKET_ADDRESS_TEXT_BYTES];  // "[2001:db8::20]:1758" too
    WCHAR m_szFile[TEXT_CHARS];
    WCHAR m_szBytes[24];
    WCHAR m_szBlocks[12];
    WCHAR m_szBlockSize[12];
    WCHAR m_szOptions[TEXT_CHARS];
    WCHAR m_szSeconds[16];
    WCHAR m_szResent[12];
    WCHAR m_szErrorCode[8];
    WCHAR m_szErrorText[TEXT_CHARS];
    LPCWSTR m_rgpszStrings[STRINGS];
};

// Fills event from record; a peer's control bytes (in the name or the ERROR text) are written as \xNN.
void MakeTransferEvent(const CTransferRecord& record, CTransferEvent& event);

// The server's record sink in service mode; lives longer than the server that calls it.
class CTransferEventLog
{
public:
    explicit CTransferEventLog(LPCWSTR pszSourceName);
    CTransferEventLog(const CTransferEventLog&) = delete;
    CTransferEventLog& operator=(const CTransferEventLog&) = delete;

    // A PfnTransferRecord: pContext is the CTransferEventLog.
    static void OnRecord(const CTransferRecord& record, void* pContext);

private:
    void Write(const CTransferRecord& record);

    CEventSource m_source;
    CEventRateLimiter m_limiter;
};
