#include "archive_index.h"

#include <cstring>

#include "archive_extractor.h"
#include "archive_writer.h"
#include "host_files.h"
#include "name_rules.h"

namespace {

std::string Span(std::uint64_t offset, std::uint64_t size) {
  return "offset " + std::to_string(offset) + ", " + std::to_string(size) + " bytes";
}

std::string Differs(const std::string& what, std::uint64_t found, std::uint64_t written) {
  return what + " " + std::to_string(found) + " where patchpack writes " + std::to_string(written);
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
  headerRead_ = whole_ = false;
  if (archiveSize < sizeof header_) {
    return Fail("too short for the 48-byte header (" + std::to_string(archiveSize) + " bytes)");
  }
  if (!stream.Seek(0) || stream.Read(&header_, sizeof header_) != sizeof header_) {
    return Fail("could not read the header");
  }
  headerRead_ = true;
  if (header_.tableSize % sizeof(ArchiveEntry) != 0) {
    return Fail("entry table size " + std::to_string(header_.tableSize) +
                " is not a multiple of 32");
  }
  whole_ = ReadBlock(stream, "entry table", header_.tableOffset, header_.tableSize, &table_) &&
           ReadBlock(stream, "names block", header_.namesOffset, header_.namesSize, &names_);
  return whole_;
}

std::string ArchiveIndex::LayoutProblem() const {
  if (!headerRead_) return std::string();
  const struct {
    const char* what;
    std::uint32_t found, written;
  } words[] = {{"header word", header_.headWord, 1},
               {"header size", header_.headSize, 0},
               {"table word", header_.tableWord, sizeof(ArchiveEntry)},
               {"names word", header_.namesWord, 0}};
  for (const auto& word : words) {
    if (word.found != word.written) return Differs(word.what, word.found, word.written);
  }
  if (!whole_) return std::string();
  std::uint64_t dataEnd = sizeof(ArchiveHeader);
  std::uint64_t namesEnd = 0;
  for (std::uint32_t i = 0; i < count(); ++i) {
    ArchiveEntry entry = Entry(i);
    std::string which = Describe(i) + ": ";
    if (entry.dataOffset != dataEnd)
      return which + Differs("data offset", entry.dataOffset, dataEnd);
    if (entry.nameOffset != namesEnd) {
      return which + Differs("name offset", entry.nameOffset, namesEnd);
    }
    const char* name = Name(i);
    if (name == nullptr) return which + Problem(i);
    std::uint64_t length = std::strlen(name) + 1;
    if (entry.nameLength != length) return which + Differs("name length", entry.nameLength, length);
    if (entry.entryWord != sizeof entry) {
      return which + Differs("entry word", entry.entryWord, sizeof entry);
    }
    if (entry.entryTail != 0) return which + Differs("entry tail", entry.entryTail, 0);
    dataEnd += entry.dataSize;
    namesEnd += length;
  }
  if (header_.namesOffset != dataEnd) {
    return Differs("names offset", header_.namesOffset, dataEnd) + ", where the files' bytes end";
  }
  if (header_.headOffset != dataEnd) return Differs("header offset", header_.headOffset, dataEnd);
  if (header_.namesSize != namesEnd) return Differs("names size", header_.namesSize, namesEnd);
  if (header_.tableOffset != dataEnd + namesEnd) {
    return Differs("table offset", header_.tableOffset, dataEnd + namesEnd);
  }
  std::uint64_t end = header_.tableOffset + header_.tableSize;
  if (archiveSize_ != end) {
    return std::to_string(archiveSize_) +
           " bytes where patchpack ends the archive with its table, at " + std::to_string(end);
  }
  return std::string();
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
    if (!problem.empty()) return "\"" + codePage.Shown(component) + "\": " + problem;
    if (*end == '\0') return std::string();
    begin = end + 1;
  }
}

std::string ArchiveIndex::Describe(std::uint32_t index, const CodePage& codePage) const {
  std::string text = "entry " + std::to_string(static_cast<std::uint64_t>(index) + 1);
  const char* name = Name(index);
  if (name != nullptr && *name != '\0') text += " (" + codePage.Shown(name) + ")";
  return text;
}

bool ArchiveFileStream::Open(const char* name, bool forWrite) {
  position_ = 0;
  return FileDataStream::Open(name, forWrite) && (offset_ == 0 || FileDataStream::Seek(offset_));
}

bool ArchiveFileStream::Seek(std::uint64_t offset) {
  if (size_ != kWholeFile && offset > size_) return false;
  if (!FileDataStream::Seek(offset_ + offset)) return false;
  position_ = offset;
  return true;
}

std::uint32_t ArchiveFileStream::Read(void* buffer, std::uint32_t count) {
  if (size_ != kWholeFile && size_ - position_ < count) {
    count = static_cast<std::uint32_t>(size_ - position_);
  }
  std::uint32_t got = count == 0 ? 0 : FileDataStream::Read(buffer, count);
  position_ += got;
  return got;
}

int OpenArchive(const std::string& archive, ArchiveFileStream* stream, ArchiveIndex* index,
                HostError* error) {
  std::uint64_t size = 0;
  std::string reason;
  if (!FileSize(ArgumentPath(archive), &size, &reason)) {
    *error = HostError{archive, "cannot open it: " + reason};
    return EXTRACT_OPEN_FAILED;
  }
  if (stream->windowSize() != ArchiveFileStream::kWholeFile) size = stream->windowSize();
  if (!stream->Open(archive.c_str(), false)) {
    *error = HostError{archive, "cannot open it: " + SystemErrorText(GetLastError())};
    return EXTRACT_OPEN_FAILED;
  }
  bool read = index->Read(*stream, size);
  std::string layout = index->LayoutProblem();
  if (read && layout.empty()) return EXTRACT_OK;
  stream->Close();
  *error = HostError{archive, layout.empty() ? index->error() : "not a patch archive: " + layout};
  return EXTRACT_READ_FAILED;
}

bool HostNames(const ArchiveIndex& index, const CodePage& codePage, std::vector<std::string>* names,
               RenamedIndex* renamed, std::string* error) {
  names->assign(index.count(), std::string());
  renamed->tail.clear();
  std::vector<unsigned char> table;
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    const char* stored = index.Name(i);
    std::string& name = (*names)[i] = stored != nullptr ? stored : "";
    std::string problem;
    if (codePage.number() == 0) continue;
    if (!codePage.ToHostName(name, &name, &problem)) {
      *error = index.Describe(i, codePage) + ": " + problem;
      return false;
    }
    ArchiveEntry entry = index.Entry(i);
    entry.nameOffset = static_cast<std::uint32_t>(renamed->tail.size());
    entry.nameLength = static_cast<std::uint32_t>(name.size() + 1);
    table.resize(table.size() + sizeof entry);
    PutArchiveEntry(entry, &table[table.size() - sizeof entry]);
    renamed->tail.insert(renamed->tail.end(), name.c_str(), name.c_str() + name.size() + 1);
  }
  if (codePage.number() == 0) return true;
  if (renamed->tail.size() > 0xFFFFFFFFu) {
    *error = "the names take more than 4 GiB in the host's encoding";
    return false;
  }
  renamed->header = index.header();
  renamed->header.namesOffset = index.archiveSize();
  renamed->header.namesSize = static_cast<std::uint32_t>(renamed->tail.size());
  renamed->header.tableOffset = index.archiveSize() + renamed->tail.size();
  renamed->tail.insert(renamed->tail.end(), table.begin(), table.end());
  return true;
}
