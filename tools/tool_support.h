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

// Prints "patchpack: SUBJECT: REASON" on stderr as one line.
void PrintError(const std::string& subject, const std::string& reason);

// A name made safe to print on one line: bytes outside printable ASCII become
// \xNN, so a hostile name cannot break or forge a line of output.
std::string Printable(const std::string& text);

// The text of a Win32 error code as the core's file functions report it.
std::string SystemErrorText(DWORD code);

// The text of errno, for the C library's file functions.
std::string ErrnoText(int error);

// The size of a regular file, or false (with *error set) when there is none.
bool FileSize(const std::string& path, std::uint64_t* size, std::string* error);

// fopen for a path that may hold characters outside the ANSI code page.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

// True when stderr is a terminal, where a progress bar is worth drawing.
bool StderrIsTerminal();

// A host path as text for messages, whatever its encoding.
std::string PathText(const std::filesystem::path& path);

#endif  // TOOLS_TOOL_SUPPORT_H
