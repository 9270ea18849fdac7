// Feeds arbitrary bytes as the installer's stub to the PE reader, and takes
// what it accepts through what build does: the version set, an archive put,
// the program written to memory and read back, which must hold every
// resource as it went in, the archive where the installer looks, and keep
// the loader's rules.
#include <cstring>

#include "fuzz_support.h"
#include "patch_program.h"

namespace {

struct MemorySink : OutputSink {
  bool Write(const void* data, std::size_t size) override {
    bytes.insert(bytes.end(), static_cast<const char*>(data),
                 static_cast<const char*>(data) + size);
    return true;
  }
  bool Rewrite(std::uint64_t offset, const void* data, std::size_t size) override {
    return offset + size <= bytes.size() && std::memcpy(&bytes[offset], data, size);
  }
  std::vector<unsigned char> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  PeImage stub, back;
  PatchVersion version;
  MemorySink out;
  std::string error;
  // A low load limit leaves some resources in the input, to be copied.
  if (!stub.Read(MemorySource(std::vector<unsigned char>(data, data + size)), &error, 512)) {
    Check(!error.empty() && stub.resources().empty(), "a refusal says why and keeps nothing");
    return 0;
  }
  Check(ParseVersion("12.34.567", &version, &error), "the version parses");
  SetVersion(stub, version, &error);  // the blocks may be damaged
  const std::vector<unsigned char> archive(size % 1021, 0xA5);
  PutArchive(stub, archive.size(),
             [&](OutputSink& to) { return to.Write(archive.data(), archive.size()); });
  stub.RemoveSignature();
  if (!stub.Write(out, &error)) return Check(!error.empty(), "a refused write says why"), 0;
  Check(out.bytes.size() == stub.OutputSize(), "the size announced is the size written");
  Check(stub.CheckWritten(MemorySource(out.bytes), &error) && back.Read(out.bytes, &error),
        "the program reads back as written");
  const PeResource* carried =
      back.Find(ResourceKey::Named(u"BINARY"), ResourceKey::Number(105), 0x419);
  Check(carried != nullptr && carried->fileSize == archive.size() &&
            std::equal(archive.begin(), archive.end(), out.bytes.begin() + carried->fileOffset),
        "the archive is where the installer looks");
  return 0;
}
