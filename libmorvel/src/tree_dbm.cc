// TreeDBM: a B+ tree whose pages are records of an inner HashDBM. The page
// and metadata formats are in tree_dbm_page.h, the page cache in
// tree_dbm_cache.h.
//
// In an inner page keys[i] is the smallest key under children[i + 1] when it
// was made; a key equal to keys[i] goes right. Leaves are linked both ways.
//
// Inserting (or changing a value, except in ProcessEach, which leaves an
// oversized leaf to split at its next insertion) splits a leaf that passed
// "max_page_size" bytes with two records at least, or kMaxLeafRecords
// records, in halves by bytes, and an inner page that passed "max_branches"
// children (or the page size with three keys at least) in halves, and pushes
// the separator up. Removing drops empty leaves, merges a leaf that fell under
// a quarter of a page into its right sibling when both fit, merges an inner
// page that fell under a quarter of the branches with a sibling when both
// fit, and collapses a root with one child. Every leaf stays at one depth.
//
// Write-back: a changed page stays dirty in the cache (never evicted) until a
// flush writes it to the inner database. Writers flush when the dirty pages
// pass half the cache and the cache is full, and Synchronize and Close flush
// everything. A flush
// writes the dirty pages from the highest id down, then removes the pages
// dropped from the tree. Records only move to a page of a higher id (a split
// gives its upper half to a new page) or into a left sibling whose page is
// then dropped, so at every point of a flush each record of the previous
// flush is still in some page in the file: a leaf is never overwritten before
// the page its records moved to is written, and a dropped page goes last.
//
// Crash detection: the first write after an open or a synchronization stores
// the metadata with the clean flag off; Synchronize and Close store it on
// again once every page is written. A file found unclean (or whose inner
// database was restored) is rebuilt from its leaves: every decodable leaf is
// read, the copy of a key in the leaf of the highest write sequence wins (each
// leaf written gets the next number), and a fresh tree is bulk-loaded into a
// new file renamed over the old one. With the write order above, a record is
// then found as of the last completed flush or with a value it was given after
// it (a removal after it may be undone), never older.
//
// Locks, in this order: |Impl::mutex| (the tree: shared by readers, exclusive
// for writers and whole-database calls), then the cache's own mutex, which
// lets readers load pages while sharing the tree lock. The inner HashDBM has
// its own locks, taken last. Processors run with the tree lock held.
//
// Everything read from the file is checked: page ids against the id counter,
// the sizes inside a page against its end, the depth against a fixed bound,
// and a leaf walk against the number of ids. A damaged page is
// BROKEN_DATA_ERROR, never a crash.

#include "morvel/tree_dbm.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <unordered_set>
#include <vector>

#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "morvel/str_util.h"
#include "param_check.h"
#include "record_batch.h"
#include "tree_dbm_cache.h"
#include "tree_dbm_page.h"

namespace morvel {

using treedbm::BrokenPage;
using treedbm::InnerPage;
using treedbm::InnerPtr;
using treedbm::KeyOrder;
using treedbm::kMaxDepth;
using treedbm::kMetaKey;
using treedbm::kPageHeaderBytes;
using treedbm::LeafPage;
using treedbm::LeafPtr;
using treedbm::Meta;
using treedbm::Page;
using treedbm::PageCache;
using treedbm::PageKey;
using treedbm::PagePtr;
using treedbm::RecordBytes;
using treedbm::SeparatorBytes;

namespace {

constexpr int64_t kDefaultMaxPageSize = 8130;
constexpr int64_t kDefaultMaxBranches = 256;
// Enough for the pages of some ten million small records: while the tree fits,
// nothing is written back before Synchronize or Close.
constexpr int64_t kDefaultMaxCachedPages = 65536;
constexpr int64_t kDefaultNumBuckets = 131101;
// Records of a leaf at most, whatever the page size: inserting into a leaf
// moves the slots after the new one, so small records make this, not the
// byte size, the bound that matters.
constexpr size_t kMaxLeafRecords = 256;
// The pages that one operation holds at once stay cached whatever the setting.
constexpr int64_t kMinCachedPages = 256;

// Tuning of one open, parsed from the parameters.
struct TreeParams {
  int64_t max_page_size = kDefaultMaxPageSize;
  int64_t max_branches = kDefaultMaxBranches;
  int64_t max_cached_pages = kDefaultMaxCachedPages;
  // Empty when not given.
  std::string comparator;
  // What goes to the inner database.
  ParamMap hash_params;
};

Status ParseIntParam(const ParamMap& params, const std::string& name, int64_t min_value,
                     int64_t max_value, int64_t* value) {
  const auto it = params.find(name);
  if (it == params.end()) {
    return Status();
  }
  const std::string& text = it->second;
  int64_t num = 0;
  if (!ParseIntegerParam(text, &num)) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "invalid " + name + ": " + text);
  }
  if (num < min_value || num > max_value) {
    return Status(Status::INVALID_ARGUMENT_ERROR,
                  SPrintF("%s must be %lld to %lld: %s", name.c_str(),
                          static_cast<long long>(min_value),
                          static_cast<long long>(max_value), text.c_str()));
  }
  *value = num;
  return Status();
}

// The one place that reads TreeDBM's parameters; the rest go to the inner
// database.
Status ParseTreeParams(const ParamMap& params, TreeParams* out) {
  Status status = ParseIntParam(params, "max_page_size", 256, 1LL << 30, &out->max_page_size);
  status |= ParseIntParam(params, "max_branches", 3, 1 << 20, &out->max_branches);
  status |= ParseIntParam(params, "max_cached_pages", 1, 1LL << 40, &out->max_cached_pages);
  if (!status.IsOK()) {
    return status;
  }
  const auto it = params.find("key_comparator");
  if (it != params.end()) {
    const KeyComparator comp = GetKeyComparatorByName(it->second);
    if (comp == nullptr) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "unknown key comparator: " + it->second);
    }
    out->comparator = GetKeyComparatorName(comp);
  }
  out->hash_params.clear();
  for (const auto& [name, value] : params) {
    if (name != "max_page_size" && name != "max_branches" && name != "max_cached_pages" &&
        name != "key_comparator") {
      out->hash_params.emplace(name, value);
    }
  }
  out->hash_params.emplace("num_buckets", std::to_string(kDefaultNumBuckets));
  return Status();
}

struct PathStep {
  InnerPtr node;
  size_t index;
};
using TreePath = std::vector<PathStep>;

Status ClosedStatus() { return Status(Status::PRECONDITION_ERROR, "not opened database"); }
Status ReadOnlyStatus() { return Status(Status::PRECONDITION_ERROR, "not writable database"); }

bool IsMarker(std::string_view answer) {
  return answer.data() == DBM::RecordProcessor::NOOP.data() ||
         answer.data() == DBM::RecordProcessor::REMOVE.data();
}

// Writes a packed tree from records given in ascending order: leaves filled up
// to the page size with consecutive ids and links, then the inner levels.
class TreeBuilder final {
 public:
  TreeBuilder(HashDBM* dbm, const TreeParams& params)
      : dbm_(dbm),
        max_page_size_(params.max_page_size),
        max_branches_(params.max_branches) {}

  Status Add(std::string_view key, std::string_view value) {
    const size_t size = RecordBytes(key, value);
    if (leaf_ != nullptr && !leaf_->empty() &&
        (leaf_->bytes + size > static_cast<size_t>(max_page_size_) ||
         leaf_->size() >= kMaxLeafRecords)) {
      const Status status = WriteLeaf(true);
      if (!status.IsOK()) {
        return status;
      }
    }
    if (leaf_ == nullptr) {
      leaf_ = std::make_unique<LeafPage>(next_id_++);
      leaf_->prev = prev_leaf_;
    }
    leaf_->Append(key, value);
    num_records_++;
    return Status();
  }

