// Private helpers of the file classes: opening with the file lock and the
// process-wide table of open files, the system error status, positional I/O
// that retries short transfers, durable renames, the sizing and reservation of
// space ahead of appends, and the shell that turns a lock-free core into a
// parallel or an atomic file class.

#ifndef MORVEL_SRC_FILE_UTIL_H_
#define MORVEL_SRC_FILE_UTIL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>

#include "morvel/file.h"
#include "morvel/status.h"

namespace morvel {

// Space reserved ahead of appends when nothing else is set.
constexpr int64_t kDefaultAllocInitSize = 1 << 20;
constexpr double kDefaultAllocIncFactor = 2.0;

// SYSTEM_ERROR whose message names |call| and gives strerror(|error_number|).
Status SystemError(const char* call, int error_number);

// PRECONDITION_ERROR for an operation on a file that is not open.
Status NotOpenError();
// PRECONDITION_ERROR for a write on a file opened read-only.
Status NotWritableError();
// INFEASIBLE_ERROR for a read of |size| bytes at |off| that passes |file_size|.
Status ReadPastEndError(int64_t off, size_t size, int64_t file_size);

// Sets |*end| to |off| + |size|; false when |off| is negative or the sum
// overflows.
bool ComputeEnd(int64_t off, size_t size, int64_t* end);

// Checks the arguments of File::SetAllocationStrategy.
Status CheckAllocationStrategy(int64_t init_size, double inc_factor);

// The physical size to reserve for |needed| bytes when |current| are there:
// at least |init_size|, then |current| times |inc_factor|, rounded up to a
// multiple of |align| (a power of two, or 1).
int64_t ComputeAllocSize(int64_t current, int64_t needed, int64_t init_size,
                         double inc_factor, int64_t align);

// Opens |path| as File::Open describes |writable| and |options| and takes the
// flock (exclusive for a writer, shared for a reader; none with
// OPEN_NO_LOCK; with OPEN_NO_WAIT a held lock is INFEASIBLE_ERROR). A file
// that this process holds open in a conflicting mode is INFEASIBLE_ERROR at
// once. Once locked, the path is checked to still name the locked file (a
// holder may have renamed another over it); if not, it starts again. A writer
// with OPEN_TRUNCATE drops the content once the lock is held. Gives the
// descriptor and the size of the file. Safe from several threads at once.
Status OpenLockedFile(const std::string& path, bool writable, int32_t options, int* fd,
                      int64_t* size);

// Removes |fd| from the table of open files, if OpenLockedFile put it there.
// Call before the descriptor is closed.
void ForgetOpenFile(int fd);

// Forgets |fd| and closes it (releasing its lock).
Status CloseFile(int fd);

// pread/pwrite of exactly |size| bytes, retrying interrupted and short
// transfers. A read that meets the end of the file is INFEASIBLE_ERROR.
Status ReadFully(int fd, int64_t off, void* buf, size_t size);
Status WriteFully(int fd, int64_t off, const void* buf, size_t size);

// ftruncate to |size|.
Status TruncateFile(int fd, int64_t size);

// fdatasync.
Status SyncFile(int fd);

// fsync of the directory that holds |path|, so that a rename or a creation in
// it survives a crash.
Status SyncDirectory(const std::string& path);

// Renames |old_path|, whose open descriptor is |fd|, to |new_path| durably: the
// file is synced to the device first, so the new name never shows unwritten
// data after a crash, and the directories after, so the rename itself lasts.
Status RenameFileDurably(int fd, const std::string& old_path, const std::string& new_path);

// Grows |fd| from |old_size| to |new_size| bytes with the blocks allocated
// (fallocate), so that later writes through a memory mapping cannot fail for
// lack of space. Where the file system cannot allocate ahead, it just sets the
// size. On failure the size is put back.
Status ReserveFileSpace(int fd, int64_t old_size, int64_t new_size);

// Allocates any unallocated blocks in the first |size| bytes of |fd|, keeping
// its content. Nothing where the file system cannot.
Status AllocateExistingBlocks(int fd, int64_t size);

// Zeroes |size| bytes at |off| of |fd| by punching a hole, keeping the file
// size. Returns false when the file system cannot do that.
bool PunchHole(int fd, int64_t off, int64_t size);

// The state and the calls that the positional and the memory-mapped cores
// share: the descriptor, the open mode, the logical size, the allocation
// strategy and the path. Each core adds its own growth and I/O.
class FileCore {
 public:
  Status GetSize(int64_t* size) {
    if (fd_.load(std::memory_order_acquire) < 0) return NotOpenError();
    *size = size_.load(std::memory_order_acquire);
    return Status();
  }

