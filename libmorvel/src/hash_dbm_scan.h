// Walks over the record region of a hash database in file order: the place of
// a walk, what writers did around it, and the reading of a batch. Private to
// the hash database sources.
//
// A walk reads the records in the order they lie in the file, a large
// window at a time, instead of following the buckets, whose records lie all
// over the file. In the in-place mode of a healthy database every record
// that is not a free block is a live record, so this reads each record once.
// A walk keeps its meaning while others write between its batches: a writer
// that moves a record across the walk's position, or frees one ahead of it,
// tells the walk (under the record's stripe and the scan mutex):
//
//   - a record already read that moves ahead of the position is skipped
//     there (its new offset is in |skip|);
//   - a record not yet read that moves behind the position is handed out
//     from |owed| (at the value it had then);
//   - a free or stale block ahead of the position leaves |skip|, or (in the
//     appending mode, where old versions stay in the file) joins it.
//
// So a record present throughout the walk is handed out exactly once. A
// Rebuild keeps that too: it copies the records the first registered walk has
// handed out first, so that the walk goes on from the end of those in the new
// file; other walks get the new offsets of what they have read as |skip|.

#ifndef MORVEL_HASH_DBM_SCAN_H_
#define MORVEL_HASH_DBM_SCAN_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace morvel {
namespace hashdbm {

struct ScanCursor {
  // Every record before this offset has been read.
  int64_t pos = 0;
  // Offsets at or after |pos| not to hand out: records already read that
  // moved there, and stale versions of the appending mode.
  std::unordered_set<int64_t> skip;
  // Records not read yet that moved behind |pos|: key to value.
  std::unordered_map<std::string, std::string> owed;

  // Whether the record of |key| at |off| has been handed out.
  bool Seen(int64_t off, std::string_view key) const {
    return skip.count(off) > 0 ||
           (off < pos && (owed.empty() || owed.count(std::string(key)) == 0));
  }
  void Reset(int64_t new_pos) {
    pos = new_pos;
    skip.clear();
    owed.clear();
  }
};

}  // namespace hashdbm
}  // namespace morvel

#endif  // MORVEL_HASH_DBM_SCAN_H_
