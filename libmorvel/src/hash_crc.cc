// CRC-32 by carry-less multiplication. The input is read as a polynomial over
// GF(2), the first byte's lowest bit the highest power (the reflected order of
// this CRC). Four 128-bit accumulators take 64 bytes a round: each is moved
// 512 bits further along by multiplying its two halves by x^n mod P for the
// right n and adding the next block, which keeps the whole congruent modulo
// the polynomial P while shrinking it to 128 bits. The accumulators are then
// folded into one, 16 bytes at a time after that, and the last 128 bits and
// the tail under 16 bytes go through the table loop, which finishes the
// reduction: its result over "accumulator, tail" is that over the whole input.

#include "hash_crc.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MORVEL_CRC_FOLD 1
#include <immintrin.h>
#endif

namespace morvel {
namespace hash_crc_internal {

#ifdef MORVEL_CRC_FOLD

namespace {

// x^|power| modulo P (0x104C11DB7, the unreflected polynomial), with the
// coefficient of x^d at bit 63 - d: a 64-bit lane of the reflected order, where
// the product of two lanes comes out multiplied by x once more.
constexpr uint64_t FoldConstant(int power) {
  uint64_t rem = 1;
  for (int i = 0; i < power; i++) {
    rem <<= 1;
    if (rem & (uint64_t(1) << 32)) {
      rem ^= 0x104C11DB7ULL;
    }
  }
  uint64_t reflected = 0;
  for (int bit = 0; bit < 64; bit++) {
    if (rem & (uint64_t(1) << bit)) {
      reflected |= uint64_t(1) << (63 - bit);
    }
  }
  return reflected;
}

// Moving a 128-bit accumulator by |distance| bits: its first 64 bits (the
// higher powers, the low lane) stand at x^(distance + 64) from the end of the
// accumulator, its last 64 at x^distance; the lane product adds one x.
constexpr uint64_t kFold512Low = FoldConstant(512 + 63);
constexpr uint64_t kFold512High = FoldConstant(512 - 1);
constexpr uint64_t kFold128Low = FoldConstant(128 + 63);
constexpr uint64_t kFold128High = FoldConstant(128 - 1);

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i acc, __m128i constants,
                                                           __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(acc, constants, 0x00);
  const __m128i high = _mm_clmulepi64_si128(acc, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(low, high), next);
}

__attribute__((target("pclmul,sse2"))) inline __m128i Load(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

bool DetectFold() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
}

}  // namespace

const bool kCanFold = DetectFold();

__attribute__((target("pclmul,sse2"))) uint32_t FoldCRC32(uint32_t crc,
                                                          const unsigned char* data,
                                                          size_t size) {
  const __m128i k512 = _mm_set_epi64x(static_cast<long long>(kFold512High),
                                      static_cast<long long>(kFold512Low));
  const __m128i k128 = _mm_set_epi64x(static_cast<long long>(kFold128High),
                                      static_cast<long long>(kFold128Low));
  // The register's value goes into the first four bytes, which is what the
  // table loop's starting value amounts to.
  __m128i x0 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = Load(data + 16);
  __m128i x2 = Load(data + 32);
  __m128i x3 = Load(data + 48);
  data += 64;
  size -= 64;
  while (size >= 64) {
    x0 = Fold(x0, k512, Load(data));
    x1 = Fold(x1, k512, Load(data + 16));
    x2 = Fold(x2, k512, Load(data + 32));
    x3 = Fold(x3, k512, Load(data + 48));
    data += 64;
    size -= 64;
  }
  __m128i acc = Fold(x0, k128, x1);
  acc = Fold(acc, k128, x2);
  acc = Fold(acc, k128, x3);
  while (size >= 16) {
    acc = Fold(acc, k128, Load(data));
    data += 16;
    size -= 16;
  }
  unsigned char rest[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), acc);
  return SliceCRC32Update(SliceCRC32Update(0, rest, sizeof(rest)), data, size);
}

#else

const bool kCanFold = false;

uint32_t FoldCRC32(uint32_t crc, const unsigned char* data, size_t size) {
  return SliceCRC32Update(crc, data, size);
}

#endif

}  // namespace hash_crc_internal
}  // namespace morvel
