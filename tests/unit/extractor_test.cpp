#include <csignal>
#include <numeric>

#ifndef _WIN32
#include <sys/resource.h>
#endif

#include "archive_test_support.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ASAN 1
#endif
#endif

#ifdef UNDER_ASAN
// The sanitizer's heap would grant a 4 GiB block, or abort on it: make it
// refuse, as a 32-bit process's heap does.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=1024";
}
#endif

namespace {

const std::uint64_t kOutOfReach = 1ull << 32;  // no memory stream seeks there
using Counts = std::vector<std::uint32_t>;

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
  std::string bytes = Pattern(1000);
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add("data\\a.bin", bytes)));
  std::string path = At("data\\a.bin");
  EXPECT_EQ(Whole({File(path, 1000, 100, {51, 100})}), stream->events);
  EXPECT_EQ((Counts{48, 32, 11, 512, 488}), stream->reads);
  EXPECT_EQ(1, stream->closes);
  EXPECT_EQ(bytes, Contents(path));
  // 200 pieces of half a percent each: 1 to 100, each once, never 0.
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add("big", Pattern(102400))));
  Counts sent, expected(100);
  for (const Event& e : stream->events) {
    if (e.event == EVENT_FILE_PROGRESS) sent.push_back(e.value);
  }
  std::iota(expected.begin(), expected.end(), 1u);
  EXPECT_EQ(expected, sent);
}

TEST_F(ExtractTest, EmptyTablesAndFilesWriteNoBytes) {
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder()));
  EXPECT_EQ(Whole({}), stream->events);
  EXPECT_TRUE(fs::is_empty(dir));
  Store(At("empty"), "old bytes");
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add("empty", "").Add("ten", "0123456789")));
  EXPECT_EQ(Whole({File(At("empty"), 0, 0, {}), File(At("ten"), 10, 100)}), stream->events);
  EXPECT_EQ("", Contents(At("empty")));
  // With no bytes at all, each file begun is the whole run.
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add("e1", "").Add("e2", "")));
  EXPECT_EQ(Whole({File(At("e1"), 0, 100, {}), File(At("e2"), 0, 100, {})}), stream->events);
  // An empty file's offset is never sought: out of reach, it still installs.
  ArchiveBuilder distant = ArchiveBuilder().Add("far", "");
  distant.entries[0].dataOffset = kOutOfReach;
  EXPECT_EQ(EXTRACT_OK, Extract(distant));
}

TEST_F(ExtractTest, FileThatCannotBeCreatedIsSkipped) {
  std::string first = Pattern(100), third = Pattern(300);
  fs::create_directory(Native(At("2")));
  EXPECT_EQ(EXTRACT_CREATE_FAILED,
            Extract(ArchiveBuilder().Add("1", first).Add("2", Pattern(200)).Add("3", third)));
  // The second's 200 bytes never count: the third ends at 400 of 600.
  EXPECT_EQ(Whole({File(At("1"), 100, 16), {Error(5)}, File(At("3"), 300, 66)}), stream->events);
  EXPECT_EQ(first, Contents(At("1")));
  EXPECT_EQ(third, Contents(At("3")));
}

TEST_F(ExtractTest, ShortFileKeepsItsWholePiecesAndTheRunGoesOn) {
  std::string stored = Pattern(1100);
  ArchiveBuilder builder;
  builder.Add("after", "later").Add("short", stored);
  builder.entries[1].dataSize = 1200;
  std::swap(builder.entries[0], builder.entries[1]);  // its bytes still end the archive
  EXPECT_EQ(EXTRACT_READ_FAILED, Extract(builder));
  EXPECT_EQ(Whole({File(At("short"), 1200, 99, {42, 85}, 2), File(At("after"), 5, 100)}),
            stream->events);
  EXPECT_EQ(stored.substr(0, 1024), Contents(At("short")));
  EXPECT_EQ("later", Contents(At("after")));
}

TEST_F(ExtractTest, EntriesGoInTableOrderTheLaterOfTwoNamesWinning) {
  ArchiveBuilder builder;
  builder.Add("same", "short").Add("other", "o").Add("same", "much longer bytes");
  std::reverse(builder.entries.begin(), builder.entries.end());
  EXPECT_EQ(EXTRACT_OK, Extract(builder));
  EXPECT_EQ(Whole({File(At("same"), 17, 73), File(At("other"), 1, 78), File(At("same"), 5, 100)}),
            stream->events);
  EXPECT_EQ("short", Contents(At("same")));
}

TEST_F(ExtractTest, OpenFailureSendsNothing) {
  TestStream unopenable(nullptr, 0);
  EXPECT_EQ(EXTRACT_OPEN_FAILED, ArchiveExtractor().Extract("patch", dir.c_str(), unopenable));
  EXPECT_EQ(1, unopenable.opens);
  EXPECT_EQ(0, unopenable.closes);
  EXPECT_TRUE(unopenable.reads.empty());
  EXPECT_TRUE(unopenable.events.empty());
}