  // Writes what is left and the inner levels, then the metadata, marked clean.
  Status Finish(const std::string& comparator) {
    if (leaf_ == nullptr) {
      leaf_ = std::make_unique<LeafPage>(next_id_++);
      leaf_->prev = prev_leaf_;
    }
    Status status = WriteLeaf(false);
    Meta meta;
    meta.level = 1;
    while (status.IsOK() && level_.size() > 1) {
      std::vector<std::pair<std::string, int64_t>> upper;
      size_t begin = 0;
      while (status.IsOK() && begin < level_.size()) {
        InnerPage inner(next_id_++);
        inner.children.push_back(level_[begin].second);
        size_t end = begin + 1;
        while (end < level_.size() &&
               inner.children.size() < static_cast<size_t>(max_branches_) &&
               (inner.children.size() < 2 ||
                inner.bytes + SeparatorBytes(level_[end].first) <=
                    static_cast<size_t>(max_page_size_))) {
          inner.keys.push_back(level_[end].first);
          inner.children.push_back(level_[end].second);
          inner.bytes += SeparatorBytes(level_[end].first);
          end++;
        }
        status = dbm_->Set(PageKey(inner.id), EncodeInner(inner));
        upper.emplace_back(std::move(level_[begin].first), inner.id);
        num_inners_++;
        begin = end;
      }
      level_ = std::move(upper);
      meta.level++;
    }
    if (!status.IsOK()) {
      return status;
    }
    meta.clean = true;
    meta.root_id = level_.front().second;
    meta.next_id = next_id_;
    meta.num_records = num_records_;
    meta.seq = 1;
    meta.num_leaves = num_leaves_;
    meta.num_inners = num_inners_;
    meta.comparator = comparator;
    return dbm_->Set(kMetaKey, EncodeMeta(meta));
  }

 private:
  Status WriteLeaf(bool more) {
    // The next leaf takes the next id, since inner pages come after all leaves.
    leaf_->next = more ? next_id_ : 0;
    const Status status = dbm_->Set(PageKey(leaf_->id), EncodeLeaf(*leaf_, 1));
    level_.emplace_back(leaf_->empty() ? std::string() : std::string(leaf_->Key(0)),
                        leaf_->id);
    prev_leaf_ = leaf_->id;
    num_leaves_++;
    leaf_.reset();
    return status;
  }

  HashDBM* dbm_;
  int64_t max_page_size_;
  int64_t max_branches_;
  int64_t next_id_ = 1;
  int64_t prev_leaf_ = 0;
  int64_t num_records_ = 0;
  int64_t num_leaves_ = 0;
  int64_t num_inners_ = 0;
  std::unique_ptr<LeafPage> leaf_;
  // The first key and id of each page of the level being built.
  std::vector<std::pair<std::string, int64_t>> level_;
};

// Orders keys by a key comparator, for the maps of rebuilding.
struct ComparatorLess {
  KeyComparator comp;
  bool operator()(const std::string& a, const std::string& b) const { return comp(a, b) < 0; }
};
using LeafRecordMap = std::map<std::string, std::pair<uint64_t, std::string>, ComparatorLess>;

// Reads every leaf page of |dbm| into |records|, the copy of a key in the
// leaf of the highest write sequence winning. Undecodable pages are skipped.
Status CollectLeafRecords(HashDBM* dbm, LeafRecordMap* records) {
  return dbm->ProcessEach(
      [&](std::string_view key, std::string_view value) -> std::string_view {
        if (key.size() != 8) {
          return DBM::RecordProcessor::NOOP;
        }
        PagePtr page;
        uint64_t seq = 0;
        const int64_t id = StrToIntBigEndian(key);
        if (!treedbm::DecodePage(id, std::string(value), INT64_MAX, &page, &seq).IsOK() ||
            !page->is_leaf) {
          return DBM::RecordProcessor::NOOP;
        }
        const auto* leaf = static_cast<LeafPage*>(page.get());
        for (size_t i = 0; i < leaf->size(); i++) {
          const std::string rec_key(leaf->Key(i));
          auto it = records->find(rec_key);
          if (it == records->end()) {
            records->emplace(rec_key, std::make_pair(seq, std::string(leaf->Value(i))));
          } else if (seq > it->second.first) {
            it->second = std::make_pair(seq, std::string(leaf->Value(i)));
          }
        }
        return DBM::RecordProcessor::NOOP;
      },
      false);
}

// Makes a rename durable: syncs the directory holding |path|.
void SyncDirectory(const std::string& path) {
  const size_t pos = path.rfind('/');
  const std::string dir = pos == std::string::npos ? "." : (pos == 0 ? "/" : path.substr(0, pos));
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
}

}  // namespace

struct TreeDBM::Impl {
  // Guards everything below; readers share it, writers hold it exclusively.
  std::shared_mutex mutex;
  std::unique_ptr<HashDBM> hdb;
  PageCache cache;
  KeyOrder comparator;
  TreeParams params;
  std::string path;
  int32_t options = 0;
  bool open = false;
  bool writable = false;
  bool healthy = false;
  Meta meta;
  // Whether the metadata in the file says clean, so that the next write must
  // clear the flag first.
  bool meta_clean_on_disk = false;
  // Pages dropped from the tree, to remove from the file at the next flush.
  std::unordered_set<int64_t> removed_ids;
  // Counts the writers, so that an iterator knows whether the records it read
  // ahead are still as in the tree.
  uint64_t version = 0;

  // Pages --------------------------------------------------------------------

  Status ReadPage(int64_t id, PagePtr* page) {
    if (id < 1 || id >= meta.next_id) {
      return Status(Status::BROKEN_DATA_ERROR, "page id out of range: " + std::to_string(id));
    }
    *page = cache.Find(id);
    if (*page != nullptr) {
      // The page's vectors lie past its first cache line: fetched alongside.
      __builtin_prefetch(reinterpret_cast<const char*>(page->get()) + 64);
      return Status();
    }
    std::string data;
    Status status = hdb->Get(PageKey(id), &data);
    if (status == Status::NOT_FOUND_ERROR) {
      return Status(Status::BROKEN_DATA_ERROR, "missing page " + std::to_string(id));
    }
    if (!status.IsOK()) {
      return status;
    }
    PagePtr decoded;
    status = treedbm::DecodePage(id, std::move(data), meta.next_id, &decoded, nullptr);
    if (!status.IsOK()) {
      return status;
    }
    *page = cache.AddClean(std::move(decoded));
    return Status();
  }

  Status ReadLeaf(int64_t id, LeafPtr* leaf) {
    PagePtr page;
    const Status status = ReadPage(id, &page);
    if (!status.IsOK()) {
      return status;
    }
    if (!page->is_leaf) {
      return BrokenPage(id, "an inner page where a leaf was expected");
    }
    *leaf = std::static_pointer_cast<LeafPage>(page);
    return Status();
  }

  Status ReadInner(int64_t id, InnerPtr* inner) {
    PagePtr page;
    const Status status = ReadPage(id, &page);
    if (!status.IsOK()) {
      return status;
    }
    if (page->is_leaf) {
      return BrokenPage(id, "a leaf where an inner page was expected");
    }
    *inner = std::static_pointer_cast<InnerPage>(page);
    return Status();
  }

  void Touch(Page* page) {
    if (!page->dirty) {
      cache.MarkDirty(page);
    }
  }

  LeafPtr NewLeaf() {
    auto leaf = std::make_shared<LeafPage>(meta.next_id++);
    cache.AddDirty(leaf);
    meta.num_leaves++;
    return leaf;
  }

  InnerPtr NewInner() {
    auto inner = std::make_shared<InnerPage>(meta.next_id++);
    cache.AddDirty(inner);
    meta.num_inners++;
    return inner;
  }

  void Discard(Page* page) {
    if (page->is_leaf) {
      meta.num_leaves--;
    } else {
      meta.num_inners--;
    }
    cache.Remove(page);
    removed_ids.insert(page->id);
  }

  // Writes every dirty page, then removes the dropped ones. A failure leaves
  // the unwritten pages dirty, so a later flush tries again.
  Status Flush() {
    for (const PagePtr& page : cache.DirtyPages()) {
      const std::string data =
          page->is_leaf ? EncodeLeaf(*static_cast<LeafPage*>(page.get()), ++meta.seq)
                        : EncodeInner(*static_cast<InnerPage*>(page.get()));
      const Status status = hdb->Set(PageKey(page->id), data);
      if (!status.IsOK()) {
        return status;
      }
      cache.MarkClean(page.get());
    }
    for (auto it = removed_ids.begin(); it != removed_ids.end();) {
      const Status status = hdb->Remove(PageKey(*it));
      if (!status.IsOK() && status != Status::NOT_FOUND_ERROR) {
        return status;
      }
      it = removed_ids.erase(it);
    }
    cache.Trim();
    return Status();
  }

