#include "packing.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "archive_format.h"
#include "name_rules.h"
#include "tool_support.h"

namespace fs = std::filesystem;

namespace {

const std::uint64_t kMaxFileSize = 0xFFFFFFFFu;
// Beyond this many refusals the rest would only scroll the first ones away.
const std::size_t kMaxReported = 50;

const char* KindOf(const fs::file_status& status) {
  switch (status.type()) {
    case fs::file_type::symlink:
      return "a symbolic link, which is not followed";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::block:
    case fs::file_type::character:
      return "a device";
    default:
      return "of a kind that cannot be packed";
  }
}

// A file's kind, not following a symbolic link, and its size: one system call
// for each of the many files in a release, where the host allows.
fs::file_status Examine(const fs::path& path, std::uintmax_t* size, std::error_code* error) {
#ifdef _WIN32
  fs::file_status status = fs::symlink_status(path, *error);
  if (!*error && fs::is_regular_file(status)) *size = fs::file_size(path, *error);
  return status;
#else
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) {
    *error = std::error_code(errno, std::generic_category());
    return fs::file_status();
  }
  *size = static_cast<std::uintmax_t>(info.st_size);
  fs::file_type type = S_ISREG(info.st_mode)    ? fs::file_type::regular
                       : S_ISDIR(info.st_mode)  ? fs::file_type::directory
                       : S_ISLNK(info.st_mode)  ? fs::file_type::symlink
                       : S_ISFIFO(info.st_mode) ? fs::file_type::fifo
                       : S_ISSOCK(info.st_mode) ? fs::file_type::socket
                       : S_ISBLK(info.st_mode)  ? fs::file_type::block
                       : S_ISCHR(info.st_mode)  ? fs::file_type::character
                                                : fs::file_type::unknown;
  return fs::file_status(type);
#endif
}

class TreeScanner {
 public:
  TreeScanner(const CodePage& codePage, std::vector<PackFile>* files, Refusals* refusals)
      : codePage_(codePage), files_(files), refusals_(refusals) {}

  void Scan(const fs::path& folder, const std::string& prefix) {
    std::error_code error;
    fs::directory_iterator it(folder, error), end;
    if (error) {
      refusals_->Add(PathText(folder), "cannot list the folder: " + error.message());
      return;
    }
    std::vector<fs::path> children;
    for (; it != end; it.increment(error)) children.push_back(it->path());
    if (error) {
      refusals_->Add(PathText(folder), "cannot list the folder: " + error.message());
      return;
    }
    // Visiting in a fixed order keeps the messages the same from run to run.
    std::sort(children.begin(), children.end());
    for (const fs::path& child : children) Visit(child, prefix);
  }

 private:
  void Visit(const fs::path& path, const std::string& prefix) {
    std::string component;
    std::string problem;
    if (codePage_.ToArchive(path.filename(), &component, &problem)) {
      problem = ComponentProblem(component, codePage_);
    }
    if (!problem.empty()) {
      refusals_->Add(PathText(path), problem);
      return;
    }
    std::string name = prefix.empty() ? component : prefix + '\\' + component;
    std::error_code error;
    std::uintmax_t size = 0;
    fs::file_status status = Examine(path, &size, &error);
    if (error) {
      refusals_->Add(PathText(path), "cannot examine it: " + error.message());
      return;
    }
    if (fs::is_directory(status)) {
      Scan(path, name);
      return;
    }
    if (!fs::is_regular_file(status)) {
      refusals_->Add(PathText(path), std::string("it is ") + KindOf(status));
      return;
    }
    std::string tooLong = NameLengthProblem(name.size());
    if (!tooLong.empty()) {
      refusals_->Add(PathText(path), tooLong);
      return;
    }
    if (size > kMaxFileSize) {
      refusals_->Add(PathText(path), "it has " + SizeText(size) +
                                         "; the archive holds files under 4 GiB (" +
                                         std::to_string(kMaxFileSize + 1) + " bytes)");
      return;
    }
    files_->push_back(PackFile{name, path, static_cast<std::uint32_t>(size)});
  }

  const CodePage& codePage_;
  std::vector<PackFile>* files_;
  Refusals* refusals_;
};

