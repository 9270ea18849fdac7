// What a patch must carry to take each of several old releases of the game
// to a new one: every file of the new release that some old release lacks or
// holds with other bytes. Shared by diff and build.
#ifndef PATCHPACK_RELEASE_DIFF_H
#define PATCHPACK_RELEASE_DIFF_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "archive_writer.h"
#include "code_page.h"

// Bytes read and written so far against a total that grows as files to
// pack turn up; the bar never moves back.
class ByteProgress {
 public:
  void Expect(std::uint64_t bytes) { total_ += bytes; }
  void Add(std::uint64_t bytes);

 private:
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  std::uint64_t shown_ = 0;
};

struct ReleaseDiff {
  std::vector<PackFile> patch;  // in the new release's order
  std::size_t added = 0;        // in no old release
  std::size_t changed = 0;      // packed, though some old release has the name
  std::size_t unchanged = 0;    // every old release holds exactly these bytes
  std::size_t removed = 0;      // names some old release has and the new one lacks
};

// Compares the releases (folders ReadyToWrite accepted) as Windows names
// files, refusing, after reporting, what the installer could not write over
// one of the old releases; reports the removed files and, with removedList,
// writes their names there. False after reporting; command and output (what
// the caller will write) are for the messages.
bool DiffReleases(const std::vector<std::filesystem::path>& oldRoots,
                  const std::filesystem::path& newRoot, const CodePage& codePage,
                  const char* command, const std::string& output, const std::string& removedList,
                  ByteProgress* progress, ReleaseDiff* diff);

// "3 added, 1 changed, 10 unchanged, 0 removed; archive 1234 bytes"
std::string DiffSummary(const ReleaseDiff& diff);

#endif  // PATCHPACK_RELEASE_DIFF_H
