#include "morvel/str_util.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "test_util.h"

namespace morvel {
namespace {

TEST(StrUtilTest, StrToInt) {
  const struct {
    const char* text;
    int64_t expected;
  } cases[] = {
      {"0", 0},
      {"  42abc", 42},
      {"-17", -17},
      {"+8", 8},
      {"", -1},
      {"abc", -1},
      {"-", -1},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", INT64_MAX},
      {"99999999999999999999999", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"-9223372036854775809", INT64_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StrToInt(c.text, -1), c.expected) << c.text;
  }
}

TEST(StrUtilTest, StrToDoubleAndBool) {
  EXPECT_DOUBLE_EQ(StrToDouble(" 1.5e2x"), 150.0);
  EXPECT_DOUBLE_EQ(StrToDouble("zz", 7.0), 7.0);
  EXPECT_TRUE(std::isinf(StrToDouble("inf")));
  EXPECT_TRUE(std::isnan(StrToDouble("nan")));
  for (const char* text : {"true", "T", " Yes ", "y", "ON", "1"}) {
    EXPECT_TRUE(StrToBool(text, false)) << text;
  }
  for (const char* text : {"false", "F", "no", "N", "off", "0"}) {
    EXPECT_FALSE(StrToBool(text, true)) << text;
  }
  EXPECT_TRUE(StrToBool("maybe", true));
  EXPECT_FALSE(StrToBool("", false));
}

TEST(StrUtilTest, StrEscapeC) {
  EXPECT_EQ(StrEscapeC("a\\b\n\t\r"), "a\\\\b\\n\\t\\r");
  EXPECT_EQ(StrEscapeC(std::string("\x01\x7f", 2)), "\\x01\\x7f");
  EXPECT_EQ(StrEscapeC("\xc3\xa9", false), "\xc3\xa9");
  EXPECT_EQ(StrEscapeC("\xc3\xa9", true), "\\xc3\\xa9");
}

TEST(StrUtilTest, TextHelpers) {
  EXPECT_EQ(SPrintF("%s-%05d", "x", 7), "x-00007");
  EXPECT_EQ(SPrintF("%s", std::string(1000, 'a').c_str()).size(), 1000u);
  EXPECT_EQ(StrLowerCase("AbC\xC3"), "abc\xC3");
  EXPECT_TRUE(StrCaseContains("Hello World", "WORLD"));
  EXPECT_FALSE(StrCaseContains("Hello", "hello!"));
  EXPECT_EQ(StrSplit("a,,b", ','), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(StrSplit("", ','), (std::vector<std::string>{""}));
  const ParamMap map = {{"k", "v"}};
  EXPECT_EQ(SearchMap(map, "k", "d"), "v");
  EXPECT_EQ(SearchMap(map, "x", "d"), "d");
}

TEST(StrUtilTest, PathParts) {
  const struct {
    const char* path;
    const char* base;
    const char* ext;
  } cases[] = {
      {"/a/b/c.mvh", "c.mvh", "mvh"}, {"c", "c", ""},      {"/a.b/c", "c", ""},
      {"/a/b/", "", ""},              {"x.tar.gz", "x.tar.gz", "gz"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PathToBaseName(c.path), c.base) << c.path;
    EXPECT_EQ(PathToExtension(c.path), c.ext) << c.path;
  }
}

TEST(StrUtilTest, BigEndianIntegers) {
  EXPECT_EQ(IntToStrBigEndian(1), std::string("\0\0\0\0\0\0\0\x01", 8));
  EXPECT_EQ(IntToStrBigEndian(static_cast<uint64_t>(-1)), std::string(8, '\xff'));
  EXPECT_EQ(IntToStrBigEndian(0x0102, 2), "\x01\x02");
  for (const int64_t num : {int64_t{0}, int64_t{-5}, INT64_MIN, INT64_MAX, int64_t{1} << 40}) {
    EXPECT_EQ(StrToIntBigEndian(IntToStrBigEndian(num)), num);
  }
  // Short inputs are unsigned numbers of their length; long ones use 8 bytes.
  EXPECT_EQ(StrToIntBigEndian("\xff"), 255);
  EXPECT_EQ(StrToIntBigEndian(""), 0);
  EXPECT_EQ(StrToIntBigEndian(IntToStrBigEndian(9) + "junk"), 9);
}

TEST(StrUtilTest, BigEndianFloats) {
  for (const double num : {0.0, 1.5, -2.25, 1e300, std::numeric_limits<double>::infinity()}) {
    const std::string bytes = FloatToStrBigEndian(num);
    ASSERT_EQ(bytes.size(), 8u);
    EXPECT_EQ(static_cast<double>(StrToFloatBigEndian(bytes)), num);
  }
  EXPECT_EQ(FloatToStrBigEndian(1.0), std::string("\x3f\xf0\0\0\0\0\0\0", 8));
  EXPECT_EQ(static_cast<float>(StrToFloatBigEndian(FloatToStrBigEndian(0.5, 4))), 0.5f);
  EXPECT_TRUE(std::isnan(StrToFloatBigEndian("abc")));
}

TEST(StrUtilTest, VarNumsAndStrPairs) {
  char buf[10];
  for (const uint64_t num : {uint64_t{0}, uint64_t{127}, uint64_t{128}, UINT64_MAX}) {
    const size_t size = WriteVarNum(buf, num);
    uint64_t read = 1;
    EXPECT_EQ(ReadVarNum(buf, size, &read), size);
    EXPECT_EQ(read, num);
    EXPECT_EQ(ReadVarNum(buf, size - 1, &read), 0u) << "truncated varint accepted";
  }
  const std::string key("k\0\xff", 3);
  const std::string value(300, '\0');
  const std::string pair = SerializeStrPair(key, value);
  std::string_view first, second;
  DeserializeStrPair(pair, &first, &second);
  EXPECT_EQ(first, key);
  EXPECT_EQ(second, value);
  // A length beyond the data must not read out of bounds.
  DeserializeStrPair("\x05" "ab", &first, &second);
  EXPECT_TRUE(first.empty());
  EXPECT_TRUE(second.empty());
}

TEST(StrUtilTest, StrPairsRoundTripRandomBytes) {
  // Keys of every length class of the varint (1, 2 and 3 bytes) and any bytes.
  for (const size_t key_size : {size_t{0}, size_t{1}, size_t{127}, size_t{128}, size_t{20000}}) {
    const size_t num = key_size == 0 ? 1 : 20;  // one distinct empty key
    for (const auto& [key, value] : morvel_test::RandomRecords(num, key_size, 300, key_size + 7)) {
      const std::string pair = SerializeStrPair(key, value);
      std::string_view first, second;
      DeserializeStrPair(pair, &first, &second);
      ASSERT_EQ(first, key);
      ASSERT_EQ(second, value);
    }
  }
}

}  // namespace
}  // namespace morvel
