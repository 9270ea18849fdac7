// The PE image the installer stub is rebuilt from, and the resource blocks it
// edits, on programs and blocks laid out here by hand.
#include "archive_test_support.h"
#include "patch_program.h"
#include "pe_image.h"
#include "resource_blocks.h"

namespace {

using K = ResourceKey;

const std::uint32_t kPe = 0x40, kOptional = kPe + 24, kTable = kOptional + 224;
const std::uint32_t kCheckSum = kOptional + 64, kOldResources = 0x600;
std::uint32_t Dir(int index) { return kOptional + 96 + 8 * index; }

void Append(Bytes* b, const std::u16string& text) {
  for (char16_t c : text) b->push_back(c & 0xFF), b->push_back(c >> 8);
}
void Align(Bytes* b, std::size_t alignment) {
  b->resize((b->size() + alignment - 1) / alignment * alignment);
}
Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes Slice(const Bytes& b, std::size_t at, std::size_t size) {
  return Bytes(b.begin() + at, b.begin() + at + size);
}

PeResource Resource(ResourceKey type, ResourceKey name, std::uint16_t language, Bytes data,
                    std::uint32_t codePage = 0) {
  return {type, name, language, codePage, std::move(data), 0, {}};
}

// One name and one language for each type (named types first): each type's
// two tables and data entry together, names and data after them all.
Bytes ResourceSection(std::uint32_t rva, const std::vector<PeResource>& list) {
  std::size_t n = list.size(), named = 0;
  Bytes b(16 + 72 * n);
  for (std::size_t i = 0; i < n; ++i) {
    const PeResource& r = list[i];
    std::size_t at = 16 + 8 * n + 64 * i;
    std::uint64_t key = r.type.id;
    if (r.type.IsNamed()) {
      key = 0x80000000u | b.size(), ++named;
      Append(&b, static_cast<char16_t>(r.type.name().size()) + r.type.name());
    }
    Align(&b, 8);
    Set(&b, 4,
        {16 + 8 * i, key, 20 + 8 * i, 0x80000000u | at, at + 16, r.name.id, at + 20,
         0x80000000u | (at + 24), at + 40, r.language, at + 44, at + 48, at + 48, rva + b.size(),
         at + 52, r.data.size(), at + 56, r.codePage});
    Set(&b, 2, {at + 14, 1, at + 38, 1});
    b.insert(b.end(), r.data.begin(), r.data.end());
  }
  Set(&b, 2, {12, named, 14, n - named});
  return b;
}

// One block of two 32-bit relocations in the code's page.
const Bytes kRelocations = {0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x04, 0x30, 0x10, 0x30};

// As the linker lays it out: 0x200 bytes of headers, .text, .rsrc, .reloc;
// with a low alignment, 0x1000 bytes of headers and each section at the same
// address as in the file.
Bytes Image(const std::vector<PeResource>& resources, bool withResources = true,
            std::uint32_t low = 0) {
  std::vector<std::pair<std::string, Bytes>> sections = {{".text", Pattern<Bytes>(0x300, 1)}};
  if (withResources)
    sections.push_back({".rsrc", ResourceSection(low != 0 ? 0x1400 : 0x2000, resources)});
  sections.push_back({".reloc", kRelocations});
  Bytes b(low != 0 ? 0x1000 : 0x200);
  Set(&b, 4,
      {0x3C, kPe, kPe, 0x4550, kOptional + 16, 0x1000, kOptional + 32, low != 0 ? low : 0x1000,
       kOptional + 36, low != 0 ? low : 0x200, kOptional + 60, b.size(), kOptional + 92, 16, Dir(1),
       0x1000, Dir(1) + 4, 16});  // an import directory, left where it is
  Set(&b, 2,
      {0, 'M' | 'Z' << 8, kPe + 4, 0x14C, kPe + 6, sections.size(), kPe + 20, 224, kOptional, 0x10B,
       kOptional + 68, 2});
  std::uint32_t va = 0x1000;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const auto& [name, data] = sections[i];
    std::size_t at = kTable + 40 * i, size = data.size();
    std::memcpy(&b[at], name.data(), name.size());
    Set(&b, 4,
        {at + 8, size, at + 12, va, at + 16, (size + 0x1FF) & ~0x1FFu, at + 20, b.size(), at + 36,
         i == 0 ? 0x60000020u : 0x40000040u});
    int directory = name == ".rsrc" ? 2 : 5;
    if (name != ".text") Set(&b, 4, {Dir(directory), va, Dir(directory) + 4, size});
    b.insert(b.end(), data.begin(), data.end());
    Align(&b, 0x200);
    va = low != 0 ? b.size() : va + ((size + 0xFFF) & ~0xFFFu);
  }
  Set(&b, kOptional + 56, va);
  return b;
}

