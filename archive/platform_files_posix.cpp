// POSIX implementation of the Win32 file subset declared in platform_files.h.
#include "platform_files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

DWORD ErrorFromErrno(int error) {
  switch (error) {
    case 0:
      return ERROR_SUCCESS;
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case EROFS:
      return ERROR_WRITE_PROTECT;
    case EEXIST:
      return ERROR_ALREADY_EXISTS;
    case EMFILE:
    case ENFILE:
      return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return ERROR_DISK_FULL;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY:
      return ERROR_DIR_NOT_EMPTY;
    case EINVAL:
      return ERROR_INVALID_PARAMETER;
    case ERANGE:
      return ERROR_INSUFFICIENT_BUFFER;
    case ELOOP:
      return ERROR_CANT_RESOLVE_FILENAME;
    case ENXIO:  // a FIFO with no reader, or a device with no unit
      return ERROR_BAD_FILE_TYPE;
    default:
      return ERROR_GEN_FAILURE;
  }
}

BOOL Fail(DWORD error) {
  lastError = error;
  return FALSE;
}

BOOL FailFromErrno() { return Fail(ErrorFromErrno(errno)); }

// Windows paths use '\'; POSIX knows only '/'. The copy lives on the heap so
// that any length works; the caller frees it.
char* ToPosixPath(LPCSTR path) {
  if (path == nullptr) return nullptr;
  size_t length = strlen(path);
  char* copy = static_cast<char*>(malloc(length + 1));
  if (copy == nullptr) return nullptr;
  for (size_t i = 0; i <= length; ++i) copy[i] = path[i] == '\\' ? '/' : path[i];
  return copy;
}

