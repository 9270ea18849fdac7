#include "code_page.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <type_traits>
#include <vector>

#ifdef _WIN32
#include "platform_files.h"
#else
#include <iconv.h>
#include <locale.h>
#include <wctype.h>
#endif

#include "name_rules.h"

namespace {

const char32_t kNone = 0;

std::string Hex(unsigned value, int digits) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kHex[(value >> shift) & 15];
  return text;
}

void PutUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// The characters of a host file name, or false when its encoding is broken.
#ifdef _WIN32
bool Characters(const std::wstring& units, std::vector<char32_t>* out) {
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
#else
bool Characters(const std::string& bytes, std::vector<char32_t>* out) {
  for (std::size_t i = 0; i < bytes.size();) {
    unsigned char lead = static_cast<unsigned char>(bytes[i]);
    int length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || i + length > bytes.size()) return false;
    char32_t c = length == 1 ? lead : lead & (0x3F >> (length - 1));
    for (int k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < kLeast[length] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return false;
    out->push_back(c);
    i += length;
  }
  return true;
}
#endif

// Fills what each byte of the code page stands for (kNone where nothing);
// false with *error set when the system cannot convert it or some character
// takes more than one byte.
bool ReadCodePage(unsigned number, char32_t* characters, std::string* error) {
  const std::string multiByte =
      "code page " + std::to_string(number) +
      " has characters of more than one byte; the installer reads names one byte at a time";
#ifdef _WIN32
  CPINFO info;
  if (!GetCPInfo(number, &info)) {
    *error = "code page " + std::to_string(number) + " is not known to Windows";
    return false;
  }
  if (info.MaxCharSize != 1) {
    *error = multiByte;
    return false;
  }
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    wchar_t out[2];
    int got = MultiByteToWideChar(number, MB_ERR_INVALID_CHARS, &in, 1, out, 2);
    characters[b] = got == 1 ? static_cast<char16_t>(out[0]) : kNone;
  }
#else
  iconv_t converter = iconv_open("UTF-32LE", ("CP" + std::to_string(number)).c_str());
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    *error = "code page " + std::to_string(number) + " is not known to this system's iconv";
    return false;
  }
  bool single = true;
  for (int b = 0; b < 256; ++b) {
    char in = static_cast<char>(b);
    unsigned char out[8];
    char* inAt = &in;
    char* outAt = reinterpret_cast<char*>(out);
    std::size_t inLeft = 1;
    std::size_t outLeft = sizeof out;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    characters[b] = kNone;
    if (iconv(converter, &inAt, &inLeft, &outAt, &outLeft) == static_cast<std::size_t>(-1)) {
      if (errno == EINVAL) single = false;  // a lead byte, waiting for more
    } else if (sizeof out - outLeft == 4) {
      characters[b] = out[0] | out[1] << 8 | out[2] << 16 | static_cast<char32_t>(out[3]) << 24;
    }
  }
  iconv_close(converter);
  if (!single) {
    *error = multiByte;
    return false;
  }
#endif
  return true;
}

// The capital of a letter, as Windows' file systems compare names.
bool UpperCase(char32_t c, char32_t* upper, std::string* error) {
#ifdef _WIN32
  (void)error;
  wchar_t in = static_cast<wchar_t>(c);
  wchar_t out = in;
  if (c < 0x10000) LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, &in, 1, &out, 1);
  *upper = static_cast<char16_t>(out);
#else
  static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (unicode == static_cast<locale_t>(0)) {
    *error = "cannot compare letter case outside ASCII: the C.UTF-8 locale is missing";
    return false;
  }
  *upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), unicode));
#endif
  return true;
}

}  // namespace

CodePage::CodePage() {
  for (int b = 0; b < 256; ++b) {
    characters_[b] = b < 0x80 ? static_cast<char32_t>(b) : kNone;
    upper_[b] = static_cast<unsigned char>(b >= 'a' && b <= 'z' ? b - 'a' + 'A' : b);
  }
}

bool CodePage::Select(const std::string& value, std::string* error) {
  if (value.empty() || value.size() > 5 ||
      value.find_first_not_of("0123456789") != std::string::npos || std::stoul(value) == 0 ||
      std::stoul(value) > 65535) {
    *error = "not a code page number (such as 1251)";
    return false;
  }
  unsigned number = static_cast<unsigned>(std::stoul(value));
  char32_t characters[256];
  if (!ReadCodePage(number, characters, error)) return false;
  for (char32_t b = 0; b < 0x80; ++b) {
    if (characters[b] != b) {
      *error =
          "code page " + value + " does not keep ASCII as it is, as Windows' ANSI code pages do";
      return false;
    }
  }
  std::map<char32_t, unsigned char> bytes;
  for (int b = 0x80; b < 256; ++b) {
    char32_t c = characters[b];
    // Control characters and private-use stand-ins are what the converters
    // give for bytes the code page leaves undefined.
    if ((c >= 0x80 && c < 0xA0) || (c >= 0xE000 && c < 0xF900)) c = characters[b] = kNone;
    if (c != kNone) bytes.emplace(c, static_cast<unsigned char>(b));
  }
  unsigned char upper[256];
  for (int b = 0; b < 256; ++b) {
    upper[b] = upper_[b];
    if (b < 0x80 || characters[b] == kNone) continue;
    char32_t capital = 0;
    if (!UpperCase(characters[b], &capital, error)) return false;
    auto found = bytes.find(capital);
    if (capital < 0x80) {
      upper[b] = static_cast<unsigned char>(capital);
    } else if (found != bytes.end()) {
      upper[b] = found->second;
    }
  }
  number_ = number;
  std::copy(characters, characters + 256, characters_);
  std::copy(upper, upper + 256, upper_);
  bytes_.swap(bytes);
  return true;
}

bool CodePage::ToArchive(const std::filesystem::path& component, std::string* out,
                         std::string* problem) const {
  out->clear();
  std::vector<char32_t> characters;
  for (auto unit : component.native()) {
    if (number_ == 0 && static_cast<std::make_unsigned<decltype(unit)>::type>(unit) >= 0x80) {
      *problem = kNotAsciiProblem;
      return false;
    }
  }
  if (!Characters(component.native(), &characters)) {
#ifdef _WIN32
    *problem = "the name is not valid UTF-16";
#else
    *problem = "the name is not valid UTF-8, which the tools read names in";
#endif
    return false;
  }
  for (char32_t c : characters) {
    auto found = bytes_.find(c);
    if (c >= 0x80 && found == bytes_.end()) {
      *problem = "the name holds U+" + Hex(static_cast<unsigned>(c), c > 0xFFFF ? 6 : 4) +
                 ", which code page " + std::to_string(number_) + " cannot hold";
      return false;
    }
    *out += static_cast<char>(c < 0x80 ? c : found->second);
  }
  return true;
}

bool CodePage::ToUtf8(const std::string& name, std::string* out) const {
  out->clear();
  for (unsigned char b : name) {
    if (b != 0 && characters_[b] == kNone) return false;
    PutUtf8(characters_[b], out);
  }
  return true;
}

std::string CodePage::BytesProblem(const std::string& name) const {
  for (unsigned char b : name) {
    if (b == 0 || characters_[b] != kNone) continue;
    if (number_ == 0) return kNotAsciiProblem;
    return "byte 0x" + Hex(b, 2) + " is no character of code page " + std::to_string(number_);
  }
  return std::string();
}

std::string CodePage::Fold(const std::string& name) const {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(upper_[static_cast<unsigned char>(c)]);
  return folded;
}

const CodePage& AsciiNames() {
  static const CodePage ascii;
  return ascii;
}
