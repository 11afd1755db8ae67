// Rebuilding a hash database into a new file, on request or by itself when
// the records outgrow the buckets.
//
// Growth: with "bucket_growth" on, a write that takes the record count past the
// bucket count asks for a rebuild into four times as many buckets as records,
// which the writing call then makes once it has released its own locks. The
// count quadruples between two growths, so every record is copied a bounded
// number of times on average and the per-operation cost stays that of a load
// under one record per bucket. The rebuild is the ordinary one: a new file,
// synchronized, renamed over the database, the directory synchronized, so a
// crash at any moment leaves the old file or the whole new one. It waits while
// an iterator walking in bucket order is in the middle of a walk, since that
// order changes; walks in file order are carried over to the new file.

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"

namespace morvel {

using namespace hashdbm;

namespace {

// The buckets per record after a growth.
constexpr uint64_t kGrowthFactor = 4;

// Bytes of records gathered before they are written to the new file.
constexpr size_t kWriteChunk = 1 << 20;

// Writes the records of a new database file in bulk: records go to the file
// in large sequential writes, and the bucket array is kept in memory and
// written once at the end. For a file no other thread sees yet, and keys known
// to be distinct, so that no chain is walked.
class FreshFileWriter {
 public:
  explicit FreshFileWriter(HashDBM::Impl* dest)
      : dest_(dest), layout_(dest->layout_), end_(dest->FileEnd()) {
    heads_.assign(layout_.num_buckets * layout_.offset_width, '\0');
  }

  // Adds a record; |*off| is where it goes.
  Status Add(std::string_view key, std::string_view value, int64_t* off) {
    const uint64_t bucket = dest_->BucketOf(key);
    char* head = heads_.data() + bucket * layout_.offset_width;
    const int64_t link = static_cast<int64_t>(GetBE(head, layout_.offset_width))
                         << layout_.align_pow;
    const int64_t slot = layout_.MinSlot(key.size(), value.size());
    *off = end_ + static_cast<int64_t>(chunk_.size());
    if (*off + slot > layout_.max_file_size) {
      return Status(Status::INFEASIBLE_ERROR, "the file exceeds what offset_width can address");
    }
    const size_t at = chunk_.size();
    chunk_.resize(at + slot);
    EncodeRecord(layout_, kRecordSet, link, key, value, slot, true, chunk_.data() + at);
    PutBE(head, static_cast<uint64_t>(*off) >> layout_.align_pow, layout_.offset_width);
    records_++;
    data_size_ += key.size() + value.size();
    live_size_ += slot;
    return chunk_.size() >= kWriteChunk ? Flush() : Status();
  }

  // Writes what is left and the bucket array, and sets the counts.
  Status Finish() {
    Status status = Flush();
    if (status.IsOK()) {
      status = dest_->raw_->Write(kHeaderSize, heads_.data(), heads_.size());
    }
    if (status.IsOK()) {
      dest_->file_end_ = end_;
      dest_->counts_.Reset(records_, data_size_, live_size_);
    }
    return status;
  }

  int64_t End() const { return end_ + static_cast<int64_t>(chunk_.size()); }

 private:
  Status Flush() {
    if (chunk_.empty()) {
      return Status();
    }
    const Status status = dest_->raw_->Write(end_, chunk_.data(), chunk_.size());
    end_ += static_cast<int64_t>(chunk_.size());
    chunk_.clear();
    return status;
  }

