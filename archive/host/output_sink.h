// Where a host program's output goes: an archive, or a program that carries
// one. Written front to back; bytes already written may be overwritten, for
// fields (a checksum) known only at the end.
#ifndef ARCHIVE_HOST_OUTPUT_SINK_H
#define ARCHIVE_HOST_OUTPUT_SINK_H

#include <cstddef>
#include <cstdint>

class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Appends; false when not all of it was stored.
  virtual bool Write(const void* data, std::size_t size) = 0;
  // Overwrites size bytes at offset, which were written before.
  virtual bool Rewrite(std::uint64_t offset, const void* data, std::size_t size) = 0;
};

#endif  // ARCHIVE_HOST_OUTPUT_SINK_H
