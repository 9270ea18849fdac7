// The Win32 file functions the archive core calls, under their own names.
//
// On Windows they are the real ones from <windows.h>. Elsewhere a small POSIX
// layer (platform_files_posix.cpp) provides exactly this subset with Win32
// semantics, so the rest of the core is written once, against Win32 only.
#ifndef ARCHIVE_PLATFORM_FILES_H
#define ARCHIVE_PLATFORM_FILES_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#else  // POSIX

#include <stdint.h>

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef struct _OVERLAPPED OVERLAPPED, *LPOVERLAPPED;  // never defined: only null is passed
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define TRUE 1
#define FALSE 0

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_BEGIN 0u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_DISK_FULL 112u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_DIR_NOT_EMPTY 145u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_DIRECTORY 267u
#define ERROR_BAD_FILE_TYPE 222u
#define ERROR_CANT_RESOLVE_FILENAME 1921u
#define ERROR_GEN_FAILURE 31u

#define WINAPI

#ifdef __cplusplus
extern "C" {
#endif

// Paths accept both '\' and '/' as separators. There are no share modes on
// POSIX: shareMode is accepted and ignored. CREATE_ALWAYS never waits on a
// FIFO, and never truncates or writes what is not a regular file
// (ERROR_BAD_FILE_TYPE).
HANDLE WINAPI CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                          LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                          DWORD flagsAndAttributes, HANDLE templateFile);
BOOL WINAPI ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                     LPOVERLAPPED overlapped);
BOOL WINAPI WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
                      LPOVERLAPPED overlapped);
DWORD WINAPI SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh,
                            DWORD moveMethod);
BOOL WINAPI CloseHandle(HANDLE object);
// FILE_ATTRIBUTE_READONLY removes write permission; any other value restores
// the owner's write permission, the POSIX analogue of clearing read-only. It
// changes only a regular file or a folder (ERROR_BAD_FILE_TYPE).
BOOL WINAPI SetFileAttributesA(LPCSTR fileName, DWORD fileAttributes);
BOOL WINAPI CreateDirectoryA(LPCSTR pathName, LPSECURITY_ATTRIBUTES security);
DWORD WINAPI GetCurrentDirectoryA(DWORD bufferLength, LPSTR buffer);
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD errorCode);

// Not Win32: where patchpack extract writes (null: anywhere, as Windows
// does). Below folder, CreateFileA, SetFileAttributesA and CreateDirectoryA
// open every folder from folder down and follow no symbolic link, failing
// with ERROR_CANT_RESOLVE_FILENAME at one. folder itself is reached as its
// path says: the user chose it, links and all. FALSE when out of memory,
// confining nothing.
BOOL ConfineWritesTo(LPCSTR folder);

#ifdef __cplusplus
}
#endif

#endif  // _WIN32

#endif  // ARCHIVE_PLATFORM_FILES_H
