// patchpack extract: writes an archive's files with the installer's own
// extractor, reading the archive from a file instead of a resource.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "archive_extractor.h"
#include "archive_index.h"
#include "code_page.h"
#include "commands.h"
#include "confined_writes.h"
#include "console.h"
#include "host_files.h"

const char kExtractHelp[] =
    "usage: patchpack extract [--codepage N] ARCHIVE [DIR]\n"
    "\n"
    "ARCHIVE may be a Patch.exe, for the archive it carries (see 'patchpack\n"
    "list --help'); one whose archive fails its check is damaged and refused.\n"
    "\n"
    "Writes every file of ARCHIVE under DIR (default: the current folder) with\n"
    "the installer's extractor: missing folders are created and existing files,\n"
    "read-only ones too, are replaced. Nothing is written through a symbolic\n"
    "link below DIR (DIR itself may be one), nor to a FIFO or a device: a file\n"
    "whose way leads through one cannot be created. A progress bar is drawn on\n"
    "stderr when it is a terminal; each failure is printed as it happens, and a\n"
    "failure on one file does not stop the others. A file not laid out as\n"
    "patchpack lays an archive out is refused (see 'patchpack list --help'),\n"
    "and so is an archive that would write over itself or over patchpack.\n"
    "Names are handed to the file functions as stored, as Patch.exe hands\n"
    "them; with --codepage N they are read in Windows code page N and written\n"
    "as the host names files (UTF-8 on Linux; on Windows, its ANSI code page,\n"
    "which must hold them), so that 'patchpack verify --codepage N' finds them.\n"
    "\n"
    "Exit status: the extractor's result, that of the last failure met:\n"
    "  0  every file was written in full\n"
    "  1  nothing was written: the archive could not be opened, would write over\n"
    "     itself or patchpack, or holds a name the host cannot write\n"
    "  2  the archive is not laid out as one, or it or a file's bytes in it\n"
    "     could not be read in full\n"
    "  3  a file could not be written in full\n"
    "  4  out of memory for the entry table or the names\n"
    "  5  a file could not be created\n"
    "  64 usage error\n";

namespace {

// The extractor asks for 512 bytes at a time; serving those from a large
// buffer turns thousands of small reads of the archive into a few big ones.
class BufferedFileStream : public ArchiveFileStream {
 public:
  BufferedFileStream() : buffer_(kBufferSize) {}

  bool Open(const char* name, bool forWrite) override {
    start_ = length_ = position_ = 0;
    return ArchiveFileStream::Open(name, forWrite);
  }

  // The file's own position always stays at start_ + length_.
  bool Seek(std::uint64_t offset) override {
    if (offset >= start_ && offset - start_ <= length_) {
      position_ = offset;
      return true;
    }
    if (!ArchiveFileStream::Seek(offset)) return false;
    start_ = position_ = offset;
    length_ = 0;
    return true;
  }

  std::uint32_t Read(void* buffer, std::uint32_t count) override {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    std::uint32_t done = 0;
    while (done < count) {
      std::uint64_t available = start_ + length_ - position_;
      if (available == 0) {
        start_ += length_;
        length_ = 0;
        if (count - done >= kBufferSize) {
          std::uint32_t got = ArchiveFileStream::Read(out + done, count - done);
          start_ += got;
          position_ = start_;
          return done + got;
        }
        length_ = ArchiveFileStream::Read(buffer_.data(), kBufferSize);
        if (length_ == 0) break;
        continue;
      }
      std::uint32_t n =
          count - done < available ? count - done : static_cast<std::uint32_t>(available);
      std::memcpy(out + done, buffer_.data() + (position_ - start_), n);
      position_ += n;
      done += n;
    }
    return done;
  }

  std::uint32_t Write(const void*, std::uint32_t) override { return 0; }

 private:
  static const std::uint32_t kBufferSize = 1 << 17;
  std::vector<unsigned char> buffer_;
  std::uint64_t start_ = 0;     // archive offset of buffer_[0]
  std::uint64_t length_ = 0;    // bytes held in buffer_
  std::uint64_t position_ = 0;  // the stream's position
};

// The archive with its names as the host names files: the renamed header at
// offset 0, its names and table from the archive's end on, the files' bytes
// from the file. The extractor reads the header, then seeks to each block.
class RenamedStream : public BufferedFileStream {
 public:
  explicit RenamedStream(const RenamedIndex* renamed) : renamed_(renamed) {}

  bool Open(const char* name, bool forWrite) override {
    at_ = 0;
    return BufferedFileStream::Open(name, forWrite);
  }

