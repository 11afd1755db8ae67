// BabyDBM: an in-memory B+ tree ordered by a key comparator.
//
// Leaves hold up to kMaxLeafRecords records in key order, packed in one
// buffer per leaf (baby_dbm_leaf.h), and are linked both ways; inner nodes
// hold up to kMaxInnerKeys separator keys, where keys[i] is the smallest key
// under children[i + 1]. Inserting splits a full node in halves and pushes the
// separator up, except that a leaf overflowing at the right end of the tree
// keeps all but the new record, so that records added in key order (loading a
// file, Rebuild) fill whole leaves; removing merges a leaf that fell under a
// quarter into its right sibling when both fit in one, drops empty leaves,
// merges an inner node that fell under a quarter with a sibling when both fit,
// and collapses a root with a single child. Every leaf stays at one depth.
//
// One reader-writer lock (Impl::mutex) guards the tree, the flags and the file:
// readers share it, writers and whole-database operations hold it exclusively.
// Iterators read records ahead in key order, a batch under one hold of the
// lock, and keep the keys: reads and writes at the cursor find the key again
// under the lock, a removed current key resolves to the next greater key, and
// the next batch starts after the last key read. Step hands out records from
// the batch as they were when it was read.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "baby_dbm_leaf.h"
#include "mem_dbm_internal.h"
#include "record_batch.h"
#include "param_check.h"
#include "morvel/mem_dbm.h"

namespace morvel {

namespace {

constexpr size_t kMaxLeafRecords = PackedLeaf::kMaxRecords;
constexpr size_t kMaxInnerKeys = 128;
// How much of a node a descent fetches at once: an inner node's prefixes.
constexpr size_t kNodePrefetchBytes = 640;

// The separator keys of an inner node, with the prefix of each kept in the
// node itself (as a leaf keeps its slots), so that a descent under the byte
// order mostly decides on the prefixes without reading the keys.
class InnerKeys final {
 public:
  size_t size() const { return keys_.size(); }
  bool empty() const { return keys_.empty(); }
  const std::string& operator[](size_t i) const { return keys_[i]; }
  uint32_t Prefix(size_t i) const { return prefixes_[i]; }

  void Insert(size_t i, std::string key) {
    if (keys_.size() > kMaxInnerKeys) {
      std::abort();  // Unreachable: the tree splits a node as it overflows.
    }
    const uint32_t prefix = PackedLeaf::KeyPrefix(key);
    keys_.insert(keys_.begin() + i, std::move(key));
    std::memmove(prefixes_ + i + 1, prefixes_ + i, (keys_.size() - 1 - i) * sizeof(uint32_t));
    prefixes_[i] = prefix;
  }
  void PushBack(std::string key) { Insert(keys_.size(), std::move(key)); }
  void Erase(size_t i) {
    keys_.erase(keys_.begin() + i);
    std::memmove(prefixes_ + i, prefixes_ + i + 1, (keys_.size() - i) * sizeof(uint32_t));
  }
  // Moves key |i| out; the caller drops its place afterwards.
  std::string Take(size_t i) { return std::move(keys_[i]); }
  // Moves the keys from |from| on to the end of |dest|.
  void MoveTailTo(size_t from, InnerKeys* dest) {
    for (size_t i = from; i < keys_.size(); i++) {
      dest->PushBack(std::move(keys_[i]));
    }
    keys_.resize(from);
  }
  void Truncate(size_t size) { keys_.resize(size); }

 private:
  std::vector<std::string> keys_;
  uint32_t prefixes_[kMaxInnerKeys + 2];
};

struct Node {
  explicit Node(bool leaf) : is_leaf(leaf) {}
  virtual ~Node() = default;
  bool is_leaf;
};

struct Leaf final : Node {
  Leaf() : Node(true) {}
  PackedLeaf records;
  Leaf* prev = nullptr;
  Leaf* next = nullptr;
};

struct Inner final : Node {
  Inner() : Node(false) {}
  ~Inner() override {
    for (Node* child : children) {
      delete child;
    }
  }
  InnerKeys keys;
  std::vector<Node*> children;
};

// One step of a descent: the inner node and the index of the child taken.
struct PathStep {
  Inner* node;
  size_t index;
};

// The inner steps from the root to a leaf, kept on the stack so that record
// operations allocate nothing for it. A new level needs the level below to
// have been split 64 times over, so the height stays far below the capacity.
class TreePath final {
 public:
  void push_back(const PathStep& step) {
    if (size_ == kCapacity) {
      std::abort();  // Unreachable: see the bound above.
    }
    steps_[size_++] = step;
  }
  void pop_back() { size_--; }
  PathStep& back() { return steps_[size_ - 1]; }
  bool empty() const { return size_ == 0; }