  Status SetAllocationStrategy(int64_t init_size, double inc_factor) {
    Status status = CheckAllocationStrategy(init_size, inc_factor);
    if (!status.IsOK()) return status;
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    alloc_init_size_ = init_size;
    alloc_inc_factor_ = inc_factor;
    return Status();
  }

  void GetAllocationStrategy(int64_t* init_size, double* inc_factor) {
    std::lock_guard<std::mutex> lock(alloc_mutex_);
    *init_size = alloc_init_size_;
    *inc_factor = alloc_inc_factor_;
  }

  Status GetPath(std::string* path) {
    if (fd_.load(std::memory_order_acquire) < 0) return NotOpenError();
    std::lock_guard<std::mutex> lock(path_mutex_);
    *path = path_;
    return Status();
  }

  // Renames durably; the caller synchronizes the content first.
  Status Rename(const std::string& new_path) {
    const int fd = fd_.load(std::memory_order_acquire);
    if (fd < 0) return NotOpenError();
    std::lock_guard<std::mutex> lock(path_mutex_);
    Status status = RenameFileDurably(fd, path_, new_path);
    if (status.IsOK()) path_ = new_path;
    return status;
  }

  bool IsOpen() const { return fd_.load(std::memory_order_acquire) >= 0; }

 protected:
  static Status BadRangeError(int64_t off, size_t size) {
    return Status(Status::INVALID_ARGUMENT_ERROR,
                  "invalid range: offset=" + std::to_string(off) + " size=" + std::to_string(size));
  }

  // The first half of Open: fails on an open core, else opens and locks the
  // file and keeps the mode. Nothing is published yet.
  Status OpenFile(const std::string& path, bool writable, int32_t options, int* fd,
                  int64_t* file_size) {
    if (fd_.load(std::memory_order_relaxed) >= 0) {
      return Status(Status::PRECONDITION_ERROR, "the file is already open");
    }
    Status status = OpenLockedFile(path, writable, options, fd, file_size);
    if (!status.IsOK()) return status;
    writable_ = writable;
    options_ = options;
    return Status();
  }

  // The last step of Open, once the size is set: publishes |fd| and |path|.
  void PublishOpen(int fd, const std::string& path) {
    {
      std::lock_guard<std::mutex> lock(path_mutex_);
      path_ = path;
    }
    fd_.store(fd, std::memory_order_release);
  }

  // The last step of Close: a writer cuts the file from |alloc_size| to the
  // logical size and syncs it as the options say; then the descriptor closes.
  Status FinishClose(int fd, int64_t alloc_size) {
    Status status;
    if (writable_) {
      const int64_t size = size_.load(std::memory_order_acquire);
      if (alloc_size != size) status |= TruncateFile(fd, size);
      if (options_ & File::OPEN_SYNC_HARD) status |= SyncFile(fd);
    }
    status |= CloseFile(fd);
    fd_.store(-1, std::memory_order_release);
    size_.store(0, std::memory_order_relaxed);
    return status;
  }

  // Gives the descriptor of a core open for writing.
  Status CheckWritable(int* fd) const {
    *fd = fd_.load(std::memory_order_acquire);
    if (*fd < 0) return NotOpenError();
    if (!writable_) return NotWritableError();
    return Status();
  }

  // Raises the logical size to |end| unless another writer passed it already.
  void RaiseSize(int64_t end) {
    int64_t cur = size_.load(std::memory_order_relaxed);
    while (cur < end &&
           !size_.compare_exchange_weak(cur, end, std::memory_order_acq_rel,
                                        std::memory_order_relaxed)) {
    }
  }

  // The descriptor; -1 while closed.
  std::atomic<int> fd_{-1};
  bool writable_ = false;
  int32_t options_ = 0;
  // The logical size.
  std::atomic<int64_t> size_{0};
  // Guards the allocation strategy, and what each core says besides.
  std::mutex alloc_mutex_;
  int64_t alloc_init_size_ = kDefaultAllocInitSize;
  double alloc_inc_factor_ = kDefaultAllocIncFactor;

 private:
  // Guards |path_|.
  std::mutex path_mutex_;
  std::string path_;
};

// Runs the calls of |Core|, a file core that is safe under many threads by
// itself, as a file class does. With |kAtomic|, each call runs under a
// reader-writer lock (shared by reads and queries, exclusive for every call
// that changes the file), so that it is atomic with respect to the others;
// without, the lock is a no-op that the compiler removes. Closes the core on
// destruction.
template <typename Core, bool kAtomic>
class CoreFile {
 public:
  ~CoreFile() {
    if (core_.IsOpen()) core_.Close();
  }