int FdOf(HANDLE handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

bool IsBadHandle(HANDLE handle) { return handle == INVALID_HANDLE_VALUE || FdOf(handle) < 0; }

// The folder writes are confined to, with '/' separators and one '/' at its
// end, as the paths joined below it begin; null when none is.
char* confinedFolder = nullptr;

// The folders on the way to the last place found below the confined folder,
// kept open, as sorted entries mostly share them: kept[0] is the confined
// folder, kept[i] the one that keptPath's first keptEnd[i] bytes lead to. A
// folder that another program moves meanwhile keeps its files coming, as it
// would between the steps of one call.
const int kKept = 32;
int kept[kKept + 1];
size_t keptEnd[kKept + 1];
int keptCount = 0;
char keptPath[1024];

void Forget(int from) {
  for (; keptCount > from; --keptCount) close(kept[keptCount - 1]);
}

// Where a file function acts: the folder holding the path's last component
// and that component, or for a path not confined the current folder and the
// whole path. A folder past those kept is the place's own.
struct Place {
  int folder;
  const char* name;
  bool confined;
  bool owned;
};

void Leave(const Place& place) {
  if (place.owned) close(place.folder);
}

// O_NOFOLLOW makes a link to a folder look like a file: say which it was.
DWORD WayError(int folder, const char* name, int error) {
  struct stat info;
  if (error == ENOTDIR && fstatat(folder, name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(info.st_mode)) {
    return ERROR_CANT_RESOLVE_FILENAME;
  }
  return error == ENOENT || error == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(error);
}

// Finds where path is acted on. Below the confined folder, and when confine
// is set, each folder on the way is opened from there down without following
// a link, and no component may be "..". path, the layer's own copy, is cut at
// each separator on the way and mended. False with the last error set.
bool Locate(char* path, bool confine, Place* place) {
  size_t length = confinedFolder != nullptr ? strlen(confinedFolder) : 0;
  if (!confine || length == 0 || strncmp(path, confinedFolder, length) != 0 ||
      path[length] == '\0') {
    *place = Place{AT_FDCWD, path, false, false};
    return true;
  }
  if (keptCount == 0) {
    kept[0] = open(confinedFolder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (kept[0] < 0) return Fail(WayError(AT_FDCWD, confinedFolder, errno));
    keptEnd[0] = 0;
    keptCount = 1;
  }
  char* below = path + length;
  int level = keptCount - 1;
  while (level > 0 && strncmp(below, keptPath, keptEnd[level]) != 0) --level;
  int folder = kept[level];
  bool owned = false;
  char* name = below + keptEnd[level];
  for (;;) {
    while (*name == '/') ++name;
    char* end = name + strcspn(name, "/");
    if (end - name == 2 && name[0] == '.' && name[1] == '.') {
      if (owned) close(folder);
      return Fail(ERROR_ACCESS_DENIED);
    }
    if (*end == '\0') break;
    *end = '\0';
    int next = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DWORD error = next < 0 ? WayError(folder, name, errno) : ERROR_SUCCESS;
    *end = '/';
    if (owned) close(folder);
    if (next < 0) return Fail(error);
    size_t through = static_cast<size_t>(end + 1 - below);
    if (!owned && level < kKept && through < sizeof keptPath) {
      // Kept in place of the ones this path turned away from.
      Forget(++level);
      size_t from = keptEnd[level - 1];
      memcpy(keptPath + from, below + from, through - from);
      kept[level] = next;
      keptEnd[level] = through;
      keptCount = level + 1;
    } else {
      owned = true;
    }
    folder = next;
    name = end + 1;
  }
  *place = Place{folder, name, true, owned};
  return true;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD /*shareMode*/,
                          LPSECURITY_ATTRIBUTES /*security*/, DWORD creationDisposition,
                          DWORD /*flagsAndAttributes*/, HANDLE /*templateFile*/) {
  if (fileName == nullptr) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  int flags = O_CLOEXEC;
  bool reading = (desiredAccess & GENERIC_READ) != 0;
  bool writing = (desiredAccess & GENERIC_WRITE) != 0;
  flags |= reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
  switch (creationDisposition) {
    case CREATE_ALWAYS:
      // Truncated only once known to be a regular file, and a FIFO must not
      // hold the run up.
      flags |= O_CREAT | O_NONBLOCK | O_NOCTTY;
      break;
    case OPEN_EXISTING:
      break;
    default:
      Fail(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  char* path = ToPosixPath(fileName);
  if (path == nullptr) {
    Fail(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  // An empty name names nothing on Windows; POSIX would also fail, but say so
  // the Windows way.
  if (path[0] == '\0') {
    free(path);
    Fail(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  Place place;
  if (!Locate(path, writing, &place)) {
    free(path);
    return INVALID_HANDLE_VALUE;
  }
  if (place.confined) flags |= O_NOFOLLOW;
  int fd;
  do {
    fd = openat(place.folder, place.name, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  int openError = errno;
  Leave(place);
  free(path);
  if (fd < 0) {
    // A missing parent folder is "path not found" on Windows.
    Fail(openError == ENOENT && (flags & O_CREAT) ? ERROR_PATH_NOT_FOUND
                                                  : ErrorFromErrno(openError));
    return INVALID_HANDLE_VALUE;
  }
  // Windows refuses to open a folder as a file; POSIX allows it for reading.
  struct stat info;
  DWORD refusal = ERROR_SUCCESS;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    refusal = ERROR_ACCESS_DENIED;
  } else if ((flags & O_CREAT) && !S_ISREG(info.st_mode)) {
    refusal = ERROR_BAD_FILE_TYPE;
  } else if ((flags & O_CREAT) && info.st_size != 0 && ftruncate(fd, 0) != 0) {
    refusal = ErrorFromErrno(errno);
  }
  if (refusal != ERROR_SUCCESS) {
    close(fd);
    Fail(refusal);
    return INVALID_HANDLE_VALUE;
  }
  // CREATE_ALWAYS over an existing file succeeds with ERROR_ALREADY_EXISTS.
  lastError = ERROR_SUCCESS;
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd));
}

BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED /*overlapped*/) {
  if (bytesRead != nullptr) *bytesRead = 0;
  if (IsBadHandle(file)) return Fail(ERROR_INVALID_HANDLE);
  // A Windows read of a regular file returns everything up to end of file.
  DWORD total = 0;
  char* out = static_cast<char*>(buffer);
  while (total < bytesToRead) {
    ssize_t got = read(FdOf(file), out + total, bytesToRead - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (bytesRead != nullptr) *bytesRead = total;
      return FailFromErrno();
    }
    if (got == 0) break;
    total += static_cast<DWORD>(got);
  }
  if (bytesRead != nullptr) *bytesRead = total;
  lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED /*overlapped*/) {
  if (bytesWritten != nullptr) *bytesWritten = 0;
  if (IsBadHandle(file)) return Fail(ERROR_INVALID_HANDLE);
  // A Windows write of a regular file writes everything or fails.
  DWORD total = 0;
  const char* in = static_cast<const char*>(buffer);
  while (total < bytesToWrite) {
    ssize_t put = write(FdOf(file), in + total, bytesToWrite - total);
    if (put < 0) {
      if (errno == EINTR) continue;
      if (bytesWritten != nullptr) *bytesWritten = total;
      return FailFromErrno();
    }
    if (put == 0) {
      if (bytesWritten != nullptr) *bytesWritten = total;
      return Fail(ERROR_DISK_FULL);
    }
    total += static_cast<DWORD>(put);
  }
  if (bytesWritten != nullptr) *bytesWritten = total;
  lastError = ERROR_SUCCESS;
  return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh,
                            DWORD moveMethod) {
  if (IsBadHandle(file)) {
    Fail(ERROR_INVALID_HANDLE);
    return INVALID_SET_FILE_POINTER;
  }
  if (moveMethod != FILE_BEGIN) {
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  // Without a high part the low part is a signed 32-bit distance, as on Windows.
  int64_t target =
      distanceToMoveHigh != nullptr
          ? static_cast<int64_t>(
                (static_cast<uint64_t>(static_cast<uint32_t>(*distanceToMoveHigh)) << 32) |
                static_cast<uint32_t>(distanceToMove))
          : static_cast<int64_t>(distanceToMove);
  if (target < 0) {
    Fail(ERROR_NEGATIVE_SEEK);
    return INVALID_SET_FILE_POINTER;
  }
  off_t moved = lseek(FdOf(file), static_cast<off_t>(target), SEEK_SET);
  if (moved < 0) {
    FailFromErrno();
    return INVALID_SET_FILE_POINTER;
  }
  uint64_t position = static_cast<uint64_t>(moved);
  if (distanceToMoveHigh != nullptr) {
    *distanceToMoveHigh = static_cast<LONG>(static_cast<uint32_t>(position >> 32));
  } else if (position > 0xFFFFFFFEu) {
    // The result would not fit the return value alone.
    Fail(ERROR_INVALID_PARAMETER);
    return INVALID_SET_FILE_POINTER;
  }
  // A low part of all ones is a valid position; the error code tells apart.
  lastError = ERROR_SUCCESS;
  return static_cast<DWORD>(position);
}

BOOL WINAPI CloseHandle(HANDLE object) {
  if (IsBadHandle(object)) return Fail(ERROR_INVALID_HANDLE);
  // Linux releases the descriptor even when close reports EINTR: never retry.
  if (close(FdOf(object)) != 0 && errno != EINTR) return FailFromErrno();
  return TRUE;
}

BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD fileAttributes) {
  char* path = ToPosixPath(fileName);
  if (path == nullptr) return Fail(fileName ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
  Place place;
  if (!Locate(path, true, &place)) {
    free(path);
    return FALSE;
  }
  // Confined, a link is never followed: one put in place after the check
  // makes fchmodat fail rather than change what it points to.
  int follow = place.confined ? AT_SYMLINK_NOFOLLOW : 0;
  struct stat info;
  DWORD refusal = ERROR_SUCCESS;
  if (fstatat(place.folder, place.name, &info, follow) != 0) {
    refusal = ErrorFromErrno(errno);
  } else if (S_ISLNK(info.st_mode)) {
    refusal = ERROR_CANT_RESOLVE_FILENAME;
  } else if (!S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    refusal = ERROR_BAD_FILE_TYPE;
  } else {
    mode_t old = info.st_mode & 07777;
    mode_t mode = (fileAttributes & FILE_ATTRIBUTE_READONLY) ? old & ~(S_IWUSR | S_IWGRP | S_IWOTH)
                                                             : old | S_IWUSR;
    if (mode != old && fchmodat(place.folder, place.name, mode, follow) != 0) {
      refusal = ErrorFromErrno(errno);
    }
  }
  Leave(place);
  free(path);
  if (refusal != ERROR_SUCCESS) return Fail(refusal);
  lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES /*security*/) {
  char* path = ToPosixPath(pathName);
  if (path == nullptr) return Fail(pathName ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
  Place place;
  if (!Locate(path, true, &place)) {
    free(path);
    return FALSE;
  }
  int made = path[0] == '\0' ? (errno = ENOENT, -1) : mkdirat(place.folder, place.name, 0777);
  int error = errno;
  Leave(place);
  free(path);
  if (made != 0) return Fail(error == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(error));
  lastError = ERROR_SUCCESS;
  return TRUE;
}

DWORD WINAPI GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer) {
  char* current = getcwd(nullptr, 0);
  if (current == nullptr) {
    FailFromErrno();
    return 0;
  }
  size_t length = strlen(current);
  // Like Windows: the length without the NUL when it fits, else the size
  // needed including the NUL, with the buffer left alone.
  if (buffer == nullptr || length >= bufferLength) {
    free(current);
    return static_cast<DWORD>(length + 1);
  }
  memcpy(buffer, current, length + 1);
  free(current);
  return static_cast<DWORD>(length);
}

DWORD WINAPI GetLastError(void) { return lastError; }

void WINAPI SetLastError(DWORD errorCode) { lastError = errorCode; }

BOOL ConfineWritesTo(LPCSTR folder) {
  Forget(0);
  free(confinedFolder);
  confinedFolder = nullptr;
  if (folder == nullptr) return TRUE;
  size_t length = strlen(folder);
  confinedFolder = static_cast<char*>(malloc(length + 2));
  if (confinedFolder == nullptr) return FALSE;
  for (size_t i = 0; i < length; ++i) confinedFolder[i] = folder[i] == '\\' ? '/' : folder[i];
  // The extractor adds a separator unless the folder ends in one; "" is "/".
  if (length == 0 || confinedFolder[length - 1] != '/') confinedFolder[length++] = '/';
  confinedFolder[length] = '\0';
  return TRUE;
}

}  // extern "C"
