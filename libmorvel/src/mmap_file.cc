// MemoryMapParallelFile and MemoryMapAtomicFile: the file mapped shared into
// memory, read and written by memcpy.
//
// Growth: when a write or an append passes the end of the current mapping,
// the file is extended by ftruncate (sized by the allocation strategy) and
// mapped again, whole, at a new address, under |alloc_mutex|. The new mapping
// is published through an atomic pointer; older mappings stay mapped until
// Close, so a reader that loaded an older pointer still reads valid memory
// (all mappings are MAP_SHARED views of the same pages). The cost is address
// space only; growth is geometric, so the mappings are few.
//
// Invariants while open, which make reads lock-free and safe:
// - logical size <= size of the current mapping <= physical size of the file;
// - the physical size never shrinks before Close, so no mapped page ever lies
//   past the end of the file (which would raise SIGBUS);
// - bytes past the logical size are zero: Truncate zeroes what it cuts (by
//   punching a hole, or by memset), so Expand and a later growth read zeros.
// A writer publishes the mapping before it raises the logical size, and a
// reader loads the logical size before the mapping, so a reader always sees a
// mapping that covers the range it checked.
//
// Close unmaps everything and cuts the file to the logical size. The atomic
// class runs the same core under a reader-writer lock: reads shared,
// everything that changes the file exclusive. Open and Close must not race
// with other calls on the same object.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "file_util.h"
#include "morvel/file_impl.h"

namespace morvel {

namespace {

// Mapping growth at least this factor, so that the number of mappings kept
// until Close stays logarithmic in the file size.
constexpr double kMinMapIncFactor = 1.25;

int64_t PageSize() {
  static const int64_t page_size = [] {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<int64_t>(size) : 4096;
  }();
  return page_size;
}

struct Mapping {
  char* ptr = nullptr;
  int64_t size = 0;
};

class MapCore final : public FileCore {
 public:
  Status Open(const std::string& path, bool writable, int32_t options) {
    int fd = -1;
    int64_t file_size = 0;
    Status status = OpenFile(path, writable, options, &fd, &file_size);
    if (!status.IsOK()) return status;
    auto mapping = std::make_unique<Mapping>();
    if (file_size > 0) {
      status = MapFile(fd, writable, file_size, mapping.get());
      if (!status.IsOK()) {
        CloseFile(fd);
        return status;
      }
    }
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    alloc_size_ = file_size;
    map_.store(mapping.get(), std::memory_order_release);
    maps_.push_back(std::move(mapping));
    size_.store(file_size, std::memory_order_release);
    PublishOpen(fd, path);
    return Status();
  }

  Status Close() {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) return NotOpenError();
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    Status status;
    for (const auto& mapping : maps_) {
      if (mapping->size > 0 && munmap(mapping->ptr, mapping->size) != 0) {
        status |= SystemError("munmap", errno);
      }
    }
    maps_.clear();
    map_.store(nullptr, std::memory_order_release);
    status |= FinishClose(fd, alloc_size_);
    alloc_size_ = 0;
    return status;
  }

  Status Read(int64_t off, void* buf, size_t size) {
    if (fd_.load(std::memory_order_acquire) < 0) return NotOpenError();
    const int64_t file_size = size_.load(std::memory_order_acquire);
    int64_t end = 0;
    if (!ComputeEnd(off, size, &end) || end > file_size) {
      return ReadPastEndError(off, size, file_size);
    }
    if (size > 0) {
      const Mapping* mapping = map_.load(std::memory_order_acquire);
      std::memcpy(buf, mapping->ptr + off, size);
    }
    return Status();
  }

  Status Write(int64_t off, const void* buf, size_t size) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    int64_t end = 0;
    if (!ComputeEnd(off, size, &end)) return BadRangeError(off, size);
    const Mapping* mapping = map_.load(std::memory_order_acquire);
    if (end > mapping->size) {
      status = Reserve(end, &mapping);
      if (!status.IsOK()) return status;
    }
    if (size > 0) std::memcpy(mapping->ptr + off, buf, size);
    RaiseSize(end);
    return Status();
  }

