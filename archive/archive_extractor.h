// Writes every file of a patch archive into a destination folder.
#ifndef ARCHIVE_ARCHIVE_EXTRACTOR_H
#define ARCHIVE_ARCHIVE_EXTRACTOR_H

#include "archive_format.h"
#include "data_stream.h"
#include "platform_files.h"

class ArchiveExtractor {
 public:
  // Returns an ExtractResult: 0, or the code of the last failure met. A null
  // destinationFolder means the current folder. The path handed to Notify is
  // a working buffer rewritten for each entry: a listener copies it.
  int Extract(const char* archiveName, const char* destinationFolder, DataStream& stream);
};

// folder + separator + name into out; null when it does not fit in capacity
// (the NUL included). A folder ending in '\' or '/' gets no second separator.
char* JoinPath(char* out, int capacity, const char* folder, const char* name);

// CreateFileA, after attempting to create every folder on the way to path.
HANDLE CreateFileWithDirectories(LPCSTR path, DWORD access, DWORD shareMode,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                 DWORD flagsAndAttributes, HANDLE templateFile);

// The name at offset in a names block of namesSize bytes; null when the offset
// lies outside the block or the name is not terminated inside it.
const char* EntryName(const char* names, std::uint32_t namesSize, std::uint32_t offset);

// True when an archive name names a file inside the folder it is joined to:
// no leading separator, no ':' (drive prefix or alternate data stream), no
// component of only dots and spaces (which Windows may read as ".." or "."),
// no device name, and a last component that is not empty.
bool IsContainedName(const char* name);

// True for a path component Windows maps to a device (CON, NUL, COM1, LPT1...),
// with or without an extension. [begin, end) is the component.
bool IsDeviceName(const char* begin, const char* end);

#endif  // ARCHIVE_ARCHIVE_EXTRACTOR_H