  Status WriteMeta(bool clean) {
    meta.clean = clean;
    meta.comparator = GetKeyComparatorName(comparator.comparator());
    const Status status = hdb->Set(kMetaKey, EncodeMeta(meta));
    if (status.IsOK()) {
      meta_clean_on_disk = clean;
    }
    return status;
  }

  // Makes the inner file hold every page and the current health mark, so that
  // it can be synchronized or copied as a whole tree.
  Status FlushWithMeta() {
    Status status = Flush();
    if (status.IsOK() && meta_clean_on_disk != healthy) {
      status = WriteMeta(healthy);
    }
    return status;
  }

  // Called before a writer changes anything: the file must say unclean
  // before any page changes.
  Status BeginWrite() {
    return meta_clean_on_disk ? WriteMeta(false) : Status();
  }

  // Called after a writer: flushes when the cache is over its capacity and
  // the dirty pages, which cannot be evicted, pass half of it. While the tree
  // fits in the cache nothing is written before Synchronize or Close.
  Status EndWrite() {
    if (NeedsFlush()) {
      return Flush();
    }
    return Status();
  }

  bool NeedsFlush() {
    const size_t capacity = CacheCapacity();
    return cache.NumDirty() * 2 > capacity && cache.Size() > capacity;
  }

  size_t CacheCapacity() const {
    return std::max<int64_t>(params.max_cached_pages, kMinCachedPages);
  }

  // A fresh tree of one empty leaf, kept dirty until the next flush.
  void InitEmptyTree() {
    cache.Clear();
    removed_ids.clear();
    const uint64_t seq = meta.seq;
    meta = Meta();
    meta.seq = seq;
    meta.next_id = 1;
    LeafPtr root = NewLeaf();
    meta.root_id = root->id;
    meta.level = 1;
  }

  // Descent ------------------------------------------------------------------

  size_t ChildIndex(const InnerPage& inner, std::string_view key) const {
    // The first separator > |key|.
    size_t low = 0, high = inner.keys.size();
    if (comparator.lexical()) {
      const uint64_t* heads = inner.heads.data();
      for (size_t i = 0; i < high; i += 8) {
        __builtin_prefetch(heads + i);
      }
      const uint64_t head = treedbm::KeyHead(key);
      while (low < high) {
        const size_t mid = (low + high) / 2;
        const uint64_t mid_head = heads[mid];
        const int cmp = mid_head != head ? (head < mid_head ? -1 : 1)
                                         : treedbm::CompareLexical(key, inner.keys[mid]);
        if (cmp < 0) {
          high = mid;
        } else {
          low = mid + 1;
        }
      }
      return low;
    }
    while (low < high) {
      const size_t mid = (low + high) / 2;
      if (comparator(key, inner.keys[mid]) < 0) {
        high = mid;
      } else {
        low = mid + 1;
      }
    }
    return low;
  }

