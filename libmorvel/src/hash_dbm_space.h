// Space of a hash database: the free-block pool of the in-place mode, the
// per-stripe record counts and data sizes, and buffers for encoding records.
// Private to the hash database sources.

#ifndef MORVEL_HASH_DBM_SPACE_H_
#define MORVEL_HASH_DBM_SPACE_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hash_dbm_format.h"

namespace morvel {
namespace hashdbm {

// Space for encoding a record: the stack for small ones.
class RecordBuffer {
 public:
  char* Reserve(size_t size) {
    if (size <= kStackRecordSize) {
      return stack_;
    }
    heap_.resize(size);
    return heap_.data();
  }

 private:
  char stack_[kStackRecordSize];
  std::string heap_;
};

// Free blocks of the in-place mode, bounded in number. Safe to call from
// several threads at once. Blocks of the common small sizes are kept in one
// list per size (in units of the alignment), so that the steady churn of
// updates fetches and returns blocks without allocating; larger ones in an
// ordered set.
class FreeBlockPool {
 public:
  // Sets the most blocks kept and the alignment power of block sizes.
  void Configure(int64_t capacity, int align_pow);
  void Clear();
  // Offers the block of |size| bytes at |off|. When the pool is full, the
  // smallest block gives way to a larger one; a smaller one is forgotten.
  void Insert(int64_t off, int64_t size);

  // A block of at least |size| and at most twice that, removed from the pool.
  bool Fetch(int64_t size, int64_t* off, int64_t* block_size) {
    // Most writes of the appending mode, and of a database without updates,
    // find the pool empty; they skip the mutex.
    if (count_.load(std::memory_order_relaxed) == 0) {
      return false;
    }
    return FetchLocked(size, off, block_size);
  }

  int64_t Size();

 private:
  static constexpr size_t kNumClasses = 256;

  bool FetchLocked(int64_t size, int64_t* off, int64_t* block_size);
  // The smallest block's size, or -1 when the pool is empty.
  int64_t SmallestLocked() const;
  void EraseSmallestLocked();
  // The first non-empty class from |first| to |last|, or kNumClasses.
  size_t FirstClassLocked(size_t first, size_t last) const;
  void SetClassBit(size_t index, bool on) {
    if (on) {
      class_bits_[index / 64] |= uint64_t(1) << (index % 64);
    } else {
      class_bits_[index / 64] &= ~(uint64_t(1) << (index % 64));
    }
  }

  std::mutex mutex_;  // guards the members below
  int64_t capacity_ = kDefaultFbpCapacity;
  int align_pow_ = kDefaultAlignPow;
  // Offsets of the blocks of (index << align_pow_) bytes.
  std::array<std::vector<int64_t>, kNumClasses> classes_;
  // Which classes are not empty.
  std::array<uint64_t, kNumClasses / 64> class_bits_{};
  // (size, offset) of the blocks too large for a class.
  std::set<std::pair<int64_t, int64_t>> large_;
  // The number of blocks, readable without the mutex.
  std::atomic<size_t> count_{0};
};

inline void AtomicMax(std::atomic<int64_t>* target, int64_t value) {
  int64_t current = target->load(std::memory_order_relaxed);
  while (current < value &&
         !target->compare_exchange_weak(current, value, std::memory_order_acq_rel)) {
  }
}

// The record count and the data sizes, kept per stripe on cache lines of
// their own: a writer changes only its stripe's, under the stripe's lock, so
// writers of different stripes never contend; readers add them up.
class StripedCounts {
 public:
  void Add(uint64_t bucket, int64_t records, int64_t eff_data, int64_t live) {
    Slot& slot = slots_[bucket % kNumStripes];
    slot.num_records.store(slot.num_records.load(std::memory_order_relaxed) + records,
                           std::memory_order_relaxed);
    slot.eff_data_size.store(slot.eff_data_size.load(std::memory_order_relaxed) + eff_data,
                             std::memory_order_relaxed);
    slot.live_size.store(slot.live_size.load(std::memory_order_relaxed) + live,
                         std::memory_order_relaxed);
  }
  void Reset(int64_t records, int64_t eff_data, int64_t live) {
    for (auto& slot : slots_) {
      slot.num_records.store(0, std::memory_order_relaxed);
      slot.eff_data_size.store(0, std::memory_order_relaxed);
      slot.live_size.store(0, std::memory_order_relaxed);
    }
    slots_[0].num_records.store(records, std::memory_order_relaxed);
    slots_[0].eff_data_size.store(eff_data, std::memory_order_relaxed);
    slots_[0].live_size.store(live, std::memory_order_relaxed);
  }
  int64_t NumRecords() const { return Sum(&Slot::num_records); }
  // The records counted in the stripe of |bucket| alone.
  int64_t StripeRecords(uint64_t bucket) const {
    return slots_[bucket % kNumStripes].num_records.load(std::memory_order_relaxed);
  }
  int64_t EffDataSize() const { return Sum(&Slot::eff_data_size); }
  int64_t LiveSize() const { return Sum(&Slot::live_size); }

 private:
  struct alignas(64) Slot {
    std::atomic<int64_t> num_records{0};
    std::atomic<int64_t> eff_data_size{0};
    std::atomic<int64_t> live_size{0};
  };
  int64_t Sum(std::atomic<int64_t> Slot::*member) const {
    int64_t sum = 0;
    for (const auto& slot : slots_) sum += (slot.*member).load(std::memory_order_relaxed);
    return sum;
  }
  std::array<Slot, kNumStripes> slots_;
};

}  // namespace hashdbm
}  // namespace morvel

#endif  // MORVEL_HASH_DBM_SPACE_H_
