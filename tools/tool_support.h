// Helpers shared by the release tools: messages, host files, error texts.
#ifndef TOOLS_TOOL_SUPPORT_H
#define TOOLS_TOOL_SUPPORT_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform_files.h"

// Exit code for a command line that cannot be understood. Kept apart from 1 to
// 5, which extract passes on from the extractor.
const int kUsageExit = 64;

// Prints "patchpack: SUBJECT: REASON" on stderr as one line, above the
// progress bar if one is drawn.
void PrintError(const std::string& subject, const std::string& reason);

// Draws "[####....]  42%" on stderr when it is a terminal, in place.
void ShowProgress(std::uint32_t percent);
// Ends the bar's line, if one is drawn.
void EndProgress();

// A name made safe to print on one line: bytes outside printable ASCII become
// \xNN, so a hostile name cannot break or forge a line of output. With utf8,
// bytes from 0x80 up are kept: for text known to be valid UTF-8.
std::string Printable(const std::string& text, bool utf8 = false);

// "1073741824 bytes (1024.0 MiB)"; "142 bytes" below a mebibyte.
std::string SizeText(std::uint64_t bytes);

// The text of a Win32 error code as the core's file functions report it.
std::string SystemErrorText(DWORD code);

// The text of errno, for the C library's file functions.
std::string ErrnoText(int error);

// The size of a regular file, or false (with *error set) when there is none.
bool FileSize(const std::filesystem::path& path, std::uint64_t* size, std::string* error);

// A path from the command line as the host's file functions name it: on
// Windows, arguments arrive in the ANSI code page.
std::filesystem::path ArgumentPath(const std::string& argument);

// fopen for a path that may hold characters outside the ANSI code page.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// True when stderr is a terminal, where a progress bar is worth drawing.
bool StderrIsTerminal();

// A host path as text for messages, whatever its encoding.
std::string PathText(const std::filesystem::path& path);

#endif  // TOOLS_TOOL_SUPPORT_H
