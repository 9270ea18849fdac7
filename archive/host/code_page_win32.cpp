// Code pages and letter case as Windows itself converts and compares them.
#include "code_page_platform.h"
#include "platform_files.h"

bool HostCharacters(const std::wstring& units, std::vector<char32_t>* out) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t c = static_cast<char16_t>(units[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size()) {
      char32_t low = static_cast<char16_t>(units[i + 1]);
      if (low >= 0xDC00 && low < 0xE000) {
        out->push_back(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if (c >= 0xD800 && c < 0xE000) return false;
    out->push_back(c);
  }
  return true;
}

const char* BrokenNameProblem() { return "the name is not valid UTF-16"; }

// The wide functions would take any name; the extractor, the installer's own,
// calls the ANSI ones, which name the same file for every name the system's
// ANSI code page holds.
bool HostFileName(const std::string& text, std::string* out, std::string* problem) {
  int size = static_cast<int>(text.size());
  int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &wide[0], length);
  BOOL lossy = FALSE;
  int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, nullptr, 0,
                                  nullptr, &lossy);
  out->assign(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), length, &(*out)[0], bytes, nullptr,
                      &lossy);
  if (!lossy) return true;
  *problem = "this system's ANSI code page, " + std::to_string(GetACP()) +
             ", cannot hold the name, and the extractor uses the ANSI file functions";
  return false;
}

bool ReadCodePage(unsigned number, char32_t* characters, std::string* error) {
  CPINFO info;
  if (!GetCPInfo(number, &info)) {
    *error = "code page " + std::to_string(number) + " is not known to Windows";
    return false;
  }
  if (info.MaxCharSize != 1) {
    *error = MultiByteProblem(number);
    return false;
  }
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    wchar_t out[2];
    int got = MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, &in, 1, out, 2);
    characters[b] = got == 1 ? static_cast<char16_t>(out[0]) : kNoCharacter;
  }
  return true;
}

bool UpperCase(char32_t c, char32_t* upper, std::string*) {
  wchar_t in = static_cast<wchar_t>(c);
  wchar_t out = in;
  if (c < 0x10000) LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1);
  *upper = static_cast<char16_t>(out);
  return true;
}