  // The first index in |leaf| whose key is >= |key| (> when |strict|).
  size_t LowerIndex(const LeafPage& leaf, std::string_view key, bool strict) const {
    size_t low = 0, high = leaf.size();
    if (comparator.lexical()) {
      // The heads of a leaf that is not in the processor cache are fetched
      // at once rather than by one miss per step of the search.
      const uint64_t* heads = leaf.heads.data();
      for (size_t i = 0; i < high; i += 8) {
        __builtin_prefetch(heads + i);
      }
      const uint64_t head = treedbm::KeyHead(key);
      while (low < high) {
        const size_t mid = (low + high) / 2;
        const uint64_t mid_head = heads[mid];
        const int cmp = mid_head != head ? (mid_head < head ? -1 : 1)
                                         : treedbm::CompareLexical(leaf.Key(mid), key);
        if (strict ? cmp <= 0 : cmp < 0) {
          low = mid + 1;
        } else {
          high = mid;
        }
      }
      return low;
    }
    while (low < high) {
      const size_t mid = (low + high) / 2;
      const int cmp = comparator(leaf.Key(mid), key);
      if (strict ? cmp <= 0 : cmp < 0) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    return low;
  }

  // The leaf that may hold |key|; |path| gets the inner steps if given.
  Status FindLeaf(std::string_view key, TreePath* path, LeafPtr* leaf) {
    int64_t id = meta.root_id;
    for (int depth = 0; depth <= kMaxDepth; depth++) {
      PagePtr page;
      const Status status = ReadPage(id, &page);
      if (!status.IsOK()) {
        return status;
      }
      if (page->is_leaf) {
        *leaf = std::static_pointer_cast<LeafPage>(page);
        return Status();
      }
      auto inner = std::static_pointer_cast<InnerPage>(page);
      const size_t index = ChildIndex(*inner, key);
      id = inner->children[index];
      if (path != nullptr) {
        path->push_back({std::move(inner), index});
      }
    }
    return Status(Status::BROKEN_DATA_ERROR, "the tree is deeper than possible");
  }

  // The first (or, with |last|, the last) leaf.
  Status EdgeLeaf(bool last, LeafPtr* leaf) {
    int64_t id = meta.root_id;
    for (int depth = 0; depth <= kMaxDepth; depth++) {
      PagePtr page;
      const Status status = ReadPage(id, &page);
      if (!status.IsOK()) {
        return status;
      }
      if (page->is_leaf) {
        *leaf = std::static_pointer_cast<LeafPage>(page);
        return Status();
      }
      const auto* inner = static_cast<InnerPage*>(page.get());
      id = last ? inner->children.back() : inner->children.front();
    }
    return Status(Status::BROKEN_DATA_ERROR, "the tree is deeper than possible");
  }

  // Follows a link to a neighbouring leaf, which is never empty in a sound
  // tree (only a root leaf may be).
  Status Neighbour(int64_t id, LeafPtr* leaf) {
    const Status status = ReadLeaf(id, leaf);
    if (status.IsOK() && (*leaf)->empty()) {
      return BrokenPage(id, "an empty leaf in the chain");
    }
    return status;
  }

  // |leaf| and |index| get the first record whose key is >= |from| (> when
  // |strict|). NOT_FOUND_ERROR when there is none.
  Status FindUpperRecord(std::string_view from, bool strict, LeafPtr* leaf, size_t* index) {
    Status status = FindLeaf(from, nullptr, leaf);
    if (!status.IsOK()) {
      return status;
    }
    *index = LowerIndex(**leaf, from, strict);
    if (*index < (*leaf)->size()) {
      return Status();
    }
    if ((*leaf)->next == 0) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    *index = 0;
    return Neighbour((*leaf)->next, leaf);
  }

  // |key| gets the first key >= |from| (> when |strict|). NOT_FOUND_ERROR when
  // there is none.
  Status FindUpper(std::string_view from, bool strict, std::string* key) {
    LeafPtr leaf;
    size_t index = 0;
    const Status status = FindUpperRecord(from, strict, &leaf, &index);
    if (status.IsOK()) {
      *key = leaf->Key(index);
    }
    return status;
  }

  // |key| gets the last key < |from| (<= when |inclusive|).
  Status FindLower(std::string_view from, bool inclusive, std::string* key) {
    LeafPtr leaf;
    Status status = FindLeaf(from, nullptr, &leaf);
    if (!status.IsOK()) {
      return status;
    }
    const size_t index = LowerIndex(*leaf, from, inclusive);
    if (index > 0) {
      *key = leaf->Key(index - 1);
      return Status();
    }
    if (leaf->prev == 0) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    status = Neighbour(leaf->prev, &leaf);
    if (status.IsOK()) {
      *key = leaf->Key(leaf->size() - 1);
    }
    return status;
  }

  Status EdgeKey(bool last, std::string* key) {
    LeafPtr leaf;
    const Status status = EdgeLeaf(last, &leaf);
    if (!status.IsOK()) {
      return status;
    }
    if (leaf->empty()) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    *key = leaf->Key(last ? leaf->size() - 1 : 0);
    return Status();
  }

  // Changes ------------------------------------------------------------------

  // Inserts |right| with separator |sep| after |left| in the inner page at the
  // end of |path|, splitting upwards as needed.
  void InsertIntoParent(TreePath* path, int64_t left, std::string sep, int64_t right) {
    while (true) {
      if (path->empty()) {
        InnerPtr root = NewInner();
        root->keys.push_back(std::move(sep));
        root->children = {left, right};
        root->RecountBytes();
        meta.root_id = root->id;
        meta.level++;
        return;
      }
      const PathStep step = std::move(path->back());
      path->pop_back();
      InnerPage* inner = step.node.get();
      Touch(inner);
      inner->bytes += SeparatorBytes(sep);
      inner->heads.insert(inner->heads.begin() + step.index, treedbm::KeyHead(sep));
      inner->keys.insert(inner->keys.begin() + step.index, std::move(sep));
      inner->children.insert(inner->children.begin() + step.index + 1, right);
      if (inner->children.size() <= static_cast<size_t>(params.max_branches) &&
          (inner->bytes <= static_cast<size_t>(params.max_page_size) ||
           inner->keys.size() < 3)) {
        return;
      }
      const size_t mid = inner->keys.size() / 2;
      InnerPtr sibling = NewInner();
      sep = std::move(inner->keys[mid]);
      sibling->keys.assign(std::make_move_iterator(inner->keys.begin() + mid + 1),
                           std::make_move_iterator(inner->keys.end()));
      sibling->children.assign(inner->children.begin() + mid + 1, inner->children.end());
      inner->keys.resize(mid);
      inner->children.resize(mid + 1);
      inner->RecountBytes();
      sibling->RecountBytes();
      left = inner->id;
      right = sibling->id;
    }
  }

  // Whether a leaf of |bytes| holding |count| records must split: over the
  // page size with two records at least, or over kMaxLeafRecords.
  bool WouldSplit(size_t bytes, size_t count) const {
    return count > kMaxLeafRecords ||
           (count >= 2 && bytes > static_cast<size_t>(params.max_page_size));
  }

  bool NeedsSplit(const LeafPage& leaf) const {
    return WouldSplit(leaf.bytes, leaf.size());
  }

  // Splits |leaf| in halves by bytes. |next| is its right neighbour, loaded by
  // the caller before anything changed, or null.
  void SplitLeaf(LeafPage* leaf, LeafPage* next, TreePath* path) {
    const size_t half = (leaf->bytes - kPageHeaderBytes) / 2;
    size_t mid = 0, acc = 0;
    while (mid < leaf->size() && acc < half) {
      acc += RecordBytes(leaf->Key(mid), leaf->Value(mid));
      mid++;
    }
    mid = std::clamp<size_t>(mid, 1, leaf->size() - 1);
    LeafPtr right = NewLeaf();
    leaf->MoveTailTo(mid, right.get());
    right->prev = leaf->id;
    right->next = leaf->next;
    if (next != nullptr) {
      Touch(next);
      next->prev = right->id;
    }
    leaf->next = right->id;
    Touch(leaf);
    InsertIntoParent(path, leaf->id, std::string(right->Key(0)), right->id);
  }

  // Loads the right neighbour of |leaf| when a change growing it to
  // |new_bytes| will split it.
  Status PrepareGrowth(const LeafPage& leaf, size_t new_bytes, size_t new_count,
                       LeafPtr* next) {
    if (WouldSplit(new_bytes, new_count) && leaf.next != 0) {
      return ReadLeaf(leaf.next, next);
    }
    return Status();
  }

  Status InsertAt(LeafPage* leaf, size_t index, TreePath* path, std::string_view key,
                  std::string_view value) {
    const size_t size = RecordBytes(key, value);
    LeafPtr next;
    const Status status = PrepareGrowth(*leaf, leaf->bytes + size, leaf->size() + 1, &next);
    if (!status.IsOK()) {
      return status;
    }
    Touch(leaf);
    leaf->Insert(index, key, value);
    meta.num_records++;
    if (NeedsSplit(*leaf)) {
      SplitLeaf(leaf, next.get(), path);
    }
    return Status();
  }

  Status UpdateAt(LeafPage* leaf, size_t index, TreePath* path, std::string_view answer) {
    const size_t new_bytes = leaf->bytes - leaf->Value(index).size() + answer.size();
    LeafPtr next;
    const Status status = PrepareGrowth(*leaf, new_bytes, leaf->size(), &next);
    if (!status.IsOK()) {
      return status;
    }
    Touch(leaf);
    leaf->SetValue(index, answer);
    if (NeedsSplit(*leaf)) {
      SplitLeaf(leaf, next.get(), path);
    }
    return Status();
  }

  // Unlinks and drops the page |child| of the inner page at the end of
  // |path|, dropping parents that become empty, then rebalances. For a leaf,
  // |prev| and |next| are its loaded neighbours (or null).
  void RemoveChild(TreePath* path, PagePtr child, LeafPage* prev, LeafPage* next) {
    while (!path->empty()) {
      const PathStep step = std::move(path->back());
      path->pop_back();
      InnerPage* inner = step.node.get();
      if (child->is_leaf) {
        const auto* leaf = static_cast<LeafPage*>(child.get());
        if (prev != nullptr) {
          Touch(prev);
          prev->next = leaf->next;
        }
        if (next != nullptr) {
          Touch(next);
          next->prev = leaf->prev;
        }
      }
      Discard(child.get());
      Touch(inner);
      inner->children.erase(inner->children.begin() + step.index);
      if (!inner->keys.empty()) {
        const size_t key_index = step.index > 0 ? step.index - 1 : 0;
        inner->bytes -= SeparatorBytes(inner->keys[key_index]);
        inner->keys.erase(inner->keys.begin() + key_index);
        inner->heads.erase(inner->heads.begin() + key_index);
      }
      if (!inner->children.empty() || inner->id == meta.root_id) {
        if (inner->id != meta.root_id) {
          MergeInner(step.node, path);
        }
        break;
      }
      child = step.node;
    }
    CollapseRoot();
  }

  // Replaces a root with a single child by that child.
  void CollapseRoot() {
    while (meta.level > 1) {
      InnerPtr root;
      if (!ReadInner(meta.root_id, &root).IsOK() || root->children.size() != 1) {
        return;
      }
      meta.root_id = root->children.front();
      meta.level--;
      Discard(root.get());
    }
  }

  // Merges |node|, an inner page that lost a child, with a sibling when it fell
  // under a quarter of the branches and both fit in one; goes on upwards.
  // |path| holds the steps above |node|. Merging is optional: a sibling that
  // cannot be read only stops it.
  void MergeInner(InnerPtr node, TreePath* path) {
    const size_t max_branches = params.max_branches;
    while (!path->empty() && node->children.size() < std::max<size_t>(max_branches / 4, 2)) {
      InnerPage* parent = path->back().node.get();
      const size_t index = path->back().index;
      size_t left_index = 0;
      if (index + 1 < parent->children.size()) {
        left_index = index;
      } else if (index > 0) {
        left_index = index - 1;
      } else {
        return;
      }
      InnerPtr left, right;
      if (!ReadInner(parent->children[left_index], &left).IsOK() ||
          !ReadInner(parent->children[left_index + 1], &right).IsOK()) {
        return;
      }
      if (left->children.size() + right->children.size() > max_branches ||
          left->bytes + right->bytes > static_cast<size_t>(params.max_page_size) * 2) {
        return;
      }
      Touch(left.get());
      Touch(parent);
      left->keys.push_back(std::move(parent->keys[left_index]));
      left->keys.insert(left->keys.end(), std::make_move_iterator(right->keys.begin()),
                        std::make_move_iterator(right->keys.end()));
      left->children.insert(left->children.end(), right->children.begin(),
                            right->children.end());
      left->RecountBytes();
      Discard(right.get());
      parent->keys.erase(parent->keys.begin() + left_index);
      parent->children.erase(parent->children.begin() + left_index + 1);
      parent->RecountBytes();
      node = path->back().node;
      path->pop_back();
    }
  }

  Status RemoveAt(const LeafPtr& leaf, size_t index, TreePath* path) {
    if (path->empty()) {
      Touch(leaf.get());
      leaf->Erase(index);
      meta.num_records--;
      return Status();
    }
    // Every page to change is loaded before anything changes, so a read
    // failure leaves the tree as it was.
    if (leaf->size() == 1) {
      LeafPtr prev, next;
      Status status = leaf->prev != 0 ? ReadLeaf(leaf->prev, &prev) : Status();
      if (status.IsOK() && leaf->next != 0) {
        status = ReadLeaf(leaf->next, &next);
      }
      if (!status.IsOK()) {
        return status;
      }
      leaf->Clear();
      meta.num_records--;
      RemoveChild(path, leaf, prev.get(), next.get());
      return Status();
    }
    Touch(leaf.get());
    leaf->Erase(index);
    meta.num_records--;
    if (leaf->bytes >= static_cast<size_t>(params.max_page_size) / 4 ||
        leaf->size() >= kMaxLeafRecords / 4) {
      return Status();
    }
    // Merges the right sibling under the same parent into this leaf when both
    // fit; the merge is optional, so a read failure only skips it.
    const PathStep& step = path->back();
    if (step.index + 1 >= step.node->children.size()) {
      return Status();
    }
    LeafPtr right, after;
    if (!ReadLeaf(step.node->children[step.index + 1], &right).IsOK() ||
        WouldSplit(leaf->bytes + right->bytes - kPageHeaderBytes,
                   leaf->size() + right->size()) ||
        (right->next != 0 && !ReadLeaf(right->next, &after).IsOK())) {
      return Status();
    }
    for (size_t i = 0; i < right->size(); i++) {
      leaf->Append(right->Key(i), right->Value(i));
    }
    right->Clear();
    path->back().index = step.index + 1;
    RemoveChild(path, right, leaf.get(), after.get());
    return Status();
  }

  // Finds |key|, runs |proc| and applies its answer.
  Status ProcessLocked(std::string_view key, RecordProcessor* proc, bool writable) {
    TreePath path;
    LeafPtr leaf;
    Status status = FindLeaf(key, writable ? &path : nullptr, &leaf);
    if (!status.IsOK()) {
      return status;
    }
    const size_t index = LowerIndex(*leaf, key, false);
    if (index < leaf->size() && comparator(leaf->Key(index), key) == 0) {
      const std::string_view value = leaf->Value(index);
      const std::string_view answer =
          CallProcessor(proc, leaf->Key(index), &value, writable, &status);
      if (answer.data() == RecordProcessor::NOOP.data()) {
        return status;
      }
      if (answer.data() == RecordProcessor::REMOVE.data()) {
        status |= RemoveAt(leaf, index, &path);
      } else {
        status |= UpdateAt(leaf.get(), index, &path, answer);
      }
      return status;
    }
    const std::string_view answer = CallProcessor(proc, key, nullptr, writable, &status);
    if (!IsMarker(answer)) {
      status |= InsertAt(leaf.get(), index, &path, key, answer);
    }
    return status;
  }

  // Runs |op| under the tree lock (exclusive for a writer) once the database
  // is open and, for a writer, writable; a writer clears the clean flag first
  // and may flush after. A failed allocation is SYSTEM_ERROR.
  template <typename Op>
  Status RunOp(bool writer, Op op) {
    std::unique_lock<std::shared_mutex> unique(mutex, std::defer_lock);
    std::shared_lock<std::shared_mutex> shared(mutex, std::defer_lock);
    if (writer) {
      unique.lock();
    } else {
      shared.lock();
    }
    if (!open) {
      return ClosedStatus();
    }
    if (writer && !writable) {
      return ReadOnlyStatus();
    }
    try {
      if (!writer) {
        return op();
      }
      version++;
      // No reader can be inside: the cache skips its own mutex meanwhile.
      struct ExclusiveScope {
        explicit ExclusiveScope(PageCache* c) : cache(c) { cache->SetExclusive(true); }
        ~ExclusiveScope() { cache->SetExclusive(false); }
        PageCache* cache;
      } exclusive(&cache);
      Status status = BeginWrite();
      if (!status.IsOK()) {
        return status;
      }
      status = op();
      status |= EndWrite();
      return status;
    } catch (const std::bad_alloc&) {
      return Status(Status::SYSTEM_ERROR, "memory allocation failed");
    }
  }

  // Opening and rebuilding -----------------------------------------------------

  // Reads the metadata record into |meta| and checks the comparator.
  // NOT_FOUND_ERROR when there is none.
  Status LoadMeta() {
    std::string data;
    Status status = hdb->Get(kMetaKey, &data);
    if (!status.IsOK()) {
      return status;
    }
    Meta loaded;
    if (!DecodeMeta(data, &loaded)) {
      return Status(Status::BROKEN_DATA_ERROR, "damaged tree metadata");
    }
    const KeyComparator recorded = GetKeyComparatorByName(loaded.comparator);
    if (recorded == nullptr) {
      return Status(Status::BROKEN_DATA_ERROR,
                    "unknown recorded key comparator: " + loaded.comparator);
    }
    if (!params.comparator.empty() && params.comparator != loaded.comparator) {
      return Status(Status::INVALID_ARGUMENT_ERROR,
                    "the database was made with " + loaded.comparator + ", not " +
                        params.comparator);
    }
    comparator.Set(recorded);
    meta = loaded;
    meta_clean_on_disk = meta.clean;
    return Status();
  }

  Status OpenInner(int32_t open_options) {
    hdb = std::make_unique<HashDBM>();
    return hdb->OpenAdvanced(path, writable, open_options, params.hash_params);
  }

  // Writes a new tree built by |feed| (which calls the builder with records in
  // order) into a new file and puts it in place of the current one, which
  // must be flushed. The tree is then reopened from the new file.
  template <typename Feed>
  Status ReplaceWithBuilt(const ParamMap& new_hash_params, Feed feed) {
    const std::string tmp_path = path + ".tmp.rebuild";
    auto built = std::make_unique<HashDBM>();
    Status status = built->OpenAdvanced(
        tmp_path, true, File::OPEN_TRUNCATE | (options & ~File::OPEN_NO_CREATE), new_hash_params);
    if (!status.IsOK()) {
      return status;
    }
    TreeBuilder builder(built.get(), params);
    status = feed(&builder);
    if (status.IsOK()) {
      status = builder.Finish(GetKeyComparatorName(comparator.comparator()));
    }
    if (status.IsOK()) {
      status = built->Synchronize(true);
    }
    // The new file is renamed over the old one while both stay open and
    // locked, so that no other opener can take the path in between: an
    // opener waiting on the old file finds the path naming the new one,
    // locked by the new handle, which becomes the inner database. A failure
    // up to the rename leaves the old database open as it was.
    if (status.IsOK() && std::rename(tmp_path.c_str(), path.c_str()) != 0) {
      status = Status(Status::SYSTEM_ERROR, "rename failed: " + path);
    }
    if (!status.IsOK()) {
      built->Close();
      std::remove(tmp_path.c_str());
      return status;
    }
    SyncDirectory(path);
    status = hdb->Close();
    hdb = std::move(built);
    cache.Clear();
    removed_ids.clear();
    status |= LoadMeta();
    return status;
  }

  // Rebuilds the tree from the leaves found in the file (after a crash).
  Status RebuildFromLeaves() {
    LeafRecordMap records{ComparatorLess{comparator.comparator()}};
    const Status status = CollectLeafRecords(hdb.get(), &records);
    if (!status.IsOK()) {
      return status;
    }
    return ReplaceWithBuilt(params.hash_params, [&](TreeBuilder* builder) {
      for (const auto& rec : records) {
        const Status added = builder->Add(rec.first, rec.second.second);
        if (!added.IsOK()) {
          return added;
        }
      }
      return Status();
    });
  }

  // Inspect items of the inner database worth showing.
  void AddInnerItems(std::vector<std::pair<std::string, std::string>>* result) {
    for (auto& item : hdb->Inspect()) {
      if (item.first == "num_buckets" || item.first == "align_pow" ||
          item.first == "update_mode" || item.first == "record_crc_mode" ||
          item.first == "file_size" || item.first == "restore_mode") {
        result->push_back(std::move(item));
      }
    }
  }
};

namespace {

// The iterator knows its place by key. Moving forward also reads the records
// from there on into a batch, stamped with the tree's write count: while no
// write happened since, Next, Get and StepReadAhead serve from the batch
// without a descent. Any write makes the batch stale, and the iterator goes
// back to finding its key in the tree.
class TreeIterator final : public DBM::Iterator {
 public:
  explicit TreeIterator(std::shared_ptr<TreeDBM::Impl> impl) : impl_(std::move(impl)) {}

