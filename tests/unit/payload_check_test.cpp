// The archive's check: the CRC-32 against published values, in any pieces,
// read from a stream, and the check's bytes.
#include "archive_test_support.h"
#include "payload_check.h"

namespace {

std::uint32_t Crc(const std::string& bytes) { return Crc32(0, bytes.data(), bytes.size()); }

// Short inputs take the byte-wise tail only; 32 bytes take two 16-byte steps.
TEST(PayloadCheck, Crc32OfKnownInputs) {
  std::string counting(32, '\0');
  for (int i = 0; i < 32; ++i) counting[i] = static_cast<char>(i);
  const std::pair<std::string, std::uint32_t> known[] = {
      {"", 0},
      {"a", 0xE8B7BE43},
      {"123456789", 0xCBF43926},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339},
      {std::string(32, '\0'), 0x190A55AD},
      {std::string(32, '\xFF'), 0xFF6CAB0B},
      {counting, 0x91267E8A},
  };
  for (const auto& [bytes, crc] : known) EXPECT_EQ(crc, Crc(bytes)) << bytes;
}

// Every table and every alignment: pieces of each size from 1 to 40, which
// start at every offset modulo 16, give what one call gives.
TEST(PayloadCheck, PiecesGiveWhatOneCallGives) {
  const std::string bytes = Pattern(5000, 9);
  for (std::size_t piece = 1; piece <= 40; ++piece) {
    std::uint32_t crc = 0;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
      crc = Crc32(crc, bytes.data() + at, std::min(piece, bytes.size() - at));
    EXPECT_EQ(Crc(bytes), crc) << piece;
  }
}

// A stream read in pieces of 64 KiB; a Seek that fails, a Read that ends
// short and an empty span.
TEST(PayloadCheck, StreamCrc32) {
  std::string bytes = Pattern(200000, 4);
  // Offset, size, whether it reads in full.
  const std::tuple<std::uint64_t, std::uint64_t, bool> spans[] = {
      {7, 199993, true},
      {65536, 65536, true},
      {9, 0, true},
      {1000, 199001, false},
      {std::uint64_t{1} << 32, 1, false}};
  for (const auto& [offset, size, whole] : spans) {
    MemoryDataStream stream(&bytes[0], static_cast<std::uint32_t>(bytes.size()));
    std::uint32_t crc = 1;
    EXPECT_EQ(whole, StreamCrc32(stream, offset, size, &crc)) << offset;
    if (whole) {
      EXPECT_EQ(Crc(bytes.substr(offset, size)), crc) << offset;
    }
  }
}

// The check holds its CRC only: not another, and not in bytes of another size.
TEST(PayloadCheck, CheckBytes) {
  unsigned char check[kPayloadCheckSize + 1] = {};
  PutPayloadCheck(0xCBF43926, check);
  EXPECT_EQ((Bytes{0x26, 0x39, 0xF4, 0xCB, 0}), Bytes(check, check + sizeof check));
  EXPECT_TRUE(PayloadCheckHolds(check, kPayloadCheckSize, 0xCBF43926));
  for (std::uint32_t crc : {0xCBF43927u, 0x4BF43926u, 0u})
    EXPECT_FALSE(PayloadCheckHolds(check, kPayloadCheckSize, crc)) << crc;
  for (std::uint32_t size : {0u, 3u, 5u})
    EXPECT_FALSE(PayloadCheckHolds(check, size, 0xCBF43926)) << size;
}

}  // namespace
