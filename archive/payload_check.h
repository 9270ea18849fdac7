// The check a Patch.exe carries beside its archive: the CRC-32 of the
// archive's bytes, so that an archive damaged on its way to the player (a bad
// download, a failing disk, a careless mirror) is refused before a single
// file is written. The archive format itself has no checksum.
//
// A CRC-32 catches such damage: every burst of up to 32 changed bits, and all
// but one in 2^32 of any other change. It costs a few hundred bytes of code
// and a small share of an install. It proves nothing about where the archive
// came from: whoever changes it on purpose can write a new check too. A
// signature of the whole program proves origin.
#ifndef ARCHIVE_PAYLOAD_CHECK_H
#define ARCHIVE_PAYLOAD_CHECK_H

#include <cstddef>
#include <cstdint>

#include "data_stream.h"

// The common CRC-32 (zlib's crc32, PNG, Ethernet: polynomial 0xEDB88320
// reflected, all bits set before and flipped after). crc is 0 for the first
// piece and the result of the bytes before it for the next, so pieces give
// what one call over all of them gives.
std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size);

// The CRC-32 of size bytes of a stream from offset, read in pieces: an
// archive read in place from a program's file. False when a Seek fails or a
// Read comes back short.
bool StreamCrc32(DataStream& stream, std::uint64_t offset, std::uint64_t size, std::uint32_t* crc);

// The check's bytes: the CRC-32, least significant byte first.
const std::uint32_t kPayloadCheckSize = 4;
void PutPayloadCheck(std::uint32_t crc, unsigned char* check);

// True when the check (checkSize bytes) holds crc. A check of another size is
// damaged too.
bool PayloadCheckHolds(const void* check, std::uint32_t checkSize, std::uint32_t crc);

#endif  // ARCHIVE_PAYLOAD_CHECK_H
