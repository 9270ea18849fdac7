// Host files for the release tools: sizes, kinds, names as the host spells
// them, error texts, and output written under a temporary name and put in
// place only when complete. The platform branches live in host_files_posix.cpp
// and host_files_win32.cpp.
#ifndef ARCHIVE_HOST_HOST_FILES_H
#define ARCHIVE_HOST_HOST_FILES_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "host_text.h"
#include "output_sink.h"
#include "platform_files.h"

// The text of a Win32 error code as the core's file functions report it.
std::string SystemErrorText(DWORD code);

// The text of errno, for the C library's file functions.
std::string ErrnoText(int error);

// The size of a regular file, or false (with *error set) when there is none.
bool FileSize(const std::filesystem::path& path, std::uint64_t* size, std::string* error);

// Which file a path named when it was examined: its device and inode, or on
// Windows its volume and file index; zero where the host did not tell.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index == other.index;
  }
  bool operator!=(const FileIdentity& other) const { return !(*this == other); }
};

// Why a file read for packing is refused when it grew or shrank meanwhile.
extern const char kChangedSize[];
// "it changed since it was listed: " and what it is now.
std::string ChangedSinceListed(const std::string& now);

// A file's kind, not following a symbolic link, its size and, for a regular
// file, its identity: one system call for each of the many files in a
// release, where the host allows.
std::filesystem::file_status Examine(const std::filesystem::path& path, std::uintmax_t* size,
                                     FileIdentity* identity, std::error_code* error);

// Opens for reading the regular file that Examine found at path, once, so
// that what is read is what was examined: never through a symbolic link,
// never waiting on a FIFO. Null, with *error saying why, when path names
// another file now or one of another size.
std::FILE* OpenExamined(const std::filesystem::path& path, const FileIdentity& identity,
                        std::uint64_t size, std::string* error);

// A path from the command line as the host's file functions name it: on
// Windows, arguments arrive in the ANSI code page.
std::filesystem::path ArgumentPath(const std::string& argument);

// fopen for a path that may hold characters outside the ANSI code page.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// True when the stream is a terminal, where a progress bar is worth drawing.
bool IsTerminal(std::FILE* stream);

// A host path as text for messages, whatever its encoding.
std::string PathText(const std::filesystem::path& path);

// Whether the program's messages are read as UTF-8: its locale on POSIX, the
// console's code page on Windows.
bool HostTextIsUtf8();

// This program's own file; empty when the host cannot tell.
std::filesystem::path ProgramFile();

// True when a and b name one file or folder: the same device and inode (on
// Windows, volume and file index) where both exist, the same canonical path
// where neither does.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// True when path is folder or lies anywhere inside it, however either is
// spelt (links, "..", another mount of it).
bool IsWithin(const std::filesystem::path& path, const std::filesystem::path& folder);

// A file or folder a command reads or writes, and how messages call it: "the
// stub", "the archive", "the new release's folder".
struct NamedPath {
  std::filesystem::path path;
  std::string what;
};

// Files that exist, told apart by identity, to look many paths up among a
// few without asking the system about the few each time.
class KnownFiles {
 public:
  explicit KnownFiles(const std::vector<NamedPath>& files);
  // What the file at path is called among them; empty when it is none.
  std::string Find(const std::filesystem::path& path) const;

 private:
  std::vector<std::pair<FileIdentity, std::string>> known_;
};

// A path as the core's file functions are handed it ('\' a separator too),
// as the host's own functions name it.
std::filesystem::path CorePath(const std::string& path);

// Why an output may not be written, or empty when it may: it is a folder, it
// would replace one of the files (this program is always one) or lie inside
// one of the trees.
std::string OutputProblem(const NamedPath& output, const std::vector<NamedPath>& files,
                          const std::vector<NamedPath>& trees);

// A file written beside its target under a temporary name, and renamed over
// the target only once complete and on disk. Until then it is removed on
// every way out, Ctrl+C and termination included.
class OutputFile : public OutputSink {
 public:
  // what names the output in messages: "the archive", "the list".
  explicit OutputFile(const char* what) : what_(what) {}
  ~OutputFile() override { Discard(); }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the temporary file, under a name no file has yet: it never opens
  // what another user planted under that name.
  bool Create(const std::string& target, HostError* error);
  bool Write(const void* data, std::size_t size) override;
  bool Rewrite(std::uint64_t offset, const void* data, std::size_t size) override;
  // The temporary name, empty when there is no file.
  const std::string& temporary() const { return temporary_; }
  // Whether a Write or Rewrite failed, and why.
  bool failed() const { return failed_; }
  HostError WriteError() const;
  // Syncs, closes and renames over the target.
  bool Commit(HostError* error);
  // Removes the temporary file, if any.
  void Discard();

 private:
  const char* what_;
  std::string target_;
  std::string temporary_;
  std::FILE* out_ = nullptr;
  std::vector<char> buffer_;  // out_'s, until it is closed
  int writeErrno_ = 0;
  bool failed_ = false;
};

#endif  // ARCHIVE_HOST_HOST_FILES_H
