// PositionalParallelFile and PositionalAtomicFile: pread/pwrite on one
// descriptor.
//
// The logical size lives in an atomic and is what GetSize reports and reads
// are checked against. The physical size of the file may run ahead of it: an
// append or a write past the physical end reserves room with one ftruncate
// (sized by the allocation strategy), taken under |alloc_mutex|, so that the
// common case of an append is one compare-and-swap and one pwrite, and Read
// and Write take no lock at all. The reserved tail is zero, which makes
// Expand's zero fill free, and Close cuts the file back to the logical size,
// as does a Synchronize of the whole file (so that the file on disk is whole
// after it); the next growth reserves again.
//
// An append claims its region by a compare-and-swap of the logical size once
// the physical size covers it, so regions of concurrent appends never
// overlap. The atomic class runs the same core under a reader-writer lock:
// reads shared, everything that changes the file exclusive.
//
// Open and Close must not race with other calls on the same object.

#include <atomic>
#include <mutex>
#include <string>

#include "file_util.h"
#include "morvel/file_impl.h"

namespace morvel {

namespace {

class PositionalCore final : public FileCore {
 public:
  Status Open(const std::string& path, bool writable, int32_t options) {
    int fd = -1;
    int64_t file_size = 0;
    Status status = OpenFile(path, writable, options, &fd, &file_size);
    if (!status.IsOK()) return status;
    size_.store(file_size, std::memory_order_relaxed);
    alloc_size_.store(file_size, std::memory_order_relaxed);
    PublishOpen(fd, path);
    return Status();
  }

  Status Close() {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) return NotOpenError();
    const Status status = FinishClose(fd, alloc_size_.load(std::memory_order_acquire));
    alloc_size_.store(0, std::memory_order_relaxed);
    return status;
  }

  Status Read(int64_t off, void* buf, size_t size) {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) return NotOpenError();
    const int64_t file_size = size_.load(std::memory_order_acquire);
    int64_t end = 0;
    if (!ComputeEnd(off, size, &end) || end > file_size) {
      return ReadPastEndError(off, size, file_size);
    }
    return ReadFully(fd, off, buf, size);
  }

  Status Write(int64_t off, const void* buf, size_t size) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    int64_t end = 0;
    if (!ComputeEnd(off, size, &end)) return BadRangeError(off, size);
    status = Reserve(fd, end);
    if (!status.IsOK()) return status;
    status = WriteFully(fd, off, buf, size);
    if (!status.IsOK()) return status;
    RaiseSize(end);
    return Status();
  }

  Status Append(const void* buf, size_t size, int64_t* off) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    int64_t start = 0;
    status = Claim(fd, size, &start);
    if (!status.IsOK()) return status;
    status = WriteFully(fd, start, buf, size);
    if (!status.IsOK()) return status;
    if (off != nullptr) *off = start;
    return Status();
  }

  Status Expand(size_t inc_size, int64_t* old_size) {
    int fd = -1;
    Status status = CheckWritable(&fd);
    if (!status.IsOK()) return status;
    int64_t start = 0;
    status = Claim(fd, inc_size, &start);
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
    // Cutting through the reserved tail too keeps everything past the
    // logical end zero, so growing again reads as zeros.
    status = TruncateFile(fd, size);
    if (!status.IsOK()) return status;
    alloc_size_.store(size, std::memory_order_release);
    size_.store(size, std::memory_order_release);
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
    if (hard || (options_ & File::OPEN_SYNC_HARD)) return SyncFile(fd);
    return Status();
  }

 private:
  // Cuts the physical size to the logical size.
  // The physical size is zeroed before the logical size is read, and an
  // appender checks the physical size after its claim, so one of the two sees
  // the other (both sequentially consistent) and no claimed region is left
  // past the end of the file.
  Status TrimReservation(int fd) {
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    const int64_t alloc_size = alloc_size_.load(std::memory_order_relaxed);
    alloc_size_.store(0);
    const int64_t size = size_.load();
    Status status;
    if (size < alloc_size) status = TruncateFile(fd, size);
    alloc_size_.store(status.IsOK() && size < alloc_size ? size : alloc_size);
    return status;
  }

  // Makes the physical size at least |end|.
  Status Reserve(int fd, int64_t end) {
    if (end <= alloc_size_.load(std::memory_order_acquire)) return Status();
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    const int64_t alloc_size = alloc_size_.load(std::memory_order_relaxed);
    if (end <= alloc_size) return Status();
    const int64_t new_size =
        ComputeAllocSize(alloc_size, end, alloc_init_size_, alloc_inc_factor_, 1);
    Status status = TruncateFile(fd, new_size);
    if (!status.IsOK()) return status;
    alloc_size_.store(new_size, std::memory_order_release);
    return Status();
  }

  // Claims |size| bytes at the logical end; |start| gets where they begin.
  Status Claim(int fd, size_t size, int64_t* start) {
    int64_t cur = size_.load(std::memory_order_acquire);
    while (true) {
      int64_t end = 0;
      if (!ComputeEnd(cur, size, &end)) return BadRangeError(cur, size);
      Status status = Reserve(fd, end);
      if (!status.IsOK()) return status;
      if (size_.compare_exchange_weak(cur, end)) {
        // A trim between the reservation and the claim may have cut below
        // |end|; the region must read as zeros, so it is reserved again.
        if (end > alloc_size_.load()) {
          status = Reserve(fd, end);
          if (!status.IsOK()) return status;
        }
        break;
      }
    }
    *start = cur;
    return Status();
  }

  // The physical size; only grows between Open and Close, except by Truncate.
  // Grown and cut under |alloc_mutex_|.
  std::atomic<int64_t> alloc_size_{0};
};

}  // namespace

MORVEL_DEFINE_CORE_FILE(PositionalParallelFile, PositionalCore, false, false)
MORVEL_DEFINE_CORE_FILE(PositionalAtomicFile, PositionalCore, false, true)

}  // namespace morvel
