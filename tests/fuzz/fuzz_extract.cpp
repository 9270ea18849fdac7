// Feeds arbitrary bytes as an archive to the extractor and checks, after every
// input, what the extractor promises whatever it is given: a known result, a
// well-formed sequence of events, and nothing written outside the destination.
#include <dirent.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive_extractor.h"

namespace {

struct Event {
  int event;
  std::uint32_t value;
  bool hasName;
};

class RecordingStream : public MemoryDataStream {
 public:
  RecordingStream(void* data, std::uint32_t size) : MemoryDataStream(data, size) {}
  bool Notify(int event, std::uint32_t value, const char* name) override {
    events.push_back({event, value, name != nullptr});
    return true;
  }
  std::vector<Event> events;
};

[[noreturn]] void Broken(const char* what) {
  fprintf(stderr, "broken promise: %s\n", what);
  abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Broken(what);
}

void CheckEvents(const std::vector<Event>& events, int result) {
  Check(result >= EXTRACT_OK && result <= EXTRACT_CREATE_FAILED, "result outside 0-5");
  bool begun = !events.empty() && events.front().event == EVENT_BEGIN;
  bool ended = !events.empty() && events.back().event == EVENT_END;
  Check(begun == ended, "EVENT_BEGIN and EVENT_END come together");
  bool inFile = false;
  std::uint32_t lastFile = 0;
  std::uint32_t lastTotal = 0;
  int lastError = -1;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    switch (e.event) {
      case EVENT_BEGIN:
        Check(i == 0, "EVENT_BEGIN first");
        break;
      case EVENT_END:
        Check(i + 1 == events.size() && begun, "EVENT_END last");
        Check(!inFile, "EVENT_END inside a file");
        break;
      case EVENT_ERROR:
        Check(e.value >= EXTRACT_READ_FAILED && e.value <= EXTRACT_CREATE_FAILED,
              "EVENT_ERROR carries a failure code");
        Check(!e.hasName, "EVENT_ERROR has no name");
        lastError = static_cast<int>(e.value);
        break;
      case EVENT_TOTAL_PROGRESS:
        Check(begun && !inFile, "EVENT_TOTAL_PROGRESS between files");
        Check(e.value <= 100 && e.value >= lastTotal, "total percentage rises within 0-100");
        Check(i + 1 < events.size() && events[i + 1].event == EVENT_FILE_BEGIN,
              "EVENT_FILE_BEGIN follows EVENT_TOTAL_PROGRESS");
        lastTotal = e.value;
        break;
      case EVENT_FILE_BEGIN:
        Check(i > 0 && events[i - 1].event == EVENT_TOTAL_PROGRESS && e.hasName,
              "EVENT_FILE_BEGIN after EVENT_TOTAL_PROGRESS, with a path");
        inFile = true;
        lastFile = 0;
        break;
      case EVENT_FILE_PROGRESS:
        Check(inFile && e.hasName, "EVENT_FILE_PROGRESS inside a file");
        Check(e.value > lastFile && e.value <= 100, "file percentage rises within 1-100");
        lastFile = e.value;
        break;
      case EVENT_FILE_END:
        Check(inFile && e.hasName, "EVENT_FILE_END closes a file");
        inFile = false;
        break;
      default:
        Broken("unknown event");
    }
  }
  Check(!inFile, "every file ends");
  // The last failure's code is the result; a failed header sends no event.
  if (result == EXTRACT_OK) Check(lastError < 0, "success sends no EVENT_ERROR");
  if (result >= EXTRACT_WRITE_FAILED) Check(lastError == result, "the last failure wins");
  if (result == EXTRACT_READ_FAILED)
    Check(lastError < 0 || lastError == result, "the last failure wins");
}

std::string scratch;      // root the fuzzer owns
std::string destination;  // scratch + kInside: deep, so that escapes land in scratch

const char* const kInside = "/in/side/dest";

