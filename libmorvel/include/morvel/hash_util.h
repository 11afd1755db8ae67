// Hash functions and checksums. Pure; safe to call from several threads at once.

#ifndef MORVEL_HASH_UTIL_H_
#define MORVEL_HASH_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace morvel {

// 64-bit MurmurHash-style hash of |size| bytes with |seed|.
uint64_t HashMurmur(const void* data, size_t size, uint64_t seed);

// 64-bit FNV-1a hash of |size| bytes.
uint64_t HashFNV(const void* data, size_t size);

// Reduces a 64-bit hash to 32 bits: ((w2 ^ w0) << 16) | (w3 ^ w1) over its four
// 16-bit words, w3 the most significant.
uint32_t FoldHash(uint64_t hash);

// The bucket of |key| among |num_buckets|, as the hash database places records:
// HashMurmur with seed 19780211, folded when the count fits 32 bits. A count of
// 0 stands for 2^64 - 1.
uint64_t PrimaryHash(std::string_view key, uint64_t num_buckets);

// The shard of |key| among |num_shards|, as the sharded database places records:
// HashFNV, folded when the count fits 32 bits. A count of 0 stands for 2^64 - 1.
uint64_t SecondaryHash(std::string_view key, uint64_t num_shards);

// Checksums: CRC-8 (poly 0x07), CRC-16 (CCITT, poly 0x1021), CRC-32 (IEEE).
uint32_t HashCRC8(const void* data, size_t size);
uint32_t HashCRC16(const void* data, size_t size);
uint32_t HashCRC32(const void* data, size_t size);
// Continues a CRC-32 over more data: HashCRC32Continuous(crc, ...) with an
// initial crc of 0xFFFFFFFF, and the final value XORed with 0xFFFFFFFF.
uint32_t HashCRC32Continuous(uint32_t crc, const void* data, size_t size);

}  // namespace morvel

#endif  // MORVEL_HASH_UTIL_H_
