// Host files on POSIX systems.
#include <fcntl.h>
#include <langinfo.h>
#include <locale.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host_files.h"
#include "host_files_platform.h"

namespace fs = std::filesystem;

namespace {

#ifdef PATCH_TEST_HOOKS
// The test build's tests change scanned files here, once, before the first
// is read.
void BeforeFirstRead() {
  static bool ran = false;
  const char* hook = std::getenv("PATCH_TEST_BEFORE_READ");
  if (ran || hook == nullptr) return;
  ran = true;
  int status = std::system(hook);
  (void)status;
}
#else
void BeforeFirstRead() {}
#endif

FileIdentity IdentityOf(const struct stat& info) {
  return FileIdentity{static_cast<std::uint64_t>(info.st_dev),
                      static_cast<std::uint64_t>(info.st_ino)};
}

}  // namespace

bool FileSize(const fs::path& path, std::uint64_t* size, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = S_ISDIR(info.st_mode) ? "is a folder" : "is not a regular file";
    return false;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
  return true;
}

fs::file_status Examine(const fs::path& path, std::uintmax_t* size, FileIdentity* identity,
                        std::error_code* error) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    *error = std::error_code(errno, std::generic_category());
    return fs::file_status();
  }
  *size = static_cast<std::uintmax_t>(info.st_size);
  *identity = IdentityOf(info);
  fs::file_type type = S_ISREG(info.st_mode)    ? fs::file_type::regular
                       : S_ISDIR(info.st_mode)  ? fs::file_type::directory
                       : S_ISLNK(info.st_mode)  ? fs::file_type::symlink
                       : S_ISFIFO(info.st_mode) ? fs::file_type::fifo
                       : S_ISSOCK(info.st_mode) ? fs::file_type::socket
                       : S_ISBLK(info.st_mode)  ? fs::file_type::block
                       : S_ISCHR(info.st_mode)  ? fs::file_type::character
                                                : fs::file_type::unknown;
  return fs::file_status(type);
}

std::FILE* OpenExamined(const fs::path& path, const FileIdentity& identity, std::uint64_t size,
                        std::string* error) {
  BeforeFirstRead();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    *error = errno == ELOOP ? ChangedSinceListed("it is a symbolic link now, which is not followed")
                            : "cannot open it: " + ErrnoText(errno);
    return nullptr;
  }
  struct stat info;
  if (fstat(fd, &info) != 0) {
    *error = "cannot open it: " + ErrnoText(errno);
  } else if (!S_ISREG(info.st_mode)) {
    *error = ChangedSinceListed("it is no longer a regular file");
  } else if (IdentityOf(info) != identity) {
    *error = ChangedSinceListed("another file has taken its name");
  } else if (static_cast<std::uint64_t>(info.st_size) != size) {
    *error = kChangedSize;
  } else if (std::FILE* file = fdopen(fd, "rb")) {
    return file;
  } else {
    *error = "cannot open it: " + ErrnoText(errno);
  }
  close(fd);
  return nullptr;
}

fs::path ArgumentPath(const std::string& argument) { return fs::path(argument); }

fs::path CorePath(const std::string& path) {
  std::string posix(path);
  std::replace(posix.begin(), posix.end(), '\\', '/');
  return fs::path(posix);
}

std::FILE* OpenFile(const fs::path& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) != 0; }

std::string PathText(const fs::path& path) { return Printable(path.native()); }

bool HostTextIsUtf8() {
  locale_t host = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
  if (host == static_cast<locale_t>(0)) return false;
  bool utf8 = std::strcmp(nl_langinfo_l(CODESET, host), "UTF-8") == 0;
  freelocale(host);
  return utf8;
}

fs::path ProgramFile() {
  std::error_code error;
  fs::path self = fs::read_symlink("/proc/self/exe", error);
  return error ? fs::path() : self;
}

bool Identify(const fs::path& path, FileIdentity* identity) {
  struct stat info;
  if (path.empty() || stat(path.c_str(), &info) != 0) return false;
  *identity = IdentityOf(info);
  return true;
}

fs::path PathKey(const fs::path& path) {
  std::error_code error;
  fs::path absolute = fs::absolute(path, error);
  fs::path canonical = fs::weakly_canonical(absolute, error);
  return error ? absolute.lexically_normal() : canonical;
}

long ProcessId() { return static_cast<long>(getpid()); }

std::FILE* CreateNewFile(const fs::path& path) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    int error = errno;
    close(fd);
    unlink(path.c_str());
    errno = error;
  }
  return file;
}

bool SyncFile(std::FILE* file) { return fsync(fileno(file)) == 0; }

void SyncFolder(const fs::path& folder) {
  // The file is in place already; a folder that cannot be synced (some file
  // systems refuse) leaves only the rename's durability to the system.
  int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

bool SeekFile(std::FILE* file, std::uint64_t offset) {
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

namespace {

char g_removal[kMaxTemporaryPath];
struct sigaction g_previous[2];
const int kSignals[2] = {SIGINT, SIGTERM};
bool g_armed = false;

extern "C" void RemoveAndExit(int signal) {
  unlink(g_removal);  // async-signal-safe, unlike remove()
  _exit(128 + signal);
}

}  // namespace

void ArmRemoval(const fs::path& path) {
  std::size_t length = path.native().size();
  if (length >= sizeof g_removal) return;
  std::memcpy(g_removal, path.c_str(), length + 1);
  if (g_armed) return;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RemoveAndExit;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &action, &g_previous[i]);
  g_armed = true;
}

void DisarmRemoval() {
  if (!g_armed) return;
  for (int i = 0; i < 2; ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  g_armed = false;
  g_removal[0] = '\0';
}