 private:
  static constexpr size_t kCapacity = 64;
  PathStep steps_[kCapacity];
  size_t size_ = 0;
};

Leaf* FirstLeafOf(Node* node) {
  while (!node->is_leaf) {
    node = static_cast<Inner*>(node)->children.front();
  }
  return static_cast<Leaf*>(node);
}

// Holds the lock shared for readers and exclusively for writers.
class TreeLock final {
 public:
  TreeLock(std::shared_mutex* mutex, bool exclusive) : mutex_(mutex), exclusive_(exclusive) {
    if (exclusive_) {
      mutex_->lock();
    } else {
      mutex_->lock_shared();
    }
  }
  ~TreeLock() {
    if (exclusive_) {
      mutex_->unlock();
    } else {
      mutex_->unlock_shared();
    }
  }
  TreeLock(const TreeLock&) = delete;
  TreeLock& operator=(const TreeLock&) = delete;

 private:
  std::shared_mutex* mutex_;
  bool exclusive_;
};

}  // namespace

struct BabyDBM::Impl {
  explicit Impl(KeyComparator comp) : comparator(comp), init_comparator(comp) {}
  ~Impl() { delete root; }

  // Guards everything below.
  std::shared_mutex mutex;
  KeyComparator comparator;
  KeyComparator init_comparator;
  Node* root = nullptr;
  int64_t num_records = 0;
  bool open = false;
  bool writable = false;
  MemoryDBMFile file;

  void ResetTree() {
    delete root;
    root = new Leaf();
    num_records = 0;
  }

  // The comparator, with the default one inlined.
  int Compare(std::string_view a, std::string_view b) const {
    if (comparator == LexicalKeyComparator) {
      return a.compare(b);
    }
    return comparator(a, b);
  }

  // Index of the child of |inner| that may hold |key|.
  size_t ChildIndex(const Inner* inner, std::string_view key) const {
    const InnerKeys& keys = inner->keys;
    const bool lexical = comparator == LexicalKeyComparator;
    const uint32_t prefix = PackedLeaf::KeyPrefix(key);
    size_t low = 0, high = keys.size();
    while (low < high) {
      const size_t mid = (low + high) / 2;
      int cmp = 0;
      if (lexical && keys.Prefix(mid) != prefix) {
        cmp = prefix < keys.Prefix(mid) ? -1 : 1;
      } else {
        cmp = Compare(key, keys[mid]);
      }
      if (cmp < 0) {
        high = mid;
      } else {
        low = mid + 1;
      }
    }
    return low;
  }

  // The leaf that may hold |key|; fills |path| with the inner steps if given.
  Leaf* FindLeaf(std::string_view key, TreePath* path) const {
    Node* node = root;
    while (!node->is_leaf) {
      Inner* inner = static_cast<Inner*>(node);
      const size_t index = ChildIndex(inner, key);
      if (path != nullptr) {
        path->push_back({inner, index});
      }
      node = inner->children[index];
      // A node keeps its slots or prefixes in itself: loading all of its
      // lines at once lets their misses overlap.
      const char* bytes = reinterpret_cast<const char*>(node);
      for (size_t off = 0; off < std::min<size_t>(sizeof(Leaf), kNodePrefetchBytes); off += 64) {
        __builtin_prefetch(bytes + off);
      }
    }
    return static_cast<Leaf*>(node);
  }

