// Feeds arbitrary bytes to the reader behind `patchpack list` and `verify`,
// and checks it against the extractor: both must agree on whether the header,
// the table and the names block can be read.
#include <stdio.h>
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive_extractor.h"
#include "archive_index.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "broken promise: %s\n", what);
    abort();
  }
}

// A destination where nothing can be created: the extractor then reads the
// header, the table and the names block, and no file data.
const char* const kNowhere = "/proc/patch-fuzz-nowhere";

bool HasEmptyBlockOutside(const std::vector<std::uint8_t>& archive) {
  ArchiveHeader header;
  if (archive.size() < sizeof header) return false;
  std::memcpy(&header, archive.data(), sizeof header);
  return (header.tableSize == 0 && header.tableOffset > archive.size()) ||
         (header.namesSize == 0 && header.namesOffset > archive.size());
}

}  // namespace

extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 0xFFFFFFFFu) return -1;
  std::vector<std::uint8_t> copy(data, data + size);
  MemoryDataStream stream(copy.data(), static_cast<std::uint32_t>(size));
  ArchiveIndex index;
  bool readable = index.Read(stream, size);
  Check(readable == index.error().empty(), "a failed read says why");
  std::uint64_t described = 0;
  if (readable) {
    const ArchiveHeader& header = index.header();
    Check(header.tableSize % sizeof(ArchiveEntry) == 0, "table size checked");
    Check(FitsInside(header.tableOffset, header.tableSize, size), "table inside");
    Check(FitsInside(header.namesOffset, header.namesSize, size), "names inside");
    Check(index.count() == header.tableSize / sizeof(ArchiveEntry), "entry count");
    for (std::uint32_t i = 0; i < index.count(); ++i) {
      std::string problem = index.Problem(i);
      const char* name = index.Name(i);
      if (problem.empty()) {
        ArchiveEntry entry = index.Entry(i);
        Check(name != nullptr && IsContainedName(name), "a clean entry has a sound name");
        Check(FitsInside(entry.dataOffset, entry.dataSize, size), "a clean entry's data inside");
      }
      described += index.Describe(i).size() + index.WindowsNameProblem(i).size();
    }
  }
  Check(described < (std::uint64_t(1) << 40), "descriptions are bounded");

  MemoryDataStream again(copy.data(), static_cast<std::uint32_t>(size));
  ArchiveExtractor extractor;
  int result = extractor.Extract(nullptr, kNowhere, again);
  if (readable) {
    Check(result == EXTRACT_OK || result == EXTRACT_CREATE_FAILED,
          "what the reader accepts, the extractor reads");
  } else if (!HasEmptyBlockOutside(copy)) {
    // An empty block placed beyond the end has nothing to read: the reader
    // calls it malformed, the extractor reads nothing from there.
    Check(result == EXTRACT_READ_FAILED || result == EXTRACT_OUT_OF_MEMORY,
          "what the reader refuses, the extractor cannot read");
  }
  return 0;
}
