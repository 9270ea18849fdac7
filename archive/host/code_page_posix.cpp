// Code pages through iconv, letter case through the C.UTF-8 locale.
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <cerrno>

#include "code_page_platform.h"
#include "host_text.h"

bool HostCharacters(const std::string& bytes, std::vector<char32_t>* out) {
  for (std::size_t i = 0; i < bytes.size();) {
    char32_t c = 0;
    std::size_t length = Utf8Character(bytes, i, &c);
    if (length == 0) return false;
    out->push_back(c);
    i += length;
  }
  return true;
}

const char* BrokenNameProblem() {
  return "the name is not valid UTF-8, which the tools read names in";
}

bool HostFileName(const std::string& text, std::string* out, std::string*) {
  *out = text;
  return true;
}

bool ReadCodePage(unsigned number, char32_t* characters, std::string* error) {
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
    characters[b] = kNoCharacter;
    if (iconv(converter, &inAt, &inLeft, &outAt, &outLeft) == static_cast<std::size_t>(-1)) {
      if (errno == EINVAL) single = false;  // a lead byte, waiting for more
    } else if (sizeof out - outLeft == 4) {
      characters[b] = out[0] | out[1] << 8 | out[2] << 16 | static_cast<char32_t>(out[3]) << 24;
    }
  }
  iconv_close(converter);
  if (!single) {
    *error = MultiByteProblem(number);
    return false;
  }
  return true;
}

bool UpperCase(char32_t c, char32_t* upper, std::string* error) {
  static locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  if (unicode == static_cast<locale_t>(0)) {
    *error = "cannot compare letter case outside ASCII: the C.UTF-8 locale is missing";
    return false;
  }
  *upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), unicode));
  return true;
}
