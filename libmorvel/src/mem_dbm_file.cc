// The file of a memory database: flat records, written whole.
//
// Layout:
//   header   8 bytes: 0xFE "MVMDB" 0x00 and the format version 0x01
//   records  flat-record frames, a key frame and a value frame for each
//   trailer  16 bytes: 0xFE "END", the CRC-32 of every byte before the
//            trailer (4 bytes), and the number of those bytes (8 bytes), both
//            big-endian
// A file is whole when its trailer is where its size says and the checksum
// matches. Files written before the format had a header and a trailer are
// frames alone; they count as whole when every frame is.
//
// The file is held open and locked from Open to Close. Saving writes every
// record to "PATH.tmp", cuts it to its exact size, syncs it and renames it over
// PATH (then syncs the directory), so a crash leaves either the old file or the
// new one, never a mix. The temporary file is locked before the rename and the
// old file is closed after it, so the lock stays on the inode that PATH names
// and a rival waiting for the old file finds, once it gets that lock, that the
// path has moved on (the file layer then waits on the new one).
//
// A file that is not whole (a crash of an older version, a torn copy, a flipped
// byte) is refused when opened read-only, and restored when opened writable:
// every whole record before the first damaged frame is kept and the file is
// written again at once.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "mem_dbm_internal.h"
#include "morvel/file_impl.h"
#include "morvel/flat_records.h"
#include "morvel/hash_util.h"
#include "morvel/mem_dbm.h"
#include "morvel/str_util.h"

namespace morvel {

namespace {

constexpr char kHeader[] = "\xFE" "MVMDB\x00\x01";
constexpr size_t kHeaderSize = 8;
constexpr char kTrailerMagic[] = "\xFE" "END";
constexpr size_t kTrailerMagicSize = 4;
constexpr size_t kTrailerSize = 16;
constexpr unsigned char kFrameMagic = 0xFF;
// The longest frame header: the magic byte and a 10-byte varint.
constexpr size_t kMaxFrameHeadSize = 11;
constexpr size_t kWriteBufferSize = 1 << 20;
constexpr int64_t kReadChunk = 1 << 20;

std::string_view HeaderView() { return std::string_view(kHeader, kHeaderSize); }

// Writes the layout above: the header at once, frames through a buffer, and
// the trailer at Finish, keeping the checksum of all it wrote.
class ImageWriter final {
 public:
  explicit ImageWriter(File* file) : file_(file) { buffer_.append(HeaderView()); }

  Status WriteRecord(std::string_view key, std::string_view value) {
    try {
      AppendFrame(key);
      AppendFrame(value);
    } catch (const std::exception&) {
      return Status(Status::SYSTEM_ERROR, "out of memory for a record");
    }
    if (buffer_.size() >= kWriteBufferSize) return Flush();
    return Status();
  }

  Status Finish() {
    Status status = Flush();
    if (!status.IsOK()) return status;
    std::string trailer(kTrailerMagic, kTrailerMagicSize);
    trailer += IntToStrBigEndian(crc_ ^ 0xFFFFFFFFU, 4);
    trailer += IntToStrBigEndian(static_cast<uint64_t>(size_), 8);
    return file_->Append(trailer.data(), trailer.size());
  }

 private:
  void AppendFrame(std::string_view data) {
    char head[kMaxFrameHeadSize];
    head[0] = static_cast<char>(kFrameMagic);
    const size_t head_size = 1 + WriteVarNum(head + 1, data.size());
    buffer_.append(head, head_size);
    buffer_.append(data);
  }

  Status Flush() {
    if (buffer_.empty()) return Status();
    Status status = file_->Append(buffer_.data(), buffer_.size());
    if (!status.IsOK()) return status;
    crc_ = HashCRC32Continuous(crc_, buffer_.data(), buffer_.size());
    size_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
    return Status();
  }

