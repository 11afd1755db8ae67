// CRC-32 (IEEE, reflected polynomial 0xEDB88320), the same values as
// HashCRC32, for the record checksums of the hash database. Long inputs are
// folded 64 bytes at a time with carry-less multiplication when the processor
// has it (checked once, at load time); the rest, and every input on other
// processors, goes eight bytes at a time through tables (slicing by eight).
// Pure; safe from several threads at once.

#ifndef MORVEL_HASH_CRC_H_
#define MORVEL_HASH_CRC_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace morvel {

namespace hash_crc_internal {

using SliceTables = std::array<std::array<uint32_t, 256>, 8>;

constexpr SliceTables MakeSliceTables() {
  SliceTables tables{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; bit++) {
      crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320U : crc >> 1;
    }
    tables[0][i] = crc;
  }
  for (uint32_t i = 0; i < 256; i++) {
    for (int t = 1; t < 8; t++) {
      tables[t][i] = (tables[t - 1][i] >> 8) ^ tables[0][tables[t - 1][i] & 0xFF];
    }
  }
  return tables;
}

inline constexpr SliceTables kSliceTables = MakeSliceTables();

// Inputs from this size on are worth the folding.
constexpr size_t kFoldMinSize = 64;

// Whether the processor can fold; false until the library's static
// initialization has checked, which only means the tables are used meanwhile.
extern const bool kCanFold;

// The running CRC register |crc| (inverted, as in the loop below) after
// |size| bytes at |data|, by folding. |size| is at least kFoldMinSize. Only
// to be called when kCanFold.
uint32_t FoldCRC32(uint32_t crc, const unsigned char* data, size_t size);

}  // namespace hash_crc_internal

// The running CRC register |crc| after |size| bytes at |data|, by tables.
// A whole CRC-32 starts the register at 0xFFFFFFFF and inverts the result.
inline uint32_t SliceCRC32Update(uint32_t crc, const void* data, size_t size) {
  const auto& t = hash_crc_internal::kSliceTables;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  while (size >= 8) {
    uint32_t lo = 0;
    uint32_t hi = 0;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + 4, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    lo = __builtin_bswap32(lo);
    hi = __builtin_bswap32(hi);
#endif
    lo ^= crc;
    crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    p += 8;
    size -= 8;
  }
  while (size-- > 0) {
    crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
  }
  return crc;
}

// The CRC-32 of |size| bytes at |data| by tables alone.
inline uint32_t SliceCRC32(const void* data, size_t size) {
  return SliceCRC32Update(0xFFFFFFFFU, data, size) ^ 0xFFFFFFFFU;
}

// The CRC-32 of |size| bytes at |data|, by the fastest way the processor has.
inline uint32_t FastCRC32(const void* data, size_t size) {
  if (size >= hash_crc_internal::kFoldMinSize && hash_crc_internal::kCanFold) {
    return hash_crc_internal::FoldCRC32(0xFFFFFFFFU, static_cast<const unsigned char*>(data),
                                        size) ^
           0xFFFFFFFFU;
  }
  return SliceCRC32(data, size);
}

}  // namespace morvel

#endif  // MORVEL_HASH_CRC_H_
