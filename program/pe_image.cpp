#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "host_text.h"
#include "pe_format.h"

using namespace pe;

namespace {

// Walks the resource directory, bounding every offset by the section that
// holds it; each table and data entry may be reached once only.
class DirectoryReader {
 public:
  DirectoryReader(const Bytes& file, std::uint64_t root, std::uint64_t limit,
                  const std::function<bool(std::uint32_t, std::uint32_t, std::uint64_t*)>& map,
                  std::vector<PeResource>* out)
      : file_(file), root_(root), limit_(limit), map_(map), out_(out) {}

  bool Read(std::string* error) {
    PeResource path;
    if (!Table(0, 0, &path)) return Fail(error, "its resource directory is damaged: " + problem_);
    return true;
  }

 private:
  bool Damage(const std::string& problem) {
    problem_ = problem;
    return false;
  }
  bool Within(std::uint64_t offset, std::uint64_t size) const { return offset + size <= limit_; }

  bool Table(std::uint32_t offset, int level, PeResource* path) {
    if (!seen_.insert(offset).second) return Damage("a table or entry is reached twice");
    if (!Within(offset, 16)) return Damage("a table lies outside its section");
    std::uint64_t count = Get16(file_, root_ + offset + 12) + Get16(file_, root_ + offset + 14);
    if (!Within(offset + 16, 8 * count)) return Damage("a table's entries lie outside its section");
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint64_t at = root_ + offset + 16 + 8 * i;
      std::uint32_t key = Get32(file_, at), target = Get32(file_, at + 4);
      ResourceKey* field = level == 0 ? &path->type : &path->name;
      ResourceKey parsed;
      if ((key & kHighBit) != 0 && !Name(key & ~kHighBit, &parsed.name)) return false;
      if ((key & kHighBit) == 0) parsed.id = static_cast<std::uint16_t>(key);
      bool table = (target & kHighBit) != 0;
      if (level < 2) {
        if (!table) return Damage("a type or name entry leads to data, not a table");
        *field = parsed;
        if (!Table(target & ~kHighBit, level + 1, path)) return false;
      } else {
        if (table || parsed.IsNamed()) return Damage("a language entry is not a number with data");
        path->language = parsed.id;
        if (!Data(target, *path)) return false;
      }
    }
    return true;
  }

  bool Name(std::uint32_t offset, std::u16string* name) {
    if (!Within(offset, 2)) return Damage("a name lies outside its section");
    std::uint32_t length = Get16(file_, root_ + offset);
    if (length == 0) return Damage("a name is empty");
    if (!Within(offset + 2, 2 * length)) return Damage("a name lies outside its section");
    for (std::uint32_t i = 0; i < length; ++i)
      name->push_back(static_cast<char16_t>(Get16(file_, root_ + offset + 2 + 2 * i)));
    return true;
  }

  bool Data(std::uint32_t offset, PeResource resource) {
    if (!seen_.insert(offset).second) return Damage("a table or entry is reached twice");
    if (!Within(offset, 16)) return Damage("a data entry lies outside its section");
    std::uint64_t at = root_ + offset, from = 0;
    std::uint32_t size = Get32(file_, at + 4);
    // Each resource is copied: overlapping data could make that endless.
    total_ += size;
    if (!map_(Get32(file_, at), size, &from) || total_ > file_.size())
      return Damage("the data of " + ResourceText(resource) + " lies outside the file");
    resource.codePage = Get32(file_, at + 8);
    resource.data.assign(file_.begin() + from, file_.begin() + from + size);
    out_->push_back(std::move(resource));
    return true;
  }

  const Bytes& file_;
  std::uint64_t root_, limit_;
  std::function<bool(std::uint32_t, std::uint32_t, std::uint64_t*)> map_;
  std::vector<PeResource>* out_;
  std::set<std::uint32_t> seen_;
  std::uint64_t total_ = 0;
  std::string problem_;
};

}  // namespace

ResourceKey ResourceKey::Number(std::uint16_t id) {
  ResourceKey key;
  key.id = id;
  return key;
}

ResourceKey ResourceKey::Named(const std::u16string& name) {
  ResourceKey key;
  key.name = name;
  return key;
}

bool ResourceKey::operator==(const ResourceKey& other) const {
  return name == other.name && (IsNamed() || id == other.id);
}

std::string ResourceKeyText(const ResourceKey& key) {
  if (!key.IsNamed()) return std::to_string(key.id);
  std::string text;
  for (char16_t c : key.name) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += "\\u" + Hex(c, 4, false);
    }
  }
  return text;
}

bool PeImage::Read(std::vector<unsigned char> file, std::string* error) {
  *this = PeImage();
  file_ = std::move(file);
  if (Parse(error)) return true;
  *this = PeImage();
  return false;
}