  File* file_;
  std::string buffer_;
  uint32_t crc_ = 0xFFFFFFFFU;
  int64_t size_ = 0;
};

Status Damaged(const std::string& why, const std::string& path) {
  return Status(Status::BROKEN_DATA_ERROR,
                "the database file is damaged or unfinished (" + why + "): " + path);
}

// The CRC-32 of the first |size| bytes of |file|.
Status ComputeChecksum(File* file, int64_t size, uint32_t* crc) {
  uint32_t value = 0xFFFFFFFFU;
  std::string buf;
  for (int64_t off = 0; off < size;) {
    const int64_t chunk = std::min(kReadChunk, size - off);
    buf.resize(chunk);
    Status status = file->Read(off, buf.data(), chunk);
    if (!status.IsOK()) return status;
    value = HashCRC32Continuous(value, buf.data(), chunk);
    off += chunk;
  }
  *crc = value ^ 0xFFFFFFFFU;
  return Status();
}

// Checks the header and the trailer of |file| (|size| bytes). |*start| and
// |*end| get the range of the frames; |*whole| whether the checksum holds,
// or, for a file without a header, false (only reading all frames tells).
// |*why| says what is wrong.
Status InspectImage(File* file, int64_t size, bool* has_header, bool* whole, int64_t* start,
                    int64_t* end, std::string* why) {
  *has_header = false;
  *whole = false;
  *start = 0;
  *end = size;
  if (size < static_cast<int64_t>(kHeaderSize)) return Status();
  std::string head(kHeaderSize, '\0');
  Status status = file->Read(0, head.data(), kHeaderSize);
  if (!status.IsOK()) return status;
  if (head != HeaderView()) return Status();
  *has_header = true;
  *start = kHeaderSize;
  if (size < static_cast<int64_t>(kHeaderSize + kTrailerSize)) {
    *why = "no trailer";
    return Status();
  }
  std::string trailer(kTrailerSize, '\0');
  status = file->Read(size - kTrailerSize, trailer.data(), kTrailerSize);
  if (!status.IsOK()) return status;
  const int64_t content_size = size - kTrailerSize;
  if (std::string_view(trailer).substr(0, kTrailerMagicSize) !=
          std::string_view(kTrailerMagic, kTrailerMagicSize) ||
      StrToIntBigEndian(std::string_view(trailer).substr(8, 8)) != content_size) {
    *why = "no trailer";
    return Status();
  }
  uint32_t crc = 0;
  status = ComputeChecksum(file, content_size, &crc);
  if (!status.IsOK()) return status;
  if (static_cast<uint64_t>(StrToIntBigEndian(std::string_view(trailer).substr(4, 4))) != crc) {
    *why = "checksum mismatch";
    return Status();
  }
  *whole = true;
  *end = content_size;
  return Status();
}

// Passes the records of the memory-database file |file| to |loader|, up to
// |limit| when it is not negative. A file that is not whole is
// BROKEN_DATA_ERROR, with nothing loaded when the checksum tells, unless
// |salvage|: then every whole record before the first damaged frame is loaded
// and |*salvaged| is set.
Status ReadImage(File* file, const std::string& path, int64_t limit, bool salvage,
                 const MemoryDBMFile::Loader& loader, bool* salvaged) {
  *salvaged = false;
  int64_t size = 0;
  Status status = file->GetSize(&size);
  if (!status.IsOK()) return status;
  bool has_header = false;
  bool whole = false;
  int64_t start = 0;
  int64_t end = 0;
  std::string why;
  status = InspectImage(file, size, &has_header, &whole, &start, &end, &why);
  if (!status.IsOK()) return status;
  if (has_header && !whole) {
    if (!salvage) return Damaged(why, path);
    *salvaged = true;
  }
  if (limit >= 0 && limit < end) end = std::max(limit, start);
  FlatRecordReader reader(file, start, end);
  std::string key, value;
  while (true) {
    status = reader.ReadRecord(&key, &value);
    if (status == Status::NOT_FOUND_ERROR) break;
    if (status == Status::BROKEN_DATA_ERROR) {
      if (!salvage) return Damaged(status.GetMessage(), path);
      *salvaged = true;
      break;
    }
    if (!status.IsOK()) return status;
    loader(key, value);
  }
  return Status();
}

// Writes every record into the open, empty |file| and cuts it to its size;
// with |hard|, syncs it to the device.
Status WriteImage(File* file, const MemoryDBMFile::Dumper& dumper, bool hard) {
  ImageWriter writer(file);
  Status status =
      dumper([&writer](std::string_view key, std::string_view value) {
        return writer.WriteRecord(key, value);
      });
  if (!status.IsOK()) return status;
  status = writer.Finish();
  if (!status.IsOK()) return status;
  return file->Synchronize(hard);
}

// Whether |a| and |b| name the same existing file.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat a_stat, b_stat;
  return stat(a.c_str(), &a_stat) == 0 && stat(b.c_str(), &b_stat) == 0 &&
         a_stat.st_dev == b_stat.st_dev && a_stat.st_ino == b_stat.st_ino;
}

}  // namespace