struct MemorySink : OutputSink {
  bool Write(const void* data, std::size_t size) override {
    const unsigned char* p = static_cast<const unsigned char*>(data);
    return !refuse && (bytes.insert(bytes.end(), p, p + size), true);
  }
  bool Rewrite(std::uint64_t offset, const void* data, std::size_t size) override {
    return offset + size <= bytes.size() && std::memcpy(&bytes[offset], data, size);
  }
  Bytes bytes;
  bool refuse = false;
};

// The bytes of resources left in the file are taken from it.
using Listing = std::vector<std::tuple<std::string, std::string, int, Bytes>>;
Listing List(const std::vector<PeResource>& resources, const Bytes& file = {}) {
  Listing list;
  for (const PeResource& r : resources)
    list.emplace_back(ResourceKeyText(r.type), ResourceKeyText(r.name), r.language,
                      r.loaded ? r.data : Slice(file, r.fileOffset, r.fileSize));
  return list;
}

class PeImageTest : public ::testing::Test {
 protected:
  // Every program written is read back and checked.
  Bytes Written(const PeImage& image) {
    MemorySink out;
    EXPECT_TRUE(image.Write(out, &error)) << error;
    EXPECT_EQ(image.OutputSize(), out.bytes.size());
    EXPECT_TRUE(image.CheckWritten(MemorySource(out.bytes), &error)) << error;
    return out.bytes;
  }
  // What the tools learn from a program on disk.
  CarriedArchive Carried(const Bytes& program) {
    ScratchFolder scratch;
    CarriedArchive found;
    Store(scratch.path + "/Patch.exe", std::string(program.begin(), program.end()));
    EXPECT_TRUE(ReadCarriedArchive(scratch.path + "/Patch.exe", &found, &error)) << error;
    return found;
  }
  // Streams the archive in odd pieces, so the sum meets words split between writes.
  void Stream(PeResource* r) {
    r->streamedSize = archive.size();
    r->stream = [this](OutputSink& out) {
      for (std::size_t at = 0; at < archive.size(); at += 999)
        if (!out.Write(&archive[at], std::min<std::size_t>(999, archive.size() - at))) return false;
      return true;
    };
  }

  // A string table block with the version line, string 104.
  const Bytes strings = [] {
    Bytes b(32);
    std::string ignored;
    return SetTableString(&b, 8, u"Version: 1.00.001", &ignored), b;
  }();
  const std::vector<PeResource> resources = {
      Resource(K::Named(u"BINARY"), K::Number(105), 0x419, Text("old archive")),
      Resource(K::Number(6), K::Number(7), 0x419, strings, 1251),
      Resource(K::Number(16), K::Number(1), 0x419, Pattern<Bytes>(60, 3))};
  const Bytes archive = Pattern<Bytes>(100001, 5);
  std::string error;
};

