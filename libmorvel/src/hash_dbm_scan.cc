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

Status HashDBM::Impl::WalkRegion(int64_t* pos, int64_t end, std::string* window,
                                 const RegionVisitor& visit) {
  *pos = std::max(*pos, layout_.record_base);
  while (*pos < end) {
    const int64_t base = *pos;
    size_t size = static_cast<size_t>(std::min<int64_t>(kScanReadSize, end - base));
    window->resize(size);
    Status status = raw_->Read(base, window->data(), size);
    if (!status.IsOK()) {
      return status;
    }
    RecordHead head;
    if (!ParseHead(layout_, window->data(), size, &head) || head.slot > end - base) {
      return BrokenData(SPrintF("broken record at %lld", static_cast<long long>(base)));
    }
    if (head.slot > static_cast<int64_t>(size)) {
      // A record larger than the read: read it whole.
      size = head.slot;
      window->resize(size);
      status = raw_->Read(base, window->data(), size);
      if (!status.IsOK()) {
        return status;
      }
    }
    // The records wholly inside the read.
    size_t done = 0;
    while (done < size) {
      const char* p = window->data() + done;
      const size_t avail = size - done;
      const int64_t off = base + static_cast<int64_t>(done);
      if (!ParseHead(layout_, p, avail, &head)) {
        if (avail < kMaxHeadSize && base + static_cast<int64_t>(size) < end) {
          break;  // cut by the end of the read
        }
        return BrokenData(SPrintF("broken record at %lld", static_cast<long long>(off)));
      }
      if (head.slot > static_cast<int64_t>(avail)) {
        if (head.slot > end - off) {
          return BrokenData(SPrintF("broken record at %lld", static_cast<long long>(off)));
        }
        break;
      }
      std::string_view key, value;
      if (head.type == kRecordSet && !CheckRecord(layout_, p, head.slot, &head, &key, &value)) {
        return BrokenData(
            SPrintF("record checksum mismatch at %lld", static_cast<long long>(off)));
      }
      if (!visit(off, head.type == kRecordSet, key, value)) {
        return Status();
      }
      done += head.slot;
      *pos = off + head.slot;
    }
  }
  return Status();
}

Status HashDBM::Impl::ReadScanBatch(ScanCursor* cursor, RecordBatch* batch, std::string* window,
                                    bool* more) {
  std::lock_guard<std::mutex> lock(scans_mutex_);
  batch->Clear();
  const int64_t end = FileEnd();
  while (!cursor->owed.empty() && !batch->Full()) {
    auto it = cursor->owed.begin();
    batch->Add(it->first, it->second, 0);
    cursor->owed.erase(it);
  }
  Status status;
  if (!batch->Full()) {
    status = WalkRegion(&cursor->pos, end, window,
                        [&](int64_t off, bool live, std::string_view key, std::string_view value) {
                          if (batch->Full()) {
                            return false;
                          }
                          const bool skipped = !cursor->skip.empty() && cursor->skip.erase(off) > 0;
                          if (live && !skipped) {
                            batch->Add(key, value, static_cast<uint64_t>(off));
                          }
                          return true;
                        });
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

}  // namespace morvel
