// Private helpers of the file classes: opening with the file lock, the system
// error status, positional I/O that retries short transfers, and the sizing of
// space reserved ahead of appends.

#ifndef MORVEL_SRC_FILE_UTIL_H_
#define MORVEL_SRC_FILE_UTIL_H_

#include <cstddef>
#include <cstdint>
#include <string>

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
// OPEN_NO_LOCK; with OPEN_NO_WAIT a held lock is INFEASIBLE_ERROR). A writer
// with OPEN_TRUNCATE drops the content once the lock is held. Gives the
// descriptor and the size of the file.
Status OpenLockedFile(const std::string& path, bool writable, int32_t options, int* fd,
                      int64_t* size);

// Closes |fd| (releasing its lock).
Status CloseFile(int fd);

// pread/pwrite of exactly |size| bytes, retrying interrupted and short
// transfers. A read that meets the end of the file is INFEASIBLE_ERROR.
Status ReadFully(int fd, int64_t off, void* buf, size_t size);
Status WriteFully(int fd, int64_t off, const void* buf, size_t size);

// ftruncate to |size|.
Status TruncateFile(int fd, int64_t size);

// fdatasync.
Status SyncFile(int fd);

// Zeroes |size| bytes at |off| of |fd| by punching a hole, keeping the file
// size. Returns false when the file system cannot do that.
bool PunchHole(int fd, int64_t off, int64_t size);

// rename(2).
Status RenameFile(const std::string& old_path, const std::string& new_path);

}  // namespace morvel

#endif  // MORVEL_SRC_FILE_UTIL_H_
