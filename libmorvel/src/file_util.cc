// Helpers shared by the file classes.
//
// Locking: the lock is a flock on the open file description, so two opens of
// one path in one process exclude each other as two processes do. A writer's
// truncation happens only after its exclusive lock is held, so a waiting writer
// never destroys the content of the holder.

#include "file_util.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "morvel/file.h"

namespace morvel {

namespace {

// strerror_r in either of its two flavours.
[[maybe_unused]] const char* ErrorText(int ret, const char* buf) { return ret == 0 ? buf : "unknown error"; }
[[maybe_unused]] const char* ErrorText(const char* ret, const char*) { return ret; }

}  // namespace

Status SystemError(const char* call, int error_number) {
  char buf[256];
  buf[0] = '\0';
  const char* text = ErrorText(strerror_r(error_number, buf, sizeof(buf)), buf);
  std::string message(call);
  message += " failed: ";
  message += text;
  return Status(Status::SYSTEM_ERROR, message);
}

Status NotOpenError() { return Status(Status::PRECONDITION_ERROR, "the file is not open"); }

Status NotWritableError() {
  return Status(Status::PRECONDITION_ERROR, "the file is not opened writable");
}

Status ReadPastEndError(int64_t off, size_t size, int64_t file_size) {
  return Status(Status::INFEASIBLE_ERROR,
                "read past the end of the file: offset=" + std::to_string(off) +
                    " size=" + std::to_string(size) +
                    " file size=" + std::to_string(file_size));
}

bool ComputeEnd(int64_t off, size_t size, int64_t* end) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (off < 0 || size > static_cast<uint64_t>(kMax) ||
      off > kMax - static_cast<int64_t>(size)) {
    return false;
  }
  *end = off + static_cast<int64_t>(size);
  return true;
}

Status CheckAllocationStrategy(int64_t init_size, double inc_factor) {
  if (init_size < 0) {
    return Status(Status::INVALID_ARGUMENT_ERROR,
                  "negative allocation size: " + std::to_string(init_size));
  }
  if (!(inc_factor >= 1.0) || !std::isfinite(inc_factor)) {
    return Status(Status::INVALID_ARGUMENT_ERROR,
                  "the allocation factor must be at least 1: " + std::to_string(inc_factor));
  }
  return Status();
}

int64_t ComputeAllocSize(int64_t current, int64_t needed, int64_t init_size,
                         double inc_factor, int64_t align) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max() / 2;
  int64_t size = needed;
  if (size < init_size) size = init_size;
  const double scaled = static_cast<double>(current) * inc_factor;
  if (scaled < static_cast<double>(kMax) && static_cast<int64_t>(scaled) > size) {
    size = static_cast<int64_t>(scaled);
  }
  if (align > 1 && size < kMax) size = (size + align - 1) / align * align;
  return size;
}

Status OpenLockedFile(const std::string& path, bool writable, int32_t options, int* fd,
                      int64_t* size) {
  int flags = O_CLOEXEC;
  if (writable) {
    flags |= O_RDWR;
    if (!(options & File::OPEN_NO_CREATE)) flags |= O_CREAT;
  } else {
    flags |= O_RDONLY;
  }
  int new_fd = -1;
  do {
    new_fd = ::open(path.c_str(), flags, 0644);
  } while (new_fd < 0 && errno == EINTR);
  if (new_fd < 0) {
    if (errno == ENOENT) {
      return Status(Status::NOT_FOUND_ERROR, "no such file: " + path);
    }
    return SystemError("open", errno);
  }
  struct stat sbuf;
  if (fstat(new_fd, &sbuf) != 0) {
    const Status status = SystemError("fstat", errno);
    ::close(new_fd);
    return status;
  }
  if (!S_ISREG(sbuf.st_mode)) {
    ::close(new_fd);
    return Status(Status::INFEASIBLE_ERROR, "not a regular file: " + path);
  }
  if (!(options & File::OPEN_NO_LOCK)) {
    int operation = writable ? LOCK_EX : LOCK_SH;
    if (options & File::OPEN_NO_WAIT) operation |= LOCK_NB;
    int ret = 0;
    do {
      ret = flock(new_fd, operation);
    } while (ret != 0 && errno == EINTR);
    if (ret != 0) {
      const int error_number = errno;
      ::close(new_fd);
      if (error_number == EWOULDBLOCK) {
        return Status(Status::INFEASIBLE_ERROR, "the file is locked by another holder: " + path);
      }
      return SystemError("flock", error_number);
    }
  }
  // The size is taken again under the lock: a holder we waited for may have
  // changed it (trimming its reservation at Close, say).
  if (fstat(new_fd, &sbuf) != 0) {
    const Status status = SystemError("fstat", errno);
    ::close(new_fd);
    return status;
  }
  if (writable && (options & File::OPEN_TRUNCATE) && sbuf.st_size > 0) {
    if (ftruncate(new_fd, 0) != 0) {
      const Status status = SystemError("ftruncate", errno);
      ::close(new_fd);
      return status;
    }
    sbuf.st_size = 0;
  }
  *fd = new_fd;
  *size = sbuf.st_size;
  return Status();
}

Status CloseFile(int fd) {
  // The descriptor is released even when close reports a failure, so it is
  // never retried.
  if (::close(fd) != 0 && errno != EINTR) return SystemError("close", errno);
  return Status();
}

Status ReadFully(int fd, int64_t off, void* buf, size_t size) {
  char* wp = static_cast<char*>(buf);
  while (size > 0) {
    const ssize_t done = pread(fd, wp, size, off);
    if (done < 0) {
      if (errno == EINTR) continue;
      return SystemError("pread", errno);
    }
    if (done == 0) {
      return Status(Status::INFEASIBLE_ERROR, "the file ended before the read completed");
    }
    wp += done;
    off += done;
    size -= done;
  }
  return Status();
}

Status WriteFully(int fd, int64_t off, const void* buf, size_t size) {
  const char* rp = static_cast<const char*>(buf);
  while (size > 0) {
    const ssize_t done = pwrite(fd, rp, size, off);
    if (done < 0) {
      if (errno == EINTR) continue;
      return SystemError("pwrite", errno);
    }
    rp += done;
    off += done;
    size -= done;
  }
  return Status();
}

Status TruncateFile(int fd, int64_t size) {
  int ret = 0;
  do {
    ret = ftruncate(fd, size);
  } while (ret != 0 && errno == EINTR);
  if (ret != 0) return SystemError("ftruncate", errno);
  return Status();
}

Status SyncFile(int fd) {
  int ret = 0;
  do {
    ret = fdatasync(fd);
  } while (ret != 0 && errno == EINTR);
  if (ret != 0) return SystemError("fdatasync", errno);
  return Status();
}

bool PunchHole(int fd, int64_t off, int64_t size) {
  if (size <= 0) return true;
  return fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off, size) == 0;
}

Status RenameFile(const std::string& old_path, const std::string& new_path) {
  if (std::rename(old_path.c_str(), new_path.c_str()) != 0) return SystemError("rename", errno);
  return Status();
}

}  // namespace morvel
