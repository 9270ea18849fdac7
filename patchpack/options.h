// The command-line parser of the host programs: operands, --help, "--", and
// options with a value as "--name VALUE" or "--name=VALUE". It says what it
// found; each program words its own messages.
#ifndef PATCHPACK_OPTIONS_H
#define PATCHPACK_OPTIONS_H

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

typedef std::vector<std::string> Arguments;

// Exit code for a command line that cannot be understood. Kept apart from 1 to
// 5, which patchpack extract passes on from the extractor.
const int kUsageExit = 64;

struct ValueOption {
  const char* name;
  std::string* value;                         // the last one given
  std::vector<std::string>* every = nullptr;  // each one given, in order
};

enum class ParseOutcome {
  kOperands,       // go on with the operands
  kHelp,           // --help or -h
  kMissingValue,   // the option was last, with no value
  kUnknownOption,  // an argument starting with '-' that no option takes
  kTooFew,
  kTooMany,
};

struct Parsed {
  ParseOutcome outcome;
  std::string option;  // the option missing its value, or the unknown one
};

Parsed ParseArguments(const Arguments& arguments, std::size_t least, std::size_t most,
                      Arguments* operands, std::initializer_list<ValueOption> options = {});

#endif  // PATCHPACK_OPTIONS_H