  // The first index in |leaf| whose key is >= |key| (> when |strict|).
  size_t LowerIndex(const Leaf* leaf, std::string_view key, bool strict) const {
    const PackedLeaf& recs = leaf->records;
    size_t low = 0, high = recs.size();
    const bool lexical = comparator == LexicalKeyComparator;
    const uint32_t prefix = PackedLeaf::KeyPrefix(key);
    recs.PrefetchSlots();
    while (low < high) {
      const size_t mid = (low + high) / 2;
      int cmp = 0;
      if (lexical && recs.Prefix(mid) != prefix) {
        cmp = recs.Prefix(mid) < prefix ? -1 : 1;
      } else {
        cmp = Compare(recs.Key(mid), key);
      }
      if (strict ? cmp <= 0 : cmp < 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    return low;
  }

  Leaf* FirstLeaf() const { return FirstLeafOf(root); }

  Leaf* LastLeaf() const {
    Node* node = root;
    while (!node->is_leaf) {
      node = static_cast<Inner*>(node)->children.back();
    }
    return static_cast<Leaf*>(node);
  }

  // The first record with a key >= |key| (> when |strict|); false if none.
  bool FindUpper(std::string_view key, bool strict, LeafRecord* rec) const {
    const Leaf* leaf = FindLeaf(key, nullptr);
    size_t index = LowerIndex(leaf, key, strict);
    while (leaf != nullptr && index >= leaf->records.size()) {
      leaf = leaf->next;
      index = 0;
    }
    if (leaf == nullptr) {
      return false;
    }
    *rec = leaf->records.Get(index);
    return true;
  }

  // The last record with a key < |key| (<= when |inclusive|); false if none.
  bool FindLower(std::string_view key, bool inclusive, LeafRecord* rec) const {
    const Leaf* leaf = FindLeaf(key, nullptr);
    size_t index = LowerIndex(leaf, key, inclusive);
    while (leaf != nullptr && index == 0) {
      leaf = leaf->prev;
      index = leaf == nullptr ? 0 : leaf->records.size();
    }
    if (leaf == nullptr) {
      return false;
    }
    *rec = leaf->records.Get(index - 1);
    return true;
  }

  bool FirstRecord(LeafRecord* rec) const {
    for (const Leaf* leaf = FirstLeaf(); leaf != nullptr; leaf = leaf->next) {
      if (!leaf->records.empty()) {
        *rec = leaf->records.Get(0);
        return true;
      }
    }
    return false;
  }

  bool LastRecord(LeafRecord* rec) const {
    for (const Leaf* leaf = LastLeaf(); leaf != nullptr; leaf = leaf->prev) {
      if (!leaf->records.empty()) {
        *rec = leaf->records.Get(leaf->records.size() - 1);
        return true;
      }
    }
    return false;
  }

  // Inserts |child| with separator |sep| right after position |index| of the
  // inner node at the end of |path|, splitting upwards as needed.
  void InsertIntoParent(TreePath* path, Node* left, std::string sep, Node* child) {
    while (true) {
      if (path->empty()) {
        auto* new_root = new Inner();
        new_root->keys.PushBack(std::move(sep));
        new_root->children.push_back(left);
        new_root->children.push_back(child);
        root = new_root;
        return;
      }
      const PathStep step = path->back();
      path->pop_back();
      Inner* inner = step.node;
      inner->keys.Insert(step.index, std::move(sep));
      inner->children.insert(inner->children.begin() + step.index + 1, child);
      if (inner->keys.size() <= kMaxInnerKeys) {
        return;
      }
      const size_t mid = inner->keys.size() / 2;
      auto* right = new Inner();
      sep = inner->keys.Take(mid);
      inner->keys.MoveTailTo(mid + 1, &right->keys);
      right->children.assign(inner->children.begin() + mid + 1, inner->children.end());
      inner->keys.Truncate(mid);
      inner->children.resize(mid + 1);
      left = inner;
      child = right;
    }
  }

  void InsertAt(Leaf* leaf, size_t index, TreePath* path, std::string_view key,
                std::string_view value) {
    leaf->records.Insert(index, key, value);
    num_records++;
    if (leaf->records.size() <= kMaxLeafRecords) {
      return;
    }
    // A split that fails for memory undoes the insert, so the tree keeps its
    // shape and the caller reports the failure.
    const bool at_right_end = leaf->next == nullptr && index + 1 == leaf->records.size();
    const size_t mid = at_right_end ? index : leaf->records.size() / 2;
    auto right_owner = std::make_unique<Leaf>();
    Leaf* right = right_owner.get();
    try {
      std::string sep(leaf->records.Key(mid));
      // Moves nothing when it throws.
      leaf->records.MoveTailTo(mid, &right->records);
      SplitDone(leaf, right_owner.release(), std::move(sep), path);
    } catch (const std::bad_alloc&) {
      if (right->records.empty()) {
        leaf->records.Erase(index);
        num_records--;
      }
      throw;
    }
  }

  // Links |right|, which took the upper records of |leaf|, after it and in
  // the parent under |sep|.
  void SplitDone(Leaf* leaf, Leaf* right, std::string sep, TreePath* path) {
    try {
      leaf->records.ShrinkToFit();
    } catch (const std::bad_alloc&) {
      // Only spare room is kept.
    }
    right->next = leaf->next;
    right->prev = leaf;
    if (leaf->next != nullptr) {
      leaf->next->prev = right;
    }
    leaf->next = right;
    InsertIntoParent(path, leaf, std::move(sep), right);
  }

  // Unlinks and deletes the node at the end of |path| (its parent's child at
  // step.index), removing parents that become empty.
  void RemoveChild(TreePath* path) {
    while (!path->empty()) {
      const PathStep step = path->back();
      path->pop_back();
      Inner* inner = step.node;
      Node* child = inner->children[step.index];
      if (child->is_leaf) {
        Leaf* leaf = static_cast<Leaf*>(child);
        if (leaf->prev != nullptr) {
          leaf->prev->next = leaf->next;
        }
        if (leaf->next != nullptr) {
          leaf->next->prev = leaf->prev;
        }
      } else {
        static_cast<Inner*>(child)->children.clear();
      }
      delete child;
      inner->children.erase(inner->children.begin() + step.index);
      if (!inner->keys.empty()) {
        inner->keys.Erase(step.index > 0 ? step.index - 1 : 0);
      }
      if (!inner->children.empty() || inner == root) {
        if (inner != root) {
          MergeInner(inner, path);
        }
        break;
      }
    }
    // A root with one child is replaced by that child.
    while (!root->is_leaf && static_cast<Inner*>(root)->children.size() == 1) {
      Inner* old_root = static_cast<Inner*>(root);
      root = old_root->children.front();
      old_root->children.clear();
      delete old_root;
    }
    if (!root->is_leaf && static_cast<Inner*>(root)->children.empty()) {
      delete root;
      root = new Leaf();
    }
  }

  // Merges |node|, an inner node that lost a child, with a sibling when it fell
  // under a quarter and both fit in one node; goes on upwards. |path| holds the
  // steps above |node|. All nodes of one level are of one kind, since every
  // leaf is at the same depth.
  void MergeInner(Inner* node, TreePath* path) {
    while (!path->empty() && node->children.size() < kMaxInnerKeys / 4) {
      Inner* parent = path->back().node;
      const size_t index = path->back().index;
      size_t left_index = 0;
      if (index + 1 < parent->children.size()) {
        left_index = index;
      } else if (index > 0) {
        left_index = index - 1;
      } else {
        return;
      }
      Inner* left = static_cast<Inner*>(parent->children[left_index]);
      Inner* right = static_cast<Inner*>(parent->children[left_index + 1]);
      if (left->children.size() + right->children.size() > kMaxInnerKeys + 1) {
        return;
      }
      left->keys.PushBack(parent->keys.Take(left_index));
      right->keys.MoveTailTo(0, &left->keys);
      left->children.insert(left->children.end(), right->children.begin(),
                            right->children.end());
      right->children.clear();
      delete right;
      parent->keys.Erase(left_index);
      parent->children.erase(parent->children.begin() + left_index + 1);
      path->pop_back();
      node = parent;
    }
  }

  void RemoveAt(Leaf* leaf, size_t index, TreePath* path) {
    leaf->records.Erase(index);
    num_records--;
    if (path->empty()) {
      return;
    }
    if (leaf->records.empty()) {
      RemoveChild(path);
      return;
    }
    if (leaf->records.size() >= kMaxLeafRecords / 4) {
      return;
    }
    // Merges the right sibling under the same parent into this leaf when both fit.
    PathStep step = path->back();
    if (step.index + 1 >= step.node->children.size()) {
      return;
    }
    Leaf* right = static_cast<Leaf*>(step.node->children[step.index + 1]);
    if (leaf->records.size() + right->records.size() > kMaxLeafRecords) {
      return;
    }
    try {
      right->records.MoveTailTo(0, &leaf->records);
    } catch (const std::bad_alloc&) {
      // The leaves stay apart: a merge only saves room.
      return;
    }
    path->back().index = step.index + 1;
    RemoveChild(path);
  }

  // Finds |key|, runs |proc| and applies its answer. The lock is held as
  // |writable| says.
  void ProcessLocked(std::string_view key, RecordProcessor* proc, bool writable,
                     Status* status) {
    TreePath path;
    Leaf* leaf = FindLeaf(key, &path);
    const size_t index = LowerIndex(leaf, key, false);
    if (index < leaf->records.size()) {
      const LeafRecord rec = leaf->records.Get(index);
      if (Compare(rec.key, key) == 0) {
        const std::string_view answer =
            CallProcessor(proc, rec.key, &rec.value, writable, status);
        ApplyAnswer(leaf, index, &path, answer);
        return;
      }
    }
    const std::string_view answer = CallProcessor(proc, key, nullptr, writable, status);
    if (answer.data() != RecordProcessor::NOOP.data() &&
        answer.data() != RecordProcessor::REMOVE.data()) {
      InsertAt(leaf, index, &path, key, answer);
    }
  }

  void ApplyAnswer(Leaf* leaf, size_t index, TreePath* path,
                   std::string_view answer) {
    if (answer.data() == RecordProcessor::NOOP.data()) {
      return;
    }
    if (answer.data() == RecordProcessor::REMOVE.data()) {
      RemoveAt(leaf, index, path);
      return;
    }
    leaf->records.SetValue(index, answer);
  }

  // Like ProcessLocked, for a key known to exist.
  void ProcessKeyLocked(const std::string& key, RecordProcessor* proc, bool writable,
                        Status* status) {
    ProcessLocked(key, proc, writable, status);
  }

  Status DumpLocked(const MemoryDBMFile::RecordWriter& write) const {
    for (const Leaf* leaf = FirstLeaf(); leaf != nullptr; leaf = leaf->next) {
      for (size_t i = 0; i < leaf->records.size(); i++) {
        const LeafRecord rec = leaf->records.Get(i);
        const Status status = write(rec.key, rec.value);
        if (!status.IsOK()) {
          return status;
        }
      }
    }
    return Status();
  }

  MemoryDBMFile::Dumper MakeDumper() {
    return [this](const MemoryDBMFile::RecordWriter& write) { return DumpLocked(write); };
  }

  // Sets a record during loading (the lock is held exclusively).
  void SetLocked(std::string_view key, std::string_view value) {
    TreePath path;
    Leaf* leaf = FindLeaf(key, &path);
    const size_t index = LowerIndex(leaf, key, false);
    if (index < leaf->records.size() && Compare(leaf->records.Key(index), key) == 0) {
      leaf->records.SetValue(index, value);
    } else {
      InsertAt(leaf, index, &path, key, value);
    }
  }

  // Runs |op|, which returns a Status, under the lock (exclusive for a writer)
  // once the database is open and, for a writer, writable: the frame of every
  // record operation, Clear and Rebuild. A failed allocation is SYSTEM_ERROR.
  template <typename Op>
  Status RunRecordOp(bool writer, Op op) {
    TreeLock lock(&mutex, writer);
    const Status status = CheckUsable(open, writable, writer);
    if (!status.IsOK()) {
      return status;
    }
    try {
      return op();
    } catch (const std::bad_alloc&) {
      return AllocFailedStatus();
    }
  }
};

namespace {

class BabyIterator final : public DBM::Iterator {
 public:
  explicit BabyIterator(std::shared_ptr<BabyDBM::Impl> impl) : impl_(std::move(impl)) {}

  Status First() override {
    std::shared_lock lock(impl_->mutex);
    if (!impl_->open) {
      return ClosedStatus();
    }
    return FillFrom(nullptr, false);
  }

  Status Last() override {
    std::shared_lock lock(impl_->mutex);
    if (!impl_->open) {
      return ClosedStatus();
    }
    LeafRecord rec;
    return PlaceOne(impl_->LastRecord(&rec) ? &rec : nullptr);
  }

  Status Jump(std::string_view key) override {
    return JumpUpper(key, true);
  }

  Status JumpLower(std::string_view key, bool inclusive) override {
    std::shared_lock lock(impl_->mutex);
    if (!impl_->open) {
      return ClosedStatus();
    }
    LeafRecord rec;
    return PlaceOne(impl_->FindLower(key, inclusive, &rec) ? &rec : nullptr);
  }

  Status JumpUpper(std::string_view key, bool inclusive) override {
    std::shared_lock lock(impl_->mutex);
    if (!impl_->open) {
      return ClosedStatus();
    }
    return FillFrom(&key, !inclusive);
  }

  // Both move from the stored key, whether or not its record still exists, so
  // a record removed by another thread never makes them skip its neighbour.
  // Next goes to the key that follows now, so that a record added after the
  // batch was read is not passed over; the batch serves when it holds that key.
  Status Next() override {
    std::shared_lock lock(impl_->mutex);
    Status status = CheckPlaced();
    if (!status.IsOK()) {
      return status;
    }
    const std::string key(batch_.Key(batch_.pos()));
    LeafRecord rec;
    const bool found = impl_->FindUpper(key, true, &rec);
    batch_.Advance();
    if (!found) {
      return PlaceOne(nullptr);
    }
    if (batch_.AtRecord() && impl_->Compare(batch_.Key(batch_.pos()), rec.key) == 0) {
      return Status();
    }
    return FillFrom(&rec.key, false);
  }

  Status Previous() override {
    std::shared_lock lock(impl_->mutex);
    Status status = CheckPlaced();
    if (!status.IsOK()) {
      return status;
    }
    const std::string key(batch_.Key(batch_.pos()));
    LeafRecord rec;
    return PlaceOne(impl_->FindLower(key, false, &rec) ? &rec : nullptr);
  }

  Status Process(DBM::RecordProcessor* proc, bool writable) override {
    if (writable) {
      std::unique_lock lock(impl_->mutex);
      if (impl_->open && !impl_->writable) {
        return ReadOnlyStatus();
      }
      return ProcessLocked(proc, writable);
    }
    std::shared_lock lock(impl_->mutex);
    return ProcessLocked(proc, writable);
  }

  Status Step(std::string* key, std::string* value) override {
    std::shared_lock lock(impl_->mutex);
    Status status = CheckPlaced();
    if (!status.IsOK()) {
      return status;
    }
    if (key != nullptr) {
      *key = batch_.Key(batch_.pos());
    }
    if (value != nullptr) {
      *value = batch_.Value(batch_.pos());
    }
    batch_.Advance();
    return EnsureRecord();
  }

  bool StepReadAhead(std::string_view* key, std::string_view* value) override {
    std::shared_lock lock(impl_->mutex, std::try_to_lock);
    if (!lock.owns_lock() || !impl_->open || !batch_.AtRecord()) {
      return false;
    }
    *key = batch_.Key(batch_.pos());
    *value = batch_.Value(batch_.pos());
    batch_.Advance();
    return true;
  }

 private:
  // Reads the records from the first key >= |*key| (> when |strict|), or from
  // the first record when |key| is null, into the batch, in order, until it is
  // full. The lock is held.
  Status FillFrom(const std::string_view* key, bool strict) {
    batch_.Clear();
    more_ = false;
    const Leaf* leaf = nullptr;
    size_t index = 0;
    if (key == nullptr) {
      leaf = impl_->FirstLeaf();
    } else {
      leaf = impl_->FindLeaf(*key, nullptr);
      index = impl_->LowerIndex(leaf, *key, strict);
    }
    try {
      for (; leaf != nullptr; leaf = leaf->next, index = 0) {
        for (; index < leaf->records.size(); index++) {
          if (batch_.Full()) {
            more_ = true;
            return Status();
          }
          const LeafRecord rec = leaf->records.Get(index);
          batch_.Add(rec.key, rec.value);
        }
      }
    } catch (const std::bad_alloc&) {
      batch_.Clear();
      return AllocFailedStatus();
    }
    return Status();
  }

  // Places the iterator on |rec| alone (the end when null); the records
  // after it are read when it moves on. The lock is held.
  Status PlaceOne(const LeafRecord* rec) {
    batch_.Clear();
    more_ = rec != nullptr;
    if (rec != nullptr) {
      batch_.Add(rec->key, rec->value);
    }
    return Status();
  }

  // Reads the records after the batch when the cursor is past it. The lock is
  // held.
  Status EnsureRecord() {
    if (batch_.AtRecord() || !more_) {
      return Status();
    }
    const std::string last(batch_.LastKey());
    const std::string_view last_view(last);
    return FillFrom(&last_view, true);
  }

  Status CheckPlaced() {
    if (!impl_->open) {
      return ClosedStatus();
    }
    const Status status = EnsureRecord();
    if (!status.IsOK()) {
      return status;
    }
    return batch_.AtRecord() ? Status() : Status(Status::NOT_FOUND_ERROR);
  }

  // Moves the cursor to the first existing key >= its key (the lock is held):
  // a key removed meanwhile resolves to the next greater one.
  Status Resolve() {
    const std::string key(batch_.Key(batch_.pos()));
    LeafRecord rec;
    if (!impl_->FindUpper(key, false, &rec)) {
      PlaceOne(nullptr);
      return Status(Status::NOT_FOUND_ERROR);
    }
    if (impl_->Compare(rec.key, key) != 0) {
      return FillFrom(&rec.key, false);
    }
    batch_.SetValue(batch_.pos(), rec.value);
    return Status();
  }

  Status ProcessLocked(DBM::RecordProcessor* proc, bool writable) {
    Status status = CheckPlaced();
    if (status.IsOK()) {
      status = Resolve();
    }
    if (!status.IsOK()) {
      return status;
    }
    const std::string key(batch_.Key(batch_.pos()));
    impl_->ProcessKeyLocked(key, proc, writable, &status);
    // A removed record leaves the iterator on the next one at once, so that a
    // following Next moves past that one; a kept one is handed out by a later
    // Step as it is now.
    Resolve();
    return status;
  }

  std::shared_ptr<BabyDBM::Impl> impl_;
  // Records from the current one on, read ahead in order, and whether more
  // records may follow the last of them.
  RecordBatch batch_;
  bool more_ = false;
};

}  // namespace

BabyDBM::BabyDBM(KeyComparator comparator)
    : impl_(std::make_shared<Impl>(comparator == nullptr ? LexicalKeyComparator : comparator)) {}

BabyDBM::~BabyDBM() {
  Close();
}

Status BabyDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                             const ParamMap& params) {
  Impl* impl = impl_.get();
  std::unique_lock lock(impl->mutex);
  if (impl->open) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  static const ParamRule kRules[] = {{"key_comparator", ParamRule::kText}};
  Status checked = CheckParams(params, kRules);
  if (!checked.IsOK()) {
    return checked;
  }
  KeyComparator comparator = impl->init_comparator;
  const auto it = params.find("key_comparator");
  if (it != params.end()) {
    comparator = GetKeyComparatorByName(it->second);
    if (comparator == nullptr) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "unknown key comparator: " + it->second);
    }
  }
  impl->comparator = comparator;
  Status status;
  try {
    impl->ResetTree();
    status = impl->file.Open(path, writable, options,
                             [impl](std::string_view key, std::string_view value) {
                               impl->SetLocked(key, value);
                             },
                             impl->MakeDumper());
  } catch (const std::bad_alloc&) {
    status = AllocFailedStatus();
  }
  if (!status.IsOK()) {
    impl->ResetTree();
    return status;
  }
  impl->open = true;
  impl->writable = writable;
  return Status();
}