  Status First() override {
    return impl_->RunOp(false, [&] {
      LeafPtr leaf;
      const Status status = impl_->EdgeLeaf(false, &leaf);
      if (!status.IsOK()) {
        Unplace();
        return status;
      }
      return FillFrom(std::move(leaf), 0);
    });
  }

  Status Last() override {
    return PlaceOne([&](std::string* key) { return impl_->EdgeKey(true, key); });
  }

  Status Jump(std::string_view key) override { return JumpUpper(key, true); }

  Status JumpLower(std::string_view key, bool inclusive) override {
    return PlaceOne([&](std::string* found) { return impl_->FindLower(key, inclusive, found); });
  }

  Status JumpUpper(std::string_view key, bool inclusive) override {
    return impl_->RunOp(false, [&] { return FillUpper(key, !inclusive); });
  }

  // Both move from the stored key, whether or not its record still exists, so
  // a record removed by another thread never makes them skip its neighbour.
  Status Next() override {
    return impl_->RunOp(false, [&] {
      if (!placed_) {
        return Status(Status::NOT_FOUND_ERROR);
      }
      if (BatchFresh()) {
        if (batch_.pos() + 1 < batch_.size()) {
          batch_.Advance();
          key_ = batch_.Key(batch_.pos());
          return Status();
        }
        if (batch_at_end_) {
          Unplace();
          return Status();
        }
      }
      const std::string from = key_;
      return FillUpper(from, true);
    });
  }

