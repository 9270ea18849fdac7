// patchpack build: a Patch.exe from the installer's prebuilt stub and a
// release folder (or what it changes against old ones), with no compiler.
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "archive_index.h"
#include "code_page.h"
#include "commands.h"
#include "console.h"
#include "host_files.h"
#include "patch_program.h"
#include "release_diff.h"
#include "tree_scan.h"

namespace fs = std::filesystem;

const char kBuildHelp[] =
    "usage: patchpack build [--base OLD]... [--removed FILE] [--codepage N]\n"
    "                       [--version X.YY.ZZZ] [--stub FILE] NEW OUT.exe\n"
    "       patchpack build [--codepage N] [--version X.YY.ZZZ] [--stub FILE]\n"
    "                       --archive ARCHIVE OUT.exe\n"
    "\n"
    "ARCHIVE may be a Patch.exe, for the archive it carries (see 'patchpack\n"
    "list --help'); one whose archive fails its check is damaged and refused.\n"
    "\n"
    "Writes the installer OUT.exe, carrying the archive of the release folder\n"
    "NEW as 'patchpack create' packs it, or with --base what NEW adds or\n"
    "changes against each old release OLD, as 'patchpack diff' packs it (give\n"
    "--base once for each release the players may have; --removed as there).\n"
    "--archive embeds a prebuilt archive as it is, after the checks of\n"
    "'patchpack list'. The archive's bytes go straight into OUT.exe, never\n"
    "whole into memory.\n"
    "\n"
    "The program is the stub, Patch-stub.exe beside patchpack unless --stub\n"
    "names another, with every resource, section and byte kept but the\n"
    "archive and its check (the archive's CRC-32, which the installer tests\n"
    "before it writes anything: a damaged download installs nothing); with\n"
    "--version the dialog shows \"Version: X.YY.ZZZ\" and the version block\n"
    "says X, Y, Y, ZZZ (1.00.002 is 1, 0, 0, 2). The last line printed names\n"
    "the version line OUT.exe shows, the stub's without --version. A stub's\n"
    "signature is removed, saying so: sign OUT.exe afterwards. The same\n"
    "command gives the same bytes on Linux and on Windows.\n"
    "\n"
    "Refused, naming what is wrong and writing nothing: a stub that is not a\n"
    "32-bit Windows GUI program, that Windows would not load, that lacks the\n"
    "installer's dialog or holds what its rebuilt resources would lose, a\n"
    "folder or archive with no files (nothing to patch), an empty or malformed\n"
    "--version, an archive larger than " PATCH_MAX_ARCHIVE_TEXT
    ", an OUT.exe or\n"
    "--removed FILE that is the stub, the --archive, patchpack itself or the\n"
    "other output, or lies inside NEW or an OLD, and whatever create, diff or\n"
    "list refuse. OUT.exe is written beside itself under a temporary name, read\n"
    "back from the disk and checked as Windows would load it (its resources,\n"
    "the archive in its place, the checksum), and renamed into place only when\n"
    "sound.\n"
    "\n"
    "Exit status: 0 when OUT.exe was written, 1 when not, 64 on a usage error.\n";

namespace {

const std::size_t kChunk = 1 << 18;

// An installer that installs nothing is a mistake, as diff refuses it.
// Returns the exit code.
int NothingToPatch(const std::string& input, const char* what, const std::string& output) {
  PrintError(input, std::string("nothing to patch: ") + what + " holds no files; " + output +
                        " not written");
  return 1;
}
// A prebuilt archive copied into the program as it is, from the file or from
// the program that carries it.
bool CopyArchive(const std::string& archive, std::uint64_t offset, std::uint64_t size,
                 OutputSink& out, ByteProgress* progress, HostError* error) {
  ArchiveFileStream in;
  in.SetWindow(offset, size);
  if (!in.Open(archive.c_str(), false)) {
    *error = HostError{archive, "cannot open it: " + SystemErrorText(GetLastError())};
    return false;
  }
  std::vector<unsigned char> buffer(kChunk);
  bool copied = true;
  for (std::uint64_t left = size; copied && left != 0;) {
    std::uint32_t chunk = left < kChunk ? static_cast<std::uint32_t>(left) : kChunk;
    if (in.Read(buffer.data(), chunk) != chunk) {
      *error = HostError{archive, "cannot read it: it changed while being copied, or " +
                                      SystemErrorText(GetLastError())};
      copied = false;
    } else {
      copied = out.Write(buffer.data(), chunk);
      progress->Add(chunk);
      left -= chunk;
    }
  }
  in.Close();
  return copied;
}

// A prebuilt archive, or the one a Patch.exe carries, after list's checks;
// false after reporting.
bool CheckedArchive(const std::string& archive, const CodePage& codePage, std::uint64_t* offset,
                    std::uint64_t* size, std::uint32_t* files) {
  ArchiveFileStream stream;
  ArchiveIndex index;
  if (OpenIndexed(archive, &stream, &index) != 0) return false;
  stream.Close();
  if (!CheckEntries(archive, index, codePage)) return false;
  *offset = stream.windowOffset();
  *size = index.archiveSize();
  *files = index.count();
  return true;
}

}  // namespace

