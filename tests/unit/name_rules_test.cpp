// What the core lets an archive name write and what patchpack refuses in one,
// and the index's bounds: every hostile name and layout in one place, run in
// a single process (also under Wine).
#include "archive_index.h"
#include "archive_test_support.h"
#include "host_text.h"
#include "name_rules.h"

namespace {

const std::string kOutside = "name would be written outside the destination folder or to a device";

// The name, IsContainedName, and a part of WindowsNameProblem, "" for none.
const std::tuple<std::string, bool, const char*> kNames[] = {
    {"..\\escaped.txt", false, "\"..\": the name ends in a dot"},
    {"sub/../../../../escaped.txt", false, "\"..\": the name ends in a dot"},
    {"sub\\..", false, "ends in a dot"},
    {"...\\escaped.txt", false, "ends in a dot"},
    {".. \\escaped.txt", false, "\".. \": the name ends in a space, which Windows drops"},
    {"sub\\. ", false, "ends in a space"},
    {".\\a", false, "ends in a dot"},
    {"\\rooted.txt", false, ""},
    {"/rooted.txt", false, ""},
    {"C:\\escaped.txt", false, "\"C:\": the name holds ':', which Windows forbids"},
    {"C:escaped.txt", false, "holds ':'"},
    {"keep\\ok.txt:evil", false, "\"ok.txt:evil\": the name holds ':'"},
    {"folder\\", false, ""},
    {"", false, ""},
    {"CON", false, "\"CON\": the name is a device name on Windows"},
    {"nul.txt", false, "device name"},
    {"sub\\com1\\x.txt", false, "\"com1\": the name is a device name"},
    {"LPT9  .log", false, "device name"},
    {"sub/CONIN$", false, "device name"},
    {"a\\Nul", false, "device name"},
    {"PRN.", false, "ends in a dot"},
    {"AUX .h", false, "device name"},
    {"CONOUT$.x", false, "device name"},
    {"COM0", false, "device name"},
    {"lpt\xb9.txt", false, "not plain ASCII"},
    {"Com\xb2", false, "not plain ASCII"},
    {"LPT\xb3.a", false, "not plain ASCII"},
    {"CONSOLE", true, ""},
    {"NULL.txt", true, ""},
    {"LPT10", true, ""},
    {"COMA", true, ""},
    {"COM\xb4", true, "\"COM\\xb4\": the name is not plain ASCII"},
    {"CO", true, ""},
    {"x\\AUXILIARY", true, ""},
    {"a.con", true, ""},
    {"..a", true, ""},
    {"a..b", true, ""},
    {"a\\\\b.txt", true, ""},
    {"d/e.txt", true, ""},
    {"what?.txt", true, "\"what?.txt\": the name holds '?', which Windows forbids"},
    {"a<b", true, "holds '<'"},
    {"a>b", true, "holds '>'"},
    {"a\"b", true, "holds '\"'"},
    {"a|b", true, "holds '|'"},
    {"a*b", true, "holds '*'"},
    {"a\nforged", true,
     "\"a\\x0aforged\": the name holds control character 0x0a, which Windows forbids"},
    {"x\x01y", true, "control character 0x01"},
    {"x\x1fy", true, "control character 0x1f"},
    {"x\x7fy", true, "control character 0x7f"},
    {"dir.\\a", true, "\"dir.\": the name ends in a dot, which Windows drops"},
    {"dir \\a", true, "\"dir \": the name ends in a space"},
    {"caf\xc3\xa9.txt", true, "\"caf\\xc3\\xa9.txt\": the name is not plain ASCII"},
    {"a b.c d", true, ""},
    {std::string(99, 'd') + "\\" + std::string(60, 'f'), true, ""},
    {std::string(99, 'd') + "\\" + std::string(60, 'f') + "?", true,
     "the name has 161 characters, more than the 160 that leave room for the player's folder "
     "within Windows' path limit"},
};

// One archive holding every name, each entry's data within it; then the
// separator, which no archive name can hold, and the code page.
TEST(NameRules, CoreAndPatchpackAgreeOnEveryName) {
  ArchiveBuilder builder;
  for (const auto& row : kNames) builder.Add(std::get<0>(row), "x");
  Bytes bytes = builder.Build();
  MemoryDataStream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ArchiveIndex index;
  ASSERT_TRUE(index.Read(stream, bytes.size())) << index.error();
  ASSERT_EQ(std::size(kNames), index.count());
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    const auto& [name, contained, windows] = kNames[i];
    SCOPED_TRACE(Printable(name));
    EXPECT_EQ(contained, IsContainedName(name.c_str()));
    EXPECT_EQ(contained ? "" : name.empty() ? "name is empty" : kOutside, index.Problem(i));
    std::string problem = index.WindowsNameProblem(i);
    EXPECT_TRUE(*windows ? problem.find(windows) != std::string::npos : problem.empty()) << problem;
  }
  EXPECT_EQ("entry 1 (..\\escaped.txt)", index.Describe(0));
  EXPECT_EQ("entry 14", index.Describe(13));
  EXPECT_EQ("entry 46 (a\\x0aforged)", index.Describe(45));
  EXPECT_EQ("the name holds '\\', the archive's folder separator", ComponentProblem("a\\b"));
  CodePage cyrillic;
  std::string error;
  ASSERT_TRUE(cyrillic.Select("1251", &error)) << error;
  EXPECT_EQ("", ComponentProblem("\xc5\xeb\xea\xe0", cyrillic));
  EXPECT_EQ(kNotAsciiProblem, ComponentProblem("\xc5\xeb\xea\xe0"));
  const char* name = "COM9";  // a component ends where the given end says
  EXPECT_FALSE(IsDeviceName(name, name + 3));
}

