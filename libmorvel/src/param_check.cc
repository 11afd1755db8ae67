#include "param_check.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace morvel {

namespace {

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

bool IsChoice(const char* choices, std::string_view value) {
  const std::string lower = StrLowerCase(TrimSpaces(value));
  std::string_view rest(choices);
  while (true) {
    const size_t pos = rest.find('|');
    if (rest.substr(0, pos) == lower) {
      return true;
    }
    if (pos == std::string_view::npos) {
      return false;
    }
    rest.remove_prefix(pos + 1);
  }
}

std::string ChoiceList(const char* choices) {
  std::string list(choices);
  for (char& c : list) {
    if (c == '|') c = ',';
  }
  return list;
}

Status BadValue(const ParamRule& rule, const std::string& value, const std::string& expected) {
  return Status(Status::INVALID_ARGUMENT_ERROR,
                std::string("invalid parameter ") + rule.name + "=" + StrEscapeC(value, true) +
                    ": " + expected);
}

Status CheckValue(const ParamRule& rule, const std::string& value) {
  switch (rule.kind) {
    case ParamRule::kInteger: {
      int64_t num = 0;
      if (!ParseIntegerParam(value, &num)) {
        return BadValue(rule, value, "not an integer");
      }
      if (num < rule.min || num > rule.max) {
        return BadValue(rule, value,
                        "out of range " + std::to_string(rule.min) + " to " +
                            std::to_string(rule.max));
      }
      return Status();
    }
    case ParamRule::kReal: {
      double num = 0;
      if (!ParseRealParam(value, &num)) {
        return BadValue(rule, value, "not a number");
      }
      if (num < static_cast<double>(rule.min) || num > static_cast<double>(rule.max)) {
        return BadValue(rule, value,
                        "out of range " + std::to_string(rule.min) + " to " +
                            std::to_string(rule.max));
      }
      return Status();
    }
    case ParamRule::kChoice:
      if (!IsChoice(rule.choices, value)) {
        return BadValue(rule, value, "not one of " + ChoiceList(rule.choices));
      }
      return Status();
    case ParamRule::kText:
      return Status();
  }
  return Status();
}

// Accepted by every class: read by the sharded database around the class, or
// added by the index store whatever the class.
const ParamRule kEverywhere[] = {
    {"num_shards", ParamRule::kInteger, INT32_MIN, INT32_MAX},
    {"key_comparator", ParamRule::kText},
};

}  // namespace

bool ParseIntegerParam(std::string_view text, int64_t* num) {
  text = TrimSpaces(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) {
    return false;
  }
  uint64_t magnitude = 0;
  const uint64_t limit = negative ? (1ULL << 63) : (1ULL << 63) - 1;
  for (const char c : text) {
    if (c < '0' || c > '9') {
      return false;
    }
    const uint64_t digit = c - '0';
    if (magnitude > (limit - digit) / 10) {
      return false;
    }
    magnitude = magnitude * 10 + digit;
  }
  *num = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool ParseRealParam(std::string_view text, double* num) {
  const std::string str(TrimSpaces(text));
  if (str.empty()) {
    return false;
  }
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(str.c_str(), &end);
  if (end != str.c_str() + str.size() || errno == ERANGE || !std::isfinite(value)) {
    return false;
  }
  *num = value;
  return true;
}

Status CheckParams(const ParamMap& params, const ParamRule* rules, size_t num_rules,
                   bool database) {
  for (const auto& [name, value] : params) {
    const ParamRule* found = nullptr;
    for (size_t i = 0; i < num_rules && found == nullptr; i++) {
      if (name == rules[i].name) found = &rules[i];
    }
    for (const ParamRule& rule : kEverywhere) {
      if (database && found == nullptr && name == rule.name) found = &rule;
    }
    if (found == nullptr) {
      return Status(Status::INVALID_ARGUMENT_ERROR,
                    "unknown parameter: " + StrEscapeC(name, true));
    }
    Status status = CheckValue(*found, value);
    if (!status.IsOK()) {
      return status;
    }
  }
  return Status();
}

}  // namespace morvel
