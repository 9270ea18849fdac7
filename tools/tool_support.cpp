#include "tool_support.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

const int kBarWidth = 40;
int g_barPercent = -1;  // on screen; -1 for no bar

void DrawBar() {
  char line[kBarWidth + 32];
  int filled = g_barPercent * kBarWidth / 100;
  int at = std::snprintf(line, sizeof line, "\r[");
  for (int i = 0; i < kBarWidth; ++i) line[at++] = i < filled ? '#' : '.';
  std::snprintf(line + at, sizeof line - at, "] %3d%%", g_barPercent);
  std::fputs(line, stderr);
}

}  // namespace

void PrintError(const std::string& subject, const std::string& reason) {
  if (g_barPercent >= 0) std::fprintf(stderr, "\r%*s\r", kBarWidth + 8, "");
  std::fprintf(stderr, "patchpack: %s: %s\n", subject.c_str(), reason.c_str());
  if (g_barPercent >= 0) DrawBar();
}

void ShowProgress(std::uint32_t percent) {
  static const bool terminal = StderrIsTerminal();
  int shown = static_cast<int>(percent > 100 ? 100 : percent);
  if (!terminal || shown == g_barPercent) return;
  g_barPercent = shown;
  DrawBar();
}

void EndProgress() {
  if (g_barPercent >= 0) std::fputc('\n', stderr);
  g_barPercent = -1;
}

std::string SizeText(std::uint64_t bytes) {
  if (bytes < (1 << 20)) return std::to_string(bytes) + " bytes";
  char mebibytes[32];
  std::snprintf(mebibytes, sizeof mebibytes, "%.1f", static_cast<double>(bytes) / (1 << 20));
  return std::to_string(bytes) + " bytes (" + mebibytes + " MiB)";
}

std::string Printable(const std::string& text, bool utf8) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c >= 0x20 && c < 0x7F) || (utf8 && c >= 0x80)) {
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

bool FileSize(const std::filesystem::path& path, std::uint64_t* size, std::string* error) {
#ifdef _WIN32
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
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

std::filesystem::path ArgumentPath(const std::string& argument) {
#ifdef _WIN32
  int length = MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()),
                                   nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, argument.data(), static_cast<int>(argument.size()), &wide[0],
                      length);
  return std::filesystem::path(wide);
#else
  return std::filesystem::path(argument);
#endif
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