Status BabyDBM::Close() {
  Impl* impl = impl_.get();
  std::unique_lock lock(impl->mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  const Status status = impl->file.Close(impl->MakeDumper());
  impl->ResetTree();
  impl->open = false;
  return status;
}

Status BabyDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunRecordOp(writable, [&] {
    Status status;
    impl->ProcessLocked(key, proc, writable, &status);
    return status;
  });
}

Status BabyDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunRecordOp(writable, [&] {
    LeafRecord rec;
    Status status;
    if (!impl->FirstRecord(&rec)) {
      CallProcessor(proc, "", nullptr, false, &status);
      return Status(Status::NOT_FOUND_ERROR);
    }
    const std::string key(rec.key);
    impl->ProcessLocked(key, proc, writable, &status);
    return status;
  });
}

Status BabyDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  Impl* impl = impl_.get();
  return impl->RunRecordOp(writable, [&] {
    Status status;
    for (const auto& pair : key_proc_pairs) {
      impl->ProcessLocked(pair.first, pair.second, writable, &status);
    }
    return status;
  });
}

Status BabyDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunRecordOp(writable, [&] {
    Status status;
    // Changes are collected and applied after the walk, so the walk never runs
    // over a leaf that a merge has just freed.
    std::vector<std::string> removals;
    for (Leaf* leaf = impl->FirstLeaf(); leaf != nullptr; leaf = leaf->next) {
      for (size_t i = 0; i < leaf->records.size(); i++) {
        const LeafRecord rec = leaf->records.Get(i);
        const std::string_view answer =
            CallProcessor(proc, rec.key, &rec.value, writable, &status);
        if (answer.data() == RecordProcessor::NOOP.data()) {
          continue;
        }
        if (answer.data() == RecordProcessor::REMOVE.data()) {
          removals.emplace_back(rec.key);
        } else {
          leaf->records.SetValue(i, answer);
        }
      }
    }
    for (const auto& key : removals) {
      RecordProcessorRemove remover(&status, nullptr);
      impl->ProcessLocked(key, &remover, true, &status);
    }
    return status;
  });
}

