#include "options.h"

Parsed ParseArguments(const Arguments& arguments, std::size_t least, std::size_t most,
                      Arguments* operands, std::initializer_list<ValueOption> valueOptions) {
  bool options = true;
  for (auto argument = arguments.begin(); argument != arguments.end(); ++argument) {
    const ValueOption* matched = nullptr;
    std::string::size_type nameEnd = argument->find('=');
    for (const ValueOption& option : valueOptions) {
      if (options && argument->compare(0, nameEnd, option.name) == 0) matched = &option;
    }
    if (matched != nullptr) {
      std::string value;
      if (nameEnd != std::string::npos) {
        value = argument->substr(nameEnd + 1);
      } else if (++argument != arguments.end()) {
        value = *argument;
      } else {
        return Parsed{ParseOutcome::kMissingValue, matched->name};
      }
      if (matched->every != nullptr) matched->every->push_back(value);
      if (matched->value != nullptr) *matched->value = value;
    } else if (options && *argument == "--") {
      options = false;
    } else if (options && (*argument == "--help" || *argument == "-h")) {
      return Parsed{ParseOutcome::kHelp, *argument};
    } else if (options && argument->size() > 1 && (*argument)[0] == '-') {
      return Parsed{ParseOutcome::kUnknownOption, *argument};
    } else {
      operands->push_back(*argument);
    }
  }
  if (operands->size() < least) return Parsed{ParseOutcome::kTooFew, std::string()};
  if (operands->size() > most) return Parsed{ParseOutcome::kTooMany, std::string()};
  return Parsed{ParseOutcome::kOperands, std::string()};
}
