// How names travel between the host's file names and the archive's bytes.
// The installer hands an archive name straight to Windows' ANSI file
// functions, so its bytes must be in the player's ANSI code page: plain ASCII
// by default, or a single-byte Windows code page chosen with --codepage.
#ifndef ARCHIVE_HOST_CODE_PAGE_H
#define ARCHIVE_HOST_CODE_PAGE_H

#include <filesystem>
#include <map>
#include <string>

class CodePage {
 public:
  // ASCII only, as without --codepage.
  CodePage();

  // Takes --codepage's value; false with *error set when it is no number or
  // names a code page the tools cannot use.
  bool Select(const std::string& value, std::string* error);

  // 0 for ASCII only.
  unsigned number() const { return number_; }

  // A host file name component (UTF-8 on POSIX, UTF-16 on Windows) as the
  // archive's bytes; false with *problem set when the code page cannot hold it.
  bool ToArchive(const std::filesystem::path& component, std::string* out,
                 std::string* problem) const;

  // Archive bytes as UTF-8; false when a byte is no character of the code page.
  bool ToUtf8(const std::string& name, std::string* out) const;

  // Archive bytes as the host's file functions take the name (UTF-8 on POSIX,
  // the system's ANSI code page on Windows); false with *problem set when
  // they are no text of the code page or the host cannot hold it.
  bool ToHostName(const std::string& name, std::string* out, std::string* problem) const;

  // Why these archive bytes are no text of the code page, or empty.
  std::string BytesProblem(const std::string& name) const;

  // The name in capitals, letter by letter, as Windows compares file names.
  std::string Fold(const std::string& name) const;

  // Archive bytes as messages show them: the code page's text where they are
  // one, else the bytes; made printable.
  std::string Shown(const std::string& name) const;

 private:
  unsigned number_ = 0;
  char32_t characters_[256];  // what each byte stands for; 0 for none but byte 0
  std::map<char32_t, unsigned char> bytes_;
  unsigned char upper_[256];
};

// The code page of names without --codepage.
const CodePage& AsciiNames();

// Why a host name with characters outside ASCII is refused without --codepage.
extern const char kNotAsciiProblem[];

#endif  // ARCHIVE_HOST_CODE_PAGE_H
