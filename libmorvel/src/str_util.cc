// Text helpers and fixed-width encodings.
//
// Every function here is pure: no global state, so all are safe from any
// thread. The big-endian number encodings read and write bytes one at a time,
// so they do not depend on the host's byte order.

#include "morvel/str_util.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace morvel {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char LowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view TrimSpaces(std::string_view str) {
  while (!str.empty() && IsSpace(str.front())) {
    str.remove_prefix(1);
  }
  while (!str.empty() && IsSpace(str.back())) {
    str.remove_suffix(1);
  }
  return str;
}

}  // namespace

int64_t StrToInt(std::string_view str, int64_t defval) {
  size_t pos = 0;
  while (pos < str.size() && IsSpace(str[pos])) {
    pos++;
  }
  bool negative = false;
  if (pos < str.size() && (str[pos] == '-' || str[pos] == '+')) {
    negative = str[pos] == '-';
    pos++;
  }
  if (pos >= str.size() || str[pos] < '0' || str[pos] > '9') {
    return defval;
  }
  // Accumulates the magnitude as unsigned so that INT64_MIN is representable.
  const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                  : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  uint64_t magnitude = 0;
  bool saturated = false;
  while (pos < str.size() && str[pos] >= '0' && str[pos] <= '9') {
    const uint64_t digit = str[pos] - '0';
    if (!saturated) {
      if (magnitude > (limit - digit) / 10) {
        saturated = true;
        magnitude = limit;
      } else {
        magnitude = magnitude * 10 + digit;
      }
    }
    pos++;
  }
  if (negative) {
    if (magnitude == static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1) {
      return std::numeric_limits<int64_t>::min();
    }
    return -static_cast<int64_t>(magnitude);
  }
  return static_cast<int64_t>(magnitude);
}

double StrToDouble(std::string_view str, double defval) {
  // strtod needs a terminated buffer; numbers are short, so copy a bounded prefix.
  std::string buf(TrimSpaces(str).substr(0, 4096));
  if (buf.empty()) {
    return defval;
  }
  const char* begin = buf.c_str();
  char* end = nullptr;
  const double num = std::strtod(begin, &end);
  if (end == begin) {
    return defval;
  }
  return num;
}

bool StrToBool(std::string_view str, bool defval) {
  const std::string lower = StrLowerCase(TrimSpaces(str));
  if (lower == "true" || lower == "t" || lower == "yes" || lower == "y" || lower == "on" ||
      lower == "1") {
    return true;
  }
  if (lower == "false" || lower == "f" || lower == "no" || lower == "n" || lower == "off" ||
      lower == "0") {
    return false;
  }
  return defval;
}

std::string SearchMap(const ParamMap& map, std::string_view key, std::string_view defval) {
  const auto it = map.find(std::string(key));
  if (it == map.end()) {
    return std::string(defval);
  }
  return it->second;
}

std::string StrEscapeC(std::string_view str, bool esc_nonasc) {
  std::string result;
  result.reserve(str.size());
  for (const char c : str) {
    const unsigned char uc = static_cast<unsigned char>(c);
    switch (c) {
      case '\\':
        result.append("\\\\");
        continue;
      case '\n':
        result.append("\\n");
        continue;
      case '\t':
        result.append("\\t");
        continue;
      case '\r':
        result.append("\\r");
        continue;
      case '\0':
        result.append("\\0");
        continue;
      case '\a':
        result.append("\\a");
        continue;
      case '\b':
        result.append("\\b");
        continue;
      case '\f':
        result.append("\\f");
        continue;
      case '\v':
        result.append("\\v");
        continue;
      default:
        break;
    }
    if (uc < 0x20 || uc == 0x7F || (uc >= 0x80 && esc_nonasc)) {
      char buf[8];
      std::snprintf(buf, sizeof(buf), "\\x%02x", uc);
      result.append(buf);
    } else {
      result.push_back(c);
    }
  }
  return result;
}

std::string SPrintF(const char* format, ...) {
  std::string result;
  va_list ap;
  va_start(ap, format);
  va_list ap2;
  va_copy(ap2, ap);
  char buf[256];
  const int size = std::vsnprintf(buf, sizeof(buf), format, ap);
  va_end(ap);
  if (size < 0) {
    va_end(ap2);
    return result;
  }
  if (static_cast<size_t>(size) < sizeof(buf)) {
    result.assign(buf, size);
  } else {
    result.resize(size + 1);
    std::vsnprintf(result.data(), size + 1, format, ap2);
    result.resize(size);
  }
  va_end(ap2);
  return result;
}

