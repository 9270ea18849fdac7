#include "archive_index.h"

#include <cstring>

#include "archive_extractor.h"
#include "name_rules.h"
#include "host_text.h"

namespace {

std::string Span(std::uint64_t offset, std::uint64_t size) {
  return "offset " + std::to_string(offset) + ", " + std::to_string(size) + " bytes";
}

}  // namespace

bool FitsInside(std::uint64_t offset, std::uint64_t size, std::uint64_t archiveSize) {
  return offset <= archiveSize && size <= archiveSize - offset;
}

bool ArchiveIndex::Fail(const std::string& reason) {
  error_ = reason;
  table_.clear();
  names_.clear();
  return false;
}

bool ArchiveIndex::ReadBlock(DataStream& stream, const char* what, std::uint64_t offset,
                             std::uint32_t size, std::vector<unsigned char>* block) {
  if (!FitsInside(offset, size, archiveSize_)) {
    return Fail(std::string(what) + " (" + Span(offset, size) +
                ") runs past the end of the archive (" + std::to_string(archiveSize_) + " bytes)");
  }
  block->assign(size, 0);
  if (size != 0 && (!stream.Seek(offset) || stream.Read(block->data(), size) != size)) {
    return Fail(std::string("could not read the ") + what);
  }
  return true;
}

bool ArchiveIndex::Read(DataStream& stream, std::uint64_t archiveSize) {
  archiveSize_ = archiveSize;
  error_.clear();
  header_ = ArchiveHeader();
  if (archiveSize < sizeof header_) {
    return Fail("too short for the 48-byte header (" + std::to_string(archiveSize) + " bytes)");
  }
  if (!stream.Seek(0) || stream.Read(&header_, sizeof header_) != sizeof header_) {
    return Fail("could not read the header");
  }
  if (header_.tableSize % sizeof(ArchiveEntry) != 0) {
    return Fail("entry table size " + std::to_string(header_.tableSize) +
                " is not a multiple of 32");
  }
  return ReadBlock(stream, "entry table", header_.tableOffset, header_.tableSize, &table_) &&
         ReadBlock(stream, "names block", header_.namesOffset, header_.namesSize, &names_);
}

ArchiveEntry ArchiveIndex::Entry(std::uint32_t index) const {
  ArchiveEntry entry;
  std::memcpy(&entry, table_.data() + static_cast<std::size_t>(index) * sizeof entry, sizeof entry);
  return entry;
}

const char* ArchiveIndex::Name(std::uint32_t index) const {
  return EntryName(reinterpret_cast<const char*>(names_.data()),
                   static_cast<std::uint32_t>(names_.size()), Entry(index).nameOffset);
}

std::string ArchiveIndex::Problem(std::uint32_t index) const {
  ArchiveEntry entry = Entry(index);
  if (entry.nameOffset >= names_.size()) {
    return "name offset " + std::to_string(entry.nameOffset) + " lies outside the names block (" +
           std::to_string(names_.size()) + " bytes)";
  }
  const char* name = Name(index);
  if (name == nullptr) {
    return "name at offset " + std::to_string(entry.nameOffset) +
           " is not NUL-terminated inside the names block";
  }
  if (*name == '\0') return "name is empty";
  if (!IsContainedName(name)) {
    return "name would be written outside the destination folder or to a device";
  }
  if (!FitsInside(entry.dataOffset, entry.dataSize, archiveSize_)) {
    return "file data (" + Span(entry.dataOffset, entry.dataSize) +
           ") runs past the end of the archive (" + std::to_string(archiveSize_) + " bytes)";
  }
  return std::string();
}

std::string ArchiveIndex::WindowsNameProblem(std::uint32_t index, const CodePage& codePage) const {
  const char* name = Name(index);
  if (name == nullptr) return std::string();
  std::string tooLong = NameLengthProblem(std::strlen(name));
  if (!tooLong.empty()) return tooLong;
  const char* begin = name;
  for (;;) {
    const char* end = begin;
    while (*end != '\0' && *end != '\\' && *end != '/') ++end;
    std::string component(begin, end);
    std::string problem = ComponentProblem(component, codePage);
    if (!problem.empty()) return "\"" + Printable(component) + "\": " + problem;
    if (*end == '\0') return std::string();
    begin = end + 1;
  }
}

std::string ArchiveIndex::Describe(std::uint32_t index) const {
  std::string text = "entry " + std::to_string(static_cast<std::uint64_t>(index) + 1);
  const char* name = Name(index);
  if (name != nullptr && *name != '\0') text += " (" + Printable(name) + ")";
  return text;
}
