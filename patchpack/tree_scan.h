// What create, diff and build share: reading a release folder into the files
// an archive would hold, with every name rule applied, and the refusals.
#ifndef PATCHPACK_TREE_SCAN_H
#define PATCHPACK_TREE_SCAN_H

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "code_page.h"
#include "host_files.h"

// Reasons files cannot be packed, printed as they are found.
class Refusals {
 public:
  explicit Refusals(const char* command) : command_(command) {}
  void Add(const std::string& subject, const std::string& reason);
  std::size_t count() const { return count_; }
  // When there were any: says the output is not written and returns true.
  bool Refused(const std::string& output) const;

 private:
  const char* command_;
  std::size_t count_ = 0;
};

// False after reporting when root is no folder.
bool UsableTree(const std::filesystem::path& root);

// False after reporting a tree that is no folder, or the first output that
// may not be written: a folder, one of the files, an earlier output,
// patchpack itself, or inside a tree. Outputs with no path are not given.
bool ReadyToWrite(const std::vector<NamedPath>& trees, const std::vector<NamedPath>& outputs,
                  const std::vector<NamedPath>& files = {});

// Every regular file under root, sorted by name. Whatever the installer could
// not write correctly on Windows under its name in the code page, and two
// names Windows would take for one, go to refusals instead.
std::vector<PackFile> ScanTree(const std::filesystem::path& root, const CodePage& codePage,
                               Refusals* refusals);

// The files of the folder being packed whole into output, as ScanTree finds
// them; false after reporting the refusals (command heads them).
bool ScanPackedFolder(const std::filesystem::path& root, const std::string& output,
                      const char* command, const CodePage& codePage, std::vector<PackFile>* files);

// WriteArchive, reporting why not when it fails.
bool WriteArchiveReporting(const std::string& archive, const std::vector<PackFile>& files,
                           const CopyProgress& copied);

#endif  // PATCHPACK_TREE_SCAN_H
