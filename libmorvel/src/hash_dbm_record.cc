// Reading records: only the bytes of the record asked for are read, since the
// neighbouring records belong to other stripes and may be being written; every
// offset and size read from the file is checked against the end of the record
// data before it is used.

#include "hash_dbm_record.h"

#include <unordered_set>

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"

namespace morvel {
namespace hashdbm {

// data ends at |end|.
Status ReadHead(File* file, const Layout& layout, int64_t end, int64_t off, RecordRead* rec) {
  if (off < layout.record_base || off >= end || (off - layout.record_base) % layout.align != 0) {
    return BrokenData(SPrintF("invalid record offset %lld", static_cast<long long>(off)));
  }
  rec->offset = off;
  // Only bytes of this record are read, never of the next one, which another
  // thread may be writing: first the smallest possible slot, more while the
  // head is incomplete (a longer head means a larger slot), then the rest of
  // the record up to the prefix size.
  const int64_t avail = std::min<int64_t>(kReadPrefix, end - off);
  int64_t size = std::min<int64_t>(AlignUp(layout.VarPos() + 3, layout.align), avail);
  Status status = file->Read(off, rec->prefix, size);
  while (status.IsOK() && !ParseHead(layout, rec->prefix, size, &rec->head)) {
    const int64_t more = std::min<int64_t>(AlignUp(size + 1, layout.align), avail);
    if (more <= size) {
      return BrokenData(SPrintF("broken record at %lld", static_cast<long long>(off)));
    }
    status = file->Read(off + size, rec->prefix + size, more - size);
    size = more;
  }
  if (!status.IsOK()) {
    return status;
  }
  if (rec->head.slot > end - off) {
    return BrokenData(SPrintF("broken record at %lld", static_cast<long long>(off)));
  }
  const int64_t want = std::min<int64_t>(rec->head.slot, avail);
  if (want > size) {
    status = file->Read(off + size, rec->prefix + size, want - size);
    size = want;
  }
  rec->prefix_size = size;
  return status;
}

// Sets |rec->key| and |rec->value| after ReadHead and checks the checksum.
Status ReadBody(File* file, const Layout& layout, RecordRead* rec) {
  const size_t var_pos = layout.VarPos();
  const size_t data_end = rec->head.header_size + rec->head.key_size + rec->head.value_size;
  const char* region = nullptr;
  if (data_end <= rec->prefix_size) {
    region = rec->prefix + var_pos;
  } else {
    rec->body.resize(data_end - var_pos);
    Status status = file->Read(rec->offset + var_pos, rec->body.data(), rec->body.size());
    if (!status.IsOK()) {
      return status;
    }
    region = rec->body.data();
  }
  const size_t key_pos = rec->head.header_size - var_pos;
  rec->key = std::string_view(region + key_pos, rec->head.key_size);
  rec->value = std::string_view(region + key_pos + rec->head.key_size, rec->head.value_size);
  if (layout.crc_width > 0 &&
      Checksum(layout.crc_mode, region, data_end - var_pos) != rec->head.crc) {
    return BrokenData(
        SPrintF("record checksum mismatch at %lld", static_cast<long long>(rec->offset)));
  }
  return Status();
}

// when they are not inside the file or cannot be read.
const char* ScanReader::Get(int64_t off, size_t size) {
  if (off < 0 || size > static_cast<size_t>(std::max<int64_t>(0, end_ - off))) {
    return nullptr;
  }
  if (off >= window_off_ && off + static_cast<int64_t>(size) <= window_off_ + window_size_) {
    return buf_.data() + (off - window_off_);
  }
  const size_t want =
      std::max(size, static_cast<size_t>(std::min<int64_t>(kScanWindow, end_ - off)));
  buf_.resize(want);
  if (!file_->Read(off, buf_.data(), want).IsOK()) {
    window_size_ = 0;
    return nullptr;
  }
  window_off_ = off;
  window_size_ = want;
  return buf_.data();
}

// Checks a whole record at |p| (|size| readable bytes) and gives its key and
// value. False when it is not a whole record with a valid checksum.
bool CheckRecord(const Layout& layout, const char* p, size_t size, RecordHead* head,
                 std::string_view* key, std::string_view* value) {
  if (!ParseHead(layout, p, size, head) || head->slot > static_cast<int64_t>(size)) {
    return false;
  }
  const size_t var_pos = layout.VarPos();
  const size_t data_end = head->header_size + head->key_size + head->value_size;
  if (layout.crc_width > 0 &&
      Checksum(layout.crc_mode, p + var_pos, data_end - var_pos) != head->crc) {
    return false;
  }
  *key = std::string_view(p + head->header_size, head->key_size);
  *value = std::string_view(p + head->header_size + head->key_size, head->value_size);
  return true;
}

Status ReadChainRecord(File* file, const Layout& layout, int64_t end, int64_t off,
                       CycleGuard* guard, RecordRead* rec) {
  if (!guard->Step(off)) {
    return BrokenData("a cycle in a bucket chain");
  }
  Status status = ReadHead(file, layout, end, off, rec);
  if (!status.IsOK()) {
    return status;
  }
  if (rec->head.type == kRecordFree) {
    return BrokenData(SPrintF("a free block in a chain at %lld", static_cast<long long>(off)));
  }
  return ReadBody(file, layout, rec);
}

}  // namespace hashdbm

using namespace hashdbm;

Status HashDBM::Impl::ReadBucket(uint64_t bucket, int64_t* off) {
  char buf[8];
  Status status = raw_->Read(layout_.BucketPos(bucket), buf, layout_.offset_width);
  *off = static_cast<int64_t>(GetBE(buf, layout_.offset_width)) << layout_.align_pow;
  return status;
}

Status HashDBM::Impl::FindRecord(std::string_view key, uint64_t bucket, Found* found) {
  found->found = false;
  Status status = ReadBucket(bucket, &found->head);
  if (!status.IsOK()) {
    return status;
  }
  const int64_t end = FileEnd();
  RecordRead& rec = found->rec;
  int64_t prev = 0;
  int64_t off = found->head;
  CycleGuard guard;
  while (off != 0) {
    status = ReadChainRecord(raw_, layout_, end, off, &guard, &rec);
    if (!status.IsOK()) {
      return status;
    }
    if (rec.key == key) {
      found->offset = off;
      found->prev = prev;
      found->found = rec.head.type == kRecordSet;
      return Status();
    }
    prev = off;
    off = rec.head.link;
  }
  return Status();
}

Status HashDBM::Impl::ReadChain(uint64_t bucket, bool with_values,
                                std::vector<ChainEntry>* entries) {
  entries->clear();
  int64_t off = 0;
  Status status = ReadBucket(bucket, &off);
  if (!status.IsOK()) {
    return status;
  }
  const int64_t end = FileEnd();
  const bool appending = layout_.update_mode == kUpdateAppending;
  std::unordered_set<std::string> removed;
  RecordRead rec;
  CycleGuard guard;
  while (off != 0) {
    // Removal records are checked too: a damaged one must not let an older version show.
    status = ReadChainRecord(raw_, layout_, end, off, &guard, &rec);
    if (!status.IsOK()) {
      return status;
    }
    bool shadowed = false;
    if (appending) {
      // Only the first record of a key counts.
      if (removed.count(std::string(rec.key)) > 0) {
        shadowed = true;
      } else {
        for (const auto& entry : *entries) {
          if (entry.key == rec.key) {
            shadowed = true;
            break;
          }
        }
      }
    }
    if (!shadowed) {
      if (rec.head.type == kRecordSet) {
        ChainEntry entry;
        entry.key = rec.key;
        entry.data_size = rec.head.key_size + rec.head.value_size;
        entry.slot = rec.head.slot;
        entry.offset = off;
        if (with_values) {
          entry.value = rec.value;
        }
        entries->emplace_back(std::move(entry));
      } else if (appending) {
        removed.emplace(rec.key);
      }
    }
    off = rec.head.link;
  }
  return Status();
}

// The first bucket at or after |start| whose head is not empty, as a hint
// (it may change once the locks are released); |*bucket| is num_buckets when
// there is none. With |lock_stripes|, takes the stripes for the reads; the
// caller holds none. Without, the caller holds them all.
Status HashDBM::Impl::NextNonEmptyBucket(uint64_t start, uint64_t* bucket, bool lock_stripes) {
  const uint64_t num_buckets = layout_.num_buckets;
  const int width = layout_.offset_width;
  // Small blocks on the stack: a walk calls this for every non-empty bucket,
  // and most of the time the next one is close.
  constexpr uint64_t kBlock = 256;
  char buf[kBlock * 8];
  for (uint64_t first = start; first < num_buckets; first += kBlock) {
    const uint64_t count = std::min(kBlock, num_buckets - first);
    Status status;
    if (lock_stripes) {
      // A batch spans every stripe; holding them all shared keeps writers of
      // bucket heads out while it is read.
      AllStripesGuard stripes_lock(&stripes_, false);
      status = raw_->Read(layout_.BucketPos(first), buf, count * width);
    } else {
      status = raw_->Read(layout_.BucketPos(first), buf, count * width);
    }
    if (!status.IsOK()) {
      return status;
    }
    for (uint64_t i = 0; i < count; i++) {
      const char* p = buf + i * width;
      for (int j = 0; j < width; j++) {
        if (p[j] != 0) {
          *bucket = first + i;
          return Status();
        }
      }
    }
  }
  *bucket = num_buckets;
  return Status();
}

}  // namespace morvel
