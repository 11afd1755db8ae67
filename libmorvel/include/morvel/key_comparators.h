// Key comparators of the ordered databases. Each returns <0, 0 or >0 as a three-way
// comparison of two keys. Pure; safe to call from several threads at once.

#ifndef MORVEL_KEY_COMPARATORS_H_
#define MORVEL_KEY_COMPARATORS_H_

#include <string>
#include <string_view>

namespace morvel {

using KeyComparator = int (*)(std::string_view a, std::string_view b);

// Unsigned bytes, then length. The default.
int LexicalKeyComparator(std::string_view a, std::string_view b);
// As Lexical, ignoring ASCII case.
int LexicalCaseKeyComparator(std::string_view a, std::string_view b);
// Keys read as decimal integers (StrToInt); ties broken lexically.
int DecimalKeyComparator(std::string_view a, std::string_view b);
// Keys read as hexadecimal integers; ties broken lexically.
int HexadecimalKeyComparator(std::string_view a, std::string_view b);
// Keys read as decimal reals (StrToDouble); ties broken lexically.
int RealNumberKeyComparator(std::string_view a, std::string_view b);
// Keys read as big-endian signed integers (StrToIntBigEndian).
int SignedBigEndianKeyComparator(std::string_view a, std::string_view b);
// Keys read as big-endian floats (StrToFloatBigEndian).
int FloatBigEndianKeyComparator(std::string_view a, std::string_view b);
// Keys made by SerializeStrPair: the key parts lexically, then the value parts.
int PairLexicalKeyComparator(std::string_view a, std::string_view b);

// The comparator named |name| (e.g. "LexicalKeyComparator"; the suffix
// "KeyComparator" may be left out; case-insensitive), or null when unknown.
KeyComparator GetKeyComparatorByName(std::string_view name);

// The full name of a comparator of this header, or "" for another function.
std::string GetKeyComparatorName(KeyComparator comp);

}  // namespace morvel

#endif  // MORVEL_KEY_COMPARATORS_H_