// Where a path leads, lexically: -1 when it climbs above destination, 0 for
// destination itself, else how deep below it. Paths not under destination
// at all give -2.
std::string WithSlashes(const char* path) {
  std::string text = path;
  for (char& c : text) c = c == '\\' ? '/' : c;
  return text;
}

int DepthBelowDestination(const char* path) {
  std::string text = WithSlashes(path);
  if (text.compare(0, destination.size(), destination) != 0) return -2;
  if (text.size() > destination.size() && text[destination.size()] != '/') return -2;
  int depth = 0;
  std::size_t at = destination.size();
  while (at < text.size()) {
    std::size_t next = text.find('/', at + 1);
    if (next == std::string::npos) next = text.size();
    std::string component = text.substr(at + 1, next - at - 1);
    if (component == "..") {
      if (--depth < 0) return -1;
    } else if (!component.empty() && component != ".") {
      ++depth;
    }
    at = next;
  }
  return depth;
}

bool IsAncestorOfDestination(const char* path) {
  std::string text = WithSlashes(path);
  return destination.compare(0, text.size(), text) == 0 &&
         (text.empty() || destination.size() == text.size() || destination[text.size()] == '/');
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

void RemoveTree(const std::string& path) {
  nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

// True when folder holds nothing but the one entry named only.
bool HoldsOnly(const std::string& folder, const char* only) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  int others = 0;
  while (dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != ".." && name != only) ++others;
  }
  closedir(dir);
  return others == 0;
}

void CheckNothingOutside() {
  Check(HoldsOnly(scratch, "in") && HoldsOnly(scratch + "/in", "side") &&
            HoldsOnly(scratch + "/in/side", "dest"),
        "nothing written outside the destination");
}

}  // namespace

// The core's file functions are wrapped at link time: every attempt, failed
// or not, must aim inside the destination (folders may also be its parents,
// which the folder walk attempts on the way down).
extern "C" {
HANDLE __real_CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL __real_CreateDirectoryA(LPCSTR, LPSECURITY_ATTRIBUTES);
BOOL __real_SetFileAttributesA(LPCSTR, DWORD);

HANDLE __wrap_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  Check(DepthBelowDestination(name) > 0, "files are created only inside the destination");
  return __real_CreateFileA(name, access, share, security, disposition, flags, templateFile);
}

BOOL __wrap_CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES security) {
  Check(DepthBelowDestination(name) >= 0 || IsAncestorOfDestination(name),
        "folders are created only inside the destination");
  return __real_CreateDirectoryA(name, security);
}

BOOL __wrap_SetFileAttributesA(LPCSTR name, DWORD attributes) {
  Check(DepthBelowDestination(name) > 0, "attributes are set only inside the destination");
  return __real_SetFileAttributesA(name, attributes);
}
}

// Oversized table or names claims make the allocator fail fast instead of
// reserving gigabytes per input: that exercises the out-of-memory path.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=64:detect_leaks=1";
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = getenv("FUZZ_SCRATCH");
  std::string root = base != nullptr ? base : (access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  std::string pattern = root + "/fuzz-extract-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  Check(mkdtemp(buffer.data()) != nullptr, "scratch folder created");
  scratch = buffer.data();
  destination = scratch + kInside;
  // The scratch folder goes when the fuzzer exits normally.
  atexit([] { RemoveTree(scratch); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) return -1;
  std::vector<std::uint8_t> copy(data, data + size);
  Check(mkdir((scratch + "/in").c_str(), 0755) == 0 &&
            mkdir((scratch + "/in/side").c_str(), 0755) == 0 &&
            mkdir(destination.c_str(), 0755) == 0,
        "fresh destination");
  RecordingStream stream(copy.empty() ? nullptr : copy.data(), static_cast<std::uint32_t>(size));
  ArchiveExtractor extractor;
  int result = extractor.Extract("fuzz", destination.c_str(), stream);
  CheckEvents(stream.events, result);
  CheckNothingOutside();
  RemoveTree(scratch + "/in");
  struct stat info;
  Check(lstat((scratch + "/in").c_str(), &info) != 0, "scratch emptied");
  return 0;
}
