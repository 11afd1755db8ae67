// Flat records: the transfer format of exports and of the memory databases'
// files. A sequence of frames, each a magic byte, a varint length and the
// bytes; a record is a key frame followed by a value frame.
//
// Readers and writers are not thread-safe; one per thread. The file they use
// may be shared.

#ifndef MORVEL_FLAT_RECORDS_H_
#define MORVEL_FLAT_RECORDS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "morvel/file.h"
#include "morvel/status.h"

namespace morvel {

class FlatRecordWriter final {
 public:
  // Appends frames at the end of |file|, which must stay open while in use.
  // Writes are buffered up to |buffer_size| bytes.
  explicit FlatRecordWriter(File* file, size_t buffer_size = 1 << 20);
  FlatRecordWriter(const FlatRecordWriter&) = delete;
  FlatRecordWriter& operator=(const FlatRecordWriter&) = delete;
  // Flushes; a failure then is lost, so call Flush first to see it.
  ~FlatRecordWriter();

  // Adds one frame holding |data|.
  Status Write(std::string_view data);
  // Adds a key frame and a value frame.
  Status WriteRecord(std::string_view key, std::string_view value);
  // Appends the buffered frames to the file.
  Status Flush();

 private:
  File* file_;
  size_t buffer_size_;
  std::string buffer_;
};

class FlatRecordReader final {
 public:
  // Reads frames of |file| from |offset| on. |end_offset| -1 reads to the end of
  // the file; a non-negative value stops there.
  explicit FlatRecordReader(File* file, int64_t offset = 0, int64_t end_offset = -1);
  FlatRecordReader(const FlatRecordReader&) = delete;
  FlatRecordReader& operator=(const FlatRecordReader&) = delete;

  // Reads the next frame. |data| stays valid until the next call. NOT_FOUND_ERROR
  // at the clean end; BROKEN_DATA_ERROR for a bad magic byte, a bad length or a
  // frame cut short. Never reads past the end.
  Status Read(std::string_view* data);
  // Reads a key frame and a value frame. A key without a value is
  // BROKEN_DATA_ERROR.
  Status ReadRecord(std::string* key, std::string* value);
  // The offset of the next frame.
  int64_t GetOffset() const { return offset_; }

 private:
  File* file_;
  int64_t offset_;
  int64_t end_offset_;
  std::string buffer_;
  int64_t buffer_offset_;
  std::string data_;
};

}  // namespace morvel

#endif  // MORVEL_FLAT_RECORDS_H_
