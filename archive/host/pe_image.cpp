#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <set>

#include "host_text.h"

namespace {

using Bytes = std::vector<unsigned char>;

const std::uint32_t kSectionHeaderSize = 40;
const std::uint32_t kInitializedData = 0x40;
const std::uint32_t kHighBit = 0x80000000u;
const std::uint64_t k4GiB = 1ull << 32;
// Fields of the PE32 optional header, from its start.
const std::uint32_t kSizeOfInitializedData = 8, kEntryPoint = 16, kSectionAlignment = 32,
                    kFileAlignment = 36, kSizeOfImage = 56, kSizeOfHeaders = 60, kCheckSum = 64,
                    kSubsystem = 68, kDirectoryCount = 92, kDirectories = 96;
// Data directories this code reads or moves; the rest only get checked.
const int kResourceDirectory = 2, kCertificateDirectory = 4, kRelocationDirectory = 5;
const int kDirectoriesNeeded = 6;

std::uint32_t Get16(const Bytes& b, std::uint64_t at) {
  return b[at] | static_cast<std::uint32_t>(b[at + 1]) << 8;
}
std::uint32_t Get32(const Bytes& b, std::uint64_t at) {
  return Get16(b, at) | Get16(b, at + 2) << 16;
}
void Put16(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
}
void Put32(unsigned char* out, std::uint64_t value) {
  Put16(out, static_cast<std::uint32_t>(value));
  Put16(out + 2, static_cast<std::uint32_t>(value >> 16));
}
std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}
bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

std::string SectionName(const unsigned char* header) {
  std::string name(reinterpret_cast<const char*>(header), 8);
  return Printable(name.substr(0, name.find('\0')));
}

std::string ResourceText(const PeResource& resource) {
  return ResourceKeyText(resource.type) + " " + ResourceKeyText(resource.name) + " (language " +
         Hex(resource.language, 4, false) + ")";
}

bool KeyLess(const ResourceKey& a, const ResourceKey& b) {
  if (a.IsNamed() != b.IsNamed()) return a.IsNamed();
  return a.IsNamed() ? a.name < b.name : a.id < b.id;
}

// The order of the rebuilt directory.
bool ResourceLess(const PeResource* a, const PeResource* b) {
  if (a->type != b->type) return KeyLess(a->type, b->type);
  if (a->name != b->name) return KeyLess(a->name, b->name);
  return a->language < b->language;
}

// The resource directory as the new section begins: its tables, strings and
// data entries (head), then the data at offsets from the section's start.
struct Directory {
  Bytes head;
  std::vector<const PeResource*> order;  // as the data is written
  std::vector<std::uint64_t> offsets;
  std::uint64_t size = 0;
  std::string problem;  // why it cannot be written
};

struct Entry {
  ResourceKey key;
  std::uint64_t target;  // a table's offset with kHighBit, else a data entry's
};

void PutTable(Directory* d, std::uint64_t at, const std::vector<Entry>& entries,
              const std::map<std::u16string, std::uint64_t>& strings) {
  std::size_t named =
      std::count_if(entries.begin(), entries.end(), [](const Entry& e) { return e.key.IsNamed(); });
  if (named > 0xFFFF || entries.size() - named > 0xFFFF)
    d->problem = "more than 65535 resources in one directory";
  Put16(&d->head[at + 12], static_cast<std::uint32_t>(named));
  Put16(&d->head[at + 14], static_cast<std::uint32_t>(entries.size() - named));
  at += 16;
  for (const Entry& e : entries) {
    Put32(&d->head[at], e.key.IsNamed() ? kHighBit | strings.at(e.key.name) : e.key.id);
    Put32(&d->head[at + 4], e.target);
    at += 8;
  }
}

