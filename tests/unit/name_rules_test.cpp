// What the core lets an archive name write and what patchpack refuses in one,
// the index's bounds and the layout the tools take for an archive, names as
// Windows resolves them and as messages print them: every hostile name and
// layout in one place, run in a single process (also under Wine).
#include <map>
#include <sstream>

#include "archive_index.h"
#include "archive_test_support.h"
#include "archive_writer.h"
#include "host_text.h"
#include "name_rules.h"

namespace {

const std::string kOutside = "name would be written outside the destination folder or to a device";

// One archive holding every name of names.txt, each entry's data within it;
// then the separator, which no archive name can hold, and the code page.
TEST(NameRules, CoreAndPatchpackAgreeOnEveryName) {
  const std::vector<std::vector<std::string>> names = Table("names.txt");
  ArchiveBuilder builder;
  for (const auto& row : names) builder.Add(row.at(1), "x");
  Bytes bytes = builder.Build();
  MemoryDataStream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  ArchiveIndex index;
  ASSERT_TRUE(index.Read(stream, bytes.size())) << index.error();
  ASSERT_EQ(55u, index.count());
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    const std::string &name = names[i][1], &windows = names[i].at(2);
    bool contained = names[i][0] == "1";
    SCOPED_TRACE(Printable(name));
    EXPECT_EQ(contained, IsContainedName(name.c_str()));
    EXPECT_EQ(contained ? "" : name.empty() ? "name is empty" : kOutside, index.Problem(i));
    std::string problem = index.WindowsNameProblem(i);
    EXPECT_TRUE(windows.empty() ? problem.empty() : problem.find(windows) != std::string::npos)
        << problem;
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

  // ASCII ends at 0x7F, 0x98 is a hole in 1251; code pages of one byte a character only.
  CodePage ascii;
  std::string utf8;
  const std::tuple<const CodePage*, const char*, bool> texts[] = {{&ascii, "\x7f", true},
                                                                  {&ascii, "\x80", false},
                                                                  {&cyrillic, "\x80", true},
                                                                  {&cyrillic, "\x98", false}};
  for (const auto& [page, text, ok] : texts) EXPECT_EQ(ok, page->ToUtf8(text, &utf8)) << text;
  for (const auto& [value, says] : {std::pair{"932", "932 has characters of more than one byte"},
                                    {"12x", "not a code page"},
                                    {"0", "not a code page"},
                                    {"65536", "not a code page"}}) {
    EXPECT_FALSE(CodePage().Select(value, &error));
    EXPECT_NE(std::string::npos, error.find(says)) << error;
  }
}

// Every row of index_bounds.txt.
TEST(ArchiveIndexBounds, EveryBlockAndFileLiesInside) {
  // Where each field lies in the sound archive, and its size.
  const std::map<std::string, std::pair<int, int>> fields = {
      {"tableSize", {20, 4}},   {"tableOffset", {24, 8}}, {"namesSize", {36, 4}},
      {"namesOffset", {40, 8}}, {"dataOffset", {54, 8}},  {"dataSize", {62, 4}},
      {"nameOffset", {66, 4}}};
  for (const auto& row : Table("index_bounds.txt")) {
    SCOPED_TRACE(row[0]);
    Bytes bytes = ArchiveBuilder().Add("a.txt", "hello").Build();
    std::istringstream changes(row[0]);
    for (std::string change; changes >> change;) {
      std::string field = change.substr(0, change.find('='));
      std::uint64_t value = std::stoull(change.substr(field.size() + 1), nullptr, 0);
      if (field == "cut") bytes.resize(value);
      if (field != "cut") Set(&bytes, fields.at(field).first, value, fields.at(field).second);
    }
    std::uint64_t size = bytes.size();
    bytes.push_back(0);  // never a null block
    MemoryDataStream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    ArchiveIndex index;
    EXPECT_EQ(row.at(1).empty(), index.Read(stream, size));
    EXPECT_EQ(row[1], index.error());
    EXPECT_TRUE(row[1].empty() || index.count() == 0);
    EXPECT_EQ(row.at(2), index.count() != 0 ? index.Problem(0) : "");
  }
}

// Keeps what is written, in memory.
struct MemorySink : OutputSink {
  bool Write(const void* data, std::size_t size) override {
    bytes.insert(bytes.end(), static_cast<const unsigned char*>(data),
                 static_cast<const unsigned char*>(data) + size);
    return true;
  }
  bool Rewrite(std::uint64_t, const void*, std::size_t) override { return false; }
  Bytes bytes;
};

// Every row of layouts.txt, on what the writer writes: the tools' judgement
// and the writer must agree.
TEST(ArchiveLayout, OnlyWhatTheWriterLaysOutIsAnArchive) {
  ScratchFolder scratch;
  Store(scratch.path + "\\a.txt", "hello");
  Store(scratch.path + "\\c", "xy");
  std::vector<PackFile> files = {{"a.txt", Native(scratch.path + "\\a.txt"), 5, {}},
                                 {"b\\c", Native(scratch.path + "\\c"), 2, {}}};
  for (PackFile& file : files) {  // as the scan examines them
    std::uintmax_t size = 0;
    std::error_code unused;
    Examine(file.source, &size, &file.identity, &unused);
  }
  MemorySink written;
  HostError error;
  ASSERT_TRUE(WriteArchiveTo(written, files, nullptr, &error)) << error.reason;
  // Where each field lies in the header, or in an entry; and its size.
  const std::map<std::string, std::pair<int, int>> fields = {
      {"headWord", {0, 4}},    {"headSize", {4, 4}},   {"headOffset", {8, 8}},
      {"tableWord", {16, 4}},  {"tableSize", {20, 4}}, {"tableOffset", {24, 8}},
      {"namesWord", {32, 4}},  {"namesSize", {36, 4}}, {"namesOffset", {40, 8}},
      {"dataOffset", {0, 8}},  {"dataSize", {8, 4}},   {"nameOffset", {12, 4}},
      {"nameLength", {16, 4}}, {"entryWord", {20, 4}}, {"entryTail", {24, 8}}};
  for (const auto& row : Table("layouts.txt")) {
    SCOPED_TRACE(row[0]);
    Bytes bytes = written.bytes;
    std::istringstream changes(row[0]);
    for (std::string change; changes >> change;) {
      std::size_t equals = change.find('='), dot = change.find('.');
      std::string field = change.substr(dot == std::string::npos ? 0 : dot + 1, equals - dot - 1);
      std::uint64_t value = std::stoull(change.substr(equals + 1), nullptr, 0);
      if (field == "insert") {
        bytes.insert(bytes.begin() + value, 0);
      } else if (field == "append" || field == "cut") {
        bytes.resize(field == "cut" ? value : bytes.size() + value);
      } else {
        std::size_t entry = dot == std::string::npos ? 0 : std::stoul(change.substr(0, dot));
        std::size_t at = entry == 0 ? 0 : Get(bytes, 24) + 32 * (entry - 1);
        Set(&bytes, at + fields.at(field).first, value, fields.at(field).second);
      }
    }
    std::uint64_t size = bytes.size();
    bytes.push_back(0);  // never a null block
    MemoryDataStream stream(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    ArchiveIndex index;
    index.Read(stream, size);
    EXPECT_EQ(row.at(1), index.LayoutProblem());
  }
}

// Every row of one_file.txt, both ways round.
TEST(NameRules, NamesOfOneFileOnWindows) {
  CodePage cyrillic;
  std::string error;
  ASSERT_TRUE(cyrillic.Select("1251", &error)) << error;
  for (const auto& row : Table("one_file.txt")) {
    SCOPED_TRACE(Printable(row.at(1) + " " + row.at(2)));
    EXPECT_EQ(row[0] == "1", WindowsNameKey(row[1], cyrillic) == WindowsNameKey(row[2], cyrillic));
    EXPECT_EQ(row[0] == "1", WindowsNameKey(row[2], cyrillic) == WindowsNameKey(row[1], cyrillic));
  }
}

// Every row of printable.txt in a UTF-8 locale; in any other, nothing but
// printable ASCII is kept.
TEST(HostText, NamesPrintAsTheirUserTypesThem) {
  for (const auto& row : Table("printable.txt")) {
    SetUtf8Text(true);
    EXPECT_EQ(row.at(1), Printable(row[0]));
    SetUtf8Text(false);
    std::string ascii = Printable(row[0]);
    EXPECT_TRUE(std::all_of(ascii.begin(), ascii.end(), [](char c) { return c >= 0x20; })) << ascii;
  }
  EXPECT_EQ("caf\\xc3\\xa9", Printable("caf\xc3\xa9"));
}

}  // namespace
