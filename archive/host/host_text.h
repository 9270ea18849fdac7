// Text for messages about archives and host files: hexadecimal, printable
// names, sizes. Builds strings only; nothing here prints.
#ifndef ARCHIVE_HOST_HOST_TEXT_H
#define ARCHIVE_HOST_HOST_TEXT_H

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

// A name made safe to print on one line: bytes outside printable ASCII become
// \xNN, so a hostile name cannot break or forge a line of output. With utf8,
// bytes from 0x80 up are kept: for text known to be valid UTF-8.
std::string Printable(const std::string& text, bool utf8 = false);

// "1073741824 bytes (1024.0 MiB)"; "142 bytes" below a mebibyte.
std::string SizeText(std::uint64_t bytes);

#endif  // ARCHIVE_HOST_HOST_TEXT_H
