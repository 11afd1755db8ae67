// The record checksum: the folding path must give the same CRC-32 as the
// table loop and as HashCRC32 for every length and alignment, since files
// written by one are read by the other.

#include <cstdint>
#include <random>
#include <string>

#include "gtest/gtest.h"
#include "morvel/hash_util.h"
#include "../src/hash_crc.h"

namespace morvel {
namespace {

TEST(HashCrcTest, KnownValues) {
  EXPECT_EQ(0U, FastCRC32("", 0));
  EXPECT_EQ(0xCBF43926U, FastCRC32("123456789", 9));
  // 64 bytes and more take the folding path where the processor has it.
  const std::string zeros(64, '\0');
  EXPECT_EQ(0x758D6336U, FastCRC32(zeros.data(), zeros.size()));
  const std::string ones(1024, '\xFF');
  EXPECT_EQ(HashCRC32(ones.data(), ones.size()), FastCRC32(ones.data(), ones.size()));
}

TEST(HashCrcTest, SameAsTablesForEveryLengthAndAlignment) {
  std::mt19937_64 rng(42);
  std::string data(9000, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  // Every length across the switch to folding and the block boundaries, some
  // long ones, at every alignment of a 16-byte load.
  std::vector<size_t> sizes;
  for (size_t size = 0; size <= 600; size++) sizes.push_back(size);
  for (size_t size : {1023, 1024, 1025, 4095, 4096, 4097, 8191, 8960}) sizes.push_back(size);
  for (size_t align = 0; align < 16; align++) {
    for (size_t size : sizes) {
      const char* p = data.data() + align;
      const uint32_t expected = SliceCRC32(p, size);
      ASSERT_EQ(expected, FastCRC32(p, size)) << "size " << size << " align " << align;
      ASSERT_EQ(expected, HashCRC32(p, size)) << "size " << size << " align " << align;
    }
  }
}

TEST(HashCrcTest, FoldingContinuesAnyRegister) {
  if (!hash_crc_internal::kCanFold) {
    GTEST_SKIP() << "no carry-less multiplication on this processor";
  }
  std::mt19937_64 rng(7);
  std::string data(700, '\0');
  for (auto& c : data) c = static_cast<char>(rng());
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  for (uint32_t reg : {0U, 1U, 0xFFFFFFFFU, 0x80000000U, 0x12345678U}) {
    for (size_t size : {64, 65, 79, 80, 127, 128, 129, 191, 192, 700}) {
      EXPECT_EQ(SliceCRC32Update(reg, p, size), hash_crc_internal::FoldCRC32(reg, p, size))
          << "register " << reg << " size " << size;
    }
  }
}

}  // namespace
}  // namespace morvel