// Tables breadth first (the root, the types', the names'), then the strings,
// the data entries and the data. rva is the section's.
Directory BuildDirectory(const std::vector<PeResource>& resources, std::uint64_t rva) {
  Directory d;
  std::vector<const PeResource*> leaves;
  for (const PeResource& r : resources) leaves.push_back(&r);
  std::sort(leaves.begin(), leaves.end(), ResourceLess);
  std::vector<std::size_t> types, names;  // the leaves where a type, a name begins
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    const PeResource* r = leaves[i];
    if (i == 0 || r->type != leaves[i - 1]->type) {
      types.push_back(i);
      names.push_back(i);
    } else if (r->name != leaves[i - 1]->name) {
      names.push_back(i);
    } else if (r->language == leaves[i - 1]->language) {
      d.problem = "the resource " + ResourceText(*r) + " is listed twice";
    }
  }
  types.push_back(leaves.size());
  names.push_back(leaves.size());
  std::size_t typeCount = types.size() - 1, nameCount = names.size() - 1;

  std::uint64_t at = 16 * (1 + typeCount + nameCount) + 8 * (typeCount + nameCount + leaves.size());
  std::map<std::u16string, std::uint64_t> strings;
  std::vector<ResourceKey> keys;
  for (std::size_t t = 0; t < typeCount; ++t) keys.push_back(leaves[types[t]]->type);
  for (std::size_t n = 0; n < nameCount; ++n) keys.push_back(leaves[names[n]]->name);
  for (const ResourceKey& key : keys) {
    if (!key.IsNamed() || !strings.emplace(key.name, at).second) continue;
    if (key.name.size() > 0xFFFF) d.problem = "a resource name has more than 65535 characters";
    at += 2 + 2 * key.name.size();
  }
  std::uint64_t entries = AlignUp(at, 8);
  d.head.resize(entries + 16 * leaves.size());
  for (const auto& s : strings) {
    Put16(&d.head[s.second], static_cast<std::uint32_t>(s.first.size()));
    for (std::size_t i = 0; i < s.first.size(); ++i)
      Put16(&d.head[s.second + 2 + 2 * i], s.first[i]);
  }

  std::vector<Entry> root;
  std::uint64_t table = 16 + 8 * typeCount;
  std::size_t name = 0;
  for (std::size_t t = 0; t < typeCount; ++t) {
    root.push_back({leaves[types[t]]->type, kHighBit | table});
    std::size_t firstName = name;
    while (names[name] < types[t + 1]) ++name;
    table += 16 + 8 * (name - firstName);
  }
  PutTable(&d, 0, root, strings);
  name = 0;
  std::uint64_t typeTable = 16 + 8 * typeCount;
  for (std::size_t t = 0; t < typeCount; ++t) {
    std::vector<Entry> list;
    for (; names[name] < types[t + 1]; ++name) {
      list.push_back({leaves[names[name]]->name, kHighBit | table});
      std::vector<Entry> languages;
      for (std::size_t i = names[name]; i < names[name + 1]; ++i)
        languages.push_back({ResourceKey::Number(leaves[i]->language), entries + 16 * i});
      PutTable(&d, table, languages, strings);
      table += 16 + 8 * languages.size();
    }
    PutTable(&d, typeTable, list, strings);
    typeTable += 16 + 8 * list.size();
  }

  // Streamed data last, so a large archive streams to the end of the file;
  // the data entries keep the directory's order.
  std::vector<std::size_t> order(leaves.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_partition(order.begin(), order.end(),
                        [&](std::size_t i) { return !leaves[i]->stream; });
  d.size = d.head.size();
  for (std::size_t i : order) {
    std::uint64_t offset = AlignUp(d.size, 8);
    unsigned char* entry = &d.head[entries + 16 * i];
    Put32(entry, rva + offset);
    Put32(entry + 4, leaves[i]->size());
    Put32(entry + 8, leaves[i]->codePage);
    d.order.push_back(leaves[i]);
    d.offsets.push_back(offset);
    d.size = offset + leaves[i]->size();
  }
  return d;
}

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

// Passes the bytes on and sums them for the checksum. While a streamed
// resource writes, it refuses bytes beyond the announced size.
class ChecksumSink : public OutputSink {
 public:
  explicit ChecksumSink(OutputSink& out) : out_(out) {}

