// Hash functions and checksums.
//
// HashMurmur mixes 8 bytes at a time with the 64-bit Murmur multiply-rotate
// scheme and reads the input bytewise (little-endian words), so its values are
// the same on every host. The CRC tables are built once, at first use, by a
// thread-safe static initialiser.

#include "morvel/hash_util.h"

#include <array>

namespace morvel {

namespace {

constexpr uint64_t kMurmurMul = 0xc6a4a7935bd1e995ULL;
constexpr int kMurmurShift = 47;
constexpr uint64_t kFNVOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFNVPrime = 0x100000001b3ULL;
constexpr uint64_t kPrimaryHashSeed = 19780211;

uint64_t LoadLittle64(const unsigned char* p) {
  return static_cast<uint64_t>(p[0]) | (static_cast<uint64_t>(p[1]) << 8) |
         (static_cast<uint64_t>(p[2]) << 16) | (static_cast<uint64_t>(p[3]) << 24) |
         (static_cast<uint64_t>(p[4]) << 32) | (static_cast<uint64_t>(p[5]) << 40) |
         (static_cast<uint64_t>(p[6]) << 48) | (static_cast<uint64_t>(p[7]) << 56);
}

struct CRCTables {
  std::array<uint8_t, 256> crc8;
  std::array<uint16_t, 256> crc16;
  std::array<uint32_t, 256> crc32;

  CRCTables() {
    for (uint32_t i = 0; i < 256; i++) {
      uint8_t c8 = static_cast<uint8_t>(i);
      for (int k = 0; k < 8; k++) {
        c8 = (c8 & 0x80) ? static_cast<uint8_t>((c8 << 1) ^ 0x07) : static_cast<uint8_t>(c8 << 1);
      }
      crc8[i] = c8;
      uint16_t c16 = static_cast<uint16_t>(i << 8);
      for (int k = 0; k < 8; k++) {
        c16 = (c16 & 0x8000) ? static_cast<uint16_t>((c16 << 1) ^ 0x1021)
                             : static_cast<uint16_t>(c16 << 1);
      }
      crc16[i] = c16;
      uint32_t c32 = i;
      for (int k = 0; k < 8; k++) {
        c32 = (c32 & 1) ? (c32 >> 1) ^ 0xEDB88320U : (c32 >> 1);
      }
      crc32[i] = c32;
    }
  }
};

const CRCTables& GetCRCTables() {
  static const CRCTables tables;
  return tables;
}

uint64_t ReduceHash(uint64_t hash, uint64_t count) {
  if (count == 0) {
    count = UINT64_MAX;
  }
  if (count <= UINT32_MAX) {
    hash = FoldHash(hash);
  }
  return hash % count;
}

}  // namespace

uint64_t HashMurmur(const void* data, size_t size, uint64_t seed) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t hash = seed ^ (size * kMurmurMul);
  while (size >= 8) {
    uint64_t k = LoadLittle64(p);
    k *= kMurmurMul;
    k ^= k >> kMurmurShift;
    k *= kMurmurMul;
    hash ^= k;
    hash *= kMurmurMul;
    p += 8;
    size -= 8;
  }
  if (size > 0) {
    uint64_t tail = 0;
    for (size_t i = 0; i < size; i++) {
      tail |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    hash ^= tail;
    hash *= kMurmurMul;
  }
  hash ^= hash >> kMurmurShift;
  hash *= kMurmurMul;
  hash ^= hash >> kMurmurShift;
  return hash;
}

uint64_t HashFNV(const void* data, size_t size) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint64_t hash = kFNVOffset;
  for (size_t i = 0; i < size; i++) {
    hash ^= p[i];
    hash *= kFNVPrime;
  }
  return hash;
}

uint32_t FoldHash(uint64_t hash) {
  const uint32_t w0 = hash & 0xFFFF;
  const uint32_t w1 = (hash >> 16) & 0xFFFF;
  const uint32_t w2 = (hash >> 32) & 0xFFFF;
  const uint32_t w3 = (hash >> 48) & 0xFFFF;
  return ((w2 ^ w0) << 16) | (w3 ^ w1);
}

uint64_t PrimaryHash(std::string_view key, uint64_t num_buckets) {
  return ReduceHash(HashMurmur(key.data(), key.size(), kPrimaryHashSeed), num_buckets);
}

uint64_t SecondaryHash(std::string_view key, uint64_t num_shards) {
  return ReduceHash(HashFNV(key.data(), key.size()), num_shards);
}

uint32_t HashCRC8(const void* data, size_t size) {
  const auto& table = GetCRCTables().crc8;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint8_t crc = 0;
  for (size_t i = 0; i < size; i++) {
    crc = table[crc ^ p[i]];
  }
  return crc;
}

uint32_t HashCRC16(const void* data, size_t size) {
  const auto& table = GetCRCTables().crc16;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  uint16_t crc = 0;
  for (size_t i = 0; i < size; i++) {
    crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ p[i]) & 0xFF]);
  }
  return crc;
}

uint32_t HashCRC32Continuous(uint32_t crc, const void* data, size_t size) {
  const auto& table = GetCRCTables().crc32;
  const unsigned char* p = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < size; i++) {
    crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  }
  return crc;
}

uint32_t HashCRC32(const void* data, size_t size) {
  return HashCRC32Continuous(0xFFFFFFFFU, data, size) ^ 0xFFFFFFFFU;
}

}  // namespace morvel
