// Stand-ins for a few Win32 functions, linked into measurement-only variants
// of Patch.exe by `bench/peer --profile` to learn what each piece of an
// installation costs. Each changes the installer's fixed behaviour, so none
// of this is ever shipped. Compile with any of:
//
//   -DREMEMBER_FOLDERS  CreateDirectoryA reaches the system once per folder
//   -DNO_ATTRIBUTES     SetFileAttributesA does nothing
//   -DWHOLE_WRITES      the 512-byte WriteFile calls are gathered and each
//                       file is written with one call when it is closed
//   -DNO_PROGRESS       PBM_SETPOS is not sent to the progress bar
//   -DMEASURE_CALLS     times the calls above (see below)
//
// Each stand-in takes the place of the import slot (__imp__Name@bytes) that
// the installer's calls go through, so its code is linked unchanged.
#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <cstring>

#define IMPORT_SLOT(name, bytes) __asm__("__imp__" #name "@" #bytes)

namespace {

// The real function: the import slot now holds the stand-in.
template <class Function>
Function Real(const char* dll, const char* name) {
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(dll), name)));
}

}  // namespace

#ifdef REMEMBER_FOLDERS
namespace {

const unsigned kSlots = 1 << 14;
char** g_folders = nullptr;

BOOL WINAPI RememberingCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  static auto real =
      Real<BOOL(WINAPI*)(LPCSTR, LPSECURITY_ATTRIBUTES)>("kernel32.dll", "CreateDirectoryA");
  if (g_folders == nullptr) g_folders = static_cast<char**>(std::calloc(kSlots, sizeof(char*)));
  unsigned hash = 2166136261u;
  for (const char* p = path; *p; ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
  unsigned slot = hash & (kSlots - 1);
  while (g_folders[slot] != nullptr) {
    if (std::strcmp(g_folders[slot], path) == 0) {
      SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    slot = (slot + 1) & (kSlots - 1);
  }
  std::size_t size = std::strlen(path) + 1;
  g_folders[slot] = static_cast<char*>(std::malloc(size));
  if (g_folders[slot] != nullptr) std::memcpy(g_folders[slot], path, size);
  return real(path, security);
}

}  // namespace
extern "C" {
void* g_createDirectorySlot IMPORT_SLOT(CreateDirectoryA,
                                        8) = reinterpret_cast<void*>(RememberingCreateDirectoryA);
}
#endif

#ifdef NO_ATTRIBUTES
namespace {

BOOL WINAPI SkippedSetFileAttributesA(LPCSTR, DWORD) { return FALSE; }

}  // namespace
extern "C" {
void* g_setAttributesSlot IMPORT_SLOT(SetFileAttributesA,
                                      8) = reinterpret_cast<void*>(SkippedSetFileAttributesA);
}
#endif

#ifdef WHOLE_WRITES
namespace {

// The extractor has one file open at a time.
HANDLE g_file = INVALID_HANDLE_VALUE;
char* g_bytes = nullptr;
DWORD g_size = 0, g_capacity = 0;

BOOL WINAPI GatheringWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                               LPOVERLAPPED) {
  if (g_size + count > g_capacity) {
    DWORD capacity = g_capacity ? g_capacity * 2 : 1 << 20;
    while (capacity < g_size + count) capacity *= 2;
    char* bytes = static_cast<char*>(std::realloc(g_bytes, capacity));
    if (bytes == nullptr) return FALSE;
    g_bytes = bytes;
    g_capacity = capacity;
  }
  std::memcpy(g_bytes + g_size, buffer, count);
  g_size += count;
  g_file = file;
  *written = count;
  return TRUE;
}

BOOL WINAPI FlushingCloseHandle(HANDLE handle) {
  static auto write = Real<BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)>(
      "kernel32.dll", "WriteFile");
  static auto close = Real<BOOL(WINAPI*)(HANDLE)>("kernel32.dll", "CloseHandle");
  if (handle == g_file) {
    DWORD put = 0;
    if (g_size != 0) write(handle, g_bytes, g_size, &put, nullptr);
    g_size = 0;
    g_file = INVALID_HANDLE_VALUE;
  }
  return close(handle);
}

}  // namespace
extern "C" {
void* g_writeFileSlot IMPORT_SLOT(WriteFile, 20) = reinterpret_cast<void*>(GatheringWriteFile);
}
extern "C" {
void* g_closeHandleSlot IMPORT_SLOT(CloseHandle, 4) = reinterpret_cast<void*>(FlushingCloseHandle);
}
#endif

#ifdef NO_PROGRESS
namespace {

LRESULT WINAPI QuietSendMessageA(HWND window, UINT message, WPARAM w, LPARAM l) {
  static auto real =
      Real<LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM)>("user32.dll", "SendMessageA");
  return message == PBM_SETPOS ? 0 : real(window, message, w, l);
}

}  // namespace
extern "C" {
void* g_sendMessageSlot IMPORT_SLOT(SendMessageA, 16) = reinterpret_cast<void*>(QuietSendMessageA);
}
#endif

