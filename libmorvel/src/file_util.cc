// Helpers shared by the file classes.
//
// Locking: the lock is a flock on the open file description, so two opens of
// one path in one process would exclude each other as two processes do, and a
// thread could wait for ever on a lock that its own process holds. To fail such
// an open at once instead, the process keeps one table of the files it holds
// locked, by device and inode: an opener claims its entry before it waits for
// the flock, and a conflicting claim is INFEASIBLE_ERROR. Entries follow the
// inode, not the name, so a file that is renamed over another keeps its entry
// and the replaced file keeps its own until it is closed.
//
// A holder may rename a new file over the path (a rebuild, a memory database's
// save) while another opener waits on the old inode's lock; that lock is free
// once the holder closes the old file. So once the lock is held, the opener
// checks that the path still names the inode it locked, and starts again if
// not, rather than work on a file that nobody can find any more.
//
// A writer's truncation happens only after its exclusive lock is held (and the
// path is checked), so a waiting writer never destroys the content of the
// holder.

#include "file_util.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <utility>

#include "morvel/file.h"

namespace morvel {

namespace {

// strerror_r in either of its two flavours.
[[maybe_unused]] const char* ErrorText(int ret, const char* buf) { return ret == 0 ? buf : "unknown error"; }
[[maybe_unused]] const char* ErrorText(const char* ret, const char*) { return ret; }

// The files this process holds locked, by device and inode, and the
// descriptors that hold them.
class OpenFileTable {
 public:
  // Claims |id| for |fd|; false when it is held in a conflicting mode (any
  // holder for a writer, a writer for a reader), with |*by_writer| telling
  // which.
  bool Claim(int fd, const std::pair<dev_t, ino_t>& id, bool writer, bool* by_writer) {
    std::lock_guard<std::mutex> lock(mutex_);
    Holders& holders = files_[id];
    if (holders.writers > 0 || (writer && holders.readers > 0)) {
      *by_writer = holders.writers > 0;
      return false;
    }
    (writer ? holders.writers : holders.readers)++;
    fds_[fd] = {id, writer};
    return true;
  }

  void Release(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto fd_it = fds_.find(fd);
    if (fd_it == fds_.end()) return;
    const auto file_it = files_.find(fd_it->second.first);
    if (file_it != files_.end()) {
      Holders& holders = file_it->second;
      (fd_it->second.second ? holders.writers : holders.readers)--;
      if (holders.writers <= 0 && holders.readers <= 0) files_.erase(file_it);
    }
    fds_.erase(fd_it);
  }

  void LockForFork() { mutex_.lock(); }
  void UnlockAfterFork() { mutex_.unlock(); }

