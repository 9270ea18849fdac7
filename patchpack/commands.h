// The subcommands of patchpack. Each takes the arguments after its own name
// and returns the process's exit code.
#ifndef PATCHPACK_COMMANDS_H
#define PATCHPACK_COMMANDS_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "options.h"

class ArchiveFileStream;
class ArchiveIndex;
struct CarriedArchive;
class CodePage;

int RunCreate(const Arguments& arguments);
int RunDiff(const Arguments& arguments);
int RunList(const Arguments& arguments);
int RunExtract(const Arguments& arguments);
int RunVerify(const Arguments& arguments);
int RunBuild(const Arguments& arguments);

extern const char kCreateHelp[];
extern const char kDiffHelp[];
extern const char kListHelp[];
extern const char kExtractHelp[];
extern const char kVerifyHelp[];
extern const char kBuildHelp[];

// OpenArchive of an archive, or of the one a Patch.exe carries, after its
// check; reports why not: 0 with the stream open (on the program's archive),
// else the extractor's code for it. *program, when given, says what the
// program carries; its carried is false for an archive.
int OpenIndexed(const std::string& file, ArchiveFileStream* stream, ArchiveIndex* index,
                CarriedArchive* program = nullptr);

// The check list makes of every entry, which verify and build --archive share:
// reports each faulty entry (up to kMaxReported) and each entry that names on
// Windows the file an earlier one names. True when no entry is faulty.
bool CheckEntries(const std::string& archive, const ArchiveIndex& index, const CodePage& codePage);

// Splits a command's arguments into operands and the values of its options,
// answering --help itself. Returns -1 to go on with the operands, else the
// exit code: 0 after printing the help, kUsageExit after an unknown option, an
// option without its value or a wrong number of operands.
int ParseOperands(const char* command, const char* help, const Arguments& arguments,
                  std::size_t least, std::size_t most, Arguments* operands,
                  std::initializer_list<ValueOption> options = {});

// False after reporting a usage error when the operands look swapped: file,
// which the command takes for a file, is an existing folder and folder,
// which it takes for a folder, is not one. order: "ARCHIVE DIR".
bool InOrder(const char* command, const char* order, const std::string& file,
             const std::string& folder);

// The code page --codepage asked for (empty: ASCII names only); false after
// reporting why it cannot be used.
bool SelectCodePage(const std::string& value, CodePage* codePage);

#endif  // PATCHPACK_COMMANDS_H
