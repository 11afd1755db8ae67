// The state of an open hash database and the locks that guard it. Private to
// the hash database sources.
//
// Locks, always taken in this order: |file_mutex_| (shared by the walks over
// buckets: iterators, ProcessFirst, ProcessEach, and by the queries;
// exclusive for Open, Close, Clear, Rebuild, Synchronize, CopyFileData, which
// then also take every stripe), then bucket stripes (bucket % kNumStripes;
// shared to read, exclusive to write; several taken in ascending order), then
// the free-block pool's mutex, |header_mutex_| or |scans_mutex_|. Process and
// ProcessMulti take their stripes only; automatic growth takes what Rebuild
// takes, once the writing call has released its own. Processors run with the
// stripe lock held. A record is read only within its own slot, since the
// neighbouring records belong to other stripes, except by walks in file
// order, which hold every stripe while they read; the counts are kept per
// stripe for the same reason.
//
// Every lock is held by a guard object, so that a processor that throws
// releases what its call holds as the exception unwinds.

#ifndef MORVEL_HASH_DBM_IMPL_H_
#define MORVEL_HASH_DBM_IMPL_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "morvel/dbm.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "morvel/hash_util.h"
#include "morvel/lib_common.h"
#include "morvel/poly_file.h"
#include "hash_dbm_format.h"
#include "hash_dbm_record.h"
#include "hash_dbm_scan.h"
#include "hash_dbm_space.h"
#include "record_batch.h"

namespace morvel {
namespace hashdbm {

using StripeArray = std::array<std::shared_mutex, kNumStripes>;

// Holds one stripe, exclusively when |exclusive|, until destroyed.
class StripeGuard {
 public:
  StripeGuard(std::shared_mutex& stripe, bool exclusive)
      : stripe_(stripe), exclusive_(exclusive) {
    if (exclusive_) {
      stripe_.lock();
    } else {
      stripe_.lock_shared();
    }
  }
  ~StripeGuard() {
    if (exclusive_) {
      stripe_.unlock();
    } else {
      stripe_.unlock_shared();
    }
  }
  StripeGuard(const StripeGuard&) = delete;
  StripeGuard& operator=(const StripeGuard&) = delete;

 private:
  std::shared_mutex& stripe_;
  const bool exclusive_;
};

// Holds the stripes of |indexes| (ascending, distinct; the vector must
// outlive the guard), exclusively when |exclusive|, until destroyed.
class StripeSetGuard {
 public:
  StripeSetGuard(StripeArray* stripes, const std::vector<size_t>& indexes, bool exclusive)
      : stripes_(stripes), indexes_(indexes), exclusive_(exclusive) {
    try {
      for (; held_ < indexes_.size(); held_++) {
        if (exclusive_) {
          (*stripes_)[indexes_[held_]].lock();
        } else {
          (*stripes_)[indexes_[held_]].lock_shared();
        }
      }
    } catch (...) {
      Release();
      throw;
    }
  }
  ~StripeSetGuard() { Release(); }
  StripeSetGuard(const StripeSetGuard&) = delete;
  StripeSetGuard& operator=(const StripeSetGuard&) = delete;

 private:
  void Release() {
    while (held_ > 0) {
      held_--;
      if (exclusive_) {
        (*stripes_)[indexes_[held_]].unlock();
      } else {
        (*stripes_)[indexes_[held_]].unlock_shared();
      }
    }
  }

  StripeArray* stripes_;
  const std::vector<size_t>& indexes_;
  const bool exclusive_;
  size_t held_ = 0;
};

// Holds every stripe, taken in ascending order, exclusively when |exclusive|:
// whole-file operations exclude record operations this way, and a reader of
// the bucket array keeps writers of bucket heads out.
class AllStripesGuard {
 public:
  AllStripesGuard(StripeArray* stripes, bool exclusive)
      : stripes_(stripes), exclusive_(exclusive) {
    try {
      for (; held_ < stripes_->size(); held_++) {
        if (exclusive_) {
          (*stripes_)[held_].lock();
        } else {
          (*stripes_)[held_].lock_shared();
        }
      }
    } catch (...) {
      Release();
      throw;
    }
  }
  ~AllStripesGuard() { Release(); }
  AllStripesGuard(const AllStripesGuard&) = delete;
  AllStripesGuard& operator=(const AllStripesGuard&) = delete;

