// HashDBM: the persistent hash database. The public methods: each takes its
// locks (see hash_dbm_impl.h for their order) and calls the implementation,
// which is split by concern:
//
//   hash_dbm_format.{h,cc}   the file layout, the header and record encoding
//   hash_dbm_record.{h,cc}   reading records, chain walks, sequential scans
//   hash_dbm_space.{h,cc}    the free-block pool, counts, encoding buffers
//   hash_dbm_impl.h          the state of an open database, locks and guards
//   hash_dbm_open.cc         opening, synchronizing and closing the file
//   hash_dbm_update.cc       placing and changing records
//   hash_dbm_restore.cc      restoring a damaged or uncleanly closed file
//   hash_dbm_iterator.cc     the iterator

#include "morvel/hash_dbm.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "morvel/str_util.h"
#include "hash_dbm_impl.h"
#include "param_check.h"
#include "record_batch.h"

namespace morvel {

using namespace hashdbm;

HashDBM::HashDBM() : impl_(std::make_shared<Impl>()) {}

HashDBM::~HashDBM() {
  if (impl_->open_) {
    Close();
  }
}

bool HashDBM::IsHashDBMFileHead(std::string_view head) {
  return head.size() >= kMagicSize && std::memcmp(head.data(), kMagic, kMagicSize) == 0;
}

Status HashDBM::RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                int64_t end_offset, const ParamMap& params) {
  return RestoreDatabaseFile(old_path, new_path, end_offset, params);
}

Status HashDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                             const ParamMap& params) {
  std::unique_lock<std::shared_mutex> lock(impl_->file_mutex_);
  AllStripesGuard stripes_lock(&impl_->stripes_, true);
  if (impl_->open_) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  return impl_->Open(path, writable, options, params);
}

Status HashDBM::Close() {
  std::unique_lock<std::shared_mutex> lock(impl_->file_mutex_);
  AllStripesGuard stripes_lock(&impl_->stripes_, true);
  if (!impl_->open_) {
    return NotOpened();
  }
  return impl_->CloseImpl();
}

namespace {

// Record operations take only their stripes: the open state and the layout
// change only while every stripe is held. The bucket is computed from the
// lock-free hint and checked again under the stripe lock. Runs |body(bucket)|
// with the stripe of |key|'s bucket held, exclusively when |writable|.
template <typename Body>
Status WithRecordLock(HashDBM::Impl* impl, std::string_view key, bool writable, Body&& body) {
  while (true) {
    const uint64_t num_buckets = impl->num_buckets_hint_.load(std::memory_order_acquire);
    const uint64_t bucket = PrimaryHash(key, num_buckets);
    StripeGuard stripe_lock(impl->Stripe(bucket), writable);
    if (!impl->open_) {
      return NotOpened();
    }
    if (impl->layout_.num_buckets != num_buckets) {
      continue;  // rebuilt meanwhile
    }
    if (writable && !impl->writable_) {
      return NotWritable();
    }
    return body(bucket);
  }
}

}  // namespace

Status HashDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  const Status status = WithRecordLock(impl, key, writable, [&](uint64_t bucket) {
    return impl->ProcessLocked(key, bucket, proc, writable);
  });
  impl->GrowIfWanted();
  return status;
}

// Get, Set and Remove do what the default bodies do through Process and the
// ready-made processors, with the chain walk's result used directly.
Status HashDBM::Get(std::string_view key, std::string* value) {
  Impl* impl = impl_.get();
  return WithRecordLock(impl, key, false, [&](uint64_t bucket) {
    Found found;
    Status status = impl->FindRecord(key, bucket, &found);
    if (!status.IsOK()) {
      return status;
    }
    if (!found.found) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    if (value != nullptr) {
      value->assign(found.rec.value);
    }
    return Status();
  });
}