Status BabyDBM::Count(int64_t* count) {
  std::shared_lock lock(impl_->mutex);
  if (!impl_->open) {
    return ClosedStatus();
  }
  *count = impl_->num_records;
  return Status();
}

Status BabyDBM::GetFileSize(int64_t* size) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->open) {
    return ClosedStatus();
  }
  return impl_->file.GetFileSize(size);
}

Status BabyDBM::GetFilePath(std::string* path) {
  std::shared_lock lock(impl_->mutex);
  if (!impl_->open) {
    return ClosedStatus();
  }
  if (!impl_->file.HasFile()) {
    return NoFileStatus();
  }
  *path = impl_->file.GetPath();
  return Status();
}

Status BabyDBM::GetTimestamp(double* timestamp) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->open) {
    return ClosedStatus();
  }
  return impl_->file.GetTimestamp(timestamp);
}

Status BabyDBM::Clear() {
  Impl* impl = impl_.get();
  return impl->RunRecordOp(true, [impl] {
    impl->ResetTree();
    return Status();
  });
}

Status BabyDBM::RebuildAdvanced(const ParamMap& params) {
  Impl* impl = impl_.get();
  // Inserts every record in order into a fresh tree, which fills whole
  // leaves; the old tree is kept until the new one is complete, so a failure
  // leaves the database as it was.
  return impl->RunRecordOp(true, [impl, &params] {
    Status checked = CheckNoParams(params);
    if (!checked.IsOK()) {
      return checked;
    }
    Node* const old_root = impl->root;
    const int64_t old_num_records = impl->num_records;
    impl->root = nullptr;
    try {
      impl->root = new Leaf();
      impl->num_records = 0;
      for (const Leaf* leaf = FirstLeafOf(old_root); leaf != nullptr; leaf = leaf->next) {
        for (size_t i = 0; i < leaf->records.size(); i++) {
          const LeafRecord rec = leaf->records.Get(i);
          impl->SetLocked(rec.key, rec.value);
        }
      }
    } catch (const std::bad_alloc&) {
      delete impl->root;
      impl->root = old_root;
      impl->num_records = old_num_records;
      throw;
    }
    delete old_root;
    return Status();
  });
}

