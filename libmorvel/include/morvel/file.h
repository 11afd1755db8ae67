// File: an abstract byte-addressed file.
//
// Every concrete class is safe for concurrent use by several threads on one
// object. Every system-call failure is reported as SYSTEM_ERROR with the call's
// name and strerror in the message. Operations on a file that is not open give
// PRECONDITION_ERROR. Open and Close must not race with other calls on the
// classes whose reads take no lock (the parallel ones).
//
// Files may reserve space ahead of appends: until Close or a Synchronize of
// the whole file, the file on disk can be longer than the logical size, by
// zero bytes. The memory-mapped classes allocate the blocks of what they
// reserve, so a full disk is SYSTEM_ERROR of the call that grows the file.
//
// The file lock is per open, not per process, so the process keeps one table
// of the files it holds locked: a second open of such a file that would have
// to wait for the first is INFEASIBLE_ERROR at once (readers share).

#ifndef MORVEL_FILE_H_
#define MORVEL_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "morvel/status.h"

namespace morvel {

class File {
 public:
  // Bits of the open options word.
  enum OpenOption : int32_t {
    OPEN_DEFAULT = 0,
    // Drops the existing content when opened writable.
    OPEN_TRUNCATE = 1 << 0,
    // Fails with NOT_FOUND_ERROR instead of creating a missing file.
    OPEN_NO_CREATE = 1 << 1,
    // Fails at once with INFEASIBLE_ERROR when the file lock is held elsewhere.
    OPEN_NO_WAIT = 1 << 2,
    // Takes no file lock.
    OPEN_NO_LOCK = 1 << 3,
    // Synchronizes to the device (fsync) at every Synchronize and at Close.
    OPEN_SYNC_HARD = 1 << 4,
  };

  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  virtual ~File() = default;

  // Opens |path|. A writer takes an exclusive flock, a reader a shared one (see
  // OpenOption); the wait for another process's lock holds no lock of this
  // library. A file this process holds open in a conflicting mode is
  // INFEASIBLE_ERROR at once, naming the conflict. Once locked, the open checks
  // that |path| still names the file it locked (the holder may have renamed
  // another over it) and starts again on the new one if not. A read-only open
  // of a missing file is NOT_FOUND_ERROR. Opening an open file is
  // PRECONDITION_ERROR.
  virtual Status Open(const std::string& path, bool writable,
                      int32_t options = OPEN_DEFAULT) = 0;

  // Trims space reserved ahead of appends, releases the lock and closes.
  virtual Status Close() = 0;

  // Reads exactly |size| bytes at |off| into |buf|. Reading past the end is
  // INFEASIBLE_ERROR and leaves |buf| unspecified.
  virtual Status Read(int64_t off, void* buf, size_t size) = 0;

  // Reads |size| bytes at |off|, or returns "" on failure.
  std::string ReadSimple(int64_t off, size_t size);

  // Writes |size| bytes at |off|, growing the file when needed.
  virtual Status Write(int64_t off, const void* buf, size_t size) = 0;

  // Appends |size| bytes at the end. |off|, if not null, gets where they went.
  // Concurrent appends never overlap.
  virtual Status Append(const void* buf, size_t size, int64_t* off = nullptr) = 0;

  // Grows the logical size by |inc_size| bytes (zero-filled) and gives the old
  // size in |old_size|: reserves a region for a later Write. Atomic like Append.
  virtual Status Expand(size_t inc_size, int64_t* old_size = nullptr) = 0;

  // Sets the logical size, cutting or zero-extending.
  virtual Status Truncate(int64_t size) = 0;

  // Flushes to the file system; with |hard|, to the device. |size| 0 means the
  // whole file from |off|. For the whole file (|off| and |size| 0), a writer
  // also cuts the space reserved ahead of appends, so that the file on disk
  // is at its logical size.
  virtual Status Synchronize(bool hard, int64_t off = 0, int64_t size = 0) = 0;

  // The logical size in bytes.
  virtual Status GetSize(int64_t* size) = 0;
  // The logical size, or -1 on failure.
  int64_t GetSizeSimple();

  // How much space to reserve ahead of appends: at least |init_size| at first,
  // then the current size times |inc_factor|. Call before Open.
  virtual Status SetAllocationStrategy(int64_t init_size, double inc_factor) = 0;

  // The path given to Open.
  virtual Status GetPath(std::string* path) = 0;
  // The path, or "" on failure.
  std::string GetPathSimple();

  // Renames the open file to |new_path| durably: the reserved space is cut and
  // the file synced to the device first, the directory after, so a crash
  // leaves the old file or the whole new one under the name. Later GetPath
  // gives |new_path|. The process's claim on the file follows it.
  virtual Status Rename(const std::string& new_path) = 0;

  virtual bool IsOpen() const = 0;
  virtual bool IsMemoryMapping() const = 0;
  // True when every single call is atomic with respect to the others.
  virtual bool IsAtomic() const = 0;

  // A new unopened file of the same concrete class and allocation strategy.
  virtual std::unique_ptr<File> MakeFile() const = 0;
};

}  // namespace morvel

#endif  // MORVEL_FILE_H_