Status HashDBM::Set(std::string_view key, std::string_view value, bool overwrite,
                    std::string* old_value) {
  // A processor answering with the storage of NOOP or REMOVE means those
  // answers, not a value: the default body keeps that meaning.
  if (value.data() == RecordProcessor::NOOP.data() ||
      value.data() == RecordProcessor::REMOVE.data()) {
    return DBM::Set(key, value, overwrite, old_value);
  }
  Impl* impl = impl_.get();
  const Status status = WithRecordLock(impl, key, true, [&](uint64_t bucket) {
    Found found;
    Status status = impl->FindRecord(key, bucket, &found);
    if (!status.IsOK()) {
      return status;
    }
    if (found.found) {
      if (old_value != nullptr) {
        old_value->assign(found.rec.value);
      }
      if (!overwrite) {
        return Status(Status::DUPLICATION_ERROR);
      }
    }
    return impl->SetRecord(key, value, bucket, &found);
  });
  impl->GrowIfWanted();
  return status;
}

Status HashDBM::Remove(std::string_view key, std::string* old_value) {
  Impl* impl = impl_.get();
  return WithRecordLock(impl, key, true, [&](uint64_t bucket) {
    Found found;
    Status status = impl->FindRecord(key, bucket, &found);
    if (!status.IsOK()) {
      return status;
    }
    if (!found.found) {
      return Status(Status::NOT_FOUND_ERROR);
    }
    if (old_value != nullptr) {
      old_value->assign(found.rec.value);
    }
    return impl->RemoveRecord(bucket, &found);
  });
}

// Walks the non-empty buckets in order under the file lock, holding each
// bucket's stripe (exclusively when |writable|) while |visit| sees the bucket and
// its chain. |visit| sets |*done| to stop the walk; its failure stops it too.
namespace {

template <typename Visit>
Status WalkBuckets(HashDBM::Impl& impl, bool writable, bool with_values, Visit visit) {
  std::shared_lock<std::shared_mutex> lock(impl.file_mutex_);
  if (!impl.open_) {
    return NotOpened();
  }
  if (writable && !impl.writable_) {
    return NotWritable();
  }
  // The bucket heads are read a block at a time, under every stripe shared;
  // each chain is then read under its own stripe, so a bucket emptied
  // meanwhile gives no entries and one filled meanwhile may be passed over.
  const int width = impl.layout_.offset_width;
  std::vector<char> heads(kBucketBatch * width);
  std::vector<ChainEntry> entries;
  for (uint64_t first = 0; first < impl.layout_.num_buckets; first += kBucketBatch) {
    const uint64_t count = std::min(kBucketBatch, impl.layout_.num_buckets - first);
    Status status;
    {
      AllStripesGuard stripes_lock(&impl.stripes_, false);
      status = impl.raw_->Read(impl.layout_.BucketPos(first), heads.data(), count * width);
    }
    if (!status.IsOK()) {
      return status;
    }
    for (uint64_t i = 0; i < count; i++) {
      if (GetBE(heads.data() + i * width, width) == 0) {
        continue;
      }
      const uint64_t bucket = first + i;
      StripeGuard stripe_lock(impl.Stripe(bucket), writable);
      status = impl.ReadChain(bucket, with_values, &entries);
      if (!status.IsOK()) {
        return status;
      }
      bool done = false;
      status = visit(bucket, entries, &done);
      if (!status.IsOK() || done) {
        return status;
      }
    }
  }
  return Status();
}

}  // namespace

Status HashDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  Impl& impl = *impl_;
  bool found_first = false;
  Status status = WalkBuckets(
      impl, writable, false,
      [&](uint64_t bucket, const std::vector<ChainEntry>& entries, bool* done) {
        if (entries.empty()) {
          return Status();
        }
        *done = found_first = true;
        return impl.ProcessLocked(entries.front().key, bucket, proc, writable);
      });
  if (found_first || !status.IsOK()) {
    return status;
  }
  Status proc_status;
  CallProcessor(proc, "", nullptr, writable, &proc_status);
  if (!proc_status.IsOK()) {
    return proc_status;
  }
  return Status(Status::NOT_FOUND_ERROR, "no record");
}

namespace {

Status ProcessMultiLocked(
    HashDBM::Impl& impl,
    const std::vector<std::pair<std::string_view, DBM::RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  std::vector<uint64_t> buckets;
  buckets.reserve(key_proc_pairs.size());
  std::vector<size_t> stripes;
  stripes.reserve(key_proc_pairs.size());
  while (true) {
    const uint64_t num_buckets = impl.num_buckets_hint_.load(std::memory_order_acquire);
    buckets.clear();
    stripes.clear();
    for (const auto& pair : key_proc_pairs) {
      const uint64_t bucket = PrimaryHash(pair.first, num_buckets);
      buckets.push_back(bucket);
      stripes.push_back(bucket % kNumStripes);
    }
    std::sort(stripes.begin(), stripes.end());
    stripes.erase(std::unique(stripes.begin(), stripes.end()), stripes.end());
    StripeSetGuard stripes_lock(&impl.stripes_, stripes, writable);
    if (!impl.open_) {
      return NotOpened();
    }
    if (impl.layout_.num_buckets != num_buckets) {
      continue;  // rebuilt meanwhile
    }
    if (writable && !impl.writable_) {
      return NotWritable();
    }
    Status status;
    for (size_t i = 0; i < key_proc_pairs.size() && status.IsOK(); i++) {
      status = impl.ProcessLocked(key_proc_pairs[i].first, buckets[i], key_proc_pairs[i].second,
                                  writable);
    }
    return status;
  }
}

}  // namespace

Status HashDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  const Status status = ProcessMultiLocked(*impl_, key_proc_pairs, writable);
  impl_->GrowIfWanted();
  return status;
}

namespace {

// Unregisters a walk in file order when it ends, however it ends.
class ScanRegistration {
 public:
  ScanRegistration(HashDBM::Impl* impl, ScanCursor* cursor) : impl_(impl), cursor_(cursor) {
    impl_->StartScan(cursor_, impl_->layout_.record_base);
  }
  ~ScanRegistration() { impl_->StopScan(cursor_); }
  ScanRegistration(const ScanRegistration&) = delete;
  ScanRegistration& operator=(const ScanRegistration&) = delete;

 private:
  HashDBM::Impl* impl_;
  ScanCursor* cursor_;
};

// ProcessEach in file order, a batch at a time. Read-only processors see the
// batch under the one shared hold of every stripe that read it; writing ones
// get each record again under its stripe, held exclusively, as it is then
// (passed over when removed meanwhile). The caller holds the file lock.
Status ProcessEachInFileOrder(HashDBM::Impl& impl, DBM::RecordProcessor* proc, bool writable) {
  ScanCursor cursor;
  ScanRegistration registration(&impl, &cursor);
  RecordBatch batch;
  std::string window;
  bool more = true;
  while (more) {
    {
      AllStripesGuard stripes_lock(&impl.stripes_, false);
      Status status = impl.ReadScanBatch(&cursor, &batch, &window, &more);
      if (!status.IsOK()) {
        return status;
      }
      if (!writable) {
        for (size_t i = 0; i < batch.size(); i++) {
          Status proc_status;
          const std::string_view value = batch.Value(i);
          CallProcessor(proc, batch.Key(i), &value, false, &proc_status);
          if (!proc_status.IsOK()) {
            return proc_status;
          }
        }
        continue;
      }
    }
    for (size_t i = 0; i < batch.size(); i++) {
      const std::string_view key = batch.Key(i);
      const uint64_t bucket = impl.BucketOf(key);
      StripeGuard stripe_lock(impl.Stripe(bucket), true);
      Found found;
      Status status = impl.FindRecord(key, bucket, &found);
      if (!status.IsOK()) {
        return status;
      }
      if (!found.found) {
        continue;
      }
      Status proc_status;
      const std::string_view answer =
          CallProcessor(proc, key, &found.rec.value, true, &proc_status);
      if (!proc_status.IsOK()) {
        return proc_status;
      }
      status = impl.ApplyAnswer(key, bucket, answer, &found);
      if (!status.IsOK()) {
        return status;
      }
    }
  }
  return Status();
}

}  // namespace

