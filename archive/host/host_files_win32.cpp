// Host files on Windows: wide names throughout, so a path outside the ANSI
// code page still works.
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "host_files.h"
#include "host_files_platform.h"

namespace fs = std::filesystem;

bool FileSize(const fs::path& path, std::uint64_t* size, std::string* error) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
    *error = SystemErrorText(GetLastError());
    return false;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *error = "is a folder";
    return false;
  }
  *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

namespace {

// The volume and file index of an open file, and its attributes; false, the
// identity left as it was, when Windows cannot tell.
bool IdentityOf(HANDLE file, FileIdentity* identity, DWORD* attributes) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info)) return false;
  *attributes = info.dwFileAttributes;
  *identity =
      FileIdentity{info.dwVolumeSerialNumber,
                   (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
  return true;
}

}  // namespace

fs::file_status Examine(const fs::path& path, std::uintmax_t* size, FileIdentity* identity,
                        std::error_code* error) {
  fs::file_status status = fs::symlink_status(path, *error);
  if (*error || !fs::is_regular_file(status)) return status;
  *size = fs::file_size(path, *error);
  // Attributes only: no access, shared with everyone.
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return status;
  DWORD attributes = 0;
  IdentityOf(file, identity, &attributes);
  CloseHandle(file);
  return status;
}

std::FILE* OpenExamined(const fs::path& path, const FileIdentity& identity, std::uint64_t size,
                        std::string* error) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = "cannot open it: " + SystemErrorText(GetLastError());
    return nullptr;
  }
  DWORD attributes = 0;
  FileIdentity now;
  LARGE_INTEGER length;
  if (!IdentityOf(file, &now, &attributes)) {
    // Unknown is not another file: say what failed.
    *error = "cannot open it: " + SystemErrorText(GetLastError());
  } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    *error = ChangedSinceListed("it is a symbolic link now, which is not followed");
  } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || GetFileType(file) != FILE_TYPE_DISK) {
    *error = ChangedSinceListed("it is no longer a regular file");
  } else if (identity.index != 0 && now != identity) {
    *error = ChangedSinceListed("another file has taken its name");
  } else if (!GetFileSizeEx(file, &length) || static_cast<std::uint64_t>(length.QuadPart) != size) {
    *error = kChangedSize;
  } else {
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    std::FILE* stream = fd >= 0 ? _fdopen(fd, "rb") : nullptr;
    if (stream != nullptr) return stream;
    *error = "cannot open it: " + ErrnoText(errno);
    if (fd >= 0) {
      _close(fd);  // closes the handle too
      return nullptr;
    }
  }
  CloseHandle(file);
  return nullptr;
}

fs::path ArgumentPath(const std::string& argument) {
  int length = MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()),
                                   nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()), &wide[0],
                      length);
  return fs::path(wide);
}

fs::path CorePath(const std::string& path) { return ArgumentPath(path); }

std::FILE* OpenFile(const fs::path& path, const char* mode) {
  std::wstring wideMode(mode, mode + std::strlen(mode));
  return _wfopen(path.c_str(), wideMode.c_str());
}

bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }

std::string PathText(const fs::path& path) {
  // Lone surrogates have no UTF-8 form; show the code units instead.
  try {
    return Printable(path.u8string());
  } catch (...) {
    std::string out;
    for (wchar_t c : path.native()) {
      out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\\u" + std::to_string(c);
    }
    return Printable(out);
  }
}

bool HostTextIsUtf8() { return GetConsoleOutputCP() == CP_UTF8; }

fs::path ProgramFile() {
  std::wstring name(32768, L'\0');
  DWORD length = GetModuleFileNameW(nullptr, &name[0], static_cast<DWORD>(name.size()));
  if (length == 0 || length >= name.size()) return fs::path();
  name.resize(length);
  return fs::path(name);
}

bool Identify(const fs::path& path, FileIdentity* identity) {
  if (path.empty()) return false;
  // No access asked: the file's identity, even while another program holds it.
  HANDLE file = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD attributes = 0;
  bool known = IdentityOf(file, identity, &attributes);
  CloseHandle(file);
  return known;
}

fs::path PathKey(const fs::path& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  fs::path canonical = fs::weakly_canonical(absolute, error);
  std::wstring key = (error ? absolute.lexically_normal() : canonical).native();
  CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
  return fs::path(key);
}

long ProcessId() { return static_cast<long>(_getpid()); }

std::FILE* CreateNewFile(const fs::path& path) {
  int fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  std::FILE* file = _fdopen(fd, "wb");
  if (file == nullptr) {
    int error = errno;
    _close(fd);
    _wunlink(path.c_str());
    errno = error;
  }
  return file;
}

bool SyncFile(std::FILE* file) { return _commit(_fileno(file)) == 0; }

// Windows writes a rename's folder entry through on its own.
void SyncFolder(const fs::path&) {}

bool SeekFile(std::FILE* file, std::uint64_t offset) {
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

namespace {

wchar_t g_removal[kMaxTemporaryPath];
void (*g_previous[2])(int);
const int kSignals[2] = {SIGINT, SIGTERM};
bool g_armed = false;

extern "C" void RemoveAndExit(int signal) {
  DeleteFileW(g_removal);
  _exit(128 + signal);
}

}  // namespace

void ArmRemoval(const fs::path& path) {
  std::size_t length = path.native().size();
  if (length >= sizeof g_removal / sizeof g_removal[0]) return;
  std::wmemcpy(g_removal, path.c_str(), length + 1);
  if (g_armed) return;
  for (int i = 0; i < 2; ++i) g_previous[i] = std::signal(kSignals[i], RemoveAndExit);
  g_armed = true;
}

void DisarmRemoval() {
  if (!g_armed) return;
  for (int i = 0; i < 2; ++i) std::signal(kSignals[i], g_previous[i]);
  g_armed = false;
  g_removal[0] = L'\0';
}