  bool Write(const void* data, std::size_t size) override {
    if (size > limit_ - written_) {
      overrun_ = true;
      return false;
    }
    if (size == 0) return true;
    if (!out_.Write(data, size)) {
      refused_ = true;
      return false;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::size_t i = 0;
    // Little-endian 16-bit words from the file's start, whatever the offset.
    if ((written_ & 1) != 0) sum_ += std::uint64_t{bytes[i++]} << 8;
    // Four bytes at a time: their two words summed apart.
    for (; i + 3 < size; i += 4) {
      std::uint32_t w = bytes[i] | bytes[i + 1] << 8 | std::uint32_t{bytes[i + 2]} << 16 |
                        std::uint32_t{bytes[i + 3]} << 24;
      sum_ += (w & 0xFFFF) + (w >> 16);
    }
    for (; i + 1 < size; i += 2) sum_ += bytes[i] | static_cast<std::uint32_t>(bytes[i + 1]) << 8;
    if (i < size) sum_ += bytes[i];
    written_ += size;
    return true;
  }
  // The sum has gone past those bytes.
  bool Rewrite(std::uint64_t, const void*, std::size_t) override { return false; }

  bool Zeros(std::uint64_t count) {
    static const unsigned char zeros[512] = {};
    for (; count > 0; count -= std::min<std::uint64_t>(count, sizeof zeros))
      if (!Write(zeros, std::min<std::uint64_t>(count, sizeof zeros))) return false;
    return true;
  }
  bool Pad(std::uint64_t to) { return Zeros(to - written_); }

  // The ones' complement sum folded to 16 bits, plus the length.
  std::uint32_t Checksum() const {
    std::uint64_t sum = sum_;
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + written_);
  }

  std::uint64_t written_ = 0, limit_ = ~std::uint64_t{0};
  bool refused_ = false, overrun_ = false;

 private:
  OutputSink& out_;
  std::uint64_t sum_ = 0;
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

struct PeImage::Layout {
  std::uint64_t keptEnd;  // the kept sections' data ends here in both files
  std::vector<std::uint64_t> movedVa, movedRaw;
  std::uint64_t resourceVa, resourceRaw, resourceRawSize;
  Directory directory;
  std::uint64_t fileSize, imageSize;
};

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

PeImage::Layout PeImage::Plan() const {
  Layout l;
  std::size_t kept = resourceSection_ < 0 ? sections_.size() : resourceSection_;
  std::uint64_t rawEnd = sizeOfHeaders_, vaEnd = sizeOfHeaders_;
  for (std::size_t i = 0; i < kept; ++i) {
    const Section& s = sections_[i];
    if (s.rawSize != 0) rawEnd = std::max<std::uint64_t>(rawEnd, s.rawOffset + s.rawSize);
    vaEnd = std::max(vaEnd, s.va + s.Extent());
  }
  l.keptEnd = rawEnd;
  std::uint64_t raw = AlignUp(rawEnd, fileAlignment_), va = AlignUp(vaEnd, sectionAlignment_);
  for (std::size_t i = kept + 1; i < sections_.size(); ++i) {
    l.movedVa.push_back(va);
    l.movedRaw.push_back(raw);
    va = AlignUp(va + sections_[i].Extent(), sectionAlignment_);
    raw += AlignUp(sections_[i].rawSize, fileAlignment_);
  }
  l.resourceVa = va;
  l.resourceRaw = raw;
  l.directory = BuildDirectory(resources_, va);
  l.resourceRawSize = AlignUp(l.directory.size, fileAlignment_);
  l.fileSize = raw + l.resourceRawSize;
  l.imageSize = AlignUp(va + l.directory.size, sectionAlignment_);
  return l;
}

std::uint64_t PeImage::OutputSize() const { return Plan().fileSize; }

bool PeImage::Write(OutputSink& out, std::string* error) const {
  if (signed_)
    return Fail(error, "it is signed, and the changes would break the signature: remove it first");
  Layout l = Plan();
  const Directory& d = l.directory;
  if (!d.problem.empty()) return Fail(error, d.problem);
  if (l.fileSize >= k4GiB || l.imageSize >= k4GiB)
    return Fail(error, "it would be too large for a 32-bit program: " + SizeText(l.fileSize) +
                           " in the file, " + SizeText(l.imageSize) + " in memory");

  std::size_t kept = resourceSection_ < 0 ? sections_.size() : resourceSection_;
  std::vector<Section> table(sections_.begin(), sections_.begin() + kept);
  for (std::size_t i = kept + 1; i < sections_.size(); ++i) {
    Section s = sections_[i];
    s.va = static_cast<std::uint32_t>(l.movedVa[i - kept - 1]);
    if (s.rawSize != 0) s.rawOffset = static_cast<std::uint32_t>(l.movedRaw[i - kept - 1]);
    table.push_back(s);
  }
  Section resources = {};
  std::memcpy(resources.header, ".rsrc", 5);
  resources.characteristics =
      resourceSection_ < 0 ? 0x40000040u : sections_[resourceSection_].characteristics;
  resources.va = static_cast<std::uint32_t>(l.resourceVa);
  resources.virtualSize = static_cast<std::uint32_t>(d.size);
  resources.rawSize = static_cast<std::uint32_t>(l.resourceRawSize);
  resources.rawOffset = static_cast<std::uint32_t>(l.resourceRaw);
  table.push_back(resources);

  Bytes head(file_.begin(), file_.begin() + sizeOfHeaders_);
  std::uint64_t initialized = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    Section& s = table[i];
    Put32(s.header + 8, s.virtualSize);
    Put32(s.header + 12, s.va);
    Put32(s.header + 16, s.rawSize);
    Put32(s.header + 20, s.rawOffset);
    Put32(s.header + 36, s.characteristics);
    std::memcpy(&head[sectionTable_ + kSectionHeaderSize * i], s.header, kSectionHeaderSize);
    if ((s.characteristics & kInitializedData) != 0) initialized += s.rawSize;
  }
  std::uint64_t optional = peOffset_ + 24;
  Put16(&head[peOffset_ + 6], static_cast<std::uint32_t>(table.size()));
  Put32(&head[optional + kSizeOfInitializedData], initialized);
  Put32(&head[optional + kSizeOfImage], l.imageSize);
  Put32(&head[optional + kCheckSum], 0);
  Put32(&head[DirectoryField(kResourceDirectory)], l.resourceVa);
  Put32(&head[DirectoryField(kResourceDirectory) + 4], d.size);
  Put32(&head[DirectoryField(kCertificateDirectory)], 0);
  Put32(&head[DirectoryField(kCertificateDirectory) + 4], 0);
  if (kept + 1 < sections_.size()) {
    std::uint64_t field = DirectoryField(kRelocationDirectory);
    Put32(&head[field], Get32(file_, field) - sections_[kept + 1].va + l.movedVa[0]);
  }

