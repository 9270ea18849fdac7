// patchpack list: shows an archive's entries and what is wrong with it.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "archive_index.h"
#include "code_page.h"
#include "commands.h"
#include "console.h"
#include "host_files.h"

const char kListHelp[] =
    "usage: patchpack list [--codepage N] ARCHIVE\n"
    "\n"
    "Prints one line per entry, in table order: the file's size, the offset of\n"
    "its data and its name; then the number of files, their total size and the\n"
    "archive's size. Checks the archive on the way: a short header, an entry\n"
    "table size that is not a multiple of 32, a table, names block or file that\n"
    "runs past the end of the archive, a name offset outside the names block, a\n"
    "name not terminated inside it, a name that would be written outside the\n"
    "destination folder, and a name Windows cannot take (the rules of\n"
    "'patchpack create') are each reported on stderr. With --codepage N, names\n"
    "are read in Windows code page N and shown in UTF-8, as 'patchpack create\n"
    "--codepage N' stores them; without it, a name must be plain ASCII.\n"
    "\n"
    "Exit status: 0 for a sound archive, 1 when it cannot be read or any entry\n"
    "is faulty, 64 on a usage error.\n";

bool OpenIndexed(const std::string& archive, FileDataStream* stream, ArchiveIndex* index) {
  std::uint64_t size = 0;
  std::string error;
  if (!FileSize(ArgumentPath(archive), &size, &error)) {
    PrintError(archive, error);
    return false;
  }
  if (!stream->Open(archive.c_str(), false)) {
    PrintError(archive, "cannot open it: " + SystemErrorText(GetLastError()));
    return false;
  }
  if (!index->Read(*stream, size)) {
    PrintError(archive, index->error());
    stream->Close();
    return false;
  }
  return true;
}

bool ReportFault(const std::string& archive, const ArchiveIndex& index, std::uint32_t entry,
                 const CodePage& codePage, std::uint32_t before) {
  std::string problem = index.Problem(entry);
  if (problem.empty()) problem = index.WindowsNameProblem(entry, codePage);
  if (problem.empty()) return false;
  if (before < kMaxReported) PrintError(archive, index.Describe(entry) + ": " + problem);
  return true;
}

bool ReportFaults(const std::string& archive, std::uint32_t faulty) {
  if (faulty > kMaxReported) {
    PrintError(archive, std::to_string(faulty - kMaxReported) + " more faulty entries");
  }
  if (faulty == 0) return false;
  PrintError(archive,
             std::to_string(faulty) + (faulty == 1 ? " entry is" : " entries are") + " faulty");
  return true;
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
  if (!OpenIndexed(archive, &stream, &index)) return 1;
  stream.Close();

  std::uint64_t total = 0;
  std::uint32_t faulty = 0;
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    ArchiveEntry entry = index.Entry(i);
    const char* name = index.Name(i);
    std::string text;
    if (name == nullptr) {
      text = "<unreadable name>";
    } else {
      text = codePage.number() != 0 && codePage.ToUtf8(name, &text) ? Printable(text)
                                                                    : Printable(name);
    }
    std::printf("%10" PRIu32 " %12" PRIu64 "  %s\n", entry.dataSize, entry.dataOffset,
                text.c_str());
    total += entry.dataSize;
    std::fflush(stdout);
    faulty += ReportFault(archive, index, i, codePage, faulty);
  }
  std::printf("%" PRIu32 " files, %" PRIu64 " bytes, archive %" PRIu64 " bytes\n", index.count(),
              total, index.archiveSize());
  std::fflush(stdout);
  return ReportFaults(archive, faulty) ? 1 : 0;
}
