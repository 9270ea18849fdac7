#include "archive_test_support.h"

namespace {

// Joins into a buffer whose bytes past capacity must stay untouched.
std::string Joined(int capacity, const char* folder, const char* name) {
  char out[64];
  std::memset(out, '#', sizeof out);
  char* joined = JoinPath(out, capacity, folder, name);
  for (int i = std::max(capacity, 0); i < 64; ++i) {
    if (out[i] != '#') return "overflow";
  }
  return joined == nullptr ? "null" : joined == out ? std::string(out) : "wrong buffer";
}

TEST(JoinPath, AddsOneSeparatorWhereNeeded) {
  EXPECT_EQ("C:\\x\\a\\b.txt", Joined(64, "C:\\x", "a\\b.txt"));
  EXPECT_EQ("C:\\x\\a", Joined(64, "C:\\x\\", "a"));
  EXPECT_EQ("dir/a", Joined(64, "dir/", "a"));
  EXPECT_EQ("\\a", Joined(64, "", "a"));
  EXPECT_EQ("dir\\", Joined(64, "dir", ""));
}

TEST(JoinPath, FitsExactlyOrFails) {
  EXPECT_EQ("abc\\de", Joined(7, "abc", "de"));
  EXPECT_EQ("null", Joined(6, "abc", "de"));
  EXPECT_EQ("ab\\de", Joined(6, "ab\\", "de"));
  EXPECT_EQ("null", Joined(5, "ab\\", "de"));
  // The folder alone, then with its separator, no longer fits.
  EXPECT_EQ("null", Joined(3, "abc", ""));
  EXPECT_EQ("null", Joined(4, "abc", ""));
  EXPECT_EQ("abc\\", Joined(5, "abc", ""));
  EXPECT_EQ("null", Joined(1, "", ""));
  EXPECT_EQ("\\", Joined(2, "", ""));
  EXPECT_EQ("null", Joined(0, "", ""));
  EXPECT_EQ("null", Joined(-1, "a", "b"));
}

TEST(IsContainedName, AcceptsPlainRelativeNames) {
  for (const char* name : {"a.txt", "a\\b\\c.txt", "a/b", ".hidden", "..a", "a..b", "a.\\b",
                           "CONSOLE", "NULL.txt", "LPT10", "COMA", "x\\AUXILIARY"}) {
    EXPECT_TRUE(IsContainedName(name)) << name;
  }
}

TEST(IsContainedName, RejectsNamesThatLeaveTheFolderOrNameNoFile) {
  for (const char* name :
       {"",          "a\\",       ".\\a",   "..",         "..\\a", "a\\..", "a/../../b",
        "...\\a",    "a\\.. \\b", "\\a",    "/a",         "C:\\a", "C:a",   "a.txt:stream",
        "CON",       "con.txt",   "a\\Nul", "AUX .h",     "PRN.",  "com1",  "LPT9.log",
        "a\\CONIN$", "CONOUT$.x", "COM0",   "lpt\xB9.txt"}) {
    EXPECT_FALSE(IsContainedName(name)) << name;
  }
}

TEST(CreateFileWithDirectories, CreatesEveryMissingFolderOnTheWay) {
  ScratchFolder scratch;
  std::string path = scratch.path + "\\a\\b/c\\f.txt";
  HANDLE file = CreateFileWithDirectories(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(fs::is_regular_file(Native(path)));
  // A path naming a folder is no file.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileWithDirectories((scratch.path + "\\a\\b\\").c_str(), GENERIC_WRITE, 0,
                                      nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace
