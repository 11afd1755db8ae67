// Opening, synchronizing and closing a hash database file.
//
// The first write after an open or a synchronization clears the clean flag
// (and makes that durable) before any record changes; Synchronize and Close
// write the counts and set the flag again. A file whose flag is clear, whose
// dynamic header fails its checksum, which is shorter than recorded, or whose
// counts its size cannot hold, was not closed cleanly (or is damaged). Opened
// writable, it is restored (unless "restore_mode" is "noop"); opened as it is,
// it is unhealthy and its records are counted by walking the chains, since
// its stored counts cannot be trusted. A file shorter than its own bucket
// array is refused: nothing is sized from a header the file contradicts.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"

namespace morvel {

using namespace hashdbm;

namespace {

// Whether the counts of |dyn| can be those of a record region ending at
// |file_size|: every record takes at least the smallest slot, and the data
// sizes are within the region. Damage or a forged header fails this, and
// nothing is sized from such counts.
bool CountsFit(const Layout& layout, const DynamicHeader& dyn, int64_t file_size) {
  const int64_t region = file_size - layout.record_base;
  const int64_t min_slot = layout.MinSlot(0, 0);
  return region >= 0 && dyn.num_records <= region / min_slot && dyn.live_size <= region &&
         dyn.eff_data_size <= dyn.live_size &&
         dyn.num_records * min_slot <= dyn.live_size;
}

}  // namespace

namespace hashdbm {

Status SyncAndRenameOver(File* file, const std::string& path, bool* renamed) {
  *renamed = false;
  std::string old_path;
  Status status = file->GetPath(&old_path);
  if (status.IsOK()) {
    status = file->Synchronize(true);
  }
  if (status.IsOK()) {
    // Syncs the file, renames it, then syncs the directory. A failure of the
    // last step comes after the rename: the old name is then gone.
    status = file->Rename(path);
    struct stat sb;
    *renamed = status.IsOK() || (stat(old_path.c_str(), &sb) != 0 && errno == ENOENT);
  }
  return status;
}

}  // namespace hashdbm

Status HashDBM::Impl::OpenFile(const std::string& path, bool writable, int32_t options,
                               const ParamMap& params) {
  file_ = std::make_unique<PolyFile>();
  Status status = file_->OpenAdvanced(path, writable, options, params);
  if (!status.IsOK()) {
    file_.reset();
  }
  raw_ = file_ == nullptr ? nullptr : file_->GetInternalFile();
  return status;
}

Status HashDBM::Impl::CreateNew(const Layout& layout) {
  layout_ = layout;
  Status status = file_->Truncate(layout_.record_base);
  if (!status.IsOK()) {
    return status;
  }
  char buf[kDynBegin];
  MakeStaticHeader(layout_, buf);
  status = file_->Write(0, buf, sizeof(buf));
  if (!status.IsOK()) {
    return status;
  }
  counts_.Reset(0, 0, 0);
  file_end_ = layout_.record_base;
  timestamp_us_ = NowMicros();
  dirty_ = false;
  no_strays_ = true;
  return WriteDynamic(true);
}

Status HashDBM::Impl::WriteDynamic(bool clean) {
  DynamicHeader dyn;
  dyn.clean = clean;
  dyn.num_records = counts_.NumRecords();
  dyn.eff_data_size = counts_.EffDataSize();
  dyn.live_size = counts_.LiveSize();
  dyn.file_size = FileEnd();
  dyn.timestamp_us = timestamp_us_.load();
  dyn.no_strays = no_strays_.load();
  char buf[kDynEnd - kDynBegin];
  MakeDynamicHeader(dyn, buf);
  return file_->Write(kDynBegin, buf, sizeof(buf));
}

Status HashDBM::Impl::MarkDirty() {
  if (dirty_.load(std::memory_order_acquire)) {
    return Status();
  }
  std::lock_guard<std::mutex> lock(header_mutex_);
  if (dirty_.load(std::memory_order_relaxed)) {
    return Status();
  }
  Status status = WriteDynamic(false);
  if (status.IsOK()) {
    // The mark must reach the device before any record changes.
    status = file_->Synchronize(true, 0, kHeaderSize);
  }
  if (status.IsOK()) {
    dirty_.store(true, std::memory_order_release);
  }
  return status;
}

Status HashDBM::Impl::SyncImpl(bool hard) {
  if (hard) {
    Status status = file_->Synchronize(true);
    if (!status.IsOK()) {
      return status;
    }
  }
  if (dirty_.load()) {
    timestamp_us_ = NowMicros();
  }
  // A database opened without restoring stays marked as not cleanly closed,
  // so that a later open still restores it rather than trusting its chains.
  const bool clean = healthy_;
  Status status = WriteDynamic(clean);
  if (!status.IsOK()) {
    return status;
  }
  status = hard ? file_->Synchronize(true, 0, kHeaderSize) : file_->Synchronize(false);
  if (status.IsOK()) {
    dirty_ = !clean;
  }
  return status;
}

// Takes over the file and the state of |other|, which is left closed.
void HashDBM::Impl::Adopt(Impl* other) {
  file_ = std::move(other->file_);
  raw_ = other->raw_;
  layout_ = other->layout_;
  counts_.Reset(other->counts_.NumRecords(), other->counts_.EffDataSize(),
                other->counts_.LiveSize());
  file_end_ = other->file_end_.load();
  dirty_ = other->dirty_.load();
  timestamp_us_ = other->timestamp_us_.load();
  no_strays_ = other->no_strays_.load();
  fbp_.Clear();
  other->open_ = false;
}

Status HashDBM::Impl::Open(const std::string& path, bool writable, int32_t options,
                           const ParamMap& params) {
  Layout layout;
  Status status = ParseTuning(params, &layout);
  if (!status.IsOK()) {
    return status;
  }
  fbp_capacity_ = StrToInt(SearchMap(params, "fbp_capacity", ""), kDefaultFbpCapacity);
  restore_mode_ = StrLowerCase(SearchMap(params, "restore_mode", "default"));
  if (restore_mode_ != "default" && restore_mode_ != "noop") {
    return Status(Status::INVALID_ARGUMENT_ERROR, "unknown restore_mode: " + restore_mode_);
  }
  fbp_.Configure(fbp_capacity_, layout.align_pow);
  fbp_.Clear();
  file_params_.clear();
  for (const char* name : {"file", "alloc_init_size", "alloc_inc_factor"}) {
    auto it = params.find(name);
    if (it != params.end()) {
      file_params_.emplace(it->first, it->second);
    }
  }
  options_ = options;
  status = OpenFile(path, writable, options, file_params_);
  if (!status.IsOK()) {
    return status;
  }
  path_ = path;
  writable_ = writable;
  healthy_ = true;
  int64_t size = 0;
  status = file_->GetSize(&size);
  if (status.IsOK()) {
    if (size == 0 && writable) {
      status = CreateNew(layout);
    } else if (size < kHeaderSize) {
      status = BrokenData("the file is too short for a hash database");
    } else {
      char header[kHeaderSize];
      status = file_->Read(0, header, kHeaderSize);
      const bool never_written =
          status.IsOK() && std::all_of(header, header + kDynBegin, [](char c) { return c == 0; });
      if (never_written && writable) {
        // A creation that was cut short before its header was written.
        status = file_->Truncate(0);
        if (status.IsOK()) {
          status = CreateNew(layout);
        }
      } else if (status.IsOK()) {
        status = ParseStaticHeader(header, &layout_);
      }
      if (status.IsOK() && !never_written && size < layout_.record_base &&
          !(writable && restore_mode_ != "noop")) {
        // Creation sizes the file for its bucket array before it writes the
        // header, so this is damage. Opening it as it is would mean growing
        // the file to what the header claims; restoring makes a new one.
        status = BrokenData("the file is too short for its bucket array");
      }
      if (status.IsOK() && !never_written) {
        DynamicHeader dyn;
        const bool dyn_ok = ParseDynamicHeader(header, &dyn);
        const bool clean = dyn_ok && dyn.clean && dyn.file_size >= layout_.record_base &&
                           dyn.file_size <= size &&
                           (dyn.file_size - layout_.record_base) % layout_.align == 0 &&
                           CountsFit(layout_, dyn, dyn.file_size);
        timestamp_us_ = dyn_ok ? dyn.timestamp_us : 0;
        counts_scanned_ = false;
        no_strays_ = false;
        if (clean) {
          counts_.Reset(dyn.num_records, dyn.eff_data_size, dyn.live_size);
          no_strays_ = dyn.no_strays;
          // What lies past the recorded size was never part of the database:
          // space reserved ahead of appends, or bytes added by someone else.
          file_end_ = dyn.file_size;
          if (writable && size > dyn.file_size) {
            status = file_->Truncate(dyn.file_size);
          }
          dirty_ = false;
        } else if (writable && restore_mode_ != "noop") {
          status = RestoreInPlace(size);
        } else {
          healthy_ = false;
          file_end_ = size;
          dirty_ = !dyn_ok || !dyn.clean;
          if (writable && (size - layout_.record_base) % layout_.align != 0) {
            const int64_t aligned =
                layout_.record_base + AlignUp(size - layout_.record_base, layout_.align);
            status = file_->Truncate(aligned);
            file_end_ = aligned;
          }
          // The stored counts may be stale or damaged: they are counted
          // again, so that Count agrees with what iteration yields.
          if (status.IsOK()) {
            status = RecountFromChains();
          }
        }
      }
    }
  }
  if (!status.IsOK()) {
    if (file_ != nullptr) {
      file_->Close();
      file_.reset();
    }
    return status;
  }
  fbp_.Configure(fbp_capacity_, layout_.align_pow);
  num_buckets_hint_.store(layout_.num_buckets);
  // Growth follows the records unless the caller sized the buckets itself.
  const std::string growth = StrLowerCase(SearchMap(params, "bucket_growth", "auto"));
  grow_enabled_ =
      writable_ && (growth == "on" || (growth == "auto" && params.count("num_buckets") == 0));
  ResetGrowThreshold();
  open_ = true;
  return Status();
}

// Counts the live records by walking every chain; a broken chain counts up to
// the break, where iteration reports the damage. The caller holds every stripe.
Status HashDBM::Impl::RecountFromChains() {
  int64_t records = 0;
  int64_t eff_data = 0;
  int64_t live = 0;
  std::vector<ChainEntry> entries;
  uint64_t bucket = 0;
  while (true) {
    Status status = NextNonEmptyBucket(bucket, &bucket, false);
    if (!status.IsOK()) {
      return status;
    }
    if (bucket >= layout_.num_buckets) {
      break;
    }
    ReadChain(bucket, false, &entries);
    for (const auto& entry : entries) {
      records++;
      eff_data += entry.data_size;
      live += entry.slot;
    }
    bucket++;
  }
  counts_.Reset(records, eff_data, live);
  counts_scanned_ = true;
  return Status();
}

Status HashDBM::Impl::ReplaceWith(Impl* dest, const std::string& tmp_path, Status status,
                                  bool* replaced) {
  *replaced = false;
  if (status.IsOK()) {
    status = dest->SyncImpl(false);
  }
  bool renamed = false;
  if (status.IsOK()) {
    status = hashdbm::SyncAndRenameOver(dest->file_.get(), path_, &renamed);
  }
  if (!renamed) {
    dest->CloseImpl();
    std::remove(tmp_path.c_str());
    return status;
  }
  file_->Close();
  Adopt(dest);
  *replaced = true;
  return status;
}

Status HashDBM::Impl::CloseImpl() {
  Status status;
  // An unhealthy database stays marked as not cleanly closed, so that a later
  // open still restores it.
  if (writable_ && healthy_ && file_ != nullptr) {
    status |= SyncImpl(false);
  }
  if (file_ != nullptr) {
    status |= file_->Close();
    file_.reset();
  }
  raw_ = nullptr;
  open_ = false;
  fbp_.Clear();
  return status;
}

}  // namespace morvel