  bool Seek(std::uint64_t offset) override {
    at_ = offset;
    return !InFile() || BufferedFileStream::Seek(offset);
  }

  std::uint32_t Read(void* buffer, std::uint32_t count) override {
    std::uint32_t got = 0;
    if (InFile()) {
      std::uint64_t left = renamed_ == nullptr ? count : renamed_->header.namesOffset - at_;
      got =
          BufferedFileStream::Read(buffer, left < count ? static_cast<std::uint32_t>(left) : count);
    } else if (at_ < sizeof(ArchiveHeader)) {
      got = Copy(&renamed_->header, sizeof(ArchiveHeader), at_, buffer, count);
    } else {
      got = Copy(renamed_->tail.data(), renamed_->tail.size(), at_ - renamed_->header.namesOffset,
                 buffer, count);
    }
    at_ += got;
    return got;
  }

 private:
  bool InFile() const {
    return renamed_ == nullptr ||
           (at_ >= sizeof(ArchiveHeader) && at_ < renamed_->header.namesOffset);
  }

  static std::uint32_t Copy(const void* from, std::uint64_t size, std::uint64_t at, void* to,
                            std::uint32_t count) {
    if (at >= size) return 0;
    std::uint32_t n = size - at < count ? static_cast<std::uint32_t>(size - at) : count;
    std::memcpy(to, static_cast<const unsigned char*>(from) + at, n);
    return n;
  }

  const RenamedIndex* renamed_;
  std::uint64_t at_ = 0;
};

class ReportingStream : public RenamedStream {
 public:
  ReportingStream(const std::string& archive, const char* folder, const ArchiveIndex& index,
                  const CodePage& codePage, const std::vector<std::string>& names,
                  const RenamedIndex* renamed)
      : RenamedStream(renamed),
        archive_(archive),
        folder_(folder),
        index_(index),
        codePage_(codePage),
        names_(names) {}

  // The core has no exception tables: nothing may unwind through it, so a
  // report that cannot be built (out of memory) is counted, not thrown.
  bool Notify(int event, std::uint32_t value, const char* name) noexcept override {
    try {
      Handle(event, value, name);
    } catch (...) {
      ++unreported_;
    }
    return true;
  }

  bool begun() const { return begun_; }
  std::uint32_t attempted() const { return attempted_; }
  std::uint32_t failed() const { return failed_; }
  std::uint32_t unreported() const { return unreported_; }

 private:
  void Handle(int event, std::uint32_t value, const char* name) {
    switch (event) {
      case EVENT_BEGIN:
        begun_ = true;
        ShowProgress(0);
        break;
      case EVENT_TOTAL_PROGRESS:
        ++attempted_;
        ShowProgress(value);
        break;
      case EVENT_FILE_BEGIN:
        current_ = name;
        inFile_ = true;
        fileFailed_ = false;
        break;
      case EVENT_FILE_END:
        inFile_ = false;
        if (fileFailed_) ++failed_;
        break;
      case EVENT_ERROR:
        Error(value);
        break;
      case EVENT_END:
        EndProgress();
        break;
      default:
        break;
    }
  }

  void Error(std::uint32_t code) {
    // Read before anything here can touch the file functions.
    DWORD systemError = GetLastError();
    if (inFile_) {
      fileFailed_ = true;
      // A write cut short by a full disk or a file-size limit may report no
      // error at all (it did write something): say what that means.
      std::string why = systemError == ERROR_SUCCESS
                            ? "the disk took only part of it (full, or a file-size limit)"
                            : SystemErrorText(systemError);
      PrintError(Printable(current_), code == EXTRACT_WRITE_FAILED
                                          ? "cannot write it in full: " + why
                                          : "the archive ends before the file's bytes do");
      return;
    }
    // Failures before the first entry end the run: the summary explains them.
    if (!begun_) return;
    // The extractor names no file here; entries are attempted in table order,
    // each either created (one total-progress event) or not (this event).
    std::uint32_t entry = attempted_++;
    ++failed_;
    if (entry >= names_.size()) return;
    const char* name = names_[entry].c_str();
    if (!IsContainedName(name)) {
      PrintError(archive_,
                 index_.Describe(entry, codePage_) + ": not created: " + index_.Problem(entry));
      return;
    }
    char path[1024];
    if (JoinPath(path, sizeof path, folder_, name) == nullptr) {
      PrintError(archive_, index_.Describe(entry, codePage_) +
                               ": not created: the destination path passes 1,023 characters");
      return;
    }
    PrintError(Printable(path), "cannot create it: " + SystemErrorText(systemError));
  }

