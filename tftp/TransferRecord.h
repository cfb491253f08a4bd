// CTransferRecord: what one transfer was when it ended, handed to whoever keeps the record of every boot.
#pragma once
#include <cstdint>

// How a transfer ended; one record kind each.
enum class ETransferEnd : std::uint8_t
{
    Finished,       // the client acknowledged the last block
    Refused,        // the request was answered with an ERROR and no file was sent
    SizeProbe,      // the client's ERROR right after the OACK: how a client asks only for the file's size
    ClientError,    // the client's ERROR during the transfer
    ReadFailed,     // the served file could not be read
    DroppedIdle,    // the client stayed silent past the give-up bound
    DroppedBusy,    // displaced by a new request while the table was full
    Restarted,      // the client's different request started its transfer over
    ServerStopped,  // the server stopped while the transfer was under way
    SentUnacknowledged,  // every block went out, but the client stayed silent after the last: its ACK did not arrive
};

// The texts point into the server's own buffers and hold only during the call that hands the record over:
// a keeper copies what it keeps. Names and texts are as the client sent them, control bytes not yet escaped.
struct CTransferRecord
{
    ETransferEnd m_eEnd;
    const char* m_pszClient;        // "A.B.C.D:PORT"
    const char* m_pszFile;          // the requested name
    const char* m_pszOptions;       // the accepted options as acknowledged, "blksize 1428, tsize 2048", or ""
    std::uint64_t m_nBytes;         // file bytes the client acknowledged; SentUnacknowledged: the whole file's
    std::uint32_t m_nBlocks;        // distinct DATA blocks sent
    std::uint32_t m_nBlockSize;
    std::uint32_t m_nMilliseconds;  // from the request to the end
    std::uint32_t m_nBlocksResent;
    std::uint16_t m_nErrorCode;     // Refused: the code sent; ClientError and SizeProbe: the client's
    const char* m_pszErrorText;     // Refused: the text sent; ClientError and SizeProbe: the client's; else ""
};

// Called on the server thread as each transfer ends, after its trace lines.
using PfnTransferRecord = void (*)(const CTransferRecord& record, void* pContext);
