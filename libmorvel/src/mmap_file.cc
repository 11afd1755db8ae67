// MemoryMapParallelFile and MemoryMapAtomicFile: the file mapped shared into
// memory, read and written by memcpy.
//
// Space: every byte of the file that a mapping may write lies in blocks that
// are allocated already, so that a full disk is an error of the call that
// grows the file, never a signal (a write through a mapping into a hole that
// the file system cannot fill raises SIGBUS). Growth reserves with fallocate;
// a writable open allocates any holes of an existing file; Truncate zeroes what
// it cuts without freeing its blocks.
//
// Growth: when a write or an append passes the reserved end, the file grows
// (sized by the allocation strategy) under |alloc_mutex|. The mapping is
// sized separately and may run past the end of the file; only when the file
// would outgrow it is the file mapped again, whole and larger, at a new
// address. The new mapping is published through an atomic pointer; older
// mappings stay mapped until Close, so a reader that loaded an older pointer
// still reads valid memory (all mappings are MAP_SHARED views of the same
// pages). The cost is address space only; growth is geometric, so the
// mappings are few.
//
// A Synchronize of the whole file cuts the file to the logical size, so it is
// whole on disk; the next growth reserves again. Pages past the end of the file
// must then never be touched, so every access checks |safe_size|, the size the
// file is known to have, besides the logical size, and takes the locked path
// (which grows the file) when the range passes it. The trim sets |safe_size|
// to 0 before it reads the logical size, and an appender claims its range
// (raising the logical size) before it reads |safe_size|; both are
// sequentially consistent, so either the trim keeps the claimed range or the
// appender sees the trim and grows the file again before it writes. A reader
// sees a logical size that covers its range only after such a claim, so it
// too sees the trim. An append reserves before it claims, so the locked path
// is taken only when a trim runs at the same time.
//
// Invariants while open: the current mapping covers |safe_size|, and
// |safe_size| is at most the physical size of the file; bytes past the logical
// size are zero (Truncate zeroes what it cuts, growth adds zeros), so Expand
// and a later growth read zeros. A writer publishes the mapping before it
// raises |safe_size|, and a reader loads |safe_size| before the mapping.
//
// Close unmaps everything and cuts the file to the logical size. The atomic
// class runs the same core under a reader-writer lock: reads shared,
// everything that changes the file exclusive. Open and Close must not race
// with other calls on the same object.

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
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
// Blocks reserved ahead of the end by the growth factor are at most this many
// bytes, so that a large file does not hold twice its size of disk.
constexpr int64_t kMaxReserveAhead = 8LL << 20;

int64_t PageSize() {
  static const int64_t page_size = [] {
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<int64_t>(size) : 4096;
  }();
  return page_size;
}

