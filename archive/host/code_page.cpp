#include "code_page.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "code_page_platform.h"
#include "host_text.h"

namespace {

const char32_t kNone = kNoCharacter;

}  // namespace

const char kNotAsciiProblem[] =
    "the name is not plain ASCII (the installer uses the ANSI code page; see --codepage)";

std::string MultiByteProblem(unsigned number) {
  return "code page " + std::to_string(number) +
         " has characters of more than one byte; the installer reads names one byte at a time";
}

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
  if (!HostCharacters(component.native(), &characters)) {
    *problem = BrokenNameProblem();
    return false;
  }
  for (char32_t c : characters) {
    auto found = bytes_.find(c);
    if (c >= 0x80 && found == bytes_.end()) {
      *problem = "the name holds U+" +
                 Hex(static_cast<std::uint32_t>(c), c > 0xFFFF ? 6 : 4, true) +
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
    AppendUtf8(characters_[b], out);
  }
  return true;
}

bool CodePage::ToHostName(const std::string& name, std::string* out, std::string* problem) const {
  std::string text;
  if (!ToUtf8(name, &text)) {
    *problem = BytesProblem(name);
    return false;
  }
  return HostFileName(text, out, problem);
}

std::string CodePage::BytesProblem(const std::string& name) const {
  for (unsigned char b : name) {
    if (b == 0 || characters_[b] != kNone) continue;
    if (number_ == 0) return kNotAsciiProblem;
    return "byte 0x" + Hex(b, 2, true) + " is no character of code page " + std::to_string(number_);
  }
  return std::string();
}

std::string CodePage::Fold(const std::string& name) const {
  std::string folded(name);
  for (char& c : folded) c = static_cast<char>(upper_[static_cast<unsigned char>(c)]);
  return folded;
}

std::string CodePage::Shown(const std::string& name) const {
  std::string text;
  return Printable(ToUtf8(name, &text) ? text : name);
}

const CodePage& AsciiNames() {
  static const CodePage ascii;
  return ascii;
}
