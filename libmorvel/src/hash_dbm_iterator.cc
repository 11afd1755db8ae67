// The iterator of a hash database. It remembers its place by bucket and key:
// it holds the keys of its current bucket's chain and finds each again under
// the stripe lock, so it stays valid while other threads write.

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "hash_dbm_impl.h"

namespace morvel {
namespace hashdbm {
namespace {

class HashIterator final : public DBM::Iterator {
 public:
  explicit HashIterator(std::shared_ptr<HashDBM::Impl> impl) : impl_(std::move(impl)) {}

  Status First() override;
  Status Last() override { return NotImplemented(); }
  Status Jump(std::string_view key) override;
  Status JumpLower(std::string_view, bool) override { return NotImplemented(); }
  Status JumpUpper(std::string_view, bool) override { return NotImplemented(); }
  Status Next() override;
  Status Previous() override { return NotImplemented(); }
  Status Process(DBM::RecordProcessor* proc, bool writable) override;

 private:
  static Status NotImplemented() {
    return Status(Status::NOT_IMPLEMENTED_ERROR, "the hash database is unordered");
  }
  // Loads the keys of the first non-empty bucket at or after |bucket|.
  Status LoadFrom(uint64_t bucket);
  // Moves to the first key at or after |index_| that still exists, loading
  // later buckets as needed. The caller holds the file lock.
  Status Settle();

  std::shared_ptr<HashDBM::Impl> impl_;
  // The failure that stopped the iterator, reported again by every later
  // call until First or Jump: a read error is never taken for the end.
  Status error_;
  bool placed_ = false;
  uint64_t bucket_ = 0;
  std::vector<std::string> keys_;
  size_t index_ = 0;
};

Status HashIterator::LoadFrom(uint64_t bucket) {
  HashDBM::Impl& impl = *impl_;
  std::vector<ChainEntry> entries;
  while (true) {
    Status status = impl.NextNonEmptyBucket(bucket, &bucket, true);
    if (!status.IsOK()) {
      placed_ = false;
      error_ = status;
      return status;
    }
    if (bucket >= impl.layout_.num_buckets) {
      placed_ = false;
      keys_.clear();
      return Status();
    }
    {
      std::shared_lock<std::shared_mutex> lock(impl.Stripe(bucket));
      status = impl.ReadChain(bucket, false, &entries);
    }
    if (!status.IsOK()) {
      placed_ = false;
      error_ = status;
      return status;
    }
    if (!entries.empty()) {
      keys_.clear();
      for (auto& entry : entries) {
        keys_.emplace_back(std::move(entry.key));
      }
      bucket_ = bucket;
      index_ = 0;
      placed_ = true;
      return Status();
    }
    bucket++;
  }
}

Status HashIterator::Settle() {
  HashDBM::Impl& impl = *impl_;
  if (bucket_ >= impl.layout_.num_buckets) {
    placed_ = false;
  }
  while (placed_) {
    while (index_ < keys_.size()) {
      Found found;
      Status status;
      {
        std::shared_lock<std::shared_mutex> lock(impl.Stripe(bucket_));
        status = impl.FindRecord(keys_[index_], bucket_, &found);
      }
      if (!status.IsOK()) {
        return status;
      }
      if (found.found) {
        return Status();
      }
      index_++;
    }
    Status status = LoadFrom(bucket_ + 1);
    if (!status.IsOK()) {
      return status;
    }
  }
  return Status();
}

Status HashIterator::First() {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  error_ = Status();
  Status status = LoadFrom(0);
  if (status.IsOK()) {
    status = Settle();
  }
  return status;
}

Status HashIterator::Jump(std::string_view key) {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  HashDBM::Impl& impl = *impl_;
  if (!impl.open_) {
    return NotOpened();
  }
  error_ = Status();
  placed_ = false;
  const uint64_t bucket = impl.BucketOf(key);
  std::vector<ChainEntry> entries;
  Status status;
  {
    std::shared_lock<std::shared_mutex> stripe_lock(impl.Stripe(bucket));
    status = impl.ReadChain(bucket, false, &entries);
  }
  if (!status.IsOK()) {
    error_ = status;
    return status;
  }
  keys_.clear();
  index_ = entries.size();
  for (size_t i = 0; i < entries.size(); i++) {
    if (entries[i].key == key) {
      index_ = i;
    }
    keys_.emplace_back(std::move(entries[i].key));
  }
  if (index_ >= keys_.size()) {
    return Status(Status::NOT_FOUND_ERROR, "no such record");
  }
  bucket_ = bucket;
  placed_ = true;
  return Status();
}

Status HashIterator::Next() {
  std::shared_lock<std::shared_mutex> lock(impl_->file_mutex_);
  if (!impl_->open_) {
    return NotOpened();
  }
  if (!error_.IsOK()) {
    return error_;
  }
  if (!placed_) {
    return Status(Status::NOT_FOUND_ERROR, "the iterator is at the end");
  }
  index_++;
  return Settle();
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
    Status status = Settle();
    if (!status.IsOK()) {
      return status;
    }
    if (!placed_) {
      return Status(Status::NOT_FOUND_ERROR, "the iterator is at the end");
    }
    const std::string& key = keys_[index_];
    Found found;
    std::string_view answer;
    {
      StripeGuard stripe_lock(impl.Stripe(bucket_), writable);
      status = impl.FindRecord(key, bucket_, &found);
      if (!status.IsOK()) {
        return status;
      }
      if (!found.found) {
        // Removed meanwhile: go on with the next one.
        continue;
      }
      Status proc_status;
      answer = CallProcessor(proc, key, &found.rec.value, writable, &proc_status);
      if (!proc_status.IsOK()) {
        return proc_status;
      }
      status = impl.ApplyAnswer(key, bucket_, answer, &found);
    }
    if (status.IsOK() && answer.data() == DBM::RecordProcessor::REMOVE.data()) {
      index_++;
      status = Settle();
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
