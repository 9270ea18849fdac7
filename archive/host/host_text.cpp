#include "host_text.h"

#include <cstdio>

namespace {

bool g_utf8 = false;

// Characters a terminal acts on or that reorder or split what is shown: C1
// controls, line and paragraph separators, direction marks and overrides.
bool Printed(char32_t c) {
  return !(c < 0xA0 || c == 0x2028 || c == 0x2029 || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069));
}

}  // namespace

std::string Hex(std::uint32_t value, int digits, bool capitals) {
  const char* symbols = capitals ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += symbols[(value >> shift) & 15];
  return text;
}

void SetUtf8Text(bool utf8) { g_utf8 = utf8; }

std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[at]);
    char32_t character = 0;
    std::size_t length = c >= 0x80 && g_utf8 ? Utf8Character(text, at, &character) : 0;
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else if (length != 0 && Printed(character)) {
      out.append(text, at, length);
      at += length;
      continue;
    } else {
      out += "\\x" + Hex(c, 2, false);
    }
    ++at;
  }
  return out;
}

std::size_t Utf8Character(const std::string& text, std::size_t at, char32_t* c) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || at + length > text.size()) return 0;
  char32_t value = length == 1 ? lead : lead & (0x3F >> (length - 1));
  for (std::size_t k = 1; k < length; ++k) {
    unsigned char next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value < 0xE000)) return 0;
  *c = value;
  return length;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
    return;
  }
  static const unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
  int tail = c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
  *out += static_cast<char>(kLead[tail] | (c >> (6 * tail)));
  for (int k = tail - 1; k >= 0; --k) *out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
}

std::string SizeText(std::uint64_t bytes) {
  if (bytes < (1 << 20)) return std::to_string(bytes) + " bytes";
  char mebibytes[32];
  std::snprintf(mebibytes, sizeof mebibytes, "%.1f", static_cast<double>(bytes) / (1 << 20));
  return std::to_string(bytes) + " bytes (" + mebibytes + " MiB)";
}
