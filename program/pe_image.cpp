#include "pe_image.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "host_files.h"
#include "host_files_platform.h"
#include "host_text.h"
#include "pe_format.h"

using namespace pe;

namespace {

using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

bool Beyond(std::uint64_t offset, std::uint64_t size, std::uint64_t end, std::string* error) {
  if (offset <= end && size <= end - offset) return false;
  return !Fail(error, "cannot read it: it ends at byte " + std::to_string(end));
}

class MemoryBytes : public ByteSource {
 public:
  explicit MemoryBytes(Bytes bytes) : bytes_(std::move(bytes)) {}
  std::uint64_t size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, void* data, std::size_t size, std::string* error) override {
    if (Beyond(offset, size, bytes_.size(), error)) return false;
    if (size != 0) std::memcpy(data, bytes_.data() + offset, size);
    return true;
  }

 private:
  Bytes bytes_;
};

class FileBytes : public ByteSource {
 public:
  FileBytes(std::FILE* file, std::uint64_t size) : file_(file), size_(size) {
    std::setvbuf(file_, nullptr, _IONBF, 0);
  }
  ~FileBytes() override { std::fclose(file_); }
  std::uint64_t size() const override { return size_; }
  // The directory's many small reads come from two windows of the file, the
  // one used last kept: entries are read in one place, their data in another.
  bool ReadAt(std::uint64_t offset, void* data, std::size_t size, std::string* error) override {
    if (Beyond(offset, size, size_, error)) return false;
    if (size > kWindow / 4) return Fill(offset, data, size, error);
    Window* w = &windows_[0];
    if (!w->Holds(offset, size)) w = &windows_[windows_[1].Holds(offset, size) ? 1 : older_];
    if (!w->Holds(offset, size)) {
      w->start = offset;
      w->bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, size_ - offset)));
      if (!Fill(offset, w->bytes.data(), w->bytes.size(), error)) return w->bytes.clear(), false;
    }
    older_ = w == &windows_[0] ? 1 : 0;
    if (size != 0) std::memcpy(data, w->bytes.data() + (offset - w->start), size);
    return true;
  }

 private:
  static constexpr std::size_t kWindow = 1 << 12;
  struct Window {
    std::uint64_t start = 0;
    Bytes bytes;
    bool Holds(std::uint64_t offset, std::size_t size) const {
      return offset >= start && offset + size <= start + bytes.size();
    }
  };
  bool Fill(std::uint64_t offset, void* data, std::size_t size, std::string* error) {
    if (size == 0 || (SeekFile(file_, offset) && std::fread(data, 1, size, file_) == size))
      return true;
    return Fail(
        error, "cannot read it: " +
                   (std::ferror(file_) != 0 ? ErrnoText(errno) : std::string("it became shorter")));
  }

  std::FILE* file_;
  std::uint64_t size_;
  Window windows_[2];
  int older_ = 0;
};

// Walks the resource directory, bounding every offset by the section that
// holds it; each table and data entry may be reached once only, each name is
// read once however many entries give it, and a resource listed twice is
// refused as soon as it is met: the work grows with the section's size.
class DirectoryReader {
 public:
  using Map = std::function<bool(std::uint32_t, std::uint32_t, std::uint64_t*)>;
  DirectoryReader(ByteSource& source, std::uint64_t root, std::uint64_t limit, const Map& map,
                  std::uint64_t loadLimit, std::vector<PeResource>* out)
      : source_(source),
        root_(root),
        limit_(limit),
        map_(map),
        loadLimit_(loadLimit),
        out_(out),
        listed_(
            [out](std::size_t a, std::size_t b) { return ResourceLess(&(*out)[a], &(*out)[b]); }) {}

  bool Read(std::string* error) {
    PeResource path;
    if (Table(0, 0, &path)) return true;
    return Fail(error,
                problem_.empty() ? readError_ : "its resource directory is damaged: " + problem_);
  }
  // The bytes of the file the directory and its data take up.
  Ranges ranges;

