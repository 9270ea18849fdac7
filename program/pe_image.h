// A 32-bit Windows GUI program as the linker lays it out, with its resources
// taken apart so they can be replaced and the program written again without
// a compiler. Portable: the same bytes come out on every host.
#ifndef PROGRAM_PE_IMAGE_H
#define PROGRAM_PE_IMAGE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "output_sink.h"

// Where an image is read from, in place: a file stays on disk and is read
// piece by piece as needed, so a program carrying a large archive is never
// held whole in memory.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t size() const = 0;
  // Exactly size bytes from offset; false, with *error set, when they cannot
  // be had.
  virtual bool ReadAt(std::uint64_t offset, void* data, std::size_t size, std::string* error) = 0;
};

// Bytes in memory, for tests and the fuzz target.
std::shared_ptr<ByteSource> MemorySource(std::vector<unsigned char> bytes);
// A file, open for as long as the source lives. False, with *error saying why
// ("cannot open it: ..."), when it is not a regular file that can be opened.
bool OpenFileSource(const std::filesystem::path& path, std::shared_ptr<ByteSource>* source,
                    std::string* error);

// A resource type or name: a number, or a string. An empty name makes a
// numbered key.
struct ResourceKey {
  std::uint16_t id = 0;
  // Shared, not copied: a directory may give one name to any number of
  // resources.
  std::shared_ptr<const std::u16string> text;

  static ResourceKey Number(std::uint16_t id);
  // Kept as given: the loader compares names as stored, and resource
  // compilers store them in capitals.
  static ResourceKey Named(const std::u16string& name);
  bool IsNamed() const { return text != nullptr; }
  const std::u16string& name() const;  // empty for a number
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
  // Where Read found the bytes in its source. Those of a resource larger than
  // Read's load limit stay there (data is empty) and Write copies them.
  std::uint64_t fileOffset = 0, fileSize = 0;
  bool loaded = true;

  std::uint64_t size() const { return stream ? streamedSize : loaded ? data.size() : fileSize; }
};

class PeImage {
 public:
  // Resources up to this size are loaded; larger ones are left in the source.
  static constexpr std::uint64_t kLoadLimit = 64 * 1024;

  // Takes a program apart, reading from source in place and keeping it for
  // Write. Refuses, with *error saying why in a few words for a release
  // engineer, anything that is not a PE32 image for i386 with the Windows GUI
  // subsystem; what the Windows loader refuses to load (alignments outside
  // its rules, sizes that do not cover the headers and sections, sections
  // that overlap, leave gaps in memory or leave the file, base relocations
  // outside their sections); a resource directory that points outside its
  // section, loops or lists a resource twice; data after the last section
  // other than a certificate table; and layouts Write cannot rebuild without
  // losing something: data of another kind in the resource section or beside
  // the relocations after it, sections after it other than the base
  // relocations, data directories, relocations or the entry point inside the
  // sections that move, no room for another section header. Its work and
  // memory grow with the source's size at most. On failure the image is
  // empty.
  bool Read(std::shared_ptr<ByteSource> source, std::string* error,
            std::uint64_t loadLimit = kLoadLimit);
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
  // result of 4 GiB or more (2 GiB in memory), and a streamed resource that
  // fails or writes another size than it announced. When out refused a
  // write, *error says "the output refused a write" and out knows why.
  bool Write(OutputSink& out, std::string* error) const;
  // The size of the file Write produces.
  std::uint64_t OutputSize() const;
  // Reads written, what Write wrote, back as Read does, with the loader's
  // rules, and checks it against this image: its checksum, and every
  // resource in its place with its size, all but the streamed ones byte for
  // byte. False with *error saying what differs.
  bool CheckWritten(std::shared_ptr<ByteSource> written, std::string* error) const;

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
  // The base relocations, size bytes at file offset at; none may fix up
  // [from, to), what Write rebuilds or moves.
  bool CheckRelocations(std::uint64_t at, std::uint64_t size, std::uint64_t from, std::uint64_t to,
                        std::string* error);
  bool ParseResources(std::uint64_t loadLimit, std::string* error);
  bool Load(std::uint64_t offset, std::uint64_t size, std::vector<unsigned char>* out,
            std::string* error) const;
  // False, with *error set to what, when a byte of the source in [from, to)
  // outside the ranges is not zero.
  bool ZeroOutside(std::uint64_t from, std::uint64_t to,
                   std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges,
                   const std::string& what, std::string* error) const;
  bool Copy(OutputSink& out, std::uint64_t offset, std::uint64_t size, std::string* error) const;
  std::uint64_t DirectoryField(int index) const;  // a data directory's offset in the headers
  Layout Plan() const;

  std::shared_ptr<ByteSource> source_;
  std::vector<unsigned char> head_;  // the headers, up to SizeOfHeaders
  std::vector<PeResource> resources_;
  std::vector<Section> sections_;
  std::uint32_t peOffset_ = 0, sectionTable_ = 0, sizeOfHeaders_ = 0;
  std::uint32_t sectionAlignment_ = 0, fileAlignment_ = 0;
  int resourceSection_ = -1;  // -1: none; the sections after it move down
  bool signed_ = false;
};

#endif  // PROGRAM_PE_IMAGE_H
