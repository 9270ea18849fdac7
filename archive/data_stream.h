// Byte streams the extractor reads an archive through, and reports progress to.
#ifndef ARCHIVE_DATA_STREAM_H
#define ARCHIVE_DATA_STREAM_H

#include <cstdint>

#include "platform_files.h"

class DataStream {
 public:
  // Destruction releases nothing: whoever opens a stream closes it.
  virtual ~DataStream() {}
  virtual bool Open(const char* name, bool forWrite) = 0;
  virtual bool Seek(std::uint64_t offset) = 0;
  virtual std::uint32_t Read(void* buffer, std::uint32_t count) = 0;
  virtual std::uint32_t Write(const void* buffer, std::uint32_t count) = 0;
  virtual bool Close();
  // Event sink for the extractor; the result is ignored by it.
  virtual bool Notify(int event, std::uint32_t value, const char* name);
};

// A stream over a block the caller owns and keeps alive. The block may be
// read-only as long as Write is never called.
class MemoryDataStream : public DataStream {
 public:
  MemoryDataStream(void* data, std::uint32_t size);
  bool Open(const char* name, bool forWrite) override;
  bool Seek(std::uint64_t offset) override;
  std::uint32_t Read(void* buffer, std::uint32_t count) override;
  std::uint32_t Write(const void* buffer, std::uint32_t count) override;
  // Forgets the block for good: a later Open fails.
  bool Close() override;

 private:
  std::uint32_t Available() const;

  unsigned char* data_;
  std::uint32_t size_;
  std::uint32_t position_;
};

class FileDataStream : public DataStream {
 public:
  FileDataStream();
  // Opens anew, closing any file already open; the position starts at 0.
  bool Open(const char* name, bool forWrite) override;
  bool Seek(std::uint64_t offset) override;
  std::uint32_t Read(void* buffer, std::uint32_t count) override;
  std::uint32_t Write(const void* buffer, std::uint32_t count) override;
  bool Close() override;

 private:
  HANDLE handle_;
};

#endif  // ARCHIVE_DATA_STREAM_H
