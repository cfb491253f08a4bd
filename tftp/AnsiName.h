// Names between UTF-16 and the calling thread's ANSI code page, converted exactly or not at all.
#pragma once
#include <string>

// The name in the ANSI code page, only when it converts back unchanged: a character that the code page
// lacks would otherwise become a near (best-fit) or a default character, and name something else.
bool NarrowAnsiName(const std::wstring& name, std::string* pNarrow);
// A name taken in the ANSI code page, in UTF-16; false for bytes that are no character of the code page.
bool WidenAnsiName(const std::string& name, std::wstring* pWide);
