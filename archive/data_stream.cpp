#include "data_stream.h"

#include <cstring>

bool DataStream::Close() { return true; }

bool DataStream::Notify(int, std::uint32_t, const char*) { return true; }

MemoryDataStream::MemoryDataStream(void* data, std::uint32_t size)
    : data_(static_cast<unsigned char*>(data)), size_(size), position_(0) {}

bool MemoryDataStream::Open(const char*, bool) { return data_ != nullptr; }

bool MemoryDataStream::Seek(std::uint64_t offset) {
  if (offset > 0xFFFFFFFFu) return false;
  // The position may lie beyond the end; reads there return 0.
  position_ = static_cast<std::uint32_t>(offset);
  return true;
}

std::uint32_t MemoryDataStream::Available() const {
  return position_ < size_ ? size_ - position_ : 0;
}

std::uint32_t MemoryDataStream::Read(void* buffer, std::uint32_t count) {
  std::uint32_t n = count < Available() ? count : Available();
  if (n != 0) std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return n;
}

std::uint32_t MemoryDataStream::Write(const void* buffer, std::uint32_t count) {
  std::uint32_t n = count < Available() ? count : Available();
  if (n != 0) std::memcpy(data_ + position_, buffer, n);
  position_ += n;
  return n;
}

bool MemoryDataStream::Close() {
  data_ = nullptr;
  size_ = 0;
  return true;
}

FileDataStream::FileDataStream() : handle_(INVALID_HANDLE_VALUE) {}

bool FileDataStream::Open(const char* name, bool forWrite) {
  if (handle_ != INVALID_HANDLE_VALUE) Close();
  handle_ = CreateFileA(name, forWrite ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, nullptr,
                        forWrite ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  return handle_ != INVALID_HANDLE_VALUE;
}

bool FileDataStream::Seek(std::uint64_t offset) {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  SetLastError(ERROR_SUCCESS);
  LONG high = static_cast<LONG>(static_cast<std::uint32_t>(offset >> 32));
  SetFilePointer(handle_, static_cast<LONG>(static_cast<std::uint32_t>(offset)), &high, FILE_BEGIN);
  return GetLastError() == ERROR_SUCCESS;
}

std::uint32_t FileDataStream::Read(void* buffer, std::uint32_t count) {
  if (handle_ == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  if (!ReadFile(handle_, buffer, count, &got, nullptr)) return 0;
  return got;
}

std::uint32_t FileDataStream::Write(const void* buffer, std::uint32_t count) {
  if (handle_ == INVALID_HANDLE_VALUE) return 0;
  DWORD put = 0;
  if (!WriteFile(handle_, buffer, count, &put, nullptr)) return 0;
  return put;
}

bool FileDataStream::Close() {
  if (handle_ == INVALID_HANDLE_VALUE) return false;
  BOOL closed = CloseHandle(handle_);
  if (!closed) return false;
  handle_ = INVALID_HANDLE_VALUE;
  return true;
}
