// The one-line text of a transfer's record, as the foreground trace prints it after the transfer's own lines.
#pragma once
#include <cstddef>

#include "tftp/TransferRecord.h"

// Writes the record's line, without "TFTP: " and line end, into a buffer of cbText bytes (cut to fit, always
// NUL-closed). Peer text is copied as received: the trace output escapes its control bytes.
void FormatTransferRecord(const CTransferRecord& record, char* pszText, std::size_t cbText);
