// patchpack.exe's CreateFileA, SetFileAttributesA and CreateDirectoryA for
// the core: the system's, checked below the folder ConfineWritesTo names.
// patchpack.exe is linked with ld's --wrap for the three imports.
//
// The ANSI calls cannot open a name relative to a folder handle, so the path
// is checked just before each call: a link that another program makes in
// that moment is not caught.
#include <cstring>

#include "confined_writes.h"

typedef HANDLE(WINAPI* CreateFileFunction)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                                           DWORD, HANDLE);
typedef BOOL(WINAPI* SetAttributesFunction)(LPCSTR, DWORD);
typedef BOOL(WINAPI* CreateDirectoryFunction)(LPCSTR, LPSECURITY_ATTRIBUTES);

// The import slots, under --wrap's names (i386 symbols begin with '_').
extern "C" {
extern CreateFileFunction realCreateFile __asm__("___real__imp__CreateFileA@28");
extern SetAttributesFunction realSetAttributes __asm__("___real__imp__SetFileAttributesA@8");
extern CreateDirectoryFunction realCreateDirectory __asm__("___real__imp__CreateDirectoryA@8");
}

namespace {

// The extractor's paths hold 1,024 bytes.
const std::size_t kCapacity = 1024;
// The folder with a separator at its end, as the paths joined below it
// begin; empty when nothing is confined.
char g_folder[kCapacity];

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool Below(LPCSTR path) {
  std::size_t length = std::strlen(g_folder);
  return length != 0 && std::strncmp(path, g_folder, length) == 0 && path[length] != '\0' &&
         std::strlen(path) < kCapacity;
}

// Whether a component below the folder, the last one too when withLast, is
// a reparse point. Wine shows a Unix link to a folder as one; the first
// component missing ends the walk, as nothing lies below it.
bool ThroughReparsePoint(LPCSTR path, bool withLast) {
  if (!Below(path)) return false;
  char prefix[kCapacity];
  std::strcpy(prefix, path);
  for (std::size_t i = std::strlen(g_folder);; ++i) {
    bool end = path[i] == '\0';
    if (end && !withLast) return false;
    if (!end && !IsSeparator(path[i])) continue;
    prefix[i] = '\0';
    DWORD attributes = GetFileAttributesA(prefix);
    prefix[i] = path[i];
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
    if (end) return false;
  }
}

HANDLE WINAPI ConfinedCreateFile(LPCSTR name, DWORD access, DWORD share,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                 HANDLE templateFile) {
  bool writing = (access & GENERIC_WRITE) != 0;
  if (writing && ThroughReparsePoint(name, true)) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = realCreateFile(name, access, share, security, disposition, flags, templateFile);
  // Wine opens a FIFO under a disk name, as a pipe.
  if (file != INVALID_HANDLE_VALUE && writing && Below(name) &&
      GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    SetLastError(ERROR_BAD_FILE_TYPE);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

BOOL WINAPI ConfinedSetFileAttributes(LPCSTR name, DWORD attributes) {
  if (ThroughReparsePoint(name, true)) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return FALSE;
  }
  return realSetAttributes(name, attributes);
}

BOOL WINAPI ConfinedCreateDirectory(LPCSTR name, LPSECURITY_ATTRIBUTES security) {
  if (ThroughReparsePoint(name, false)) {
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return FALSE;
  }
  return realCreateDirectory(name, security);
}

}  // namespace

extern "C" {

// What the core's calls go through in patchpack.exe.
CreateFileFunction wrapCreateFile __asm__("___wrap__imp__CreateFileA@28") = ConfinedCreateFile;
SetAttributesFunction wrapSetAttributes __asm__("___wrap__imp__SetFileAttributesA@8") =
    ConfinedSetFileAttributes;
CreateDirectoryFunction wrapCreateDirectory __asm__("___wrap__imp__CreateDirectoryA@8") =
    ConfinedCreateDirectory;

BOOL ConfineWritesTo(LPCSTR folder) {
  g_folder[0] = '\0';
  std::size_t length = folder != nullptr ? std::strlen(folder) : 0;
  // A longer folder leaves no room for a name in the extractor's paths:
  // nothing is written below it.
  if (folder == nullptr || length + 2 > kCapacity) return TRUE;
  std::memcpy(g_folder, folder, length + 1);
  if (length == 0 || !IsSeparator(folder[length - 1])) std::strcpy(g_folder + length, "\\");
  return TRUE;
}

}  // extern "C"