// Header or entry fields changed, and what the index says of them.
TEST(ArchiveIndexBounds, EveryBlockAndFileLiesInside) {
  const Bytes good = ArchiveBuilder().Add("a.txt", "hello").Build();
  const std::uint64_t size = good.size(), u64 = ~0ull;  // 48 + 6 + 32 + 5 = 91
  auto past = [&](const char* what, std::uint64_t offset, std::uint64_t bytes) {
    return std::string(what) + " (offset " + std::to_string(offset) + ", " + std::to_string(bytes) +
           " bytes) runs past the end of the archive (91 bytes)";
  };
  // The entry's fields, at 54: dataOffset, dataSize, nameOffset.
  auto entry = [&](std::uint64_t dataOffset, std::uint32_t dataSize, std::uint32_t nameOffset) {
    Bytes b = good;
    Set(&b, 54, dataOffset, 8);
    Set(&b, 4, {62, dataSize, 66, nameOffset});
    return b;
  };
  auto header = [&](auto change) { return WithHeader(good, change); };
  const struct {
    Bytes bytes;
    std::string error, problem = "";
  } rows[] = {
      {{good.begin(), good.begin() + 47}, "too short for the 48-byte header (47 bytes)"},
      {header([](auto& h) { h.tableSize = 33; }), "entry table size 33 is not a multiple of 32"},
      {header([&](auto& h) { h.tableOffset = size; }), past("entry table", 91, 32)},
      {header([&](auto& h) { h.tableOffset = size - 31; }), past("entry table", 60, 32)},
      {header([](auto& h) { h.tableOffset = ~0ull - 31; }), past("entry table", u64 - 31, 32)},
      {header([](auto& h) { h.tableOffset = 1ull << 63; }), past("entry table", 1ull << 63, 32)},
      {header([](auto& h) { h.tableSize = 0, h.tableOffset = 91; }), ""},
      {header([](auto& h) { h.tableSize = 0, h.tableOffset = 92; }), past("entry table", 92, 0)},
      {header([](auto& h) { h.tableSize = 0, h.tableOffset = 1ull << 32; }),
       past("entry table", 1ull << 32, 0)},
      {header([](auto& h) { h.namesSize = 0xFFFFFFFFu; }), past("names block", 48, 0xFFFFFFFFu)},
      {header([](auto& h) { h.namesOffset = ~0ull; }), past("names block", u64, 6)},
      {header([&](auto& h) { h.namesOffset = size - 5; }), past("names block", 86, 6)},
      {header([](auto& h) { h.namesSize = 0, h.namesOffset = 91; }), "",
       "name offset 0 lies outside the names block (0 bytes)"},
      {entry(86, 5, 6), "", "name offset 6 lies outside the names block (6 bytes)"},
      {entry(86, 5, 0xFFFFFFFFu), "",
       "name offset 4294967295 lies outside the names block (6 bytes)"},
      {header([](auto& h) { h.namesSize = 5; }), "",
       "name at offset 0 is not NUL-terminated inside the names block"},
      {entry(86, 6, 0), "", past("file data", 86, 6)},
      {entry(91, 1, 0), "", past("file data", 91, 1)},
      {entry(u64 - 15, 32, 0), "", past("file data", u64 - 15, 32)},
      {entry(1ull << 32, 0, 0), "", past("file data", 1ull << 32, 0)},
      {entry(91, 0, 0), ""},
      {entry(0, 91, 0), ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    Bytes bytes = row.bytes;
    bytes.push_back(0);  // never a null block
    MemoryDataStream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    ArchiveIndex index;
    EXPECT_EQ(row.error.empty(), index.Read(stream, bytes.size() - 1));
    EXPECT_EQ(row.error, index.error());
    EXPECT_TRUE(row.error.empty() || index.count() == 0);
    EXPECT_EQ(row.problem, index.count() != 0 ? index.Problem(0) : "");
  }
}

}  // namespace