  HashDBM::Impl* dest_;
  const Layout& layout_;
  int64_t end_;
  std::string heads_;
  std::string chunk_;
  int64_t records_ = 0;
  int64_t data_size_ = 0;
  int64_t live_size_ = 0;
};

}  // namespace

Status HashDBM::Impl::CopyForRebuild(Impl* dest, int64_t* first_pos,
                                     std::vector<std::unordered_set<int64_t>>* other_skips) {
  const size_t num_scans = scans_.size();
  other_skips->assign(num_scans > 0 ? num_scans - 1 : 0, {});
  *first_pos = 0;
  FreshFileWriter writer(dest);
  Status status;
  for (int pass = 0; pass < (num_scans > 0 ? 2 : 1) && status.IsOK(); pass++) {
    const auto copy = [&](int64_t old_off, std::string_view key, std::string_view value) {
      if (num_scans > 0 && scans_[0]->Seen(old_off, key) != (pass == 0)) {
        return Status();
      }
      int64_t off = 0;
      Status copied = writer.Add(key, value, &off);
      for (size_t i = 1; i < num_scans; i++) {
        if (scans_[i]->Seen(old_off, key)) {
          (*other_skips)[i - 1].insert(off);
        }
      }
      return copied;
    };
    if (CanScanInFileOrder()) {
      // Every record of the region is live: read it in file order.
      int64_t pos = layout_.record_base;
      std::string window;
      const Status walked = WalkRegion(
          &pos, FileEnd(), &window,
          [&](int64_t off, bool live, std::string_view key, std::string_view value) {
            if (live) {
              status = copy(off, key, value);
            }
            return status.IsOK();
          });
      status |= walked;
    } else {
      // Along the chains, which decide what is live; the bucket array is read
      // a block at a time.
      const int width = layout_.offset_width;
      std::vector<char> heads(kBucketBatch * width);
      std::vector<ChainEntry> entries;
      for (uint64_t first = 0; first < layout_.num_buckets && status.IsOK();
           first += kBucketBatch) {
        const uint64_t count = std::min(kBucketBatch, layout_.num_buckets - first);
        status = raw_->Read(layout_.BucketPos(first), heads.data(), count * width);
        for (uint64_t i = 0; i < count && status.IsOK(); i++) {
          if (GetBE(heads.data() + i * width, width) == 0) {
            continue;
          }
          status = ReadChain(first + i, true, &entries);
          // From the oldest, so that chains keep their order.
          for (auto it = entries.rbegin(); it != entries.rend() && status.IsOK(); ++it) {
            status = copy(it->offset, it->key, it->value);
          }
        }
      }
    }
    if (pass == 0) {
      *first_pos = writer.End();
    }
  }
  if (status.IsOK()) {
    status = writer.Finish();
  }
  return status;
}

Status HashDBM::Impl::RebuildLocked(const ParamMap& params) {
  Layout layout = layout_;
  // The count sizes the new bucket array: bounded by what the file can hold.
  const int64_t count = std::min(counts_.NumRecords(),
                                 (FileEnd() - layout_.record_base) / layout_.MinSlot(0, 0));
  layout.num_buckets =
      std::max<uint64_t>(kMinFittedBuckets,
                         static_cast<uint64_t>(std::max<int64_t>(count, 0)) * 2 + 1);
  layout.num_buckets = std::min(layout.num_buckets, kMaxNumBuckets);
  Status status = ParseTuning(params, &layout);
  if (!status.IsOK()) {
    return status;
  }
  const std::string growth = StrLowerCase(SearchMap(params, "bucket_growth", "auto"));
  if (growth != "auto") {
    grow_enabled_ = growth == "on";
  }
  ParamMap dest_params = file_params_;
  for (const char* name : {"file", "alloc_init_size", "alloc_inc_factor"}) {
    auto it = params.find(name);
    if (it != params.end()) {
      dest_params[it->first] = it->second;
    }
  }
  dest_params["num_buckets"] = std::to_string(layout.num_buckets);
  dest_params["align_pow"] = std::to_string(layout.align_pow);
  dest_params["offset_width"] = std::to_string(layout.offset_width);
  dest_params["update_mode"] = UpdateModeName(layout.update_mode);
  dest_params["record_crc_mode"] = CrcModeName(layout.crc_mode);
  auto fbp_it = params.find("fbp_capacity");
  const int64_t fbp_capacity =
      fbp_it == params.end() ? fbp_capacity_ : StrToInt(fbp_it->second, kDefaultFbpCapacity);
  dest_params["fbp_capacity"] = std::to_string(fbp_capacity);
  const std::string tmp_path = path_ + ".tmp.rebuild";
  auto dest = std::make_unique<Impl>();
  status = dest->Open(tmp_path, true, File::OPEN_TRUNCATE | (options_ & ~File::OPEN_NO_CREATE),
                      dest_params);
  if (!status.IsOK()) {
    return status;
  }
  // The walks in file order are held still, and told where they are in the
  // new file once it is in place.
  std::unique_lock<std::mutex> scans_lock(scans_mutex_);
  const bool was_healthy = healthy_;
  int64_t first_pos = 0;
  std::vector<std::unordered_set<int64_t>> other_skips;
  // A database opened without restoring may have broken chains: it is rebuilt
  // the way restoring reads a file, from its chains and then a scan.
  status = healthy_ ? CopyForRebuild(dest.get(), &first_pos, &other_skips)
                    : RestoreRecords(file_.get(), layout_, FileEnd(), false, dest.get());
  bool replaced = false;
  status = ReplaceWith(dest.get(), tmp_path, status, &replaced);
  if (!replaced) {
    return status;
  }
  num_buckets_hint_.store(layout_.num_buckets);
  fbp_capacity_ = fbp_capacity;
  fbp_.Configure(fbp_capacity, layout_.align_pow);
  file_params_ = dest->file_params_;
  healthy_ = true;
  counts_scanned_ = false;
  ResetGrowThreshold();
  for (size_t i = 0; i < scans_.size(); i++) {
    ScanCursor* cursor = scans_[i];
    if (!was_healthy) {
      cursor->Reset(layout_.record_base);
    } else if (i == 0) {
      cursor->Reset(first_pos);
    } else {
      cursor->Reset(layout_.record_base);
      cursor->skip = std::move(other_skips[i - 1]);
    }
  }
  return status;
}


void HashDBM::Impl::Grow() {
  std::unique_lock<std::shared_mutex> lock(file_mutex_);
  AllStripesGuard stripes_lock(&stripes_, true);
  // Checked again with everything held: another writer may have grown it.
  if (!open_ || !writable_ || !healthy_ || !grow_enabled_ ||
      !grow_wanted_.load(std::memory_order_relaxed) ||
      walking_iterators_.load(std::memory_order_acquire) > 0) {
    return;
  }
  grow_wanted_.store(false, std::memory_order_relaxed);
  if (counts_.NumRecords() <= grow_threshold_) {
    return;
  }
  // Four times as many buckets as records: a quarter of the rebuilds of
  // doubling, for the bucket array's 4 to 6 bytes per bucket.
  const uint64_t buckets = std::min<uint64_t>(
      kMaxNumBuckets, static_cast<uint64_t>(counts_.NumRecords()) * kGrowthFactor + 1);
  const Status status = RebuildLocked({{"num_buckets", std::to_string(buckets)}});
  if (!status.IsOK()) {
    // The write that asked for it has succeeded already, and the database is
    // whole and usable as it is (a failed rebuild leaves it untouched): the
    // next attempt waits until the records have doubled again, rather than
    // retrying a full copy at every write, e.g. while the disk is full.
    grow_threshold_ = std::max<int64_t>(grow_threshold_, counts_.NumRecords()) * 2;
  }
}

}  // namespace morvel