 private:
  void Release() {
    while (held_ > 0) {
      held_--;
      if (exclusive_) {
        (*stripes_)[held_].unlock();
      } else {
        (*stripes_)[held_].unlock_shared();
      }
    }
  }

  StripeArray* stripes_;
  const bool exclusive_;
  size_t held_ = 0;
};

inline int64_t NowMicros() { return static_cast<int64_t>(GetWallTime() * 1000000.0); }

inline Status NotOpened() { return Status(Status::PRECONDITION_ERROR, "not opened database"); }
inline Status NotWritable() {
  return Status(Status::PRECONDITION_ERROR, "not writable database");
}

}  // namespace hashdbm

struct HashDBM::Impl {
  Impl() = default;
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl() {
    if (open_) {
      CloseImpl();
    }
  }

  // Opening, synchronizing and closing (hash_dbm_open.cc).
  Status Open(const std::string& path, bool writable, int32_t options, const ParamMap& params);
  Status CloseImpl();
  Status OpenFile(const std::string& path, bool writable, int32_t options,
                  const ParamMap& params);
  Status CreateNew(const hashdbm::Layout& layout);
  Status WriteDynamic(bool clean);
  Status MarkDirty();
  Status SyncImpl(bool hard);
  void Adopt(Impl* other);
  // Makes |dest|, a new database written at |tmp_path|, this one: synchronizes
  // it, renames it over the path durably and adopts it; |*replaced| tells
  // whether that happened (after the rename the new file is the database even
  // if a later step failed). With |status| failed or no rename, |dest| is
  // closed and its file removed. In hash_dbm_open.cc.
  Status ReplaceWith(Impl* dest, const std::string& tmp_path, Status status, bool* replaced);
  Status RecountFromChains();
  // Restores the uncleanly closed file of |size| bytes into a new file and
  // puts that in place of it (hash_dbm_restore.cc).
  Status RestoreInPlace(int64_t size);

  // Reading buckets and chains (hash_dbm_record.cc).
  Status ReadBucket(uint64_t bucket, int64_t* off);
  Status FindRecord(std::string_view key, uint64_t bucket, hashdbm::Found* found);
  Status ReadChain(uint64_t bucket, bool with_values, std::vector<hashdbm::ChainEntry>* entries);
  Status NextNonEmptyBucket(uint64_t start, uint64_t* bucket, bool lock_stripes);

  // Placing and changing records (hash_dbm_update.cc).
  Status WriteBucket(uint64_t bucket, int64_t off);
  Status WriteLink(int64_t rec_off, int64_t link);
  Status PlaceRecord(uint8_t type, int64_t link, std::string_view key, std::string_view value,
                     int64_t* off, int64_t* slot);
  Status SetRecord(std::string_view key, std::string_view value, uint64_t bucket,
                   hashdbm::Found* found);
  Status RemoveRecord(uint64_t bucket, hashdbm::Found* found);
  Status SetRecordBody(std::string_view key, std::string_view value, uint64_t bucket,
                       hashdbm::Found* found);
  Status RemoveRecordBody(uint64_t bucket, hashdbm::Found* found);
  Status FreeSlot(int64_t off, int64_t slot);
  Status ProcessLocked(std::string_view key, uint64_t bucket, RecordProcessor* proc,
                       bool writable);
  Status ApplyAnswer(std::string_view key, uint64_t bucket, std::string_view answer,
                     hashdbm::Found* found);
  Status PutRecord(std::string_view key, std::string_view value);
  Status DeleteRecord(std::string_view key);

