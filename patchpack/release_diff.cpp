#include "release_diff.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "console.h"
#include "host_files.h"
#include "name_rules.h"
#include "tree_scan.h"

namespace fs = std::filesystem;

namespace {

const std::size_t kChunk = 1 << 16;
typedef std::unique_ptr<std::FILE, int (*)(std::FILE*)> File;

// One old release, indexed as Windows compares names.
struct Release {
  fs::path root;
  std::vector<PackFile> files;
  std::map<std::string, const PackFile*> byName;
  std::set<std::string> folders;
  std::set<const PackFile*> kept;  // files the new release has too
};

// Whether a new file holds the same bytes as each of its namesakes, all of
// its size: the new file is read once, however many releases hold it, a
// chunk of each file in memory at a time.
class Comparer {
 public:
  explicit Comparer(ByteProgress* progress) : progress_(progress) {}

  // False in *readable after reporting a file that cannot be read.
  bool Same(const PackFile& newFile, const std::vector<const PackFile*>& olds, bool* readable) {
    std::vector<const PackFile*> all(olds);
    all.push_back(&newFile);  // last, so an old file's failure is named first
    std::vector<File> files;
    for (const PackFile* file : all) {
      std::string why;
      files.emplace_back(OpenExamined(file->source, file->identity, file->size, &why), std::fclose);
      if (!files.back()) {
        *readable = false;
        PrintError(PathText(file->source), why);
        return false;
      }
      // Whole chunks are read straight into the buffers: no stdio buffer to fill.
      std::setvbuf(files.back().get(), nullptr, _IONBF, 0);
    }
    buffers_.resize(all.size());
    for (std::vector<unsigned char>& buffer : buffers_) buffer.resize(kChunk);
    for (std::uint64_t left = newFile.size; left != 0;) {
      std::size_t chunk = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
      for (std::size_t i = 0; i < all.size(); ++i) {
        if (std::fread(buffers_[i].data(), 1, chunk, files[i].get()) != chunk) {
          *readable = false;
          PrintError(PathText(all[i]->source),
                     "cannot read it: it changed while being compared, or " + ErrnoText(errno));
          return false;
        }
      }
      progress_->Add(chunk);
      for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        if (std::memcmp(buffers_[i].data(), buffers_.back().data(), chunk) != 0) return false;
      }
      left -= chunk;
    }
    return true;
  }

 private:
  ByteProgress* progress_;
  std::vector<std::vector<unsigned char>> buffers_;  // the old files', then the new one's
};

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

// Whether the installer can write the new file over this release: it cannot
// replace a file with a folder or a folder with a file.
void CheckReplaceable(const PackFile& file, const std::string& folded, const Release& release,
                      Refusals* refusals) {
  if (release.folders.count(folded) != 0) {
    refusals->Add(PathText(file.source),
                  "the old release has a folder of this name, which the installer cannot "
                  "replace with a file");
  }
  for (const std::string& folder : ParentFolders(folded)) {
    auto blocking = release.byName.find(folder);
    if (blocking != release.byName.end()) {
      refusals->Add(PathText(file.source), "the old release has a file " +
                                               PathText(blocking->second->source) +
                                               " where this needs a folder, which the "
                                               "installer cannot replace with one");
    }
  }
}

// A name that some old release has and the new one lacks, with the releases
// that hold it.
struct Removed {
  const PackFile* first;
  std::vector<std::size_t> releases;
};

void ReportRemoved(const std::vector<Release>& releases, const fs::path& newRoot,
                   const std::vector<Removed>& removed) {
  if (removed.empty()) return;
  std::string count =
      std::to_string(removed.size()) + (removed.size() == 1 ? " file is" : " files are");
  if (releases.size() == 1) {
    PrintError(PathText(releases[0].root), "warning: " + count + " not in " + PathText(newRoot) +
                                               ", and the installer does not delete anything");
    for (const Removed& file : removed) PrintError(PathText(file.first->source), "removed");
    return;
  }
  bool one = removed.size() == 1;
  PrintError(PathText(newRoot), "warning: " + std::to_string(removed.size()) +
                                    (one ? " file" : " files") + " of the old releases " +
                                    (one ? "is" : "are") +
                                    " not in it, and the installer does not delete anything");
  for (const Removed& file : removed) {
    std::string holders;
    for (std::size_t release : file.releases) {
      holders += (holders.empty() ? "" : ", ") + PathText(releases[release].root);
    }
    PrintError(PathText(file.first->source), "removed (in " + holders + ")");
  }
}

}  // namespace

