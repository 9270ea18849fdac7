// What the core lets an archive name write and what patchpack refuses in one,
// and the index's bounds: every hostile name and layout in one place, run in
// a single process (also under Wine).
#include <map>
#include <sstream>

#include "archive_index.h"
#include "archive_test_support.h"
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

}  // namespace
