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
    "says X, Y, Y, ZZZ (1.00.002 is 1, 0, 0, 2). A stub's signature is\n"
    "removed, saying so: sign OUT.exe afterwards. The same command gives the\n"
    "same bytes on Linux and on Windows.\n"
    "\n"
    "Refused, naming what is wrong and writing nothing: a stub that is not a\n"
    "32-bit Windows GUI program or lacks the installer's dialog, an archive\n"
    "larger than " PATCH_MAX_ARCHIVE_TEXT
    ", and whatever create, diff or list refuse. OUT.exe is\n"
    "written beside itself under a temporary name and renamed into place when\n"
    "complete.\n"
    "\n"
    "Exit status: 0 when OUT.exe was written, 1 when not, 64 on a usage error.\n";

namespace {

const std::size_t kChunk = 1 << 18;

bool ReadWhole(const fs::path& path, std::vector<unsigned char>* bytes, std::string* error) {
  std::uint64_t size = 0;
  if (!FileSize(path, &size, error)) return false;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenFile(path, "rb"), std::fclose);
  if (!in) {
    *error = "cannot open it: " + ErrnoText(errno);
    return false;
  }
  bytes->resize(static_cast<std::size_t>(size));
  if (size != 0 && std::fread(bytes->data(), 1, bytes->size(), in.get()) != bytes->size()) {
    *error = "cannot read it: " + ErrnoText(errno);
    return false;
  }
  return true;
}

// A prebuilt archive copied into the program as it is.
bool CopyArchive(const std::string& archive, std::uint64_t size, OutputSink& out,
                 ByteProgress* progress, HostError* error) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenFile(ArgumentPath(archive), "rb"),
                                                     std::fclose);
  if (!in) {
    *error = HostError{archive, "cannot open it: " + ErrnoText(errno)};
    return false;
  }
  std::setvbuf(in.get(), nullptr, _IONBF, 0);
  std::vector<unsigned char> buffer(kChunk);
  for (std::uint64_t left = size; left != 0;) {
    std::size_t chunk = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
    if (std::fread(buffer.data(), 1, chunk, in.get()) != chunk) {
      *error = HostError{archive,
                         "cannot read it: it changed while being copied, or " + ErrnoText(errno)};
      return false;
    }
    if (!out.Write(buffer.data(), chunk)) return false;
    progress->Add(chunk);
    left -= chunk;
  }
  return true;
}

// A prebuilt archive after list's checks; false after reporting.
bool CheckedArchive(const std::string& archive, const CodePage& codePage, std::uint64_t* size) {
  FileDataStream stream;
  ArchiveIndex index;
  if (!OpenIndexed(archive, &stream, &index)) return false;
  stream.Close();
  std::uint32_t faulty = 0;
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    faulty += ReportFault(archive, index, i, codePage, faulty);
  }
  if (ReportFaults(archive, faulty)) return false;
  *size = index.archiveSize();
  return true;
}

}  // namespace

int RunBuild(const Arguments& arguments) {
  Arguments operands;
  std::vector<std::string> bases;
  std::string removedPath, codePageNumber, versionText, stubPath, archive;
  int parsed = ParseOperands("build", kBuildHelp, arguments, 1, 2, &operands,
                             {{"--base", nullptr, &bases},
                              {"--removed", &removedPath},
                              {"--codepage", &codePageNumber},
                              {"--version", &versionText},
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
  if (!versionText.empty() && !ParseVersion(versionText, &version, &problem)) {
    PrintError("--version " + Printable(versionText), problem);
    return kUsageExit;
  }
  const std::string& output = operands.back();
  fs::path stubFile =
      stubPath.empty() ? ProgramFolder() / "Patch-stub.exe" : ArgumentPath(stubPath);
  std::string stubName = stubPath.empty() ? PathText(stubFile) : stubPath;

  std::vector<unsigned char> stubBytes;
  PeImage stub;
  if (!ReadWhole(stubFile, &stubBytes, &problem)) {
    if (stubPath.empty())
      problem = "the installer's stub is not beside patchpack (--stub names one): " + problem;
    PrintError(stubName, problem);
    return 1;
  }
  if (!stub.Read(std::move(stubBytes), &problem) || !(problem = StubProblem(stub)).empty()) {
    PrintError(stubName, problem);
    return 1;
  }
  if (!versionText.empty() && !SetVersion(stub, version, &problem)) {
    PrintError(stubName, problem);
    return 1;
  }

  // What the archive will hold, refused before anything is written.
  ByteProgress progress;
  ReleaseDiff diff;
  std::uint64_t archiveSize = 0;
  if (!archive.empty()) {
    if (!CheckedArchive(archive, codePage, &archiveSize)) return 1;
    progress.Expect(archiveSize);
  } else if (!bases.empty()) {
    std::vector<fs::path> oldRoots(bases.begin(), bases.end());
    if (!DiffReleases(oldRoots, fs::path(operands[0]), codePage, "build", output, removedPath,
                      &progress, &diff)) {
      return 1;
    }
  } else {
    if (!ScanPackedFolder(operands[0], output, "build", codePage, &diff.patch)) return 1;
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
    if (!archive.empty()) return CopyArchive(archive, archiveSize, out, &progress, &archiveError);
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
  if (!out.Commit(&error)) {
    PrintError(error);
    return 1;
  }
  if (!bases.empty()) std::printf("%s\n", DiffSummary(diff).c_str());
  std::printf("%s: %s, archive %s\n", Printable(output).c_str(),
              SizeText(stub.OutputSize()).c_str(), SizeText(archiveSize).c_str());
  return 0;
}
