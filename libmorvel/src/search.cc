// The search modes over database keys and text-file lines.
//
// Predicate modes ("contain" ... "regex") test each text on its own; the scan
// keeps the texts that pass, in the order met, up to the capacity. A database
// is walked with one read-only ProcessEach (which cannot stop early, so past
// the capacity the walk only skips); a file is read in chunks and split at
// "\n", a last line without "\n" counting as a line.
//
// Edit modes keep the best |capacity| candidates in a max-heap ordered by
// (distance, tie), the tie being the order met for ordered databases and
// files and the bytes of the key for unordered databases, so results never
// depend on hash order. Once the heap is full its worst distance bounds the
// dynamic programme: a row whose minimum passes the bound stops the
// computation early.
//
// Ordered modes jump an iterator to the pattern and step away from it, so
// "upper" and "upperinc" give keys in ascending order and "lower" and
// "lowerinc" in descending order, the nearest first.
//
// On a database ordered by unsigned bytes, the keys that start with a given
// prefix are contiguous. "begin", and "regex" with an anchored literal prefix
// ("^abc..."), then jump to the prefix and stop at the first key past it or
// at the capacity, instead of walking every record. The result is the one the
// walk would give: the matching keys in ascending order.

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "morvel/dbm_util.h"
#include "morvel/str_util.h"

namespace morvel {

namespace {

constexpr int64_t kReadChunk = 1 << 20;

enum class SearchKind {
  CONTAIN,
  CONTAIN_CASE,
  CONTAIN_WORD,
  BEGIN,
  END,
  REGEX,
  EDIT,
  EDIT_BIN,
  UPPER,
  UPPER_INC,
  LOWER,
  LOWER_INC,
};

bool ParseKind(std::string_view mode, SearchKind* kind) {
  static const std::pair<std::string_view, SearchKind> kModes[] = {
      {"contain", SearchKind::CONTAIN},   {"containcase", SearchKind::CONTAIN_CASE},
      {"containword", SearchKind::CONTAIN_WORD}, {"begin", SearchKind::BEGIN},
      {"end", SearchKind::END},           {"regex", SearchKind::REGEX},
      {"edit", SearchKind::EDIT},         {"editbin", SearchKind::EDIT_BIN},
      {"upper", SearchKind::UPPER},       {"upperinc", SearchKind::UPPER_INC},
      {"lower", SearchKind::LOWER},       {"lowerinc", SearchKind::LOWER_INC},
  };
  for (const auto& [name, value] : kModes) {
    if (mode == name) {
      *kind = value;
      return true;
    }
  }
  return false;
}

bool IsOrderedKind(SearchKind kind) {
  return kind == SearchKind::UPPER || kind == SearchKind::UPPER_INC ||
         kind == SearchKind::LOWER || kind == SearchKind::LOWER_INC;
}

bool IsEditKind(SearchKind kind) {
  return kind == SearchKind::EDIT || kind == SearchKind::EDIT_BIN;
}

// A byte that continues a word: ASCII letters and digits, and every byte of a
// multi-byte UTF-8 character, so that a letter like "é" does not end a word.
bool IsWordByte(char c) {
  const unsigned char uc = static_cast<unsigned char>(c);
  return (uc >= '0' && uc <= '9') || (uc >= 'a' && uc <= 'z') || (uc >= 'A' && uc <= 'Z') ||
         uc >= 0x80;
}

bool ContainsWord(std::string_view text, std::string_view word) {
  size_t pos = text.find(word);
  while (pos != std::string_view::npos) {
    const size_t end = pos + word.size();
    if ((pos == 0 || !IsWordByte(text[pos - 1])) &&
        (end == text.size() || !IsWordByte(text[end]))) {
      return true;
    }
    pos = text.find(word, pos + 1);
  }
  return false;
}

// The code points of UTF-8 |text|; a byte that starts no valid sequence
// stands for itself, apart from every code point.
std::vector<uint32_t> DecodeUTF8(std::string_view text) {
  std::vector<uint32_t> points;
  points.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t len = 0;
    uint32_t point = 0;
    uint32_t min_point = 0;
    if (lead < 0x80) {
      len = 1;
      point = lead;
    } else if (lead >= 0xC2 && lead < 0xE0) {
      len = 2;
      point = lead & 0x1F;
      min_point = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      len = 3;
      point = lead & 0x0F;
      min_point = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF5) {
      len = 4;
      point = lead & 0x07;
      min_point = 0x10000;
    }
    bool valid = len > 0 && i + len <= text.size();
    for (size_t j = 1; valid && j < len; j++) {
      const unsigned char cont = static_cast<unsigned char>(text[i + j]);
      if ((cont & 0xC0) != 0x80) {
        valid = false;
      } else {
        point = (point << 6) | (cont & 0x3F);
      }
    }
    if (valid && len > 1 &&
        (point < min_point || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000))) {
      valid = false;
    }
    if (valid) {
      points.push_back(point);
      i += len;
    } else {
      points.push_back(0x110000 + lead);
      i++;
    }
  }
  return points;
}

