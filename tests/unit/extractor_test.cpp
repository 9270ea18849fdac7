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

const std::uint64_t kOutOfReach = 1ull << 32;  // no memory stream seeks there

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
#endif

TEST_F(ExtractTest, CopiesInPiecesReportingEachNewPercentageOnce) {
  ExpectRun(ArchiveBuilder().Add("data\\a.bin", Pattern(1000)), EXTRACT_OK,
            {File(At("data\\a.bin"), 1000, 100, {51, 100})}, {{"data\\a.bin", Pattern(1000)}});
  EXPECT_EQ((Counts{48, 32, 11, 512, 488}), stream->reads);
  EXPECT_EQ(1, stream->closes);
  // 200 pieces of half a percent each: 1 to 100, each once, never 0.
  Counts percents(100);
  std::iota(percents.begin(), percents.end(), 1u);
  ExpectRun(ArchiveBuilder().Add("big", Pattern(102400)), EXTRACT_OK,
            {File(At("big"), 102400, 100, percents)});
}

TEST_F(ExtractTest, EmptyTablesAndFilesWriteNoBytes) {
  ExpectRun(ArchiveBuilder(), EXTRACT_OK, {});
  EXPECT_TRUE(fs::is_empty(dir));
  Store(At("empty"), "old bytes");
  ExpectRun(ArchiveBuilder().Add("empty", "").Add("ten", "0123456789"), EXTRACT_OK,
            {File(At("empty"), 0, 0, {}), File(At("ten"), 10, 100)}, {{"empty", ""}});
  // With no bytes at all, each file begun is the whole run.
  ExpectRun(ArchiveBuilder().Add("e1", "").Add("e2", ""), EXTRACT_OK,
            {File(At("e1"), 0, 100, {}), File(At("e2"), 0, 100, {})});
  // An empty file's offset is never sought: out of reach, it still installs.
  ArchiveBuilder distant = ArchiveBuilder().Add("distant", "");
  distant.entries[0].dataOffset = kOutOfReach;
  ExpectRun(distant, EXTRACT_OK, {File(At("distant"), 0, 100, {})});
}

// The second's 200 bytes never count: the third ends at 400 of 600.
TEST_F(ExtractTest, FileThatCannotBeCreatedIsSkipped) {
  fs::create_directory(Native(At("2")));
  ExpectRun(ArchiveBuilder().Add("1", Pattern(100)).Add("2", Pattern(200)).Add("3", Pattern(300)),
            EXTRACT_CREATE_FAILED, {File(At("1"), 100, 16), {Error(5)}, File(At("3"), 300, 66)},
            {{"1", Pattern(100)}, {"3", Pattern(300)}});
}

TEST_F(ExtractTest, ShortFileKeepsItsWholePiecesAndTheRunGoesOn) {
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
      {with([](auto& h) { h.tableOffset = kOutOfReach; }), 2, {Error(2)}, {48}, 1},
      {with([](auto& h) { h.namesOffset = kOutOfReach; }), 2, {Error(2)}, {48, 32}, 1},
      {with([&](auto& h) { h.tableOffset = size - 1; }), 2, {Error(2)}, {48, 32}, 1},
      {with([&](auto& h) { h.namesSize = size; }), 2, {Error(2)}, {48, 32, size}, 1},
  };
  for (const auto& [bytes, result, events, reads, closes] : rows) {
    EXPECT_EQ(result, Extract(bytes, dir.c_str()));
    EXPECT_EQ(events, stream->events);
    EXPECT_EQ(reads, stream->reads);
    EXPECT_EQ(closes, stream->closes);
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

#ifndef _WIN32
TEST_F(ExtractTest, ShortWriteIsAWriteFailureAndTheRunGoesOn) {
  // Past 600 bytes no file may grow, as on a full disk: the second piece goes
  // in part, and the write fails instead of ending the process.
  std::signal(SIGXFSZ, SIG_IGN);
  int result = [&] {
    ScopedLimit fileSize(RLIMIT_FSIZE, 600);
    return Extract(ArchiveBuilder().Add("big", Pattern(1000)).Add("small", "fits"));
  }();
  EXPECT_EQ(EXTRACT_WRITE_FAILED, result);
  EXPECT_EQ(Whole({File(At("big"), 1000, 99, {51}, 3), File(At("small"), 4, 100)}), stream->events);
  EXPECT_EQ(Pattern(600), Contents(At("big")));
  EXPECT_EQ("fits", Contents(At("small")));
}
#endif

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

}  // namespace