  ChecksumSink sink(out);
  auto refused = [&] { return Fail(error, "the output refused a write"); };
  if (!sink.Write(head.data(), head.size()) ||
      !sink.Write(file_.data() + sizeOfHeaders_, l.keptEnd - sizeOfHeaders_) ||
      !sink.Pad(AlignUp(l.keptEnd, fileAlignment_)))
    return refused();
  for (std::size_t i = kept + 1; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (!sink.Write(file_.data() + s.rawOffset, s.rawSize) ||
        !sink.Pad(l.movedRaw[i - kept - 1] + AlignUp(s.rawSize, fileAlignment_)))
      return refused();
  }
  if (!sink.Write(d.head.data(), d.head.size())) return refused();
  for (std::size_t i = 0; i < d.order.size(); ++i) {
    const PeResource& r = *d.order[i];
    if (!sink.Pad(l.resourceRaw + d.offsets[i])) return refused();
    if (!r.stream) {
      if (!sink.Write(r.data.data(), r.data.size())) return refused();
      continue;
    }
    std::uint64_t start = sink.written_;
    sink.limit_ = start + r.streamedSize;
    bool streamed = r.stream(sink);
    sink.limit_ = ~std::uint64_t{0};
    std::string what = "the resource " + ResourceText(r);
    if (sink.refused_) return refused();
    if (sink.overrun_)
      return Fail(error, what + " wrote more than the " + SizeText(r.streamedSize) + " announced");
    if (!streamed) return Fail(error, what + " could not be written");
    if (sink.written_ - start != r.streamedSize)
      return Fail(error, what + " wrote " + SizeText(sink.written_ - start) + ", not the " +
                             SizeText(r.streamedSize) + " announced");
  }
  if (!sink.Pad(l.fileSize)) return refused();
  unsigned char checksum[4];
  Put32(checksum, sink.Checksum());
  if (!out.Rewrite(optional + kCheckSum, checksum, sizeof checksum)) return refused();
  return true;
}
