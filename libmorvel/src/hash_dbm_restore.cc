// Restoring a hash database file that was not closed cleanly, or is damaged.
//
// Restoring walks every chain, checking every record (bounds, type, checksum,
// bucket) and guarding against cycles; a whole chain gives the exact state of
// its bucket. The buckets whose chains are broken are then recovered by a
// sequential scan of the record region, which keeps every whole record whose
// checksum passes and takes the last one of each key. Every offset and size is
// checked against the end of the file before it is read.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"

namespace morvel {
namespace hashdbm {

namespace {

// The bucket count of a database restored from a file of |size| bytes. A
// file cut short inside its bucket array holds no records, and its header's
// count is not trusted to size the new file: it gets at most the default.
uint64_t RestoredBucketCount(const Layout& layout, int64_t size) {
  return size >= layout.record_base ? layout.num_buckets
                                    : std::min(layout.num_buckets, kDefaultNumBuckets);
}

}  // namespace

Status RestoreRecords(File* src, const Layout& layout, int64_t end, bool scan_only,
                      HashDBM::Impl* dest) {
  const uint64_t num_buckets = layout.num_buckets;
  std::vector<bool> untrusted(num_buckets, scan_only);
  bool any_untrusted = scan_only;
  // Keys of untrusted buckets already decided by the intact head of their chain.
  std::unordered_set<std::string> decided;
  if (!scan_only) {
    std::unordered_set<std::string> seen;
    std::vector<char> heads(kBucketBatch * layout.offset_width);
    RecordRead rec;
    for (uint64_t first = 0; first < num_buckets; first += kBucketBatch) {
      const uint64_t count = std::min(kBucketBatch, num_buckets - first);
      const int64_t heads_pos = layout.BucketPos(first);
      const int64_t heads_size = count * layout.offset_width;
      if (heads_pos + heads_size > end || !src->Read(heads_pos, heads.data(), heads_size).IsOK()) {
        for (uint64_t i = 0; i < count; i++) {
          untrusted[first + i] = true;
        }
        any_untrusted = true;
        continue;
      }
      for (uint64_t i = 0; i < count; i++) {
        const uint64_t bucket = first + i;
        int64_t off = static_cast<int64_t>(GetBE(heads.data() + i * layout.offset_width,
                                                 layout.offset_width))
                      << layout.align_pow;
        seen.clear();
        CycleGuard guard;
        bool broken = false;
        while (off != 0) {
          if (!guard.Step(off) || !ReadHead(src, layout, end, off, &rec).IsOK() ||
              rec.head.type == kRecordFree || !ReadBody(src, layout, &rec).IsOK() ||
              PrimaryHash(rec.key, num_buckets) != bucket) {
            broken = true;
            break;
          }
          if (seen.emplace(rec.key).second && rec.head.type == kRecordSet) {
            Status status = dest->PutRecord(rec.key, rec.value);
            if (!status.IsOK()) {
              return status;
            }
          }
          if (layout.update_mode == kUpdateInPlace && rec.head.type == kRecordRemove) {
            broken = true;
            break;
          }
          off = rec.head.link;
        }
        if (broken) {
          untrusted[bucket] = true;
          any_untrusted = true;
          decided.insert(seen.begin(), seen.end());
        }
      }
    }
  }
  if (!any_untrusted) {
    return Status();
  }
  // The scan: every whole record, in file order, for the untrusted buckets.
  const bool resync = layout.crc_mode == kCrc16 || layout.crc_mode == kCrc32;
  ScanReader reader(src, end);
  RecordHead head;
  std::string_view key;
  std::string_view value;
  int64_t off = layout.record_base;
  const size_t max_head = layout.VarPos() + 3 * kMaxVarBytes;
  while (off < end) {
    const size_t head_size = static_cast<size_t>(std::min<int64_t>(max_head, end - off));
    const char* p = reader.Get(off, head_size);
    bool valid = p != nullptr && ParseHead(layout, p, head_size, &head) &&
                 head.slot <= end - off;
    if (valid && head.type == kRecordFree) {
      off += head.slot;
      continue;
    }
    if (valid) {
      std::string large;
      const char* whole = nullptr;
      if (static_cast<size_t>(head.slot) <= kScanWindow) {
        whole = reader.Get(off, head.slot);
      } else {
        large.resize(head.slot);
        if (src->Read(off, large.data(), head.slot).IsOK()) {
          whole = large.data();
        }
      }
      valid = whole != nullptr && CheckRecord(layout, whole, head.slot, &head, &key, &value);
      if (valid) {
        const uint64_t bucket = PrimaryHash(key, num_buckets);
        if (untrusted[bucket] && decided.count(std::string(key)) == 0) {
          Status status = head.type == kRecordSet ? dest->PutRecord(key, value)
                                                  : dest->DeleteRecord(key);
          if (!status.IsOK()) {
            return status;
          }
        }
        off += head.slot;
        continue;
      }
    }
    if (!resync) {
      break;
    }
    off += layout.align;
  }
  return Status();
}


Status RestoreDatabaseFile(const std::string& old_path, const std::string& new_path,
                           int64_t end_offset, const ParamMap& params) {
  if (old_path == new_path) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the restored database needs its own path");
  }
  PolyFile src;
  ParamMap src_params;
  auto it = params.find("file");
  if (it != params.end()) {
    src_params.emplace(it->first, it->second);
  }
  Status status = src.OpenAdvanced(old_path, false, File::OPEN_NO_LOCK, src_params);
  if (!status.IsOK()) {
    return status;
  }
  int64_t size = 0;
  status = src.GetSize(&size);
  char header[kHeaderSize];
  std::memset(header, 0, kHeaderSize);
  if (status.IsOK() && size > 0) {
    status = src.Read(0, header, std::min<int64_t>(size, kHeaderSize));
  }
  // A file whose creation was cut short before its header was written holds
  // no records: it restores to an empty database.
  const bool never_written =
      status.IsOK() && std::all_of(header, header + kDynBegin, [](char c) { return c == 0; });
  Layout layout;
  if (status.IsOK() && !never_written) {
    status = size < kHeaderSize ? BrokenData("the file is too short for a hash database")
                                : ParseStaticHeader(header, &layout);
  }
  if (!status.IsOK()) {
    src.Close();
    return status;
  }
  ParamMap dest_params;
  dest_params["num_buckets"] = std::to_string(RestoredBucketCount(layout, size));
  dest_params["align_pow"] = std::to_string(layout.align_pow);
  dest_params["offset_width"] = std::to_string(layout.offset_width);
  dest_params["update_mode"] = UpdateModeName(layout.update_mode);
  dest_params["record_crc_mode"] = CrcModeName(layout.crc_mode);
  for (const auto& param : params) {
    dest_params[param.first] = param.second;
  }
  HashDBM::Impl dest;
  status = dest.Open(new_path, true, File::OPEN_TRUNCATE, dest_params);
  if (status.IsOK()) {
    // A file whose header was never written, or that was cut short inside
    // its bucket array, holds no records: it restores to an empty database.
    if (!never_written && size >= layout.record_base) {
      const int64_t end = end_offset < 0 ? size : std::min(size, end_offset);
      status = RestoreRecords(&src, layout, end, end_offset >= 0, &dest);
    }
    if (status.IsOK()) {
      status = dest.SyncImpl(true);
    }
    status |= dest.CloseImpl();
  }
  status |= src.Close();
  return status;
}

}  // namespace hashdbm

using namespace hashdbm;

Status HashDBM::Impl::RestoreInPlace(int64_t size) {
  const std::string tmp_path = path_ + ".tmp.restore";
  auto dest = std::make_unique<Impl>();
  ParamMap dest_params = file_params_;
  dest_params["fbp_capacity"] = std::to_string(fbp_capacity_);
  dest_params["num_buckets"] = std::to_string(RestoredBucketCount(layout_, size));
  dest_params["align_pow"] = std::to_string(layout_.align_pow);
  dest_params["offset_width"] = std::to_string(layout_.offset_width);
  dest_params["update_mode"] = UpdateModeName(layout_.update_mode);
  dest_params["record_crc_mode"] = CrcModeName(layout_.crc_mode);
  Status status = dest->Open(tmp_path, true,
                             File::OPEN_TRUNCATE | (options_ & ~File::OPEN_NO_CREATE), dest_params);
  if (!status.IsOK()) {
    return status;
  }
  if (size >= layout_.record_base) {
    status = RestoreRecords(file_.get(), layout_, size, false, dest.get());
  }
  bool replaced = false;
  return ReplaceWith(dest.get(), tmp_path, status, &replaced);
}

}  // namespace morvel