// Windows would see one file where the host has two, or a file where a folder
// must go.
void CheckCaseClashes(const std::vector<PackFile>& files, const CodePage& codePage,
                      Refusals* refusals) {
  std::map<std::string, const PackFile*> byFolded;
  std::map<std::string, const PackFile*> folders;  // a folder, and a file inside it
  for (const PackFile& file : files) {
    std::string folded = codePage.Fold(file.name);
    auto inserted = byFolded.emplace(folded, &file);
    if (!inserted.second) {
      refusals->Add(PathText(file.source), "its name differs only in letter case from " +
                                               PathText(inserted.first->second->source));
    }
    for (std::size_t at = folded.find('\\'); at != std::string::npos;
         at = folded.find('\\', at + 1)) {
      folders.emplace(folded.substr(0, at), &file);
    }
  }
  for (const PackFile& file : files) {
    auto folder = folders.find(codePage.Fold(file.name));
    if (folder != folders.end()) {
      // Up from the file inside to the folder, as the host names it.
      const std::string& inside = folder->second->name;
      fs::path folderPath = folder->second->source;
      for (auto depth = std::count(inside.begin() + file.name.size(), inside.end(), '\\');
           depth != 0; --depth) {
        folderPath = folderPath.parent_path();
      }
      refusals->Add(
          PathText(file.source),
          "Windows would take it for the same name as the folder " + PathText(folderPath));
    }
  }
}

bool IsInside(const fs::path& path, const fs::path& folder) {
  std::error_code error;
  fs::path canonicalFolder = fs::weakly_canonical(folder, error);
  if (error) return false;
  fs::path canonicalPath = fs::weakly_canonical(fs::absolute(path, error), error);
  if (error) return false;
  fs::path relative = canonicalPath.lexically_relative(canonicalFolder);
  return !relative.empty() && *relative.begin() != "..";
}

void PutLittleEndian(unsigned char* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The temporary archive, removed on every way out but success, Ctrl+C included.
char g_temporaryPath[4096];

extern "C" void RemoveTemporaryAndExit(int signal) {
  if (g_temporaryPath[0] != '\0') std::remove(g_temporaryPath);
  std::_Exit(128 + signal);
}

class ArchiveWriter {
 public:
  ArchiveWriter(const std::string& archive, const std::function<void(std::uint64_t)>& copied)
      : archive_(archive), copied_(copied) {}
  ~ArchiveWriter() { Discard(); }

  bool Write(const std::vector<PackFile>& files) {
    if (!Open()) return false;
    if (!WriteHeader(files)) return false;
    std::vector<unsigned char> buffer(1 << 18);
    for (const PackFile& file : files) {
      if (!CopyFile(file, &buffer)) return false;
    }
    for (const PackFile& file : files) {
      if (!Put(file.name.c_str(), file.name.size() + 1)) return false;
    }
    std::uint64_t nameOffset = 0;
    std::uint64_t dataOffset = sizeof(ArchiveHeader);
    for (const PackFile& file : files) {
      unsigned char entry[sizeof(ArchiveEntry)];
      PutLittleEndian(entry + offsetof(ArchiveEntry, dataOffset), dataOffset, 8);
      PutLittleEndian(entry + offsetof(ArchiveEntry, dataSize), file.size, 4);
      PutLittleEndian(entry + offsetof(ArchiveEntry, nameOffset), nameOffset, 4);
      PutLittleEndian(entry + offsetof(ArchiveEntry, nameLength), file.name.size() + 1, 4);
      PutLittleEndian(entry + offsetof(ArchiveEntry, entryWord), sizeof(ArchiveEntry), 4);
      PutLittleEndian(entry + offsetof(ArchiveEntry, entryTail), 0, 8);
      if (!Put(entry, sizeof entry)) return false;
      dataOffset += file.size;
      nameOffset += file.name.size() + 1;
    }
    return Commit();
  }

 private:
  bool Open() {
#ifdef _WIN32
    long id = _getpid();
#else
    long id = getpid();
#endif
    temporary_ = archive_ + "." + std::to_string(id) + ".tmp";
    if (temporary_.size() >= sizeof g_temporaryPath) {
      PrintError(archive_, "the path is too long");
      return false;
    }
    out_ = OpenFile(fs::path(temporary_), "wb");
    if (out_ == nullptr) {
      PrintError(temporary_, "cannot create it: " + ErrnoText(errno));
      return false;
    }
    std::memcpy(g_temporaryPath, temporary_.c_str(), temporary_.size() + 1);
    std::signal(SIGINT, RemoveTemporaryAndExit);
    std::signal(SIGTERM, RemoveTemporaryAndExit);
    return true;
  }

  // The size limit keeps the names block and the table within their 32-bit
  // sizes.
  bool WriteHeader(const std::vector<PackFile>& files) {
    std::uint64_t dataEnd = sizeof(ArchiveHeader);
    std::uint64_t namesSize = 0;
    for (const PackFile& file : files) {
      dataEnd += file.size;
      namesSize += file.name.size() + 1;
    }
    std::uint64_t tableSize = files.size() * std::uint64_t{sizeof(ArchiveEntry)};
    unsigned char header[sizeof(ArchiveHeader)];
    PutLittleEndian(header + offsetof(ArchiveHeader, headWord), 1, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, headSize), 0, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, headOffset), dataEnd, 8);
    PutLittleEndian(header + offsetof(ArchiveHeader, tableWord), sizeof(ArchiveEntry), 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, tableSize), tableSize, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, tableOffset), dataEnd + namesSize, 8);
    PutLittleEndian(header + offsetof(ArchiveHeader, namesWord), 0, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, namesSize), namesSize, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, namesOffset), dataEnd, 8);
    return Put(header, sizeof header);
  }

  bool CopyFile(const PackFile& file, std::vector<unsigned char>* buffer) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenFile(file.source, "rb"), std::fclose);
    if (!in) {
      PrintError(PathText(file.source), "cannot open it: " + ErrnoText(errno));
      return false;
    }
    std::setvbuf(in.get(), nullptr, _IONBF, 0);
    std::uint64_t copied = 0;
    for (;;) {
      std::size_t got = std::fread(buffer->data(), 1, buffer->size(), in.get());
      if (got == 0) break;
      copied += got;
      // A file that grew would shift every later offset: stop at once.
      if (copied > file.size) break;
      if (!Put(buffer->data(), got)) return false;
      if (copied_) copied_(got);
    }
    if (std::ferror(in.get())) {
      PrintError(PathText(file.source), "cannot read it: " + ErrnoText(errno));
      return false;
    }
    if (copied != file.size) {
      PrintError(PathText(file.source), "it changed size while being packed");
      return false;
    }
    return true;
  }

  bool Put(const void* data, std::size_t size) {
    if (std::fwrite(data, 1, size, out_) == size) return true;
    PrintError(temporary_, "cannot write it: " + ErrnoText(errno));
    return false;
  }

  bool Commit() {
    // On disk before the rename, so a crash cannot leave a short archive
    // under the final name.
    bool flushed = std::fflush(out_) == 0;
#ifdef _WIN32
    flushed = flushed && _commit(_fileno(out_)) == 0;
#else
    flushed = flushed && fsync(fileno(out_)) == 0;
#endif
    int error = errno;
    bool closed = std::fclose(out_) == 0;
    out_ = nullptr;
    if (!flushed || !closed) {
      PrintError(temporary_, "cannot write it: " + ErrnoText(flushed ? errno : error));
      return false;
    }
    std::error_code renameError;
    fs::rename(fs::path(temporary_), fs::path(archive_), renameError);
    if (renameError) {
      PrintError(archive_, "cannot put the archive in place: " + renameError.message());
      return false;
    }
    temporary_.clear();
    g_temporaryPath[0] = '\0';
    return true;
  }

  void Discard() {
    if (out_ != nullptr) std::fclose(out_);
    out_ = nullptr;
    if (!temporary_.empty()) std::remove(temporary_.c_str());
    g_temporaryPath[0] = '\0';
  }

  std::string archive_;
  std::function<void(std::uint64_t)> copied_;
  std::string temporary_;
  std::FILE* out_ = nullptr;
};

}  // namespace