 private:
  bool Damage(const std::string& problem) {
    problem_ = problem;
    return false;
  }
  bool Within(std::uint64_t offset, std::uint64_t size) const { return offset + size <= limit_; }
  bool Get(std::uint64_t offset, std::uint64_t size, Bytes* bytes) {
    ranges.emplace_back(root_ + offset, root_ + offset + size);
    bytes->resize(size);
    return source_.ReadAt(root_ + offset, bytes->data(), size, &readError_);
  }

  bool Table(std::uint32_t offset, int level, PeResource* path) {
    if (!seen_.insert(offset).second) return Damage("a table or entry is reached twice");
    Bytes head, entries;
    if (!Within(offset, 16)) return Damage("a table lies outside its section");
    if (!Get(offset, 16, &head)) return false;
    std::uint64_t count = Get16(head, 12) + Get16(head, 14);
    if (!Within(offset + 16ull, 8 * count))
      return Damage("a table's entries lie outside its section");
    if (!Get(offset + 16ull, 8 * count, &entries)) return false;
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint32_t key = Get32(entries, 8 * i), target = Get32(entries, 8 * i + 4);
      ResourceKey* field = level == 0 ? &path->type : &path->name;
      ResourceKey parsed;
      if ((key & kHighBit) != 0 && !Name(key & ~kHighBit, &parsed)) return false;
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

  bool Name(std::uint32_t offset, ResourceKey* key) {
    auto known = names_.find(offset);
    if (known != names_.end()) {
      key->text = known->second;
      return true;
    }
    Bytes length, units;
    if (!Within(offset, 2)) return Damage("a name lies outside its section");
    if (!Get(offset, 2, &length)) return false;
    std::uint32_t count = Get16(length, 0);
    if (count == 0) return Damage("a name is empty");
    if (!Within(offset + 2ull, 2 * count)) return Damage("a name lies outside its section");
    if (!Get(offset + 2ull, 2 * count, &units)) return false;
    std::u16string name(count, u'\0');
    for (std::uint32_t i = 0; i < count; ++i) name[i] = static_cast<char16_t>(Get16(units, 2 * i));
    key->text = names_[offset] = std::make_shared<const std::u16string>(std::move(name));
    return true;
  }

  bool Data(std::uint32_t offset, PeResource resource) {
    if (!seen_.insert(offset).second) return Damage("a table or entry is reached twice");
    Bytes entry;
    if (!Within(offset, 16)) return Damage("a data entry lies outside its section");
    if (!Get(offset, 16, &entry)) return false;
    std::uint64_t from = 0;
    std::uint32_t size = Get32(entry, 4);
    // Overlapping data would make the copies outgrow the file.
    total_ += size;
    if (!map_(Get32(entry, 0), size, &from) || total_ > source_.size())
      return Damage("the data of " + ResourceText(resource) + " lies outside the file");
    resource.codePage = Get32(entry, 8);
    resource.fileOffset = from;
    resource.fileSize = size;
    resource.loaded = size <= loadLimit_;
    ranges.emplace_back(from, from + size);
    if (resource.loaded) {
      resource.data.resize(size);
      if (!source_.ReadAt(from, resource.data.data(), size, &readError_)) return false;
    }
    out_->push_back(std::move(resource));
    if (!listed_.insert(out_->size() - 1).second)
      return Damage(ResourceText(out_->back()) + " is listed twice");
    return true;
  }

  ByteSource& source_;
  std::uint64_t root_, limit_;
  Map map_;
  std::uint64_t loadLimit_;
  std::vector<PeResource>* out_;
  std::set<std::uint32_t> seen_;
  std::map<std::uint32_t, std::shared_ptr<const std::u16string>> names_;
  std::set<std::size_t, std::function<bool(std::size_t, std::size_t)>> listed_;
  std::uint64_t total_ = 0;
  std::string problem_, readError_;
};

bool Power(std::uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::shared_ptr<ByteSource> MemorySource(std::vector<unsigned char> bytes) {
  return std::make_shared<MemoryBytes>(std::move(bytes));
}

bool OpenFileSource(const std::filesystem::path& path, std::shared_ptr<ByteSource>* source,
                    std::string* error) {
  std::uint64_t size = 0;
  if (!FileSize(path, &size, error)) return false;
  std::FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return Fail(error, "cannot open it: " + ErrnoText(errno));
  *source = std::make_shared<FileBytes>(file, size);
  return true;
}

ResourceKey ResourceKey::Number(std::uint16_t id) {
  ResourceKey key;
  key.id = id;
  return key;
}

ResourceKey ResourceKey::Named(const std::u16string& name) {
  ResourceKey key;
  if (!name.empty()) key.text = std::make_shared<const std::u16string>(name);
  return key;
}

const std::u16string& ResourceKey::name() const {
  static const std::u16string none;
  return text ? *text : none;
}

bool ResourceKey::operator==(const ResourceKey& other) const {
  if (IsNamed() != other.IsNamed()) return false;
  return IsNamed() ? text == other.text || *text == *other.text : id == other.id;
}

std::string ResourceKeyText(const ResourceKey& key) {
  if (!key.IsNamed()) return std::to_string(key.id);
  std::string text;
  for (char16_t c : key.name()) {
    // A hostile name must not make a message of pages.
    if (text.size() >= 64) return text + "...";
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      text += static_cast<char>(c);
    } else {
      text += "\\u" + Hex(c, 4, false);
    }
  }
  return text;
}

bool PeImage::Read(std::vector<unsigned char> file, std::string* error) {
  return Read(MemorySource(std::move(file)), error);
}

bool PeImage::Read(std::shared_ptr<ByteSource> source, std::string* error,
                   std::uint64_t loadLimit) {
  *this = PeImage();
  source_ = std::move(source);
  if (Parse(error) && ParseSections(error) && ParseResources(loadLimit, error) &&
      CheckLayout(error))
    return true;
  *this = PeImage();
  return false;
}

bool PeImage::Load(std::uint64_t offset, std::uint64_t size, Bytes* out, std::string* error) const {
  out->resize(size);
  return source_->ReadAt(offset, out->data(), size, error);
}

bool PeImage::Parse(std::string* error) {
  // The headers are read as far as the fields met so far reach.
  std::string readError;
  auto need = [&](std::uint64_t end) {
    Bytes more;
    if (end <= head_.size()) return true;
    if (end > source_->size() || !Load(head_.size(), end - head_.size(), &more, &readError))
      return false;
    head_.insert(head_.end(), more.begin(), more.end());
    return true;
  };
  auto damaged = [&](const std::string& text) {
    return Fail(error, readError.empty() ? text : readError);
  };
  const Bytes& f = head_;
  if (!need(64) || f[0] != 'M' || f[1] != 'Z')
    return damaged("not a Windows program (no MZ header)");
  peOffset_ = Get32(f, 0x3C);
  if (!need(peOffset_ + 26ull) || Get32(f, peOffset_) != 0x4550)
    return damaged("not a Windows program (no PE header)");
  std::uint32_t machine = Get16(f, peOffset_ + 4), optionalSize = Get16(f, peOffset_ + 20);
  std::uint64_t optional = peOffset_ + 24;
  std::uint32_t magic = Get16(f, optional);
  if (magic == 0x20B) return Fail(error, "a 64-bit program");
  if (magic != 0x10B)
    return Fail(error,
                "not a Windows program (optional header magic 0x" + Hex(magic, 4, false) + ")");
  if (machine != 0x14C)
    return Fail(error, "not a program for 32-bit x86 (machine 0x" + Hex(machine, 4, false) + ")");
  if (optionalSize < kDirectories || !need(optional + optionalSize))
    return damaged("its headers are damaged: the optional header is cut short");
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
  // The loader's rules: a file alignment of 512 to 64K, a section alignment
  // no smaller, and both the same below the page size.
  if (!Power(sectionAlignment_) || !Power(fileAlignment_) || fileAlignment_ < 0x200 ||
      fileAlignment_ > 0x10000 || fileAlignment_ > sectionAlignment_ ||
      (sectionAlignment_ < kPageSize && sectionAlignment_ != fileAlignment_))
    return Fail(error, "its headers are damaged: section alignment 0x" +
                           Hex(sectionAlignment_, 8, false) + ", file alignment 0x" +
                           Hex(fileAlignment_, 8, false));
  sizeOfHeaders_ = Get32(f, optional + kSizeOfHeaders);
  sectionTable_ = static_cast<std::uint32_t>(optional + optionalSize);
  std::uint64_t tableEnd =
      sectionTable_ + std::uint64_t{kSectionHeaderSize} * Get16(f, peOffset_ + 6);
  if (sizeOfHeaders_ > source_->size() || tableEnd > sizeOfHeaders_ || !need(sizeOfHeaders_))
    return damaged("its headers are damaged: the section table lies outside them");
  head_.resize(sizeOfHeaders_);
  return true;
}

bool PeImage::ParseSections(std::string* error) {
  const Bytes& f = head_;
  std::uint64_t dataEnd = sizeOfHeaders_, size = source_->size();
  bool flat = sectionAlignment_ < kPageSize;
  Ranges inFile;
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
        (s.rawOffset < sizeOfHeaders_ || std::uint64_t{s.rawOffset} + s.rawSize > size))
      return Fail(error, "its section " + name + " lies outside the file");
    std::uint64_t floor =
        sections_.empty() ? sizeOfHeaders_ : sections_.back().va + sections_.back().Extent();
    if (s.va < floor || s.va + s.Extent() > k4GiB)
      return Fail(error, "its section " + name + " overlaps the one before it");
    // Above the page size the sections follow one another in memory with no
    // gap; below it each lies in memory where it lies in the file.
    if (flat ? s.va != s.rawOffset || s.virtualSize > s.rawSize
             : s.va != AlignUp(floor, sectionAlignment_) ||
                   (s.rawSize != 0 && s.rawOffset % fileAlignment_ != 0))
      return Fail(error, "Windows would not load it: its section " + name + " takes 0x" +
                             Hex(static_cast<std::uint32_t>(s.Extent()), 8, false) +
                             " bytes at 0x" + Hex(s.va, 8, false) + " in memory, 0x" +
                             Hex(s.rawSize, 8, false) + " at 0x" + Hex(s.rawOffset, 8, false) +
                             " in the file");
    if (s.rawSize != 0) {
      dataEnd = std::max<std::uint64_t>(dataEnd, s.rawOffset + s.rawSize);
      inFile.emplace_back(s.rawOffset, s.rawOffset + s.rawSize);
    }
    sections_.push_back(s);
  }
  std::sort(inFile.begin(), inFile.end());
  for (std::size_t i = 1; i < inFile.size(); ++i) {
    if (inFile[i].first < inFile[i - 1].second)
      return Fail(error, "its sections overlap in the file at 0x" +
                             Hex(static_cast<std::uint32_t>(inFile[i].first), 8, false));
  }
  std::uint64_t image = Get32(f, peOffset_ + 24 + kSizeOfImage);
  std::uint64_t end =
      sections_.empty() ? sizeOfHeaders_ : sections_.back().va + sections_.back().Extent();
  if (image < end || image >= k2GiB)
    return Fail(error, "Windows would not load it: its size in memory, " + SizeText(image) +
                           ", does not hold its sections, " + SizeText(end) + ", or exceeds 2 GiB");
  // A certificate table may follow, 8-byte aligned; anything else there is
  // data of unknown meaning that the new layout would lose.
  std::uint64_t directory = DirectoryField(kCertificateDirectory);
  std::uint64_t certificate = Get32(f, directory), certificateSize = Get32(f, directory + 4);
  std::uint64_t overlay = size - dataEnd;
  if (certificateSize != 0) {
    if (certificate < dataEnd || certificate + certificateSize > size)
      return Fail(error, "its certificate table lies outside the file or inside a section");
    signed_ = true;
    if (certificate - dataEnd < 8 && certificate + certificateSize == size) {
      if (!ZeroOutside(dataEnd, certificate, {},
                       "data after its last section (" + SizeText(overlay) + ")", error))
        return false;
      overlay = 0;
    }
  }
  if (overlay != 0) return Fail(error, "data after its last section (" + SizeText(overlay) + ")");
  return true;
}

