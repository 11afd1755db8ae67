// The iterator of a hash database. It walks the buckets in order and reads
// the records of whole buckets ahead, a batch at a time, under one shared hold
// of every stripe (the walk's cost is then a few lock operations per batch, not
// several chain walks per record). The batch keeps each record's key, so the
// iterator remembers its place by key: reads and writes at the cursor find the
// key again under its stripe lock, and a key removed meanwhile is passed over.
// Only Step (and StepReadAhead) hand out records from the batch itself, as
// they were when it was read.
//
// In the in-place mode of a healthy database, the walk goes in file order
// instead (see hash_dbm_scan.h): the records are read as they lie in the
// file, each read window serving a whole batch, and writers tell the walk what
// they move across its position. Elsewhere it goes in bucket order: a Rebuild
// that changes the bucket count changes that order, and the iterator then
// goes on after the new bucket of the last key it read; automatic growth waits
// until such a walk ends.

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "hash_dbm_impl.h"
#include "record_batch.h"

namespace morvel {
namespace hashdbm {
namespace {

// How many buckets a walk touches ahead at once.
constexpr uint64_t kTouchGroup = 32;

class HashIterator final : public DBM::Iterator {
 public:
  explicit HashIterator(std::shared_ptr<HashDBM::Impl> impl) : impl_(std::move(impl)) {}
  ~HashIterator() override {
    if (counted_) {
      impl_->walking_iterators_.fetch_sub(1);
    }
    if (registered_) {
      impl_->StopScan(&cursor_);
    }
  }

  Status First() override;
  Status Last() override { return NotImplemented(); }
  Status Jump(std::string_view key) override;
  Status JumpLower(std::string_view, bool) override { return NotImplemented(); }
  Status JumpUpper(std::string_view, bool) override { return NotImplemented(); }
  Status Next() override;
  Status Previous() override { return NotImplemented(); }
  Status Process(DBM::RecordProcessor* proc, bool writable) override;
  Status Step(std::string* key, std::string* value) override;
  bool StepReadAhead(std::string_view* key, std::string_view* value) override;

 private:
  static Status NotImplemented() {
    return Status(Status::NOT_IMPLEMENTED_ERROR, "the hash database is unordered");
  }
  static Status AtEnd() { return Status(Status::NOT_FOUND_ERROR, "the iterator is at the end"); }
  // Reads the live records of whole buckets from |bucket| on into the batch,
  // until it is full or the buckets end. A read error after some records
  // ends the batch before the failing bucket, so that those are handed out
  // first; with none, it stops the iterator. The caller holds the file lock.
  Status Fill(uint64_t bucket);
  // Fills the batch with the buckets after the current one.
  Status Refill();
  // Adds the live records of the chain at |off| of |bucket| to the batch.
  Status ReadBucketRecords(uint64_t bucket, int64_t off);
  // Reads the next batch when the cursor is past the current one.
  Status EnsureRecord();
  // Brings the cursor onto a record to hand out: the database must be open,
  // the iterator without error and not at the end. The caller holds the file lock.
  Status ReachRecord();
  // Reads the next batch of a walk in file order. The caller holds the file
  // lock; with |stripes_held|, every stripe too.
  Status FillInFileOrder(bool stripes_held);
  // While this iterator has records left to hand out: a walk in bucket order
  // counts among those that automatic growth, which would change the order
  // under it, waits for; a walk in file order stays registered, so that
  // writers tell it what they move. After the end, neither.
  void UpdateWalking() {
    const bool walking = error_.IsOK() && (batch_.AtRecord() || more_);
    const bool counted = walking && !in_file_order_;
    if (counted != counted_) {
      counted_ = counted;
      impl_->walking_iterators_.fetch_add(counted ? 1 : -1);
    }
    if (registered_ && !(walking && in_file_order_)) {
      impl_->StopScan(&cursor_);
      registered_ = false;
    }
  }
  void StartInFileOrder(int64_t pos) {
    impl_->StartScan(&cursor_, pos);
    registered_ = true;
  }

