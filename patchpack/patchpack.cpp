// patchpack: builds, lists, extracts and verifies patch archives.
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

#include "code_page.h"
#include "commands.h"
#include "console.h"
#include "host_files.h"

namespace {

const char kHelp[] =
    "usage: patchpack COMMAND ARGUMENTS...\n"
    "\n"
    "Builds and checks the archive that the patch installer carries, and the\n"
    "installer itself.\n"
    "\n"
    "Commands:\n"
    "  create ARCHIVE DIR       pack the files under DIR into ARCHIVE\n"
    "  diff OLD... NEW ARCHIVE  pack the files of NEW that an OLD lacks or holds otherwise\n"
    "  list ARCHIVE             show the entries and check the archive's layout\n"
    "  extract ARCHIVE [DIR]    write the files with the installer's extractor\n"
    "  verify ARCHIVE DIR       check that DIR holds exactly the archive's files\n"
    "  build NEW OUT.exe        write the installer, Patch.exe, carrying NEW's archive\n"
    "\n"
    "'patchpack COMMAND --help' describes a command; 'patchpack --version' says\n"
    "which patchpack this is. Errors go to stderr, one line each, naming the\n"
    "file and the reason.\n";

}  // namespace

int ParseOperands(const char* command, const char* help, const Arguments& arguments,
                  std::size_t least, std::size_t most, Arguments* operands,
                  std::initializer_list<ValueOption> valueOptions) {
  Parsed parsed = ParseArguments(arguments, least, most, operands, valueOptions);
  std::string see = std::string(" (see 'patchpack ") + command + " --help')";
  switch (parsed.outcome) {
    case ParseOutcome::kOperands:
      return -1;
    case ParseOutcome::kHelp:
      std::fputs(help, stdout);
      return 0;
    case ParseOutcome::kMissingValue:
      PrintError(command, "option " + parsed.option + " needs a value" + see);
      break;
    case ParseOutcome::kUnknownOption:
      PrintError(command, "unknown option " + Printable(parsed.option) + see);
      break;
    case ParseOutcome::kTooFew:
    case ParseOutcome::kTooMany:
      PrintError(command,
                 std::string(parsed.outcome == ParseOutcome::kTooFew ? "too few" : "too many") +
                     " arguments" + see);
      break;
  }
  return kUsageExit;
}

bool InOrder(const char* command, const char* order, const std::string& file,
             const std::string& folder) {
  std::error_code error;
  if (!std::filesystem::is_directory(ArgumentPath(file), error) ||
      std::filesystem::is_directory(ArgumentPath(folder), error)) {
    return true;
  }
  PrintError(command, "the operands look swapped: " + Printable(file) + " is a folder and " +
                          Printable(folder) + " is not (patchpack " + command + " takes " + order +
                          ")");
  return false;
}

bool SelectCodePage(const std::string& value, CodePage* codePage) {
  std::string error;
  if (value.empty() || codePage->Select(value, &error)) return true;
  PrintError("--codepage " + Printable(value), error);
  return false;
}

int main(int argc, char** argv) {
  SetUtf8Text(HostTextIsUtf8());
  if (argc < 2) {
    std::fputs(kHelp, stderr);
    return kUsageExit;
  }
  std::string command = argv[1];
  Arguments arguments(argv + 2, argv + argc);
  try {
    if (command == "--help" || command == "-h" || command == "help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (command == "--version") {
      std::puts("patchpack " PATCH_TOOLS_VERSION);
      return 0;
    }
    if (command == "create") return RunCreate(arguments);
    if (command == "diff") return RunDiff(arguments);
    if (command == "list") return RunList(arguments);
    if (command == "extract") return RunExtract(arguments);
    if (command == "verify") return RunVerify(arguments);
    if (command == "build") return RunBuild(arguments);
  } catch (const std::bad_alloc&) {
    PrintError(command, "out of memory");
    return 1;
  } catch (const std::exception& error) {
    PrintError(command, error.what());
    return 1;
  }
  PrintError(Printable(command), "unknown command (see 'patchpack --help')");
  return kUsageExit;
}
