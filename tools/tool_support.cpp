#include "tool_support.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

void PrintError(const std::string& subject, const std::string& reason) {
  std::fprintf(stderr, "patchpack: %s: %s\n", subject.c_str(), reason.c_str());
}

std::string Printable(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string SystemErrorText(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS:
      return "no error reported";
    case ERROR_FILE_NOT_FOUND:
      return "file not found";
    case ERROR_PATH_NOT_FOUND:
      return "path not found";
    case ERROR_TOO_MANY_OPEN_FILES:
      return "too many open files";
    case ERROR_ACCESS_DENIED:
      return "access denied";
    case ERROR_NOT_ENOUGH_MEMORY:
      return "not enough memory";
    case ERROR_WRITE_PROTECT:
      return "the medium is write-protected";
    case ERROR_SHARING_VIOLATION:
      return "the file is in use by another process";
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return "the disk is full";
    case ERROR_INVALID_NAME:
      return "the name is not valid";
    case ERROR_FILENAME_EXCED_RANGE:
      return "the name is too long";
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return "it already exists";
    case ERROR_DIRECTORY:
      return "not a folder";
    default:
      return "system error " + std::to_string(code);
  }
}

std::string ErrnoText(int error) { return std::strerror(error); }

bool FileSize(const std::string& path, std::uint64_t* size, std::string* error) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
    *error = SystemErrorText(GetLastError());
    return false;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    *error = "is a folder";
    return false;
  }
  *size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = ErrnoText(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = S_ISDIR(info.st_mode) ? "is a folder" : "is not a regular file";
    return false;
  }
  *size = static_cast<std::uint64_t>(info.st_size);
#endif
  return true;
}

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
#ifdef _WIN32
  std::wstring wideMode(mode, mode + std::strlen(mode));
  return _wfopen(path.c_str(), wideMode.c_str());
#else
  return std::fopen(path.c_str(), mode);
#endif
}

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

std::string PathText(const std::filesystem::path& path) {
#ifdef _WIN32
  // Lone surrogates have no UTF-8 form; show the code units instead.
  try {
    return Printable(path.u8string());
  } catch (...) {
    std::string out;
    for (wchar_t c : path.native()) {
      out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\\u" + std::to_string(c);
    }
    return Printable(out);
  }
#else
  return Printable(path.native());
#endif
}
