// The records of one BabyDBM leaf, packed in one buffer. Private to the
// engine sources; not thread-safe (the tree's lock guards it).
//
// Each record is its key size and value size as varints, then the key and
// the value bytes; a record whose key and value together exceed kMaxInline
// keeps them in a block of its own and the buffer holds a pointer to it, so
// that the buffer stays small enough for 32-bit offsets and splits never copy
// large values. |offs_| holds, for each record in key order, its buffer
// offset and its key prefix (the first four bytes, big-endian, zero-padded),
// so that a search under the byte order mostly decides on the slots alone
// and reads the buffer only near the match.
// Removing or rewriting a record leaves its old bytes as garbage, reclaimed
// by compacting the buffer when it would otherwise grow.

#ifndef MORVEL_BABY_DBM_LEAF_H_
#define MORVEL_BABY_DBM_LEAF_H_

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace morvel {

// A key and a value as stored; valid until the leaf is next changed.
struct LeafRecord {
  std::string_view key;
  std::string_view value;
};

class PackedLeaf {
 public:
  static constexpr size_t kMaxInline = 4096;
  // The most records a leaf holds outside of an insert that splits it.
  static constexpr size_t kMaxRecords = 256;

  PackedLeaf() = default;
  ~PackedLeaf() {
    for (size_t i = 0; i < count_; i++) {
      FreeBlockAt(offs_[i].off);
    }
    std::free(buf_);
  }
  PackedLeaf(const PackedLeaf&) = delete;
  PackedLeaf& operator=(const PackedLeaf&) = delete;

  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  LeafRecord Get(size_t i) const { return Decode(offs_[i].off); }
  std::string_view Key(size_t i) const { return Decode(offs_[i].off).key; }
  uint32_t Prefix(size_t i) const { return offs_[i].prefix; }

  // Starts loading every slot at once, so that the misses of a binary search
  // over them overlap instead of following one another.
  void PrefetchSlots() const {
    const char* begin = reinterpret_cast<const char*>(offs_);
    const char* end = begin + count_ * sizeof(Slot);
    for (const char* p = begin; p < end; p += 64) {
      __builtin_prefetch(p);
    }
  }

  // The first four bytes of |key| as a big-endian number, zero-padded: keys
  // whose prefixes differ compare as their prefixes under the byte order.
  static uint32_t KeyPrefix(std::string_view key) {
    unsigned char bytes[4] = {0, 0, 0, 0};
    std::memcpy(bytes, key.data(), key.size() < 4 ? key.size() : 4);
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
           uint32_t{bytes[3]};
  }

  // Inserts a record before position |i|. Throws std::bad_alloc.
  void Insert(size_t i, std::string_view key, std::string_view value) {
    if (Overlaps(key) || Overlaps(value)) {
      const std::string key_copy(key), value_copy(value);
      Insert(i, key_copy, value_copy);
      return;
    }
    if (count_ > kMaxRecords) {
      std::abort();  // Unreachable: the tree splits a leaf as it overflows.
    }
    const uint32_t off = Append(key, value);
    std::memmove(offs_ + i + 1, offs_ + i, (count_ - i) * sizeof(Slot));
    offs_[i] = Slot{off, KeyPrefix(key)};
    count_++;
  }

  // Replaces the value of record |i|. Throws std::bad_alloc, leaving the
  // record as it was.
  void SetValue(size_t i, std::string_view value) {
    const LeafRecord rec = Get(i);
    if (value.size() == rec.value.size() && !IsBlockSize(rec.key.size() + rec.value.size())) {
      std::memmove(const_cast<char*>(rec.value.data()), value.data(), value.size());
      return;
    }
    if (Overlaps(value) || Overlaps(rec.key)) {
      const std::string key_copy(rec.key), value_copy(value);
      SetValue(i, key_copy, value_copy);
      return;
    }
    SetValue(i, rec.key, value);
  }

  void Erase(size_t i) {
    garbage_ += RecordBytes(offs_[i].off);
    FreeBlockAt(offs_[i].off);
    std::memmove(offs_ + i, offs_ + i + 1, (count_ - i - 1) * sizeof(Slot));
    count_--;
  }

  // Moves the records from position |from| on to the end of |dest|, which
  // must have room for them. Throws std::bad_alloc with both leaves as they
  // were.
  void MoveTailTo(size_t from, PackedLeaf* dest) {
    if (dest->count_ + (count_ - from) > kMaxRecords + 1) {
      std::abort();  // Unreachable: merges and splits stay within a leaf.
    }
    size_t bytes = 0;
    for (size_t i = from; i < count_; i++) {
      bytes += RecordBytes(offs_[i].off);
    }
    dest->MakeRoom(bytes);
    for (size_t i = from; i < count_; i++) {
      const uint32_t n = RecordBytes(offs_[i].off);
      std::memcpy(dest->buf_ + dest->size_, buf_ + offs_[i].off, n);
      dest->offs_[dest->count_++] = Slot{dest->size_, offs_[i].prefix};
      dest->size_ += n;
      garbage_ += n;
    }
    count_ = static_cast<uint32_t>(from);
  }

  // Drops the garbage and the spare room, as after a split. Throws
  // std::bad_alloc with the leaf as it was.
  void ShrinkToFit() {
    const size_t live = size_ - garbage_;
    Rebuild(live + live / 8 + 16);
  }

 private:
  static bool IsBlockSize(size_t key_value_size) { return key_value_size > kMaxInline; }

  static size_t PutVarint(char* p, uint64_t v) {
    size_t n = 0;
    while (v >= 0x80) {
      p[n++] = static_cast<char>(v | 0x80);
      v >>= 7;
    }
    p[n++] = static_cast<char>(v);
    return n;
  }
  static const char* GetVarint(const char* p, uint64_t* v) {
    uint64_t result = 0;
    for (int shift = 0;; shift += 7) {
      const uint8_t byte = static_cast<uint8_t>(*p++);
      result |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if (byte < 0x80) {
        break;
      }
    }
    *v = result;
    return p;
  }

  // The sizes and where the key bytes are, for the record at |off|.
  const char* DecodeHead(uint32_t off, uint64_t* key_size, uint64_t* value_size,
                         const char** body) const {
    const char* p = GetVarint(buf_ + off, key_size);
    p = GetVarint(p, value_size);
    if (IsBlockSize(*key_size + *value_size)) {
      std::memcpy(body, p, sizeof(*body));
      return p + sizeof(*body);
    }
    *body = p;
    return p + *key_size + *value_size;
  }

  LeafRecord Decode(uint32_t off) const {
    const char* p = buf_ + off;
    // Most records are small: both sizes in one byte each.
    const uint8_t ks = static_cast<uint8_t>(p[0]);
    if (ks < 0x80) {
      const uint8_t vs = static_cast<uint8_t>(p[1]);
      if (vs < 0x80) {
        return {std::string_view(p + 2, ks), std::string_view(p + 2 + ks, vs)};
      }
    }
    uint64_t key_size = 0, value_size = 0;
    const char* body = nullptr;
    DecodeHead(off, &key_size, &value_size, &body);
    return {std::string_view(body, key_size), std::string_view(body + key_size, value_size)};
  }

  uint32_t RecordBytes(uint32_t off) const {
    uint64_t key_size = 0, value_size = 0;
    const char* body = nullptr;
    return static_cast<uint32_t>(DecodeHead(off, &key_size, &value_size, &body) - (buf_ + off));
  }

  void FreeBlockAt(uint32_t off) {
    uint64_t key_size = 0, value_size = 0;
    const char* body = nullptr;
    DecodeHead(off, &key_size, &value_size, &body);
    if (IsBlockSize(key_size + value_size)) {
      std::free(const_cast<char*>(body));
    }
  }

  bool Overlaps(std::string_view data) const {
    return buf_ != nullptr && data.data() >= buf_ && data.data() < buf_ + cap_;
  }

  // Ensures |bytes| more fit after the live records, compacting the buffer
  // when garbage would otherwise make it grow. Throws std::bad_alloc.
  void MakeRoom(size_t bytes) {
    if (size_ + bytes <= cap_) {
      return;
    }
    const size_t live = size_ - garbage_;
    size_t new_cap = live + bytes;
    new_cap += new_cap / 4 + 16;
    if (garbage_ == 0 && new_cap < cap_ + cap_ / 2) {
      new_cap = cap_ + cap_ / 2;
    }
    Rebuild(new_cap);
  }

  // Copies the live records into a new buffer of |new_cap| bytes.
  void Rebuild(size_t new_cap) {
    if (new_cap > UINT32_MAX) {
      throw std::bad_alloc();
    }
    char* new_buf = static_cast<char*>(std::malloc(new_cap));
    if (new_buf == nullptr) {
      throw std::bad_alloc();
    }
    uint32_t new_size = 0;
    for (size_t i = 0; i < count_; i++) {
      uint32_t& off = offs_[i].off;
      const uint32_t n = RecordBytes(off);
      std::memcpy(new_buf + new_size, buf_ + off, n);
      off = new_size;
      new_size += n;
    }
    std::free(buf_);
    buf_ = new_buf;
    cap_ = static_cast<uint32_t>(new_cap);
    size_ = new_size;
    garbage_ = 0;
  }

  // Writes a record after the others and gives its offset. Throws
  // std::bad_alloc with the leaf as it was.
  uint32_t Append(std::string_view key, std::string_view value) {
    const bool block = IsBlockSize(key.size() + value.size());
    char* body = nullptr;
    if (block) {
      body = static_cast<char*>(std::malloc(key.size() + value.size()));
      if (body == nullptr) {
        throw std::bad_alloc();
      }
    }
    const size_t bytes = 20 + (block ? sizeof(body) : key.size() + value.size());
    try {
      MakeRoom(bytes);
    } catch (...) {
      std::free(body);
      throw;
    }
    const uint32_t off = size_;
    char* p = buf_ + off;
    p += PutVarint(p, key.size());
    p += PutVarint(p, value.size());
    if (block) {
      std::memcpy(p, &body, sizeof(body));
      p += sizeof(body);
    } else {
      body = p;
      p += key.size() + value.size();
    }
    if (!key.empty()) {
      std::memcpy(body, key.data(), key.size());
    }
    if (!value.empty()) {
      std::memcpy(body + key.size(), value.data(), value.size());
    }
    size_ = static_cast<uint32_t>(p - buf_);
    return off;
  }

  // Rewrites record |i| as |key| and |value|, neither in the buffer.
  void SetValue(size_t i, std::string_view key, std::string_view value) {
    const uint32_t old_off = offs_[i].off;
    const uint32_t old_bytes = RecordBytes(old_off);
    // The old block is freed only once the new record is written, so a
    // failure leaves the record whole. Compaction inside Append keeps the
    // record and updates offs_[i].
    uint64_t key_size = 0, value_size = 0;
    const char* old_body = nullptr;
    DecodeHead(old_off, &key_size, &value_size, &old_body);
    const bool old_block = IsBlockSize(key_size + value_size);
    const uint32_t off = Append(key, value);
    offs_[i].off = off;
    garbage_ += old_bytes;
    if (old_block) {
      std::free(const_cast<char*>(old_body));
    }
  }

  char* buf_ = nullptr;
  uint32_t size_ = 0;
  uint32_t cap_ = 0;
  uint32_t garbage_ = 0;
  struct Slot {
    uint32_t off;
    uint32_t prefix;
  };
  // Kept in the leaf itself, so that reaching the leaf brings its slots.
  uint32_t count_ = 0;
  Slot offs_[kMaxRecords + 1];
};

}  // namespace morvel

#endif  // MORVEL_BABY_DBM_LEAF_H_
