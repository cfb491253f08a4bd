// Error event report: one error event in the Application log under the fixed source "ZetCorvane".
#pragma once
#include <windows.h>

// Formats the message like TraceW (at most 511 characters) and writes it with WriteErrorEvent.
// nError is the error code that the message reports; it fills the first insertion string.
void ReportErrorEvent(int nError, LPCWSTR pszFormat, ...);

// The error event's ID: its message in the executable's message table shows both insertion strings, one per
// line, so Event Viewer shows the failure's text and not only its code.
constexpr DWORD ERROR_EVENT_ID = 9;

// Writes one error event, category 0, event ID ERROR_EVENT_ID, with two insertion strings:
// "ZetCorvane error: <nError>" and the message. Dropped silently when the source cannot be registered.
void WriteErrorEvent(int nError, LPCWSTR pszMessage);
