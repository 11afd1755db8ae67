// The file of a memory database, shared by TinyDBM and BabyDBM. Not thread-safe:
// the owning database calls it under its own whole-database lock.

#ifndef MORVEL_MEM_DBM_INTERNAL_H_
#define MORVEL_MEM_DBM_INTERNAL_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "morvel/file.h"
#include "morvel/status.h"

namespace morvel {

class MemoryDBMFile final {
 public:
  // Writes one record to the file being made.
  using RecordWriter = std::function<Status(std::string_view key, std::string_view value)>;
  // Writes every record of the database through the writer.
  using Dumper = std::function<Status(const RecordWriter& write)>;
  // Takes one loaded record.
  using Loader = std::function<void(std::string_view key, std::string_view value)>;

  MemoryDBMFile() = default;
  MemoryDBMFile(const MemoryDBMFile&) = delete;
  MemoryDBMFile& operator=(const MemoryDBMFile&) = delete;

  // Opens and locks |path| (nothing for an empty path) and passes every record
  // in it to |loader|. A damaged or unfinished file is BROKEN_DATA_ERROR and is
  // left closed when |writable| is false; when true, every whole record is
  // loaded and the file is written again at once through |dumper|.
  Status Open(const std::string& path, bool writable, int32_t options, const Loader& loader,
              const Dumper& dumper);
  // Writes the records, whole and with a checksum, to a temporary file and
  // renames it durably over the file; the lock moves to the new file, which is
  // locked before the rename. Nothing for an empty path or a reader.
  Status Save(const Dumper& dumper, bool hard);
  // Saves when writable, then closes. The file is closed even when saving fails.
  Status Close(const Dumper& dumper);

  bool HasFile() const { return file_ != nullptr; }
  const std::string& GetPath() const { return path_; }
  Status GetFileSize(int64_t* size);
  Status GetTimestamp(double* timestamp);
  // Writes a whole image of the records to |dest_path|, under its file lock.
  // The database's own file, under any name, is INVALID_ARGUMENT_ERROR.
  Status CopyTo(const std::string& dest_path, const Dumper& dumper, bool sync_hard);

 private:
  std::unique_ptr<File> file_;
  std::string path_;
  bool writable_ = false;
  int32_t options_ = 0;
};

// The failure of a file operation on a memory database that has no file.
Status NoFileStatus();

// The failures that both memory databases report.
inline Status ClosedStatus() { return Status(Status::PRECONDITION_ERROR, "not opened database"); }
inline Status ReadOnlyStatus() {
  return Status(Status::PRECONDITION_ERROR, "not writable database");
}
inline Status AllocFailedStatus() {
  return Status(Status::SYSTEM_ERROR, "memory allocation failed");
}

// Whether a database that is |open| and |db_writable| may run an operation
// that writes when |writable|: OK, or the failure to report.
inline Status CheckUsable(bool open, bool db_writable, bool writable) {
  if (!open) return ClosedStatus();
  if (writable && !db_writable) return ReadOnlyStatus();
  return Status();
}

}  // namespace morvel

#endif  // MORVEL_MEM_DBM_INTERNAL_H_
