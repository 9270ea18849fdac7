#include "tree_scan.h"

#include <algorithm>
#include <map>
#include <system_error>

#include "console.h"
#include "host_files.h"
#include "name_rules.h"

namespace fs = std::filesystem;

namespace {

const std::uint64_t kMaxFileSize = 0xFFFFFFFFu;

const char* KindOf(const fs::file_status& status) {
  switch (status.type()) {
    case fs::file_type::symlink:
      return "a symbolic link, which is not followed";
    case fs::file_type::fifo:
      return "a FIFO";
    case fs::file_type::socket:
      return "a socket";
    case fs::file_type::block:
    case fs::file_type::character:
      return "a device";
    default:
      return "of a kind that cannot be packed";
  }
}

class TreeScanner {
 public:
  TreeScanner(const CodePage& codePage, std::vector<PackFile>* files, Refusals* refusals)
      : codePage_(codePage), files_(files), refusals_(refusals) {}

  void Scan(const fs::path& folder, const std::string& prefix) {
    std::error_code error;
    fs::directory_iterator it(folder, error), end;
    if (error) {
      refusals_->Add(PathText(folder), "cannot list the folder: " + error.message());
      return;
    }
    std::vector<fs::path> children;
    for (; it != end; it.increment(error)) children.push_back(it->path());
    if (error) {
      refusals_->Add(PathText(folder), "cannot list the folder: " + error.message());
      return;
    }
    // Visiting in a fixed order keeps the messages the same from run to run.
    std::sort(children.begin(), children.end());
    for (const fs::path& child : children) Visit(child, prefix);
  }

 private:
  void Visit(const fs::path& path, const std::string& prefix) {
    std::string component;
    std::string problem;
    if (codePage_.ToArchive(path.filename(), &component, &problem)) {
      problem = ComponentProblem(component, codePage_);
    }
    if (!problem.empty()) {
      refusals_->Add(PathText(path), problem);
      return;
    }
    std::string name = prefix.empty() ? component : prefix + '\\' + component;
    std::error_code error;
    std::uintmax_t size = 0;
    FileIdentity identity;
    fs::file_status status = Examine(path, &size, &identity, &error);
    if (error) {
      refusals_->Add(PathText(path), "cannot examine it: " + error.message());
      return;
    }
    bool folder = fs::is_directory(status);
    if (!folder && !fs::is_regular_file(status)) {
      refusals_->Add(PathText(path), std::string("it is ") + KindOf(status));
      return;
    }
    // Checked for folders too, once each: every name inside is longer still,
    // and the scan goes no deeper than the limit allows.
    std::string tooLong = NameLengthProblem(name.size());
    if (!tooLong.empty()) {
      if (folder) {
        tooLong =
            "the folder is too deep for Windows' paths, so nothing in it is packed: " + tooLong;
      }
      refusals_->Add(PathText(path), tooLong);
      return;
    }
    if (folder) {
      Scan(path, name);
      return;
    }
    if (size > kMaxFileSize) {
      refusals_->Add(PathText(path), "it has " + SizeText(size) +
                                         "; the archive holds files under 4 GiB (" +
                                         std::to_string(kMaxFileSize + 1) + " bytes)");
      return;
    }
    files_->push_back(PackFile{name, path, static_cast<std::uint32_t>(size), identity});
  }

  const CodePage& codePage_;
  std::vector<PackFile>* files_;
  Refusals* refusals_;
};

// Windows would see one file where the host has two, or a file where a folder
// must go.
void CheckCaseClashes(const std::vector<PackFile>& files, const CodePage& codePage,
                      Refusals* refusals) {
  std::map<std::string, const PackFile*> byFolded;
  std::map<std::string, const PackFile*> folders;  // a folder, and a file inside it
  for (const PackFile& file : files) {
    std::string folded = codePage.Fold(file.name);
    auto inserted = byFolded.emplace(folded, &file);
    if (!inserted.second) {
      refusals->Add(PathText(file.source), "its name differs only in letter case from " +
                                               PathText(inserted.first->second->source));
    }
    for (const std::string& folder : ParentFolders(folded)) folders.emplace(folder, &file);
  }
  for (const PackFile& file : files) {
    auto folder = folders.find(codePage.Fold(file.name));
    if (folder != folders.end()) {
      // Up from the file inside to the folder, as the host names it.
      const std::string& inside = folder->second->name;
      fs::path folderPath = folder->second->source;
      for (auto depth = std::count(inside.begin() + file.name.size(), inside.end(), '\\');
           depth != 0; --depth) {
        folderPath = folderPath.parent_path();
      }
      refusals->Add(
          PathText(file.source),
          "Windows would take it for the same name as the folder " + PathText(folderPath));
    }
  }
}

}  // namespace

void Refusals::Add(const std::string& subject, const std::string& reason) {
  if (count_++ < kMaxReported) PrintError(subject, reason);
}

bool Refusals::Refused(const std::string& output) const {
  if (count_ == 0) return false;
  if (count_ > kMaxReported) {
    PrintError(command_, std::to_string(count_ - kMaxReported) + " more files refused");
  }
  PrintError(output, "not written: " + std::to_string(count_) + (count_ == 1 ? " file" : " files") +
                         " refused");
  return true;
}

bool UsableTree(const fs::path& root) {
  std::error_code error;
  if (fs::is_directory(root, error)) return true;
  PrintError(PathText(root), error ? error.message() : "not a folder");
  return false;
}

bool ReadyToWrite(const std::vector<NamedPath>& trees, const std::vector<NamedPath>& outputs,
                  const std::vector<NamedPath>& files) {
  for (const NamedPath& tree : trees) {
    if (!UsableTree(tree.path)) return false;
  }
  std::vector<NamedPath> before(files);
  for (const NamedPath& output : outputs) {
    if (output.path.empty()) continue;
    std::string problem = OutputProblem(output, before, trees);
    if (!problem.empty()) {
      PrintError(PathText(output.path), problem);
      return false;
    }
    before.push_back(output);
  }
  return true;
}

std::vector<PackFile> ScanTree(const fs::path& root, const CodePage& codePage, Refusals* refusals) {
  std::vector<PackFile> files;
  TreeScanner(codePage, &files, refusals).Scan(root, std::string());
  std::sort(files.begin(), files.end(),
            [](const PackFile& a, const PackFile& b) { return a.name < b.name; });
  CheckCaseClashes(files, codePage, refusals);
  return files;
}

bool WriteArchiveReporting(const std::string& archive, const std::vector<PackFile>& files,
                           const CopyProgress& copied) {
  HostError error;
  if (WriteArchive(archive, files, copied, &error)) return true;
  PrintError(error);
  return false;
}

bool ScanPackedFolder(const fs::path& root, const std::string& output, const char* command,
                      const CodePage& codePage, std::vector<PackFile>* files) {
  Refusals refusals(command);
  *files = ScanTree(root, codePage, &refusals);
  return !refusals.Refused(output);
}
