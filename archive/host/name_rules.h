// What an archive name must be for the installer to write it correctly on
// Windows, where it joins the name to the player's folder and calls the ANSI
// file functions.
#ifndef ARCHIVE_HOST_NAME_RULES_H
#define ARCHIVE_HOST_NAME_RULES_H

#include <cstddef>
#include <string>
#include <vector>

#include "code_page.h"

// The installer joins a name to the destination folder in a 1,023-character
// buffer, but Windows' ANSI file functions stop at MAX_PATH: 259 characters
// for a file, 247 for a folder. 160 leaves about 99 for the folder the player
// picks; the longest name in the shipped archive has 73.
const std::size_t kMaxNameLength = 160;

// Why a name of this many characters is refused, or empty when it is not.
std::string NameLengthProblem(std::size_t length);

// Why one path component, in the archive's bytes, cannot be written on
// Windows, or empty when it can. The component comes from a host file name,
// so '\' in it is refused too: in the archive it would split the name into
// folders.
std::string ComponentProblem(const std::string& component, const CodePage& codePage = AsciiNames());

// The file Windows writes for an archive name, as a key: '\' and '/' one
// separator, empty components dropped, each component without its trailing
// dots and spaces, letters folded as the code page folds them. Names of one
// key name one file.
std::string WindowsNameKey(const std::string& name, const CodePage& codePage);

// The folders on the way to an archive name, outermost first: a\b\c.txt
// gives a and a\b.
std::vector<std::string> ParentFolders(const std::string& name);

#endif  // ARCHIVE_HOST_NAME_RULES_H
