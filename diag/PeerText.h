// Peer text as the program shows it: a peer's control bytes written as \xNN, cut only between whole characters.
#pragma once
#include <cstddef>

// Copies nText bytes of a peer's text (a file name, a mode, an ERROR text) into pszOut with every control byte
// (0x00-0x1F, 0x7F) written as \xNN, so that it can neither forge a line nor drive a terminal nor hide in a viewer.
// At most nOutChars - 1 characters and a NUL (nOutChars > 0): the copy ends before the first byte or escape that
// does not fit whole. Returns the characters written before the NUL.
std::size_t EscapePeerText(const char* pchText, std::size_t nText, char* pszOut, std::size_t nOutChars);
