// The record of every boot in service mode: a transfer record turned into its event, and written within the limit.
#include "service/TransferEvent.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <iterator>

#include "CorvaneMessages.h"
#include "diag/ErrorEvent.h"
#include "diag/PeerText.h"

namespace
{
struct CEndKind
{
    DWORD dwEventId;
    WORD wType;
};

// Indexed by ETransferEnd: an end that the client chose or that left it the whole file (finished, a size probe,
// a restart, the last ACK lost) is information, every other end a warning.
const CEndKind g_rgEndKinds[] = {
    {MSG_TRANSFER_FINISHED, EVENTLOG_INFORMATION_TYPE}, {MSG_TRANSFER_REFUSED, EVENTLOG_WARNING_TYPE},
    {MSG_TRANSFER_SIZE_PROBE, EVENTLOG_INFORMATION_TYPE}, {MSG_TRANSFER_CLIENT_ERROR, EVENTLOG_WARNING_TYPE},
    {MSG_TRANSFER_READ_FAILED, EVENTLOG_WARNING_TYPE},  {MSG_TRANSFER_DROPPED_IDLE, EVENTLOG_WARNING_TYPE},
    {MSG_TRANSFER_DROPPED_BUSY, EVENTLOG_WARNING_TYPE}, {MSG_TRANSFER_RESTARTED, EVENTLOG_INFORMATION_TYPE},
    {MSG_TRANSFER_SERVER_STOPPED, EVENTLOG_WARNING_TYPE}, {MSG_TRANSFER_SENT_UNACKNOWLEDGED, EVENTLOG_INFORMATION_TYPE},
};
static_assert(MSG_ERROR_EVENT == ERROR_EVENT_ID, "the error event's message is in the same table");
static_assert(ARRAYSIZE(g_rgEndKinds) == static_cast<int>(ETransferEnd::SentUnacknowledged) + 1, "one event per record kind");

// A peer's 8-bit text in the ANSI code page, as the server names its files, escaped as the trace shows it.
template <int nChars>
void CopyPeerText(const char* pszText, WCHAR (&szOut)[nChars])
{
    char szEscaped[nChars];
    const char* pszPeer = pszText != nullptr ? pszText : "";
    EscapePeerText(pszPeer, std::strlen(pszPeer), szEscaped, nChars);
    if (MultiByteToWideChar(CP_ACP, 0, szEscaped, -1, szOut, nChars) == 0)
        szOut[0] = L'\0';
}
}  // namespace

void MakeTransferEvent(const CTransferRecord& record, CTransferEvent& event)
{
    const CEndKind& kind = g_rgEndKinds[static_cast<int>(record.m_eEnd)];
    event.m_dwEventId = kind.dwEventId;
    event.m_wType = kind.wType;
    CopyPeerText(record.m_pszClient, event.m_szClient);
    CopyPeerText(record.m_pszFile, event.m_szFile);
    std::swprintf(event.m_szBytes, ARRAYSIZE(event.m_szBytes), L"%llu",
                  static_cast<unsigned long long>(record.m_nBytes));
    std::swprintf(event.m_szBlocks, ARRAYSIZE(event.m_szBlocks), L"%lu", static_cast<unsigned long>(record.m_nBlocks));
    std::swprintf(event.m_szBlockSize, ARRAYSIZE(event.m_szBlockSize), L"%lu",
                  static_cast<unsigned long>(record.m_nBlockSize));
    CopyPeerText(record.m_pszOptions != nullptr && record.m_pszOptions[0] != '\0' ? record.m_pszOptions : "none",
                 event.m_szOptions);
    std::swprintf(event.m_szSeconds, ARRAYSIZE(event.m_szSeconds), L"%lu.%03lu",
                  static_cast<unsigned long>(record.m_nMilliseconds / 1000),
                  static_cast<unsigned long>(record.m_nMilliseconds % 1000));
    std::swprintf(event.m_szResent, ARRAYSIZE(event.m_szResent), L"%lu",
                  static_cast<unsigned long>(record.m_nBlocksResent));
    std::swprintf(event.m_szErrorCode, ARRAYSIZE(event.m_szErrorCode), L"%u", record.m_nErrorCode);
    CopyPeerText(record.m_pszErrorText, event.m_szErrorText);
    const LPCWSTR rgpszStrings[CTransferEvent::STRINGS] = {
        event.m_szClient, event.m_szFile,    event.m_szBytes,  event.m_szBlocks,    event.m_szBlockSize,
        event.m_szOptions, event.m_szSeconds, event.m_szResent, event.m_szErrorCode, event.m_szErrorText};
    std::copy(std::begin(rgpszStrings), std::end(rgpszStrings), event.m_rgpszStrings);
}

CTransferEventLog::CTransferEventLog(LPCWSTR pszSourceName) : m_source(pszSourceName), m_limiter(GetTickCount()) {}

void CTransferEventLog::OnRecord(const CTransferRecord& record, void* pContext)
{
    static_cast<CTransferEventLog*>(pContext)->Write(record);
}

void CTransferEventLog::Write(const CTransferRecord& record)
{
    if (!m_limiter.Admit(GetTickCount()))
        return;
    // What the limit left out is told first, once, when writing resumes.
    if (const std::uint32_t nLeftOut = m_limiter.TakeLeftOut())
    {
        WCHAR szCount[12];
        std::swprintf(szCount, ARRAYSIZE(szCount), L"%lu", static_cast<unsigned long>(nLeftOut));
        LPCWSTR rgpszCount[] = {szCount};
        m_source.ReportStrings(EVENTLOG_WARNING_TYPE, MSG_RECORDS_LEFT_OUT, 1, rgpszCount);
    }
    CTransferEvent event;
    MakeTransferEvent(record, event);
    m_source.ReportStrings(event.m_wType, event.m_dwEventId, CTransferEvent::STRINGS, event.m_rgpszStrings);
}
