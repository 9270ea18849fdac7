// A Patch.exe made from the installer's stub, with no compiler: the stub's
// own resources and bytes, the patch archive as the resource the installer
// looks for, and optionally another version.
#ifndef PROGRAM_PATCH_PROGRAM_H
#define PROGRAM_PATCH_PROGRAM_H

#include <cstdint>
#include <functional>
#include <string>

#include "output_sink.h"
#include "pe_image.h"

// "1.00.002": the installer's dialog shows it as "Version: 1.00.002", and the
// version block holds 1, 0, 0, 2 (the two digits in the middle are the minor
// and patch numbers).
struct PatchVersion {
  std::string text;
  std::uint16_t parts[4];
};

// False with *problem set when text is not of that form or does not fit the
// version block's 16-bit numbers.
bool ParseVersion(const std::string& text, PatchVersion* version, std::string* problem);

// Empty when the image is the installer's stub (or a Patch.exe, whose archive
// is replaced), else why not.
std::string StubProblem(PeImage& stub);

// Sets the dialog's version line and the version block's numbers; false with
// *problem set when the stub's blocks are damaged.
bool SetVersion(PeImage& stub, const PatchVersion& version, std::string* problem);

// The archive of size bytes, which write streams into the program, and its
// check, summed as the archive streams by: the archive is read once and is
// never whole in memory.
void PutArchive(PeImage& stub, std::uint64_t size, std::function<bool(OutputSink&)> write);

#endif  // PROGRAM_PATCH_PROGRAM_H
