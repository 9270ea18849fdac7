// What CodePage needs from the host, one source file per platform.
#ifndef ARCHIVE_HOST_CODE_PAGE_PLATFORM_H
#define ARCHIVE_HOST_CODE_PAGE_PLATFORM_H

#include <filesystem>
#include <string>
#include <vector>

// What a byte that stands for no character maps to.
const char32_t kNoCharacter = 0;

// The characters of a host file name (UTF-8 on POSIX, UTF-16 on Windows), or
// false when its encoding is broken; BrokenNameProblem() says so in words.
bool HostCharacters(const std::filesystem::path::string_type& name, std::vector<char32_t>* out);
const char* BrokenNameProblem();

// UTF-8 text as the host's file functions take a name: the same bytes on
// POSIX; on Windows, whose core calls the ANSI functions, the system's ANSI
// code page, false with *problem set when that page cannot hold the name.
bool HostFileName(const std::string& text, std::string* out, std::string* problem);

// Fills what each byte of the code page stands for (kNoCharacter where
// nothing); false with *error set when the system cannot convert it or some
// character takes more than one byte.
bool ReadCodePage(unsigned number, char32_t* characters, std::string* error);

// The capital of a letter, as Windows' file systems compare names.
bool UpperCase(char32_t c, char32_t* upper, std::string* error);

// Why a code page has characters of more than one byte.
std::string MultiByteProblem(unsigned number);

#endif  // ARCHIVE_HOST_CODE_PAGE_PLATFORM_H
