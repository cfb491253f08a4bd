// Trace output: printf-style protocol trace lines on standard output, silenced by one process-wide switch.
#pragma once
#include <cstdarg>
#include <cstddef>

// Nonzero: quiet (the initial value, and service mode); 0: trace lines are printed (foreground mode).
extern int g_bTraceQuiet;

// One trace message holds at most TRACE_BUFFER_CHARS - 1 characters; longer ones are cut.
constexpr std::size_t TRACE_BUFFER_CHARS = 512;

// Narrow lines carry peer text (file names, modes, error texts): every control byte (0x00-0x1F, 0x7F) but
// the format's closing line end is printed as \xNN (EscapePeerText), and the cut applies to the line as printed.
void TraceA(const char* pszFormat, ...);
void TraceW(const wchar_t* pszFormat, ...);

// Formats into a buffer of TRACE_BUFFER_CHARS characters, always NUL-closed, cut after the first
// TRACE_BUFFER_CHARS - 1 characters. The error event formats its message the same way.
void FormatTraceTextW(wchar_t* pszBuffer, const wchar_t* pszFormat, va_list args);
