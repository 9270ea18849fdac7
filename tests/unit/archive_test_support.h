// Shared by the archive core's tests: archives built in memory, a stream that
// records what the extractor does with it, and scratch folders.
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
#include <vector>

#include "archive_extractor.h"

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// Header, names, table, then the files' bytes: the last file stored ends the
// archive, so an entry can claim more bytes than there are.
struct ArchiveBuilder {
  std::vector<ArchiveEntry> entries;  // dataOffset counts from the first file's byte
  std::string names, data;

  ArchiveBuilder& Add(const std::string& name, const std::string& bytes) {
    ArchiveEntry entry{};
    entry.dataOffset = data.size();
    entry.dataSize = static_cast<std::uint32_t>(bytes.size());
    entry.nameOffset = static_cast<std::uint32_t>(names.size());
    entries.push_back(entry);
    names.append(name).push_back('\0');
    data += bytes;
    return *this;
  }

  Bytes Build() const {
    ArchiveHeader header{};
    header.tableSize = static_cast<std::uint32_t>(entries.size() * sizeof(ArchiveEntry));
    header.namesSize = static_cast<std::uint32_t>(names.size());
    header.namesOffset = sizeof header;
    header.tableOffset = sizeof header + names.size();
    std::size_t base = header.tableOffset + header.tableSize;
    Bytes bytes(base);
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(&bytes[sizeof header], names.data(), names.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
      ArchiveEntry entry = entries[i];
      entry.dataOffset += base;
      std::memcpy(&bytes[header.tableOffset + i * sizeof entry], &entry, sizeof entry);
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

// Bytes that differ from piece to piece, so a misplaced piece shows.
inline std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 31 + i / 251);
  return bytes;
}

struct Event {
  int event;
  std::uint32_t value;
  std::string name = "(null)";
  bool operator==(const Event& o) const {
    return event == o.event && value == o.value && name == o.name;
  }
  friend void PrintTo(const Event& e, std::ostream* out) {
    *out << "{" << e.event << ", " << e.value << ", \"" << e.name << "\"}";
  }
};
using Events = std::vector<Event>;

inline Event Error(std::uint32_t code) { return {EVENT_ERROR, code}; }

// A whole run: BEGIN, the parts, END.
inline Events Whole(std::initializer_list<Events> parts, const char* archive = "patch") {
  Events all = {{EVENT_BEGIN, 0, archive ? archive : "(null)"}};
  for (const Events& part : parts) all.insert(all.end(), part.begin(), part.end());
  all.push_back({EVENT_END, 0, archive ? archive : "(null)"});
  return all;
}

// One created file; a failure's code, when given, comes before FILE_END.
inline Events File(const std::string& path, std::uint32_t size, std::uint32_t totalPercent,
                   std::initializer_list<std::uint32_t> percents = {100}, int error = -1) {
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
  bool Open(const char* name, bool forWrite) override {
    ++opens;
    return MemoryDataStream::Open(name, forWrite);
  }
  std::uint32_t Read(void* buffer, std::uint32_t count) override {
    reads.push_back(count);
    return MemoryDataStream::Read(buffer, count);
  }
  bool Close() override {
    ++closes;
    return MemoryDataStream::Close();
  }
  bool Notify(int event, std::uint32_t value, const char* name) override {
    events.push_back({event, value, name != nullptr ? name : "(null)"});
    return true;
  }
  int opens = 0, closes = 0;
  std::vector<std::uint32_t> reads;  // the counts asked for
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

// A fresh folder under the system's temp folder, removed with everything in it.
struct ScratchFolder {
  ScratchFolder()
      : path((fs::temp_directory_path() / ("unit-" + std::to_string(std::random_device()())))
                 .string()) {
    fs::create_directories(path);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  const std::string path;
};

struct CurrentFolder {
  explicit CurrentFolder(const std::string& folder) { fs::current_path(folder); }
  ~CurrentFolder() { fs::current_path(saved); }
  const fs::path saved = fs::current_path();
};

class ExtractTest : public ::testing::Test {
 protected:
  std::string At(const std::string& name) const { return dir + "\\" + name; }
  // Runs over a copy of bytes; the stream stays for the checks.
  int Extract(Bytes bytes, const char* folder, const char* name = "patch") {
    archive = std::move(bytes);
    stream = std::make_unique<TestStream>(archive.data(), archive.size());
    return ArchiveExtractor().Extract(name, folder, *stream);
  }
  int Extract(const ArchiveBuilder& builder) { return Extract(builder.Build(), dir.c_str()); }

  ScratchFolder scratch;
  const std::string dir = scratch.path;
  Bytes archive;
  std::unique_ptr<TestStream> stream;
};

#endif  // TESTS_UNIT_ARCHIVE_TEST_SUPPORT_H
