// A 32-bit Windows GUI program as the linker lays it out, with its resources
// taken apart so they can be replaced and the program written again without
// a compiler. Portable: the same bytes come out on every host.
#ifndef PROGRAM_PE_IMAGE_H
#define PROGRAM_PE_IMAGE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "output_sink.h"

// A resource type or name: a number, or a string. An empty name makes a
// numbered key.
struct ResourceKey {
  std::uint16_t id = 0;
  std::u16string name;

  static ResourceKey Number(std::uint16_t id);
  // Kept as given: the loader compares names as stored, and resource
  // compilers store them in capitals.
  static ResourceKey Named(const std::u16string& name);
  bool IsNamed() const { return !name.empty(); }
  bool operator==(const ResourceKey& other) const;
  bool operator!=(const ResourceKey& other) const { return !(*this == other); }
};

// For messages: BINARY, 105; names outside printable ASCII as \uXXXX.
std::string ResourceKeyText(const ResourceKey& key);

struct PeResource {
  ResourceKey type, name;
  std::uint16_t language = 0;
  std::uint32_t codePage = 0;  // the data entry's code page field, kept as read
  std::vector<unsigned char> data;
  // When set, Write calls it once to write the bytes instead of data; it must
  // write exactly streamedSize bytes with out.Write (out refuses Rewrite).
  std::uint64_t streamedSize = 0;
  std::function<bool(OutputSink& out)> stream;

  std::uint64_t size() const { return stream ? streamedSize : data.size(); }
};

class PeImage {
 public:
  // Takes a whole file apart. Refuses, with *error saying why in a few words
  // for a release engineer, anything that is not a PE32 image for i386 with
  // the Windows GUI subsystem; headers, sections or a resource directory that
  // point outside the file, overlap or loop; data after the last section
  // other than a certificate table; and layouts Write cannot rebuild: a
  // resource directory that shares its section, sections after it other than
  // the base relocations, data directories or the entry point inside the
  // sections that move, no room for another section header. On failure the
  // image is empty.
  bool Read(std::vector<unsigned char> file, std::string* error);

  // In the order the directory lists them, then those added by Put.
  std::vector<PeResource>& resources() { return resources_; }
  const std::vector<PeResource>& resources() const { return resources_; }
  // Null when there is none; valid until the resources change.
  PeResource* Find(const ResourceKey& type, const ResourceKey& name, std::uint16_t language);
  // Replaces the resource of the same type, name and language, else adds it.
  void Put(PeResource resource);

  // An Authenticode certificate table (data directory 4). Write refuses a
  // signed image: the changes would break the signature.
  bool HasSignature() const { return signed_; }
  void RemoveSignature() { signed_ = false; }

  // Writes the program with its resource directory rebuilt as the last
  // section: the section after the old one (the base relocations) moves down
  // into its place, byte for byte; the headers are fixed and the checksum
  // recomputed and written last with out.Rewrite. Every other header field
  // and section is kept as it was. The directory lists named entries before
  // numbered ones, names in code unit order, numbers and languages
  // ascending; the data follows, each piece aligned to 8 bytes, streamed
  // resources last. Refuses a signed image, a resource listed twice, a
  // result of 4 GiB or more, and a streamed resource that fails or writes
  // another size than it announced. When out refused a write, *error says
  // "the output refused a write" and out knows why.
  bool Write(OutputSink& out, std::string* error) const;
  // The size of the file Write produces.
  std::uint64_t OutputSize() const;

 private:
  struct Section {
    unsigned char header[40];
    std::uint32_t va, virtualSize, rawOffset, rawSize, characteristics;
    std::uint64_t Extent() const { return virtualSize != 0 ? virtualSize : rawSize; }
  };
  struct Layout;

  bool Parse(std::string* error);
  bool ParseSections(std::string* error);
  bool CheckLayout(std::string* error);
  bool ParseResources(std::string* error);
  std::uint64_t DirectoryField(int index) const;  // a data directory's offset in the file
  Layout Plan() const;

  std::vector<unsigned char> file_;
  std::vector<PeResource> resources_;
  std::vector<Section> sections_;
  std::uint32_t peOffset_ = 0, sectionTable_ = 0, sizeOfHeaders_ = 0;
  std::uint32_t sectionAlignment_ = 0, fileAlignment_ = 0;
  int resourceSection_ = -1;  // -1: none; the sections after it move down
  bool signed_ = false;
};

#endif  // PROGRAM_PE_IMAGE_H
