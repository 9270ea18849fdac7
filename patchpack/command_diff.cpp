// patchpack diff: packs what a new release of the game adds or changes
// against the old one, the files a patch must carry.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "code_page.h"
#include "commands.h"
#include "name_rules.h"
#include "tree_scan.h"
#include "console.h"
#include "host_files.h"

namespace fs = std::filesystem;

const char kDiffHelp[] =
    "usage: patchpack diff [--removed FILE] [--codepage N] OLD NEW ARCHIVE\n"
    "\n"
    "Packs into ARCHIVE the files of the new release NEW that the old release\n"
    "OLD does not have or has with other bytes, laid out as 'patchpack create'\n"
    "lays out an archive. Names are compared as Windows compares them, without\n"
    "regard to letter case: a file renamed only in case keeps counting as the\n"
    "same file, and is packed, under its new name, only if its bytes changed.\n"
    "Files of one name are compared by size, then byte for byte, never by time.\n"
    "Both folders are read with create's rules and refusals (see 'patchpack\n"
    "create --help'; --codepage is the same option), and ARCHIVE is written\n"
    "beside itself under a temporary name and renamed into place when complete.\n"
    "Refused too is an added file where OLD has a file by the name of one of\n"
    "its folders, or a folder by its own name: the installer cannot replace a\n"
    "file with a folder or a folder with a file.\n"
    "\n"
    "Files of OLD that NEW no longer has are removed files. The installer never\n"
    "deletes anything, so they are listed on stderr as a warning and, with\n"
    "--removed FILE, written to FILE one name a line (UTF-8, '\\' between\n"
    "folders); they never make the command fail.\n"
    "\n"
    "Prints one line: how many files were added, changed, unchanged and\n"
    "removed, and the archive's size. A progress bar is drawn on stderr when it\n"
    "is a terminal.\n"
    "\n"
    "Exit status: 0 when ARCHIVE was written, 1 when not (also when NEW holds\n"
    "nothing that OLD lacks: nothing to patch), 64 on a usage error.\n";

namespace {

const std::size_t kChunk = 1 << 16;

// Bytes read and written so far against a total that grows as changed
// files turn up; the bar never moves back.
class Progress {
 public:
  void Expect(std::uint64_t bytes) { total_ += bytes; }
  void Add(std::uint64_t bytes) {
    done_ += bytes;
    std::uint64_t percent = total_ == 0 ? 100 : done_ * 100 / total_;
    if (percent > shown_) shown_ = percent;
    ShowProgress(static_cast<std::uint32_t>(shown_));
  }

 private:
  std::uint64_t total_ = 0;
  std::uint64_t done_ = 0;
  std::uint64_t shown_ = 0;
};

class Comparer {
 public:
  explicit Comparer(Progress* progress) : progress_(progress), old_(kChunk), new_(kChunk) {}

  // Whether two files of one size hold the same bytes; false in *readable
  // after reporting a file that cannot be read.
  bool Same(const PackFile& oldFile, const PackFile& newFile, bool* readable) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> a(OpenFile(oldFile.source, "rb"), std::fclose);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> b(OpenFile(newFile.source, "rb"), std::fclose);
    *readable = a && b;
    if (!*readable) {
      PrintError(PathText(a ? newFile.source : oldFile.source),
                 "cannot open it: " + ErrnoText(errno));
      return false;
    }
    // Whole chunks are read straight into the buffers: no stdio buffer to fill.
    std::setvbuf(a.get(), nullptr, _IONBF, 0);
    std::setvbuf(b.get(), nullptr, _IONBF, 0);
    for (std::uint64_t left = newFile.size; left != 0;) {
      std::size_t chunk = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
      std::size_t gotOld = std::fread(old_.data(), 1, chunk, a.get());
      std::size_t gotNew = std::fread(new_.data(), 1, chunk, b.get());
      if (gotOld != chunk || gotNew != chunk) {
        *readable = false;
        PrintError(PathText(gotOld != chunk ? oldFile.source : newFile.source),
                   "cannot read it: it changed while being compared, or " + ErrnoText(errno));
        return false;
      }
      progress_->Add(chunk);
      if (std::memcmp(old_.data(), new_.data(), chunk) != 0) return false;
      left -= chunk;
    }
    return true;
  }

 private:
  Progress* progress_;
  std::vector<unsigned char> old_;
  std::vector<unsigned char> new_;
};

// Every folder on the way to each name, as Windows compares names.
std::set<std::string> FoldedFolders(const std::vector<PackFile>& files, const CodePage& codePage) {
  std::set<std::string> folders;
  for (const PackFile& file : files) {
    for (const std::string& folder : ParentFolders(codePage.Fold(file.name)))
      folders.insert(folder);
  }
  return folders;
}

