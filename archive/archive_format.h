// The patch archive's records and the extractor's result and event codes.
//
// An archive is a 48-byte header at offset 0, the files' bytes, a block of
// NUL-terminated names and a table of 32-byte entries. Integers are
// little-endian and the records are read straight into these structures.
#ifndef ARCHIVE_ARCHIVE_FORMAT_H
#define ARCHIVE_ARCHIVE_FORMAT_H

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

struct ArchiveHeader {
  std::uint32_t headWord;    // not read; 1
  std::uint32_t headSize;    // not read; 0
  std::uint64_t headOffset;  // not read; where the file data ends
  std::uint32_t tableWord;   // not read; sizeof(ArchiveEntry)
  std::uint32_t tableSize;   // bytes, a multiple of sizeof(ArchiveEntry)
  std::uint64_t tableOffset;
  std::uint32_t namesWord;  // not read; 0
  std::uint32_t namesSize;
  std::uint64_t namesOffset;
};

struct ArchiveEntry {
  std::uint64_t dataOffset;
  std::uint32_t dataSize;
  std::uint32_t nameOffset;  // within the names block
  std::uint32_t nameLength;  // not read; includes the NUL
  std::uint32_t entryWord;   // not read; 32
  std::uint64_t entryTail;   // not read; 0
};

#pragma pack(pop)

static_assert(sizeof(ArchiveHeader) == 48, "ArchiveHeader is 48 bytes");
static_assert(offsetof(ArchiveHeader, headWord) == 0, "headWord at 0");
static_assert(offsetof(ArchiveHeader, headSize) == 4, "headSize at 4");
static_assert(offsetof(ArchiveHeader, headOffset) == 8, "headOffset at 8");
static_assert(offsetof(ArchiveHeader, tableWord) == 16, "tableWord at 16");
static_assert(offsetof(ArchiveHeader, tableSize) == 20, "tableSize at 20");
static_assert(offsetof(ArchiveHeader, tableOffset) == 24, "tableOffset at 24");
static_assert(offsetof(ArchiveHeader, namesWord) == 32, "namesWord at 32");
static_assert(offsetof(ArchiveHeader, namesSize) == 36, "namesSize at 36");
static_assert(offsetof(ArchiveHeader, namesOffset) == 40, "namesOffset at 40");

static_assert(sizeof(ArchiveEntry) == 32, "ArchiveEntry is 32 bytes");
static_assert(offsetof(ArchiveEntry, dataOffset) == 0, "dataOffset at 0");
static_assert(offsetof(ArchiveEntry, dataSize) == 8, "dataSize at 8");
static_assert(offsetof(ArchiveEntry, nameOffset) == 12, "nameOffset at 12");
static_assert(offsetof(ArchiveEntry, nameLength) == 16, "nameLength at 16");
static_assert(offsetof(ArchiveEntry, entryWord) == 20, "entryWord at 20");
static_assert(offsetof(ArchiveEntry, entryTail) == 24, "entryTail at 24");

// The records are the archive's bytes as they stand: only a little-endian
// host can read them directly.
#if !defined(__BYTE_ORDER__) || !defined(__ORDER_LITTLE_ENDIAN__)
#error "cannot tell the host's byte order"
#endif
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the archive is little-endian");

enum ExtractResult {
  EXTRACT_OK = 0,
  EXTRACT_OPEN_FAILED = 1,
  EXTRACT_READ_FAILED = 2,
  EXTRACT_WRITE_FAILED = 3,
  EXTRACT_OUT_OF_MEMORY = 4,
  EXTRACT_CREATE_FAILED = 5,
};

enum ExtractEvent {
  EVENT_ERROR = 0,           // value: the ExtractResult of the failure
  EVENT_BEGIN = 1,           // name: the archive name given to Extract
  EVENT_FILE_BEGIN = 2,      // value: the file's size; name: its destination path
  EVENT_FILE_PROGRESS = 3,   // value: percentage of the file written, 1 to 100
  EVENT_FILE_END = 4,        // name: the destination path
  EVENT_END = 5,             // name: the archive name given to Extract
  EVENT_TOTAL_PROGRESS = 6,  // value: percentage of all bytes in files begun so far
};

#endif  // ARCHIVE_ARCHIVE_FORMAT_H
