// ShardDBM: N PolyDBM shards behind one interface. Shard files are
// PATH-00000-of-0000N (five digits each), each a PolyDBM opened with the other
// parameters; the class of every shard comes from PATH (its "dbm" parameter,
// else PATH's extension), not from the shard file's own name. A key goes to
// shard SecondaryHash(key, N). Iteration visits the shards in turn, or, for
// ordered shards, merges them in comparator order.
//
// Parameters: "num_shards" N >= 1 for a new database (0: the count found on
// disk, 1 if none), plus those of the shards. Thread-safety is that of the
// shards; Open and Close are not to race with each other.

#ifndef MORVEL_SHARD_DBM_H_
#define MORVEL_SHARD_DBM_H_

#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>

#include "morvel/dbm.h"
#include "morvel/key_comparators.h"
#include "morvel/poly_dbm.h"

namespace morvel {

class ShardDBM final : public DBM {
 public:
  ShardDBM();
  ~ShardDBM() override;
  MORVEL_DBM_OVERRIDES
  using DBM::Process;
  using DBM::ProcessEach;

  Status Get(std::string_view key, std::string* value = nullptr) override;
  Status Set(std::string_view key, std::string_view value, bool overwrite = true,
             std::string* old_value = nullptr) override;
  Status Remove(std::string_view key, std::string* old_value = nullptr) override;
  Status Append(std::string_view key, std::string_view value,
                std::string_view delim = "") override;
  Status PopFirst(std::string* key = nullptr, std::string* value = nullptr) override;
  Status Export(DBM* dest) override;

  // The number of shards while open.
  int32_t GetNumShards() const;

  // The shard databases while open. Owned by this object.
  std::vector<PolyDBM*> GetInternalDBMs() const;

  // Counts the shard files of |path| present on disk. NOT_FOUND_ERROR when
  // there are none.
  static Status GetNumberOfShards(const std::string& path, int32_t* num_shards);

  // Restores every shard of |old_path| into the shards of |new_path| with
  // PolyDBM::RestoreDatabase and the same arguments.
  static Status RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                const std::string& class_name, int64_t end_offset,
                                std::string_view params = "");

 private:
  std::vector<std::unique_ptr<PolyDBM>> shards_;
  std::string open_path_;
  // Single-shard calls hold it shared; calls spanning several shards hold it
  // exclusively, which makes them atomic. Taken before any shard lock.
  mutable std::shared_mutex mutex_;
  bool open_ = false;
  // The comparator of ordered shards, else null.
  KeyComparator comparator_ = nullptr;
};

}  // namespace morvel

#endif  // MORVEL_SHARD_DBM_H_
