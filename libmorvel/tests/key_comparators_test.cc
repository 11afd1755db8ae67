#include "morvel/key_comparators.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "morvel/str_util.h"

namespace morvel {
namespace {

int Sign(int value) {
  return value < 0 ? -1 : (value > 0 ? 1 : 0);
}

TEST(KeyComparatorsTest, ThreeWayResults) {
  const struct {
    KeyComparator comp;
    std::string a;
    std::string b;
    int expected;
  } cases[] = {
      {LexicalKeyComparator, "a", "b", -1},
      {LexicalKeyComparator, "ab", "a", 1},
      {LexicalKeyComparator, "\xff", "a", 1},  // unsigned bytes
      {LexicalKeyComparator, "", "", 0},
      {LexicalCaseKeyComparator, "ABC", "abd", -1},
      {LexicalCaseKeyComparator, "ABC", "abc", 0},
      {DecimalKeyComparator, "9", "10", -1},
      {DecimalKeyComparator, "-5", "3", -1},
      {DecimalKeyComparator, "007", "7", -1},  // equal numbers: lexical tie-break
      {HexadecimalKeyComparator, "ff", "0x100", -1},
      {HexadecimalKeyComparator, "A", "9", 1},
      {RealNumberKeyComparator, "1.5", "1.25", 1},
      {RealNumberKeyComparator, "-inf", "-1e300", -1},
      {RealNumberKeyComparator, "nan", "1e300", 1},
      {SignedBigEndianKeyComparator, IntToStrBigEndian(-1), IntToStrBigEndian(1), -1},
      {FloatBigEndianKeyComparator, FloatToStrBigEndian(-2.5), FloatToStrBigEndian(0.1), -1},
      {PairLexicalKeyComparator, SerializeStrPair("a", "z"), SerializeStrPair("ab", "a"), -1},
      {PairLexicalKeyComparator, SerializeStrPair("a", "b"), SerializeStrPair("a", "a"), 1},
      // The key part decides before the length prefix would: "aa" < "b".
      {PairLexicalKeyComparator, SerializeStrPair("aa", "1"), SerializeStrPair("b", "0"), -1},
      // The empty value opens the run of its key.
      {PairLexicalKeyComparator, SerializeStrPair("k", ""), SerializeStrPair("k", std::string(1, '\0')), -1},
      {PairLexicalKeyComparator, SerializeStrPair("", "zz"), SerializeStrPair(std::string(1, '\0'), ""), -1},
      {PairLexicalKeyComparator, SerializeStrPair("\xff", ""), SerializeStrPair("\x7f", "zz"), 1},
      {PairLexicalKeyComparator, SerializeStrPair("k", "v"), SerializeStrPair("k", "v"), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sign(c.comp(c.a, c.b)), c.expected)
        << GetKeyComparatorName(c.comp) << " " << StrEscapeC(c.a) << " " << StrEscapeC(c.b);
    EXPECT_EQ(Sign(c.comp(c.b, c.a)), -c.expected) << "not antisymmetric";
  }
}

TEST(KeyComparatorsTest, PairOrderIsTheOrderOfThePairs) {
  // Keys that are prefixes of others, empty parts and NUL bytes: composites
  // sorted by the comparator come out as the pairs sorted key first.
  const std::vector<std::string> parts = {"", std::string(1, '\0'), "a", std::string("a\0", 2),
                                          "ab", "b", "\xff", std::string(200, 'a')};
  std::vector<std::pair<std::string, std::string>> pairs;
  std::vector<std::string> composites;
  for (const auto& key : parts) {
    for (const auto& value : parts) {
      pairs.emplace_back(key, value);
      composites.push_back(SerializeStrPair(key, value));
    }
  }
  std::sort(pairs.begin(), pairs.end());
  std::sort(composites.begin(), composites.end(), [](const std::string& a, const std::string& b) {
    return PairLexicalKeyComparator(a, b) < 0;
  });
  ASSERT_EQ(composites.size(), pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    std::string_view key, value;
    DeserializeStrPair(composites[i], &key, &value);
    EXPECT_EQ(key, pairs[i].first) << i;
    EXPECT_EQ(value, pairs[i].second) << i;
  }
}

TEST(KeyComparatorsTest, LookupByName) {
  EXPECT_EQ(GetKeyComparatorByName("LexicalKeyComparator"), LexicalKeyComparator);
  EXPECT_EQ(GetKeyComparatorByName("decimal"), DecimalKeyComparator);
  EXPECT_EQ(GetKeyComparatorByName("PAIRLEXICALKEYCOMPARATOR"), PairLexicalKeyComparator);
  EXPECT_EQ(GetKeyComparatorByName("nope"), nullptr);
  EXPECT_EQ(GetKeyComparatorByName(""), nullptr);
  EXPECT_EQ(GetKeyComparatorName(RealNumberKeyComparator), "RealNumberKeyComparator");
  EXPECT_EQ(GetKeyComparatorName(nullptr), "");
}

}  // namespace
}  // namespace morvel