// Written as the archive is, so that a failure leaves no half list behind.
bool WriteRemoved(const std::string& path, const std::vector<const PackFile*>& removed,
                  const CodePage& codePage) {
  OutputFile out("the list");
  HostError error;
  if (!out.Create(path, &error)) {
    PrintError(error);
    return false;
  }
  for (const PackFile* file : removed) {
    std::string text;
    codePage.ToUtf8(file->name, &text);
    text += '\n';
    if (!out.Write(text.data(), text.size())) {
      PrintError(out.WriteError());
      return false;
    }
  }
  if (out.Commit(&error)) return true;
  PrintError(error);
  return false;
}

}  // namespace

int RunDiff(const Arguments& arguments) {
  Arguments operands;
  std::string codePageNumber;
  std::string removedPath;
  int parsed = ParseOperands("diff", kDiffHelp, arguments, 3, 3, &operands,
                             {{"--codepage", &codePageNumber}, {"--removed", &removedPath}});
  if (parsed >= 0) return parsed;
  CodePage codePage;
  if (!SelectCodePage(codePageNumber, &codePage)) return kUsageExit;
  fs::path oldRoot(operands[0]);
  fs::path newRoot(operands[1]);
  const std::string& archive = operands[2];
  if (!UsableTree(oldRoot, archive, "the old release's folder") ||
      !UsableTree(newRoot, archive, "the new release's folder")) {
    return 1;
  }

  Refusals refusals("diff");
  std::vector<PackFile> oldFiles = ScanTree(oldRoot, codePage, &refusals);
  std::vector<PackFile> newFiles = ScanTree(newRoot, codePage, &refusals);
  if (refusals.Refused(archive)) return 1;

  std::map<std::string, const PackFile*> oldByName;
  for (const PackFile& file : oldFiles) oldByName.emplace(codePage.Fold(file.name), &file);
  std::set<std::string> oldFolders = FoldedFolders(oldFiles, codePage);

  // Matched by name first: what can fail on names alone fails before any
  // byte is read.
  Progress progress;
  std::vector<const PackFile*> match(newFiles.size(), nullptr);
  std::set<const PackFile*> kept;
  for (std::size_t i = 0; i < newFiles.size(); ++i) {
    const PackFile& file = newFiles[i];
    // Compared when the sizes agree, else packed: either way read once.
    progress.Expect(file.size);
    std::string folded = codePage.Fold(file.name);
    auto found = oldByName.find(folded);
    if (found != oldByName.end()) {
      match[i] = found->second;
      kept.insert(found->second);
      continue;
    }
    if (oldFolders.count(folded) != 0) {
      refusals.Add(PathText(file.source),
                   "the old release has a folder of this name, which the installer cannot "
                   "replace with a file");
    }
    for (const std::string& folder : ParentFolders(folded)) {
      auto blocking = oldByName.find(folder);
      if (blocking != oldByName.end()) {
        refusals.Add(PathText(file.source), "the old release has a file " +
                                                PathText(blocking->second->source) +
                                                " where this needs a folder, which the "
                                                "installer cannot replace with one");
      }
    }
  }
  if (refusals.Refused(archive)) return 1;

  Comparer comparer(&progress);
  std::vector<PackFile> patch;
  std::size_t added = 0;
  std::size_t changed = 0;
  for (std::size_t i = 0; i < newFiles.size(); ++i) {
    const PackFile* old = match[i];
    bool readable = true;
    if (old != nullptr && old->size == newFiles[i].size &&
        comparer.Same(*old, newFiles[i], &readable)) {
      continue;
    }
    if (!readable) return 1;
    ++(old == nullptr ? added : changed);
    patch.push_back(newFiles[i]);
    if (old != nullptr && old->size == newFiles[i].size) progress.Expect(newFiles[i].size);
  }

  std::vector<const PackFile*> removed;
  for (const PackFile& file : oldFiles) {
    if (kept.count(&file) == 0) removed.push_back(&file);
  }
  if (!removed.empty()) {
    PrintError(PathText(oldRoot), "warning: " + std::to_string(removed.size()) +
                                      (removed.size() == 1 ? " file is" : " files are") +
                                      " not in " + PathText(newRoot) +
                                      ", and the installer does not delete anything");
    for (const PackFile* file : removed) PrintError(PathText(file->source), "removed");
  }
  if (!removedPath.empty() && !WriteRemoved(removedPath, removed, codePage)) return 1;
  if (patch.empty()) {
    EndProgress();
    PrintError(PathText(newRoot), "nothing to patch: every file is in " + PathText(oldRoot) +
                                      " with the same bytes; " + archive + " not written");
    return 1;
  }
  bool written =
      WriteArchiveReporting(archive, patch, [&](std::uint64_t bytes) { progress.Add(bytes); });
  EndProgress();
  if (!written) return 1;
  std::printf("%zu added, %zu changed, %zu unchanged, %zu removed; archive %s\n", added, changed,
              newFiles.size() - added - changed, removed.size(),
              SizeText(ArchiveSize(patch)).c_str());
  return 0;
}
