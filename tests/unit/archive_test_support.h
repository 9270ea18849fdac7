// Shared by the archive core's and the host library's tests: archives built in
// memory, a stream that records what the extractor does with it, scratch
// folders and little-endian fields.
#ifndef TESTS_UNIT_ARCHIVE_TEST_SUPPORT_H
#define TESTS_UNIT_ARCHIVE_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "archive_extractor.h"

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
using Counts = std::vector<std::uint32_t>;

inline std::uint32_t Get(const Bytes& b, std::size_t at, int size = 4) {
  std::uint32_t value = 0;
  for (int i = 0; i < size; ++i) value |= static_cast<std::uint32_t>(b.at(at + i)) << 8 * i;
  return value;
}
inline void Set(Bytes* b, std::size_t at, std::uint64_t value, int size = 4) {
  for (int i = 0; i < size; ++i) b->at(at + i) = static_cast<unsigned char>(value >> 8 * i);
}
// Fields of one size, as offset and value pairs.
inline void Set(Bytes* b, int size, std::initializer_list<std::uint64_t> pairs) {
  for (auto p = pairs.begin(); p != pairs.end(); p += 2) Set(b, p[0], p[1], size);
}

// Bytes that differ from piece to piece, and with the seed from pattern to
// pattern, so a misplaced piece shows.
template <typename T = std::string>
T Pattern(std::size_t size, int seed = 0) {
  T bytes(size, 0);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + seed + i / 251);
  return bytes;
}

// Header, names, table, then the files' bytes: the last file stored ends the
// archive, so an entry can claim more bytes than there are.
struct ArchiveBuilder {
  std::vector<ArchiveEntry> entries;  // dataOffset counts from the first file's byte
  std::string names, data;

  ArchiveBuilder& Add(const std::string& name, const std::string& bytes) {
    entries.push_back({data.size(), static_cast<std::uint32_t>(bytes.size()),
                       static_cast<std::uint32_t>(names.size()), 0, 0, 0});
    names.append(name).push_back('\0');
    data += bytes;
    return *this;
  }

  Bytes Build() const {
    std::size_t table = 48 + names.size(), base = table + 32 * entries.size();
    Bytes bytes(48);
    Set(&bytes, 4, {20, 32 * entries.size(), 36, names.size()});  // tableSize, namesSize
    Set(&bytes, 8, {24, table, 40, 48});                          // tableOffset, namesOffset
    bytes.insert(bytes.end(), names.begin(), names.end());
    for (ArchiveEntry entry : entries) {
      entry.dataOffset += base;
      auto raw = reinterpret_cast<const unsigned char*>(&entry);
      bytes.insert(bytes.end(), raw, raw + sizeof entry);
    }
    bytes.insert(bytes.end(), data.begin(), data.end());
    return bytes;
  }
};

template <typename Change>
Bytes WithHeader(Bytes bytes, Change change) {
  ArchiveHeader header;
  std::memcpy(&header, bytes.data(), sizeof header);
  change(header);
  std::memcpy(bytes.data(), &header, sizeof header);
  return bytes;
}

// What the stream was told: the event, its value and its name.
using Event = std::tuple<int, std::uint32_t, std::string>;
using Events = std::vector<Event>;

inline Event Error(std::uint32_t code) { return {EVENT_ERROR, code, "(null)"}; }

// A whole run: BEGIN, the parts, END.
inline Events Whole(std::initializer_list<Events> parts, const char* archive = "patch") {
  Events all = {{EVENT_BEGIN, 0, archive ? archive : "(null)"}};
  for (const Events& part : parts) all.insert(all.end(), part.begin(), part.end());
  all.push_back({EVENT_END, 0, archive ? archive : "(null)"});
  return all;
}

// One created file; a failure's code, when given, comes before FILE_END.
inline Events File(const std::string& path, std::uint32_t size, std::uint32_t totalPercent,
                   const Counts& percents = {100}, int error = -1) {
  Events events = {{EVENT_TOTAL_PROGRESS, totalPercent, path}, {EVENT_FILE_BEGIN, size, path}};
  for (std::uint32_t p : percents) events.push_back({EVENT_FILE_PROGRESS, p, path});
  if (error >= 0) events.push_back(Error(error));
  events.push_back({EVENT_FILE_END, 0, path});
  return events;
}

