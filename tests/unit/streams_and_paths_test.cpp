// The byte streams and the path helpers of the archive core.
#include "archive_test_support.h"
#include "data_stream.h"

namespace {

const std::uint64_t k4GiB = 1ull << 32;

TEST(MemoryDataStream, OpensOnlyOverABlockAndLeavesThePosition) {
  EXPECT_FALSE(MemoryDataStream(nullptr, 0).Open(nullptr, false));
  char block[] = "0123456789";
  MemoryDataStream stream(block, 10);
  char c = 0;
  ASSERT_TRUE(stream.Seek(3));
  ASSERT_TRUE(stream.Open("ignored", true));
  EXPECT_EQ(1u, stream.Read(&c, 1));
  EXPECT_EQ('3', c);
  EXPECT_TRUE(stream.Close());
  EXPECT_FALSE(stream.Open(nullptr, false));
  ASSERT_TRUE(stream.Seek(0));
  EXPECT_EQ(0u, stream.Read(&c, 1));
}

TEST(MemoryDataStream, ReadAndWriteStopAtTheEnd) {
  std::string block = Pattern(600);
  MemoryDataStream stream(&block[0], 600);
  char buffer[512];
  ASSERT_TRUE(stream.Seek(500));
  EXPECT_EQ(100u, stream.Read(buffer, 512));
  EXPECT_EQ(block.substr(500), std::string(buffer, 100));
  EXPECT_EQ(0u, stream.Read(buffer, 512));
  ASSERT_TRUE(stream.Seek(597));
  EXPECT_EQ(3u, stream.Write("abcdef", 6));
  EXPECT_EQ("abc", block.substr(597));
}

TEST(MemoryDataStream, SeekIsBoundedBy32BitsNotByTheBlock) {
  char block[] = "0123456789";
  MemoryDataStream stream(block, 10);
  char c = 0;
  EXPECT_TRUE(stream.Seek(11));
  EXPECT_EQ(0u, stream.Read(&c, 1));
  EXPECT_TRUE(stream.Seek(k4GiB - 1));
  EXPECT_EQ(0u, stream.Read(&c, 1));
  ASSERT_TRUE(stream.Seek(7));
  EXPECT_FALSE(stream.Seek(k4GiB));
  EXPECT_FALSE(stream.Seek(k4GiB + 7));
  EXPECT_EQ(1u, stream.Read(&c, 1));
  EXPECT_EQ('7', c);
}

TEST(FileDataStream, NeverOpenedDoesNothing) {
  FileDataStream stream;
  char c = 'x';
  EXPECT_EQ(0u, stream.Read(&c, 1));
  EXPECT_EQ(0u, stream.Write(&c, 1));
  EXPECT_FALSE(stream.Seek(0));
  EXPECT_FALSE(stream.Close());
}

TEST(FileDataStream, WritesSeeksAndReplacesARealFile) {
  ScratchFolder scratch;
  std::string path = scratch.path + "\\f.txt";
  FileDataStream stream;
  ASSERT_TRUE(stream.Open(path.c_str(), true));
  EXPECT_EQ(10u, stream.Write("0123456789", 10));
  ASSERT_TRUE(stream.Open(path.c_str(), false));
  char buffer[32];
  ASSERT_TRUE(stream.Seek(4));
  EXPECT_EQ(1u, stream.Read(buffer, 1));
  EXPECT_EQ('4', buffer[0]);
  // Dropping the high part would land on '3'.
  EXPECT_TRUE(stream.Seek(k4GiB + 3));
  EXPECT_EQ(0u, stream.Read(buffer, 1));
  EXPECT_TRUE(stream.Seek(k4GiB - 1));  // a low part of all ones is no failure
  EXPECT_FALSE(stream.Seek(1ull << 63));
  // Reopening closes the old handle first: a writer still open, sharing only
  // reads, would make the reader's open fail.
  ASSERT_TRUE(stream.Open(path.c_str(), true));
  EXPECT_EQ(2u, stream.Write("hi", 2));
  ASSERT_TRUE(stream.Open(path.c_str(), false));
  EXPECT_EQ(2u, stream.Read(buffer, sizeof buffer));
  EXPECT_EQ("hi", std::string(buffer, 2));
  EXPECT_EQ(0u, stream.Read(buffer, sizeof buffer));
  EXPECT_TRUE(stream.Close());

  EXPECT_FALSE(stream.Open((scratch.path + "\\missing").c_str(), false));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
  EXPECT_FALSE(stream.Open(scratch.path.c_str(), false));
  EXPECT_FALSE(stream.Close());
}

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
