// Feeds arbitrary bytes as an archive to the extractor and checks, after every
// input, what it promises whatever it is given: a known result, a well-formed
// sequence of events, and nothing touched outside the destination.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "archive_extractor.h"
#include "fuzz_support.h"

namespace {

struct Event {
  int event;
  std::uint32_t value;
  bool named;
};

class RecordingStream : public MemoryDataStream {
 public:
  using MemoryDataStream::MemoryDataStream;
  bool Notify(int event, std::uint32_t value, const char* name) override {
    events.push_back({event, value, name != nullptr});
    return true;
  }
  std::vector<Event> events;
};

// The order of events the extractor promises, whatever the input.
void CheckEvents(const std::vector<Event>& events, int result) {
  Check(result >= EXTRACT_OK && result <= EXTRACT_CREATE_FAILED, "result outside 0-5");
  bool begun = !events.empty() && events[0].event == EVENT_BEGIN, inFile = false;
  Check(begun == (!events.empty() && events.back().event == EVENT_END), "BEGIN and END pair");
  std::uint32_t file = 0, total = 0, errors = 0, last = 0;
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Event& e = events[i];
    int next = i + 1 < events.size() ? events[i + 1].event : -1;
    Check(e.named == (e.event != EVENT_ERROR), "names where they belong");
    Check(e.event != EVENT_BEGIN || i == 0, "BEGIN first");
    Check(e.event != EVENT_END || (next < 0 && !inFile), "END last, outside a file");
    Check(e.event != EVENT_TOTAL_PROGRESS ||
              (next == EVENT_FILE_BEGIN && !inFile && e.value >= total && e.value <= 100),
          "TOTAL before each file, rising within 0-100");
    Check(e.event != EVENT_FILE_PROGRESS || (inFile && e.value > file && e.value <= 100),
          "file percentage rising within 1-100");
    Check(e.event != EVENT_FILE_END || inFile, "FILE_END closes a file");
    Check(e.event != EVENT_ERROR || (e.value >= 2 && e.value <= 5), "ERROR carries a failure");
    Check(e.event <= EVENT_TOTAL_PROGRESS, "known events");
    if (e.event == EVENT_TOTAL_PROGRESS) total = e.value;
    if (e.event == EVENT_FILE_PROGRESS) file = e.value;
    if (e.event == EVENT_FILE_BEGIN) file = 0;
    if (e.event == EVENT_FILE_BEGIN || e.event == EVENT_FILE_END) inFile = !inFile;
    if (e.event == EVENT_ERROR) last = e.value;
    if (e.event == EVENT_ERROR) ++errors;
  }
  // The last failure's code is the result; only a failed header sends none.
  Check(!inFile, "every file ends");
  Check(result != EXTRACT_OK || (begun && errors == 0), "success only when nothing failed");
  Check(errors == 0 ? result == EXTRACT_OK || !begun : last == std::uint32_t(result),
        "the last failure wins");
}

std::string scratch, destination;  // destination lies three folders deep in scratch

// Lexically, how deep below the destination a path leads: -1 when it climbs
// above it or does not start there.
std::string Slashed(std::string path) {
  for (char& c : path) c = c == '\\' ? '/' : c;
  return path;
}

int Depth(const char* path) {
  std::string text = Slashed(path);
  if (text.compare(0, destination.size(), destination) != 0) return -1;
  if (text.size() > destination.size() && text[destination.size()] != '/') return -1;
  int depth = 0;
  for (std::size_t at = destination.size(), next; at < text.size(); at = next) {
    next = text.find('/', at + 1);
    std::string part =
        text.substr(at + 1, (next == std::string::npos ? text.size() : next) - at - 1);
    if (part == ".." && --depth < 0) return -1;
    if (part != ".." && !part.empty() && part != ".") ++depth;
    if (next == std::string::npos) break;
  }
  return depth;
}

// How many files and folders root holds, itself included.
long Entries(const std::string& root) {
  return std::distance(std::filesystem::recursive_directory_iterator(root), {}) + 1;
}

}  // namespace

// The core's file functions are wrapped at link time: every attempt must aim
// inside the destination (folders may also be the ones that lead to it).
extern "C" {
HANDLE __real_CreateFileA(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
BOOL __real_CreateDirectoryA(LPCSTR, LPSECURITY_ATTRIBUTES);
BOOL __real_SetFileAttributesA(LPCSTR, DWORD);

HANDLE __wrap_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                          DWORD disposition, DWORD flags, HANDLE templateFile) {
  Check(Depth(name) > 0, "files are created only inside the destination");
  return __real_CreateFileA(name, access, share, security, disposition, flags, templateFile);
}

BOOL __wrap_CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES security) {
  std::string text = Slashed(name);
  Check(Depth(name) >= 0 || (destination.compare(0, text.size(), text) == 0 &&
                             (destination + "/")[text.size()] == '/'),
        "folders are created only on the way into the destination");
  return __real_CreateDirectoryA(name, security);
}

BOOL __wrap_SetFileAttributesA(LPCSTR name, DWORD attributes) {
  Check(Depth(name) > 0, "attributes are set only inside the destination");
  return __real_SetFileAttributesA(name, attributes);
}

int LLVMFuzzerInitialize(int*, char***) {
  scratch = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/fuzz-XXXXXX";
  Check(mkdtemp(&scratch[0]) != nullptr, "scratch folder created");
  destination = scratch + "/in/side/dest";
  atexit([] { std::filesystem::remove_all(scratch); });
  return 0;
}

int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 0xFFFFFFFFu) return -1;
  std::vector<std::uint8_t> copy(data, data + size);
  Check(mkdir((scratch + "/in").c_str(), 0755) == 0 &&
            mkdir((scratch + "/in/side").c_str(), 0755) == 0 &&
            mkdir(destination.c_str(), 0755) == 0,
        "fresh destination");
  RecordingStream stream(copy.empty() ? nullptr : copy.data(), static_cast<std::uint32_t>(size));
  CheckEvents(stream.events, ArchiveExtractor().Extract("fuzz", destination.c_str(), stream));
  Check(Entries(scratch) == Entries(destination) + 3, "nothing written outside the destination");
  std::filesystem::remove_all(scratch + "/in");
  return 0;
}
}
