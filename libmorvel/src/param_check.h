// Checks of the tuning parameters of open, rebuild and synchronize calls.
//
// Every class lists the parameters it knows and the form of their values. A
// call fails with INVALID_ARGUMENT_ERROR naming the parameter, before it
// changes anything, when a name is unknown (a typo would otherwise be ignored
// without a word) or a value does not parse or is out of range. Pure
// functions, safe to call from several threads at once.

#ifndef MORVEL_PARAM_CHECK_H_
#define MORVEL_PARAM_CHECK_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "morvel/status.h"
#include "morvel/str_util.h"

namespace morvel {

// One parameter a class accepts and the values it takes.
struct ParamRule {
  enum Kind {
    kInteger,  // decimal digits with an optional sign, within [min, max]
    kReal,     // a finite decimal real number within [min, max]
    kChoice,   // one of |choices|, '|'-separated, compared ignoring ASCII case
    kText,     // any text; the class checks it itself
  };
  const char* name;
  Kind kind;
  int64_t min = 0;
  int64_t max = 0;
  const char* choices = nullptr;
};

// Checks every entry of |params| against |rules|. With |database| true, the
// names that callers pass to every database class by design ("num_shards",
// read by the sharded database, and "key_comparator", which the index store
// adds whatever the class) are accepted too. Returns INVALID_ARGUMENT_ERROR
// naming the first unknown name or bad value.
Status CheckParams(const ParamMap& params, const ParamRule* rules, size_t num_rules,
                   bool database = true);

template <size_t N>
Status CheckParams(const ParamMap& params, const ParamRule (&rules)[N], bool database = true) {
  return CheckParams(params, rules, N, database);
}

// Checks |params| when no name but the ones accepted everywhere is allowed.
inline Status CheckNoParams(const ParamMap& params) {
  return CheckParams(params, nullptr, 0);
}

// Reads a whole decimal integer: optional spaces, an optional sign, digits,
// optional spaces, nothing else. False when the text is not one or overflows.
bool ParseIntegerParam(std::string_view text, int64_t* num);

// Reads a whole finite decimal real number. False when the text is not one.
bool ParseRealParam(std::string_view text, double* num);

}  // namespace morvel

#endif  // MORVEL_PARAM_CHECK_H_