 private:
  struct Holders {
    int readers = 0;
    int writers = 0;
  };
  // Guards both maps.
  std::mutex mutex_;
  std::map<std::pair<dev_t, ino_t>, Holders> files_;
  std::map<int, std::pair<std::pair<dev_t, ino_t>, bool>> fds_;
};

OpenFileTable& GetOpenFileTable() {
  // Never destroyed: files may still be closed by destructors at exit.
  static OpenFileTable* table = [] {
    auto* new_table = new OpenFileTable;
    // A child forked while another thread held the table's mutex would find
    // it locked for ever; the fork waits for it instead. The child keeps the
    // entries, as it keeps the descriptions that hold the locks.
    pthread_atfork([] { GetOpenFileTable().LockForFork(); },
                   [] { GetOpenFileTable().UnlockAfterFork(); },
                   [] { GetOpenFileTable().UnlockAfterFork(); });
    return new_table;
  }();
  return *table;
}

// Closes |fd| on a failure path of an open, keeping the failure's errno out.
void DiscardFile(int fd) {
  ForgetOpenFile(fd);
  ::close(fd);
}

// The directory part of |path|: "." for a bare name.
std::string DirectoryOf(const std::string& path) {
  const size_t pos = path.find_last_of('/');
  if (pos == std::string::npos) return ".";
  if (pos == 0) return "/";
  return path.substr(0, pos);
}

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
  const bool locking = !(options & File::OPEN_NO_LOCK);
  while (true) {
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
    if (locking) {
      bool by_writer = false;
      if (!GetOpenFileTable().Claim(new_fd, {sbuf.st_dev, sbuf.st_ino}, writable, &by_writer)) {
        ::close(new_fd);
        return Status(Status::INFEASIBLE_ERROR,
                      std::string("the file is already opened ") +
                          (by_writer ? "for writing" : "for reading") +
                          " in this process: " + path);
      }
      int operation = writable ? LOCK_EX : LOCK_SH;
      if (options & File::OPEN_NO_WAIT) operation |= LOCK_NB;
      int ret = 0;
      do {
        ret = flock(new_fd, operation);
      } while (ret != 0 && errno == EINTR);
      if (ret != 0) {
        const int error_number = errno;
        DiscardFile(new_fd);
        if (error_number == EWOULDBLOCK) {
          return Status(Status::INFEASIBLE_ERROR,
                        "the file is locked by another holder: " + path);
        }
        return SystemError("flock", error_number);
      }
      struct stat path_buf;
      if (stat(path.c_str(), &path_buf) != 0) {
        const int error_number = errno;
        DiscardFile(new_fd);
        // Removed while we waited: a writer creates it anew, a reader
        // reports it missing.
        if (error_number == ENOENT) continue;
        return SystemError("stat", error_number);
      }
      if (path_buf.st_dev != sbuf.st_dev || path_buf.st_ino != sbuf.st_ino) {
        DiscardFile(new_fd);
        continue;
      }
    }
    // The size is taken again under the lock: a holder we waited for may have
    // changed it (trimming its reservation at Close, say).
    if (fstat(new_fd, &sbuf) != 0) {
      const Status status = SystemError("fstat", errno);
      DiscardFile(new_fd);
      return status;
    }
    if (writable && (options & File::OPEN_TRUNCATE) && sbuf.st_size > 0) {
      if (ftruncate(new_fd, 0) != 0) {
        const Status status = SystemError("ftruncate", errno);
        DiscardFile(new_fd);
        return status;
      }
      sbuf.st_size = 0;
    }
    *fd = new_fd;
    *size = sbuf.st_size;
    return Status();
  }
}

void ForgetOpenFile(int fd) { GetOpenFileTable().Release(fd); }

Status CloseFile(int fd) {
  ForgetOpenFile(fd);
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

Status SyncDirectory(const std::string& path) {
  const std::string dir = DirectoryOf(path);
  int fd = -1;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return SystemError("open", errno);
  int ret = 0;
  do {
    ret = fsync(fd);
  } while (ret != 0 && errno == EINTR);
  const int error_number = errno;
  ::close(fd);
  // Some file systems cannot sync a directory (EINVAL); their renames are as
  // durable as they get.
  if (ret != 0 && error_number != EINVAL) return SystemError("fsync", error_number);
  return Status();
}

Status RenameFileDurably(int fd, const std::string& old_path, const std::string& new_path) {
  int ret = 0;
  do {
    ret = fsync(fd);
  } while (ret != 0 && errno == EINTR);
  if (ret != 0) return SystemError("fsync", errno);
  if (std::rename(old_path.c_str(), new_path.c_str()) != 0) return SystemError("rename", errno);
  Status status = SyncDirectory(new_path);
  if (DirectoryOf(old_path) != DirectoryOf(new_path)) status |= SyncDirectory(old_path);
  return status;
}

Status ReserveFileSpace(int fd, int64_t old_size, int64_t new_size) {
  if (new_size <= old_size) return Status();
  int ret = 0;
  do {
    ret = fallocate(fd, 0, old_size, new_size - old_size);
  } while (ret != 0 && errno == EINTR);
  if (ret == 0) return Status();
  const int error_number = errno;
  if (error_number == EOPNOTSUPP || error_number == ENOSYS) {
    return TruncateFile(fd, new_size);
  }
  // A failed allocation may have kept part of the range; the size goes back
  // so that nothing past it looks reserved.
  TruncateFile(fd, old_size);
  return SystemError("fallocate", error_number);
}

Status AllocateExistingBlocks(int fd, int64_t size) {
  if (size <= 0) return Status();
  int ret = 0;
  do {
    ret = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size);
  } while (ret != 0 && errno == EINTR);
  if (ret == 0 || errno == EOPNOTSUPP || errno == ENOSYS) return Status();
  return SystemError("fallocate", errno);
}

}  // namespace morvel