// |size| rounded up to a multiple of the page size, or left as it is where
// that would overflow (such a size fails at the system call anyway).
int64_t RoundUpToPage(int64_t size) {
  if (size > std::numeric_limits<int64_t>::max() - PageSize()) return size;
  return (size + PageSize() - 1) / PageSize() * PageSize();
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
    if (writable) status = AllocateExistingBlocks(fd, file_size);
    auto mapping = std::make_unique<Mapping>();
    if (status.IsOK() && file_size > 0) {
      status = MapFile(fd, writable, file_size, mapping.get());
    }
    if (!status.IsOK()) {
      CloseFile(fd);
      return status;
    }
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    phys_size_ = file_size;
    map_.store(mapping.get(), std::memory_order_release);
    maps_.push_back(std::move(mapping));
    safe_size_.store(file_size);
    size_.store(file_size);
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
    safe_size_.store(0);
    status |= FinishClose(fd, phys_size_);
    phys_size_ = 0;
    return status;
  }

  Status Read(int64_t off, void* buf, size_t size) {
    if (fd_.load(std::memory_order_acquire) < 0) return NotOpenError();
    const int64_t file_size = size_.load();
    int64_t end = 0;
    if (!ComputeEnd(off, size, &end) || end > file_size) {
      return ReadPastEndError(off, size, file_size);
    }
    if (size == 0) return Status();
    const Mapping* mapping = nullptr;
    Status status = Cover(end, &mapping);
    if (!status.IsOK()) return status;
    std::memcpy(buf, mapping->ptr + off, size);
    return Status();
  }

  Status Write(int64_t off, const void* buf, size_t size) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    int64_t end = 0;
    if (!ComputeEnd(off, size, &end)) return BadRangeError(off, size);
    // The range is claimed before it is written, so that a trim keeps it.
    int64_t cur = size_.load();
    while (cur < end) {
      status = Reserve(end);
      if (!status.IsOK()) return status;
      if (size_.compare_exchange_weak(cur, end)) break;
    }
    if (size == 0) return Status();
    const Mapping* mapping = nullptr;
    status = Cover(end, &mapping);
    if (!status.IsOK()) return status;
    std::memcpy(mapping->ptr + off, buf, size);
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
    status = GrowLocked(fd, size);
    if (!status.IsOK()) return status;
    const int64_t old_size = size_.exchange(size);
    const int64_t zero_end = std::min(old_size, phys_size_);
    if (size < zero_end) {
      // Zeroes the cut part, keeping its blocks: freeing them (a hole) would
      // let a later write through the mapping fail for lack of space.
      if (fallocate(fd, FALLOC_FL_ZERO_RANGE | FALLOC_FL_KEEP_SIZE, size, zero_end - size) != 0) {
        std::memset(map_.load(std::memory_order_relaxed)->ptr + size, 0, zero_end - size);
      }
    }
    return Status();
  }

  Status Synchronize(bool hard, int64_t off, int64_t size) {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) return NotOpenError();
    if (!writable_) return Status();
    if (off == 0 && size == 0) {
      Status status = TrimReservation(fd);
      if (!status.IsOK()) return status;
    }
    if (!(hard || (options_ & File::OPEN_SYNC_HARD))) {
      // Writes to a shared mapping are in the file system's cache already.
      return Status();
    }
    const Mapping* mapping = nullptr;
    int64_t file_size = 0;
    {
      std::lock_guard<std::mutex> lock(alloc_mutex_);
      mapping = map_.load(std::memory_order_relaxed);
      file_size = std::min({size_.load(), phys_size_, mapping->size});
    }
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

  // Gives a mapping whose bytes up to |end| lie within the file. The fast path
  // is two loads; past |safe_size_| the file is grown (a trim ran meanwhile).
  Status Cover(int64_t end, const Mapping** mapping) {
    if (end > safe_size_.load()) {
      if (!writable_) {
        return Status(Status::INFEASIBLE_ERROR, "the range passes the end of the file");
      }
      Status status = Reserve(end);
      if (!status.IsOK()) return status;
    }
    *mapping = map_.load(std::memory_order_acquire);
    return Status();
  }

  // Makes the file and the current mapping cover |end| bytes.
  Status Reserve(int64_t end) {
    if (end <= safe_size_.load()) return Status();
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    return GrowLocked(fd_.load(std::memory_order_relaxed), end);
  }

  // Grows the file, with its blocks reserved, and the mapping, to cover |end|
  // bytes; |alloc_mutex_| is held.
  Status GrowLocked(int fd, int64_t end) {
    const Mapping* mapping = map_.load(std::memory_order_relaxed);
    if (end > phys_size_) {
      int64_t target = ComputeAllocSize(phys_size_, end, alloc_init_size_, alloc_inc_factor_,
                                        PageSize());
      const int64_t floor = std::max(end, alloc_init_size_);
      if (target - floor > kMaxReserveAhead) target = RoundUpToPage(floor + kMaxReserveAhead);
      Status status = ReserveFileSpace(fd, phys_size_, target);
      const int64_t needed = RoundUpToPage(end);
      if (!status.IsOK() && needed < target) {
        // A nearly full disk may still hold what this call needs.
        target = needed;
        status = ReserveFileSpace(fd, phys_size_, target);
      }
      if (!status.IsOK()) return status;
      phys_size_ = target;
    }
    if (phys_size_ > mapping->size) {
      const int64_t map_size = std::max(
          phys_size_, ComputeAllocSize(mapping->size, phys_size_, alloc_init_size_,
                                       std::max(alloc_inc_factor_, kMinMapIncFactor),
                                       PageSize()));
      auto new_mapping = std::make_unique<Mapping>();
      Status status = MapFile(fd, true, map_size, new_mapping.get());
      if (!status.IsOK()) return status;
      mapping = new_mapping.get();
      map_.store(mapping, std::memory_order_release);
      maps_.push_back(std::move(new_mapping));
    }
    safe_size_.store(std::min(phys_size_, mapping->size));
    return Status();
  }

  // Cuts the file to the logical size; see the top of the file for why the
  // order of the steps keeps every claimed range inside the file.
  Status TrimReservation(int fd) {
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    safe_size_.store(0);
    const int64_t size = size_.load();
    Status status;
    if (size < phys_size_) {
      status = TruncateFile(fd, size);
      if (status.IsOK()) phys_size_ = size;
    } else if (size > phys_size_) {
      // Only after a failed growth; the range is reserved now or never.
      status = GrowLocked(fd, size);
    }
    safe_size_.store(std::min(phys_size_, map_.load(std::memory_order_relaxed)->size));
    return status;
  }

  // Claims |size| bytes at the logical end; |start| gets where they begin and
  // |mapping| a mapping that covers them.
  Status Claim(size_t size, int64_t* start, const Mapping** mapping) {
    int64_t cur = size_.load();
    int64_t end = 0;
    while (true) {
      if (!ComputeEnd(cur, size, &end)) return BadRangeError(cur, size);
      Status status = Reserve(end);
      if (!status.IsOK()) return status;
      if (size_.compare_exchange_weak(cur, end)) break;
    }
    *start = cur;
    Status status = Cover(end, mapping);
    if (!status.IsOK()) {
      // The growth after a concurrent trim failed: the claim is taken back
      // unless a later one has passed it.
      size_.compare_exchange_strong(end, cur);
    }
    return status;
  }

  // The current mapping; covers at least |safe_size_|. Non-null while open.
  std::atomic<const Mapping*> map_{nullptr};
  // A size the file is known to have while open; 0 while a trim runs.
  std::atomic<int64_t> safe_size_{0};
  // Guarded by |alloc_mutex_|, as are the growth of |map_| and |safe_size_|,
  // Truncate and trims: every mapping made since Open, unmapped at Close, and
  // the physical size of the file.
  std::vector<std::unique_ptr<Mapping>> maps_;
  int64_t phys_size_ = 0;
};

}  // namespace

MORVEL_DEFINE_CORE_FILE(MemoryMapParallelFile, MapCore, true, false)
MORVEL_DEFINE_CORE_FILE(MemoryMapAtomicFile, MapCore, true, true)

}  // namespace morvel
