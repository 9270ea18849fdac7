// patchpack diff: packs what a new release of the game adds or changes
// against the old ones, the files a patch must carry.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "code_page.h"
#include "commands.h"
#include "console.h"
#include "release_diff.h"
#include "tree_scan.h"

namespace fs = std::filesystem;

const char kDiffHelp[] =
    "usage: patchpack diff [--removed FILE] [--codepage N] OLD... NEW ARCHIVE\n"
    "\n"
    "Packs into ARCHIVE the files of the new release NEW that an old release OLD\n"
    "does not have or has with other bytes, laid out as 'patchpack create' lays\n"
    "out an archive. Given several old releases, it makes one patch that takes\n"
    "each of them to NEW: a file is left out only when every OLD holds exactly\n"
    "its bytes, and each file of NEW is read once however many are compared.\n"
    "Names are compared as Windows compares them, without regard to letter case:\n"
    "a file renamed only in case keeps counting as the same file, and is packed,\n"
    "under its new name, only if its bytes changed. Files of one name are\n"
    "compared by size, then byte for byte, never by time. The folders are read\n"
    "with create's rules and refusals (see 'patchpack create --help'; --codepage\n"
    "is the same option), and ARCHIVE is written beside itself under a temporary\n"
    "name and renamed into place when complete. Refused too is an added file\n"
    "where an OLD has a file by the name of one of its folders, or a folder by\n"
    "its own name: the installer cannot replace a file with a folder or a folder\n"
    "with a file.\n"
    "\n"
    "Files of an OLD that NEW no longer has are removed files. The installer\n"
    "never deletes anything, so they are listed on stderr as a warning, with the\n"
    "releases that hold them, and, with --removed FILE, written to FILE once each,\n"
    "one name a line (UTF-8, '\\' between folders); they never make the command\n"
    "fail. Neither ARCHIVE nor FILE may lie inside a release's folder, be\n"
    "patchpack itself or the other.\n"
    "\n"
    "Prints one line: how many files were added (in no OLD), changed, unchanged\n"
    "(the same in every OLD) and removed, and the archive's size. A progress bar\n"
    "is drawn on stderr when it is a terminal.\n"
    "\n"
    "Exit status: 0 when ARCHIVE was written, 1 when not (also when NEW holds\n"
    "nothing that an OLD lacks: nothing to patch), 64 on a usage error.\n";

int RunDiff(const Arguments& arguments) {
  Arguments operands;
  std::string codePageNumber;
  std::string removedPath;
  int parsed = ParseOperands("diff", kDiffHelp, arguments, 3, SIZE_MAX, &operands,
                             {{"--codepage", &codePageNumber}, {"--removed", &removedPath}});
  if (parsed >= 0) return parsed;
  CodePage codePage;
  if (!SelectCodePage(codePageNumber, &codePage)) return kUsageExit;
  const std::string& archive = operands.back();
  fs::path newRoot(operands[operands.size() - 2]);
  std::vector<fs::path> oldRoots(operands.begin(), operands.end() - 2);

  if (!InOrder("diff", "OLD... NEW ARCHIVE", archive, operands[0])) return kUsageExit;
  std::vector<NamedPath> trees;
  for (const fs::path& root : oldRoots) trees.push_back({root, "the old release's folder"});
  trees.push_back({newRoot, "the new release's folder"});
  if (!ReadyToWrite(trees, {{ArgumentPath(archive), "the archive"},
                            {ArgumentPath(removedPath), "the list of removed files"}})) {
    return 1;
  }

  ByteProgress progress;
  ReleaseDiff diff;
  if (!DiffReleases(oldRoots, newRoot, codePage, "diff", archive, removedPath, &progress, &diff)) {
    return 1;
  }
  bool written =
      WriteArchiveReporting(archive, diff.patch, [&](std::uint64_t bytes) { progress.Add(bytes); });
  EndProgress();
  if (!written) return 1;
  std::printf("%s\n", DiffSummary(diff).c_str());
  return 0;
}
