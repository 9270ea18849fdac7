// Text for messages about archives and host files: hexadecimal, printable
// names, sizes. Builds strings only; nothing here prints.
#ifndef ARCHIVE_HOST_HOST_TEXT_H
#define ARCHIVE_HOST_HOST_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>

// A failure for the host program to report: what it concerns (a file, an
// option) and why. The host library returns these and prints nothing.
struct HostError {
  std::string subject;
  std::string reason;
};

// value as exactly digits hexadecimal digits, in capitals or small letters.
std::string Hex(std::uint32_t value, int digits, bool capitals);

// Whether the program's messages are read as UTF-8 (its locale says so); set
// once by the program, before any message is built. Off, names are ASCII.
void SetUtf8Text(bool utf8);

// A name made safe to print on one line, as its user would type it: with UTF-8
// text, every printable character is kept; any other byte (controls, line and
// direction marks, bytes that are no UTF-8) becomes \xNN, so a hostile name
// cannot break or forge a line of output.
std::string Printable(const std::string& text);

// The length of the valid UTF-8 sequence at text[at], its character in *c; 0
// when none starts there (a stray or overlong byte, a surrogate).
std::size_t Utf8Character(const std::string& text, std::size_t at, char32_t* c);

// Appends c in UTF-8.
void AppendUtf8(char32_t c, std::string* out);

// "1073741824 bytes (1024.0 MiB)"; "142 bytes" below a mebibyte.
std::string SizeText(std::uint64_t bytes);

#endif  // ARCHIVE_HOST_HOST_TEXT_H
