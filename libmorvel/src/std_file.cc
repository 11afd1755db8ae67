// StdFile: buffered stream I/O (stdio) under one mutex, so every call is
// atomic. The logical size is tracked beside the stream, so reads are checked
// against data still in the write buffer too. Positioning before each read or
// write also switches the stream between reading and writing, as stdio
// requires. Space reservation does not apply; the allocation strategy is kept
// only for MakeFile.

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

#include "file_util.h"
#include "morvel/file_impl.h"

namespace morvel {

struct StdFile::Impl {
  // Guards every member.
  mutable std::mutex mutex;
  FILE* fp = nullptr;
  int fd = -1;
  bool writable = false;
  int32_t options = 0;
  int64_t size = 0;
  std::string path;
  int64_t alloc_init_size = kDefaultAllocInitSize;
  double alloc_inc_factor = kDefaultAllocIncFactor;

  Status Seek(int64_t off) {
    if (fseeko(fp, off, SEEK_SET) != 0) return SystemError("fseeko", errno);
    return Status();
  }

  Status Flush() {
    if (fflush(fp) != 0) return SystemError("fflush", errno);
    return Status();
  }

  Status WriteAt(int64_t off, const void* buf, size_t data_size) {
    Status status = Seek(off);
    if (!status.IsOK()) return status;
    if (data_size > 0 && fwrite(buf, 1, data_size, fp) != data_size) {
      const int error_number = errno;
      clearerr(fp);
      return SystemError("fwrite", error_number);
    }
    return Status();
  }

  Status CloseLocked() {
    Status status;
    if (writable) {
      status |= Flush();
      if (options & File::OPEN_SYNC_HARD) status |= SyncFile(fd);
    }
    // fclose releases the descriptor, and with it the lock.
    ForgetOpenFile(fd);
    if (fclose(fp) != 0) status |= SystemError("fclose", errno);
    fp = nullptr;
    fd = -1;
    size = 0;
    return status;
  }
};

StdFile::StdFile() : impl_(new Impl) {}

StdFile::~StdFile() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp != nullptr) impl_->CloseLocked();
}

Status StdFile::Open(const std::string& path, bool writable, int32_t options) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp != nullptr) return Status(Status::PRECONDITION_ERROR, "the file is already open");
  int fd = -1;
  int64_t file_size = 0;
  Status status = OpenLockedFile(path, writable, options, &fd, &file_size);
  if (!status.IsOK()) return status;
  FILE* fp = fdopen(fd, writable ? "r+b" : "rb");
  if (fp == nullptr) {
    status = SystemError("fdopen", errno);
    CloseFile(fd);
    return status;
  }
  impl_->fp = fp;
  impl_->fd = fd;
  impl_->writable = writable;
  impl_->options = options;
  impl_->size = file_size;
  impl_->path = path;
  return Status();
}

Status StdFile::Close() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  return impl_->CloseLocked();
}

Status StdFile::Read(int64_t off, void* buf, size_t size) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  int64_t end = 0;
  if (!ComputeEnd(off, size, &end) || end > impl_->size) {
    return ReadPastEndError(off, size, impl_->size);
  }
  if (size == 0) return Status();
  Status status = impl_->Seek(off);
  if (!status.IsOK()) return status;
  if (fread(buf, 1, size, impl_->fp) != size) {
    const bool failed = ferror(impl_->fp);
    const int error_number = errno;
    clearerr(impl_->fp);
    if (failed) return SystemError("fread", error_number);
    return Status(Status::INFEASIBLE_ERROR, "the file ended before the read completed");
  }
  return Status();
}

Status StdFile::Write(int64_t off, const void* buf, size_t size) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  if (!impl_->writable) return NotWritableError();
  int64_t end = 0;
  if (!ComputeEnd(off, size, &end)) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "invalid range: offset=" + std::to_string(off));
  }
  Status status = impl_->WriteAt(off, buf, size);
  if (!status.IsOK()) return status;
  if (end > impl_->size) {
    if (size == 0) {
      // A seek alone does not extend the file.
      status = impl_->Flush();
      if (status.IsOK()) status = TruncateFile(impl_->fd, end);
      if (!status.IsOK()) return status;
    }
    impl_->size = end;
  }
  return Status();
}

Status StdFile::Append(const void* buf, size_t size, int64_t* off) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  if (!impl_->writable) return NotWritableError();
  int64_t end = 0;
  if (!ComputeEnd(impl_->size, size, &end)) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the file would be too large");
  }
  Status status = impl_->WriteAt(impl_->size, buf, size);
  if (!status.IsOK()) return status;
  if (off != nullptr) *off = impl_->size;
  impl_->size = end;
  return Status();
}

Status StdFile::Expand(size_t inc_size, int64_t* old_size) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  if (!impl_->writable) return NotWritableError();
  int64_t end = 0;
  if (!ComputeEnd(impl_->size, inc_size, &end)) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the file would be too large");
  }
  Status status = impl_->Flush();
  if (status.IsOK()) status = TruncateFile(impl_->fd, end);
  if (!status.IsOK()) return status;
  if (old_size != nullptr) *old_size = impl_->size;
  impl_->size = end;
  return Status();
}

Status StdFile::Truncate(int64_t size) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  if (!impl_->writable) return NotWritableError();
  if (size < 0) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "negative size: " + std::to_string(size));
  }
  Status status = impl_->Flush();
  if (status.IsOK()) status = TruncateFile(impl_->fd, size);
  if (!status.IsOK()) return status;
  impl_->size = size;
  return Status();
}

Status StdFile::Synchronize(bool hard, int64_t, int64_t) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  if (!impl_->writable) return Status();
  Status status = impl_->Flush();
  if (status.IsOK() && (hard || (impl_->options & OPEN_SYNC_HARD))) {
    status = SyncFile(impl_->fd);
  }
  return status;
}

Status StdFile::GetSize(int64_t* size) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  *size = impl_->size;
  return Status();
}

Status StdFile::SetAllocationStrategy(int64_t init_size, double inc_factor) {
  Status status = CheckAllocationStrategy(init_size, inc_factor);
  if (!status.IsOK()) return status;
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->alloc_init_size = init_size;
  impl_->alloc_inc_factor = inc_factor;
  return Status();
}

Status StdFile::GetPath(std::string* path) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  *path = impl_->path;
  return Status();
}

Status StdFile::Rename(const std::string& new_path) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (impl_->fp == nullptr) return NotOpenError();
  Status status = impl_->writable ? impl_->Flush() : Status();
  if (!status.IsOK()) return status;
  status = RenameFileDurably(impl_->fd, impl_->path, new_path);
  if (status.IsOK()) impl_->path = new_path;
  return status;
}

bool StdFile::IsOpen() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->fp != nullptr;
}

bool StdFile::IsMemoryMapping() const { return false; }

bool StdFile::IsAtomic() const { return true; }

std::unique_ptr<File> StdFile::MakeFile() const {
  auto file = std::make_unique<StdFile>();
  std::lock_guard<std::mutex> lock(impl_->mutex);
  file->SetAllocationStrategy(impl_->alloc_init_size, impl_->alloc_inc_factor);
  return file;
}

}  // namespace morvel