  Status Previous() override {
    if (!placed_) {
      return Unplaced();
    }
    const std::string from = key_;
    return PlaceOne([&](std::string* key) { return impl_->FindLower(from, false, key); });
  }

  Status Process(DBM::RecordProcessor* proc, bool writable) override {
    if (!writable) {
      // Reading finds the record in one descent: the current key, or the next
      // one if it was removed meanwhile.
      return impl_->RunOp(false, [&] {
        if (!placed_) {
          return Status(Status::NOT_FOUND_ERROR);
        }
        Status status;
        if (BatchFresh()) {
          const std::string_view value = batch_.Value(batch_.pos());
          CallProcessor(proc, batch_.Key(batch_.pos()), &value, false, &status);
          return status;
        }
        LeafPtr leaf;
        size_t index = 0;
        status = impl_->FindUpperRecord(key_, false, &leaf, &index);
        if (status == Status::NOT_FOUND_ERROR) {
          Unplace();
        }
        if (!status.IsOK()) {
          return status;
        }
        if (impl_->comparator(leaf->Key(index), key_) != 0) {
          key_ = leaf->Key(index);
        }
        const std::string_view value = leaf->Value(index);
        CallProcessor(proc, leaf->Key(index), &value, false, &status);
        return status;
      });
    }
    return impl_->RunOp(true, [&] {
      batch_.Clear();
      Status status = Resolve();
      if (!status.IsOK()) {
        return status;
      }
      status = impl_->ProcessLocked(key_, proc, writable);
      // A removed record leaves the iterator on the next one at once, so that
      // a following Next moves past that one.
      const Status resolved = Resolve();
      if (!resolved.IsOK() && resolved != Status::NOT_FOUND_ERROR) {
        status |= resolved;
      }
      return status;
    });
  }

  // Serves the current record from the batch when no write happened since it
  // was read. The last entry of a batch that did not reach the end is not
  // served: what follows it is not known without a descent.
  bool StepReadAhead(std::string_view* key, std::string_view* value) override {
    std::shared_lock lock(impl_->mutex, std::try_to_lock);
    if (!lock.owns_lock() || !impl_->open || !placed_ || !BatchFresh()) {
      return false;
    }
    const size_t pos = batch_.pos();
    if (pos + 1 >= batch_.size() && !batch_at_end_) {
      return false;
    }
    *key = batch_.Key(pos);
    *value = batch_.Value(pos);
    batch_.Advance();
    if (batch_.AtRecord()) {
      key_ = batch_.Key(batch_.pos());
    } else {
      // The views stay valid: the batch is kept until the next call.
      placed_ = false;
    }
    return true;
  }

 private:
  Status Unplaced() {
    std::shared_lock lock(impl_->mutex);
    return impl_->open ? Status(Status::NOT_FOUND_ERROR) : ClosedStatus();
  }

  void Unplace() {
    placed_ = false;
    key_.clear();
    batch_.Clear();
  }

  // Whether the batch holds the current record as the tree has it now.
  bool BatchFresh() const {
    return batch_.AtRecord() && batch_version_ == impl_->version;
  }

  // Places the iterator on the record at |index| of |leaf| (past its end: the
  // next leaf's first) and reads the records from there into the batch. The
  // lock is held.
  Status FillFrom(LeafPtr leaf, size_t index) {
    batch_.Clear();
    batch_at_end_ = false;
    int64_t visited = 0;
    while (true) {
      for (; index < leaf->size(); index++) {
        if (batch_.Full()) {
          return PlaceOnBatch();
        }
        batch_.Add(leaf->Key(index), leaf->Value(index));
      }
      if (leaf->next == 0) {
        break;
      }
      if (++visited > impl_->meta.next_id) {
        Unplace();
        return Status(Status::BROKEN_DATA_ERROR, "the leaf chain has a cycle");
      }
      const Status status = impl_->Neighbour(leaf->next, &leaf);
      if (!status.IsOK()) {
        if (batch_.empty()) {
          Unplace();
          return status;
        }
        // The records read so far are served; the failure shows at the move
        // past them.
        return PlaceOnBatch();
      }
      index = 0;
    }
    batch_at_end_ = true;
    return PlaceOnBatch();
  }

  Status PlaceOnBatch() {
    batch_version_ = impl_->version;
    if (batch_.empty()) {
      Unplace();
      return Status();
    }
    placed_ = true;
    key_ = batch_.Key(0);
    return Status();
  }

  // Places the iterator on the first key >= |from| (> when |strict|) with a
  // batch from there. The lock is held.
  Status FillUpper(std::string_view from, bool strict) {
    LeafPtr leaf;
    Status status = impl_->FindLeaf(from, nullptr, &leaf);
    if (!status.IsOK()) {
      Unplace();
      return status;
    }
    const size_t index = impl_->LowerIndex(*leaf, from, strict);
    return FillFrom(std::move(leaf), index);
  }

  // Runs |find| under the shared lock and stands on the key it gives, with no
  // batch; no key leaves the iterator unplaced, which is not a failure of the
  // move.
  template <typename Find>
  Status PlaceOne(Find find) {
    return impl_->RunOp(false, [&] {
      std::string key;
      const Status status = find(&key);
      batch_.Clear();
      if (status.IsOK()) {
        placed_ = true;
        key_ = std::move(key);
        return status;
      }
      Unplace();
      return status == Status::NOT_FOUND_ERROR ? Status() : status;
    });
  }

  // Moves the stored key to the first existing key >= it (the lock is held).
  Status Resolve() {
    if (!placed_) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    std::string key;
    const Status status = impl_->FindUpper(key_, false, &key);
    if (status.IsOK()) {
      key_ = std::move(key);
    } else if (status == Status::NOT_FOUND_ERROR) {
      Unplace();
    }
    return status;
  }