void Refusals::Add(const std::string& subject, const std::string& reason) {
  if (count_++ < kMaxReported) PrintError(subject, reason);
}

bool Refusals::Refused(const std::string& archive) const {
  if (count_ == 0) return false;
  if (count_ > kMaxReported) {
    PrintError(command_, std::to_string(count_ - kMaxReported) + " more files refused");
  }
  PrintError(archive, "not written: " + std::to_string(count_) +
                          (count_ == 1 ? " file" : " files") + " refused");
  return true;
}

bool UsableTree(const fs::path& root, const std::string& archive, const char* what) {
  std::error_code error;
  if (!fs::is_directory(root, error)) {
    PrintError(PathText(root), error ? error.message() : "not a folder");
    return false;
  }
  if (IsInside(fs::path(archive), root)) {
    PrintError(archive, std::string("the archive would lie inside ") + what);
    return false;
  }
  return true;
}

std::vector<PackFile> ScanTree(const fs::path& root, const CodePage& codePage, Refusals* refusals) {
  std::vector<PackFile> files;
  TreeScanner(codePage, &files, refusals).Scan(root, std::string());
  std::sort(files.begin(), files.end(),
            [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  CheckCaseClashes(files, codePage, refusals);
  return files;
}

std::uint64_t ArchiveSize(const std::vector<PackFile>& files) {
  std::uint64_t size = sizeof(ArchiveHeader);
  for (const PackFile& file : files)
    size += file.size + file.name.size() + 1 + sizeof(ArchiveEntry);
  return size;
}

bool WriteArchive(const std::string& archive, const std::vector<PackFile>& files,
                  const std::function<void(std::uint64_t)>& copied) {
  std::uint64_t size = ArchiveSize(files);
  if (size > kMaxArchiveSize) {
    PrintError(archive, "not written: it would have " + SizeText(size) + ", more than the " +
                            SizeText(kMaxArchiveSize) + " a Patch.exe can carry and still start");
    return false;
  }
  return ArchiveWriter(archive, copied).Write(files);
}