void ByteProgress::Add(std::uint64_t bytes) {
  done_ += bytes;
  std::uint64_t percent = total_ == 0 ? 100 : done_ * 100 / total_;
  if (percent > shown_) shown_ = percent;
  ShowProgress(static_cast<std::uint32_t>(shown_));
}

bool DiffReleases(const std::vector<fs::path>& oldRoots, const fs::path& newRoot,
                  const CodePage& codePage, const char* command, const std::string& output,
                  const std::string& removedList, ByteProgress* progress, ReleaseDiff* diff) {
  Refusals refusals(command);
  std::vector<Release> releases(oldRoots.size());
  for (std::size_t r = 0; r < releases.size(); ++r) {
    releases[r].root = oldRoots[r];
    releases[r].files = ScanTree(oldRoots[r], codePage, &refusals);
  }
  std::vector<PackFile> newFiles = ScanTree(newRoot, codePage, &refusals);
  if (refusals.Refused(output)) return false;
  for (Release& release : releases) {
    for (const PackFile& file : release.files) {
      std::string folded = codePage.Fold(file.name);
      release.byName.emplace(folded, &file);
      for (const std::string& folder : ParentFolders(folded)) release.folders.insert(folder);
    }
  }

  // Matched by name first: what can fail on names alone fails before any
  // byte is read. A file is compared only when every release has it with
  // its size; else it is packed unread. Either way it is read once.
  std::vector<std::vector<const PackFile*>> matches(newFiles.size());
  std::vector<bool> someHave(newFiles.size(), false);
  for (std::size_t i = 0; i < newFiles.size(); ++i) {
    const PackFile& file = newFiles[i];
    progress->Expect(file.size);
    std::string folded = codePage.Fold(file.name);
    for (Release& release : releases) {
      auto found = release.byName.find(folded);
      if (found == release.byName.end()) {
        CheckReplaceable(file, folded, release, &refusals);
        continue;
      }
      release.kept.insert(found->second);
      someHave[i] = true;
      if (found->second->size == file.size) matches[i].push_back(found->second);
    }
  }
  if (refusals.Refused(output)) return false;

  Comparer comparer(progress);
  for (std::size_t i = 0; i < newFiles.size(); ++i) {
    bool compared = matches[i].size() == releases.size();
    bool readable = true;
    if (compared && comparer.Same(newFiles[i], matches[i], &readable)) {
      ++diff->unchanged;
      continue;
    }
    if (!readable) return false;
    ++(someHave[i] ? diff->changed : diff->added);
    diff->patch.push_back(newFiles[i]);
    if (compared) progress->Expect(newFiles[i].size);
  }

  std::vector<Removed> removed;
  std::map<std::string, std::size_t> removedByName;
  for (std::size_t r = 0; r < releases.size(); ++r) {
    for (const PackFile& file : releases[r].files) {
      if (releases[r].kept.count(&file) != 0) continue;
      auto inserted = removedByName.emplace(codePage.Fold(file.name), removed.size());
      if (inserted.second) removed.push_back(Removed{&file, {}});
      removed[inserted.first->second].releases.push_back(r);
    }
  }
  diff->removed = removed.size();
  ReportRemoved(releases, newRoot, removed);
  if (!removedList.empty()) {
    std::vector<const PackFile*> names;
    for (const Removed& file : removed) names.push_back(file.first);
    if (!WriteRemoved(removedList, names, codePage)) return false;
  }
  if (diff->patch.empty()) {
    EndProgress();
    std::string olds;
    for (const fs::path& root : oldRoots) olds += (olds.empty() ? "" : ", ") + PathText(root);
    PrintError(PathText(newRoot), "nothing to patch: every file is in " + olds +
                                      " with the same bytes; " + output + " not written");
    return false;
  }
  return true;
}

std::string DiffSummary(const ReleaseDiff& diff) {
  return std::to_string(diff.added) + " added, " + std::to_string(diff.changed) + " changed, " +
         std::to_string(diff.unchanged) + " unchanged, " + std::to_string(diff.removed) +
         " removed; archive " + SizeText(ArchiveSize(diff.patch));
}