  Status Open(const std::string& path, bool writable, int32_t options) {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.Open(path, writable, options);
  }
  Status Close() {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.Close();
  }
  Status Read(int64_t off, void* buf, size_t size) {
    std::shared_lock<Mutex> lock(mutex_);
    return core_.Read(off, buf, size);
  }
  Status Write(int64_t off, const void* buf, size_t size) {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.Write(off, buf, size);
  }
  Status Append(const void* buf, size_t size, int64_t* off) {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.Append(buf, size, off);
  }
  Status Expand(size_t inc_size, int64_t* old_size) {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.Expand(inc_size, old_size);
  }
  Status Truncate(int64_t size) {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.Truncate(size);
  }
  Status Synchronize(bool hard, int64_t off, int64_t size) {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.Synchronize(hard, off, size);
  }
  Status GetSize(int64_t* size) {
    std::shared_lock<Mutex> lock(mutex_);
    return core_.GetSize(size);
  }
  Status SetAllocationStrategy(int64_t init_size, double inc_factor) {
    std::unique_lock<Mutex> lock(mutex_);
    return core_.SetAllocationStrategy(init_size, inc_factor);
  }
  Status GetPath(std::string* path) {
    std::shared_lock<Mutex> lock(mutex_);
    return core_.GetPath(path);
  }
  Status Rename(const std::string& new_path) {
    std::unique_lock<Mutex> lock(mutex_);
    // Cuts the reserved tail first, so the file is whole under its new name.
    Status status = core_.Synchronize(false, 0, 0);
    if (!status.IsOK()) return status;
    return core_.Rename(new_path);
  }
  bool IsOpen() const { return core_.IsOpen(); }

  // Gives |file| the allocation strategy of this one.
  void CopyAllocationStrategy(File* file) {
    int64_t init_size = 0;
    double inc_factor = 0;
    core_.GetAllocationStrategy(&init_size, &inc_factor);
    file->SetAllocationStrategy(init_size, inc_factor);
  }

 private:
  struct NoLock {
    void lock() {}
    void unlock() {}
    void lock_shared() {}
    void unlock_shared() {}
  };
  using Mutex = std::conditional_t<kAtomic, std::shared_mutex, NoLock>;

  Core core_;
  Mutex mutex_;
};

// Defines every method of the file class |ClassName| (declared in
// file_impl.h) as a call of CoreFile<|Core|, |atomic|>.
#define MORVEL_DEFINE_CORE_FILE(ClassName, Core, memory_mapping, atomic)                 \
  struct ClassName::Impl : CoreFile<Core, atomic> {};                                    \
  ClassName::ClassName() : impl_(new Impl) {}                                            \
  ClassName::~ClassName() = default;                                                     \
  Status ClassName::Open(const std::string& path, bool writable, int32_t options) {      \
    return impl_->Open(path, writable, options);                                         \
  }                                                                                      \
  Status ClassName::Close() { return impl_->Close(); }                                   \
  Status ClassName::Read(int64_t off, void* buf, size_t size) {                          \
    return impl_->Read(off, buf, size);                                                  \
  }                                                                                      \
  Status ClassName::Write(int64_t off, const void* buf, size_t size) {                   \
    return impl_->Write(off, buf, size);                                                 \
  }                                                                                      \
  Status ClassName::Append(const void* buf, size_t size, int64_t* off) {                 \
    return impl_->Append(buf, size, off);                                                \
  }                                                                                      \
  Status ClassName::Expand(size_t inc_size, int64_t* old_size) {                         \
    return impl_->Expand(inc_size, old_size);                                            \
  }                                                                                      \
  Status ClassName::Truncate(int64_t size) { return impl_->Truncate(size); }             \
  Status ClassName::Synchronize(bool hard, int64_t off, int64_t size) {                  \
    return impl_->Synchronize(hard, off, size);                                          \
  }                                                                                      \
  Status ClassName::GetSize(int64_t* size) { return impl_->GetSize(size); }              \
  Status ClassName::SetAllocationStrategy(int64_t init_size, double inc_factor) {        \
    return impl_->SetAllocationStrategy(init_size, inc_factor);                          \
  }                                                                                      \
  Status ClassName::GetPath(std::string* path) { return impl_->GetPath(path); }          \
  Status ClassName::Rename(const std::string& new_path) { return impl_->Rename(new_path); } \
  bool ClassName::IsOpen() const { return impl_->IsOpen(); }                             \
  bool ClassName::IsMemoryMapping() const { return memory_mapping; }                     \
  bool ClassName::IsAtomic() const { return atomic; }                                    \
  std::unique_ptr<File> ClassName::MakeFile() const {                                    \
    auto file = std::make_unique<ClassName>();                                           \
    impl_->CopyAllocationStrategy(file.get());                                           \
    return file;                                                                         \
  }

}  // namespace morvel

#endif  // MORVEL_SRC_FILE_UTIL_H_
