// Flat records.
//
// Frame layout: the magic byte 0xFF, the length of the data as a base-128
// varint (WriteVarNum), then the data. A record is a key frame followed by a
// value frame.
//
// The writer gathers frames in a buffer and appends them with one File::Append
// per flush, and always keeps the two frames of a record in one append, so
// that a file shared with other appenders never gets a record torn apart.
//
// The reader treats the file as hostile: every length is checked against the
// bytes that remain before it is used, and a frame that would pass the end is
// BROKEN_DATA_ERROR. It reads through a buffer of kReadChunk bytes, grown to
// the size of a frame that does not fit.

#include "morvel/flat_records.h"

#include <algorithm>
#include <exception>

#include "morvel/str_util.h"

namespace morvel {

namespace {

constexpr unsigned char kDataMagic = 0xFF;
// The longest frame header: the magic byte and a 10-byte varint.
constexpr size_t kMaxHeaderSize = 11;
constexpr int64_t kReadChunk = 1 << 16;

Status BrokenFrame(const char* what, int64_t offset) {
  return Status(Status::BROKEN_DATA_ERROR,
                std::string(what) + " at offset " + std::to_string(offset));
}

}  // namespace

FlatRecordWriter::FlatRecordWriter(File* file, size_t buffer_size)
    : file_(file), buffer_size_(buffer_size) {}

FlatRecordWriter::~FlatRecordWriter() { Flush(); }

Status FlatRecordWriter::Write(std::string_view data) {
  char head[kMaxHeaderSize];
  head[0] = static_cast<char>(kDataMagic);
  const size_t head_size = 1 + WriteVarNum(head + 1, data.size());
  try {
    buffer_.append(head, head_size);
    buffer_.append(data);
  } catch (const std::exception&) {
    return Status(Status::SYSTEM_ERROR, "out of memory for a frame");
  }
  if (buffer_.size() >= buffer_size_) return Flush();
  return Status();
}

Status FlatRecordWriter::WriteRecord(std::string_view key, std::string_view value) {
  char key_head[kMaxHeaderSize];
  char value_head[kMaxHeaderSize];
  key_head[0] = static_cast<char>(kDataMagic);
  value_head[0] = static_cast<char>(kDataMagic);
  const size_t key_head_size = 1 + WriteVarNum(key_head + 1, key.size());
  const size_t value_head_size = 1 + WriteVarNum(value_head + 1, value.size());
  const size_t old_size = buffer_.size();
  try {
    buffer_.append(key_head, key_head_size);
    buffer_.append(key);
    buffer_.append(value_head, value_head_size);
    buffer_.append(value);
  } catch (const std::exception&) {
    buffer_.resize(old_size);
    return Status(Status::SYSTEM_ERROR, "out of memory for a record");
  }
  if (buffer_.size() >= buffer_size_) return Flush();
  return Status();
}

Status FlatRecordWriter::Flush() {
  if (buffer_.empty()) return Status();
  Status status = file_->Append(buffer_.data(), buffer_.size());
  if (status.IsOK()) buffer_.clear();
  return status;
}

FlatRecordReader::FlatRecordReader(File* file, int64_t offset, int64_t end_offset)
    : file_(file), offset_(offset), end_offset_(end_offset), buffer_offset_(0) {}

Status FlatRecordReader::Read(std::string_view* data) {
  int64_t end = 0;
  Status status = file_->GetSize(&end);
  if (!status.IsOK()) return status;
  if (end_offset_ >= 0) end = std::min(end, end_offset_);
  if (offset_ < 0) return BrokenFrame("negative offset", offset_);
  if (offset_ >= end) return Status(Status::NOT_FOUND_ERROR, "no more records");

  // Makes the buffer hold [offset_, offset_ + size), which must end by |end|.
  auto fill = [&](int64_t size) -> Status {
    const int64_t buffer_end = buffer_offset_ + static_cast<int64_t>(buffer_.size());
    if (offset_ >= buffer_offset_ && offset_ + size <= buffer_end) return Status();
    const int64_t read_size = std::min(std::max(size, kReadChunk), end - offset_);
    try {
      buffer_.resize(read_size);
    } catch (const std::exception&) {
      buffer_.clear();
      return Status(Status::SYSTEM_ERROR, "out of memory for a frame");
    }
    Status read_status = file_->Read(offset_, buffer_.data(), read_size);
    if (!read_status.IsOK()) {
      buffer_.clear();
      return read_status;
    }
    buffer_offset_ = offset_;
    return Status();
  };

  const int64_t remaining = end - offset_;
  const int64_t head_avail = std::min<int64_t>(remaining, kMaxHeaderSize);
  status = fill(head_avail);
  if (!status.IsOK()) return status;
  const char* head = buffer_.data() + (offset_ - buffer_offset_);
  if (static_cast<unsigned char>(head[0]) != kDataMagic) {
    return BrokenFrame("bad magic byte", offset_);
  }
  uint64_t data_size = 0;
  const size_t num_size = ReadVarNum(head + 1, head_avail - 1, &data_size);
  if (num_size == 0) return BrokenFrame("bad frame length", offset_);
  const int64_t head_size = 1 + static_cast<int64_t>(num_size);
  if (data_size > static_cast<uint64_t>(remaining - head_size)) {
    return BrokenFrame("frame cut short", offset_);
  }
  const int64_t frame_size = head_size + static_cast<int64_t>(data_size);
  status = fill(frame_size);
  if (!status.IsOK()) return status;
  *data = std::string_view(buffer_.data() + (offset_ - buffer_offset_) + head_size, data_size);
  offset_ += frame_size;
  return Status();
}

Status FlatRecordReader::ReadRecord(std::string* key, std::string* value) {
  std::string_view data;
  Status status = Read(&data);
  if (!status.IsOK()) return status;
  const int64_t key_offset = offset_;
  try {
    key->assign(data);
  } catch (const std::exception&) {
    return Status(Status::SYSTEM_ERROR, "out of memory for a key");
  }
  status = Read(&data);
  if (status == Status::NOT_FOUND_ERROR) return BrokenFrame("a key without a value", key_offset);
  if (!status.IsOK()) return status;
  try {
    value->assign(data);
  } catch (const std::exception&) {
    return Status(Status::SYSTEM_ERROR, "out of memory for a value");
  }
  return Status();
}

}  // namespace morvel
