// Path safety of requested file names: what a network peer may name at all, before any file is touched.
#pragma once

// False for a name that could leave the boot directory or reach a device: a component ".." or made only of
// dots and spaces (empty components included), a leading '/' or '\', any ':' (drive letters, alternate
// streams), or a component that is a reserved device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9,
// LPT0-9, also with an extension or trailing spaces, in any case). Both '/' and '\' separate components.
bool IsSafeRequestName(const char* pszName);