// Write refuses to break a signature; without it, moves .reloc down, puts the
// sorted directory last with the streamed archive at its very end and fixes
// the headers; a second pass keeps it all. A program without resources gets
// a section for them.
TEST_F(PeImageTest, RoundTrip) {
  Bytes signedImage = Image(resources);
  Set(&signedImage, 4, {Dir(4), signedImage.size(), Dir(4) + 4, 16});
  signedImage.resize(signedImage.size() + 16, 0xAB);
  PeImage image, again;
  MemorySink refused;
  ASSERT_TRUE(image.Read(signedImage, &error)) << error;
  EXPECT_EQ(List(resources), List(image.resources()));
  EXPECT_TRUE(image.HasSignature());
  EXPECT_FALSE(image.Write(refused, &error));
  EXPECT_NE(std::string::npos, error.find("it is signed")) << error;
  image.RemoveSignature();
  Stream(image.Find(K::Named(u"BINARY"), K::Number(105), 0x419));
  image.Put(Resource(K::Number(16), K::Number(1), 0x419, Pattern<Bytes>(77, 6)));
  image.Put(Resource(K::Number(3), K::Number(2), 0x409, Text("3")));
  image.Put(Resource(K::Number(3), K::Number(2), 0, Text("odd")));
  image.Put(Resource(K::Named(u"a"), K::Number(1), 0, Text("after capitals")));
  image.Put(Resource(K::Number(3), K::Named(u"Z"), 0, Pattern<Bytes>(9, 7)));
  image.Put(Resource(K::Named(u"AB"), K::Named(u"NAME"), 0x409, Text("first 7")));

  Bytes out = Written(image);
  ASSERT_TRUE(again.Read(out, &error)) << error;
  EXPECT_EQ((Listing{{"AB", "NAME", 0x409, Text("first 7")},
                     {"BINARY", "105", 0x419, archive},
                     {"a", "1", 0, Text("after capitals")},
                     {"3", "Z", 0, Pattern<Bytes>(9, 7)},
                     {"3", "2", 0, Text("odd")},
                     {"3", "2", 0x409, Text("3")},
                     {"6", "7", 0x419, strings},
                     {"16", "1", 0x419, Pattern<Bytes>(77, 6)}}),
            List(again.resources(), out));
  std::uint32_t size = Get(out, kTable + 88), raw = (size + 0x1FF) & ~0x1FFu;
  std::string names;
  std::vector<std::uint32_t> fields = {Get(out, kPe + 6, 2)};
  for (std::uint32_t at = kTable; at < kTable + 120; at += 40)
    names += reinterpret_cast<const char*>(&out[at]), fields.push_back(Get(out, at + 12)),
        fields.push_back(Get(out, at + 20));
  for (std::uint32_t at : {kTable + 96, Dir(4), Dir(5), Dir(5) + 4, Dir(2), Dir(2) + 4,
                           kOptional + 56, kOptional + 8, 0x800u + 12, kCheckSum})
    fields.push_back(Get(out, at));
  // The loader's sum the plain way: 16-bit words with the carry folded back at
  // each step, the field itself left out, plus the length.
  std::uint32_t sum = 0, length = static_cast<std::uint32_t>(out.size());
  for (std::size_t i = 0; i < out.size(); i += 2) {
    if (i == kCheckSum || i == kCheckSum + 2) continue;
    sum += out[i] | (i + 1 < out.size() ? out[i + 1] << 8 : 0);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  EXPECT_EQ(".text.reloc.rsrc", names);
  // The sections' RVAs and offsets; .text holds code only; 3 named and 3 numbered types.
  EXPECT_EQ((std::vector<std::uint32_t>{
                3, 0x1000, 0x200, 0x2000, kOldResources, 0x3000, 0x800, raw, 0, 0x2000, 12, 0x3000,
                size, (0x3000 + size + 0xFFF) & ~0xFFFu, 0x200 + raw, 0x30003, sum + length}),
            fields);
  EXPECT_EQ(0x800 + raw, out.size());
  EXPECT_EQ(Slice(Image(resources), 0x200, 0x400), Slice(out, 0x200, 0x400));
  EXPECT_EQ(kRelocations, Slice(out, kOldResources, 12));
  EXPECT_EQ(0u, (size - archive.size()) % 8);
  EXPECT_EQ(archive, Slice(out, 0x800 + size - archive.size(), archive.size()));
  PeImage copied = again;
  Bytes laid = Written(copied);  // the archive left in the file, copied into its sorted place
  Stream(again.Find(K::Named(u"BINARY"), K::Number(105), 0x419));
  EXPECT_EQ(out, Written(again));
  CarriedArchive carried = Carried(out);
  EXPECT_TRUE(carried.carried);
  EXPECT_EQ(archive, Slice(out, carried.offset, carried.size));
  EXPECT_EQ("Version: 1.00.001", carried.version);
  EXPECT_FALSE(ReadCarriedArchive(TEST_DATA "/names.txt", &carried, &error));

  // The read back finds what went wrong between Write and the disk, in the
  // bytes or against the plan; words swapped keep the sum.
  ASSERT_TRUE(image.Read(laid, &error)) << error;
  std::uint64_t block = image.Find(K::Number(16), K::Number(1), 0x419)->fileOffset;
  std::uint64_t copy = image.Find(K::Named(u"BINARY"), K::Number(105), 0x419)->fileOffset;
  auto swap = [](std::uint64_t at) {
    return [at](Bytes* b, PeImage*) { std::swap_ranges(&(*b)[at], &(*b)[at + 2], &(*b)[at + 2]); };
  };
  const std::pair<std::function<void(Bytes*, PeImage*)>, const char*> damages[] = {
      {[](Bytes* b, PeImage*) { (*b)[b->size() - 600] ^= 1; }, "read back, its checksum is 0x"},
      {swap(block), "read back, the resource 16 1 (language 0419) is not as written"},
      {swap(copy + 500), "the resource BINARY 105 (language 0419) is not as written"},
      {[](Bytes*, PeImage* plan) { plan->Find(K::Number(6), K::Number(7), 0x419)->codePage = 0; },
       "the resource 6 7 (language 0419) is not as written"},
      {[](Bytes*, PeImage* p) { p->Find(K::Number(16), K::Number(1), 0x419)->data.resize(3000); },
       "read back, 8 resources in "},
  };
  for (const auto& [change, text] : damages) {
    Bytes bytes = laid;
    PeImage plan = copied;
    change(&bytes, &plan);
    EXPECT_FALSE(plan.CheckWritten(MemorySource(bytes), &error));
    EXPECT_NE(std::string::npos, error.find(text)) << text << " / " << error;
  }

  // Without a resource section, one is added after the others.
  Bytes bare = Image({}, false);
  ASSERT_TRUE(image.Read(bare, &error)) << error;
  image.Put(resources[2]);
  out = Written(image);
  ASSERT_TRUE(again.Read(out, &error)) << error;
  EXPECT_EQ(List({resources[2]}), List(again.resources()));
  EXPECT_STREQ(".rsrc", reinterpret_cast<const char*>(&out[kTable + 80]));
  EXPECT_EQ(Slice(bare, 0x200, 0x600), Slice(out, 0x200, 0x600));  // .text and .reloc
  EXPECT_FALSE(Carried(out).carried);
  // An empty directory may fill its section; data past the load limit stays in the file.
  ASSERT_TRUE(image.Read(Image({}), &error)) << error;
  ASSERT_TRUE(image.Read(MemorySource(Image(resources)), &error, 11)) << error;
  std::vector<bool> loaded;
  for (const PeResource& r : image.resources()) loaded.push_back(r.loaded);
  EXPECT_EQ((std::vector<bool>{true, false, false}), loaded);

  // Below the page size each section lies in memory where it lies in the
  // file, those moved and added too, though .text is shorter in memory.
  bare = Image(resources, true, 0x200);
  Set(&bare, kTable + 8, 0x100);
  ASSERT_TRUE(image.Read(bare, &error)) << error;
  out = Written(image);
  for (std::uint32_t at : {kTable + 40, kTable + 80})
    EXPECT_EQ(Get(out, at + 12), Get(out, at + 20));
}

// Read refuses what it cannot take apart or Write could not rebuild, leaving
// the image empty.
TEST_F(PeImageTest, RefusesWhatItCannotRebuild) {
  // In the resources at 0x600: the first type's name entry points to its
  // language table at 0x63C, its data entry is at 0x658.
  std::vector<std::pair<std::function<void(Bytes*)>, const char*>> damages = {
      {[](Bytes* b) { (*b)[1] = 'X'; }, "not a Windows program (no MZ header)"},
      {[](Bytes* b) { (*b)[kPe] = 'X'; }, "not a Windows program (no PE header)"},
      {[](Bytes* b) { Set(b, kOptional, 0x20B, 2); }, "a 64-bit program"},
      {[](Bytes* b) { Set(b, kPe + 4, 0x8664, 2); }, "for 32-bit x86 (machine 0x8664)"},
      {[](Bytes* b) { Set(b, kOptional + 68, 3, 2); }, "not a GUI program (subsystem 3)"},
      {[](Bytes* b) { Set(b, kPe + 6, 12, 2); }, "the section table lies outside them"},
      {[](Bytes* b) { b->resize(0x180); }, "the section table lies outside them"},
      {[](Bytes* b) { b->resize(0x900); }, "its section .reloc lies outside the file"},
      {[](Bytes* b) { Set(b, kOldResources + 20, 0x80001F00); }, "a table lies outside"},
      {[](Bytes* b) { Set(b, 0x63C, 0x80000000); }, "a table or entry is reached twice"},
      {[](Bytes* b) { Set(b, 0x658, 0x7FFF0000); }, "the data of BINARY 105 (language 0419)"},
      {[](Bytes* b) { b->push_back(0); }, "data after its last section (1 bytes)"},
      {[](Bytes* b) {
         Set(b, 4, {Dir(4), b->size() + 8, Dir(4) + 4, 8}), b->resize(b->size() + 16, 1);
       },
       "data after its last section (16 bytes)"},  // beyond a certificate's padding
      {[](Bytes* b) { *b = Image({}, false), (*b)[kTable + 80] = '.'; }, "no room in its headers"},
      {[](Bytes* b) { Set(b, Dir(9), 0x3008); }, "its data directory 9 points into the resources"},
      {[this](Bytes* b) { *b = Image(resources, true, 0x200), Set(b, kTable + 8, 0x401); },
       ".text takes 0x00000401 bytes at 0x00001000 in memory, 0x00000400 at 0x00001000 in"},
  };
  // 32-bit fields set, as offset and value pairs: what the loader refuses,
  // and what rebuilding the resources and moving the relocations would break.
  const std::pair<std::vector<std::uint32_t>, const char*> fields[] = {
      {{Dir(5), 0, Dir(5) + 4, 0}, "the section .reloc follows the resources"},
      {{0x620, 6, 0x6B8, 7}, "its resource directory is damaged: 6 7 (language 0419) is listed"},
      {{kOptional + 32, 1u << 30, kOptional + 36, 1u << 30}, "file alignment 0x40000000"},
      {{kOptional + 36, 0x100}, "file alignment 0x00000100"},
      {{kOptional + 32, 0x800, kOptional + 36, 0x400}, "section alignment 0x00000800"},
      {{kOptional + 32, 0x200}, ".text takes 0x00000300 bytes at 0x00001000 in memory, 0x00000400"},
      {{kTable + 92, 0x4000}, ".reloc takes 0x0000000c bytes at 0x00004000 in memory"},
      {{kOptional + 56, 0x3008}, "does not hold its sections"},
      {{kOptional + 56, 0x80000000}, "or exceeds 2 GiB"},
      {{kTable + 20, 0x300}, "0x00000400 at 0x00000300 in the file"},
      {{kTable + 100, 0x600}, "its sections overlap in the file at 0x00000600"},
      {{Dir(5), 0x9000}, "its base relocations lie outside its sections"},
      {{0x804, 6}, "its base relocations are damaged at byte 0"},
      {{Dir(5), 0x2000}, "its base relocations lie inside its resources"},
      {{0x800, 0x2000}, "a base relocation at 0x00002004"},
      {{kTable + 48, 0x200, 0x7F0, 1}, "its resources share the section .rsrc with other data"},
      {{Dir(2), 0x2008}, "its resources share the section .rsrc with other data"},
      {{kTable + 88, 0x200, 0x9F0, 1}, "does not hold the base relocations alone"},
  };
  for (const auto& [field, text] : fields) {
    const std::vector<std::uint32_t>& f = field;
    damages.push_back({[&f](Bytes* b) {
                         for (std::size_t i = 0; i < f.size(); i += 2) Set(b, f[i], f[i + 1]);
                       },
                       text});
  }
  for (const auto& [change, text] : damages) {
    Bytes bytes = Image(resources);
    change(&bytes);
    PeImage image;
    EXPECT_FALSE(image.Read(bytes, &error)) << text;
    EXPECT_NE(std::string::npos, error.find(text)) << text << " / " << error;
    EXPECT_TRUE(image.resources().empty());
  }

  // Write refuses a stream of another size, a refused write, and twins.
  // Bytes written, what the stream returns, whether the output refuses.
  const std::tuple<std::size_t, bool, bool, const char*> streams[] = {
      {9, true, false, "the resource BINARY 105 (language 0419) wrote 9 bytes, not the 10 bytes"},
      {11, false, false, "wrote more than the 10 bytes announced"},
      {10, false, false, "the resource BINARY 105 (language 0419) could not be written"},
      {10, false, true, "the output refused a write"},
  };
  PeImage image;
  ASSERT_TRUE(image.Read(Image(resources), &error)) << error;
  PeResource* r = image.Find(K::Named(u"BINARY"), K::Number(105), 0x419);
  for (const auto& row : streams) {
    MemorySink out;
    r->streamedSize = 10;
    r->stream = [&](OutputSink& sink) {
      auto [writes, returns, refuse, text] = row;
      out.refuse = refuse;
      return sink.Write(Bytes(writes, 'x').data(), writes) && returns;
    };
    EXPECT_FALSE(image.Write(out, &error));
    EXPECT_NE(std::string::npos, error.find(std::get<3>(row))) << error;
  }
  image.resources().push_back(image.resources()[1]);
  MemorySink out;
  EXPECT_FALSE(image.Write(out, &error));
  EXPECT_EQ("the resource 6 7 (language 0419) is listed twice", error);
}

// Nodes as resource compilers write them: text lengths in characters, no
// padding after a node's last child.
Bytes Node(const std::u16string& key, int type, const Bytes& value, std::size_t valueLength,
           const std::vector<Bytes>& children) {
  Bytes b(6);
  Append(&b, key + u'\0');
  Align(&b, 4);
  b.insert(b.end(), value.begin(), value.end());
  for (const Bytes& child : children) Align(&b, 4), b.insert(b.end(), child.begin(), child.end());
  Set(&b, 2, {0, b.size(), 2, valueLength, 4, static_cast<std::uint64_t>(type)});
  return b;
}
Bytes String(const std::u16string& key, const std::u16string& text) {
  Bytes value;
  Append(&value, text + u'\0');
  return Node(key, 1, value, text.size() + 1, {});
}
// ProductVersion last in each table, so its length moves the table's end.
Bytes VersionBlock(const std::uint16_t v[4], const std::u16string& text) {
  Bytes fixed(52);
  std::uint64_t ms = std::uint64_t{v[0]} << 16 | v[1], ls = std::uint64_t{v[2]} << 16 | v[3];
  Set(&fixed, 4, {0, 0xFEEF04BD, 4, 0x10000, 8, ms, 12, ls, 16, ms, 20, ls, 36, 0x40004});
  auto table = [&](const std::u16string& key) {
    return Node(key, 1, {}, 0,
                {String(u"CompanyName", u"Kestrova"), String(u"FileVersion", text),
                 String(u"OriginalFilename", u"Patch.exe"), String(u"ProductVersion", text)});
  };
  return Node(
      u"VS_VERSION_INFO", 0, fixed, 52,
      {Node(u"StringFileInfo", 1, {}, 0, {table(u"000004b0"), table(u"041904b0")}),
       Node(u"VarFileInfo", 1, {}, 0, {Node(u"Translation", 0, {0x19, 4, 0xB0, 4}, 4, {})})});
}

// The texts' lengths move the padding after them either way.
TEST(ResourceBlocks, VersionNumbersAndTableString) {
  const std::uint16_t old[4] = {1, 0, 0, 1}, parts[4] = {2, 10, 300, 4000};
  std::string error;
  for (const std::u16string text : {u"2.10", u"2.10.300.4000", u""}) {
    Bytes block = VersionBlock(old, u"1, 0, 0, 1"), expected = VersionBlock(parts, text);
    block.push_back(7), expected.push_back(7);  // a resource's data may run past the block
    ASSERT_TRUE(SetVersionNumbers(&block, parts, text, &error)) << error;
    EXPECT_EQ(expected, block);
  }
  Bytes cut = VersionBlock(old, u"1"), childTooShort = cut, notVersion = cut;
  cut.pop_back();
  Set(&childTooShort, 92, 4, 2);  // StringFileInfo's length
  notVersion[6] = 'X';
  for (Bytes* block : {&cut, &childTooShort, &notVersion}) {
    Bytes before = *block;
    EXPECT_FALSE(SetVersionNumbers(block, parts, u"2", &error));
    EXPECT_EQ(before, *block);
  }
  EXPECT_EQ("the version block has no fixed version part", error);

  // Both set in a stub, where the program shows them.
  Bytes strings(32);
  PatchVersion version;
  PeImage stub;
  ASSERT_TRUE(
      SetTableString(&strings, 8, u"Version: 1.00.001", &error) &&
      ParseVersion("2.10.300", &version, &error) &&
      stub.Read(Image({Resource(K::Number(6), K::Number(7), 0x419, strings),
                       Resource(K::Number(16), K::Number(1), 0x419, VersionBlock(old, u"1"))}),
                &error) &&
      SetVersion(stub, version, &error))
      << error;
  EXPECT_EQ("Version: 2.10.300", VersionLine(stub));
  EXPECT_EQ(VersionBlock(version.parts, u"2, 1, 0, 300"),
            stub.Find(K::Number(16), K::Number(1), 0x419)->data);

  // A string table block: one of sixteen strings replaced.
  auto block = [](unsigned index, const std::u16string& text) {
    Bytes b;
    for (unsigned i = 0; i < 16; ++i) {
      std::u16string s = i == index ? text : std::u16string(i % 4, u'A' + i);
      Append(&b, static_cast<char16_t>(s.size()) + s);
    }
    b.push_back(0xAA), b.push_back(0xBB);
    return b;
  };
  for (unsigned index : {0u, 5u, 15u}) {
    Bytes b = block(99, u"");
    ASSERT_TRUE(SetTableString(&b, index, u"new text", &error)) << error;
    EXPECT_EQ(block(index, u"new text"), b);
    std::u16string read, next;  // and the string beside it, as it was
    ASSERT_TRUE(TableString(b, index, &read, &error) && TableString(b, index ^ 1, &next, &error));
    EXPECT_EQ(u"new text", read);
    EXPECT_EQ(std::u16string((index ^ 1) % 4, u'A' + (index ^ 1)), next);
  }
  cut = block(99, u"");
  EXPECT_FALSE(SetTableString(&cut, 16, u"x", &error));
  cut.resize(cut.size() - 5);
  EXPECT_FALSE(SetTableString(&cut, 0, u"x", &error));
  EXPECT_EQ("the string table block is cut short in string 15", error);
  std::u16string text;
  EXPECT_FALSE(TableString(cut, 0, &text, &error));
}

}  // namespace
