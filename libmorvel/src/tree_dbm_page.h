// TreeDBM's pages in memory and their encoding in the inner database. Private
// to the engine sources.
//
// Records of the inner database (numbers big-endian, varints LEB128):
//   "MorvTDB" (7 bytes, so never a page id): the metadata record
//     "MTDB", version (1), clean flag (1), root id (8), next page id (8),
//     number of records (8), write sequence (8), tree level (8), number of
//     leaf pages (8), number of inner pages (8), comparator name (varint size,
//     bytes).
//   page id (8 bytes, ids from 1): a page
//     leaf:  type 1, write sequence (8), previous leaf (8), next leaf (8),
//            record count (varint), then per record key size, value size
//            (varints), key, value.
//     inner: type 2, key count (varint), first child (8), then per key its
//            size (varint), the key, the child right of it (8).

#ifndef MORVEL_TREE_DBM_PAGE_H_
#define MORVEL_TREE_DBM_PAGE_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "morvel/key_comparators.h"
#include "morvel/status.h"

namespace morvel {
namespace treedbm {

constexpr std::string_view kMetaKey = "MorvTDB";
// A tree deeper than this is a damaged file (max_branches >= 3 keeps real
// trees far shallower).
constexpr int kMaxDepth = 64;
// Estimated bytes of a page's header and of the sizes of one entry.
constexpr size_t kPageHeaderBytes = 32;
constexpr size_t kEntryOverhead = 4;
constexpr size_t kChildIdBytes = 8;

inline size_t RecordBytes(std::string_view key, std::string_view value) {
  return key.size() + value.size() + kEntryOverhead;
}

inline size_t SeparatorBytes(std::string_view key) {
  return key.size() + kEntryOverhead + kChildIdBytes;
}

// Byte order of keys, as LexicalKeyComparator, inlined: most trees use it and
// a descent compares a key a few dozen times.
inline int CompareLexical(std::string_view a, std::string_view b) {
  const size_t size = std::min(a.size(), b.size());
  size_t pos = 0;
  if (size >= 8) {
    uint64_t x = 0, y = 0;
    std::memcpy(&x, a.data(), 8);
    std::memcpy(&y, b.data(), 8);
    if (x != y) {
      x = __builtin_bswap64(x);
      y = __builtin_bswap64(y);
      return x < y ? -1 : 1;
    }
    pos = 8;
  }
  const int cmp = size > pos ? std::memcmp(a.data() + pos, b.data() + pos, size - pos) : 0;
  if (cmp != 0) {
    return cmp < 0 ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The first 8 bytes of |key|, zero-padded, as a big-endian number: when the
// heads of two keys differ, they order the keys as the lexical order does.
inline uint64_t KeyHead(std::string_view key) {
  uint64_t head = 0;
  if (key.size() >= 8) {
    std::memcpy(&head, key.data(), 8);
  } else if (!key.empty()) {
    std::memcpy(&head, key.data(), key.size());
  }
  return __builtin_bswap64(head);
}

// The order of a tree: its key comparator, with the lexical one inlined.
class KeyOrder final {
 public:
  KeyOrder() = default;
  explicit KeyOrder(KeyComparator comp) { Set(comp); }
  void Set(KeyComparator comp) {
    comp_ = comp;
    lexical_ = comp == LexicalKeyComparator;
  }
  KeyComparator comparator() const { return comp_; }
  bool lexical() const { return lexical_; }
  int operator()(std::string_view a, std::string_view b) const {
    return lexical_ ? CompareLexical(a, b) : comp_(a, b);
  }

 private:
  KeyComparator comp_ = LexicalKeyComparator;
  bool lexical_ = true;
};

struct Page : std::enable_shared_from_this<Page> {
  Page(int64_t page_id, bool leaf) : id(page_id), is_leaf(leaf) {}
  virtual ~Page() = default;
  const int64_t id;
  const bool is_leaf;
  // Set by writers only (they hold the tree lock exclusively); the list links
  // belong to the cache and are guarded by its mutex.
  bool dirty = false;
  bool in_lru = false;
  bool referenced = false;
  Page* lru_prev = nullptr;
  Page* lru_next = nullptr;
};

// A leaf's records in key order. Each slot points into one arena that holds
// the record's key and value side by side, so that an insertion moves small
// plain slots instead of strings, and a page read from the file becomes a leaf
// with one buffer and no allocation per record. Erased and replaced records
// leave garbage in the arena, compacted once it outweighs the live bytes.
struct LeafPage final : Page {
  struct Slot {
    size_t off;
    size_t key_size;
    size_t value_size;
  };

  explicit LeafPage(int64_t page_id) : Page(page_id, true) {}

  size_t size() const { return slots.size(); }
  bool empty() const { return slots.empty(); }
  std::string_view Key(size_t i) const {
    return std::string_view(arena.data() + slots[i].off, slots[i].key_size);
  }
  std::string_view Value(size_t i) const {
    const Slot& slot = slots[i];
    return std::string_view(arena.data() + slot.off + slot.key_size, slot.value_size);
  }

  void Insert(size_t i, std::string_view key, std::string_view value) {
    if (InArena(key) || InArena(value)) {
      // Appending may move the arena under a view into it.
      const std::string copy = std::string(key) + std::string(value);
      Insert(i, std::string_view(copy).substr(0, key.size()),
             std::string_view(copy).substr(key.size()));
      return;
    }
    const Slot slot{arena.size(), key.size(), value.size()};
    arena.append(key.data(), key.size());
    arena.append(value.data(), value.size());
    slots.insert(slots.begin() + i, slot);
    heads.insert(heads.begin() + i, KeyHead(key));
    bytes += RecordBytes(key, value);
  }
  void Append(std::string_view key, std::string_view value) { Insert(slots.size(), key, value); }

  void Erase(size_t i) {
    const Slot& slot = slots[i];
    garbage += slot.key_size + slot.value_size;
    bytes -= slot.key_size + slot.value_size + kEntryOverhead;
    slots.erase(slots.begin() + i);
    heads.erase(heads.begin() + i);
    MaybeCompact();
  }

  // |value| may point into the arena (at the old value, say).
  void SetValue(size_t i, std::string_view value) {
    Slot& slot = slots[i];
    bytes = bytes - slot.value_size + value.size();
    char* old_value = arena.data() + slot.off + slot.key_size;
    if (value.size() <= slot.value_size && !InArena(value)) {
      std::memcpy(old_value, value.data(), value.size());
      garbage += slot.value_size - value.size();
      slot.value_size = value.size();
    } else if (value.size() <= slot.value_size) {
      std::memmove(old_value, value.data(), value.size());
      garbage += slot.value_size - value.size();
      slot.value_size = value.size();
    } else {
      std::string rec;
      rec.reserve(slot.key_size + value.size());
      rec.append(arena.data() + slot.off, slot.key_size);
      rec.append(value.data(), value.size());
      garbage += slot.key_size + slot.value_size;
      slot.off = arena.size();
      slot.value_size = value.size();
      arena.append(rec);
    }
    MaybeCompact();
  }

  // Moves the records from |from| on to the end of |dest|.
  void MoveTailTo(size_t from, LeafPage* dest) {
    for (size_t i = from; i < slots.size(); i++) {
      dest->Append(Key(i), Value(i));
    }
    slots.resize(from);
    heads.resize(from);
    Compact();
  }

  void Clear() {
    slots.clear();
    heads.clear();
    arena.clear();
    garbage = 0;
    bytes = kPageHeaderBytes;
  }

  // Rewrites the arena with the live records only, in order.
  void Compact() {
    std::string fresh;
    size_t live = 0;
    for (const Slot& slot : slots) {
      live += slot.key_size + slot.value_size;
    }
    fresh.reserve(live);
    bytes = kPageHeaderBytes;
    for (Slot& slot : slots) {
      const size_t off = fresh.size();
      fresh.append(arena.data() + slot.off, slot.key_size + slot.value_size);
      slot.off = off;
      bytes += slot.key_size + slot.value_size + kEntryOverhead;
    }
    arena.swap(fresh);
    garbage = 0;
  }

  std::vector<Slot> slots;
  // KeyHead of each key, apart from the slots so that a search in a lexical
  // tree reads a small dense array and the keys themselves only when the
  // heads are equal.
  std::vector<uint64_t> heads;
  std::string arena;
  size_t garbage = 0;
  int64_t prev = 0;
  int64_t next = 0;
  // The estimated encoded size.
  size_t bytes = kPageHeaderBytes;

 private:
  bool InArena(std::string_view view) const {
    return !view.empty() && view.data() >= arena.data() &&
           view.data() < arena.data() + arena.size();
  }

  void MaybeCompact() {
    if (garbage > 4096 && garbage * 2 > arena.size()) {
      Compact();
    }
  }
};

struct InnerPage final : Page {
  explicit InnerPage(int64_t page_id) : Page(page_id, false) {}
  std::vector<std::string> keys;
  // KeyHead of each key, as in a leaf; kept with |keys| by every change.
  std::vector<uint64_t> heads;
  std::vector<int64_t> children;
  size_t bytes = kPageHeaderBytes + kChildIdBytes;

  // Recomputes the size and the heads after the keys changed.
  void RecountBytes() {
    bytes = kPageHeaderBytes + kChildIdBytes;
    heads.clear();
    heads.reserve(keys.size());
    for (const auto& key : keys) {
      bytes += SeparatorBytes(key);
      heads.push_back(KeyHead(key));
    }
  }
};

using PagePtr = std::shared_ptr<Page>;
using LeafPtr = std::shared_ptr<LeafPage>;
using InnerPtr = std::shared_ptr<InnerPage>;

std::string PageKey(int64_t id);

// Encodes a leaf stamped with the write sequence |seq|.
std::string EncodeLeaf(const LeafPage& leaf, uint64_t seq);
std::string EncodeInner(const InnerPage& inner);

Status BrokenPage(int64_t id, const char* what);

// Decodes the page |id| from |data|, which it takes over; |max_id| bounds
// every id it names. |seq| gets a leaf's write sequence if not null. A
// damaged page is BROKEN_DATA_ERROR.
Status DecodePage(int64_t id, std::string&& data, int64_t max_id, PagePtr* page, uint64_t* seq);

// The tree's state kept in the metadata record.
struct Meta {
  bool clean = true;
  int64_t root_id = 0;
  int64_t next_id = 1;
  int64_t num_records = 0;
  uint64_t seq = 0;
  int64_t level = 1;
  int64_t num_leaves = 0;
  int64_t num_inners = 0;
  std::string comparator;
};

std::string EncodeMeta(const Meta& meta);
// False when |data| is not a sound metadata record.
bool DecodeMeta(std::string_view data, Meta* meta);

}  // namespace treedbm
}  // namespace morvel

#endif  // MORVEL_TREE_DBM_PAGE_H_
