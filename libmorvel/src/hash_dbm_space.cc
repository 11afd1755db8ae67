// The free-block pool. It lives in memory only: a block it forgets (the pool
// is full, or the database is reopened) stays in the file until Rebuild.

#include "hash_dbm_space.h"

namespace morvel {
namespace hashdbm {

void FreeBlockPool::SetCapacity(int64_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacity_ = capacity;
}

void FreeBlockPool::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  blocks_.clear();
  count_.store(0, std::memory_order_relaxed);
}

void FreeBlockPool::Insert(int64_t off, int64_t size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (capacity_ <= 0) {
    return;
  }
  if (static_cast<int64_t>(blocks_.size()) >= capacity_) {
    if (blocks_.begin()->first >= size) {
      return;
    }
    blocks_.erase(blocks_.begin());
  }
  blocks_.emplace(size, off);
  count_.store(blocks_.size(), std::memory_order_relaxed);
}

bool FreeBlockPool::FetchLocked(int64_t size, int64_t* off, int64_t* block_size) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (blocks_.empty()) {
    return false;
  }
  auto it = blocks_.lower_bound(std::make_pair(size, int64_t(0)));
  if (it == blocks_.end() || it->first > size * 2) {
    return false;
  }
  *block_size = it->first;
  *off = it->second;
  blocks_.erase(it);
  count_.store(blocks_.size(), std::memory_order_relaxed);
  return true;
}

int64_t FreeBlockPool::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return blocks_.size();
}

}  // namespace hashdbm
}  // namespace morvel