  std::shared_ptr<HashDBM::Impl> impl_;
  // The failure that stopped the iterator, reported again by every later
  // call until First or Jump: a read error is never taken for the end.
  Status error_;
  RecordBatch batch_;
  // Whether buckets after the batch remain to be read, from |next_bucket_| of
  // a layout of |num_buckets_| buckets.
  bool more_ = false;
  uint64_t next_bucket_ = 0;
  uint64_t num_buckets_ = 0;
  std::vector<char> heads_;
  RecordRead rec_;
  // Whether the walk goes in file order (with |cursor_| and the read buffer
  // |window_|) rather than in bucket order.
  bool in_file_order_ = false;
  ScanCursor cursor_;
  std::string window_;
  bool registered_ = false;
  bool counted_ = false;
};

Status HashIterator::ReadBucketRecords(uint64_t bucket, int64_t off) {
  HashDBM::Impl& impl = *impl_;
  const int64_t end = impl.FileEnd();
  const bool appending = impl.layout_.update_mode == kUpdateAppending;
  const size_t bucket_begin = batch_.size();
  std::vector<std::string> removed;
  CycleGuard guard;
  const Layout& layout = impl.layout_;
  char buf[kReadPrefix];
  while (off != 0) {
    if (!guard.Step(off)) {
      return BrokenData("a cycle in a bucket chain");
    }
    // A small record is read and checked in one go: with every stripe held,
    // no writer is at work, so the bytes after it may be read too. Anything
    // else goes the careful way, which also names what is wrong.
    RecordHead head;
    std::string_view key, value;
    bool whole = false;
    if (off >= layout.record_base && off < end && (off - layout.record_base) % layout.align == 0) {
      const int64_t avail = std::min<int64_t>(kReadPrefix, end - off);
      whole = impl.raw_->Read(off, buf, avail).IsOK() &&
              CheckRecord(layout, buf, avail, &head, &key, &value) && head.type != kRecordFree;
    }
    if (!whole) {
      Status status = ReadHead(impl.raw_, layout, end, off, &rec_);
      if (!status.IsOK()) {
        return status;
      }
      if (rec_.head.type == kRecordFree) {
        return BrokenData(SPrintF("a free block in a chain at %lld", static_cast<long long>(off)));
      }
      // Removal records too: a damaged one must not let an older version show.
      status = ReadBody(impl.raw_, layout, &rec_);
      if (!status.IsOK()) {
        return status;
      }
      head = rec_.head;
      key = rec_.key;
      value = rec_.value;
    }
    bool shadowed = false;
    if (appending) {
      // Only the first record of a key counts.
      for (const auto& removed_key : removed) {
        shadowed = shadowed || removed_key == key;
      }
      for (size_t i = bucket_begin; i < batch_.size() && !shadowed; i++) {
        shadowed = batch_.Key(i) == key;
      }
    }
    if (!shadowed) {
      if (head.type == kRecordSet) {
        batch_.Add(key, value, bucket);
      } else if (appending) {
        removed.emplace_back(key);
      }
    }
    off = head.link;
  }
  return Status();
}

Status HashIterator::Fill(uint64_t bucket) {
  HashDBM::Impl& impl = *impl_;
  batch_.Clear();
  more_ = false;
  num_buckets_ = impl.layout_.num_buckets;
  const int width = impl.layout_.offset_width;
  heads_.resize(kBucketBatch * width);
  // Every stripe shared: bucket heads of all stripes are read, and the whole
  // batch is read in one hold.
  AllStripesGuard stripes_lock(&impl.stripes_, false);
  while (bucket < num_buckets_) {
    const uint64_t count = std::min<uint64_t>(kBucketBatch, num_buckets_ - bucket);
    Status status = impl.raw_->Read(impl.layout_.BucketPos(bucket), heads_.data(), count * width);
    const auto head_at = [&](uint64_t i) {
      return static_cast<int64_t>(GetBE(heads_.data() + i * width, width))
             << impl.layout_.align_pow;
    };
    // Records lie in the file in the order they were written, not in bucket
    // order, so each is a cache miss. Touching the first records of a group
    // of buckets ahead in one tight loop lets those misses overlap, where
    // they would otherwise come one after another.
    // The span touched is the one read later, which often straddles two
    // cache lines.
    char touched[kReadPrefix];
    const int64_t file_end = impl.FileEnd();
    const auto touch_group = [&](uint64_t first) {
      const uint64_t last = std::min(first + kTouchGroup, count);
      for (uint64_t j = first; j < last; j++) {
        const int64_t off = head_at(j);
        if (off > 0 && off < file_end) {
          impl.raw_->Read(off, touched, std::min<int64_t>(kReadPrefix, file_end - off));
        }
      }
    };
    if (status.IsOK()) {
      touch_group(0);
    }
    for (uint64_t i = 0; i < count && status.IsOK(); i++) {
      if (i % kTouchGroup == 0) {
        touch_group(i + kTouchGroup);
      }
      const int64_t off = head_at(i);
      if (off == 0) {
        continue;
      }
      const size_t before = batch_.size();
      status = ReadBucketRecords(bucket + i, off);
      if (!status.IsOK()) {
        // Drops the failing bucket's records: it is read again, and fails
        // again, after the records before it are handed out.
        batch_.Truncate(before);
        if (batch_.empty()) {
          error_ = status;
          return status;
        }
        next_bucket_ = bucket + i;
        more_ = true;
        return Status();
      }
      if (batch_.Full()) {
        next_bucket_ = bucket + i + 1;
        more_ = next_bucket_ < num_buckets_;
        return Status();
      }
    }
    if (!status.IsOK()) {
      if (batch_.empty()) {
        error_ = status;
        return status;
      }
      next_bucket_ = bucket;
      more_ = true;
      return Status();
    }
    bucket += count;
  }
  return Status();
}

Status HashIterator::FillInFileOrder(bool stripes_held) {
  HashDBM::Impl& impl = *impl_;
  Status status;
  if (stripes_held) {
    status = impl.ReadScanBatch(&cursor_, &batch_, &window_, &more_);
  } else {
    AllStripesGuard stripes_lock(&impl.stripes_, false);
    status = impl.ReadScanBatch(&cursor_, &batch_, &window_, &more_);
  }
  if (!status.IsOK()) {
    batch_.Clear();
    more_ = false;
    error_ = status;
  }
  return status;
}

Status HashIterator::Refill() {
  if (in_file_order_) {
    return FillInFileOrder(false);
  }
  HashDBM::Impl& impl = *impl_;
  uint64_t bucket = next_bucket_;
  if (impl.layout_.num_buckets != num_buckets_) {
    // Rebuilt with another bucket count: go on after the last key read.
    bucket = batch_.empty() ? impl.layout_.num_buckets : impl.BucketOf(batch_.LastKey()) + 1;
  }
  return Fill(bucket);
}

Status HashIterator::EnsureRecord() {
  Status status;
  if (!batch_.AtRecord() && more_) {
    status = Refill();
  }
  UpdateWalking();
  return status;
}

Status HashIterator::First() {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  error_ = Status();
  in_file_order_ = impl_->CanScanInFileOrder();
  Status status;
  if (in_file_order_) {
    StartInFileOrder(impl_->layout_.record_base);
    status = FillInFileOrder(false);
  } else {
    status = Fill(0);
  }
  UpdateWalking();
  return status;
}

Status HashIterator::Jump(std::string_view key) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  HashDBM::Impl& impl = *impl_;
  if (!impl.open_) {
    return NotOpened();
  }
  error_ = Status();
  const uint64_t bucket = impl.BucketOf(key);
  in_file_order_ = impl.CanScanInFileOrder();
  if (in_file_order_) {
    // The walk goes on in file order from the key's record, found and read
    // in one hold of every stripe so that it cannot move in between.
    Status status;
    {
      AllStripesGuard stripes_lock(&impl.stripes_, false);
      Found found;
      status = impl.FindRecord(key, bucket, &found);
      if (status.IsOK() && found.found) {
        StartInFileOrder(found.offset);
        status = FillInFileOrder(true);
        if (status.IsOK() && !batch_.empty() && batch_.Key(0) == key) {
          UpdateWalking();
          return Status();
        }
      }
    }
    batch_.Clear();
    more_ = false;
    UpdateWalking();
    return status.IsOK() ? Status(Status::NOT_FOUND_ERROR, "no such record") : status;
  }
  Status status = Fill(bucket);
  if (!status.IsOK()) {
    UpdateWalking();
    return status;
  }
  for (size_t i = 0; i < batch_.size() && batch_.Aux(i) == bucket; i++) {
    if (batch_.Key(i) == key) {
      batch_.set_pos(i);
      UpdateWalking();
      return Status();
    }
  }
  batch_.Clear();
  more_ = false;
  UpdateWalking();
  return Status(Status::NOT_FOUND_ERROR, "no such record");
}

Status HashIterator::ReachRecord() {
  if (!impl_->open_) {
    return NotOpened();
  }
  if (!error_.IsOK()) {
    return error_;
  }
  Status status = EnsureRecord();
  if (!status.IsOK()) {
    return status;
  }
  return batch_.AtRecord() ? Status() : AtEnd();
}

Status HashIterator::Next() {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  Status status = ReachRecord();
  if (!status.IsOK()) {
    return status;
  }
  batch_.Advance();
  return EnsureRecord();
}

Status HashIterator::Step(std::string* key, std::string* value) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  Status status = ReachRecord();
  if (!status.IsOK()) {
    return status;
  }
  if (key != nullptr) {
    *key = batch_.Key(batch_.pos());
  }
  if (value != nullptr) {
    *value = batch_.Value(batch_.pos());
  }
  batch_.Advance();
  return EnsureRecord();
}

bool HashIterator::StepReadAhead(std::string_view* key, std::string_view* value) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !impl_->open_ || !error_.IsOK() || !batch_.AtRecord()) {
    return false;
  }
  *key = batch_.Key(batch_.pos());
  *value = batch_.Value(batch_.pos());
  batch_.Advance();
  return true;
}

