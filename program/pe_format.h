// What the PE image's reader and writer share: the fields of the headers they
// read or rewrite, little-endian access, and the order of resources.
#ifndef PROGRAM_PE_FORMAT_H
#define PROGRAM_PE_FORMAT_H

#include <cstdint>
#include <string>
#include <vector>

#include "host_text.h"
#include "pe_image.h"

namespace pe {

using Bytes = std::vector<unsigned char>;

const std::uint32_t kSectionHeaderSize = 40;
const std::uint32_t kInitializedData = 0x40;
const std::uint32_t kHighBit = 0x80000000u;
const std::uint64_t k2GiB = 1ull << 31, k4GiB = 1ull << 32;
// The piece in which large data is copied or compared.
const std::uint64_t kChunk = 1 << 18;
// Below it the loader maps the file as it lies: each section at its own
// file offset.
const std::uint32_t kPageSize = 0x1000;
// Fields of the PE32 optional header, from its start.
const std::uint32_t kSizeOfInitializedData = 8, kEntryPoint = 16, kSectionAlignment = 32,
                    kFileAlignment = 36, kSizeOfImage = 56, kSizeOfHeaders = 60, kCheckSum = 64,
                    kSubsystem = 68, kDirectoryCount = 92, kDirectories = 96;
// Data directories this code reads or moves; the rest only get checked.
const int kResourceDirectory = 2, kCertificateDirectory = 4, kRelocationDirectory = 5;
const int kDirectoriesNeeded = 6;

inline std::uint32_t Get16(const Bytes& b, std::uint64_t at) {
  return b[at] | static_cast<std::uint32_t>(b[at + 1]) << 8;
}
inline std::uint32_t Get32(const Bytes& b, std::uint64_t at) {
  return Get16(b, at) | Get16(b, at + 2) << 16;
}
inline void Put16(unsigned char* out, std::uint32_t value) {
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
}
inline void Put32(unsigned char* out, std::uint64_t value) {
  Put16(out, static_cast<std::uint32_t>(value));
  Put16(out + 2, static_cast<std::uint32_t>(value >> 16));
}
inline std::uint64_t AlignUp(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}
inline bool Fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

inline std::string SectionName(const unsigned char* header) {
  std::string name(reinterpret_cast<const char*>(header), 8);
  return Printable(name.substr(0, name.find('\0')));
}

inline std::string ResourceText(const PeResource& resource) {
  return ResourceKeyText(resource.type) + " " + ResourceKeyText(resource.name) + " (language " +
         Hex(resource.language, 4, false) + ")";
}

// Names shared by many resources compare at once.
inline bool KeyLess(const ResourceKey& a, const ResourceKey& b) {
  if (a.IsNamed() != b.IsNamed()) return a.IsNamed();
  return a.IsNamed() ? a.text != b.text && *a.text < *b.text : a.id < b.id;
}

// The order of the rebuilt directory.
inline bool ResourceLess(const PeResource* a, const PeResource* b) {
  if (a->type != b->type) return KeyLess(a->type, b->type);
  if (a->name != b->name) return KeyLess(a->name, b->name);
  return a->language < b->language;
}

}  // namespace pe

#endif  // PROGRAM_PE_FORMAT_H