int RunBuild(const Arguments& arguments) {
  Arguments operands;
  std::vector<std::string> bases, versions;
  std::string removedPath, codePageNumber, versionText, stubPath, archive;
  int parsed = ParseOperands("build", kBuildHelp, arguments, 1, 2, &operands,
                             {{"--base", nullptr, &bases},
                              {"--removed", &removedPath},
                              {"--codepage", &codePageNumber},
                              {"--version", &versionText, &versions},
                              {"--stub", &stubPath},
                              {"--archive", &archive}});
  if (parsed >= 0) return parsed;
  if (operands.size() != (archive.empty() ? 2u : 1u) ||
      (!archive.empty() && (!bases.empty() || !removedPath.empty()))) {
    PrintError("build", archive.empty() ? "give NEW and OUT.exe (see 'patchpack build --help')"
                                        : "--archive takes the place of NEW, --base and "
                                          "--removed (see 'patchpack build --help')");
    return kUsageExit;
  }
  CodePage codePage;
  if (!SelectCodePage(codePageNumber, &codePage)) return kUsageExit;
  PatchVersion version;
  std::string problem;
  // Given, even empty, it must say a version: an unset variable in a script
  // must not ship the stub's.
  if (!versions.empty() && !ParseVersion(versionText, &version, &problem)) {
    PrintError("--version \"" + Printable(versionText) + "\"", problem);
    return kUsageExit;
  }
  const std::string& output = operands.back();
  if (archive.empty() && !InOrder("build", "NEW OUT.exe", output, operands[0])) return kUsageExit;
  fs::path stubFile =
      stubPath.empty() ? ProgramFile().parent_path() / "Patch-stub.exe" : ArgumentPath(stubPath);
  std::string stubName = stubPath.empty() ? PathText(stubFile) : stubPath;
  std::vector<NamedPath> trees;
  if (archive.empty()) {
    for (const std::string& base : bases) {
      trees.push_back({ArgumentPath(base), "the old release's folder"});
    }
    trees.push_back({ArgumentPath(operands[0]),
                     bases.empty() ? "the folder being packed" : "the new release's folder"});
  }
  if (!ReadyToWrite(trees,
                    {{ArgumentPath(output), "the program"},
                     {ArgumentPath(removedPath), "the list of removed files"}},
                    {{stubFile, "the stub"}, {ArgumentPath(archive), "the archive it carries"}})) {
    return 1;
  }

  std::shared_ptr<ByteSource> stubSource;
  PeImage stub;
  if (!OpenFileSource(stubFile, &stubSource, &problem)) {
    if (stubPath.empty())
      problem = "the installer's stub is not beside patchpack (--stub names one): " + problem;
    PrintError(stubName, problem);
    return 1;
  }
  if (!stub.Read(std::move(stubSource), &problem) || !(problem = StubProblem(stub)).empty()) {
    PrintError(stubName, problem);
    return 1;
  }
  if (!versions.empty() && !SetVersion(stub, version, &problem)) {
    PrintError(stubName, problem);
    return 1;
  }

  // What the archive will hold, refused before anything is written.
  ByteProgress progress;
  ReleaseDiff diff;
  std::uint64_t archiveSize = 0, archiveOffset = 0;
  if (!archive.empty()) {
    std::uint32_t files = 0;
    if (!CheckedArchive(archive, codePage, &archiveOffset, &archiveSize, &files)) return 1;
    if (files == 0) return NothingToPatch(archive, "the archive", output);
    progress.Expect(archiveSize);
  } else if (!bases.empty()) {
    std::vector<fs::path> oldRoots(bases.begin(), bases.end());
    if (!DiffReleases(oldRoots, fs::path(operands[0]), codePage, "build", output, removedPath,
                      &progress, &diff)) {
      return 1;
    }
  } else {
    if (!ScanPackedFolder(operands[0], output, "build", codePage, &diff.patch)) return 1;
    if (diff.patch.empty()) return NothingToPatch(operands[0], "the folder", output);
    for (const PackFile& file : diff.patch) progress.Expect(file.size);
  }
  if (archive.empty()) archiveSize = ArchiveSize(diff.patch);
  std::string tooLarge = ArchiveSizeProblem(archiveSize);
  if (!tooLarge.empty()) {
    PrintError(output, "not written: the archive " + tooLarge);
    return 1;
  }

  HostError archiveError;
  PutArchive(stub, archiveSize, [&](OutputSink& out) {
    if (!archive.empty())
      return CopyArchive(archive, archiveOffset, archiveSize, out, &progress, &archiveError);
    return WriteArchiveTo(
        out, diff.patch, [&](std::uint64_t bytes) { progress.Add(bytes); }, &archiveError);
  });
  if (stub.HasSignature()) {
    stub.RemoveSignature();
    PrintError(stubName, "warning: its signature is removed; sign " + output + " afterwards");
  }
  OutputFile out("the program");
  HostError error;
  if (!out.Create(output, &error)) {
    PrintError(error);
    return 1;
  }
  bool written = stub.Write(out, &problem);
  EndProgress();
  if (!written) {
    PrintError(!archiveError.subject.empty() ? archiveError
               : out.failed()                ? out.WriteError()
                                             : HostError{output, problem});
    return 1;
  }
  // Never report a broken program as built: what was written is read back
  // from the disk as Windows would load it, before it takes the name.
  std::shared_ptr<ByteSource> readBack;
  if (!OpenFileSource(ArgumentPath(out.temporary()), &readBack, &problem) ||
      !stub.CheckWritten(std::move(readBack), &problem)) {
    PrintError(output, "not written: " + problem);
    return 1;
  }
  std::uint64_t outputSize = stub.OutputSize();
  std::string line = VersionLine(stub);
  stub = PeImage();  // closes the stub, which the output may replace
  if (!out.Commit(&error)) {
    PrintError(error);
    return 1;
  }
  if (!bases.empty()) std::printf("%s\n", DiffSummary(diff).c_str());
  std::printf("%s: %s, archive %s; it shows %s%s\n", Printable(output).c_str(),
              SizeText(outputSize).c_str(), SizeText(archiveSize).c_str(),
              line.empty() ? "no version line" : ("\"" + Printable(line) + "\"").c_str(),
              versions.empty() ? ", the stub's (--version sets another)" : "");
  return 0;
}