// The Levenshtein distance of |a| and |b|, or some value above |bound| when
// the distance surely exceeds it (|bound| negative: no bound).
template <typename T>
int64_t EditDistance(const T* a, size_t a_size, const T* b, size_t b_size, int64_t bound) {
  if (a_size < b_size) {
    std::swap(a, b);
    std::swap(a_size, b_size);
  }
  const int64_t gap = static_cast<int64_t>(a_size - b_size);
  if (bound >= 0 && gap > bound) return bound + 1;
  std::vector<int64_t> row(b_size + 1);
  for (size_t j = 0; j <= b_size; j++) row[j] = j;
  for (size_t i = 1; i <= a_size; i++) {
    int64_t diag = row[0];
    row[0] = i;
    int64_t row_min = row[0];
    for (size_t j = 1; j <= b_size; j++) {
      const int64_t up = row[j];
      const int64_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      row[j] = std::min({up + 1, row[j - 1] + 1, diag + cost});
      diag = up;
      row_min = std::min(row_min, row[j]);
    }
    if (bound >= 0 && row_min > bound) return bound + 1;
  }
  return row[b_size];
}

// Tests texts against a predicate mode.
class Matcher final {
 public:
  Status Init(SearchKind kind, std::string_view pattern) {
    kind_ = kind;
    pattern_ = pattern;
    if (kind == SearchKind::REGEX) {
      RE2::Options options;
      options.set_log_errors(false);
      regex_ = std::make_unique<RE2>(re2::StringPiece(pattern.data(), pattern.size()), options);
      if (!regex_->ok()) {
        return Status(Status::INVALID_ARGUMENT_ERROR,
                      "invalid regular expression: " + std::string(pattern) + ": " +
                          regex_->error());
      }
    }
    return Status();
  }

  bool Match(std::string_view text) const {
    switch (kind_) {
      case SearchKind::CONTAIN:
        return text.find(pattern_) != std::string_view::npos;
      case SearchKind::CONTAIN_CASE:
        return StrCaseContains(text, pattern_);
      case SearchKind::CONTAIN_WORD:
        return ContainsWord(text, pattern_);
      case SearchKind::BEGIN:
        return text.substr(0, pattern_.size()) == pattern_;
      case SearchKind::END:
        return text.size() >= pattern_.size() &&
               text.substr(text.size() - pattern_.size()) == pattern_;
      case SearchKind::REGEX:
        return RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), *regex_);
      default:
        return false;
    }
  }

 private:
  SearchKind kind_ = SearchKind::CONTAIN;
  std::string_view pattern_;
  std::unique_ptr<RE2> regex_;
};

// Keeps the texts nearest to the pattern by edit distance.
class EditCollector final {
 public:
  EditCollector(SearchKind kind, std::string_view pattern, size_t capacity, bool tie_by_order)
      : by_code_point_(kind == SearchKind::EDIT),
        pattern_(pattern),
        capacity_(capacity),
        tie_by_order_(tie_by_order) {
    if (by_code_point_) pattern_points_ = DecodeUTF8(pattern);
  }

  void Add(std::string_view text) {
    const int64_t seq = next_seq_++;
    const bool full = capacity_ > 0 && heap_.size() >= capacity_;
    const int64_t bound = full ? heap_.front().distance : -1;
    int64_t distance = 0;
    if (by_code_point_) {
      const std::vector<uint32_t> points = DecodeUTF8(text);
      distance = EditDistance(points.data(), points.size(), pattern_points_.data(),
                              pattern_points_.size(), bound);
    } else {
      distance = EditDistance(text.data(), text.size(), pattern_.data(), pattern_.size(), bound);
    }
    if (full && distance > bound) return;
    Candidate candidate{distance, seq, std::string(text)};
    const auto less = [this](const Candidate& lhs, const Candidate& rhs) {
      return Less(lhs, rhs);
    };
    if (full) {
      if (!Less(candidate, heap_.front())) return;
      std::pop_heap(heap_.begin(), heap_.end(), less);
      heap_.back() = std::move(candidate);
    } else {
      heap_.push_back(std::move(candidate));
    }
    std::push_heap(heap_.begin(), heap_.end(), less);
  }

