// patchpack list: shows an archive's entries and what is wrong with it.
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>

#include "archive_index.h"
#include "code_page.h"
#include "commands.h"
#include "console.h"
#include "host_files.h"
#include "name_rules.h"
#include "patch_program.h"
#include "payload_check.h"

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
    "ARCHIVE may be a Patch.exe: list then says so and shows its version line,\n"
    "checks the archive it carries against the CRC-32 beside it (a mismatch is\n"
    "\"damaged\") and lists that archive. A program that carries none, as the\n"
    "installer's stub, is refused.\n"
    "\n"
    "Exit status: 0 for a sound archive, 1 when it cannot be read, is not laid\n"
    "out as an archive or any entry is faulty, 64 on a usage error.\n";

namespace {

// "MZ" starts every Windows program; an archive as patchpack lays one out
// starts with the word 1.
bool IsProgram(const std::string& file) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(OpenFile(ArgumentPath(file), "rb"),
                                                     std::fclose);
  char magic[2];
  return in && std::fread(magic, 1, 2, in.get()) == 2 && magic[0] == 'M' && magic[1] == 'Z';
}

}  // namespace

int OpenIndexed(const std::string& file, ArchiveFileStream* stream, ArchiveIndex* index,
                CarriedArchive* program) {
  CarriedArchive carried;
  std::string problem;
  if (IsProgram(file)) {
    if (!ReadCarriedArchive(ArgumentPath(file), &carried, &problem)) {
      PrintError(file, "a program that cannot be read: " + problem);
      return EXTRACT_READ_FAILED;
    }
    if (!carried.carried) {
      PrintError(file, "a program that carries no patch (the installer's stub, or another)");
      return EXTRACT_READ_FAILED;
    }
    stream->SetWindow(carried.offset, carried.size);
  }
  HostError error;
  int opened = OpenArchive(file, stream, index, &error);
  if (opened != 0) {
    PrintError(error);
    return opened;
  }
  std::uint32_t crc = 0;
  if (carried.checked &&
      !(StreamCrc32(*stream, 0, carried.size, &crc) &&
        PayloadCheckHolds(carried.check.data(), static_cast<std::uint32_t>(carried.check.size()),
                          crc))) {
    stream->Close();
    PrintError(file,
               "damaged: the archive it carries does not match its check (CRC-32); "
               "Patch.exe would install nothing");
    return EXTRACT_READ_FAILED;
  }
  if (program != nullptr) *program = carried;
  return EXTRACT_OK;
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

  ArchiveFileStream stream;
  ArchiveIndex index;
  CarriedArchive program;
  if (OpenIndexed(archive, &stream, &index, &program) != 0) return 1;
  stream.Close();
  if (program.carried) {
    std::printf("a program carrying a patch archive of %" PRIu64 " bytes at offset %" PRIu64
                "%s; it shows %s\n",
                program.size, program.offset, program.checked ? ", its check sound" : "",
                program.version.empty() ? "no version line"
                                        : ("\"" + Printable(program.version) + "\"").c_str());
  }

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
