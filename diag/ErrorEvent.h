// Error event report: one error event in the Application log under the fixed source "ZetCorvane".
#pragma once
#include <windows.h>

// Formats the message like TraceW (at most 511 characters) and writes it with WriteErrorEvent.
// nError is the error code that the message reports; it fills the first insertion string.
void ReportErrorEvent(int nError, LPCWSTR pszFormat, ...);

// Writes one error event, category 0, event ID 0, with two insertion strings:
// "ZetCorvane error: <nError>" and the message. Dropped silently when the source cannot be registered.
void WriteErrorEvent(int nError, LPCWSTR pszMessage);
