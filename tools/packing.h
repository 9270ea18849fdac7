// What create and diff share: reading a folder into the files an archive
// would hold, with every name rule applied, and writing that archive.
#ifndef TOOLS_PACKING_H
#define TOOLS_PACKING_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "code_page.h"

#ifndef PATCH_MAX_ARCHIVE_SIZE
#error "PATCH_MAX_ARCHIVE_SIZE comes from the top CMakeLists.txt"
#endif
// The largest archive a Patch.exe starts with and installs, measured under
// Wine with room left for real Windows' more fragmented address space.
const std::uint64_t kMaxArchiveSize = PATCH_MAX_ARCHIVE_SIZE;
#define PATCH_TEXT_OF(value) #value
#define PATCH_TEXT(value) PATCH_TEXT_OF(value)
// For help texts: "536870912 bytes".
#define PATCH_MAX_ARCHIVE_TEXT PATCH_TEXT(PATCH_MAX_ARCHIVE_SIZE) " bytes"
// Sizes, offsets within the names block and the table size are 32-bit.
static_assert(kMaxArchiveSize <= 0xFFFFFFFFu, "a 32-bit Patch.exe maps the whole archive");

struct PackFile {
  std::string name;  // as stored: '\' between components, in the code page
  std::filesystem::path source;
  std::uint32_t size;
};

// Reasons files cannot be packed, printed as they are found.
class Refusals {
 public:
  explicit Refusals(const char* command) : command_(command) {}
  void Add(const std::string& subject, const std::string& reason);
  std::size_t count() const { return count_; }
  // When there were any: says the archive is not written and returns true.
  bool Refused(const std::string& archive) const;

 private:
  const char* command_;
  std::size_t count_ = 0;
};

// False after reporting when root is no folder or the archive would lie in it
// (what names the folder in the message, e.g. "the folder being packed").
bool UsableTree(const std::filesystem::path& root, const std::string& archive, const char* what);

// Every regular file under root, sorted by name. Whatever the installer could
// not write correctly on Windows under its name in the code page, and two
// names Windows would take for one, go to refusals instead.
std::vector<PackFile> ScanTree(const std::filesystem::path& root, const CodePage& codePage,
                               Refusals* refusals);

// The size of the archive that holds these files.
std::uint64_t ArchiveSize(const std::vector<PackFile>& files);

// Writes the archive of the files in their order, under a temporary name
// renamed into place when complete, after refusing one larger than
// kMaxArchiveSize. Calls copied with each piece of file data written. False
// after reporting.
bool WriteArchive(const std::string& archive, const std::vector<PackFile>& files,
                  const std::function<void(std::uint64_t)>& copied);

#endif  // TOOLS_PACKING_H