std::uint64_t PeImage::DirectoryField(int index) const {
  return peOffset_ + 24 + kDirectories + 8 * index;
}

bool PeImage::ZeroOutside(std::uint64_t from, std::uint64_t to, Ranges ranges,
                          const std::string& what, std::string* error) const {
  std::sort(ranges.begin(), ranges.end());
  ranges.emplace_back(to, to);
  Bytes chunk;
  for (const auto& range : ranges) {
    for (std::uint64_t end = std::min(range.first, to); from < end;) {
      std::uint64_t size = std::min<std::uint64_t>(end - from, 1 << 16);
      if (!Load(from, size, &chunk, error)) return false;
      if (std::any_of(chunk.begin(), chunk.end(), [](unsigned char b) { return b != 0; }))
        return Fail(error, what);
      from += size;
    }
    from = std::max(from, range.second);
  }
  return true;
}

bool PeImage::ParseResources(std::uint64_t loadLimit, std::string* error) {
  std::uint64_t field = DirectoryField(kResourceDirectory);
  std::uint32_t rva = Get32(head_, field);
  if (rva == 0 && Get32(head_, field + 4) == 0) return true;
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    if (rva >= sections_[i].va && rva < sections_[i].va + sections_[i].Extent())
      resourceSection_ = static_cast<int>(i);
  }
  if (resourceSection_ < 0)
    return Fail(error, "its resource directory is damaged: it lies outside its sections");
  const Section& section = sections_[resourceSection_];
  // Write drops the section and keeps only the directory and its data:
  // nothing else may live there.
  std::string shared =
      "its resources share the section " + SectionName(section.header) + " with other data";
  if (rva != section.va) return Fail(error, shared);
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
  DirectoryReader reader(*source_, section.rawOffset, limit, map, loadLimit, &resources_);
  return reader.Read(error) &&
         ZeroOutside(section.rawOffset, section.rawOffset + limit, reader.ranges, shared, error);
}

