// The byte streams and the path helpers of the archive core.
#include "archive_test_support.h"
#include "data_stream.h"

namespace {

const std::uint64_t k4GiB = 1ull << 32;

// What one read of up to count bytes gets.
std::string Take(DataStream& stream, std::uint32_t count) {
  std::string bytes(count, '\0');
  bytes.resize(stream.Read(&bytes[0], count));
  return bytes;
}

// Open needs a block and leaves the position; reads and writes stop at the
// end; seeks are bounded by 32 bits, not by the block; Close forgets it.
TEST(MemoryDataStream, FollowsItsBlock) {
  EXPECT_FALSE(MemoryDataStream(nullptr, 0).Open(nullptr, false));
  std::string block = Pattern(600);
  MemoryDataStream stream(&block[0], 600);
  ASSERT_TRUE(stream.Seek(500));
  ASSERT_TRUE(stream.Open("ignored", true));
  EXPECT_EQ(block.substr(500), Take(stream, 512));
  EXPECT_EQ("", Take(stream, 512));
  ASSERT_TRUE(stream.Seek(597));
  EXPECT_EQ(3u, stream.Write("abcdef", 6));
  EXPECT_EQ("abc", block.substr(597));
  EXPECT_TRUE(stream.Seek(k4GiB - 1));
  EXPECT_EQ("", Take(stream, 1));
  ASSERT_TRUE(stream.Seek(7));
  EXPECT_FALSE(stream.Seek(k4GiB));
  EXPECT_EQ(block.substr(7, 1), Take(stream, 1));
  EXPECT_TRUE(stream.Close());
  EXPECT_FALSE(stream.Open(nullptr, false));
  ASSERT_TRUE(stream.Seek(0));
  EXPECT_EQ("", Take(stream, 1));
}

TEST(FileDataStream, WritesSeeksAndReplacesARealFile) {
  ScratchFolder scratch;
  std::string path = scratch.path + "\\f.txt";
  FileDataStream stream;  // never opened, it does nothing
  EXPECT_EQ("", Take(stream, 1));
  EXPECT_EQ(0u, stream.Write("x", 1));
  EXPECT_FALSE(stream.Seek(0));
  EXPECT_FALSE(stream.Close());
  ASSERT_TRUE(stream.Open(path.c_str(), true));
  EXPECT_EQ(10u, stream.Write("0123456789", 10));
  ASSERT_TRUE(stream.Open(path.c_str(), false));
  ASSERT_TRUE(stream.Seek(4));
  EXPECT_EQ("4", Take(stream, 1));
  EXPECT_TRUE(stream.Seek(k4GiB - 1));  // a low part of all ones is no failure
  // Reopening closes the old handle first: a writer still open, sharing only
  // reads, would make the reader's open fail.
  ASSERT_TRUE(stream.Open(path.c_str(), true));
  EXPECT_EQ(2u, stream.Write("hi", 2));
  ASSERT_TRUE(stream.Open(path.c_str(), false));
  EXPECT_EQ("hi", Take(stream, 32));
  EXPECT_EQ("", Take(stream, 32));
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
  std::string past(out + std::max(capacity, 0), out + 64);
  if (past != std::string(past.size(), '#')) return "overflow";
  return joined == nullptr ? "null" : joined == out ? std::string(out) : "wrong buffer";
}

TEST(JoinPath, AddsOneSeparatorWhereNeededAndFitsExactlyOrFails) {
  EXPECT_EQ("C:\\x\\a\\b.txt", Joined(64, "C:\\x", "a\\b.txt"));
  EXPECT_EQ("C:\\x\\a", Joined(64, "C:\\x\\", "a"));
  EXPECT_EQ("dir/a", Joined(64, "dir/", "a"));
  EXPECT_EQ("\\a", Joined(64, "", "a"));
  EXPECT_EQ("dir\\", Joined(64, "dir", ""));
  // Fits exactly or fails.
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