std::string StrLowerCase(std::string_view str) {
  std::string result(str);
  for (char& c : result) {
    c = LowerChar(c);
  }
  return result;
}

bool StrCaseContains(std::string_view text, std::string_view pattern) {
  if (pattern.empty()) {
    return true;
  }
  if (pattern.size() > text.size()) {
    return false;
  }
  const size_t last = text.size() - pattern.size();
  for (size_t i = 0; i <= last; i++) {
    size_t j = 0;
    while (j < pattern.size() && LowerChar(text[i + j]) == LowerChar(pattern[j])) {
      j++;
    }
    if (j == pattern.size()) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> StrSplit(std::string_view str, char delim) {
  std::vector<std::string> result;
  size_t start = 0;
  while (true) {
    const size_t pos = str.find(delim, start);
    if (pos == std::string_view::npos) {
      result.emplace_back(str.substr(start));
      break;
    }
    result.emplace_back(str.substr(start, pos - start));
    start = pos + 1;
  }
  return result;
}

std::string PathToBaseName(std::string_view path) {
  const size_t pos = path.rfind('/');
  if (pos == std::string_view::npos) {
    return std::string(path);
  }
  return std::string(path.substr(pos + 1));
}

std::string PathToExtension(std::string_view path) {
  const std::string base = PathToBaseName(path);
  const size_t pos = base.rfind('.');
  if (pos == std::string::npos) {
    return "";
  }
  return base.substr(pos + 1);
}

std::string IntToStrBigEndian(uint64_t num, size_t width) {
  if (width < 1) {
    width = 1;
  } else if (width > 8) {
    width = 8;
  }
  std::string result(width, '\0');
  for (size_t i = 0; i < width; i++) {
    result[width - 1 - i] = static_cast<char>(num & 0xFF);
    num >>= 8;
  }
  return result;
}

int64_t StrToIntBigEndian(std::string_view str) {
  const size_t size = str.size() < 8 ? str.size() : 8;
  uint64_t num = 0;
  for (size_t i = 0; i < size; i++) {
    num = (num << 8) | static_cast<unsigned char>(str[i]);
  }
  return static_cast<int64_t>(num);
}

std::string FloatToStrBigEndian(long double num, size_t width) {
  if (width == 4) {
    const float value = static_cast<float>(num);
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof(bits));
    return IntToStrBigEndian(bits, 4);
  }
  const double value = static_cast<double>(num);
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  return IntToStrBigEndian(bits, 8);
}

long double StrToFloatBigEndian(std::string_view str) {
  if (str.size() == 4) {
    const uint32_t bits = static_cast<uint32_t>(StrToIntBigEndian(str));
    float value = 0;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
  }
  if (str.size() == 8) {
    const uint64_t bits = static_cast<uint64_t>(StrToIntBigEndian(str));
    double value = 0;
    std::memcpy(&value, &bits, sizeof(value));
    return value;
  }
  return std::numeric_limits<long double>::quiet_NaN();
}

size_t WriteVarNum(char* buf, uint64_t num) {
  size_t size = 0;
  while (num >= 0x80) {
    buf[size++] = static_cast<char>((num & 0x7F) | 0x80);
    num >>= 7;
  }
  buf[size++] = static_cast<char>(num);
  return size;
}

size_t ReadVarNum(const char* buf, size_t size, uint64_t* num) {
  uint64_t value = 0;
  for (size_t i = 0; i < size && i < 10; i++) {
    const uint64_t byte = static_cast<unsigned char>(buf[i]);
    value |= (byte & 0x7F) << (7 * i);
    if ((byte & 0x80) == 0) {
      *num = value;
      return i + 1;
    }
  }
  *num = 0;
  return 0;
}

std::string SerializeStrPair(std::string_view first, std::string_view second) {
  char head[10];
  const size_t head_size = WriteVarNum(head, first.size());
  std::string result;
  result.reserve(head_size + first.size() + second.size());
  result.append(head, head_size);
  result.append(first);
  result.append(second);
  return result;
}

void DeserializeStrPair(std::string_view serialized, std::string_view* first,
                        std::string_view* second) {
  uint64_t first_size = 0;
  const size_t head_size = ReadVarNum(serialized.data(), serialized.size(), &first_size);
  if (head_size == 0 || first_size > serialized.size() - head_size) {
    *first = std::string_view();
    *second = std::string_view();
    return;
  }
  *first = serialized.substr(head_size, first_size);
  *second = serialized.substr(head_size + first_size);
}

}  // namespace morvel
