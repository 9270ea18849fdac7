#include "host_text.h"

#include <cstdio>

std::string Hex(std::uint32_t value, int digits, bool capitals) {
  const char* symbols = capitals ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += symbols[(value >> shift) & 15];
  return text;
}

std::string Printable(const std::string& text, bool utf8) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c >= 0x20 && c < 0x7F) || (utf8 && c >= 0x80)) {
      out += static_cast<char>(c);
    } else {
      out += "\\x" + Hex(c, 2, false);
    }
  }
  return out;
}

std::string SizeText(std::uint64_t bytes) {
  if (bytes < (1 << 20)) return std::to_string(bytes) + " bytes";
  char mebibytes[32];
  std::snprintf(mebibytes, sizeof mebibytes, "%.1f", static_cast<double>(bytes) / (1 << 20));
  return std::to_string(bytes) + " bytes (" + mebibytes + " MiB)";
}
