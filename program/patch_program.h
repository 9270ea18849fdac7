// A Patch.exe made from the installer's stub, with no compiler: the stub's
// own resources and bytes, the patch archive as the resource the installer
// looks for, and optionally another version.
#ifndef PROGRAM_PATCH_PROGRAM_H
#define PROGRAM_PATCH_PROGRAM_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

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

// The dialog's version line as the program shows it, "Version: 1.00.001"
// (string 104), in UTF-8; empty when it has none.
std::string VersionLine(PeImage& program);

// The archive of size bytes, which write streams into the program, and its
// check, summed as the archive streams by: the archive is read once and is
// never whole in memory.
void PutArchive(PeImage& stub, std::uint64_t size, std::function<bool(OutputSink&)> write);

// What a program carries for the installer to extract.
struct CarriedArchive {
  bool carried = false;  // false: the program carries no patch
  // Where the archive's bytes lie in the file.
  std::uint64_t offset = 0, size = 0;
  std::string version;  // the version line, "Version: 1.00.001"; empty when it has none
  // The check of the archive it carries beside it, when it carries one.
  bool checked = false;
  std::vector<unsigned char> check;
};

// Reads the program at path in place, as build reads a stub, and says where
// its archive resource lies. False, with *problem saying why, when it cannot
// be read or is not a program build takes; a program without the archive
// resource is one that carries no patch.
bool ReadCarriedArchive(const std::filesystem::path& path, CarriedArchive* archive,
                        std::string* problem);

#endif  // PROGRAM_PATCH_PROGRAM_H
