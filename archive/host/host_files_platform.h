// What OutputFile needs from the host, one source file per platform.
#ifndef ARCHIVE_HOST_HOST_FILES_PLATFORM_H
#define ARCHIVE_HOST_HOST_FILES_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "host_files.h"

// The longest temporary name, in bytes or UTF-16 units, the removal on a
// signal can hold.
const std::size_t kMaxTemporaryPath = 4096;

bool Identify(const std::filesystem::path& path, FileIdentity* identity);
// The path made absolute and canonical as far as it exists, in the form the
// host compares names in (on Windows, without regard to letter case).
std::filesystem::path PathKey(const std::filesystem::path& path);

long ProcessId();
// Opens a new file for writing, failing with errno EEXIST when anything,
// a symbolic link included, has the name already.
std::FILE* CreateNewFile(const std::filesystem::path& path);
// Flushed to the disk itself, not only to the system.
bool SyncFile(std::FILE* file);
// Makes a rename into the folder last through a crash, where the host can.
void SyncFolder(const std::filesystem::path& folder);
bool SeekFile(std::FILE* file, std::uint64_t offset);
// Has SIGINT and SIGTERM remove the file and exit; Disarm puts the handlers
// that were there before back.
void ArmRemoval(const std::filesystem::path& path);
void DisarmRemoval();

#endif  // ARCHIVE_HOST_HOST_FILES_PLATFORM_H