  std::string archive_;
  const char* folder_;
  const ArchiveIndex& index_;
  const CodePage& codePage_;
  const std::vector<std::string>& names_;
  bool begun_ = false;
  bool inFile_ = false;
  bool fileFailed_ = false;
  std::uint32_t attempted_ = 0;
  std::uint32_t failed_ = 0;
  std::uint32_t unreported_ = 0;
  std::string current_;
};

const char* ResultText(int result) {
  switch (result) {
    case EXTRACT_OPEN_FAILED:
      return "cannot open it";
    case EXTRACT_READ_FAILED:
      return "cannot read it as an archive";
    case EXTRACT_OUT_OF_MEMORY:
      return "not enough memory for the entry table and names";
    case EXTRACT_CREATE_FAILED:
      return "cannot tell the current folder";
    default:
      return "extraction failed";
  }
}

// False after reporting an entry that would be written over the archive or
// this program: outputs never replace inputs.
bool ReplacesNothing(const std::string& archive, const char* folder, const ArchiveIndex& index,
                     const CodePage& codePage, const std::vector<std::string>& names) {
  KnownFiles inputs({{ArgumentPath(archive), "the archive being extracted"},
                     {ProgramFile(), "patchpack itself"}});
  for (std::uint32_t i = 0; i < index.count(); ++i) {
    char path[1024];
    if (!IsContainedName(names[i].c_str()) ||
        JoinPath(path, sizeof path, folder, names[i].c_str()) == nullptr) {
      continue;
    }
    std::string replaced = inputs.Find(CorePath(path));
    if (!replaced.empty()) {
      PrintError(archive, index.Describe(i, codePage) + ": it would replace " + replaced +
                              "; nothing extracted");
      return false;
    }
  }
  return true;
}

}  // namespace

int RunExtract(const Arguments& arguments) {
  Arguments operands;
  std::string codePageNumber;
  int parsed = ParseOperands("extract", kExtractHelp, arguments, 1, 2, &operands,
                             {{"--codepage", &codePageNumber}});
  if (parsed >= 0) return parsed;
  CodePage codePage;
  if (!SelectCodePage(codePageNumber, &codePage)) return kUsageExit;
  const std::string& archive = operands[0];
  const char* folder = operands.size() > 1 ? operands[1].c_str() : nullptr;
  if (folder != nullptr && !InOrder("extract", "ARCHIVE [DIR]", archive, folder)) {
    return kUsageExit;
  }

  // The index judges the archive and names failures; the extractor reads the
  // archive itself and has the last word on what is written.
  ArchiveIndex index;
  ArchiveFileStream probe;
  int opened = OpenIndexed(archive, &probe, &index);
  if (opened != 0) return opened;
  probe.Close();
  char currentFolder[1024];
  const char* shownFolder = folder;
  if (shownFolder == nullptr) {
    DWORD length = GetCurrentDirectoryA(sizeof currentFolder, currentFolder);
    shownFolder = length != 0 && length < sizeof currentFolder ? currentFolder : ".";
  }
  std::vector<std::string> names;
  RenamedIndex renamed;
  std::string problem;
  if (!HostNames(index, codePage, &names, &renamed, &problem)) {
    PrintError(archive, problem + "; nothing extracted");
    return 1;
  }
  if (!ReplacesNothing(archive, shownFolder, index, codePage, names)) return 1;

  // Nothing below the destination is written through a link, nor anything
  // but a file.
  if (!ConfineWritesTo(folder != nullptr ? folder : shownFolder)) {
    PrintError(archive, "not enough memory");
    return EXTRACT_OUT_OF_MEMORY;
  }
  ReportingStream stream(archive, shownFolder, index, codePage, names,
                         codePage.number() != 0 ? &renamed : nullptr);
  stream.SetWindow(probe.windowOffset(), probe.windowSize());  // a Patch.exe's archive
  ArchiveExtractor extractor;
  SetLastError(ERROR_SUCCESS);
  int result = extractor.Extract(archive.c_str(), folder, stream);
  DWORD systemError = GetLastError();
  ConfineWritesTo(nullptr);
  EndProgress();

  if (!stream.begun()) {
    std::string reason = ResultText(result);
    if (result == EXTRACT_OPEN_FAILED) reason += ": " + SystemErrorText(systemError);
    PrintError(archive, reason);
    return result;
  }
  if (stream.unreported() != 0) {
    PrintError(archive, "out of memory: " + std::to_string(stream.unreported()) +
                            " events could not be reported");
  }
  std::printf("%u of %u files written to %s\n",
              static_cast<unsigned>(stream.attempted() - stream.failed()),
              static_cast<unsigned>(stream.attempted()), Printable(shownFolder).c_str());
  return result;
}
