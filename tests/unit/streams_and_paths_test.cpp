// The byte streams and the path helpers of the archive core.
#include "archive_test_support.h"
#include "data_stream.h"

namespace {

const std::uint64_t k4GiB = 1ull << 32;

// Open needs a block and leaves the position; reads and writes stop at the
// end; seeks are bounded by 32 bits, not by the block; Close forgets it.
TEST(MemoryDataStream, FollowsItsBlock) {
  EXPECT_FALSE(MemoryDataStream(nullptr, 0).Open(nullptr, false));
  std::string block = Pattern(600);
  MemoryDataStream stream(&block[0], 600);
  char buffer[512];
  ASSERT_TRUE(stream.Seek(500));
  ASSERT_TRUE(stream.Open("ignored", true));
  EXPECT_EQ(100u, stream.Read(buffer, 512));
  EXPECT_EQ(block.substr(500), std::string(buffer, 100));
  EXPECT_EQ(0u, stream.Read(buffer, 512));
  ASSERT_TRUE(stream.Seek(597));
  EXPECT_EQ(3u, stream.Write("abcdef", 6));
  EXPECT_EQ("abc", block.substr(597));
  EXPECT_TRUE(stream.Seek(601));
  EXPECT_EQ(0u, stream.Read(buffer, 1));
  EXPECT_TRUE(stream.Seek(k4GiB - 1));
  EXPECT_EQ(0u, stream.Read(buffer, 1));
  ASSERT_TRUE(stream.Seek(7));
  EXPECT_FALSE(stream.Seek(k4GiB));
  EXPECT_FALSE(stream.Seek(k4GiB + 7));
  EXPECT_EQ(1u, stream.Read(buffer, 1));
  EXPECT_EQ(block[7], buffer[0]);
  EXPECT_TRUE(stream.Close());
  EXPECT_FALSE(stream.Open(nullptr, false));
  ASSERT_TRUE(stream.Seek(0));
  EXPECT_EQ(0u, stream.Read(buffer, 1));
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
  EXPECT_TRUE(stream.Seek(k4GiB - 1));  // a low part of all ones is no failure
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

}  // namespace
