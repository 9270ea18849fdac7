// Reads an archive's header, entry table and names block, and says what is
// wrong with them, for tools that inspect archives without extracting them.
#ifndef ARCHIVE_HOST_ARCHIVE_INDEX_H
#define ARCHIVE_HOST_ARCHIVE_INDEX_H

#include <cstdint>
#include <string>
#include <vector>

#include "archive_format.h"
#include "code_page.h"
#include "data_stream.h"

class ArchiveIndex {
 public:
  // Reads from an open stream whose data is archiveSize bytes long. False when
  // the header, the table or the names block cannot be used; error() says why.
  // Every bound is checked against archiveSize before anything is read, so no
  // input makes it read or allocate beyond what the archive holds.
  bool Read(DataStream& stream, std::uint64_t archiveSize);

  const std::string& error() const { return error_; }
  const ArchiveHeader& header() const { return header_; }
  std::uint64_t archiveSize() const { return archiveSize_; }
  std::uint32_t count() const {
    return static_cast<std::uint32_t>(table_.size() / sizeof(ArchiveEntry));
  }

  ArchiveEntry Entry(std::uint32_t index) const;
  // The entry's name, or null when it does not lie NUL-terminated inside the
  // names block.
  const char* Name(std::uint32_t index) const;
  // Empty when the entry can be extracted as it stands; otherwise what is
  // wrong with it.
  std::string Problem(std::uint32_t index) const;
  // Empty when Windows can take the entry's (sound) name as it stands, in the
  // code page; otherwise why not: the rules patchpack create applies.
  std::string WindowsNameProblem(std::uint32_t index,
                                 const CodePage& codePage = AsciiNames()) const;
  // "entry 7 (data\a.txt)", or "entry 7" when the name is unreadable: how
  // messages refer to an entry. Counted from 1.
  std::string Describe(std::uint32_t index) const;

 private:
  bool Fail(const std::string& reason);
  bool ReadBlock(DataStream& stream, const char* what, std::uint64_t offset, std::uint32_t size,
                 std::vector<unsigned char>* block);

  ArchiveHeader header_ = {};
  std::uint64_t archiveSize_ = 0;
  std::vector<unsigned char> table_;
  std::vector<unsigned char> names_;
  std::string error_;
};

// True when [offset, offset + size) lies inside an archive of archiveSize
// bytes, without the sum wrapping around.
bool FitsInside(std::uint64_t offset, std::uint64_t size, std::uint64_t archiveSize);

#endif  // ARCHIVE_HOST_ARCHIVE_INDEX_H
