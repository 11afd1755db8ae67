// Rebuilding a hash database into a new file, on request or by itself when
// the records outgrow the buckets.
//
// Growth: with "bucket_growth" on, a write that takes the record count past the
// bucket count asks for a rebuild into about twice as many buckets as records,
// which the writing call then makes once it has released its own locks. The
// count doubles between two growths, so every record is copied a bounded
// number of times on average and the per-operation cost stays that of a load
// under one record per bucket. The rebuild is the ordinary one: a new file,
// synchronized, renamed over the database, the directory synchronized, so a
// crash at any moment leaves the old file or the whole new one. It waits while
// an iterator walking in bucket order is in the middle of a walk, since that
// order changes; walks in file order are carried over to the new file.

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unordered_set>
#include <vector>
#include <shared_mutex>

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"

namespace morvel {

using namespace hashdbm;

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
  if (status.IsOK()) {
    status = dest->SyncImpl(false);
  }
  bool renamed = false;
  if (status.IsOK()) {
    status = SyncAndRenameOver(dest->file_.get(), path_, &renamed);
  }
  if (!renamed) {
    dest->CloseImpl();
    std::remove(tmp_path.c_str());
    return status;
  }
  // Once renamed, the new file is the database even if a later step failed.
  file_->Close();
  Adopt(dest.get());
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
  const Status status = RebuildLocked({});
  if (!status.IsOK()) {
    // The write that asked for it has succeeded already, and the database is
    // whole and usable as it is (a failed rebuild leaves it untouched): the
    // next attempt waits until the records have doubled again, rather than
    // retrying a full copy at every write, e.g. while the disk is full.
    grow_threshold_ = std::max<int64_t>(grow_threshold_, counts_.NumRecords()) * 2;
  }
}

}  // namespace morvel
