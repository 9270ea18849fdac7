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
#include "host_text.h"

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

  // Empty when the archive is laid out as WriteArchive lays one out: the
  // header's unread fields and each entry's as it fills them, the files'
  // bytes from offset 48 back to back in table order, their names after them
  // in the same order, the table last; otherwise the first difference. The
  // extractor reads any layout; the tools take only this one for an archive.
  // After a failed Read only the header's unread fields are judged, if read.
  std::string LayoutProblem() const;

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
  std::string Describe(std::uint32_t index, const CodePage& codePage = AsciiNames()) const;

 private:
  bool Fail(const std::string& reason);
  bool ReadBlock(DataStream& stream, const char* what, std::uint64_t offset, std::uint32_t size,
                 std::vector<unsigned char>* block);

  ArchiveHeader header_ = {};
  std::uint64_t archiveSize_ = 0;
  bool headerRead_ = false;
  bool whole_ = false;  // the table and names too
  std::vector<unsigned char> table_;
  std::vector<unsigned char> names_;
  std::string error_;
};

// True when [offset, offset + size) lies inside an archive of archiveSize
// bytes, without the sum wrapping around.
bool FitsInside(std::uint64_t offset, std::uint64_t size, std::uint64_t archiveSize);

// A file read as an archive: the whole file, or the part of it where a
// program carries one, offsets counted from that part's start. The part ends
// the stream: nothing after it is read.
class ArchiveFileStream : public FileDataStream {
 public:
  static constexpr std::uint64_t kWholeFile = ~std::uint64_t{0};

  // Takes effect at the next Open.
  void SetWindow(std::uint64_t offset, std::uint64_t size) {
    offset_ = offset;
    size_ = size;
  }
  std::uint64_t windowOffset() const { return offset_; }
  std::uint64_t windowSize() const { return size_; }

  bool Open(const char* name, bool forWrite) override;
  bool Seek(std::uint64_t offset) override;
  std::uint32_t Read(void* buffer, std::uint32_t count) override;

 private:
  std::uint64_t offset_ = 0, size_ = kWholeFile, position_ = 0;
};

// Opens a file as an archive (the stream's window of it, when set) and reads
// its index, judging its layout: the one place the tools take a file for an
// archive. Returns 0 with the stream open, or what the extractor would
// return, with *error set: EXTRACT_OPEN_FAILED when the file cannot be
// opened, EXTRACT_READ_FAILED when it cannot be read as an archive or is not
// laid out as one.
int OpenArchive(const std::string& archive, ArchiveFileStream* stream, ArchiveIndex* index,
                HostError* error);

// The archive as an extractor on this host reads it with each entry's name
// turned from the code page into the host's own file names: a header for
// offset 0, and the names and table it points at, from the archive's end on.
struct RenamedIndex {
  ArchiveHeader header;
  std::vector<unsigned char> tail;
};

// Fills *names with what the host's file functions take for each entry of a
// sound index (its bytes as stored without a code page) and, with a code
// page, *renamed; false with *error naming the first entry the host cannot
// name.
bool HostNames(const ArchiveIndex& index, const CodePage& codePage, std::vector<std::string>* names,
               RenamedIndex* renamed, std::string* error);

#endif  // ARCHIVE_HOST_ARCHIVE_INDEX_H