Status HashDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  Impl& impl = *impl_;
  {
    std::shared_lock<std::shared_mutex> lock(impl.file_mutex_);
    if (!impl.open_) {
      return NotOpened();
    }
    if (writable && !impl.writable_) {
      return NotWritable();
    }
    if (impl.CanScanInFileOrder()) {
      return ProcessEachInFileOrder(impl, proc, writable);
    }
  }
  return WalkBuckets(
      impl, writable, true,
      [&](uint64_t bucket, const std::vector<ChainEntry>& entries, bool*) {
        for (const auto& entry : entries) {
          Status proc_status;
          const std::string_view value = entry.value;
          const std::string_view answer =
              CallProcessor(proc, entry.key, &value, writable, &proc_status);
          if (!proc_status.IsOK()) {
            return proc_status;
          }
          if (answer.data() != RecordProcessor::NOOP.data()) {
            Found found;
            Status status = impl.FindRecord(entry.key, bucket, &found);
            if (status.IsOK()) {
              status = impl.ApplyAnswer(entry.key, bucket, answer, &found);
            }
            if (!status.IsOK()) {
              return status;
            }
          }
        }
        return Status();
      });
}

Status HashDBM::Count(int64_t* count) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  *count = impl_->counts_.NumRecords();
  return Status();
}

Status HashDBM::GetFileSize(int64_t* size) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  return impl_->file_->GetSize(size);
}

Status HashDBM::GetFilePath(std::string* path) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  *path = impl_->path_;
  return Status();
}

Status HashDBM::GetTimestamp(double* timestamp) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  *timestamp = impl_->timestamp_us_.load() / 1000000.0;
  return Status();
}

Status HashDBM::Clear() {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesGuard stripes_lock(&impl.stripes_, true);
  if (!impl.open_) {
    return NotOpened();
  }
  if (!impl.writable_) {
    return NotWritable();
  }
  Status status = impl.MarkDirty();
  if (status.IsOK()) {
    status = impl.file_->Truncate(kHeaderSize);
  }
  if (status.IsOK()) {
    status = impl.file_->Truncate(impl.layout_.record_base);
  }
  if (!status.IsOK()) {
    return status;
  }
  impl.fbp_.Clear();
  impl.counts_.Reset(0, 0, 0);
  impl.file_end_ = impl.layout_.record_base;
  impl.no_strays_ = true;
  impl.ResetScans();
  impl.timestamp_us_ = NowMicros();
  return impl.WriteDynamic(false);
}

Status HashDBM::RebuildAdvanced(const ParamMap& params) {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesGuard stripes_lock(&impl.stripes_, true);
  if (!impl.open_) {
    return NotOpened();
  }
  if (!impl.writable_) {
    return NotWritable();
  }
  return impl.RebuildLocked(params);
}

Status HashDBM::ShouldBeRebuilt(bool* tobe) {
  Impl& impl = *impl_;
  std::shared_lock<std::shared_mutex> lock(impl.file_mutex_);
  if (!impl.open_) {
    return NotOpened();
  }
  const int64_t region = impl.FileEnd() - impl.layout_.record_base;
  *tobe = impl.counts_.LiveSize() < region / 2 ||
          impl.counts_.NumRecords() > static_cast<int64_t>(impl.layout_.num_buckets);
  return Status();
}

Status HashDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesGuard stripes_lock(&impl.stripes_, true);
  if (!impl.open_) {
    return NotOpened();
  }
  Status status = CheckNoParams(params);
  if (!status.IsOK()) {
    return status;
  }
  if (impl.writable_) {
    status = impl.SyncImpl(hard);
  }
  if (status.IsOK() && proc != nullptr) {
    proc->Process(impl.path_);
  }
  return status;
}

