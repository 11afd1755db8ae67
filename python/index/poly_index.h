// PolyIndex: a secondary index, a multimap from keys to values (both any
// bytes), kept in one ordered engine database.
//
// Each (key, value) pair is one record whose key is SerializeStrPair(key,
// value) and whose value is empty. The database is opened with the pair
// comparator, which orders composites by key part, then value part, so the
// values of one key form one contiguous run that a single positioned scan
// reads. The composite of (key, "") sorts first in its run.
//
// The store takes no lock and knows nothing of Python: it is as safe for
// concurrent use as its ordered database (every class the engine has is safe
// for concurrent calls, and Close may race with them: they then fail with
// PRECONDITION_ERROR). Open must not race with any other call.

#ifndef MORVEL_PYTHON_INDEX_POLY_INDEX_H_
#define MORVEL_PYTHON_INDEX_POLY_INDEX_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace morvel {

class PolyIndex final {
 public:
  // A cursor over the pairs in the store's order. Not thread-safe: one thread
  // at a time. It needs the store's database object to exist for its whole
  // life; after the store is closed its calls fail.
  class Iterator final {
   public:
    explicit Iterator(std::unique_ptr<DBM::Iterator> dbm_iter);
    Iterator(const Iterator&) = delete;
    Iterator& operator=(const Iterator&) = delete;

    // Moves; the status is the database iterator's (NOT_FOUND_ERROR past the
    // end). Callers that only care where the cursor stands may drop it: a
    // failed move shows as a failed Get afterwards.
    Status First();
    Status Last();
    Status Next();
    Status Previous();
    // Moves to the first pair not less than (|key|, |value|): with an empty
    // value, the first pair of |key|, or of the next greater key.
    Status Jump(std::string_view key, std::string_view value = "");

    // Gets the current pair; either output may be null. False, with both
    // outputs unchanged, when there is no current pair.
    bool Get(std::string* key = nullptr, std::string* value = nullptr);
    // As Get, giving the database iterator's status: NOT_FOUND_ERROR when the
    // cursor is unplaced or past the end, other codes for real failures.
    Status Read(std::string* key, std::string* value);

   private:
    std::unique_ptr<DBM::Iterator> dbm_iter_;
  };

  PolyIndex();
  PolyIndex(const PolyIndex&) = delete;
  PolyIndex& operator=(const PolyIndex&) = delete;
  ~PolyIndex();

  // Opens the database at |path|. An empty path keeps the index in memory
  // (BabyDBM, whatever "dbm" says). Unless |params| already has them, a tree
  // database (extension "mvt" or "tree", or "dbm" "tree"/"treedbm", in any
  // case) gets "align_pow" 12 and "max_page_size" 4080, and every database
  // gets "key_comparator" "PairLexicalKeyComparator". An unordered class is
  // refused with INVALID_ARGUMENT_ERROR before its file is touched.
  Status Open(const std::string& path, bool writable, int32_t options = 0,
              const ParamMap& params = {});
  Status Close();

  // Stores the pair; a pair that exists is rewritten and stays single.
  Status Add(std::string_view key, std::string_view value);
  // Removes the pair; NOT_FOUND_ERROR when absent.
  Status Remove(std::string_view key, std::string_view value);
  // Whether the pair exists. A failure other than absence is false too;
  // |status| (if given) gets the database's status to tell them apart.
  bool Contains(std::string_view key, std::string_view value, Status* status = nullptr);
  // The values of |key| in byte order, at most |max| of them (0: no limit),
  // read by one positioned scan that stops at the first pair of another key.
  // A failing read ends the scan with what was collected; |status| (if given)
  // gets that failure, or success when the scan reached the run's end.
  std::vector<std::string> GetValues(std::string_view key, size_t max = 0,
                                     Status* status = nullptr);
  // The number of pairs, or -1 on failure.
  int64_t Count();
  // The path of the file, or "" on failure.
  std::string GetFilePath();
  Status Clear();
  Status Rebuild();
  Status Synchronize(bool hard);
  bool IsOpen() const;
  bool IsWritable() const;
  // A new cursor, not placed, owned by the caller.
  std::unique_ptr<Iterator> MakeIterator();

  // The parameters Open passes to the database for |path| and |params|.
  static ParamMap MakeOpenParams(const std::string& path, const ParamMap& params);

 private:
  PolyDBM dbm_;
};

}  // namespace morvel

#endif  // MORVEL_PYTHON_INDEX_POLY_INDEX_H_
