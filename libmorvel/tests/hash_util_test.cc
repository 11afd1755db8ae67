#include "morvel/hash_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace morvel {
namespace {

TEST(HashUtilTest, FoldHashXorsTheWords) {
  EXPECT_EQ(FoldHash(0x0001000200030004ULL), 0x00060002U);
  EXPECT_EQ(FoldHash(0), 0U);
}

TEST(HashUtilTest, KnownChecksums) {
  const std::string text = "123456789";
  EXPECT_EQ(HashCRC32(text.data(), text.size()), 0xCBF43926U);
  EXPECT_EQ(HashCRC16(text.data(), text.size()), 0x31C3U);
  EXPECT_EQ(HashCRC8(text.data(), text.size()), 0xF4U);
  uint32_t crc = 0xFFFFFFFFU;
  crc = HashCRC32Continuous(crc, text.data(), 4);
  crc = HashCRC32Continuous(crc, text.data() + 4, text.size() - 4);
  EXPECT_EQ(crc ^ 0xFFFFFFFFU, 0xCBF43926U);
}

TEST(HashUtilTest, KnownFNV) {
  EXPECT_EQ(HashFNV("", 0), 0xcbf29ce484222325ULL);
  EXPECT_EQ(HashFNV("a", 1), 0xaf63dc4c8601ec8cULL);
}

TEST(HashUtilTest, MurmurDependsOnEveryByteAndTheSeed) {
  std::set<uint64_t> seen;
  std::string data(17, 'x');
  seen.insert(HashMurmur(data.data(), data.size(), 0));
  for (size_t i = 0; i < data.size(); i++) {
    std::string changed = data;
    changed[i] ^= 1;
    seen.insert(HashMurmur(changed.data(), changed.size(), 0));
  }
  seen.insert(HashMurmur(data.data(), data.size(), 1));
  seen.insert(HashMurmur(data.data(), data.size() - 1, 0));
  EXPECT_EQ(seen.size(), data.size() + 3);
}

TEST(HashUtilTest, PrimaryAndSecondaryHashRanges) {
  for (const char* key : {"", "a", "abc", "a longer key of some bytes"}) {
    const uint64_t murmur = HashMurmur(key, std::strlen(key), 19780211);
    EXPECT_EQ(PrimaryHash(key, 0), murmur % UINT64_MAX);
    EXPECT_EQ(PrimaryHash(key, 1), 0U);
    EXPECT_EQ(SecondaryHash(key, 1), 0U);
    for (const uint64_t count : {uint64_t{7}, uint64_t{1048583}, uint64_t{UINT32_MAX}}) {
      EXPECT_EQ(PrimaryHash(key, count), FoldHash(murmur) % count);
      EXPECT_EQ(SecondaryHash(key, count), FoldHash(HashFNV(key, std::strlen(key))) % count);
    }
    // Counts above 32 bits use the whole hash.
    const uint64_t big = uint64_t{1} << 40;
    EXPECT_EQ(PrimaryHash(key, big), murmur % big);
  }
}

}  // namespace
}  // namespace morvel
