// Export and import of whole databases.
//
// Exports walk the database once with a read-only ProcessEach and append
// through a buffer, so the file sees a few large appends. A record's two
// frames always go out in one append. The walk cannot be stopped, so after a
// failed write the remaining records are skipped and the first failure is
// returned, and the file is cut back to its size before the export, so a
// failed export leaves no partial records behind.

#include "morvel/dbm_util.h"

#include <exception>
#include <string>

#include "morvel/flat_records.h"

namespace morvel {

namespace {

constexpr size_t kLineBufferSize = 1 << 20;

}  // namespace

Status ExportDBMToFlatRecords(DBM* dbm, File* dest) {
  int64_t start_size = 0;
  Status status = dest->GetSize(&start_size);
  if (!status.IsOK()) return status;
  {
    FlatRecordWriter writer(dest);
    Status write_status;
    status = dbm->ProcessEach(
        [&](std::string_view key, std::string_view value) -> std::string_view {
          if (write_status.IsOK()) write_status = writer.WriteRecord(key, value);
          return DBM::RecordProcessor::NOOP;
        },
        false);
    status |= write_status;
    if (status.IsOK()) status = writer.Flush();
  }
  if (!status.IsOK()) dest->Truncate(start_size);
  return status;
}

Status ImportDBMFromFlatRecords(DBM* dbm, File* src) {
  FlatRecordReader reader(src, 0);
  std::string key;
  std::string value;
  while (true) {
    Status status = reader.ReadRecord(&key, &value);
    if (status == Status::NOT_FOUND_ERROR) return Status();
    if (!status.IsOK()) return status;
    status = dbm->Set(key, value);
    if (!status.IsOK()) return status;
  }
}

Status ExportDBMKeysAsLines(DBM* dbm, File* dest) {
  int64_t start_size = 0;
  Status status = dest->GetSize(&start_size);
  if (!status.IsOK()) return status;
  std::string buffer;
  Status write_status;
  status = dbm->ProcessEach(
      [&](std::string_view key, std::string_view) -> std::string_view {
        if (!write_status.IsOK()) return DBM::RecordProcessor::NOOP;
        try {
          buffer.append(key);
          buffer.push_back('\n');
        } catch (const std::exception&) {
          write_status = Status(Status::SYSTEM_ERROR, "out of memory for the key lines");
          return DBM::RecordProcessor::NOOP;
        }
        if (buffer.size() >= kLineBufferSize) {
          write_status = dest->Append(buffer.data(), buffer.size());
          buffer.clear();
        }
        return DBM::RecordProcessor::NOOP;
      },
      false);
  status |= write_status;
  if (status.IsOK() && !buffer.empty()) status = dest->Append(buffer.data(), buffer.size());
  if (!status.IsOK()) dest->Truncate(start_size);
  return status;
}

}  // namespace morvel
