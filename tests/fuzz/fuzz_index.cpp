// Feeds arbitrary bytes to the reader behind `patchpack list` and `verify`,
// and checks it against the extractor: both must agree on whether the header,
// the table and the names block can be read.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive_extractor.h"
#include "archive_index.h"
#include "fuzz_support.h"

namespace {

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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > 0xFFFFFFFFu) return -1;
  std::vector<std::uint8_t> copy(data, data + size);
  MemoryDataStream stream(copy.data(), static_cast<std::uint32_t>(size));
  ArchiveIndex index;
  bool readable = index.Read(stream, size);
  Check(readable == index.error().empty(), "a failed read says why");
  const ArchiveHeader& header = index.header();
  Check(!readable || (FitsInside(header.tableOffset, header.tableSize, size) &&
                      FitsInside(header.namesOffset, header.namesSize, size) &&
                      index.count() == header.tableSize / sizeof(ArchiveEntry)),
        "a readable table and names block lie inside");
  bool laidOut = readable && index.LayoutProblem().empty();
  for (std::uint32_t i = 0; readable && i < index.count(); ++i) {
    const char* name = index.Name(i);
    ArchiveEntry entry = index.Entry(i);
    Check(!laidOut || (name != nullptr && FitsInside(entry.dataOffset, entry.dataSize, size)),
          "an archive laid out as patchpack writes one has every name and every file's bytes");
    // Every message is built, as list and verify build them.
    bool described = !index.Describe(i).empty() && index.WindowsNameProblem(i).size() < 1024;
    Check(!index.Problem(i).empty() || (name != nullptr && IsContainedName(name) && described &&
                                        FitsInside(entry.dataOffset, entry.dataSize, size)),
          "a clean entry has a sound name and its data inside");
  }
  MemoryDataStream again(copy.data(), static_cast<std::uint32_t>(size));
  int result = ArchiveExtractor().Extract(nullptr, kNowhere, again);
  // An empty block placed beyond the end has nothing to read: the reader calls
  // it malformed, the extractor reads nothing from there.
  Check(readable ? result == EXTRACT_OK || result == EXTRACT_CREATE_FAILED
                 : result == EXTRACT_READ_FAILED || result == EXTRACT_OUT_OF_MEMORY ||
                       HasEmptyBlockOutside(copy),
        "the reader and the extractor agree on what can be read");
  return 0;
}
