// Key comparators. Numeric comparators fall back to the lexical order when the
// numbers are equal, so that distinct keys never compare equal and an ordered
// database keeps them apart.

#include "morvel/key_comparators.h"

#include <cmath>
#include <cstring>

#include "morvel/str_util.h"

namespace morvel {

namespace {

template <typename T>
int CompareNumbers(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

char LowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Hexadecimal digits after optional spaces and "0x"; other text ends the number.
uint64_t ParseHex(std::string_view str) {
  size_t pos = 0;
  while (pos < str.size() && (str[pos] == ' ' || str[pos] == '\t')) {
    pos++;
  }
  if (pos + 1 < str.size() && str[pos] == '0' && (str[pos + 1] == 'x' || str[pos + 1] == 'X')) {
    pos += 2;
  }
  uint64_t num = 0;
  for (; pos < str.size(); pos++) {
    const char c = str[pos];
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    num = (num << 4) | digit;
  }
  return num;
}

// Orders reals with NaN after every number, so the order is total.
int CompareReals(long double a, long double b) {
  const bool a_nan = std::isnan(a);
  const bool b_nan = std::isnan(b);
  if (a_nan || b_nan) {
    return CompareNumbers<int>(a_nan, b_nan);
  }
  return CompareNumbers(a, b);
}

struct NamedComparator {
  const char* name;
  KeyComparator comp;
};

const NamedComparator kComparators[] = {
    {"LexicalKeyComparator", LexicalKeyComparator},
    {"LexicalCaseKeyComparator", LexicalCaseKeyComparator},
    {"DecimalKeyComparator", DecimalKeyComparator},
    {"HexadecimalKeyComparator", HexadecimalKeyComparator},
    {"RealNumberKeyComparator", RealNumberKeyComparator},
    {"SignedBigEndianKeyComparator", SignedBigEndianKeyComparator},
    {"FloatBigEndianKeyComparator", FloatBigEndianKeyComparator},
    {"PairLexicalKeyComparator", PairLexicalKeyComparator},
};

}  // namespace

int LexicalKeyComparator(std::string_view a, std::string_view b) {
  const size_t size = a.size() < b.size() ? a.size() : b.size();
  const int cmp = size == 0 ? 0 : std::memcmp(a.data(), b.data(), size);
  if (cmp != 0) {
    return cmp < 0 ? -1 : 1;
  }
  return CompareNumbers(a.size(), b.size());
}

int LexicalCaseKeyComparator(std::string_view a, std::string_view b) {
  const size_t size = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < size; i++) {
    const unsigned char ca = LowerChar(a[i]);
    const unsigned char cb = LowerChar(b[i]);
    if (ca != cb) {
      return ca < cb ? -1 : 1;
    }
  }
  return CompareNumbers(a.size(), b.size());
}

int DecimalKeyComparator(std::string_view a, std::string_view b) {
  const int cmp = CompareNumbers(StrToInt(a), StrToInt(b));
  return cmp != 0 ? cmp : LexicalKeyComparator(a, b);
}

int HexadecimalKeyComparator(std::string_view a, std::string_view b) {
  const int cmp = CompareNumbers(ParseHex(a), ParseHex(b));
  return cmp != 0 ? cmp : LexicalKeyComparator(a, b);
}

int RealNumberKeyComparator(std::string_view a, std::string_view b) {
  const int cmp = CompareReals(StrToDouble(a), StrToDouble(b));
  return cmp != 0 ? cmp : LexicalKeyComparator(a, b);
}

int SignedBigEndianKeyComparator(std::string_view a, std::string_view b) {
  const int cmp = CompareNumbers(StrToIntBigEndian(a), StrToIntBigEndian(b));
  return cmp != 0 ? cmp : LexicalKeyComparator(a, b);
}

int FloatBigEndianKeyComparator(std::string_view a, std::string_view b) {
  const int cmp = CompareReals(StrToFloatBigEndian(a), StrToFloatBigEndian(b));
  return cmp != 0 ? cmp : LexicalKeyComparator(a, b);
}

int PairLexicalKeyComparator(std::string_view a, std::string_view b) {
  std::string_view a_key, a_value, b_key, b_value;
  DeserializeStrPair(a, &a_key, &a_value);
  DeserializeStrPair(b, &b_key, &b_value);
  int cmp = LexicalKeyComparator(a_key, b_key);
  if (cmp != 0) {
    return cmp;
  }
  cmp = LexicalKeyComparator(a_value, b_value);
  return cmp != 0 ? cmp : LexicalKeyComparator(a, b);
}

KeyComparator GetKeyComparatorByName(std::string_view name) {
  const std::string lower = StrLowerCase(name);
  for (const auto& entry : kComparators) {
    const std::string full = StrLowerCase(entry.name);
    const std::string shortname = full.substr(0, full.size() - std::strlen("keycomparator"));
    if (lower == full || lower == shortname) {
      return entry.comp;
    }
  }
  return nullptr;
}

std::string GetKeyComparatorName(KeyComparator comp) {
  for (const auto& entry : kComparators) {
    if (entry.comp == comp) {
      return entry.name;
    }
  }
  return "";
}

}  // namespace morvel