Status HashIterator::Process(DBM::RecordProcessor* proc, bool writable) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  HashDBM::Impl& impl = *impl_;
  if (!impl.open_) {
    return NotOpened();
  }
  if (writable && !impl.writable_) {
    return NotWritable();
  }
  if (!error_.IsOK()) {
    return error_;
  }
  while (true) {
    Status status = EnsureRecord();
    if (!status.IsOK()) {
      return status;
    }
    if (!batch_.AtRecord()) {
      return AtEnd();
    }
    const size_t pos = batch_.pos();
    const std::string key(batch_.Key(pos));
    const uint64_t bucket = impl.BucketOf(key);
    Found found;
    std::string_view answer;
    {
      StripeGuard stripe_lock(impl.Stripe(bucket), writable);
      status = impl.FindRecord(key, bucket, &found);
      if (!status.IsOK()) {
        // Damage on the key's chain, which a walk in file order does not
        // follow: it stops the iterator as damage met by the walk would.
        error_ = status;
        UpdateWalking();
        return status;
      }
      if (!found.found) {
        // Removed meanwhile: go on with the next one.
        batch_.Advance();
        continue;
      }
      Status proc_status;
      answer = CallProcessor(proc, key, &found.rec.value, writable, &proc_status);
      if (!proc_status.IsOK()) {
        return proc_status;
      }
      status = impl.ApplyAnswer(key, bucket, answer, &found);
      if (status.IsOK()) {
        if (answer.data() == DBM::RecordProcessor::REMOVE.data()) {
          batch_.Advance();
        } else {
          // What a later Step hands out is the record as it is now.
          batch_.SetValue(pos, answer.data() == DBM::RecordProcessor::NOOP.data()
                                   ? found.rec.value
                                   : answer);
        }
      }
    }
    if (status.IsOK()) {
      status = EnsureRecord();
    }
    return status;
  }
}

}  // namespace

std::unique_ptr<DBM::Iterator> MakeIterator(std::shared_ptr<HashDBM::Impl> impl) {
  return std::make_unique<HashIterator>(std::move(impl));
}

}  // namespace hashdbm
}  // namespace morvel