// Malformed header, buffers not allocated, table or names not read: each ends
// the run before it begins.
TEST_F(ExtractTest, FailuresBeforeTheFirstEntryEndTheRun) {
#if !defined(_WIN32) && !defined(UNDER_ASAN)
  // A 64-bit process might be granted 4 GiB: give it a 32-bit one's room.
  ScopedLimit room(RLIMIT_AS, 1ull << 31);
#endif
  const auto good = ArchiveBuilder().Add("a", "A").Build();
  const auto size = static_cast<std::uint32_t>(good.size());
  auto with = [&](auto change) { return WithHeader(good, change); };
  const struct {
    std::vector<unsigned char> bytes;
    int result;
    Events events;
    Counts reads;
  } rows[] = {
      {{good.begin(), good.begin() + 47}, 2, {}, {48}},
      {with([](auto& h) { h.tableSize = 33; }), 2, {}, {48}},
      {with([](auto& h) { h.tableSize = 0xFFFFFFE0u; }), 4, {Error(4)}, {48}},
      {with([](auto& h) { h.namesSize = 0xFFFFFFE0u; }), 4, {Error(4)}, {48}},
      {with([](auto& h) { h.tableOffset = kOutOfReach; }), 2, {Error(2)}, {48}},
      {with([](auto& h) { h.namesOffset = kOutOfReach; }), 2, {Error(2)}, {48, 32}},
      {with([&](auto& h) { h.tableOffset = size - 1; }), 2, {Error(2)}, {48, 32}},
      {with([&](auto& h) { h.namesSize = size; }), 2, {Error(2)}, {48, 32, size}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(&row - rows);
    EXPECT_EQ(row.result, Extract(row.bytes, dir.c_str()));
    EXPECT_EQ(row.events, stream->events);
    EXPECT_EQ(row.reads, stream->reads);
    EXPECT_EQ(1, stream->closes);
  }
  EXPECT_TRUE(fs::is_empty(dir));
}

#ifndef _WIN32
TEST_F(ExtractTest, ShortWriteIsAWriteFailureAndTheRunGoesOn) {
  std::string big = Pattern(1000);
  // Past 600 bytes no file may grow, as on a full disk: the second piece goes
  // in part.
  auto handler = std::signal(SIGXFSZ, SIG_IGN);
  int result;
  {
    ScopedLimit fileSize(RLIMIT_FSIZE, 600);
    result = Extract(ArchiveBuilder().Add("big", big).Add("small", "fits"));
  }
  std::signal(SIGXFSZ, handler);
  EXPECT_EQ(EXTRACT_WRITE_FAILED, result);
  EXPECT_EQ(Whole({File(At("big"), 1000, 99, {51}, 3), File(At("small"), 4, 100)}), stream->events);
  EXPECT_EQ(big.substr(0, 600), Contents(At("big")));
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
  for (const auto& file : files) {
    Store(At(file.first), "old bytes");
    fs::permissions(Native(At(file.first)), fs::perms(0644));
    ASSERT_TRUE(SetFileAttributesA(At(file.first).c_str(), file.second));
    builder.Add(file.first, "new");
  }
  EXPECT_EQ(EXTRACT_OK, Extract(builder));
  for (const auto& file : files) {
    std::string path = At(file.first);
    EXPECT_EQ("new", Contents(path)) << path;
    // Root writes regardless, under Wine too: the cleared attribute shows.
#ifdef _WIN32
    EXPECT_EQ(0u, GetFileAttributesA(path.c_str()) & file.second) << path;
#else
    // Only the owner's write permission comes back; the other bits stay.
    auto kept = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    EXPECT_EQ(kept | fs::perms::owner_write, fs::status(Native(path)).permissions());
#endif
  }
}

#ifdef _WIN32
TEST_F(ExtractTest, FileHeldWithoutSharingIsSkipped) {
  Store(At("held"), "kept");
  HANDLE held = CreateFileA(At("held").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  int result = Extract(ArchiveBuilder().Add("a", "A").Add("held", "H").Add("c", "C"));
  CloseHandle(held);
  EXPECT_EQ(EXTRACT_CREATE_FAILED, result);
  EXPECT_EQ(Whole({File(At("a"), 1, 33), {Error(5)}, File(At("c"), 1, 66)}), stream->events);
  EXPECT_EQ("kept", Contents(At("held")));
  EXPECT_EQ("C", Contents(At("c")));
}
#endif

// A folder may end in a separator, be empty (the root of the current drive)
// or be missing (the current folder).
TEST_F(ExtractTest, FolderIsJoinedAsWindowsReadsIt) {
  CurrentFolder here(dir);
  for (const char* separator : {"\\", "/"}) {
    std::string folder = dir + separator;
    EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add("t", "t").Build(), folder.c_str()));
    EXPECT_EQ(Whole({File(folder + "t", 1, 100)}), stream->events);
  }
  // From the root the name leads back into the scratch folder.
  std::string name = fs::path(dir).relative_path().string() + "\\root";
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add(name, "r").Build(), ""));
  EXPECT_EQ(Whole({File("\\" + name, 1, 100)}), stream->events);
  EXPECT_EQ("r", Contents(At("root")));
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add("sub\\n", "now").Build(), nullptr, nullptr));
  std::string path = fs::current_path().string() + "\\sub\\n";
  EXPECT_EQ(Whole({File(path, 3, 100)}, nullptr), stream->events);
  EXPECT_EQ("now", Contents(At("sub\\n")));
  // Missing folders are created, the destination's too (on Windows the first
  // is a drive, whose creation fails harmlessly).
  std::string dest = At("new\\x");
  EXPECT_EQ(EXTRACT_OK, Extract(ArchiveBuilder().Add("a\\b/c.txt", "deep").Build(), dest.c_str()));
  EXPECT_EQ(Whole({File(dest + "\\a\\b/c.txt", 4, 100)}), stream->events);
  EXPECT_EQ("deep", Contents(dest + "\\a\\b\\c.txt"));
}

}  // namespace
