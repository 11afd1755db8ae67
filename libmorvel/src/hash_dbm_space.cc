// The free-block pool. It lives in memory only: a block it forgets (the pool
// is full, or the database is reopened) stays in the file until Rebuild.

#include "hash_dbm_space.h"

namespace morvel {
namespace hashdbm {

void FreeBlockPool::Configure(int64_t capacity, int align_pow) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacity_ = capacity;
  if (align_pow != align_pow_) {
    // The classes are in units of the alignment: the blocks of the old one
    // would land in the wrong classes.
    for (auto& blocks : classes_) blocks.clear();
    class_bits_.fill(0);
    large_.clear();
    count_.store(0, std::memory_order_relaxed);
    align_pow_ = align_pow;
  }
}

void FreeBlockPool::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& blocks : classes_) blocks.clear();
  class_bits_.fill(0);
  large_.clear();
  count_.store(0, std::memory_order_relaxed);
}

size_t FreeBlockPool::FirstClassLocked(size_t first, size_t last) const {
  for (size_t word = first / 64; word <= last / 64 && word < class_bits_.size(); word++) {
    uint64_t bits = class_bits_[word];
    if (word == first / 64) {
      bits &= ~uint64_t(0) << (first % 64);
    }
    if (word == last / 64 && last % 64 != 63) {
      bits &= (uint64_t(1) << (last % 64 + 1)) - 1;
    }
    if (bits != 0) {
      return word * 64 + __builtin_ctzll(bits);
    }
  }
  return kNumClasses;
}

int64_t FreeBlockPool::SmallestLocked() const {
  const size_t index = FirstClassLocked(0, kNumClasses - 1);
  if (index < kNumClasses) {
    return static_cast<int64_t>(index) << align_pow_;
  }
  return large_.empty() ? -1 : large_.begin()->first;
}

void FreeBlockPool::EraseSmallestLocked() {
  const size_t index = FirstClassLocked(0, kNumClasses - 1);
  if (index < kNumClasses) {
    classes_[index].pop_back();
    if (classes_[index].empty()) {
      SetClassBit(index, false);
    }
  } else if (!large_.empty()) {
    large_.erase(large_.begin());
  }
}

void FreeBlockPool::Insert(int64_t off, int64_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (capacity_ <= 0) {
    return;
  }
  size_t count = count_.load(std::memory_order_relaxed);
  if (static_cast<int64_t>(count) >= capacity_) {
    if (SmallestLocked() >= size) {
      return;
    }
    EraseSmallestLocked();
    count--;
  }
  const uint64_t index = static_cast<uint64_t>(size) >> align_pow_;
  if (index < kNumClasses && (static_cast<int64_t>(index) << align_pow_) == size) {
    classes_[index].push_back(off);
    SetClassBit(index, true);
  } else {
    large_.emplace(size, off);
  }
  count_.store(count + 1, std::memory_order_relaxed);
}

bool FreeBlockPool::FetchLocked(int64_t size, int64_t* off, int64_t* block_size) {
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t count = count_.load(std::memory_order_relaxed);
  if (count == 0 || size <= 0) {
    return false;
  }
  const int64_t unit = int64_t(1) << align_pow_;
  const uint64_t first = (static_cast<uint64_t>(size) + unit - 1) >> align_pow_;
  const uint64_t last = static_cast<uint64_t>(size) * 2 >> align_pow_;
  if (first < kNumClasses) {
    const size_t index = FirstClassLocked(first, std::min<uint64_t>(last, kNumClasses - 1));
    if (index < kNumClasses) {
      std::vector<int64_t>& blocks = classes_[index];
      *off = blocks.back();
      *block_size = static_cast<int64_t>(index) << align_pow_;
      blocks.pop_back();
      if (blocks.empty()) {
        SetClassBit(index, false);
      }
      count_.store(count - 1, std::memory_order_relaxed);
      return true;
    }
  }
  auto it = large_.lower_bound(std::make_pair(size, int64_t(0)));
  if (it == large_.end() || it->first > size * 2) {
    return false;
  }
  *block_size = it->first;
  *off = it->second;
  large_.erase(it);
  count_.store(count - 1, std::memory_order_relaxed);
  return true;
}

int64_t FreeBlockPool::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return count_.load(std::memory_order_relaxed);
}

}  // namespace hashdbm
}  // namespace morvel
