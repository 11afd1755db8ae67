// The state of an open hash database and the locks that guard it. Private to
// the hash database sources.
//
// Locks, always taken in this order: |file_mutex_| (shared by the walks over
// buckets: iterators, ProcessFirst, ProcessEach, and by the queries;
// exclusive for Open, Close, Clear, Rebuild, Synchronize, CopyFileData, which
// then also take every stripe), then bucket stripes (bucket % kNumStripes;
// shared to read, exclusive to write; several taken in ascending order), then
// the free-block pool's mutex or |header_mutex_|. Process and ProcessMulti take
// their stripes only. Processors run with the stripe lock held. A record is
// read only within its own slot, since the neighbouring records belong to
// other stripes; the counts are kept per stripe for the same reason.
//
// Every lock is held by a guard object, so that a processor that throws
// releases what its call holds as the exception unwinds.

#ifndef MORVEL_HASH_DBM_IMPL_H_
#define MORVEL_HASH_DBM_IMPL_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "morvel/dbm.h"
#include "morvel/file.h"
#include "morvel/hash_dbm.h"
#include "morvel/hash_util.h"
#include "morvel/lib_common.h"
#include "morvel/poly_file.h"
#include "hash_dbm_format.h"
#include "hash_dbm_record.h"
#include "hash_dbm_space.h"

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
  Status FreeSlot(int64_t off, int64_t slot);
  Status ProcessLocked(std::string_view key, uint64_t bucket, RecordProcessor* proc,
                       bool writable);
  Status ApplyAnswer(std::string_view key, uint64_t bucket, std::string_view answer,
                     hashdbm::Found* found);
  Status PutRecord(std::string_view key, std::string_view value);
  Status DeleteRecord(std::string_view key);
  Status CopyLiveRecords(Impl* dest);

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
  // True while the file on disk is marked as not cleanly closed.
  std::atomic<bool> dirty_{false};
  std::atomic<int64_t> timestamp_us_{0};
  hashdbm::FreeBlockPool fbp_;
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
