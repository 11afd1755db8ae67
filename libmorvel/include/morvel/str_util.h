// Text helpers and the fixed-width encodings of numbers and string pairs.
// All functions are pure and safe to call from several threads at once.

#ifndef MORVEL_STR_UTIL_H_
#define MORVEL_STR_UTIL_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace morvel {

// The parameter map of open, rebuild and synchronize operations.
using ParamMap = std::map<std::string, std::string>;

// Parses optional spaces, an optional sign and decimal digits; trailing text is
// ignored. No digit gives |defval|. Saturates at the 64-bit limits.
int64_t StrToInt(std::string_view str, int64_t defval = 0);

// Parses a decimal real number (also "inf", "nan"); no number gives |defval|.
double StrToDouble(std::string_view str, double defval = 0.0);

// Case-insensitive "true", "t", "yes", "y", "on", "1" give true; "false", "f",
// "no", "n", "off", "0" give false; anything else gives |defval|. Surrounding
// spaces are ignored.
bool StrToBool(std::string_view str, bool defval = false);

// The value of |key| in |map|, or |defval| when absent.
std::string SearchMap(const ParamMap& map, std::string_view key, std::string_view defval);

// Escapes bytes as a C string literal body: printable ASCII unchanged, the
// backslash doubled, \n \t \r and other controls as escapes or \xNN, and bytes
// of 0x80 and above as \xNN when |esc_nonasc| is true (unchanged otherwise).
std::string StrEscapeC(std::string_view str, bool esc_nonasc = false);

// printf-style formatting into a std::string.
std::string SPrintF(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ASCII lower case; other bytes unchanged.
std::string StrLowerCase(std::string_view str);

// Whether |text| contains |pattern|, ignoring ASCII case.
bool StrCaseContains(std::string_view text, std::string_view pattern);

// Splits |str| at every |delim|; an empty input gives one empty element.
std::vector<std::string> StrSplit(std::string_view str, char delim);

// The last component of a slash-separated path ("" for a trailing slash).
std::string PathToBaseName(std::string_view path);

// The text after the last dot of the base name, or "" when it has none.
std::string PathToExtension(std::string_view path);

// |num| as |width| bytes (1..8), most significant first, two's complement.
std::string IntToStrBigEndian(uint64_t num, size_t width = 8);

// Reads up to 8 bytes, most significant first. 8 bytes are read as a signed
// 64-bit number; a shorter input as an unsigned number of its length; a longer
// one by its first 8 bytes.
int64_t StrToIntBigEndian(std::string_view str);

// |num| as an IEEE-754 double, 8 bytes big-endian (widths other than 8 also
// give 8 bytes; a width of 4 gives an IEEE-754 single).
std::string FloatToStrBigEndian(long double num, size_t width = 8);

// Reads an 8-byte big-endian double (4 bytes: a single); other sizes give NaN.
long double StrToFloatBigEndian(std::string_view str);

// Writes |num| as a base-128 varint into |buf| (at least 10 bytes); returns the
// number of bytes written.
size_t WriteVarNum(char* buf, uint64_t num);

// Reads a varint from |buf| of |size| bytes. Returns the bytes consumed, or 0
// when the input is truncated or longer than 10 bytes.
size_t ReadVarNum(const char* buf, size_t size, uint64_t* num);

// A key and a value in one string: varint length of the key, the key, the
// value. An exact round trip for any bytes.
std::string SerializeStrPair(std::string_view first, std::string_view second);

// The inverse of SerializeStrPair. Views point into |serialized|. A damaged
// input gives two empty views.
void DeserializeStrPair(std::string_view serialized, std::string_view* first,
                        std::string_view* second);

}  // namespace morvel

#endif  // MORVEL_STR_UTIL_H_