  std::shared_ptr<TreeDBM::Impl> impl_;
  bool placed_ = false;
  std::string key_;
  // The records from the current one on, as read at |batch_version_|, and
  // whether they reach the last record.
  RecordBatch batch_;
  uint64_t batch_version_ = 0;
  bool batch_at_end_ = false;
};

}  // namespace

TreeDBM::TreeDBM() : impl_(std::make_shared<Impl>()) {}

TreeDBM::~TreeDBM() {
  if (IsOpen()) {
    Close();
  }
}

Status TreeDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                             const ParamMap& params) {
  Impl* impl = impl_.get();
  std::unique_lock lock(impl->mutex);
  if (impl->open) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  if (path.empty()) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "a tree database needs a file path");
  }
  TreeParams tree_params;
  Status status = ParseTreeParams(params, &tree_params);
  if (!status.IsOK()) {
    return status;
  }
  impl->params = tree_params;
  impl->path = path;
  impl->options = options;
  impl->writable = writable;
  impl->meta = Meta();
  impl->cache.Clear();
  impl->cache.SetCapacity(impl->CacheCapacity());
  impl->removed_ids.clear();
  impl->comparator.Set(tree_params.comparator.empty()
                           ? LexicalKeyComparator
                           : GetKeyComparatorByName(tree_params.comparator));
  const bool restore =
      StrLowerCase(SearchMap(tree_params.hash_params, "restore_mode", "default")) != "noop";
  try {
    // The inner database is first opened as it is, to learn whether it was
    // closed cleanly: once it restored itself that is no longer visible, and
    // a restored file may hold pages newer than a metadata record that still
    // says clean. An unclean one is then reopened to restore it.
    bool healthy = true;
    if (writable && restore) {
      impl->params.hash_params["restore_mode"] = "noop";
      status = impl->OpenInner(options);
      impl->params.hash_params = tree_params.hash_params;
      if (status.IsOK() && !impl->hdb->IsHealthy()) {
        healthy = false;
        status = impl->hdb->Close();
        if (status.IsOK()) {
          status = impl->OpenInner(options & ~File::OPEN_TRUNCATE);
        }
      }
    } else {
      status = impl->OpenInner(options);
      if (status.IsOK()) {
        healthy = impl->hdb->IsHealthy();
      }
    }
    if (!status.IsOK()) {
      impl->hdb.reset();
      return status;
    }
    status = impl->LoadMeta();
    if (status == Status::NOT_FOUND_ERROR) {
      if (impl->hdb->CountSimple() != 0) {
        status = Status(Status::BROKEN_DATA_ERROR, "not a tree database: no metadata record");
      } else {
        // A new database: one empty leaf, written at once when writable.
        impl->InitEmptyTree();
        status = writable ? impl->Flush() : Status();
        if (status.IsOK() && writable) {
          status = impl->WriteMeta(true);
        }
      }
    } else if (status.IsOK() && !impl->meta.clean) {
      healthy = false;
    }
    if (status.IsOK() && !healthy && writable && restore) {
      status = impl->RebuildFromLeaves();
      healthy = status.IsOK();
    }
    if (!status.IsOK()) {
      if (impl->hdb->IsOpen()) {
        impl->hdb->Close();
      }
      impl->hdb.reset();
      impl->cache.Clear();
      return status;
    }
    impl->healthy = healthy;
  } catch (const std::bad_alloc&) {
    impl->hdb.reset();
    impl->cache.Clear();
    return Status(Status::SYSTEM_ERROR, "memory allocation failed");
  }
  impl->open = true;
  return Status();
}

Status TreeDBM::Close() {
  Impl* impl = impl_.get();
  std::unique_lock lock(impl->mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  Status status;
  if (impl->writable) {
    status = impl->Flush();
    // An unhealthy database stays marked as not cleanly closed; one that was
    // not written since it was last marked clean is left untouched.
    if (status.IsOK() && impl->healthy && !impl->meta_clean_on_disk) {
      status = impl->WriteMeta(true);
    }
  }
  status |= impl->hdb->Close();
  impl->cache.Clear();
  impl->removed_ids.clear();
  impl->open = false;
  return status;
}

Status TreeDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunOp(writable, [&] { return impl->ProcessLocked(key, proc, writable); });
}

Status TreeDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunOp(writable, [&] {
    std::string key;
    Status status = impl->EdgeKey(false, &key);
    if (status == Status::NOT_FOUND_ERROR) {
      Status ignored;
      CallProcessor(proc, "", nullptr, false, &ignored);
      return status;
    }
    if (!status.IsOK()) {
      return status;
    }
    return impl->ProcessLocked(key, proc, writable);
  });
}

Status TreeDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  Impl* impl = impl_.get();
  // The one tree lock covers every key, so the whole batch is atomic.
  return impl->RunOp(writable, [&] {
    Status status;
    for (const auto& pair : key_proc_pairs) {
      status |= impl->ProcessLocked(pair.first, pair.second, writable);
    }
    return status;
  });
}

Status TreeDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunOp(writable, [&] {
    Status status;
    LeafPtr leaf;
    Status walk = impl->EdgeLeaf(false, &leaf);
    // Removals are applied after the walk, so the walk never runs over a leaf
    // that a merge has just dropped. Updates change values in place.
    std::vector<std::string> removals;
    int64_t visited = 0;
    while (walk.IsOK()) {
      for (size_t i = 0; i < leaf->size(); i++) {
        const std::string_view value = leaf->Value(i);
        const std::string_view answer =
            CallProcessor(proc, leaf->Key(i), &value, writable, &status);
        if (answer.data() == RecordProcessor::NOOP.data()) {
          continue;
        }
        if (answer.data() == RecordProcessor::REMOVE.data()) {
          removals.emplace_back(leaf->Key(i));
        } else {
          impl->Touch(leaf.get());
          leaf->SetValue(i, answer);
        }
      }
      if (leaf->next == 0) {
        break;
      }
      if (++visited > impl->meta.next_id) {
        walk = Status(Status::BROKEN_DATA_ERROR, "the leaf chain has a cycle");
        break;
      }
      if (writable && impl->NeedsFlush()) {
        walk = impl->Flush();
        if (!walk.IsOK()) {
          break;
        }
      }
      walk = impl->Neighbour(leaf->next, &leaf);
    }
    status |= walk;
    for (const auto& key : removals) {
      RecordProcessorRemove remover(&status, nullptr);
      status |= impl->ProcessLocked(key, &remover, true);
    }
    return status;
  });
}

Status TreeDBM::Count(int64_t* count) {
  return impl_->RunOp(false, [&] {
    *count = impl_->meta.num_records;
    return Status();
  });
}

Status TreeDBM::GetFileSize(int64_t* size) {
  return impl_->RunOp(false, [&] { return impl_->hdb->GetFileSize(size); });
}

Status TreeDBM::GetFilePath(std::string* path) {
  // The path of the open, which the inner database of a rebuilt file does not
  // know (it was made under a temporary name).
  return impl_->RunOp(false, [&] {
    *path = impl_->path;
    return Status();
  });
}

Status TreeDBM::GetTimestamp(double* timestamp) {
  return impl_->RunOp(false, [&] { return impl_->hdb->GetTimestamp(timestamp); });
}

Status TreeDBM::Clear() {
  Impl* impl = impl_.get();
  return impl->RunOp(true, [impl] {
    Status status = impl->hdb->Clear();
    if (!status.IsOK()) {
      return status;
    }
    impl->meta_clean_on_disk = false;
    impl->InitEmptyTree();
    status = impl->Flush();
    if (status.IsOK()) {
      status = impl->WriteMeta(false);
    }
    return status;
  });
}

