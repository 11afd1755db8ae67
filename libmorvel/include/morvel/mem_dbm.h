// The memory databases.
//
// TinyDBM: a hash table with striped locks; unordered.
// BabyDBM: a B+ tree under a reader-writer lock; ordered by its key comparator.
// CacheDBM: a hash table that evicts the least recently used records to stay
// within its capacities; unordered.
//
// All are safe to call from several threads at once. Given a non-empty path,
// a memory database holds that file open and locked from Open to Close: it
// loads the file (flat records) at Open if it exists (a missing file opened
// read-only or with OPEN_NO_CREATE is NOT_FOUND_ERROR; OPEN_TRUNCATE drops the
// old content) and, when writable, writes all records to it at Synchronize and
// Close through a temporary file, locked, synced and renamed over the old one,
// so the file is always whole. The file has its exact size and ends with a
// checksum of its content. A damaged or unfinished file is BROKEN_DATA_ERROR
// when opened read-only; opened writable, every whole record before the damage
// is kept and the file is written again at once. Files without a checksum,
// from before it was added, load as they are.
//
// CopyFileData writes a whole file under the destination's lock: the
// database's own file, under any name, is INVALID_ARGUMENT_ERROR, and the file
// of a database open in this process is INFEASIBLE_ERROR.

#ifndef MORVEL_MEM_DBM_H_
#define MORVEL_MEM_DBM_H_

#include <memory>
#include <string>

#include "morvel/dbm.h"
#include "morvel/key_comparators.h"

namespace morvel {

// Parameters: "num_buckets", the initial bucket count (default 1048583),
// rounded up to a multiple of 32. The table grows as records are added: each
// 1/32 share of it doubles its buckets when its records outnumber them, which
// pauses only the writers and readers of that share, for one rehash of it.
// Rebuild sets the count again ("num_buckets", or twice the record count).
class TinyDBM final : public DBM {
 public:
  explicit TinyDBM(int64_t num_buckets = -1);
  ~TinyDBM() override;
  MORVEL_DBM_OVERRIDES
  using DBM::Process;
  using DBM::ProcessEach;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// Parameters: "key_comparator" (a name of key_comparators.h; default
// LexicalKeyComparator).
class BabyDBM final : public DBM {
 public:
  explicit BabyDBM(KeyComparator comparator = LexicalKeyComparator);
  ~BabyDBM() override;
  MORVEL_DBM_OVERRIDES
  using DBM::Process;
  using DBM::ProcessEach;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// Parameters: "cap_rec_num" (the most records held; default 1048576; 0 is no
// limit) and "cap_mem_size" (the most bytes held, counted as the sizes of the
// keys and values plus 64 bytes a record; default 0, no limit). Writing a
// record evicts the least recently used others until both capacities hold; a
// record that alone exceeds "cap_mem_size" is refused with INFEASIBLE_ERROR.
// Every access to a record through the database (Get, Set, Process, ...)
// makes it the most recently used; walks (ProcessEach, iterators) do not.
// Iterators and ProcessFirst visit the records in the order they were added.
class CacheDBM final : public DBM {
 public:
  CacheDBM();
  ~CacheDBM() override;
  MORVEL_DBM_OVERRIDES
  using DBM::Process;
  using DBM::ProcessEach;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

// Restores a memory database file: reads the records of |old_path| up to the
// first damaged frame (or |end_offset| when positive) and writes them to a
// new, whole file at |new_path|.
Status RestoreMemoryDatabaseFile(const std::string& old_path, const std::string& new_path,
                                 int64_t end_offset);

}  // namespace morvel

#endif  // MORVEL_MEM_DBM_H_
