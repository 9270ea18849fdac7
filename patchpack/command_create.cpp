// patchpack create: packs a folder into an archive laid out as the installer
// carries it.
#include <filesystem>
#include <string>
#include <vector>

#include "code_page.h"
#include "commands.h"
#include "tree_scan.h"
#include "console.h"
#include "host_files.h"

const char kCreateHelp[] =
    "usage: patchpack create [--codepage N] ARCHIVE DIR\n"
    "\n"
    "Packs every regular file under DIR, at any depth, into ARCHIVE. Names are\n"
    "relative to DIR with '\\' between folders and are stored in byte order, so\n"
    "the same tree always gives the same archive, byte for byte. An empty DIR\n"
    "gives a valid empty archive. ARCHIVE is written beside itself under a\n"
    "temporary name and renamed into place only when complete; it may not lie\n"
    "inside DIR or be patchpack itself.\n"
    "\n"
    "Refused, naming the file, is whatever the installer could not write\n"
    "correctly on Windows:\n"
    "  - a name that is not plain ASCII (the installer uses the ANSI code page),\n"
    "    or with --codepage N one that Windows code page N cannot hold: N is the\n"
    "    player's ANSI code page, such as 1251 for Russian Windows; names are\n"
    "    read as UTF-8 and stored in that code page;\n"
    "  - a name holding < > : \" | ? * '\\' or a control character;\n"
    "  - a folder or file name ending in a dot or a space;\n"
    "  - a device name such as CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, with or\n"
    "    without an extension;\n"
    "  - two names that differ only in letter case (in the code page's letters\n"
    "    too, as Windows compares them);\n"
    "  - a name longer than 160 characters: the installer's Windows file\n"
    "    functions stop at 259 characters for a file and 247 for a folder, so\n"
    "    160 leaves about 99 for the destination folder the player picks; a\n"
    "    folder's name past it is refused once, and nothing in it is looked at;\n"
    "  - a file of 4 GiB or more, and an archive larger than " PATCH_MAX_ARCHIVE_TEXT
    ",\n"
    "    the most a Patch.exe can carry and still start;\n"
    "  - anything that is neither a regular file nor a folder: symbolic links\n"
    "    (never followed), FIFOs, sockets and devices;\n"
    "  - a file that is not, when read, the regular file the folder was found\n"
    "    to hold: one replaced meanwhile, by a link or anything else.\n"
    "\n"
    "Exit status: 0 when ARCHIVE was written, 1 when not, 64 on a usage error.\n";

int RunCreate(const Arguments& arguments) {
  Arguments operands;
  std::string codePageNumber;
  int parsed = ParseOperands("create", kCreateHelp, arguments, 2, 2, &operands,
                             {{"--codepage", &codePageNumber}});
  if (parsed >= 0) return parsed;
  CodePage codePage;
  if (!SelectCodePage(codePageNumber, &codePage)) return kUsageExit;
  const std::string& archive = operands[0];
  if (!InOrder("create", "ARCHIVE DIR", archive, operands[1])) return kUsageExit;
  if (!ReadyToWrite({{ArgumentPath(operands[1]), "the folder being packed"}},
                    {{ArgumentPath(archive), "the archive"}})) {
    return 1;
  }
  std::vector<PackFile> files;
  if (!ScanPackedFolder(operands[1], archive, "create", codePage, &files)) return 1;
  return WriteArchiveReporting(archive, files, nullptr) ? 0 : 1;
}