Status NoFileStatus() {
  return Status(Status::PRECONDITION_ERROR, "the memory database has no file");
}

Status MemoryDBMFile::Open(const std::string& path, bool writable, int32_t options,
                           const Loader& loader, const Dumper& dumper) {
  if (path.empty()) {
    return Status();
  }
  auto file = std::make_unique<PositionalParallelFile>();
  Status status = file->Open(path, writable, options);
  if (!status.IsOK()) {
    return status;
  }
  bool salvaged = false;
  status = ReadImage(file.get(), path, -1, writable, loader, &salvaged);
  if (!status.IsOK()) {
    file->Close();
    return status;
  }
  file_ = std::move(file);
  path_ = path;
  writable_ = writable;
  options_ = options;
  if (salvaged) {
    // The restored records replace the damaged file at once, so that it is
    // whole again even if the process dies before the next save.
    status = Save(dumper, true);
    if (!status.IsOK()) {
      file_->Close();
      file_.reset();
      path_.clear();
      return status;
    }
  }
  return Status();
}

Status MemoryDBMFile::Save(const Dumper& dumper, bool hard) {
  if (file_ == nullptr || !writable_) {
    return Status();
  }
  const std::string tmp_path = path_ + ".tmp";
  auto tmp_file = file_->MakeFile();
  // Only the holder of the database's lock saves, so a held temporary file
  // is a stray holder: it is reported rather than waited for.
  const int32_t tmp_options =
      File::OPEN_TRUNCATE | File::OPEN_NO_WAIT | (options_ & File::OPEN_NO_LOCK);
  hard = hard || (options_ & File::OPEN_SYNC_HARD);
  Status status = tmp_file->Open(tmp_path, true, tmp_options);
  if (!status.IsOK()) {
    return status;
  }
  status = WriteImage(tmp_file.get(), dumper, hard);
  if (status.IsOK()) {
    status = tmp_file->Rename(path_);
  }
  if (!status.IsOK()) {
    tmp_file->Close();
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
  // Opening the destination would truncate the database's own file, whatever
  // name reaches it.
  if (dest_path == path_ || SameFile(dest_path, path_)) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the copy would overwrite the database file");
  }
  // The destination's lock is taken, so a database that has it open (in this
  // process or another) is not overwritten under its feet.
  auto dest = file_->MakeFile();
  Status status = dest->Open(dest_path, true, File::OPEN_TRUNCATE);
  if (!status.IsOK()) {
    return status;
  }
  status = WriteImage(dest.get(), dumper, sync_hard);
  status |= dest->Close();
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
  // Keeps every whole record before the first damaged frame or the end offset.
  Status write_status;
  status = WriteImage(
      &new_file,
      [&](const MemoryDBMFile::RecordWriter& write) {
        bool salvaged = false;
        Status read_status = ReadImage(
            &old_file, old_path, end_offset > 0 ? end_offset : -1, true,
            [&](std::string_view key, std::string_view value) {
              if (write_status.IsOK()) write_status = write(key, value);
            },
            &salvaged);
        return read_status.IsOK() ? write_status : read_status;
      },
      true);
  status |= new_file.Close();
  status |= old_file.Close();
  return status;
}

}  // namespace morvel
