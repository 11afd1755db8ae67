// A batch of records read ahead by an iterator under one hold of the
// database's locks, handed out one at a time from a cursor. Private to the
// engine sources.
//
// An iterator that reads ahead keeps its meaning: a record written after the
// batch was read may be handed out at its old value (as if written just after
// it was handed out), and a record removed after the batch was read may still
// be handed out once (as if removed just after). Each entry keeps its key, so
// the iterator still knows its place by key.

#ifndef MORVEL_RECORD_BATCH_H_
#define MORVEL_RECORD_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace morvel {

class RecordBatch final {
 public:
  // Batches end after this many records or bytes, at the first boundary the
  // reader allows (a whole bucket, a whole leaf).
  static constexpr size_t kMaxRecords = 512;
  static constexpr size_t kMaxBytes = 1 << 18;

  void Clear() {
    arena_.clear();
    entries_.clear();
    pos_ = 0;
  }
  bool Full() const { return entries_.size() >= kMaxRecords || arena_.size() >= kMaxBytes; }
  void Add(std::string_view key, std::string_view value, uint64_t aux = 0) {
    const size_t off = arena_.size();
    arena_.append(key.data(), key.size());
    arena_.append(value.data(), value.size());
    entries_.push_back({off, key.size(), off + key.size(), value.size(), aux});
  }
  // Drops the entries from |size| on.
  void Truncate(size_t size) {
    if (size < entries_.size()) {
      arena_.resize(entries_[size].key_off);
      entries_.resize(size);
    }
  }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }

  // The cursor: the index of the current entry; size() when past the last.
  size_t pos() const { return pos_; }
  void set_pos(size_t pos) { pos_ = pos; }
  bool AtRecord() const { return pos_ < entries_.size(); }
  void Advance() { pos_++; }

  std::string_view Key(size_t i) const {
    return std::string_view(arena_.data() + entries_[i].key_off, entries_[i].key_size);
  }
  std::string_view Value(size_t i) const {
    return std::string_view(arena_.data() + entries_[i].value_off, entries_[i].value_size);
  }
  uint64_t Aux(size_t i) const { return entries_[i].aux; }
  std::string_view LastKey() const { return Key(entries_.size() - 1); }
  uint64_t LastAux() const { return entries_.back().aux; }

  // Replaces the value of entry |i|, after a write through the iterator, so
  // that what it hands out next is what was written.
  void SetValue(size_t i, std::string_view value) {
    if (value.size() <= entries_[i].value_size) {
      arena_.replace(entries_[i].value_off, value.size(), value.data(), value.size());
    } else {
      entries_[i].value_off = arena_.size();
      arena_.append(value.data(), value.size());
    }
    entries_[i].value_size = value.size();
  }

 private:
  struct Entry {
    size_t key_off;
    size_t key_size;
    size_t value_off;
    size_t value_size;
    uint64_t aux;
  };
  std::string arena_;
  std::vector<Entry> entries_;
  size_t pos_ = 0;
};

}  // namespace morvel

#endif  // MORVEL_RECORD_BATCH_H_
