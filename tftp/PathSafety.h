// Path safety of requested file names: what a network peer may name, and where the named file must lie.
#pragma once

// False for a name that could leave the boot directory or reach a device: a component ".." or made only of
// dots and spaces (empty components included), a leading '/' or '\', any ':' (drive letters, alternate
// streams), or a component that is a reserved device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM0-9,
// LPT0-9, also with an extension or trailing spaces, in any case). Both '/' and '\' separate components.
bool IsSafeRequestName(const char* pszName);

// True when a resolved full path names an entry below the directory pszDirectory (which ends with its
// separator), compared byte for byte.
bool IsInsideDirectory(const char* pszFullPath, const char* pszDirectory);