Status HashDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  Impl& impl = *impl_;
  std::unique_lock<std::shared_mutex> lock(impl.file_mutex_);
  AllStripesGuard stripes_lock(&impl.stripes_, true);
  if (!impl.open_) {
    return NotOpened();
  }
  if (dest_path == impl.path_) {
    // Opening the destination would truncate the database itself.
    return Status(Status::INVALID_ARGUMENT_ERROR, "the copy needs a path of its own");
  }
  Status status;
  if (impl.writable_) {
    status = impl.SyncImpl(sync_hard);
    if (!status.IsOK()) {
      return status;
    }
  }
  // Copying onto the database's own file (under any name) would wait for
  // its own file lock, or truncate it when it was opened without one.
  struct stat dest_stat, own_stat;
  if (stat(dest_path.c_str(), &dest_stat) == 0 && stat(impl.path_.c_str(), &own_stat) == 0 &&
      dest_stat.st_dev == own_stat.st_dev && dest_stat.st_ino == own_stat.st_ino) {
    return Status(Status::INVALID_ARGUMENT_ERROR, "the copy would overwrite the database file");
  }
  const int64_t end = impl.FileEnd();
  std::unique_ptr<File> dest = impl.file_->MakeFile();
  status = dest->Open(dest_path, true, File::OPEN_TRUNCATE);
  if (!status.IsOK()) {
    return status;
  }
  std::string buf;
  for (int64_t off = 0; off < end && status.IsOK();) {
    const size_t size = static_cast<size_t>(std::min<int64_t>(kScanWindow, end - off));
    buf.resize(size);
    status = impl.file_->Read(off, buf.data(), size);
    if (status.IsOK()) {
      status = dest->Write(off, buf.data(), size);
    }
    off += size;
  }
  if (status.IsOK() && sync_hard) {
    status = dest->Synchronize(true);
  }
  status |= dest->Close();
  return status;
}

std::vector<std::pair<std::string, std::string>> HashDBM::Inspect() {
  Impl& impl = *impl_;
  std::shared_lock<std::shared_mutex> lock(impl.file_mutex_);
  std::vector<std::pair<std::string, std::string>> result;
  result.emplace_back("class", "HashDBM");
  result.emplace_back("path", impl.path_);
  if (!impl.open_) {
    result.emplace_back("num_records", "-1");
    result.emplace_back("healthy", "false");
    return result;
  }
  const Layout& layout = impl.layout_;
  result.emplace_back("num_records", std::to_string(impl.counts_.NumRecords()));
  result.emplace_back("num_records_source", impl.counts_scanned_ ? "scan" : "header");
  result.emplace_back("healthy", impl.healthy_ ? "true" : "false");
  result.emplace_back("num_buckets", std::to_string(layout.num_buckets));
  result.emplace_back("align_pow", std::to_string(layout.align_pow));
  result.emplace_back("offset_width", std::to_string(layout.offset_width));
  result.emplace_back("update_mode", UpdateModeName(layout.update_mode));
  result.emplace_back("record_crc_mode", CrcModeName(layout.crc_mode));
  result.emplace_back("fbp_capacity", std::to_string(impl.fbp_capacity_));
  result.emplace_back("free_blocks", std::to_string(impl.fbp_.Size()));
  result.emplace_back("restore_mode", impl.restore_mode_);
  result.emplace_back("file_size", std::to_string(impl.FileEnd()));
  result.emplace_back("record_base", std::to_string(layout.record_base));
  result.emplace_back("eff_data_size", std::to_string(impl.counts_.EffDataSize()));
  result.emplace_back("live_slot_size", std::to_string(impl.counts_.LiveSize()));
  result.emplace_back("timestamp", SPrintF("%.6f", impl.timestamp_us_.load() / 1000000.0));
  result.emplace_back("writable", impl.writable_ ? "true" : "false");
  return result;
}

bool HashDBM::IsOpen() const {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  return impl_->open_;
}

bool HashDBM::IsWritable() const {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  return impl_->open_ && impl_->writable_;
}

bool HashDBM::IsHealthy() const {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  return impl_->open_ && impl_->healthy_;
}

bool HashDBM::IsOrdered() const { return false; }

std::unique_ptr<DBM::Iterator> HashDBM::MakeIterator() {
  return hashdbm::MakeIterator(impl_);
}

std::unique_ptr<DBM> HashDBM::MakeDBM() const { return std::make_unique<HashDBM>(); }

}  // namespace morvel
