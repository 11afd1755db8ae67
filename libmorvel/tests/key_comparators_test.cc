#include "morvel/key_comparators.h"

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
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Sign(c.comp(c.a, c.b)), c.expected)
        << GetKeyComparatorName(c.comp) << " " << StrEscapeC(c.a) << " " << StrEscapeC(c.b);
    EXPECT_EQ(Sign(c.comp(c.b, c.a)), -c.expected) << "not antisymmetric";
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