bool PeImage::Parse(std::string* error) {
  const Bytes& f = file_;
  if (f.size() < 64 || f[0] != 'M' || f[1] != 'Z')
    return Fail(error, "not a Windows program (no MZ header)");
  peOffset_ = Get32(f, 0x3C);
  if (std::uint64_t{peOffset_} + 26 > f.size() || Get32(f, peOffset_) != 0x4550)
    return Fail(error, "not a Windows program (no PE header)");
  std::uint32_t machine = Get16(f, peOffset_ + 4), optionalSize = Get16(f, peOffset_ + 20);
  std::uint64_t optional = peOffset_ + 24;
  std::uint32_t magic = Get16(f, optional);
  if (magic == 0x20B) return Fail(error, "a 64-bit program");
  if (magic != 0x10B)
    return Fail(error,
                "not a Windows program (optional header magic 0x" + Hex(magic, 4, false) + ")");
  if (machine != 0x14C)
    return Fail(error, "not a program for 32-bit x86 (machine 0x" + Hex(machine, 4, false) + ")");
  if (optionalSize < kDirectories || optional + optionalSize > f.size())
    return Fail(error, "its headers are damaged: the optional header is cut short");
  std::uint32_t subsystem = Get16(f, optional + kSubsystem);
  if (subsystem != 2)
    return Fail(error, "not a GUI program (subsystem " + std::to_string(subsystem) + ")");
  std::uint32_t directories = Get32(f, optional + kDirectoryCount);
  if (directories < kDirectoriesNeeded || kDirectories + 8ull * directories > optionalSize)
    return Fail(error, "its headers are damaged: " + std::to_string(directories) +
                           " data directories in an optional header of " +
                           std::to_string(optionalSize) + " bytes");
  sectionAlignment_ = Get32(f, optional + kSectionAlignment);
  fileAlignment_ = Get32(f, optional + kFileAlignment);
  auto power = [](std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; };
  if (!power(sectionAlignment_) || !power(fileAlignment_) || fileAlignment_ > sectionAlignment_)
    return Fail(error, "its headers are damaged: section alignment 0x" +
                           Hex(sectionAlignment_, 8, false) + ", file alignment 0x" +
                           Hex(fileAlignment_, 8, false));
  sizeOfHeaders_ = Get32(f, optional + kSizeOfHeaders);
  sectionTable_ = static_cast<std::uint32_t>(optional + optionalSize);
  std::uint64_t tableEnd =
      sectionTable_ + std::uint64_t{kSectionHeaderSize} * Get16(f, peOffset_ + 6);
  if (sizeOfHeaders_ > f.size() || tableEnd > sizeOfHeaders_)
    return Fail(error, "its headers are damaged: the section table lies outside them");
  return ParseSections(error) && ParseResources(error) && CheckLayout(error);
}

bool PeImage::ParseSections(std::string* error) {
  const Bytes& f = file_;
  std::uint64_t dataEnd = sizeOfHeaders_;
  for (std::uint32_t i = 0; i < Get16(f, peOffset_ + 6); ++i) {
    Section s;
    std::uint64_t at = sectionTable_ + kSectionHeaderSize * i;
    std::memcpy(s.header, &f[at], kSectionHeaderSize);
    s.virtualSize = Get32(f, at + 8);
    s.va = Get32(f, at + 12);
    s.rawSize = Get32(f, at + 16);
    s.rawOffset = Get32(f, at + 20);
    s.characteristics = Get32(f, at + 36);
    std::string name = SectionName(s.header);
    if (s.rawSize != 0 &&
        (s.rawOffset < sizeOfHeaders_ || std::uint64_t{s.rawOffset} + s.rawSize > f.size()))
      return Fail(error, "its section " + name + " lies outside the file");
    std::uint64_t floor =
        sections_.empty() ? sizeOfHeaders_ : sections_.back().va + sections_.back().Extent();
    if (s.va < floor || s.va + s.Extent() > k4GiB)
      return Fail(error, "its section " + name + " overlaps the one before it");
    if (s.rawSize != 0) dataEnd = std::max<std::uint64_t>(dataEnd, s.rawOffset + s.rawSize);
    sections_.push_back(s);
  }
  // A certificate table may follow, 8-byte aligned; anything else there is
  // data of unknown meaning that the new layout would lose.
  std::uint64_t directory = peOffset_ + 24 + kDirectories + 8 * kCertificateDirectory;
  std::uint64_t certificate = Get32(f, directory), certificateSize = Get32(f, directory + 4);
  std::uint64_t overlay = f.size() - dataEnd;
  if (certificateSize != 0) {
    if (certificate < dataEnd || certificate + certificateSize > f.size())
      return Fail(error, "its certificate table lies outside the file or inside a section");
    signed_ = true;
    if (certificate - dataEnd < 8 && certificate + certificateSize == f.size() &&
        std::all_of(f.begin() + dataEnd, f.begin() + certificate,
                    [](unsigned char b) { return b == 0; }))
      overlay = 0;
  }
  if (overlay != 0) return Fail(error, "data after its last section (" + SizeText(overlay) + ")");
  return true;
}

