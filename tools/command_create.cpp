// patchpack create: packs a folder into an archive laid out as the installer
// carries it.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include "archive_format.h"
#include "commands.h"
#include "name_rules.h"
#include "tool_support.h"

namespace fs = std::filesystem;

const char kCreateHelp[] =
    "usage: patchpack create ARCHIVE DIR\n"
    "\n"
    "Packs every regular file under DIR, at any depth, into ARCHIVE. Names are\n"
    "relative to DIR with '\\' between folders and are stored in byte order, so\n"
    "the same tree always gives the same archive, byte for byte. An empty DIR\n"
    "gives a valid empty archive. ARCHIVE is written beside itself under a\n"
    "temporary name and renamed into place only when complete.\n"
    "\n"
    "Refused, naming the file, is whatever the installer could not write\n"
    "correctly on Windows:\n"
    "  - a name that is not plain ASCII (the installer uses the ANSI code page);\n"
    "  - a name holding < > : \" | ? * '\\' or a control character;\n"
    "  - a folder or file name ending in a dot or a space;\n"
    "  - a device name such as CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or\n"
    "    without an extension;\n"
    "  - two names that differ only in letter case;\n"
    "  - a name longer than 160 characters: the installer's Windows file\n"
    "    functions stop at 259 characters for a file and 247 for a folder, so\n"
    "    160 leaves about 99 for the destination folder the player picks;\n"
    "  - a file of 4 GiB or more;\n"
    "  - anything that is neither a regular file nor a folder: symbolic links\n"
    "    (never followed), FIFOs, sockets and devices.\n"
    "\n"
    "Exit status: 0 when ARCHIVE was written, 1 when not, 64 on a usage error.\n";

namespace {

const std::uint64_t kMaxFileSize = 0xFFFFFFFFu;
// Beyond this many refusals the rest would only scroll the first ones away.
const std::size_t kMaxReported = 50;

struct PackFile {
  std::string name;  // as stored: '\' between components
  fs::path source;
  std::uint32_t size;
};

class Refusals {
 public:
  void Add(const std::string& subject, const std::string& reason) {
    if (count_++ < kMaxReported) PrintError(subject, reason);
  }
  std::size_t count() const { return count_; }
  void Finish() const {
    if (count_ > kMaxReported) {
      std::fprintf(stderr, "patchpack: create: %zu more files refused\n", count_ - kMaxReported);
    }
  }

 private:
  std::size_t count_ = 0;
};

// A host file name as ASCII text, or false when any character is outside it.
bool AsciiName(const fs::path& name, std::string* out) {
  out->clear();
  for (auto c : name.native()) {
    auto code = static_cast<std::make_unsigned<decltype(c)>::type>(c);
    if (code >= 0x80) return false;
    *out += static_cast<char>(code);
  }
  return true;
}

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

class TreeScanner {
 public:
  TreeScanner(std::vector<PackFile>* files, Refusals* refusals)
      : files_(files), refusals_(refusals) {}

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
    std::string problem =
        AsciiName(path.filename(), &component) ? ComponentProblem(component) : kNotAsciiProblem;
    if (!problem.empty()) {
      refusals_->Add(PathText(path), problem);
      return;
    }
    std::string name = prefix.empty() ? component : prefix + '\\' + component;
    std::error_code error;
    fs::file_status status = fs::symlink_status(path, error);
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
    std::uintmax_t size = fs::file_size(path, error);
    if (error) {
      refusals_->Add(PathText(path), "cannot read its size: " + error.message());
      return;
    }
    if (size > kMaxFileSize) {
      refusals_->Add(PathText(path), "it has " + std::to_string(size) +
                                         " bytes; the archive holds files under 4 GiB");
      return;
    }
    files_->push_back(PackFile{name, path, static_cast<std::uint32_t>(size)});
  }

  std::vector<PackFile>* files_;
  Refusals* refusals_;
};

// Windows would see one file where the host has two, or a file where a folder
// must go.
void CheckCaseClashes(const std::vector<PackFile>& files, const fs::path& root,
                      Refusals* refusals) {
  std::map<std::string, const PackFile*> byFolded;
  std::map<std::string, const PackFile*> folders;  // a folder, and a file inside it
  for (const PackFile& file : files) {
    std::string folded = FoldCase(file.name);
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
    auto folder = folders.find(FoldCase(file.name));
    if (folder != folders.end()) {
      std::string folderName = folder->second->name.substr(0, file.name.size());
      std::replace(folderName.begin(), folderName.end(), '\\', '/');
      refusals->Add(
          PathText(file.source),
          "Windows would take it for the same name as the folder " + PathText(root / folderName));
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
  explicit ArchiveWriter(const std::string& archive) : archive_(archive) {}
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

  bool WriteHeader(const std::vector<PackFile>& files) {
    std::uint64_t dataEnd = sizeof(ArchiveHeader);
    std::uint64_t namesSize = 0;
    for (const PackFile& file : files) {
      dataEnd += file.size;
      namesSize += file.name.size() + 1;
    }
    std::uint64_t tableSize = files.size() * std::uint64_t{sizeof(ArchiveEntry)};
    if (namesSize > 0xFFFFFFFFu || tableSize > 0xFFFFFFFFu) {
      PrintError(archive_,
                 "too many files for one archive: the names or the entry table "
                 "would pass 4 GiB");
      return false;
    }
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
    std::uint64_t copied = 0;
    for (;;) {
      std::size_t got = std::fread(buffer->data(), 1, buffer->size(), in.get());
      if (got == 0) break;
      copied += got;
      // A file that grew would shift every later offset: stop at once.
      if (copied > file.size) break;
      if (!Put(buffer->data(), got)) return false;
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
  std::string temporary_;
  std::FILE* out_ = nullptr;
};

}  // namespace

int RunCreate(const Arguments& arguments) {
  Arguments operands;
  int parsed = ParseOperands("create", kCreateHelp, arguments, 2, 2, &operands);
  if (parsed >= 0) return parsed;
  const std::string& archive = operands[0];
  fs::path root(operands[1]);

  std::error_code error;
  if (!fs::is_directory(root, error)) {
    PrintError(PathText(root), error ? error.message() : "not a folder");
    return 1;
  }
  if (IsInside(fs::path(archive), root)) {
    PrintError(archive, "the archive would lie inside the folder being packed");
    return 1;
  }

  std::vector<PackFile> files;
  Refusals refusals;
  TreeScanner(&files, &refusals).Scan(root, std::string());
  std::sort(files.begin(), files.end(),
            [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  CheckCaseClashes(files, root, &refusals);
  if (refusals.count() != 0) {
    refusals.Finish();
    PrintError(archive, "not written: " + std::to_string(refusals.count()) +
                            (refusals.count() == 1 ? " file" : " files") + " refused");
    return 1;
  }
  return ArchiveWriter(archive).Write(files) ? 0 : 1;
}
