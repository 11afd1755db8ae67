// HashDBM: the persistent hash database. One file: a header, a bucket array of
// fixed-width offsets, then the record region of self-delimiting, aligned,
// checksummed records chained per bucket. The index lives in the file, so
// memory use does not grow with the number of records.
//
// Safe to call from several threads at once: record operations lock a stripe of
// buckets (readers shared, writers exclusive); whole-file operations take the
// file lock exclusively. Unordered. Processors run with their records'
// stripe locked; an exception thrown by a processor passes through the call
// and releases every lock the call took.
//
// Durability: an in-place update writes the new version elsewhere and then
// switches the chain link, so a crash keeps either version whole. Rebuild and
// restoring at open write a new file, synchronize it, rename it over the
// database and synchronize the directory.
//
// Parameters: "num_buckets" (1048583), "align_pow" (3), "offset_width" (4),
// "update_mode" ("in_place" or "appending"), "record_crc_mode" ("none", "crc8",
// "crc16", "crc32"), "fbp_capacity", "restore_mode" ("default" or "noop"),
// "file" (the file class of poly_file.h), "alloc_init_size", "alloc_inc_factor",
// "bucket_growth" ("auto", "on" or "off").
//
// Growth: with "bucket_growth" on, a writable database whose records come to
// outnumber its buckets rebuilds itself (as Rebuild does: a new file, made
// durable, renamed over the old one) into four times as many buckets as
// records, so that the cost of an operation stays what it was at a small
// load. The writing call that crossed the line (Set, Process, ProcessMulti and
// the calls made of them) makes the rebuild after it has done its own work,
// holding the whole file meanwhile: that call takes the time of a Rebuild, and
// other calls wait for it. As the count quadruples between two growths, the
// copying averages out to under one record copy per record added. Growth
// waits while an iterator walking in bucket order (the appending mode, or a
// file opened unhealthy) is between the start of its walk and its end, as
// that order changes. "auto" (the default) is on unless the open call gives
// "num_buckets"; a failed growth leaves the database as it was (the call that
// made it still succeeds), and the next attempt waits until the records have
// doubled.
//
// Iteration: in the in-place mode, a healthy file is walked in file order,
// which reads the records sequentially; otherwise in bucket order. Either
// way, a record present throughout a walk is handed out exactly once, also
// across a Rebuild when a single iterator walks at the time; a record written
// meanwhile may be handed out at its old value, and one added or removed
// meanwhile may or may not be.
//
// Health: IsHealthy is false when the file was not closed cleanly or open saw
// damage it can check cheaply (the counts part of the header failing its
// checksum, counts that the file size cannot hold) and the database was opened
// without restoring it (read-only, or "restore_mode" "noop"). Opened writable
// with the default "restore_mode", such a file is restored into a new one that
// replaces it. Open fails with BROKEN_DATA_ERROR when the tuning part of the
// header fails its checksum, and, unless it restores, when the file is shorter
// than its own bucket array. A damaged record is BROKEN_DATA_ERROR wherever it
// is read, never skipped.
//
// Inspect adds to the common keys "num_records_source": "header" when the
// count is the one the cleanly closed file recorded, kept up to date since, or
// "scan" when the stored count could not be trusted and the records were
// counted by walking the chains at open, so that Count agrees with what
// iteration yields.

#ifndef MORVEL_HASH_DBM_H_
#define MORVEL_HASH_DBM_H_

#include <memory>
#include <string>
#include <string_view>

#include "morvel/dbm.h"

namespace morvel {

class HashDBM final : public DBM {
 public:
  HashDBM();
  ~HashDBM() override;
  MORVEL_DBM_OVERRIDES
  // Direct bodies of the single-record calls: the same locking and results as
  // the defaults over Process, without a processor in between.
  Status Get(std::string_view key, std::string* value = nullptr) override;
  Status Set(std::string_view key, std::string_view value, bool overwrite = true,
             std::string* old_value = nullptr) override;
  Status Remove(std::string_view key, std::string* old_value = nullptr) override;
  using DBM::Process;
  using DBM::ProcessEach;

  // Whether |head|, the first bytes of a file, starts with the magic data of a
  // hash database file.
  static bool IsHashDBMFileHead(std::string_view head);

  // Reads the damaged or uncleanly closed database at |old_path| and writes a
  // whole new one at |new_path|, tuned by |params|. |end_offset| -1 reads to the
  // end of the file; a positive value stops the scan there.
  static Status RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                int64_t end_offset, const ParamMap& params);

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace morvel

#endif  // MORVEL_HASH_DBM_H_
