// patchpack: builds, lists, extracts and verifies patch archives.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "code_page.h"
#include "commands.h"
#include "tool_support.h"

namespace {

const char kHelp[] =
    "usage: patchpack COMMAND ARGUMENTS...\n"
    "\n"
    "Builds and checks the archive that the patch installer carries.\n"
    "\n"
    "Commands:\n"
    "  create ARCHIVE DIR     pack the files under DIR into ARCHIVE\n"
    "  diff OLD NEW ARCHIVE   pack the files of NEW that OLD lacks or holds otherwise\n"
    "  list ARCHIVE           show the entries and check the archive's layout\n"
    "  extract ARCHIVE [DIR]  write the files with the installer's extractor\n"
    "  verify ARCHIVE DIR     check that DIR holds exactly the archive's files\n"
    "\n"
    "'patchpack COMMAND --help' describes a command. Errors go to stderr, one\n"
    "line each, naming the file and the reason.\n";

}  // namespace

int ParseOperands(const char* command, const char* help, const Arguments& arguments,
                  std::size_t least, std::size_t most, Arguments* operands,
                  std::initializer_list<ValueOption> valueOptions) {
  bool options = true;
  for (auto argument = arguments.begin(); argument != arguments.end(); ++argument) {
    const ValueOption* matched = nullptr;
    std::string::size_type nameEnd = argument->find('=');
    for (const ValueOption& option : valueOptions) {
      if (options && argument->compare(0, nameEnd, option.name) == 0) matched = &option;
    }
    if (matched != nullptr) {
      if (nameEnd != std::string::npos) {
        *matched->value = argument->substr(nameEnd + 1);
      } else if (++argument != arguments.end()) {
        *matched->value = *argument;
      } else {
        PrintError(command, std::string("option ") + matched->name +
                                " needs a value (see 'patchpack " + command + " --help')");
        return kUsageExit;
      }
    } else if (options && *argument == "--") {
      options = false;
    } else if (options && (*argument == "--help" || *argument == "-h")) {
      std::fputs(help, stdout);
      return 0;
    } else if (options && argument->size() > 1 && (*argument)[0] == '-') {
      PrintError(command, "unknown option " + Printable(*argument) + " (see 'patchpack " + command +
                              " --help')");
      return kUsageExit;
    } else {
      operands->push_back(*argument);
    }
  }
  if (operands->size() < least || operands->size() > most) {
    PrintError(command, std::string(operands->size() < least ? "too few" : "too many") +
                            " arguments (see 'patchpack " + command + " --help')");
    return kUsageExit;
  }
  return -1;
}

bool SelectCodePage(const std::string& value, CodePage* codePage) {
  std::string error;
  if (value.empty() || codePage->Select(value, &error)) return true;
  PrintError("--codepage " + Printable(value), error);
  return false;
}

int main(int argc, char** argv) {
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
    if (command == "create") return RunCreate(arguments);
    if (command == "diff") return RunDiff(arguments);
    if (command == "list") return RunList(arguments);
    if (command == "extract") return RunExtract(arguments);
    if (command == "verify") return RunVerify(arguments);
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
