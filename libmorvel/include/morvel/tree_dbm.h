// TreeDBM: the persistent ordered database. A B+ tree whose leaf and inner
// pages are records of an inner HashDBM in the same file (the page id as an
// 8-byte big-endian key), with a bounded cache of decoded pages. Keys are
// ordered by a key comparator whose name is recorded in the file.
//
// Safe to call from several threads at once: one reader-writer lock guards the
// tree (readers share it, writers hold it exclusively). Iterators remember
// their place by key, so they stay valid while other threads write. Moving
// forward reads the records ahead into the iterator; while nothing was
// written since, Next, Get and StepReadAhead serve from there.
//
// Records have no size limit: a page holds at least one record, so a record
// larger than "max_page_size" makes a page of its own, larger than that limit.
//
// Parameters: "key_comparator" (a name of key_comparators.h; default
// LexicalKeyComparator; reopening with another one is INVALID_ARGUMENT_ERROR,
// leaving it out takes the recorded one), "max_page_size" (8130 bytes),
// "max_branches" (256 children of an inner page), "max_cached_pages" (65536;
// the resident memory is about that many pages of records),
// plus those of the inner HashDBM ("num_buckets", "align_pow", "update_mode",
// "record_crc_mode", "restore_mode", "file", ...).
//
// Inspect adds "key_comparator", the tuning values, "tree_level" (the depth),
// "num_leaf_pages", "num_inner_pages", "num_cached_pages", "cache_hits" and
// "cache_misses", and the inner database's tuning and "file_size".
//
// Durability: changed pages stay in the page cache until it is full (more
// pages than "max_cached_pages", half of them changed), Synchronize, Rebuild
// or Close, so GetFileSize may lag behind the changes. A change is durable
// once a later Synchronize, Rebuild or Close has returned OK. If the process
// dies, each record is found on reopen as of the last of those, or with a
// value it was given after it (a removal after it may be undone, and some
// later changes may be there while others are not); a record is never lost
// nor older than that.
//
// A database that was not closed cleanly is detected at open (IsHealthy false);
// opened writable it is restored: the inner database restores its own file,
// then the tree is rebuilt from the leaves that survived ("restore_mode"
// "noop" opens it as it is).
//
// Rebuild writes a new file and renames it over the old one; the file stays
// locked throughout, so no other opener gets in between.

#ifndef MORVEL_TREE_DBM_H_
#define MORVEL_TREE_DBM_H_

#include <memory>
#include <string>
#include <string_view>

#include "morvel/dbm.h"
#include "morvel/key_comparators.h"

namespace morvel {

class TreeDBM final : public DBM {
 public:
  TreeDBM();
  ~TreeDBM() override;
  MORVEL_DBM_OVERRIDES
  using DBM::Process;
  using DBM::ProcessEach;

  // Whether the database file at |path| is a tree database: a hash database
  // file holding the tree's metadata record. Reads the file without locking it.
  static bool IsTreeDBMFile(const std::string& path);

  // Reads the damaged or uncleanly closed database at |old_path| and writes a
  // whole new one at |new_path|, tuned by |params|: the inner hash database is
  // restored first (|end_offset| -1 reads to the end, a positive value stops
  // there), then the tree is rebuilt from its surviving leaves, the newest
  // copy of each key winning. The comparator is the recorded one, else
  // "key_comparator" of |params|, else the lexical one.
  static Status RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                int64_t end_offset, const ParamMap& params);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace morvel

#endif  // MORVEL_TREE_DBM_H_
