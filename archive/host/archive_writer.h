// Writes patch archives laid out as the installer carries them: the header,
// the files' bytes back to back, the names block, the entry table last, with
// the fields the extractor does not read filled as in the shipped archive.
#ifndef ARCHIVE_HOST_ARCHIVE_WRITER_H
#define ARCHIVE_HOST_ARCHIVE_WRITER_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive_format.h"
#include "host_files.h"
#include "host_text.h"
#include "output_sink.h"

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
  FileIdentity identity;  // what the scan saw: the file read must be this one
};

// An entry of the table as the archive stores it: little-endian, packed.
void PutArchiveEntry(const ArchiveEntry& entry, unsigned char out[sizeof(ArchiveEntry)]);

// Called with the size of each piece of file data written.
typedef std::function<void(std::uint64_t)> CopyProgress;

// The size of the archive that holds these files.
std::uint64_t ArchiveSize(const std::vector<PackFile>& files);

// Why an archive of this size is refused, as "would have ..." (empty when it
// is not): more than kMaxArchiveSize.
std::string ArchiveSizeProblem(std::uint64_t size);

// Writes the archive of the files, in their order, to out, reading each file
// as it goes; a file whose size changed since it was listed is an error.
// When out refuses a write, *error is left empty: out knows why.
bool WriteArchiveTo(OutputSink& out, const std::vector<PackFile>& files, const CopyProgress& copied,
                    HostError* error);

// Refuses an archive larger than kMaxArchiveSize, then writes it beside
// archive under a temporary name renamed into place when complete.
bool WriteArchive(const std::string& archive, const std::vector<PackFile>& files,
                  const CopyProgress& copied, HostError* error);

#endif  // ARCHIVE_HOST_ARCHIVE_WRITER_H
