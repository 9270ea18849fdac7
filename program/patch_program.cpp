#include "patch_program.h"

#include <cctype>
#include <memory>

#include "host_text.h"
#include "payload_check.h"
#include "resource.h"
#include "resource_blocks.h"

namespace {

const std::uint16_t kRussian = 0x0419;
const std::uint16_t kDialogType = 5;
const std::uint16_t kStringType = 6;
const std::uint16_t kVersionType = 16;
const std::uint16_t kVersionId = 1;

std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

bool Digits(const std::string& text, std::size_t from, std::size_t count) {
  if (from + count > text.size()) return false;
  for (std::size_t i = from; i < from + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// Passes the archive on and sums it on the way.
class SummingSink : public OutputSink {
 public:
  explicit SummingSink(OutputSink& out) : out_(out) {}
  bool Write(const void* data, std::size_t size) override {
    if (!out_.Write(data, size)) return false;
    crc_ = Crc32(crc_, data, size);
    return true;
  }
  // The sum has gone past those bytes.
  bool Rewrite(std::uint64_t, const void*, std::size_t) override { return false; }
  std::uint32_t crc() const { return crc_; }

 private:
  OutputSink& out_;
  std::uint32_t crc_ = 0;
};

}  // namespace

bool ParseVersion(const std::string& text, PatchVersion* version, std::string* problem) {
  std::size_t dot = text.find('.');
  if (dot == std::string::npos || dot == 0 || !Digits(text, 0, dot) || text.size() != dot + 7 ||
      text[dot + 3] != '.' || !Digits(text, dot + 1, 2) || !Digits(text, dot + 4, 3)) {
    *problem = "not a version of the form X.YY.ZZZ, such as 1.00.002";
    return false;
  }
  if (dot > 5 || std::stoul(text.substr(0, dot)) > 0xFFFF) {
    *problem = "the major number " + text.substr(0, dot) +
               " does not fit the version block (at most 65535)";
    return false;
  }
  unsigned long major = std::stoul(text.substr(0, dot));
  version->text = text;
  version->parts[0] = static_cast<std::uint16_t>(major);
  version->parts[1] = static_cast<std::uint16_t>(text[dot + 1] - '0');
  version->parts[2] = static_cast<std::uint16_t>(text[dot + 2] - '0');
  version->parts[3] = static_cast<std::uint16_t>(std::stoul(text.substr(dot + 4)));
  return true;
}

std::string StubProblem(PeImage& stub) {
  if (stub.Find(ResourceKey::Number(kDialogType), ResourceKey::Number(IDD_MAIN), kRussian) ==
      nullptr) {
    return "it has no dialog " + std::to_string(IDD_MAIN) + ": not the installer's stub";
  }
  return std::string();
}

bool SetVersion(PeImage& stub, const PatchVersion& version, std::string* problem) {
  // String 104 is the ninth of the table's seventh block of sixteen.
  PeResource* strings = stub.Find(ResourceKey::Number(kStringType),
                                  ResourceKey::Number(IDS_VERSION / 16 + 1), kRussian);
  PeResource* block =
      stub.Find(ResourceKey::Number(kVersionType), ResourceKey::Number(kVersionId), kRussian);
  if (strings == nullptr || block == nullptr) {
    *problem = "it has no version string or no version block to change";
    return false;
  }
  std::string commas;
  for (std::uint16_t part : version.parts) {
    commas += (commas.empty() ? "" : ", ") + std::to_string(part);
  }
  return SetTableString(&strings->data, IDS_VERSION % 16, Wide("Version: " + version.text),
                        problem) &&
         SetVersionNumbers(&block->data, version.parts, Wide(commas), problem);
}

std::string VersionLine(PeImage& program) {
  PeResource* strings = program.Find(ResourceKey::Number(kStringType),
                                     ResourceKey::Number(IDS_VERSION / 16 + 1), kRussian);
  std::u16string line;
  std::string error, text;
  if (strings == nullptr || !TableString(strings->data, IDS_VERSION % 16, &line, &error)) {
    return text;
  }
  for (char16_t c : line) AppendUtf8(c >= 0xD800 && c < 0xE000 ? U'?' : c, &text);
  return text;
}

bool ReadCarriedArchive(const std::filesystem::path& path, CarriedArchive* archive,
                        std::string* problem) {
  std::shared_ptr<ByteSource> source;
  PeImage image;
  *archive = CarriedArchive();
  if (!OpenFileSource(path, &source, problem) || !image.Read(source, problem)) return false;
  PeResource* found =
      image.Find(ResourceKey::Named(u"BINARY"), ResourceKey::Number(IDR_PATCH_DATA), kRussian);
  archive->version = VersionLine(image);
  PeResource* check = image.Find(ResourceKey::Named(u"" PATCH_CHECK_TYPE),
                                 ResourceKey::Number(IDR_PATCH_CHECK), kRussian);
  if (check != nullptr) {
    archive->checked = true;  // one too large to load holds no CRC-32: damaged
    if (check->loaded) archive->check = check->data;
  }
  if (found != nullptr) {
    archive->carried = true;
    archive->offset = found->fileOffset;
    archive->size = found->fileSize;
  }
  return true;
}

void PutArchive(PeImage& stub, std::uint64_t size, std::function<bool(OutputSink&)> write) {
  PeResource archive;
  archive.type = ResourceKey::Named(u"BINARY");
  archive.name = ResourceKey::Number(IDR_PATCH_DATA);
  archive.language = kRussian;
  archive.streamedSize = size;
  // Streamed resources are written in the directory's order, named types
  // first and "BINARY" before "CRC32": the check comes after the archive.
  struct Sum {
    std::uint32_t crc = 0;
    bool whole = false;
  };
  auto sum = std::make_shared<Sum>();
  archive.stream = [write = std::move(write), sum](OutputSink& out) {
    SummingSink summing(out);
    sum->whole = write(summing);
    sum->crc = summing.crc();
    return sum->whole;
  };
  PeResource check;
  check.type = ResourceKey::Named(u"" PATCH_CHECK_TYPE);
  check.name = ResourceKey::Number(IDR_PATCH_CHECK);
  check.language = kRussian;
  check.streamedSize = kPayloadCheckSize;
  check.stream = [sum](OutputSink& out) {
    unsigned char bytes[kPayloadCheckSize];
    PutPayloadCheck(sum->crc, bytes);
    // Never the sum of an archive that did not stream whole.
    return sum->whole && out.Write(bytes, sizeof bytes);
  };
  stub.Put(std::move(archive));
  stub.Put(std::move(check));
}
