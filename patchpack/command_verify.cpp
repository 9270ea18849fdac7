// patchpack verify: checks that a folder holds exactly what an archive would
// write into it.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "archive_index.h"
#include "code_page.h"
#include "commands.h"
#include "console.h"
#include "host_files.h"
#include "name_rules.h"
#include "tree_scan.h"

const char kVerifyHelp[] =
    "usage: patchpack verify [--codepage N] ARCHIVE DIR\n"
    "\n"
    "ARCHIVE may be a Patch.exe, for the archive it carries (see 'patchpack\n"
    "list --help'); one whose archive fails its check is damaged and refused.\n"
    "\n"
    "Checks that every file the archive holds is under DIR with exactly the\n"
    "archive's bytes. The archive is first checked as 'patchpack list' checks\n"
    "it, under the same --codepage: an archive list calls faulty fails. Names\n"
    "are compared as Windows compares them (letter case, trailing dots and\n"
    "spaces): where two entries name one file the later one counts, as on\n"
    "extraction. Each missing, shorter, longer or different file is reported\n"
    "on stderr. Files under DIR that the archive does not hold are not looked\n"
    "at. With --codepage N, names are read in Windows code page N and looked\n"
    "for under DIR as the host names them (as 'patchpack extract --codepage N'\n"
    "writes them).\n"
    "\n"
    "Exit status: 0 when every file matches, 1 when any does not, DIR is no\n"
    "folder, or the archive cannot be read or is faulty, 64 on a usage error.\n";

namespace {

const std::uint32_t kChunk = 1 << 16;

// Where the installer writes the name under folder, as this host names it;
// the name is text of the code page (the archive passed list's check).
std::filesystem::path HostPath(const std::string& folder, const char* name,
                               const CodePage& codePage) {
  std::string joined = folder;
  if (!joined.empty() && joined.back() != '/' && joined.back() != '\\') joined += '/';
  std::string relative = name;
  codePage.ToUtf8(name, &relative);
  std::replace(relative.begin(), relative.end(), '\\', '/');
  if (codePage.number() == 0) return ArgumentPath(joined + relative);
  return ArgumentPath(joined) += std::filesystem::u8path(relative);
}

class Verifier {
 public:
  Verifier(const std::string& archive, const std::string& folder, const CodePage& codePage,
           DataStream& stream, const ArchiveIndex& index)
      : archive_(archive),
        folder_(folder),
        codePage_(codePage),
        stream_(stream),
        index_(index),
        expected_(kChunk),
        actual_(kChunk) {}

  // True when the entry's file matches; reports it otherwise.
  bool Check(std::uint32_t i) {
    ArchiveEntry entry = index_.Entry(i);
    std::filesystem::path path = HostPath(folder_, index_.Name(i), codePage_);
    std::string shown = PathText(path);
    std::uint64_t size = 0;
    std::string error;
    if (!FileSize(path, &size, &error)) {
      PrintError(shown, "missing: " + error);
      return false;
    }
    if (size != entry.dataSize) {
      PrintError(shown, std::string(size < entry.dataSize ? "shorter" : "longer") + ": " +
                            std::to_string(size) + " bytes where the archive has " +
                            std::to_string(entry.dataSize));
      return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(OpenFile(path, "rb"), std::fclose);
    if (!file) {
      PrintError(shown, "cannot open it: " + ErrnoText(errno));
      return false;
    }
    if (!stream_.Seek(entry.dataOffset)) {
      PrintError(archive_, index_.Describe(i, codePage_) + ": cannot seek to its data");
      return false;
    }
    std::uint64_t at = 0;
    while (at < entry.dataSize) {
      std::uint32_t chunk =
          entry.dataSize - at < kChunk ? static_cast<std::uint32_t>(entry.dataSize - at) : kChunk;
      if (stream_.Read(expected_.data(), chunk) != chunk) {
        PrintError(archive_, index_.Describe(i, codePage_) + ": cannot read its data");
        return false;
      }
      std::size_t got = std::fread(actual_.data(), 1, chunk, file.get());
      if (got != chunk) {
        PrintError(shown, "cannot read it: it changed while being checked");
        return false;
      }
      if (std::memcmp(expected_.data(), actual_.data(), chunk) != 0) {
        std::uint32_t first = 0;
        while (expected_[first] == actual_[first]) ++first;
        PrintError(shown,
                   "different: byte " + std::to_string(at + first) + " does not match the archive");
        return false;
      }
      at += chunk;
    }
    return true;
  }

 private:
  std::string archive_;
  std::string folder_;
  const CodePage& codePage_;
  DataStream& stream_;
  const ArchiveIndex& index_;
  std::vector<unsigned char> expected_;
  std::vector<unsigned char> actual_;
};

}  // namespace

int RunVerify(const Arguments& arguments) {
  Arguments operands;
  std::string codePageNumber;
  int parsed = ParseOperands("verify", kVerifyHelp, arguments, 2, 2, &operands,
                             {{"--codepage", &codePageNumber}});
  if (parsed >= 0) return parsed;
  CodePage codePage;
  if (!SelectCodePage(codePageNumber, &codePage)) return kUsageExit;
  const std::string& archive = operands[0];
  const std::string& folder = operands[1];
  if (!InOrder("verify", "ARCHIVE DIR", archive, folder)) return kUsageExit;
  if (!UsableTree(ArgumentPath(folder))) return 1;

  ArchiveFileStream stream;
  ArchiveIndex index;
  if (OpenIndexed(archive, &stream, &index) != 0) return 1;
  if (!CheckEntries(archive, index, codePage)) {
    stream.Close();
    return 1;
  }

  // The last entry of each file is what extraction leaves behind.
  std::unordered_map<std::string, std::uint32_t> last;
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    last[WindowsNameKey(index.Name(i), codePage)] = i;
  }
  Verifier verifier(archive, folder, codePage, stream, index);
  std::uint32_t checked = 0;
  std::uint32_t failed = 0;
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    if (last[WindowsNameKey(index.Name(i), codePage)] != i) continue;
    ++checked;
    if (!verifier.Check(i)) ++failed;
  }
  stream.Close();
  if (failed != 0) {
    PrintError(folder, std::to_string(failed) + " of " + std::to_string(checked) +
                           " files do not match " + archive);
    return 1;
  }
  std::printf("%u files match\n", static_cast<unsigned>(checked));
  return 0;
}
