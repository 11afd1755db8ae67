// TreeDBM's cache of decoded pages. Private to the engine sources.
//
// A bounded cache evicting by second chance: clean pages wait in a queue, a
// hit only marks the page referenced (no relinking, which would touch other
// pages' memory on every lookup), and eviction takes the oldest page that was
// not referenced since it last came round, requeueing the referenced ones. A
// page changed by a writer is dirty: it leaves the queue (so it is never
// evicted) until it is written and marked clean again.
//
// Readers that share the tree lock load pages through it at once, so it has
// its own mutex. A writer holding the tree lock exclusively says so with
// SetExclusive(true): no reader can be inside then, and the mutex is skipped.

#ifndef MORVEL_TREE_DBM_CACHE_H_
#define MORVEL_TREE_DBM_CACHE_H_

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "tree_dbm_page.h"

namespace morvel {
namespace treedbm {

// Pages by id: an open-addressing table with linear probing, so that a
// lookup costs one probe into one array in the common case.
class PageTable final {
 public:
  PageTable() { Reset(16); }

  size_t size() const { return count_; }

  PagePtr* Find(int64_t id) {
    for (size_t i = Home(id);; i = (i + 1) & mask_) {
      Entry& entry = entries_[i];
      if (entry.id == id) {
        return &entry.page;
      }
      if (entry.id == 0) {
        return nullptr;
      }
    }
  }

  // Adds |page| or replaces the page of its id.
  void Put(PagePtr page) {
    PagePtr* found = Find(page->id);
    if (found != nullptr) {
      *found = std::move(page);
      return;
    }
    if ((count_ + 1) * 4 > entries_.size() * 3) {
      Grow();
    }
    Place(std::move(page));
    count_++;
  }

  void Erase(int64_t id) {
    size_t i = Home(id);
    while (entries_[i].id != id) {
      if (entries_[i].id == 0) {
        return;
      }
      i = (i + 1) & mask_;
    }
    // Shifts the following entries of the run back, so that no probe passes
    // over an empty slot before its entry.
    size_t hole = i;
    for (size_t j = (i + 1) & mask_; entries_[j].id != 0; j = (j + 1) & mask_) {
      const size_t home = Home(entries_[j].id);
      if (((j - home) & mask_) >= ((j - hole) & mask_)) {
        entries_[hole] = std::move(entries_[j]);
        hole = j;
      }
    }
    entries_[hole].id = 0;
    entries_[hole].page.reset();
    count_--;
  }

  template <typename Fn>
  void ForEach(Fn fn) {
    for (const Entry& entry : entries_) {
      if (entry.id != 0) {
        fn(entry.page);
      }
    }
  }

  void Clear() { Reset(16); }

 private:
  struct Entry {
    int64_t id = 0;
    PagePtr page;
  };

  size_t Home(int64_t id) const {
    return static_cast<size_t>((static_cast<uint64_t>(id) * 0x9E3779B97F4A7C15ULL) >> 20) &
           mask_;
  }

  void Place(PagePtr page) {
    size_t i = Home(page->id);
    while (entries_[i].id != 0) {
      i = (i + 1) & mask_;
    }
    entries_[i].id = page->id;
    entries_[i].page = std::move(page);
  }

  void Grow() {
    std::vector<Entry> old;
    old.swap(entries_);
    entries_.resize(old.size() * 2);
    mask_ = entries_.size() - 1;
    for (Entry& entry : old) {
      if (entry.id != 0) {
        Place(std::move(entry.page));
      }
    }
  }

  void Reset(size_t capacity) {
    entries_.clear();
    entries_.resize(capacity);
    mask_ = capacity - 1;
    count_ = 0;
  }

  std::vector<Entry> entries_;
  size_t mask_ = 0;
  size_t count_ = 0;
};

class PageCache final {
 public:
  void SetCapacity(size_t capacity) { capacity_ = capacity; }

  // Set only by the holder of the exclusive tree lock.
  void SetExclusive(bool exclusive) { exclusive_ = exclusive; }

  PagePtr Find(int64_t id) {
    Guard guard(this);
    PagePtr* found = pages_.Find(id);
    if (found == nullptr) {
      misses_++;
      return nullptr;
    }
    hits_++;
    (*found)->referenced = true;
    return *found;
  }

  // Adds a page read from the file and returns the cached one (another reader
  // may have added it first).
  PagePtr AddClean(PagePtr page) {
    Guard guard(this);
    PagePtr* found = pages_.Find(page->id);
    if (found != nullptr) {
      return *found;
    }
    pages_.Put(page);
    PushFront(page.get());
    Evict();
    return page;
  }

