// Reads a patch archive on its own, without the project's code, to know what
// an installation must leave in the destination folder.
#ifndef TESTS_E2E_ARCHIVE_CHECK_H
#define TESTS_E2E_ARCHIVE_CHECK_H

#include <cstdint>
#include <string>
#include <vector>

struct StoredFile {
  std::string name;      // as stored, `\` or `/` separated
  std::uint32_t size;    // as the entry claims
  std::string expected;  // the bytes the installer writes for it
  bool complete;         // false when the archive ends inside its bytes
};

// Fills `files` in table order; an entry whose bytes run past the end of the
// archive expects only the whole 512-byte pieces read before the end.
bool LoadArchive(const std::string& path, std::vector<StoredFile>* files, std::string* error);

bool Exists(const std::string& path);
std::string JoinWindowsPath(const std::string& folder, const std::string& name);
bool ReadWholeFile(const std::string& path, std::string* bytes);
bool WriteWholeFile(const std::string& path, const std::string& bytes);

// Compares every file of `files` under `folder`, except the one named
// `skip`; returns a line per mismatch (empty when all match).
std::vector<std::string> CompareInstalled(const std::vector<StoredFile>& files,
                                          const std::string& folder, const std::string& skip);

#endif  // TESTS_E2E_ARCHIVE_CHECK_H