  // Moves the kept texts to |matched|, nearest first.
  void Finish(std::vector<std::string>* matched) {
    std::sort(heap_.begin(), heap_.end(),
              [this](const Candidate& lhs, const Candidate& rhs) { return Less(lhs, rhs); });
    for (auto& candidate : heap_) matched->push_back(std::move(candidate.text));
    heap_.clear();
  }

 private:
  struct Candidate {
    int64_t distance;
    int64_t seq;
    std::string text;
  };

  bool Less(const Candidate& lhs, const Candidate& rhs) const {
    if (lhs.distance != rhs.distance) return lhs.distance < rhs.distance;
    if (tie_by_order_) return lhs.seq < rhs.seq;
    if (lhs.text != rhs.text) return lhs.text < rhs.text;
    return lhs.seq < rhs.seq;
  }

  bool by_code_point_;
  std::string_view pattern_;
  std::vector<uint32_t> pattern_points_;
  size_t capacity_;
  bool tie_by_order_;
  int64_t next_seq_ = 0;
  // A max-heap by Less: the worst kept candidate in front.
  std::vector<Candidate> heap_;
};

// Runs a predicate or edit search over texts fed one by one.
class TextSearch final {
 public:
  TextSearch(SearchKind kind, std::string_view pattern, size_t capacity, bool tie_by_order,
             std::vector<std::string>* matched)
      : kind_(kind), capacity_(capacity), matched_(matched) {
    if (IsEditKind(kind)) {
      edit_ = std::make_unique<EditCollector>(kind, pattern, capacity, tie_by_order);
    }
  }

  Status Init(std::string_view pattern) {
    if (IsEditKind(kind_)) return Status();
    return matcher_.Init(kind_, pattern);
  }

  // Whether more texts can change the result.
  bool Wants() const { return edit_ != nullptr || capacity_ == 0 || matched_->size() < capacity_; }

  void Add(std::string_view text) {
    if (edit_ != nullptr) {
      edit_->Add(text);
    } else if (Wants() && matcher_.Match(text)) {
      matched_->emplace_back(text);
    }
  }

  void Finish() {
    if (edit_ != nullptr) edit_->Finish(matched_);
  }

 private:
  SearchKind kind_;
  size_t capacity_;
  std::vector<std::string>* matched_;
  Matcher matcher_;
  std::unique_ptr<EditCollector> edit_;
};

Status UnknownMode(std::string_view mode) {
  return Status(Status::INVALID_ARGUMENT_ERROR, "unknown search mode: " + std::string(mode));
}

Status OutOfMemory() { return Status(Status::SYSTEM_ERROR, "out of memory for the search"); }

Status SearchOrdered(DBM* dbm, SearchKind kind, std::string_view pattern,
                     std::vector<std::string>* matched, size_t capacity) {
  const bool upper = kind == SearchKind::UPPER || kind == SearchKind::UPPER_INC;
  const bool inclusive = kind == SearchKind::UPPER_INC || kind == SearchKind::LOWER_INC;
  std::unique_ptr<DBM::Iterator> iter = dbm->MakeIterator();
  Status status = upper ? iter->JumpUpper(pattern, inclusive) : iter->JumpLower(pattern, inclusive);
  while (status.IsOK() && (capacity == 0 || matched->size() < capacity)) {
    std::string key;
    status = iter->Get(&key);
    if (!status.IsOK()) break;
    matched->push_back(std::move(key));
    status = upper ? iter->Next() : iter->Previous();
  }
  if (status == Status::NOT_FOUND_ERROR) return Status();
  return status;
}

// The literal prefix every match of |pattern| starts with: the plain
// characters after a leading "^", up to the first operator. A quantified
// last character is not part of it, and an alternation anywhere (which may
// escape the anchor) gives none. False when there is no usable prefix.
bool RegexLiteralPrefix(std::string_view pattern, std::string* prefix) {
  if (pattern.empty() || pattern[0] != '^' || pattern.find('|') != std::string_view::npos) {
    return false;
  }
  prefix->clear();
  size_t i = 1;
  while (i < pattern.size()) {
    const char c = pattern[i];
    size_t width = 1;
    char literal = c;
    if (c == '\\') {
      // Only escaped punctuation is a literal; \d, \w and the like are classes.
      if (i + 1 >= pattern.size() || std::isalnum(static_cast<unsigned char>(pattern[i + 1]))) {
        break;
      }
      literal = pattern[i + 1];
      width = 2;
    } else if (std::strchr(".[](){}*+?^$", c) != nullptr) {
      break;
    } else if (static_cast<unsigned char>(c) >= 0x80) {
      // Multi-byte characters may be quantified as a whole; stop before them.
      break;
    }
    const size_t next = i + width;
    if (next < pattern.size() && std::strchr("*?{", pattern[next]) != nullptr) {
      break;
    }
    prefix->push_back(literal);
    i = next;
  }
  return !prefix->empty();
}

