#include "archive_extractor.h"

#include <cstdlib>
#include <cstring>

namespace {

const int kPathCapacity = 1024;
const std::uint32_t kPieceSize = 512;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char ToUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameLetters(const char* begin, const char* end, const char* word) {
  for (; begin != end; ++begin, ++word) {
    if (*word == '\0' || ToUpper(*begin) != *word) return false;
  }
  return *word == '\0';
}

// Windows drops trailing dots and spaces from a component, so ".. " and
// "..." can mean the parent and ". " the folder itself: a component made only
// of dots and spaces never names a file of the archive.
bool IsDotsAndSpaces(const char* begin, const char* end) {
  if (begin == end) return false;
  for (const char* p = begin; p != end; ++p) {
    if (*p != '.' && *p != ' ') return false;
  }
  return true;
}

// (part * 100 / whole) truncated, with part <= whole and whole > 0. Huge totals
// are scaled down first so that the product cannot wrap around 64 bits.
std::uint32_t Percent(std::uint64_t part, std::uint64_t whole) {
  while (part > UINT64_MAX / 100) {
    part >>= 1;
    whole >>= 1;
  }
  return static_cast<std::uint32_t>(part * 100 / whole);
}

bool ReadBlock(DataStream& stream, std::uint64_t offset, void* buffer, std::uint32_t size) {
  // A failed Seek would leave the stream somewhere else: never read from there.
  // An empty block reads nothing, so it is read in full wherever it lies.
  if (!stream.Seek(offset)) return size == 0;
  return stream.Read(buffer, size) == size;
}

// Copies one entry's bytes into an open file. Returns 0 or the failure's code,
// having sent EVENT_ERROR for it.
int CopyEntry(DataStream& stream, const ArchiveEntry& entry, HANDLE file, const char* path,
              unsigned char* piece) {
  std::uint32_t size = entry.dataSize;
  // A failed Seek is a short read of this file: copying from wherever the
  // stream stands would write wrong bytes. An empty file copies nothing.
  if (!stream.Seek(entry.dataOffset) && size != 0) {
    stream.Notify(EVENT_ERROR, EXTRACT_READ_FAILED, nullptr);
    return EXTRACT_READ_FAILED;
  }
  std::uint32_t written = 0;
  std::uint32_t last = 0;
  for (;;) {
    std::uint32_t chunk = size - written < kPieceSize ? size - written : kPieceSize;
    if (chunk == 0) return EXTRACT_OK;
    if (stream.Read(piece, chunk) != chunk) {
      stream.Notify(EVENT_ERROR, EXTRACT_READ_FAILED, nullptr);
      return EXTRACT_READ_FAILED;
    }
    DWORD put = 0;
    WriteFile(file, piece, chunk, &put, nullptr);
    if (put != chunk) {
      // Also reported as an event, like every other failure.
      stream.Notify(EVENT_ERROR, EXTRACT_WRITE_FAILED, nullptr);
      return EXTRACT_WRITE_FAILED;
    }
    written += put;
    std::uint32_t percent = Percent(written, size);
    if (percent != last) {
      last = percent;
      stream.Notify(EVENT_FILE_PROGRESS, percent, path);
    }
  }
}

int ExtractEntries(DataStream& stream, const char* folder, const unsigned char* table,
                   std::uint32_t count, const char* names, std::uint32_t namesSize) {
  int result = EXTRACT_OK;
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    ArchiveEntry entry;
    std::memcpy(&entry, table + i * sizeof entry, sizeof entry);
    total += entry.dataSize;
  }
  char path[kPathCapacity];
  unsigned char piece[kPieceSize];
  std::uint64_t begun = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    ArchiveEntry entry;
    std::memcpy(&entry, table + i * sizeof entry, sizeof entry);
    // A name that points outside the block or would escape the destination is
    // a file that cannot be created.
    const char* name = EntryName(names, namesSize, entry.nameOffset);
    const char* target = name != nullptr && IsContainedName(name)
                             ? JoinPath(path, kPathCapacity, folder, name)
                             : nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (target != nullptr) {
      SetFileAttributesA(target, FILE_ATTRIBUTE_ARCHIVE);
      file = CreateFileWithDirectories(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file == INVALID_HANDLE_VALUE) {
      result = EXTRACT_CREATE_FAILED;
      stream.Notify(EVENT_ERROR, EXTRACT_CREATE_FAILED, nullptr);
      continue;
    }
    begun += entry.dataSize;
    // With every file empty there is nothing to divide: all begun is all done.
    stream.Notify(EVENT_TOTAL_PROGRESS, total != 0 ? Percent(begun, total) : 100, target);
    stream.Notify(EVENT_FILE_BEGIN, entry.dataSize, target);
    int copied = CopyEntry(stream, entry, file, target, piece);
    if (copied != EXTRACT_OK) result = copied;
    stream.Notify(EVENT_FILE_END, 0, target);
    CloseHandle(file);
  }
  return result;
}

}  // namespace

