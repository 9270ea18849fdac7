#include "archive_check.h"

#include <windows.h>

#include <cstring>

namespace {

const std::uint32_t kEntrySize = 32;
const std::uint32_t kCopyPiece = 512;

std::uint32_t U32(const std::string& b, std::uint64_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}

std::uint64_t U64(const std::string& b, std::uint64_t at) {
  return (static_cast<std::uint64_t>(U32(b, at + 4)) << 32) | U32(b, at);
}

}  // namespace

bool Exists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[65536];
  DWORD got = 0;
  bool ok = true;
  while ((ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0) && got > 0) {
    bytes->append(buffer, got);
  }
  CloseHandle(file);
  return ok;
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size();
  return CloseHandle(file) && ok;
}

bool LoadArchive(const std::string& path, std::vector<StoredFile>* files, std::string* error) {
  std::string a;
  if (!ReadWholeFile(path, &a)) {
    *error = "cannot read " + path;
    return false;
  }
  if (a.size() < 48) {
    *error = path + " is shorter than a header";
    return false;
  }
  std::uint32_t tableSize = U32(a, 20);
  std::uint64_t tableOffset = U64(a, 24);
  std::uint32_t namesSize = U32(a, 36);
  std::uint64_t namesOffset = U64(a, 40);
  if (tableSize % kEntrySize != 0 || tableOffset + tableSize > a.size() ||
      namesOffset + namesSize > a.size()) {
    *error = path + " has a malformed header";
    return false;
  }
  files->clear();
  for (std::uint32_t i = 0; i < tableSize / kEntrySize; ++i) {
    std::uint64_t at = tableOffset + i * kEntrySize;
    StoredFile file;
    std::uint64_t dataOffset = U64(a, at);
    file.size = U32(a, at + 8);
    std::uint32_t nameOffset = U32(a, at + 12);
    if (nameOffset >= namesSize) {
      *error = path + ": a name lies outside the names block";
      return false;
    }
    const char* name = a.data() + namesOffset + nameOffset;
    file.name.assign(name, strnlen(name, namesSize - nameOffset));
    std::uint64_t available = dataOffset >= a.size() ? 0 : a.size() - dataOffset;
    file.complete = available >= file.size;
    std::uint64_t kept = file.complete ? file.size : available / kCopyPiece * kCopyPiece;
    if (kept > 0) file.expected.assign(a, dataOffset, kept);
    files->push_back(file);
  }
  return true;
}

std::string JoinWindowsPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  if (path.empty() || (path.back() != '\\' && path.back() != '/')) path += '\\';
  for (char c : name) path += c == '/' ? '\\' : c;
  return path;
}

std::vector<std::string> CompareInstalled(const std::vector<StoredFile>& files,
                                          const std::string& folder, const std::string& skip) {
  std::vector<std::string> problems;
  for (const StoredFile& file : files) {
    if (file.name == skip) continue;
    std::string path = JoinWindowsPath(folder, file.name);
    std::string actual;
    if (!ReadWholeFile(path, &actual)) {
      problems.push_back(path + " is missing");
    } else if (actual != file.expected) {
      problems.push_back(path + " holds " + std::to_string(actual.size()) +
                         " bytes that differ from the " + std::to_string(file.expected.size()) +
                         " expected");
    }
  }
  return problems;
}
