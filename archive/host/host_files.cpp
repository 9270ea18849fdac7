#include "host_files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "host_files_platform.h"

namespace fs = std::filesystem;

std::string SystemErrorText(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return "no error reported";
    case ERROR_FILE_NOT_FOUND:
      return "file not found";
    case ERROR_PATH_NOT_FOUND:
      return "path not found";
    case ERROR_TOO_MANY_OPEN_FILES:
      return "too many open files";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "not enough memory";
    case ERROR_WRITE_PROTECT:
      return "the medium is write-protected";
    case ERROR_SHARING_VIOLATION:
      return "the file is in use by another process";
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return "the disk is full";
    case ERROR_INVALID_NAME:
      return "the name is not valid";
    case ERROR_FILENAME_EXCED_RANGE:
      return "the name is too long";
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return "it already exists";
    case ERROR_DIRECTORY:
      return "not a folder";
    case ERROR_CANT_RESOLVE_FILENAME:
      return "a symbolic link is in the way, which is not followed";
    case ERROR_BAD_FILE_TYPE:
      return "it is not a regular file";
    default:
      return "system error " + std::to_string(code);
  }
}

std::string ErrnoText(int error) { return std::strerror(error); }

const char kChangedSize[] = "it changed size while being packed";

std::string ChangedSinceListed(const std::string& now) {
  return "it changed since it was listed: " + now;
}

bool SameFile(const fs::path& a, const fs::path& b) {
  if (a.empty() || b.empty()) return false;
  FileIdentity first, second;
  bool hasFirst = Identify(a, &first), hasSecond = Identify(b, &second);
  if (hasFirst || hasSecond) return hasFirst && hasSecond && first == second;
  return PathKey(a) == PathKey(b);
}

KnownFiles::KnownFiles(const std::vector<NamedPath>& files) {
  for (const NamedPath& file : files) {
    FileIdentity identity;
    if (Identify(file.path, &identity)) known_.emplace_back(identity, file.what);
  }
}

std::string KnownFiles::Find(const fs::path& path) const {
  FileIdentity identity;
  if (known_.empty() || !Identify(path, &identity)) return std::string();
  for (const auto& known : known_) {
    if (known.first == identity) return known.second;
  }
  return std::string();
}

bool IsWithin(const fs::path& path, const fs::path& folder) {
  for (fs::path at = PathKey(path);; at = at.parent_path()) {
    if (SameFile(at, folder)) return true;
    if (!at.has_relative_path()) return false;
  }
}

std::string OutputProblem(const NamedPath& output, const std::vector<NamedPath>& files,
                          const std::vector<NamedPath>& trees) {
  std::error_code error;
  if (fs::is_directory(output.path, error))
    return "a folder, which " + output.what + " cannot replace";
  std::vector<NamedPath> all(files);
  all.push_back(NamedPath{ProgramFile(), "patchpack itself"});
  for (const NamedPath& file : all) {
    if (SameFile(output.path, file.path)) return output.what + " would replace " + file.what;
  }
  for (const NamedPath& tree : trees) {
    if (IsWithin(output.path, tree.path)) return output.what + " would lie inside " + tree.what;
  }
  return std::string();
}

bool OutputFile::Create(const std::string& target, HostError* error) {
  Discard();
  target_ = target;
  std::string stem = target + "." + std::to_string(ProcessId());
  // Room for the name in the signal handler's own copy.
  if (stem.size() + 16 >= kMaxTemporaryPath) {
    *error = HostError{target, "the path is too long"};
    return false;
  }
  // Someone may have planted a file or a link under the name; try others.
  for (int attempt = 0; attempt < 100 && out_ == nullptr; ++attempt) {
    temporary_ = stem + (attempt == 0 ? "" : "." + std::to_string(attempt)) + ".tmp";
    out_ = CreateNewFile(ArgumentPath(temporary_));
    if (out_ == nullptr && errno != EEXIST) break;
  }
  if (out_ == nullptr) {
    *error = HostError{target_, "cannot create it: " + ErrnoText(errno)};
    temporary_.clear();
    return false;
  }
  // Archives are written in many small pieces (names, table entries, small
  // files): fewer, larger writes.
  buffer_.resize(1 << 18);
  std::setvbuf(out_, buffer_.data(), _IOFBF, buffer_.size());
  ArmRemoval(ArgumentPath(temporary_));
  return true;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  if (out_ != nullptr && std::fwrite(data, 1, size, out_) == size) return true;
  writeErrno_ = errno;
  failed_ = true;
  return false;
}

bool OutputFile::Rewrite(std::uint64_t offset, const void* data, std::size_t size) {
  if (out_ != nullptr && std::fflush(out_) == 0 && SeekFile(out_, offset) &&
      std::fwrite(data, 1, size, out_) == size && std::fflush(out_) == 0 &&
      std::fseek(out_, 0, SEEK_END) == 0) {
    return true;
  }
  writeErrno_ = errno;
  failed_ = true;
  return false;
}

HostError OutputFile::WriteError() const {
  return HostError{target_, "cannot write it: " + ErrnoText(writeErrno_)};
}

bool OutputFile::Commit(HostError* error) {
  // On disk before the rename, so a crash cannot leave a short file under
  // the final name.
  bool flushed = std::fflush(out_) == 0 && SyncFile(out_);
  int flushErrno = errno;
  bool closed = std::fclose(out_) == 0;
  out_ = nullptr;
  if (!flushed || !closed) {
    *error = HostError{target_, "cannot write it: " + ErrnoText(flushed ? errno : flushErrno)};
    return false;
  }
  std::error_code renameError;
  fs::rename(ArgumentPath(temporary_), ArgumentPath(target_), renameError);
  if (renameError) {
    *error = HostError{target_,
                       std::string("cannot put ") + what_ + " in place: " + renameError.message()};
    return false;
  }
  temporary_.clear();
  DisarmRemoval();
  SyncFolder(fs::absolute(ArgumentPath(target_), renameError).parent_path());
  return true;
}

void OutputFile::Discard() {
  if (out_ != nullptr) std::fclose(out_);
  out_ = nullptr;
  if (!temporary_.empty()) {
    std::error_code ignored;
    fs::remove(ArgumentPath(temporary_), ignored);
    temporary_.clear();
    DisarmRemoval();
  }
}
