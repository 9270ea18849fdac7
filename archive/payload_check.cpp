#include "payload_check.h"

namespace {

// Table k gives a byte's share of the CRC after k more bytes have followed
// it, so sixteen bytes take one step of sixteen lookups: a byte at a time is
// several times slower, and a 1 GiB archive must be checked in well under a
// second. The 16 KiB are filled at start-up, not stored in the program,
// which must stay small; filling them takes microseconds. (So no other
// start-up code may sum anything: it would find the tables empty.)
struct Crc32Tables {
  std::uint32_t t[16][256];

  Crc32Tables() {
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
      t[0][n] = c;
    }
    for (int k = 1; k < 16; ++k) {
      for (int n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
    }
  }
};

const Crc32Tables g_crc;

std::uint32_t Load32(const unsigned char* p) {
  return p[0] | static_cast<std::uint32_t>(p[1]) << 8 | static_cast<std::uint32_t>(p[2]) << 16 |
         static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::uint32_t Crc32(std::uint32_t crc, const void* data, std::size_t size) {
  const std::uint32_t(*t)[256] = g_crc.t;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (; size >= 16; size -= 16, p += 16) {
    std::uint32_t a = crc ^ Load32(p), b = Load32(p + 4), c = Load32(p + 8), d = Load32(p + 12);
    crc = t[15][a & 0xFF] ^ t[14][a >> 8 & 0xFF] ^ t[13][a >> 16 & 0xFF] ^ t[12][a >> 24] ^
          t[11][b & 0xFF] ^ t[10][b >> 8 & 0xFF] ^ t[9][b >> 16 & 0xFF] ^ t[8][b >> 24] ^
          t[7][c & 0xFF] ^ t[6][c >> 8 & 0xFF] ^ t[5][c >> 16 & 0xFF] ^ t[4][c >> 24] ^
          t[3][d & 0xFF] ^ t[2][d >> 8 & 0xFF] ^ t[1][d >> 16 & 0xFF] ^ t[0][d >> 24];
  }
  for (; size != 0; --size) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

bool StreamCrc32(DataStream& stream, std::uint64_t offset, std::uint64_t size, std::uint32_t* crc) {
  unsigned char piece[1 << 16];
  *crc = 0;
  if (!stream.Seek(offset)) return false;
  while (size != 0) {
    std::uint32_t count = size < sizeof piece ? static_cast<std::uint32_t>(size) : sizeof piece;
    if (stream.Read(piece, count) != count) return false;
    *crc = Crc32(*crc, piece, count);
    size -= count;
  }
  return true;
}

void PutPayloadCheck(std::uint32_t crc, unsigned char* check) {
  for (std::uint32_t i = 0; i < kPayloadCheckSize; ++i) check[i] = (crc >> 8 * i) & 0xFF;
}

bool PayloadCheckHolds(const void* check, std::uint32_t checkSize, std::uint32_t crc) {
  return checkSize == kPayloadCheckSize && Load32(static_cast<const unsigned char*>(check)) == crc;
}
