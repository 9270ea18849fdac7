// Edits of two resources the installer stub carries, keeping everything else
// in them byte for byte: the version block and a string table block.
#ifndef PROGRAM_RESOURCE_BLOCKS_H
#define PROGRAM_RESOURCE_BLOCKS_H

#include <cstdint>
#include <string>
#include <vector>

// In a version block (resource type 16): sets the fixed part's file and
// product versions to parts[0].parts[1].parts[2].parts[3], and the
// "FileVersion" and "ProductVersion" strings of every string table to text
// (those present; none is added). The lengths of the nodes on the way are
// rebuilt and their 32-bit padding laid out anew; a node that counted the
// padding after its last child still does. False, with *error set, on a
// malformed block.
bool SetVersionNumbers(std::vector<unsigned char>* block, const std::uint16_t parts[4],
                       const std::u16string& text, std::string* error);

// In a string table block (resource type 6, name id / 16 + 1, sixteen
// length-prefixed UTF-16 strings): replaces the string id % 16, index, with
// text. Bytes after the sixteenth string are kept.
bool SetTableString(std::vector<unsigned char>* block, unsigned index, const std::u16string& text,
                    std::string* error);

// The string index of a string table block; false, with *error set, on a
// malformed block.
bool TableString(const std::vector<unsigned char>& block, unsigned index, std::u16string* text,
                 std::string* error);

#endif  // PROGRAM_RESOURCE_BLOCKS_H