// Whether the keys of |dbm| are ordered by unsigned bytes.
bool IsLexicallyOrdered(DBM* dbm) {
  if (!dbm->IsOrdered()) return false;
  for (const auto& item : dbm->Inspect()) {
    if (item.first == "key_comparator") return item.second == "LexicalKeyComparator";
  }
  return false;
}

// Walks the keys that start with |prefix| from a jump, feeding |search|.
Status SearchPrefixRange(DBM* dbm, std::string_view prefix, TextSearch* search) {
  std::unique_ptr<DBM::Iterator> iter = dbm->MakeIterator();
  Status status = iter->Jump(prefix);
  std::string key;
  while (status.IsOK() && search->Wants()) {
    status = iter->Get(&key);
    if (!status.IsOK() || key.compare(0, prefix.size(), prefix) != 0) break;
    search->Add(key);
    status = iter->Next();
  }
  if (status == Status::NOT_FOUND_ERROR) return Status();
  return status;
}

}  // namespace

Status SearchDBMModal(DBM* dbm, std::string_view mode, std::string_view pattern,
                      std::vector<std::string>* matched, size_t capacity) {
  matched->clear();
  SearchKind kind = SearchKind::CONTAIN;
  if (!ParseKind(mode, &kind)) return UnknownMode(mode);
  try {
    if (IsOrderedKind(kind)) {
      if (!dbm->IsOrdered()) {
        return Status(Status::INVALID_ARGUMENT_ERROR,
                      "the search mode " + std::string(mode) + " needs an ordered database");
      }
      Status status = SearchOrdered(dbm, kind, pattern, matched, capacity);
      if (!status.IsOK()) matched->clear();
      return status;
    }
    TextSearch search(kind, pattern, capacity, dbm->IsOrdered(), matched);
    Status status = search.Init(pattern);
    if (!status.IsOK()) return status;
    std::string prefix;
    if (kind == SearchKind::BEGIN) {
      prefix = std::string(pattern);
    } else if (kind == SearchKind::REGEX && !RegexLiteralPrefix(pattern, &prefix)) {
      prefix.clear();
    }
    if ((kind == SearchKind::BEGIN || !prefix.empty()) && IsLexicallyOrdered(dbm)) {
      status = SearchPrefixRange(dbm, prefix, &search);
      if (!status.IsOK()) matched->clear();
      return status;
    }
    bool failed = false;
    status = dbm->ProcessEach(
        [&](std::string_view key, std::string_view) -> std::string_view {
          if (!failed && search.Wants()) {
            try {
              search.Add(key);
            } catch (const std::exception&) {
              failed = true;
            }
          }
          return DBM::RecordProcessor::NOOP;
        },
        false);
    if (failed) status |= OutOfMemory();
    if (!status.IsOK()) {
      matched->clear();
      return status;
    }
    search.Finish();
    return Status();
  } catch (const std::exception&) {
    matched->clear();
    return OutOfMemory();
  }
}

Status SearchTextFileModal(File* file, std::string_view mode, std::string_view pattern,
                           std::vector<std::string>* matched, size_t capacity) {
  matched->clear();
  SearchKind kind = SearchKind::CONTAIN;
  if (!ParseKind(mode, &kind)) return UnknownMode(mode);
  if (IsOrderedKind(kind)) {
    return Status(Status::INVALID_ARGUMENT_ERROR,
                  "the search mode " + std::string(mode) + " does not apply to text files");
  }
  try {
    TextSearch search(kind, pattern, capacity, true, matched);
    Status status = search.Init(pattern);
    if (!status.IsOK()) return status;
    int64_t file_size = 0;
    status = file->GetSize(&file_size);
    if (!status.IsOK()) return status;
    std::string chunk;
    std::string line;
    int64_t off = 0;
    while (off < file_size && search.Wants()) {
      const int64_t size = std::min(kReadChunk, file_size - off);
      chunk.resize(size);
      status = file->Read(off, chunk.data(), size);
      if (!status.IsOK()) {
        matched->clear();
        return status;
      }
      off += size;
      std::string_view rest(chunk);
      while (!rest.empty()) {
        const size_t pos = rest.find('\n');
        if (pos == std::string_view::npos) {
          line.append(rest);
          break;
        }
        if (line.empty()) {
          search.Add(rest.substr(0, pos));
        } else {
          line.append(rest.substr(0, pos));
          search.Add(line);
          line.clear();
        }
        rest.remove_prefix(pos + 1);
      }
    }
    if (!line.empty()) search.Add(line);
    search.Finish();
    return Status();
  } catch (const std::exception&) {
    matched->clear();
    return OutOfMemory();
  }
}

}  // namespace morvel