char* JoinPath(char* out, int capacity, const char* folder, const char* name) {
  std::size_t f = std::strlen(folder);
  std::size_t n = std::strlen(name);
  std::size_t limit = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
  if (f >= limit) return nullptr;
  std::memcpy(out, folder, f + 1);
  if (f == 0 || !IsSeparator(folder[f - 1])) {
    if (f + 1 >= limit) return nullptr;
    out[f++] = '\\';
    out[f] = '\0';
  }
  if (f + n >= limit) return nullptr;
  std::memcpy(out + f, name, n + 1);
  return out;
}

HANDLE CreateFileWithDirectories(LPCSTR path, DWORD access, DWORD shareMode,
                                 LPSECURITY_ATTRIBUTES security, DWORD disposition,
                                 DWORD flagsAndAttributes, HANDLE templateFile) {
  std::size_t length = std::strlen(path);
  // Without a working copy no folder is attempted; the file may still be
  // created when its folder exists.
  char* copy = static_cast<char*>(std::malloc(length + 1));
  if (copy != nullptr) {
    std::memcpy(copy, path, length + 1);
    for (char* p = copy; *p != '\0'; ++p) {
      if (IsSeparator(*p)) {
        *p = '\0';
        CreateDirectoryA(copy, nullptr);
        *p = '\\';
      }
    }
    std::free(copy);
  }
  return CreateFileA(path, access, shareMode, security, disposition, flagsAndAttributes,
                     templateFile);
}

const char* EntryName(const char* names, std::uint32_t namesSize, std::uint32_t offset) {
  if (offset >= namesSize) return nullptr;
  if (std::memchr(names + offset, '\0', namesSize - offset) == nullptr) return nullptr;
  return names + offset;
}

bool IsDeviceName(const char* begin, const char* end) {
  // Windows ignores an extension and trailing spaces after a device name.
  const char* stem = begin;
  while (stem != end && *stem != '.') ++stem;
  while (stem != begin && stem[-1] == ' ') --stem;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices) {
    if (SameLetters(begin, stem, device)) return true;
  }
  // COM and LPT take a digit, and also the superscripts 1, 2 and 3 of the
  // Western code page, which Windows reads as digits there.
  if (stem - begin != 4) return false;
  unsigned char digit = static_cast<unsigned char>(stem[-1]);
  if ((digit < '0' || digit > '9') && digit != 0xB9 && digit != 0xB2 && digit != 0xB3) {
    return false;
  }
  return SameLetters(begin, stem - 1, "COM") || SameLetters(begin, stem - 1, "LPT");
}

bool IsContainedName(const char* name) {
  if (IsSeparator(name[0]) || std::strchr(name, ':') != nullptr) return false;
  const char* begin = name;
  for (;;) {
    const char* end = begin;
    while (*end != '\0' && !IsSeparator(*end)) ++end;
    if (IsDotsAndSpaces(begin, end) || IsDeviceName(begin, end)) return false;
    // The last component is the file: without one the path names a folder.
    if (*end == '\0') return end != begin;
    begin = end + 1;
  }
}

int ArchiveExtractor::Extract(const char* archiveName, const char* destinationFolder,
                              DataStream& stream) {
  char currentFolder[kPathCapacity];
  if (destinationFolder == nullptr) {
    // A current folder that cannot be fetched whole leaves nowhere to write:
    // every file would fail to be created, so say that before opening.
    DWORD length = GetCurrentDirectoryA(kPathCapacity, currentFolder);
    if (length == 0 || length >= static_cast<DWORD>(kPathCapacity)) return EXTRACT_CREATE_FAILED;
    destinationFolder = currentFolder;
  }
  if (!stream.Open(archiveName, false)) return EXTRACT_OPEN_FAILED;

  ArchiveHeader header;
  if (stream.Read(&header, sizeof header) != sizeof header ||
      header.tableSize % sizeof(ArchiveEntry) != 0) {
    stream.Close();
    return EXTRACT_READ_FAILED;
  }

  int result = EXTRACT_OK;
  // malloc(0) may give null; an empty block is never a failed allocation.
  unsigned char* table =
      static_cast<unsigned char*>(std::malloc(header.tableSize != 0 ? header.tableSize : 1));
  char* names = static_cast<char*>(std::malloc(header.namesSize != 0 ? header.namesSize : 1));
  if (table == nullptr || names == nullptr) {
    result = EXTRACT_OUT_OF_MEMORY;
    stream.Notify(EVENT_ERROR, EXTRACT_OUT_OF_MEMORY, nullptr);
  } else if (!ReadBlock(stream, header.tableOffset, table, header.tableSize) ||
             !ReadBlock(stream, header.namesOffset, names, header.namesSize)) {
    result = EXTRACT_READ_FAILED;
    stream.Notify(EVENT_ERROR, EXTRACT_READ_FAILED, nullptr);
  } else {
    stream.Notify(EVENT_BEGIN, 0, archiveName);
    result = ExtractEntries(stream, destinationFolder, table,
                            header.tableSize / static_cast<std::uint32_t>(sizeof(ArchiveEntry)),
                            names, header.namesSize);
    stream.Notify(EVENT_END, 0, archiveName);
  }
  stream.Close();
  std::free(table);
  std::free(names);
  return result;
}