bool PeImage::CheckLayout(std::string* error) {
  std::uint64_t field = DirectoryField(kRelocationDirectory);
  std::uint64_t relocations = Get32(head_, field), relocationsSize = Get32(head_, field + 4);
  const Section* holder = nullptr;
  for (const Section& s : sections_) {
    if (relocations >= s.va &&
        relocations + relocationsSize <= s.va + std::min<std::uint64_t>(s.Extent(), s.rawSize))
      holder = &s;
  }
  if (relocationsSize != 0 && holder == nullptr)
    return Fail(error, "Windows would not load it: its base relocations lie outside its sections");
  std::uint64_t at = holder != nullptr ? holder->rawOffset + (relocations - holder->va) : 0;
  if (resourceSection_ < 0) {
    std::uint64_t slot = sectionTable_ + kSectionHeaderSize * sections_.size();
    if (slot + kSectionHeaderSize > sizeOfHeaders_ ||
        !std::all_of(head_.begin() + slot, head_.begin() + slot + kSectionHeaderSize,
                     [](unsigned char b) { return b == 0; }))
      return Fail(error, "there is no room in its headers for a resource section");
    return CheckRelocations(at, relocationsSize, 0, 0, error);
  }
  if (relocationsSize != 0 && holder == &sections_[resourceSection_])
    return Fail(error, "its base relocations lie inside its resources, which are rebuilt");
  // Only the base relocations may move: nothing refers to them but their
  // data directory, and they never point into themselves or the resources.
  for (std::size_t i = resourceSection_ + 1; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    std::string what = "the section " + SectionName(s.header) +
                       " follows the resources and does not hold the base relocations";
    if (relocationsSize == 0 || holder != &s) return Fail(error, what);
    if (!ZeroOutside(s.rawOffset, s.rawOffset + std::min<std::uint64_t>(s.Extent(), s.rawSize),
                     {{at, at + relocationsSize}}, what + " alone", error))
      return false;
  }
  std::uint64_t from = sections_[resourceSection_].va;
  std::uint64_t to = sections_.back().va + sections_.back().Extent();
  auto inside = [&](std::uint64_t rva, std::uint64_t size) {
    return rva < to && rva + std::max<std::uint64_t>(size, 1) > from;
  };
  std::uint32_t directories = Get32(head_, peOffset_ + 24 + kDirectoryCount);
  for (std::uint32_t d = 0; d < directories; ++d) {
    if (d == kResourceDirectory || d == kCertificateDirectory || d == kRelocationDirectory)
      continue;
    std::uint32_t rva = Get32(head_, DirectoryField(d)), size = Get32(head_, DirectoryField(d) + 4);
    if ((rva != 0 || size != 0) && inside(rva, size))
      return Fail(error, "its data directory " + std::to_string(d) +
                             " points into the resources or the sections after them");
  }
  if (inside(Get32(head_, peOffset_ + 24 + kEntryPoint), 1))
    return Fail(error, "its entry point lies in the resources or the sections after them");
  return CheckRelocations(at, relocationsSize, from, to, error);
}