std::uint64_t PeImage::DirectoryField(int index) const {
  return peOffset_ + 24 + kDirectories + 8 * index;
}

bool PeImage::ParseResources(std::string* error) {
  std::uint64_t field = DirectoryField(kResourceDirectory);
  std::uint32_t rva = Get32(file_, field);
  if (rva == 0 && Get32(file_, field + 4) == 0) return true;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (rva >= sections_[i].va && rva < sections_[i].va + sections_[i].Extent())
      resourceSection_ = static_cast<int>(i);
  }
  if (resourceSection_ < 0)
    return Fail(error, "its resource directory is damaged: it lies outside its sections");
  const Section& section = sections_[resourceSection_];
  // Write drops the section: nothing else may live there.
  if (rva != section.va)
    return Fail(error, "its resources share the section " + SectionName(section.header) +
                           " with other data");
  auto map = [this](std::uint32_t rva, std::uint32_t size, std::uint64_t* offset) {
    for (const Section& s : sections_) {
      std::uint64_t mapped = std::min<std::uint64_t>(s.Extent(), s.rawSize);
      if (rva >= s.va && std::uint64_t{rva} + size <= s.va + mapped) {
        *offset = s.rawOffset + (rva - s.va);
        return true;
      }
    }
    return false;
  };
  std::uint64_t limit = std::min<std::uint64_t>(section.Extent(), section.rawSize);
  if (!DirectoryReader(file_, section.rawOffset, limit, map, &resources_).Read(error)) return false;
  std::set<const PeResource*, bool (*)(const PeResource*, const PeResource*)> seen(ResourceLess);
  for (const PeResource& r : resources_) {
    if (!seen.insert(&r).second)
      return Fail(error,
                  "its resource directory is damaged: " + ResourceText(r) + " is listed twice");
  }
  return true;
}

bool PeImage::CheckLayout(std::string* error) {
  if (resourceSection_ < 0) {
    std::uint64_t slot = sectionTable_ + kSectionHeaderSize * sections_.size();
    if (slot + kSectionHeaderSize > sizeOfHeaders_ ||
        !std::all_of(file_.begin() + slot, file_.begin() + slot + kSectionHeaderSize,
                     [](unsigned char b) { return b == 0; }))
      return Fail(error, "there is no room in its headers for a resource section");
    return true;
  }
  // Only the base relocations may move: nothing refers to them but their
  // data directory, and they never point into themselves or the resources.
  std::uint64_t field = DirectoryField(kRelocationDirectory);
  std::uint64_t relocations = Get32(file_, field), relocationsSize = Get32(file_, field + 4);
  for (std::size_t i = resourceSection_ + 1; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (relocationsSize == 0 || relocations < s.va ||
        relocations + relocationsSize > s.va + s.Extent())
      return Fail(error, "the section " + SectionName(s.header) +
                             " follows the resources and does not hold the base relocations");
  }
  std::uint64_t from = sections_[resourceSection_].va;
  std::uint64_t to = sections_.back().va + sections_.back().Extent();
  auto inside = [&](std::uint64_t rva, std::uint64_t size) {
    return rva < to && rva + std::max<std::uint64_t>(size, 1) > from;
  };
  std::uint32_t directories = Get32(file_, peOffset_ + 24 + kDirectoryCount);
  for (std::uint32_t d = 0; d < directories; ++d) {
    if (d == kResourceDirectory || d == kCertificateDirectory || d == kRelocationDirectory)
      continue;
    std::uint32_t rva = Get32(file_, DirectoryField(d)), size = Get32(file_, DirectoryField(d) + 4);
    if ((rva != 0 || size != 0) && inside(rva, size))
      return Fail(error, "its data directory " + std::to_string(d) +
                             " points into the resources or the sections after them");
  }
  if (inside(Get32(file_, peOffset_ + 24 + kEntryPoint), 1))
    return Fail(error, "its entry point lies in the resources or the sections after them");
  return true;
}

PeResource* PeImage::Find(const ResourceKey& type, const ResourceKey& name,
                          std::uint16_t language) {
  for (PeResource& r : resources_) {
    if (r.type == type && r.name == name && r.language == language) return &r;
  }
  return nullptr;
}

void PeImage::Put(PeResource resource) {
  PeResource* old = Find(resource.type, resource.name, resource.language);
  if (old != nullptr) {
    *old = std::move(resource);
  } else {
    resources_.push_back(std::move(resource));
  }
}