  // Walks in file order (hash_dbm_scan.cc). Whether a walk can read the
  // record region in file order: every record there is then live.
  bool CanScanInFileOrder() const {
    return layout_.update_mode == hashdbm::kUpdateInPlace && healthy_ &&
           no_strays_.load(std::memory_order_acquire);
  }
  // After a failed write that may have left a record no chain holds, or
  // broken bytes, in the record region: walks go by buckets from then on,
  // in this file (the flag is stored with the counts) until a Rebuild.
  void NoteStrays() { no_strays_.store(false, std::memory_order_release); }
  // Reads the records of the region from |*pos| to |end| in file order,
  // |window| being the read buffer, and calls |visit| with each one's offset,
  // whether it is a live record (else a free block or a removal record), and
  // for live ones the key and value (their checksum checked). Stops when
  // |visit| returns false, |*pos| then being the offset of the record it
  // declined, else at |end|. A damaged record fails the call, |*pos| at it.
  using RegionVisitor =
      std::function<bool(int64_t off, bool live, std::string_view key, std::string_view value)>;
  Status WalkRegion(int64_t* pos, int64_t end, std::string* window, const RegionVisitor& visit);
  // Registers |cursor| (if it is not yet) and puts it at |pos|.
  void StartScan(hashdbm::ScanCursor* cursor, int64_t pos);
  void StopScan(hashdbm::ScanCursor* cursor);
  // Reads the next records of the walk of |cursor| into |batch| (cleared
  // first), |window| being its read buffer; |*more| tells whether records may
  // follow. A damaged record ends the batch before it, or fails the call when
  // it is the first. The caller holds the file lock and every stripe, shared.
  Status ReadScanBatch(hashdbm::ScanCursor* cursor, RecordBatch* batch, std::string* window,
                       bool* more);
  // Tell the walks that the record of |key| at |old_off| was replaced by the
  // one at |new_off| (or removed). The caller holds the key's stripe
  // exclusively; free when no walk is registered.
  void NoteMoved(int64_t old_off, int64_t new_off, std::string_view key,
                 std::string_view value) {
    if (num_scans_.load(std::memory_order_acquire) > 0) {
      NoteChange(old_off, new_off, key, value);
    }
  }
  void NoteRemoved(int64_t old_off, std::string_view key) {
    if (num_scans_.load(std::memory_order_acquire) > 0) {
      NoteChange(old_off, -1, key, "");
    }
  }
  void NoteChange(int64_t old_off, int64_t new_off, std::string_view key,
                  std::string_view value);
  // Puts every walk at the start of the record region, after a Clear.
  void ResetScans();
  // Copies every live record into |dest| for a Rebuild, those the first walk
  // has handed out first; gives where that walk goes on in |dest| and, for
  // each other walk, the offsets in |dest| of what it has handed out. The
  // caller holds every stripe exclusively.
  Status CopyForRebuild(Impl* dest, int64_t* first_pos,
                        std::vector<std::unordered_set<int64_t>>* other_skips);

  // Rebuilding and growing (hash_dbm_rebuild.cc). RebuildLocked is the body
  // of Rebuild: the caller holds the file lock and every stripe exclusively.
  Status RebuildLocked(const ParamMap& params);
  // Notes after a record was added under the stripe of |bucket| whether the
  // records have outgrown the buckets. Cheap: the exact count is summed only
  // when the stripe's own share is over.
  void NoteAdded(uint64_t bucket) {
    if (grow_enabled_ && !grow_wanted_.load(std::memory_order_relaxed) &&
        counts_.StripeRecords(bucket) * static_cast<int64_t>(hashdbm::kNumStripes) >
            grow_threshold_ &&
        counts_.NumRecords() > grow_threshold_) {
      grow_wanted_.store(true, std::memory_order_relaxed);
    }
  }
  // Rebuilds into four times as many buckets as records when NoteAdded saw
  // the records outgrow the buckets, unless an iterator is in the middle of a
  // walk (the bucket order it follows would change under it). The caller
  // holds no lock of this database. Called at the end of the writing calls.
  void GrowIfWanted() {
    if (grow_wanted_.load(std::memory_order_relaxed) &&
        walking_iterators_.load(std::memory_order_relaxed) == 0) {
      Grow();
    }
  }
  void Grow();
  // The bucket count past which the records have outgrown the buckets.
  void ResetGrowThreshold() {
    grow_threshold_ = static_cast<int64_t>(layout_.num_buckets);
    grow_wanted_.store(false, std::memory_order_relaxed);
  }

