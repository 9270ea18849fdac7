// Writes a PE image with its resource directory rebuilt as the last section.
#include "pe_image.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>

#include "host_text.h"
#include "pe_format.h"

using namespace pe;

namespace {

// The resource directory as the new section begins: its tables, strings and
// data entries (head), then the data at offsets from the section's start.
struct Directory {
  Bytes head;
  std::vector<const PeResource*> order;  // as the data is written
  std::vector<std::uint64_t> offsets;
  std::uint64_t size = 0;
  std::string problem;  // why it cannot be written
};

// Where each name lies in the directory. Names shared by many keys are
// found at once.
struct NameLess {
  bool operator()(const std::u16string* a, const std::u16string* b) const {
    return a != b && *a < *b;
  }
};
using Strings = std::map<const std::u16string*, std::uint64_t, NameLess>;

struct Entry {
  ResourceKey key;
  std::uint64_t target;  // a table's offset with kHighBit, else a data entry's
};

void PutTable(Directory* d, std::uint64_t at, const std::vector<Entry>& entries,
              const Strings& strings) {
  std::size_t named =
      std::count_if(entries.begin(), entries.end(), [](const Entry& e) { return e.key.IsNamed(); });
  if (named > 0xFFFF || entries.size() - named > 0xFFFF)
    d->problem = "more than 65535 resources in one directory";
  Put16(&d->head[at + 12], static_cast<std::uint32_t>(named));
  Put16(&d->head[at + 14], static_cast<std::uint32_t>(entries.size() - named));
  at += 16;
  for (const Entry& e : entries) {
    Put32(&d->head[at], e.key.IsNamed() ? kHighBit | strings.at(e.key.text.get()) : e.key.id);
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
  Strings strings;
  std::vector<ResourceKey> keys;
  for (std::size_t t = 0; t < typeCount; ++t) keys.push_back(leaves[types[t]]->type);
  for (std::size_t n = 0; n < nameCount; ++n) keys.push_back(leaves[names[n]]->name);
  for (const ResourceKey& key : keys) {
    if (!key.IsNamed() || !strings.emplace(key.text.get(), at).second) continue;
    if (key.name().size() > 0xFFFF) d.problem = "a resource name has more than 65535 characters";
    at += 2 + 2 * key.name().size();
  }
  std::uint64_t entries = AlignUp(at, 8);
  d.head.resize(entries + 16 * leaves.size());
  for (const auto& s : strings) {
    Put16(&d.head[s.second], static_cast<std::uint32_t>(s.first->size()));
    for (std::size_t i = 0; i < s.first->size(); ++i)
      Put16(&d.head[s.second + 2 + 2 * i], (*s.first)[i]);
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
  bool Pad(std::uint64_t to) { return to <= written_ || Zeros(to - written_); }
  // Takes back bytes summed at offset: the checksum field sums as zeros.
  void Forget(std::uint64_t offset, const unsigned char* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i)
      sum_ -= std::uint64_t{bytes[i]} << 8 * ((offset + i) & 1);
  }

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

struct Nowhere : OutputSink {
  bool Write(const void*, std::size_t) override { return true; }
  bool Rewrite(std::uint64_t, const void*, std::size_t) override { return true; }
};

}  // namespace

struct PeImage::Layout {
  std::uint64_t keptEnd;  // the kept sections' data ends here in both files
  std::vector<std::uint64_t> movedVa, movedRaw;
  std::uint64_t resourceVa, resourceRaw, resourceRawSize;
  Directory directory;
  std::uint64_t fileSize, imageSize;
};

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
  // Below the page size the loader wants each section at the same address
  // in memory as in the file.
  bool flat = sectionAlignment_ < kPageSize;
  if (flat) raw = va = std::max(raw, va);
  for (std::size_t i = kept + 1; i < sections_.size(); ++i) {
    l.movedVa.push_back(va);
    l.movedRaw.push_back(raw);
    va = AlignUp(va + sections_[i].Extent(), sectionAlignment_);
    raw += AlignUp(sections_[i].rawSize, fileAlignment_);
    if (flat) raw = va = std::max(raw, va);
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
  if (l.fileSize >= k4GiB || l.imageSize >= k2GiB)
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

  Bytes head = head_;
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
    Put32(&head[field], Get32(head_, field) - sections_[kept + 1].va + l.movedVa[0]);
  }

  ChecksumSink sink(out);
  std::string readError;
  // The image's own bytes are read again as they are copied.
  auto refused = [&] {
    return Fail(error, readError.empty() ? "the output refused a write"
                                         : "reading the program it is made from: " + readError);
  };
  if (!sink.Write(head.data(), head.size()) ||
      !Copy(sink, sizeOfHeaders_, l.keptEnd - sizeOfHeaders_, &readError))
    return refused();
  for (std::size_t i = kept + 1; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (!sink.Pad(l.movedRaw[i - kept - 1]) || !Copy(sink, s.rawOffset, s.rawSize, &readError))
      return refused();
  }
  if (!sink.Pad(l.resourceRaw) || !sink.Write(d.head.data(), d.head.size())) return refused();
  for (std::size_t i = 0; i < d.order.size(); ++i) {
    const PeResource& r = *d.order[i];
    if (!sink.Pad(l.resourceRaw + d.offsets[i])) return refused();
    if (!r.stream) {
      if (r.loaded ? !sink.Write(r.data.data(), r.data.size())
                   : !Copy(sink, r.fileOffset, r.fileSize, &readError))
        return refused();
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

bool PeImage::CheckWritten(std::shared_ptr<ByteSource> written, std::string* error) const {
  Layout l = Plan();
  PeImage back;
  std::string problem;
  auto differs = [&](const std::string& what) { return Fail(error, "read back, " + what); };
  if (!back.Read(written, &problem)) return differs(problem);
  Nowhere nowhere;
  ChecksumSink sum(nowhere);
  std::uint64_t field = back.peOffset_ + 24 + kCheckSum;
  std::uint32_t stored = Get32(back.head_, field);
  if (!back.Copy(sum, 0, written->size(), &problem)) return differs(problem);
  sum.Forget(field, &back.head_[field], 4);
  if (sum.Checksum() != stored)
    return differs("its checksum is 0x" + Hex(stored, 8, false) + ", its bytes give 0x" +
                   Hex(sum.Checksum(), 8, false));
  std::map<const PeResource*, std::uint64_t> planned;
  for (std::size_t i = 0; i < l.directory.order.size(); ++i)
    planned[l.directory.order[i]] = l.resourceRaw + l.directory.offsets[i];
  std::vector<const PeResource*> leaves = l.directory.order;
  std::sort(leaves.begin(), leaves.end(), ResourceLess);
  if (back.resources_.size() != leaves.size() || written->size() != l.fileSize)
    return differs(std::to_string(back.resources_.size()) + " resources in " +
                   SizeText(written->size()) + ", not " + std::to_string(leaves.size()) + " in " +
                   SizeText(l.fileSize));
  // The bytes written from memory, or copied from this image's source.
  auto sameBytes = [&](const PeResource& want, const PeResource& got) {
    Bytes mine, theirs;
    if (want.loaded)
      return back.Load(got.fileOffset, got.fileSize, &theirs, &problem) && theirs == want.data;
    for (std::uint64_t at = 0, piece = 0; at < got.fileSize; at += piece) {
      piece = std::min(got.fileSize - at, kChunk);
      if (!Load(want.fileOffset + at, piece, &mine, &problem) ||
          !back.Load(got.fileOffset + at, piece, &theirs, &problem) || mine != theirs)
        return false;
    }
    return true;
  };
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    const PeResource &want = *leaves[i], &got = back.resources_[i];
    bool same = got.type == want.type && got.name == want.name && got.language == want.language &&
                got.codePage == want.codePage && got.fileSize == want.size() &&
                got.fileOffset == planned[&want];
    if (!same || (!want.stream && !sameBytes(want, got)))
      return differs("the resource " + ResourceText(want) + " is not as written");
  }
  return true;
}
