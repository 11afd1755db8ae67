// Walks over the record region in file order (see hash_dbm_scan.h): the
// registry of walks, what writers tell them, and the reading of a batch.

#include <algorithm>
#include <mutex>

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"

namespace morvel {

using namespace hashdbm;

namespace {

// Bytes read at once by a walk: one read serves the records of a batch.
constexpr size_t kScanReadSize = RecordBatch::kMaxBytes;
// The longest record head: type, checksum, link and three varints.
constexpr size_t kMaxHeadSize = 1 + 4 + 6 + 3 * kMaxVarBytes;

}  // namespace

void HashDBM::Impl::StartScan(ScanCursor* cursor, int64_t pos) {
  std::lock_guard<std::mutex> lock(scans_mutex_);
  if (std::find(scans_.begin(), scans_.end(), cursor) == scans_.end()) {
    scans_.push_back(cursor);
    num_scans_.fetch_add(1, std::memory_order_release);
  }
  cursor->Reset(pos);
}

void HashDBM::Impl::StopScan(ScanCursor* cursor) {
  std::lock_guard<std::mutex> lock(scans_mutex_);
  auto it = std::find(scans_.begin(), scans_.end(), cursor);
  if (it != scans_.end()) {
    scans_.erase(it);
    num_scans_.fetch_sub(1, std::memory_order_release);
  }
}

void HashDBM::Impl::ResetScans() {
  std::lock_guard<std::mutex> lock(scans_mutex_);
  for (ScanCursor* cursor : scans_) {
    cursor->Reset(layout_.record_base);
  }
}

void HashDBM::Impl::NoteChange(int64_t old_off, int64_t new_off, std::string_view key,
                               std::string_view value) {
  std::lock_guard<std::mutex> lock(scans_mutex_);
  const bool appending = layout_.update_mode == kUpdateAppending;
  for (ScanCursor* cursor : scans_) {
    const bool seen = cursor->Seen(old_off, key);
    if (appending) {
      // The old version stays in the file, and must not be handed out.
      if (old_off >= cursor->pos) {
        cursor->skip.insert(old_off);
      }
    } else {
      // The old slot is freed, and may take another record.
      cursor->skip.erase(old_off);
    }
    if (old_off < cursor->pos && !cursor->owed.empty()) {
      cursor->owed.erase(std::string(key));
    }
    if (new_off < 0) {
      continue;
    }
    if (seen) {
      if (new_off >= cursor->pos) {
        cursor->skip.insert(new_off);
      }
    } else if (new_off < cursor->pos) {
      cursor->owed[std::string(key)] = std::string(value);
    }
  }
}

Status HashDBM::Impl::ReadScanBatch(ScanCursor* cursor, RecordBatch* batch, std::string* window,
                                    bool* more) {
  std::lock_guard<std::mutex> lock(scans_mutex_);
  batch->Clear();
  const int64_t end = FileEnd();
  cursor->pos = std::max(cursor->pos, layout_.record_base);
  while (!cursor->owed.empty() && !batch->Full()) {
    auto it = cursor->owed.begin();
    batch->Add(it->first, it->second, 0);
    cursor->owed.erase(it);
  }
  Status status;
  while (cursor->pos < end && !batch->Full() && status.IsOK()) {
    const int64_t base = cursor->pos;
    size_t size = static_cast<size_t>(std::min<int64_t>(kScanReadSize, end - base));
    window->resize(size);
    status = raw_->Read(base, window->data(), size);
    if (!status.IsOK()) {
      break;
    }
    RecordHead head;
    if (!ParseHead(layout_, window->data(), size, &head) || head.slot > end - base) {
      status = BrokenData(SPrintF("broken record at %lld", static_cast<long long>(base)));
      break;
    }
    if (head.slot > static_cast<int64_t>(size)) {
      // A record larger than the read: read it whole.
      size = head.slot;
      window->resize(size);
      status = raw_->Read(base, window->data(), size);
      if (!status.IsOK()) {
        break;
      }
    }
    // The records wholly inside the read.
    size_t pos = 0;
    while (pos < size && !batch->Full()) {
      const char* p = window->data() + pos;
      const size_t avail = size - pos;
      if (!ParseHead(layout_, p, avail, &head)) {
        if (avail < kMaxHeadSize && base + static_cast<int64_t>(size) < end) {
          break;  // cut by the end of the read
        }
        status = BrokenData(
            SPrintF("broken record at %lld", static_cast<long long>(base + pos)));
        break;
      }
      if (head.slot > static_cast<int64_t>(avail)) {
        if (head.slot > end - (base + static_cast<int64_t>(pos))) {
          status = BrokenData(
              SPrintF("broken record at %lld", static_cast<long long>(base + pos)));
        }
        break;
      }
      const int64_t off = base + static_cast<int64_t>(pos);
      if (head.type == kRecordSet) {
        std::string_view key, value;
        if (!CheckRecord(layout_, p, head.slot, &head, &key, &value)) {
          status = BrokenData(
              SPrintF("record checksum mismatch at %lld", static_cast<long long>(off)));
          break;
        }
        if (cursor->skip.empty() || cursor->skip.erase(off) == 0) {
          batch->Add(key, value, static_cast<uint64_t>(off));
        }
      } else if (!cursor->skip.empty()) {
        cursor->skip.erase(off);
      }
      pos += head.slot;
      cursor->pos = off + head.slot;
    }
  }
  *more = cursor->pos < end || !cursor->owed.empty();
  if (!status.IsOK()) {
    // The records before the damage are handed out first; the next call
    // starts at the damaged record and fails.
    if (!batch->empty()) {
      *more = true;
      return Status();
    }
    return status;
  }
  return Status();
}

Status HashDBM::Impl::CopyForRebuild(Impl* dest, int64_t* first_pos,
                                     std::vector<std::unordered_set<int64_t>>* other_skips) {
  const size_t num_scans = scans_.size();
  other_skips->assign(num_scans > 0 ? num_scans - 1 : 0, {});
  *first_pos = 0;
  std::vector<ChainEntry> entries;
  for (int pass = 0; pass < (num_scans > 0 ? 2 : 1); pass++) {
    uint64_t bucket = 0;
    while (true) {
      Status status = NextNonEmptyBucket(bucket, &bucket, false);
      if (!status.IsOK()) {
        return status;
      }
      if (bucket >= layout_.num_buckets) {
        break;
      }
      status = ReadChain(bucket, true, &entries);
      if (!status.IsOK()) {
        return status;
      }
      // From the oldest, so that chains keep their order.
      for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
        if (num_scans > 0 && scans_[0]->Seen(it->offset, it->key) != (pass == 0)) {
          continue;
        }
        int64_t off = 0;
        status = dest->AppendFresh(it->key, it->value, &off);
        if (!status.IsOK()) {
          return status;
        }
        for (size_t i = 1; i < num_scans; i++) {
          if (scans_[i]->Seen(it->offset, it->key)) {
            (*other_skips)[i - 1].insert(off);
          }
        }
      }
      bucket++;
    }
    if (pass == 0) {
      *first_pos = dest->FileEnd();
    }
  }
  return Status();
}

}  // namespace morvel
