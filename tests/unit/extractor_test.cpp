// The archive core: the extractor, the streams it reads and writes through, and
// its path helpers.
#include <csignal>
#include <numeric>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "archive_test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
// The sanitizer's heap would grant a 4 GiB block, or abort on it: make it
// refuse, as a 32-bit process's heap does.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}
#endif
#endif

namespace {

const std::uint64_t k4GiB = 1ull << 32;  // no memory stream seeks there

#ifndef _WIN32
// Lowers a resource limit for the life of the object.
struct ScopedLimit {
  ScopedLimit(decltype(RLIMIT_AS) resource, rlim_t value) : resource(resource) {
    getrlimit(resource, &saved);
    rlimit lowered = {std::min(value, saved.rlim_cur), saved.rlim_max};
    setrlimit(resource, &lowered);
  }
  ~ScopedLimit() { setrlimit(resource, &saved); }
  decltype(RLIMIT_AS) resource;
  rlimit saved;
};

TEST_F(ExtractTest, ShortWriteIsAWriteFailureAndTheRunGoesOn) {
  // Past 600 bytes no file may grow, as on a full disk: the second piece goes
  // in part, and the write fails instead of ending the process.
  auto previous = std::signal(SIGXFSZ, SIG_IGN);
  int result = [&] {
    ScopedLimit fileSize(RLIMIT_FSIZE, 600);
    return Extract(ArchiveBuilder().Add("big", Pattern(1000)).Add("small", "fits"));
  }();
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(EXTRACT_WRITE_FAILED, result);
  EXPECT_EQ(Whole({File(At("big"), 1000, 99, {51}, 3), File(At("small"), 4, 100)}), stream->events);
  EXPECT_EQ(Pattern(600), Contents(At("big")));
  EXPECT_EQ("fits", Contents(At("small")));
}
#endif

// Empty tables and files write no bytes and report no percentage.
TEST_F(ExtractTest, CopiesInPiecesReportingEachNewPercentageOnce) {
  ExpectRun(ArchiveBuilder().Add("data\\a.bin", Pattern(1000)), EXTRACT_OK,
            {File(At("data\\a.bin"), 1000, 100, {51, 100})}, {{"data\\a.bin", Pattern(1000)}});
  EXPECT_EQ((Counts{48, 32, 11, 512, 488}), stream->reads);
  // 200 pieces of half a percent each: 1 to 100, each once, never 0.
  Counts percents(100);
  std::iota(percents.begin(), percents.end(), 1u);
  ExpectRun(ArchiveBuilder().Add("big", Pattern(102400)), EXTRACT_OK,
            {File(At("big"), 102400, 100, percents)});
  ExpectRun(ArchiveBuilder(), EXTRACT_OK, {});
  Store(At("empty"), "old bytes");
  ExpectRun(ArchiveBuilder().Add("empty", "").Add("ten", "0123456789"), EXTRACT_OK,
            {File(At("empty"), 0, 0, {}), File(At("ten"), 10, 100)}, {{"empty", ""}});
  // With no bytes at all, each file begun is the whole run.
  ExpectRun(ArchiveBuilder().Add("e1", "").Add("e2", ""), EXTRACT_OK,
            {File(At("e1"), 0, 100, {}), File(At("e2"), 0, 100, {})});
  // An empty file's offset is never sought: out of reach, it still installs.
  ArchiveBuilder distant = ArchiveBuilder().Add("distant", "");
  distant.entries[0].dataOffset = k4GiB;
  ExpectRun(distant, EXTRACT_OK, {File(At("distant"), 0, 100, {})});
}

// A file that cannot be created is skipped, and the second's 200 bytes never
// count: the third ends at 400 of 600. A short file keeps its whole pieces.
TEST_F(ExtractTest, AFailedFileIsSkippedAndTheRunGoesOn) {
  fs::create_directory(Native(At("2")));
  ExpectRun(ArchiveBuilder().Add("1", Pattern(100)).Add("2", Pattern(200)).Add("3", Pattern(300)),
            EXTRACT_CREATE_FAILED, {File(At("1"), 100, 16), {Error(5)}, File(At("3"), 300, 66)},
            {{"1", Pattern(100)}, {"3", Pattern(300)}});
  ArchiveBuilder builder = ArchiveBuilder().Add("after", "later").Add("short", Pattern(1100));
  builder.entries[1].dataSize = 1200;
  std::swap(builder.entries[0], builder.entries[1]);  // its bytes still end the archive
  ExpectRun(builder, EXTRACT_READ_FAILED,
            {File(At("short"), 1200, 99, {42, 85}, 2), File(At("after"), 5, 100)},
            {{"short", Pattern(1024)}, {"after", "later"}});
}

TEST_F(ExtractTest, EntriesGoInTableOrderTheLaterOfTwoNamesWinning) {
  ArchiveBuilder builder =
      ArchiveBuilder().Add("same", "short").Add("other", "o").Add("same", "much longer bytes");
  std::reverse(builder.entries.begin(), builder.entries.end());
  ExpectRun(builder, EXTRACT_OK,
            {File(At("same"), 17, 73), File(At("other"), 1, 78), File(At("same"), 5, 100)},
            {{"same", "short"}});
}

// A stream that cannot open, a malformed header, buffers not allocated, table
// or names not read: each ends the run before it begins.
TEST_F(ExtractTest, FailuresBeforeTheFirstEntryEndTheRun) {
#if !defined(_WIN32) && !defined(UNDER_ASAN)
  // A 64-bit process might be granted 4 GiB: give it a 32-bit one's room.
  ScopedLimit room(RLIMIT_AS, 1ull << 31);
#endif
  const auto good = ArchiveBuilder().Add("a", "A").Build();
  const auto size = static_cast<std::uint32_t>(good.size());
  auto with = [&](auto change) { return WithHeader(good, change); };
  // The archive, the result, the events, the reads and the closes.
  const std::tuple<Bytes, int, Events, Counts, int> rows[] = {
      {{}, 1, {}, {}, 0},
      {{good.begin(), good.begin() + 47}, 2, {}, {48}, 1},
      {with([](auto& h) { h.tableSize = 33; }), 2, {}, {48}, 1},
      {with([](auto& h) { h.tableSize = 0xFFFFFFE0u; }), 4, {Error(4)}, {48}, 1},
      {with([](auto& h) { h.namesSize = 0xFFFFFFE0u; }), 4, {Error(4)}, {48}, 1},
      {with([](auto& h) { h.tableOffset = k4GiB; }), 2, {Error(2)}, {48}, 1},
      {with([](auto& h) { h.namesOffset = k4GiB; }), 2, {Error(2)}, {48, 32}, 1},
      {with([&](auto& h) { h.tableOffset = size - 1; }), 2, {Error(2)}, {48, 32}, 1},
      {with([&](auto& h) { h.namesSize = size; }), 2, {Error(2)}, {48, 32, size}, 1},
  };
  for (const auto& [bytes, result, events, reads, closes] : rows) {
    EXPECT_EQ(result, Extract(bytes, dir.c_str()));
    EXPECT_EQ(events, stream->events);
    EXPECT_EQ(reads, stream->reads);
    EXPECT_EQ(closes, stream->closes);
  }
}

TEST_F(ExtractTest, ProtectedFilesAreReplaced) {
  std::vector<std::pair<std::string, DWORD>> files = {{"ro", FILE_ATTRIBUTE_READONLY}};
#ifdef _WIN32
  files.push_back({"hidden", FILE_ATTRIBUTE_HIDDEN});
  files.push_back({"all", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM});
#endif
  ArchiveBuilder builder;
  for (const auto& [name, attributes] : files) {
    Store(At(name), "old bytes");
    fs::permissions(Native(At(name)), fs::perms(0644));
    ASSERT_TRUE(SetFileAttributesA(At(name).c_str(), attributes));
    builder.Add(name, "new");
  }
  EXPECT_EQ(EXTRACT_OK, Extract(builder));
  for (const auto& [name, attributes] : files) {
    EXPECT_EQ("new", Contents(At(name))) << name;
    // Root writes regardless, under Wine too: the cleared attribute shows.
#ifdef _WIN32
    EXPECT_EQ(0u, GetFileAttributesA(At(name).c_str()) & attributes) << name;
#else
    // Only the owner's write permission comes back to the 0644 set above;
    // the other bits stay.
    EXPECT_EQ(fs::perms(0644), fs::status(Native(At(name))).permissions());
#endif
  }
}

#ifdef _WIN32
TEST_F(ExtractTest, FileHeldWithoutSharingIsSkipped) {
  Store(At("held"), "kept");
  HANDLE held = CreateFileA(At("held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  ExpectRun(ArchiveBuilder().Add("a", "A").Add("held", "H").Add("c", "C"), EXTRACT_CREATE_FAILED,
            {File(At("a"), 1, 33), {Error(5)}, File(At("c"), 1, 66)}, {{"c", "C"}});
  CloseHandle(held);
  EXPECT_EQ("kept", Contents(At("held")));
}
#endif

// A folder may end in a separator, be empty (the root of the current drive)
// or be missing (the current folder, with no archive name either). Missing
// folders are created, the destination's too (on Windows the first is a
// drive, whose creation fails harmlessly).
TEST_F(ExtractTest, FolderIsJoinedAsWindowsReadsIt) {
  CurrentFolder here(dir);
  auto expect = [&](const char* folder, const std::string& name, const std::string& path,
                    const char* archive = "patch") {
    EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add(name, name).Build(), folder, archive));
    EXPECT_EQ(Whole({File(path, name.size(), 100)}, archive), stream->events);
    EXPECT_EQ(name, Contents(path));
  };
  for (const std::string& folder : {dir + "\\", dir + "/"})
    expect(folder.c_str(), "t", folder + "t");
  // From the root the name leads back into the scratch folder.
  std::string root = fs::path(dir).relative_path().string() + "\\root", dest = At("new\\x");
  expect("", root, "\\" + root);
  expect(nullptr, "sub\\n", fs::current_path().string() + "\\sub\\n", nullptr);
  expect(dest.c_str(), "a\\b/c.txt", dest + "\\a\\b/c.txt");
}

// What one read of up to count bytes gets.
std::string Take(DataStream& stream, std::uint32_t count) {
  std::string bytes(count, '\0');
  bytes.resize(stream.Read(&bytes[0], count));
  return bytes;
}

// Open leaves the position; reads and writes stop at the end; seeks are
// bounded by 32 bits, not by the block; Close forgets it.
TEST(MemoryDataStream, FollowsItsBlock) {
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

// Every row of join_path.txt.
TEST(JoinPath, AddsOneSeparatorWhereNeededAndFitsExactlyOrFails) {
  for (const auto& row : Table("join_path.txt"))
    EXPECT_EQ(row.at(3), Joined(std::stoi(row[0]), row[1].c_str(), row[2].c_str())) << row[0];
}

}  // namespace
