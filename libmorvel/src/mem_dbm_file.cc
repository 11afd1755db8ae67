// The file of a memory database: flat records, written whole.
//
// The file is held open and locked from Open to Close. Saving writes every
// record to "PATH.tmp" and renames it over PATH, so a crash leaves either the
// old file or the new one, never a mix. The lock is taken on the temporary file
// before the rename and the old file is closed after it, so the lock stays on
// the inode that PATH names.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mem_dbm_internal.h"
#include "morvel/file_impl.h"
#include "morvel/mem_dbm.h"

namespace morvel {

namespace {

// Writes all records into a fresh file at |path| and flushes it.
Status WriteWholeFile(File* file, const std::string& path, int32_t options,
                      const MemoryDBMFile::Dumper& dumper, bool hard) {
  Status status = file->Open(path, true, options);
  if (!status.IsOK()) {
    return status;
  }
  FlatRecordWriter writer(file);
  status = dumper(&writer);
  status |= writer.Flush();
  if (status.IsOK()) {
    status = file->Synchronize(hard);
  }
  return status;
}

}  // namespace

Status NoFileStatus() {
  return Status(Status::PRECONDITION_ERROR, "the memory database has no file");
}

Status MemoryDBMFile::Open(const std::string& path, bool writable, int32_t options,
                           const Loader& loader) {
  if (path.empty()) {
    return Status();
  }
  auto file = std::make_unique<PositionalParallelFile>();
  Status status = file->Open(path, writable, options);
  if (!status.IsOK()) {
    return status;
  }
  FlatRecordReader reader(file.get());
  std::string key, value;
  while (true) {
    status = reader.ReadRecord(&key, &value);
    if (status == Status::NOT_FOUND_ERROR) {
      break;
    }
    if (!status.IsOK()) {
      file->Close();
      return status;
    }
    loader(key, value);
  }
  file_ = std::move(file);
  path_ = path;
  writable_ = writable;
  options_ = options;
  return Status();
}

Status MemoryDBMFile::Save(const Dumper& dumper, bool hard) {
  if (file_ == nullptr || !writable_) {
    return Status();
  }
  const std::string tmp_path = path_ + ".tmp";
  auto tmp_file = file_->MakeFile();
  const int32_t tmp_options = File::OPEN_TRUNCATE | (options_ & File::OPEN_NO_LOCK);
  hard = hard || (options_ & File::OPEN_SYNC_HARD);
  Status status = WriteWholeFile(tmp_file.get(), tmp_path, tmp_options, dumper, hard);
  if (status.IsOK()) {
    status = tmp_file->Rename(path_);
  }
  if (!status.IsOK()) {
    if (tmp_file->IsOpen()) {
      tmp_file->Close();
    }
    unlink(tmp_path.c_str());
    return status;
  }
  file_->Close();
  file_ = std::move(tmp_file);
  return Status();
}

Status MemoryDBMFile::Close(const Dumper& dumper) {
  if (file_ == nullptr) {
    return Status();
  }
  Status status = Save(dumper, false);
  status |= file_->Close();
  file_.reset();
  path_.clear();
  return status;
}

Status MemoryDBMFile::GetFileSize(int64_t* size) {
  if (file_ == nullptr) {
    return NoFileStatus();
  }
  return file_->GetSize(size);
}

Status MemoryDBMFile::GetTimestamp(double* timestamp) {
  if (file_ == nullptr) {
    return NoFileStatus();
  }
  struct stat sbuf;
  if (stat(path_.c_str(), &sbuf) != 0) {
    return Status(Status::SYSTEM_ERROR, std::string("stat failed: ") + std::strerror(errno));
  }
  *timestamp = sbuf.st_mtim.tv_sec + sbuf.st_mtim.tv_nsec / 1e9;
  return Status();
}

Status MemoryDBMFile::CopyTo(const std::string& dest_path, const Dumper& dumper,
                             bool sync_hard) {
  if (file_ == nullptr) {
    return NoFileStatus();
  }
  if (dest_path == path_) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the copy would overwrite the database file");
  }
  auto dest = file_->MakeFile();
  Status status =
      WriteWholeFile(dest.get(), dest_path, File::OPEN_TRUNCATE | File::OPEN_NO_LOCK, dumper,
                     sync_hard);
  if (dest->IsOpen()) {
    status |= dest->Close();
  }
  return status;
}

Status RestoreMemoryDatabaseFile(const std::string& old_path, const std::string& new_path,
                                 int64_t end_offset) {
  if (old_path == new_path) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the new path is the old path");
  }
  PositionalParallelFile old_file;
  Status status = old_file.Open(old_path, false, File::OPEN_NO_LOCK);
  if (!status.IsOK()) {
    return status;
  }
  PositionalParallelFile new_file;
  status = new_file.Open(new_path, true, File::OPEN_TRUNCATE);
  if (!status.IsOK()) {
    old_file.Close();
    return status;
  }
  {
    // Keeps every whole record before the first damaged frame or the end offset.
    FlatRecordReader reader(&old_file, 0, end_offset > 0 ? end_offset : -1);
    FlatRecordWriter writer(&new_file);
    std::string key, value;
    while (reader.ReadRecord(&key, &value).IsOK()) {
      status = writer.WriteRecord(key, value);
      if (!status.IsOK()) {
        break;
      }
    }
    status |= writer.Flush();
  }
  status |= new_file.Close();
  status |= old_file.Close();
  return status;
}

}  // namespace morvel
