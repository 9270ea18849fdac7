// patchpack list: shows an archive's entries and what is wrong with it.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <unordered_map>

#include "archive_index.h"
#include "code_page.h"
#include "commands.h"
#include "console.h"
#include "host_files.h"
#include "name_rules.h"

const char kListHelp[] =
    "usage: patchpack list [--codepage N] ARCHIVE\n"
    "\n"
    "Prints one line per entry, in table order: the file's size, the offset of\n"
    "its data and its name; then the number of files, their total size and the\n"
    "archive's size. Checks the archive on the way. A file that is not laid out\n"
    "as patchpack lays an archive out (header, the files' bytes in table order,\n"
    "names, table, every field patchpack fills as it fills it) is refused,\n"
    "naming the first difference, and so are a short header and a table or\n"
    "names block that runs past the end. A name that would be written outside\n"
    "the destination folder and one Windows cannot take (the rules of\n"
    "'patchpack create') are faults, reported on stderr; so are, as warnings,\n"
    "entries that name one file on Windows (letter case, trailing dots and\n"
    "spaces), where the later one wins. With --codepage N, names are read in\n"
    "Windows code page N, as 'patchpack create --codepage N' stores them;\n"
    "without it, a name must be plain ASCII. Names are shown in UTF-8 where the\n"
    "locale is, other bytes as \\xNN.\n"
    "\n"
    "Exit status: 0 for a sound archive, 1 when it cannot be read, is not laid\n"
    "out as an archive or any entry is faulty, 64 on a usage error.\n";

int OpenIndexed(const std::string& archive, FileDataStream* stream, ArchiveIndex* index) {
  HostError error;
  int opened = OpenArchive(archive, stream, index, &error);
  if (opened != 0) PrintError(error);
  return opened;
}

bool CheckEntries(const std::string& archive, const ArchiveIndex& index, const CodePage& codePage) {
  std::uint32_t faulty = 0, clashes = 0;
  std::unordered_map<std::string, std::uint32_t> latest;  // of each file Windows would write
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    std::string problem = index.Problem(i);
    if (problem.empty()) problem = index.WindowsNameProblem(i, codePage);
    if (!problem.empty() && faulty++ < kMaxReported) {
      PrintError(archive, index.Describe(i, codePage) + ": " + problem);
    }
    if (index.Name(i) == nullptr) continue;
    auto named = latest.emplace(WindowsNameKey(index.Name(i), codePage), i);
    if (named.second) continue;
    if (clashes++ < kMaxReported) {
      PrintError(archive, index.Describe(i, codePage) + " names the file that " +
                              index.Describe(named.first->second, codePage) +
                              " names on Windows: the later one wins");
    }
    named.first->second = i;
  }
  if (clashes > kMaxReported) {
    PrintError(archive, std::to_string(clashes - kMaxReported) +
                            " more entries name a file an earlier one names");
  }
  if (faulty > kMaxReported) {
    PrintError(archive, std::to_string(faulty - kMaxReported) + " more faulty entries");
  }
  if (faulty == 0) return true;
  PrintError(archive,
             std::to_string(faulty) + (faulty == 1 ? " entry is" : " entries are") + " faulty");
  return false;
}

int RunList(const Arguments& arguments) {
  Arguments operands;
  std::string codePageNumber;
  int parsed = ParseOperands("list", kListHelp, arguments, 1, 1, &operands,
                             {{"--codepage", &codePageNumber}});
  if (parsed >= 0) return parsed;
  CodePage codePage;
  if (!SelectCodePage(codePageNumber, &codePage)) return kUsageExit;
  const std::string& archive = operands[0];

  FileDataStream stream;
  ArchiveIndex index;
  if (OpenIndexed(archive, &stream, &index) != 0) return 1;
  stream.Close();

  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    ArchiveEntry entry = index.Entry(i);
    std::printf("%10" PRIu32 " %12" PRIu64 "  %s\n", entry.dataSize, entry.dataOffset,
                codePage.Shown(index.Name(i)).c_str());
    total += entry.dataSize;
  }
  std::printf("%" PRIu32 " files, %" PRIu64 " bytes, archive %" PRIu64 " bytes\n", index.count(),
              total, index.archiveSize());
  std::fflush(stdout);
  return CheckEntries(archive, index, codePage) ? 0 : 1;
}
