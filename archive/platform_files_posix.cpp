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
      flags |= O_CREAT | O_TRUNC;
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
  int fd;
  do {
    fd = open(path, flags, 0666);
  } while (fd < 0 && errno == EINTR);
  int openError = errno;
  free(path);
  if (fd < 0) {
    // A missing parent folder is "path not found" on Windows.
    Fail(openError == ENOENT && (flags & O_CREAT) ? ERROR_PATH_NOT_FOUND
                                                  : ErrorFromErrno(openError));
    return INVALID_HANDLE_VALUE;
  }
  // Windows refuses to open a folder as a file; POSIX allows it for reading.
  struct stat info;
  if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    close(fd);
    Fail(ERROR_ACCESS_DENIED);
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
  struct stat info;
  if (stat(path, &info) != 0) {
    int error = errno;
    free(path);
    return Fail(ErrorFromErrno(error));
  }
  mode_t mode = info.st_mode & 07777;
  mode = (fileAttributes & FILE_ATTRIBUTE_READONLY) ? mode & ~(S_IWUSR | S_IWGRP | S_IWOTH)
                                                    : mode | S_IWUSR;
  int changed = mode == (info.st_mode & 07777) ? 0 : chmod(path, mode);
  int error = errno;
  free(path);
  if (changed != 0) return Fail(ErrorFromErrno(error));
  lastError = ERROR_SUCCESS;
  return TRUE;
}

BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES /*security*/) {
  char* path = ToPosixPath(pathName);
  if (path == nullptr) return Fail(pathName ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
  int made = path[0] == '\0' ? (errno = ENOENT, -1) : mkdir(path, 0777);
  int error = errno;
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

}  // extern "C"