#ifdef MEASURE_CALLS
// Counts the calls of an installation and the time spent in each function,
// from PBM_SETRANGE (just before the archive is opened) to the final
// MessageBoxA, and appends one line per function to the file named by
// PATCH_CALL_REPORT once the box is closed.
namespace {

enum Slot {
  kCreateDirectory,
  kSetAttributes,
  kCreateFile,
  kWriteFile,
  kCloseHandle,
  kSetPos,
  kSlotCount
};
const char* const kSlotNames[kSlotCount] = {"CreateDirectoryA", "SetFileAttributesA", "CreateFileA",
                                            "WriteFile",        "CloseHandle",        "PBM_SETPOS"};
LONGLONG g_ticks[kSlotCount];
unsigned g_calls[kSlotCount];
LONGLONG g_begin, g_end;

LONGLONG Ticks() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

// Runs `call` and books its time against `slot`.
template <class Call>
auto Timed(Slot slot, Call call) -> decltype(call()) {
  LONGLONG start = Ticks();
  auto result = call();
  g_ticks[slot] += Ticks() - start;
  ++g_calls[slot];
  return result;
}

BOOL WINAPI TimedCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security) {
  static auto real =
      Real<BOOL(WINAPI*)(LPCSTR, LPSECURITY_ATTRIBUTES)>("kernel32.dll", "CreateDirectoryA");
  return Timed(kCreateDirectory, [&] { return real(path, security); });
}

BOOL WINAPI TimedSetFileAttributesA(LPCSTR path, DWORD attributes) {
  static auto real = Real<BOOL(WINAPI*)(LPCSTR, DWORD)>("kernel32.dll", "SetFileAttributesA");
  return Timed(kSetAttributes, [&] { return real(path, attributes); });
}

HANDLE WINAPI TimedCreateFileA(LPCSTR path, DWORD access, DWORD share,
                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                               HANDLE model) {
  static auto real =
      Real<HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)>(
          "kernel32.dll", "CreateFileA");
  return Timed(kCreateFile,
               [&] { return real(path, access, share, security, disposition, flags, model); });
}

BOOL WINAPI TimedWriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD written,
                           LPOVERLAPPED overlapped) {
  static auto real = Real<BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)>(
      "kernel32.dll", "WriteFile");
  return Timed(kWriteFile, [&] { return real(file, buffer, count, written, overlapped); });
}

BOOL WINAPI TimedCloseHandle(HANDLE handle) {
  static auto real = Real<BOOL(WINAPI*)(HANDLE)>("kernel32.dll", "CloseHandle");
  return Timed(kCloseHandle, [&] { return real(handle); });
}

LRESULT WINAPI TimedSendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM w, LPARAM l) {
  static auto real =
      Real<LRESULT(WINAPI*)(HWND, int, UINT, WPARAM, LPARAM)>("user32.dll", "SendDlgItemMessageA");
  if (message == PBM_SETRANGE) g_begin = Ticks();
  return real(dialog, id, message, w, l);
}

LRESULT WINAPI TimedSendMessageA(HWND window, UINT message, WPARAM w, LPARAM l) {
  static auto real =
      Real<LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM)>("user32.dll", "SendMessageA");
  if (message != PBM_SETPOS) return real(window, message, w, l);
  return Timed(kSetPos, [&] { return real(window, message, w, l); });
}

int WINAPI TimedMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  static auto real = Real<int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT)>("user32.dll", "MessageBoxA");
  if (g_begin != 0 && g_end == 0) g_end = Ticks();
  int answer = real(owner, text, caption, type);
  char path[MAX_PATH];
  DWORD length = GetEnvironmentVariableA("PATCH_CALL_REPORT", path, sizeof path);
  if (g_end == 0 || length == 0 || length >= sizeof path) return answer;
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  double msPerTick = 1000.0 / static_cast<double>(frequency.QuadPart);
  char report[1024];
  int used = 0;
  LONGLONG inCalls = 0;
  for (int i = 0; i < kSlotCount; ++i) {
    inCalls += g_ticks[i];
    used += wsprintfA(report + used, "%s %u %u\r\n", kSlotNames[i], g_calls[i],
                      static_cast<unsigned>(g_ticks[i] * msPerTick * 1000));
  }
  used += wsprintfA(report + used, "rest 0 %u\r\ntotal 0 %u\r\n",
                    static_cast<unsigned>((g_end - g_begin - inCalls) * msPerTick * 1000),
                    static_cast<unsigned>((g_end - g_begin) * msPerTick * 1000));
  static auto write = Real<BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED)>(
      "kernel32.dll", "WriteFile");
  static auto close = Real<BOOL(WINAPI*)(HANDLE)>("kernel32.dll", "CloseHandle");
  static auto create =
      Real<HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)>(
          "kernel32.dll", "CreateFileA");
  HANDLE file = create(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD put = 0;
    write(file, report, used, &put, nullptr);
    close(file);
  }
  return answer;
}

}  // namespace
extern "C" {
void* g_timedCreateDirectorySlot IMPORT_SLOT(CreateDirectoryA,
                                             8) = reinterpret_cast<void*>(TimedCreateDirectoryA);
void* g_timedSetAttributesSlot IMPORT_SLOT(SetFileAttributesA,
                                           8) = reinterpret_cast<void*>(TimedSetFileAttributesA);
void* g_timedCreateFileSlot IMPORT_SLOT(CreateFileA,
                                        28) = reinterpret_cast<void*>(TimedCreateFileA);
void* g_timedWriteFileSlot IMPORT_SLOT(WriteFile, 20) = reinterpret_cast<void*>(TimedWriteFile);
void* g_timedCloseHandleSlot IMPORT_SLOT(CloseHandle,
                                         4) = reinterpret_cast<void*>(TimedCloseHandle);
void* g_timedSendDlgItemMessageSlot IMPORT_SLOT(SendDlgItemMessageA, 20) =
    reinterpret_cast<void*>(TimedSendDlgItemMessageA);
void* g_timedSendMessageSlot IMPORT_SLOT(SendMessageA,
                                         16) = reinterpret_cast<void*>(TimedSendMessageA);
void* g_timedMessageBoxSlot IMPORT_SLOT(MessageBoxA,
                                        16) = reinterpret_cast<void*>(TimedMessageBoxA);
}
#endif