Status BabyDBM::ShouldBeRebuilt(bool* tobe) {
  std::shared_lock lock(impl_->mutex);
  if (!impl_->open) {
    return ClosedStatus();
  }
  *tobe = false;
  return Status();
}

Status BabyDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->open) {
    return ClosedStatus();
  }
  Status checked = CheckNoParams(params);
  if (!checked.IsOK()) {
    return checked;
  }
  const Status status = impl_->file.Save(impl_->MakeDumper(), hard);
  if (status.IsOK() && proc != nullptr && impl_->file.HasFile()) {
    proc->Process(impl_->file.GetPath());
  }
  return status;
}

Status BabyDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  std::unique_lock lock(impl_->mutex);
  if (!impl_->open) {
    return ClosedStatus();
  }
  return impl_->file.CopyTo(dest_path, impl_->MakeDumper(), sync_hard);
}

std::vector<std::pair<std::string, std::string>> BabyDBM::Inspect() {
  std::shared_lock lock(impl_->mutex);
  std::vector<std::pair<std::string, std::string>> result;
  result.emplace_back("class", "BabyDBM");
  result.emplace_back("path", impl_->file.GetPath());
  result.emplace_back("num_records", std::to_string(impl_->open ? impl_->num_records : -1));
  result.emplace_back("healthy", impl_->open ? "true" : "false");
  result.emplace_back("key_comparator", GetKeyComparatorName(impl_->comparator));
  return result;
}

bool BabyDBM::IsOpen() const {
  std::shared_lock lock(impl_->mutex);
  return impl_->open;
}

bool BabyDBM::IsWritable() const {
  std::shared_lock lock(impl_->mutex);
  return impl_->open && impl_->writable;
}

bool BabyDBM::IsHealthy() const {
  return IsOpen();
}

bool BabyDBM::IsOrdered() const {
  return true;
}

std::unique_ptr<DBM::Iterator> BabyDBM::MakeIterator() {
  return std::make_unique<BabyIterator>(impl_);
}

std::unique_ptr<DBM> BabyDBM::MakeDBM() const {
  return std::make_unique<BabyDBM>(impl_->init_comparator);
}

}  // namespace morvel