// Each block of base relocations: a page, its size, then 16-bit entries of a
// type and an offset in the page. A fixup that Windows would apply outside
// the image, or into what Write rebuilds or moves, breaks the program.
bool PeImage::CheckRelocations(std::uint64_t at, std::uint64_t size, std::uint64_t from,
                               std::uint64_t to, std::string* error) {
  std::uint64_t image = Get32(head_, peOffset_ + 24 + kSizeOfImage);
  Bytes blocks;
  if (!Load(at, size, &blocks, error)) return false;
  for (std::uint64_t block = 0; block < blocks.size();) {
    std::uint64_t page = block + 8 <= blocks.size() ? Get32(blocks, block) : 0;
    std::uint64_t length = block + 8 <= blocks.size() ? Get32(blocks, block + 4) : 0;
    if (length < 8 || length % 2 != 0 || length > blocks.size() - block)
      return Fail(error, "its base relocations are damaged at byte " + std::to_string(block));
    for (std::uint64_t entry = block + 8; entry < block + length; entry += 2) {
      std::uint32_t value = Get16(blocks, entry);
      std::uint64_t fixup = page + (value & 0xFFF);
      if ((value >> 12) != 0 && (fixup + 4 > image || (fixup < to && fixup + 4 > from)))
        return Fail(error, "a base relocation at 0x" +
                               Hex(static_cast<std::uint32_t>(fixup), 8, false) +
                               " lies outside the image or in what is rebuilt");
    }
    block += length;
  }
  return true;
}

bool PeImage::Copy(OutputSink& out, std::uint64_t offset, std::uint64_t size,
                   std::string* error) const {
  Bytes chunk;
  for (std::uint64_t done = 0; done < size;) {
    std::uint64_t piece = std::min(size - done, kChunk);
    if (!Load(offset + done, piece, &chunk, error)) return false;
    if (!out.Write(chunk.data(), chunk.size())) return Fail(error, "");  // out knows why
    done += piece;
  }
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
