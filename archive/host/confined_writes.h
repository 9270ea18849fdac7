// The core's writes kept inside one folder, for patchpack extract: nothing
// below it is written through a link, and nothing but a file is written. Off
// Windows the core's own file layer does it (platform_files.h); on Windows
// patchpack.exe links the core's file imports to confined_writes_win32.cpp,
// while the installer, which links the same core, keeps the system's own.
#ifndef ARCHIVE_HOST_CONFINED_WRITES_H
#define ARCHIVE_HOST_CONFINED_WRITES_H

#include "platform_files.h"

#ifdef _WIN32
extern "C" {
// Below folder, a reparse point (symbolic link, junction) on the way fails
// with ERROR_CANT_RESOLVE_FILENAME, and what opens as no disk file with
// ERROR_BAD_FILE_TYPE. Null confines nothing. Always TRUE.
BOOL ConfineWritesTo(LPCSTR folder);
}
#endif

#endif  // ARCHIVE_HOST_CONFINED_WRITES_H
