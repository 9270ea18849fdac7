#include "archive_writer.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>

#include "archive_format.h"
#include "host_files.h"

namespace {

void PutLittleEndian(unsigned char* out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

class Writer {
 public:
  Writer(OutputSink& out, const CopyProgress& copied, HostError* error)
      : out_(out), copied_(copied), error_(error) {}

  bool Write(const std::vector<PackFile>& files) {
    if (!WriteHeader(files)) return false;
    std::vector<unsigned char> buffer(1 << 18);
    for (const PackFile& file : files) {
      if (!CopyFile(file, &buffer)) return false;
    }
    for (const PackFile& file : files) {
      if (!Put(file.name.c_str(), file.name.size() + 1)) return false;
    }
    std::uint64_t nameOffset = 0;
    std::uint64_t dataOffset = sizeof(ArchiveHeader);
    for (const PackFile& file : files) {
      unsigned char entry[sizeof(ArchiveEntry)];
      PutArchiveEntry({dataOffset, file.size, static_cast<std::uint32_t>(nameOffset),
                       static_cast<std::uint32_t>(file.name.size() + 1), sizeof(ArchiveEntry), 0},
                      entry);
      if (!Put(entry, sizeof entry)) return false;
      dataOffset += file.size;
      nameOffset += file.name.size() + 1;
    }
    return true;
  }

 private:
  // The size limit keeps the names block and the table within their 32-bit
  // sizes.
  bool WriteHeader(const std::vector<PackFile>& files) {
    std::uint64_t dataEnd = sizeof(ArchiveHeader);
    std::uint64_t namesSize = 0;
    for (const PackFile& file : files) {
      dataEnd += file.size;
      namesSize += file.name.size() + 1;
    }
    std::uint64_t tableSize = files.size() * std::uint64_t{sizeof(ArchiveEntry)};
    unsigned char header[sizeof(ArchiveHeader)];
    PutLittleEndian(header + offsetof(ArchiveHeader, headWord), 1, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, headSize), 0, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, headOffset), dataEnd, 8);
    PutLittleEndian(header + offsetof(ArchiveHeader, tableWord), sizeof(ArchiveEntry), 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, tableSize), tableSize, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, tableOffset), dataEnd + namesSize, 8);
    PutLittleEndian(header + offsetof(ArchiveHeader, namesWord), 0, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, namesSize), namesSize, 4);
    PutLittleEndian(header + offsetof(ArchiveHeader, namesOffset), dataEnd, 8);
    return Put(header, sizeof header);
  }

  bool CopyFile(const PackFile& file, std::vector<unsigned char>* buffer) {
    std::string why;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> in(
        OpenExamined(file.source, file.identity, file.size, &why), std::fclose);
    if (!in) return Fail(PathText(file.source), why);
    std::setvbuf(in.get(), nullptr, _IONBF, 0);
    std::uint64_t copied = 0;
    // Asks for one byte more than is left, so that a short read ends the
    // file without another read, and a file that grew (which would shift
    // every later offset) shows at once.
    for (;;) {
      std::uint64_t left = file.size - copied + 1;
      std::size_t ask = left < buffer->size() ? static_cast<std::size_t>(left) : buffer->size();
      std::size_t got = std::fread(buffer->data(), 1, ask, in.get());
      copied += got;
      if (got == 0 || copied > file.size) break;
      if (!Put(buffer->data(), got)) return false;
      if (copied_) copied_(got);
      if (got < ask) break;
    }
    if (std::ferror(in.get())) {
      return Fail(PathText(file.source), "cannot read it: " + ErrnoText(errno));
    }
    if (copied != file.size) return Fail(PathText(file.source), kChangedSize);
    return true;
  }

  // A sink that fails knows why; error_ stays empty then.
  bool Put(const void* data, std::size_t size) { return out_.Write(data, size); }

  bool Fail(const std::string& subject, const std::string& reason) {
    *error_ = HostError{subject, reason};
    return false;
  }

 private:
  OutputSink& out_;
  const CopyProgress& copied_;
  HostError* error_;
};

}  // namespace

void PutArchiveEntry(const ArchiveEntry& entry, unsigned char out[sizeof(ArchiveEntry)]) {
  PutLittleEndian(out + offsetof(ArchiveEntry, dataOffset), entry.dataOffset, 8);
  PutLittleEndian(out + offsetof(ArchiveEntry, dataSize), entry.dataSize, 4);
  PutLittleEndian(out + offsetof(ArchiveEntry, nameOffset), entry.nameOffset, 4);
  PutLittleEndian(out + offsetof(ArchiveEntry, nameLength), entry.nameLength, 4);
  PutLittleEndian(out + offsetof(ArchiveEntry, entryWord), entry.entryWord, 4);
  PutLittleEndian(out + offsetof(ArchiveEntry, entryTail), entry.entryTail, 8);
}

std::uint64_t ArchiveSize(const std::vector<PackFile>& files) {
  std::uint64_t size = sizeof(ArchiveHeader);
  for (const PackFile& file : files)
    size += file.size + file.name.size() + 1 + sizeof(ArchiveEntry);
  return size;
}

std::string ArchiveSizeProblem(std::uint64_t size) {
  if (size <= kMaxArchiveSize) return std::string();
  return "would have " + SizeText(size) + ", more than the " + SizeText(kMaxArchiveSize) +
         " a Patch.exe can carry and still start";
}

bool WriteArchiveTo(OutputSink& out, const std::vector<PackFile>& files, const CopyProgress& copied,
                    HostError* error) {
  *error = HostError();
  return Writer(out, copied, error).Write(files);
}

bool WriteArchive(const std::string& archive, const std::vector<PackFile>& files,
                  const CopyProgress& copied, HostError* error) {
  std::string tooLarge = ArchiveSizeProblem(ArchiveSize(files));
  if (!tooLarge.empty()) {
    *error = HostError{archive, "not written: it " + tooLarge};
    return false;
  }
  OutputFile out("the archive");
  if (!out.Create(archive, error)) return false;
  if (!WriteArchiveTo(out, files, copied, error)) {
    if (error->subject.empty()) *error = out.WriteError();
    return false;
  }
  return out.Commit(error);
}