// A memory stream that records its calls and copies each event's name, since
// the extractor rewrites its path buffer for every entry.
class TestStream : public MemoryDataStream {
 public:
  using MemoryDataStream::MemoryDataStream;
  std::uint32_t Read(void* buffer, std::uint32_t count) override {
    reads.push_back(count);
    return MemoryDataStream::Read(buffer, count);
  }
  bool Close() override {
    ++closes;
    return MemoryDataStream::Close();
  }
  bool Notify(int event, std::uint32_t value, const char* name) override {
    events.emplace_back(event, value, name != nullptr ? name : "(null)");
    return true;
  }
  int closes = 0;
  Counts reads;  // the counts asked for
  Events events;
};

// The tests write paths with '\' like the extractor; POSIX needs '/'.
inline std::string Native(std::string path) {
#ifndef _WIN32
  std::replace(path.begin(), path.end(), '\\', '/');
#endif
  return path;
}

inline std::string Contents(const std::string& path) {
  std::ifstream in(Native(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void Store(const std::string& path, const std::string& bytes) {
  std::ofstream(Native(path), std::ios::binary) << bytes;
}

// The rows of a tab-separated table beside the tests, less its # comments:
// %XX stands for the byte XX, a lone - for an empty field.
inline std::vector<std::vector<std::string>> Table(const std::string& file) {
  std::ifstream in(TEST_DATA "/" + file);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    rows.emplace_back(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\t') {
        rows.back().emplace_back();
      } else if (line[i] == '%') {
        rows.back().back() += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
        i += 2;
      } else {
        rows.back().back() += line[i];
      }
    }
    for (std::string& field : rows.back()) field = field == "-" ? "" : field;
  }
  EXPECT_FALSE(rows.empty()) << file;
  return rows;
}

// A fresh folder under the system's temp folder, removed with everything in it.
struct ScratchFolder {
  ScratchFolder() { fs::create_directories(path); }
  ~ScratchFolder() { fs::remove_all(path, ignored); }
  const std::string path =
      (fs::temp_directory_path() / ("unit-" + std::to_string(std::random_device()()))).string();
  std::error_code ignored;
};

struct CurrentFolder {
  explicit CurrentFolder(const std::string& folder) { fs::current_path(folder); }
  ~CurrentFolder() { fs::current_path(saved); }
  const fs::path saved = fs::current_path();
};

class ExtractTest : public ::testing::Test {
 protected:
  std::string At(const std::string& name) const { return dir + "\\" + name; }
  // Runs over a copy of bytes, none making a stream that cannot open; the
  // stream stays for the checks.
  int Extract(Bytes bytes, const char* folder, const char* name = "patch") {
    archive = std::move(bytes);
    stream =
        std::make_unique<TestStream>(archive.empty() ? nullptr : archive.data(), archive.size());
    return ArchiveExtractor().Extract(name, folder, *stream);
  }
  int Extract(const ArchiveBuilder& builder) { return Extract(builder.Build(), dir.c_str()); }
  // Extracts into the scratch folder, checking the result, the events between
  // BEGIN and END, and what the named files then hold.
  void ExpectRun(const ArchiveBuilder& builder, int result, std::initializer_list<Events> events,
                 std::initializer_list<std::pair<std::string, std::string>> files = {}) {
    EXPECT_EQ(result, Extract(builder));
    EXPECT_EQ(Whole(events), stream->events);
    for (const auto& file : files) EXPECT_EQ(file.second, Contents(At(file.first))) << file.first;
  }

  ScratchFolder scratch;
  const std::string dir = scratch.path;
  Bytes archive;
  std::unique_ptr<TestStream> stream;
};

#endif  // TESTS_UNIT_ARCHIVE_TEST_SUPPORT_H
