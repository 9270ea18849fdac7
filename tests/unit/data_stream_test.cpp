#include <atomic>
#include <thread>

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

TEST(LastError, BelongsToEachThread) {
  // Spinning on flags keeps other calls, which may set the error, out of the way.
  std::atomic<int> step{0};
  DWORD seen = 0;
  std::thread other([&] {
    while (step != 1) {
    }
    SetLastError(ERROR_ACCESS_DENIED);
    seen = GetLastError();
    step = 2;
  });
  SetLastError(ERROR_DISK_FULL);
  step = 1;
  while (step != 2) {
  }
  EXPECT_EQ(ERROR_DISK_FULL, GetLastError());
  other.join();
  EXPECT_EQ(ERROR_ACCESS_DENIED, seen);
}

}  // namespace