Status TreeDBM::RebuildAdvanced(const ParamMap& params) {
  Impl* impl = impl_.get();
  return impl->RunOp(true, [&] {
    TreeParams new_params;
    Status status = ParseTreeParams(params, &new_params);
    if (!status.IsOK()) {
      return status;
    }
    if (!new_params.comparator.empty() &&
        new_params.comparator != GetKeyComparatorName(impl->comparator.comparator())) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "the key comparator cannot change");
    }
    status = impl->Flush();
    if (!status.IsOK()) {
      return status;
    }
    // The tuning given now joins that of the open; the bucket count fits the
    // pages unless given.
    ParamMap hash_params = impl->params.hash_params;
    for (const auto& [name, value] : new_params.hash_params) {
      hash_params[name] = value;
    }
    if (params.count("num_buckets") == 0) {
      const int64_t num_pages = impl->meta.num_leaves + impl->meta.num_inners;
      hash_params["num_buckets"] = std::to_string(std::max<int64_t>(num_pages * 2, 1021));
    }
    if (params.count("max_page_size") != 0) {
      impl->params.max_page_size = new_params.max_page_size;
    }
    if (params.count("max_branches") != 0) {
      impl->params.max_branches = new_params.max_branches;
    }
    if (params.count("max_cached_pages") != 0) {
      impl->params.max_cached_pages = new_params.max_cached_pages;
      impl->cache.SetCapacity(impl->CacheCapacity());
    }
    // The walk reads the current file while the builder writes the new one.
    status = impl->ReplaceWithBuilt(hash_params, [&](TreeBuilder* builder) {
      LeafPtr leaf;
      Status walk = impl->EdgeLeaf(false, &leaf);
      int64_t visited = 0;
      while (walk.IsOK()) {
        for (size_t i = 0; i < leaf->size(); i++) {
          walk = builder->Add(leaf->Key(i), leaf->Value(i));
          if (!walk.IsOK()) {
            return walk;
          }
        }
        if (leaf->next == 0) {
          break;
        }
        if (++visited > impl->meta.next_id) {
          return Status(Status::BROKEN_DATA_ERROR, "the leaf chain has a cycle");
        }
        walk = impl->Neighbour(leaf->next, &leaf);
      }
      return walk;
    });
    if (status.IsOK()) {
      impl->params.hash_params = hash_params;
      // The rebuilt file is whole; the next write marks it unclean again.
      impl->healthy = true;
    } else if (impl->hdb == nullptr || !impl->hdb->IsOpen()) {
      impl->open = false;
    }
    return status;
  });
}

Status TreeDBM::ShouldBeRebuilt(bool* tobe) {
  return impl_->RunOp(false, [&] { return impl_->hdb->ShouldBeRebuilt(tobe); });
}

Status TreeDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  Impl* impl = impl_.get();
  std::unique_lock lock(impl->mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  if (impl->writable) {
    const Status status = impl->FlushWithMeta();
    if (!status.IsOK()) {
      return status;
    }
  }
  return impl->hdb->SynchronizeAdvanced(hard, proc, params);
}

Status TreeDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  Impl* impl = impl_.get();
  std::unique_lock lock(impl->mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  if (impl->writable) {
    // The copy must hold every page and say clean, so the file is made so first.
    const Status status = impl->FlushWithMeta();
    if (!status.IsOK()) {
      return status;
    }
  }
  return impl->hdb->CopyFileData(dest_path, sync_hard);
}

std::vector<std::pair<std::string, std::string>> TreeDBM::Inspect() {
  Impl* impl = impl_.get();
  std::shared_lock lock(impl->mutex);
  std::vector<std::pair<std::string, std::string>> result;
  result.emplace_back("class", "TreeDBM");
  result.emplace_back("path", impl->path);
  if (!impl->open) {
    result.emplace_back("num_records", "-1");
    result.emplace_back("healthy", "false");
    return result;
  }
  const Meta& meta = impl->meta;
  result.emplace_back("num_records", std::to_string(meta.num_records));
  result.emplace_back("healthy", impl->healthy ? "true" : "false");
  result.emplace_back("key_comparator", GetKeyComparatorName(impl->comparator.comparator()));
  result.emplace_back("max_page_size", std::to_string(impl->params.max_page_size));
  result.emplace_back("max_branches", std::to_string(impl->params.max_branches));
  result.emplace_back("max_cached_pages", std::to_string(impl->params.max_cached_pages));
  result.emplace_back("tree_level", std::to_string(meta.level));
  result.emplace_back("num_leaf_pages", std::to_string(meta.num_leaves));
  result.emplace_back("num_inner_pages", std::to_string(meta.num_inners));
  result.emplace_back("root_id", std::to_string(meta.root_id));
  result.emplace_back("num_cached_pages", std::to_string(impl->cache.Size()));
  result.emplace_back("num_dirty_pages", std::to_string(impl->cache.NumDirty()));
  result.emplace_back("cache_hits", std::to_string(impl->cache.Hits()));
  result.emplace_back("cache_misses", std::to_string(impl->cache.Misses()));
  impl->AddInnerItems(&result);
  return result;
}

bool TreeDBM::IsOpen() const {
  std::shared_lock lock(impl_->mutex);
  return impl_->open;
}

bool TreeDBM::IsWritable() const {
  std::shared_lock lock(impl_->mutex);
  return impl_->open && impl_->writable;
}

bool TreeDBM::IsHealthy() const {
  std::shared_lock lock(impl_->mutex);
  return impl_->open && impl_->healthy;
}

bool TreeDBM::IsOrdered() const {
  return true;
}

std::unique_ptr<DBM::Iterator> TreeDBM::MakeIterator() {
  return std::make_unique<TreeIterator>(impl_);
}

std::unique_ptr<DBM> TreeDBM::MakeDBM() const {
  return std::make_unique<TreeDBM>();
}

bool TreeDBM::IsTreeDBMFile(const std::string& path) {
  HashDBM dbm;
  if (!dbm.OpenAdvanced(path, false, File::OPEN_NO_LOCK, {{"restore_mode", "noop"}}).IsOK()) {
    return false;
  }
  std::string data;
  const bool found = dbm.Get(kMetaKey, &data).IsOK();
  dbm.Close();
  return found;
}

Status TreeDBM::RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                int64_t end_offset, const ParamMap& params) {
  TreeParams tree_params;
  Status status = ParseTreeParams(params, &tree_params);
  if (!status.IsOK()) {
    return status;
  }
  // The inner database first, into a temporary file beside the new one.
  const std::string hash_path = new_path + ".tmp.restore";
  status = HashDBM::RestoreDatabase(old_path, hash_path, end_offset, tree_params.hash_params);
  if (!status.IsOK()) {
    std::remove(hash_path.c_str());
    return status;
  }
  HashDBM restored;
  status = restored.Open(hash_path, false);
  if (!status.IsOK()) {
    std::remove(hash_path.c_str());
    return status;
  }
  std::string comparator_name = tree_params.comparator;
  std::string meta_data;
  Meta meta;
  if (restored.Get(kMetaKey, &meta_data).IsOK() && DecodeMeta(meta_data, &meta) &&
      GetKeyComparatorByName(meta.comparator) != nullptr) {
    comparator_name = meta.comparator;
  }
  if (comparator_name.empty()) {
    comparator_name = GetKeyComparatorName(LexicalKeyComparator);
  }
  LeafRecordMap records{ComparatorLess{GetKeyComparatorByName(comparator_name)}};
  try {
    status = CollectLeafRecords(&restored, &records);
  } catch (const std::bad_alloc&) {
    status = Status(Status::SYSTEM_ERROR, "memory allocation failed");
  }
  restored.Close();
  std::remove(hash_path.c_str());
  if (!status.IsOK()) {
    return status;
  }
  HashDBM dest;
  ParamMap dest_params = tree_params.hash_params;
  if (params.count("num_buckets") == 0) {
    const int64_t num_pages =
        static_cast<int64_t>(records.size()) / 32 + 1;  // a rough page count
    dest_params["num_buckets"] = std::to_string(std::max<int64_t>(num_pages * 2, 1021));
  }
  status = dest.OpenAdvanced(new_path, true, File::OPEN_TRUNCATE, dest_params);
  if (!status.IsOK()) {
    return status;
  }
  TreeBuilder builder(&dest, tree_params);
  for (const auto& rec : records) {
    status = builder.Add(rec.first, rec.second.second);
    if (!status.IsOK()) {
      break;
    }
  }
  if (status.IsOK()) {
    status = builder.Finish(comparator_name);
  }
  status |= dest.Close();
  return status;
}

}  // namespace morvel