  // Adds a new page, dirty from the start.
  void AddDirty(const PagePtr& page) {
    Guard guard(this);
    page->dirty = true;
    pages_.Put(page);
    num_dirty_++;
  }

  void MarkDirty(Page* page) {
    Guard guard(this);
    if (page->dirty) {
      return;
    }
    // A page held by a writer stays the cached one even if it was evicted
    // meanwhile, so that its change cannot be lost.
    PagePtr* found = pages_.Find(page->id);
    if (found == nullptr || found->get() != page) {
      pages_.Put(page->shared_from_this());
    }
    if (page->in_lru) {
      Unlink(page);
    }
    page->dirty = true;
    num_dirty_++;
  }

  void MarkClean(Page* page) {
    Guard guard(this);
    if (!page->dirty) {
      return;
    }
    page->dirty = false;
    num_dirty_--;
    PushFront(page);
  }

  void Remove(Page* page) {
    Guard guard(this);
    if (page->in_lru) {
      Unlink(page);
    }
    if (page->dirty) {
      page->dirty = false;
      num_dirty_--;
    }
    pages_.Erase(page->id);
  }

  // The dirty pages, the highest id first.
  std::vector<PagePtr> DirtyPages() {
    Guard guard(this);
    std::vector<PagePtr> result;
    result.reserve(num_dirty_);
    pages_.ForEach([&](const PagePtr& page) {
      if (page->dirty) {
        result.push_back(page);
      }
    });
    std::sort(result.begin(), result.end(),
              [](const PagePtr& a, const PagePtr& b) { return a->id > b->id; });
    return result;
  }

  void Trim() {
    Guard guard(this);
    Evict();
  }

  void Clear() {
    Guard guard(this);
    pages_.ForEach([](const PagePtr& page) {
      page->in_lru = false;
      page->lru_prev = nullptr;
      page->lru_next = nullptr;
    });
    pages_.Clear();
    lru_head_ = nullptr;
    lru_tail_ = nullptr;
    num_dirty_ = 0;
  }

  size_t NumDirty() {
    Guard guard(this);
    return num_dirty_;
  }
  size_t Size() {
    Guard guard(this);
    return pages_.size();
  }
  int64_t Hits() {
    Guard guard(this);
    return hits_;
  }
  int64_t Misses() {
    Guard guard(this);
    return misses_;
  }

 private:
  // Holds the mutex unless the exclusive tree lock is held.
  class Guard final {
   public:
    explicit Guard(PageCache* cache) : cache_(cache) {
      if (!cache_->exclusive_) {
        cache_->mutex_.lock();
        locked_ = true;
      }
    }
    ~Guard() {
      if (locked_) {
        cache_->mutex_.unlock();
      }
    }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

   private:
    PageCache* cache_;
    bool locked_ = false;
  };

  void PushFront(Page* page) {
    page->lru_prev = nullptr;
    page->lru_next = lru_head_;
    if (lru_head_ != nullptr) {
      lru_head_->lru_prev = page;
    } else {
      lru_tail_ = page;
    }
    lru_head_ = page;
    page->in_lru = true;
  }

  void Unlink(Page* page) {
    if (page->lru_prev != nullptr) {
      page->lru_prev->lru_next = page->lru_next;
    } else {
      lru_head_ = page->lru_next;
    }
    if (page->lru_next != nullptr) {
      page->lru_next->lru_prev = page->lru_prev;
    } else {
      lru_tail_ = page->lru_prev;
    }
    page->lru_prev = nullptr;
    page->lru_next = nullptr;
    page->in_lru = false;
  }

  // Drops clean pages over the capacity, the oldest unreferenced first.
  void Evict() {
    // Each page is requeued once at most per call.
    size_t chances = pages_.size();
    while (pages_.size() > capacity_ && lru_tail_ != nullptr) {
      Page* page = lru_tail_;
      Unlink(page);
      if (page->referenced && chances > 0) {
        chances--;
        page->referenced = false;
        PushFront(page);
        continue;
      }
      pages_.Erase(page->id);
    }
  }

  // Guards everything below, and the list links of the pages.
  std::mutex mutex_;
  bool exclusive_ = false;
  PageTable pages_;
  // Clean pages, the most recently queued first.
  Page* lru_head_ = nullptr;
  Page* lru_tail_ = nullptr;
  size_t capacity_ = 10000;
  size_t num_dirty_ = 0;
  int64_t hits_ = 0;
  int64_t misses_ = 0;
};

}  // namespace treedbm
}  // namespace morvel

#endif  // MORVEL_TREE_DBM_CACHE_H_