  Status Append(const void* buf, size_t size, int64_t* off) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    int64_t start = 0;
    const Mapping* mapping = nullptr;
    status = Claim(size, &start, &mapping);
    if (!status.IsOK()) return status;
    if (size > 0) std::memcpy(mapping->ptr + start, buf, size);
    if (off != nullptr) *off = start;
    return Status();
  }

  Status Expand(size_t inc_size, int64_t* old_size) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    int64_t start = 0;
    const Mapping* mapping = nullptr;
    status = Claim(inc_size, &start, &mapping);
    if (!status.IsOK()) return status;
    if (old_size != nullptr) *old_size = start;
    return Status();
  }

  Status Truncate(int64_t size) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    if (size < 0) {
      return Status(Status::INVALID_ARGUMENT_ERROR, "negative size: " + std::to_string(size));
    }
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    const Mapping* mapping = map_.load(std::memory_order_relaxed);
    if (size > mapping->size) {
      status = GrowLocked(fd, size, &mapping);
      if (!status.IsOK()) return status;
    }
    const int64_t old_size = size_.exchange(size, std::memory_order_acq_rel);
    if (size < old_size && !PunchHole(fd, size, old_size - size)) {
      std::memset(mapping->ptr + size, 0, old_size - size);
    }
    return Status();
  }

  Status Synchronize(bool hard, int64_t off, int64_t size) {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) return NotOpenError();
    if (!writable_ || !(hard || (options_ & File::OPEN_SYNC_HARD))) {
      // Writes to a shared mapping are in the file system's cache already.
      return Status();
    }
    const Mapping* mapping = map_.load(std::memory_order_acquire);
    const int64_t file_size = std::min(size_.load(std::memory_order_acquire), mapping->size);
    const int64_t start = std::clamp<int64_t>(off, 0, file_size);
    const int64_t end = size <= 0 || size > file_size - start ? file_size : start + size;
    if (end > start) {
      const int64_t aligned = start / PageSize() * PageSize();
      if (msync(mapping->ptr + aligned, end - aligned, MS_SYNC) != 0) {
        return SystemError("msync", errno);
      }
    }
    return SyncFile(fd);
  }

 private:
  static Status MapFile(int fd, bool writable, int64_t size, Mapping* mapping) {
    const int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* ptr = mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
    if (ptr == MAP_FAILED) return SystemError("mmap", errno);
    mapping->ptr = static_cast<char*>(ptr);
    mapping->size = size;
    return Status();
  }

  // Makes the current mapping cover |end| bytes; |mapping| gets it.
  Status Reserve(int64_t end, const Mapping** mapping) {
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    *mapping = map_.load(std::memory_order_relaxed);
    if (end <= (*mapping)->size) return Status();
    return GrowLocked(fd_.load(std::memory_order_relaxed), end, mapping);
  }

  // Extends the file and maps it again, whole; |alloc_mutex_| is held.
  Status GrowLocked(int fd, int64_t end, const Mapping** mapping) {
    const int64_t cur = (*mapping)->size;
    const int64_t new_size =
        ComputeAllocSize(cur, end, alloc_init_size_,
                         std::max(alloc_inc_factor_, kMinMapIncFactor), PageSize());
    if (new_size > alloc_size_) {
      Status status = TruncateFile(fd, new_size);
      if (!status.IsOK()) return status;
      alloc_size_ = new_size;
    }
    auto new_mapping = std::make_unique<Mapping>();
    Status status = MapFile(fd, true, new_size, new_mapping.get());
    if (!status.IsOK()) return status;
    *mapping = new_mapping.get();
    map_.store(new_mapping.get(), std::memory_order_release);
    maps_.push_back(std::move(new_mapping));
    return Status();
  }

  // Claims |size| bytes at the logical end; |start| gets where they begin and
  // |mapping| a mapping that covers them.
  Status Claim(size_t size, int64_t* start, const Mapping** mapping) {
    int64_t cur = size_.load(std::memory_order_acquire);
    while (true) {
      int64_t end = 0;
      if (!ComputeEnd(cur, size, &end)) return BadRangeError(cur, size);
      *mapping = map_.load(std::memory_order_acquire);
      if (end > (*mapping)->size) {
        Status status = Reserve(end, mapping);
        if (!status.IsOK()) return status;
      }
      if (size_.compare_exchange_weak(cur, end, std::memory_order_acq_rel,
                                      std::memory_order_acquire)) {
        break;
      }
    }
    *start = cur;
    return Status();
  }

  // The current mapping; covers at least the logical size. Non-null while open.
  std::atomic<const Mapping*> map_{nullptr};
  // Guarded by |alloc_mutex_|, as are the growth of |map_| and Truncate:
  // every mapping made since Open, unmapped at Close, and the physical size
  // of the file.
  std::vector<std::unique_ptr<Mapping>> maps_;
  int64_t alloc_size_ = 0;
};

}  // namespace

MORVEL_DEFINE_CORE_FILE(MemoryMapParallelFile, MapCore, true, false)
MORVEL_DEFINE_CORE_FILE(MemoryMapAtomicFile, MapCore, true, true)

}  // namespace morvel