  int64_t FileEnd() const { return file_end_.load(std::memory_order_acquire); }
  std::shared_mutex& Stripe(uint64_t bucket) { return stripes_[bucket % hashdbm::kNumStripes]; }
  uint64_t BucketOf(std::string_view key) const {
    return PrimaryHash(key, layout_.num_buckets);
  }

  // Guards the open state, the file object and the layout.
  std::shared_mutex file_mutex_;
  // Guard the chains of the buckets mapped to them, and (all of them held)
  // the open state against record operations.
  hashdbm::StripeArray stripes_;
  // Serializes the clearing of the clean flag.
  std::mutex header_mutex_;

  std::unique_ptr<PolyFile> file_;
  // The concrete file inside |file_|, for record I/O without the forwarding.
  File* raw_ = nullptr;
  // The bucket count, readable without locks: record operations hash with it,
  // then check it under their stripe lock.
  std::atomic<uint64_t> num_buckets_hint_{0};
  std::string path_;
  bool open_ = false;
  bool writable_ = false;
  bool healthy_ = false;
  int32_t options_ = 0;
  ParamMap file_params_;
  hashdbm::Layout layout_;
  int64_t fbp_capacity_ = hashdbm::kDefaultFbpCapacity;
  std::string restore_mode_ = "default";

  hashdbm::StripedCounts counts_;
  // True when the counts were taken by walking the chains at open, because
  // the file's own could not be trusted.
  bool counts_scanned_ = false;
  // The end of the record data: the file's logical size as this object wrote it.
  std::atomic<int64_t> file_end_{0};
  // Whether every record outside the chains is marked free (see the header
  // flags in hash_dbm_format.h).
  std::atomic<bool> no_strays_{false};
  // True while the file on disk is marked as not cleanly closed.
  std::atomic<bool> dirty_{false};
  std::atomic<int64_t> timestamp_us_{0};
  hashdbm::FreeBlockPool fbp_;

  // Automatic growth: whether this open grows the bucket array ("bucket_growth"),
  // the record count that triggers it, and whether a write saw it reached.
  bool grow_enabled_ = false;
  int64_t grow_threshold_ = 0;
  std::atomic<bool> grow_wanted_{false};
  // The walks in file order under way, guarded by |scans_mutex_| (taken
  // after any stripe), and their number, readable without it.
  std::mutex scans_mutex_;
  std::vector<hashdbm::ScanCursor*> scans_;
  std::atomic<int> num_scans_{0};
  // Iterators walking in bucket order between the start of a walk and its
  // end: growth waits for them.
  std::atomic<int> walking_iterators_{0};
};

namespace hashdbm {

// Restores the records of |src| (shaped by |layout|, data up to |end|) into
// the open, empty |dest|. With |scan_only|, the chains are not trusted and the
// scan alone decides (point-in-time restore). In hash_dbm_restore.cc.
Status RestoreRecords(File* src, const Layout& layout, int64_t end, bool scan_only,
                      HashDBM::Impl* dest);

// The body of HashDBM::RestoreDatabase. In hash_dbm_restore.cc.
Status RestoreDatabaseFile(const std::string& old_path, const std::string& new_path,
                           int64_t end_offset, const ParamMap& params);

// Puts the open |file| in place of |path| so that a power cut leaves either
// the old file or the whole new one: synchronizes the file to the device,
// renames it over |path|, then synchronizes the directory so that the rename
// itself is durable. |*renamed| tells whether the rename took place, as a
// failure after it leaves the new file in place. In hash_dbm_open.cc.
Status SyncAndRenameOver(File* file, const std::string& path, bool* renamed);

// An iterator over the database of |impl|. In hash_dbm_iterator.cc.
std::unique_ptr<DBM::Iterator> MakeIterator(std::shared_ptr<HashDBM::Impl> impl);

}  // namespace hashdbm
}  // namespace morvel

#endif  // MORVEL_HASH_DBM_IMPL_H_
