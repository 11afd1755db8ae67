// CacheDBM: an in-memory hash table with least-recently-used eviction.
//
// Each record is one heap node holding its key and value, linked into:
// - |table|, a hash table from the key (a view into the node) to the node;
// - the recency list (|lru_head| the most recent, |lru_tail| the least), which
//   every access through the database reorders and eviction pops from the
//   tail;
// - |by_serial|, the nodes in the order they were added (a serial number given
//   once), which iterators, ProcessEach and ProcessFirst follow. An iterator
//   keeps the serial it stands on, so it stays valid while records are added,
//   changed, removed or evicted: a vanished record resolves to the next one.
//
// Eviction runs after every write, from the tail, until the record count and
// the memory size (key and value sizes plus kRecordOverhead a record) are
// within the capacities. The record just written is at the head, and a record
// that alone exceeds the memory capacity is refused before anything changes,
// so a write never evicts its own record.
//
// One mutex (Impl::mutex) guards everything, the file included: even reads
// reorder the recency list.

#include <map>
#include <mutex>
#include <new>
#include <unordered_map>

#include "mem_dbm_internal.h"
#include "morvel/mem_dbm.h"
#include "param_check.h"

namespace morvel {

namespace {

constexpr int64_t kDefaultCapRecNum = 1048576;
constexpr int64_t kRecordOverhead = 64;

struct Node {
  std::string key;
  std::string value;
  uint64_t serial = 0;
  Node* newer = nullptr;
  Node* older = nullptr;
};

int64_t NodeSize(std::string_view key, std::string_view value) {
  return static_cast<int64_t>(key.size() + value.size()) + kRecordOverhead;
}

// Reads a capacity parameter: a whole number >= 0.
Status ParseCap(const ParamMap& params, const std::string& name, int64_t* value) {
  const auto it = params.find(name);
  if (it != params.end()) {
    ParseIntegerParam(it->second, value);
  }
  return Status();
}

}  // namespace

struct CacheDBM::Impl {
  // Guards everything below.
  std::mutex mutex;
  std::unordered_map<std::string_view, std::unique_ptr<Node>> table;
  std::map<uint64_t, Node*> by_serial;
  Node* lru_head = nullptr;
  Node* lru_tail = nullptr;
  uint64_t next_serial = 1;
  int64_t mem_size = 0;
  int64_t cap_rec_num = kDefaultCapRecNum;
  int64_t cap_mem_size = 0;
  bool open = false;
  bool writable = false;
  MemoryDBMFile file;

  // The one place that reads CacheDBM's parameters.
  // Checks every parameter, then reads the capacities present.
  static Status ParseParams(const ParamMap& params, int64_t* rec_num, int64_t* mem_size) {
    static const ParamRule kRules[] = {
        {"cap_rec_num", ParamRule::kInteger, 0, INT64_MAX},
        {"cap_mem_size", ParamRule::kInteger, 0, INT64_MAX},
    };
    Status status = CheckParams(params, kRules);
    if (status.IsOK()) {
      status = ParseCap(params, "cap_rec_num", rec_num);
      status |= ParseCap(params, "cap_mem_size", mem_size);
    }
    return status;
  }

  void Unlink(Node* node) {
    (node->newer != nullptr ? node->newer->older : lru_head) = node->older;
    (node->older != nullptr ? node->older->newer : lru_tail) = node->newer;
    node->newer = node->older = nullptr;
  }

  void PushHead(Node* node) {
    node->older = lru_head;
    node->newer = nullptr;
    if (lru_head != nullptr) {
      lru_head->newer = node;
    }
    lru_head = node;
    if (lru_tail == nullptr) {
      lru_tail = node;
    }
  }

  void Touch(Node* node) {
    if (node != lru_head) {
      Unlink(node);
      PushHead(node);
    }
  }

  void Erase(Node* node) {
    Unlink(node);
    by_serial.erase(node->serial);
    mem_size -= NodeSize(node->key, node->value);
    // Erased by position: the table's key is a view into the node it frees.
    table.erase(table.find(node->key));
  }

  // Evicts from the tail until both capacities hold.
  void Evict() {
    while (lru_tail != nullptr &&
           ((cap_rec_num > 0 && static_cast<int64_t>(table.size()) > cap_rec_num) ||
            (cap_mem_size > 0 && mem_size > cap_mem_size))) {
      Erase(lru_tail);
    }
  }

  bool Fits(std::string_view key, std::string_view value) const {
    return cap_mem_size <= 0 || NodeSize(key, value) <= cap_mem_size;
  }

  Node* Insert(std::string_view key, std::string_view value) {
    auto node = std::make_unique<Node>();
    node->key.assign(key.data(), key.size());
    node->value.assign(value.data(), value.size());
    node->serial = next_serial++;
    Node* raw = node.get();
    by_serial.emplace(raw->serial, raw);
    table.emplace(raw->key, std::move(node));
    mem_size += NodeSize(key, value);
    PushHead(raw);
    return raw;
  }

  void Clear() {
    table.clear();
    by_serial.clear();
    lru_head = lru_tail = nullptr;
    mem_size = 0;
  }

  static Status TooLarge() {
    return Status(Status::INFEASIBLE_ERROR, "the record exceeds the cache's memory capacity");
  }

  // Finds |key|, runs |proc| and applies its answer (the lock is held).
  // |refresh| makes the record the most recent even when only read; a
  // changed record always becomes the most recent, so that eviction never
  // takes the record just written.
  Status ProcessLocked(std::string_view key, DBM::RecordProcessor* proc, bool writable,
                       bool refresh = true) {
    Status status;
    const auto it = table.find(key);
    if (it == table.end()) {
      const std::string_view answer = CallProcessor(proc, key, nullptr, writable, &status);
      if (answer.data() == DBM::RecordProcessor::NOOP.data() ||
          answer.data() == DBM::RecordProcessor::REMOVE.data()) {
        return status;
      }
      if (!Fits(key, answer)) {
        return TooLarge();
      }
      Insert(key, answer);
      Evict();
      return status;
    }
    Node* node = it->second.get();
    if (refresh) {
      Touch(node);
    }
    const std::string_view value = node->value;
    const std::string_view answer = CallProcessor(proc, node->key, &value, writable, &status);
    if (answer.data() == DBM::RecordProcessor::NOOP.data()) {
      return status;
    }
    if (answer.data() == DBM::RecordProcessor::REMOVE.data()) {
      Erase(node);
      return status;
    }
    if (!Fits(node->key, answer)) {
      return TooLarge();
    }
    // The answer may be a view into the old value.
    std::string new_value(answer);
    mem_size += static_cast<int64_t>(new_value.size()) - static_cast<int64_t>(node->value.size());
    node->value.swap(new_value);
    Touch(node);
    Evict();
    return status;
  }

  // Least recently used first, so that loading the file again rebuilds the
  // same recency order.
  Status DumpLocked(const MemoryDBMFile::RecordWriter& write) const {
    for (const Node* node = lru_tail; node != nullptr; node = node->newer) {
      const Status status = write(node->key, node->value);
      if (!status.IsOK()) {
        return status;
      }
    }
    return Status();
  }

  MemoryDBMFile::Dumper MakeDumper() {
    return [this](const MemoryDBMFile::RecordWriter& write) { return DumpLocked(write); };
  }

  // Runs |op| under the lock once the database is open and, for a writer,
  // writable. A failed allocation is SYSTEM_ERROR.
  template <typename Op>
  Status RunOp(bool writer, Op op) {
    std::lock_guard lock(mutex);
    const Status status = CheckUsable(open, writable, writer);
    if (!status.IsOK()) {
      return status;
    }
    try {
      return op();
    } catch (const std::bad_alloc&) {
      return AllocFailedStatus();
    }
  }
};

namespace {

class CacheIterator final : public DBM::Iterator {
 public:
  explicit CacheIterator(std::shared_ptr<CacheDBM::Impl> impl) : impl_(std::move(impl)) {}

  Status First() override {
    return impl_->RunOp(false, [&] {
      Place(impl_->by_serial.begin());
      return Status();
    });
  }

  Status Jump(std::string_view key) override {
    return impl_->RunOp(false, [&] {
      const auto it = impl_->table.find(key);
      if (it == impl_->table.end()) {
        placed_ = false;
        return Status(Status::NOT_FOUND_ERROR);
      }
      Place(impl_->by_serial.find(it->second->serial));
      return Status();
    });
  }

  Status Next() override {
    return impl_->RunOp(false, [&] {
      if (!placed_) {
        return Status(Status::NOT_FOUND_ERROR);
      }
      Place(impl_->by_serial.upper_bound(serial_));
      return Status();
    });
  }

  Status Last() override { return Unordered(); }
  Status JumpLower(std::string_view, bool) override { return Unordered(); }
  Status JumpUpper(std::string_view, bool) override { return Unordered(); }
  Status Previous() override { return Unordered(); }

  // Reading through an iterator does not refresh recency (walks would reorder
  // the eviction order); writing does.
  Status Process(DBM::RecordProcessor* proc, bool writable) override {
    return impl_->RunOp(writable, [&] {
      if (!Resolve()) {
        return Status(Status::NOT_FOUND_ERROR);
      }
      const std::string key = impl_->by_serial.find(serial_)->second->key;
      const Status status = impl_->ProcessLocked(key, proc, writable, false);
      Resolve();
      return status;
    });
  }

 private:
  static Status Unordered() {
    return Status(Status::NOT_IMPLEMENTED_ERROR, "the cache database is not ordered");
  }

  void Place(std::map<uint64_t, Node*>::iterator it) {
    placed_ = it != impl_->by_serial.end();
    serial_ = placed_ ? it->first : 0;
  }

  // Moves to the first record at or after the stored serial; false at the end.
  bool Resolve() {
    if (!placed_) {
      return false;
    }
    Place(impl_->by_serial.lower_bound(serial_));
    return placed_;
  }

  std::shared_ptr<CacheDBM::Impl> impl_;
  bool placed_ = false;
  uint64_t serial_ = 0;
};

}  // namespace

CacheDBM::CacheDBM() : impl_(std::make_shared<Impl>()) {}

CacheDBM::~CacheDBM() {
  Close();
}

Status CacheDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                              const ParamMap& params) {
  Impl* impl = impl_.get();
  std::lock_guard lock(impl->mutex);
  if (impl->open) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  int64_t cap_rec_num = kDefaultCapRecNum;
  int64_t cap_mem_size = 0;
  Status status = Impl::ParseParams(params, &cap_rec_num, &cap_mem_size);
  if (!status.IsOK()) {
    return status;
  }
  impl->cap_rec_num = cap_rec_num;
  impl->cap_mem_size = cap_mem_size;
  try {
    impl->Clear();
    // Loading applies the capacities as writing does: the file's most recent
    // records are kept.
    status = impl->file.Open(path, writable, options,
                             [impl](std::string_view key, std::string_view value) {
                               const auto it = impl->table.find(key);
                               if (it != impl->table.end()) {
                                 impl->Erase(it->second.get());
                               }
                               if (impl->Fits(key, value)) {
                                 impl->Insert(key, value);
                                 impl->Evict();
                               }
                             },
                             impl->MakeDumper());
  } catch (const std::bad_alloc&) {
    status = AllocFailedStatus();
  }
  if (!status.IsOK()) {
    impl->Clear();
    return status;
  }
  impl->open = true;
  impl->writable = writable;
  return Status();
}

Status CacheDBM::Close() {
  Impl* impl = impl_.get();
  std::lock_guard lock(impl->mutex);
  if (!impl->open) {
    return ClosedStatus();
  }
  const Status status = impl->file.Close(impl->MakeDumper());
  impl->Clear();
  impl->open = false;
  return status;
}

Status CacheDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunOp(writable, [&] { return impl->ProcessLocked(key, proc, writable); });
}

Status CacheDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunOp(writable, [&] {
    if (impl->by_serial.empty()) {
      Status status;
      CallProcessor(proc, "", nullptr, false, &status);
      return Status(Status::NOT_FOUND_ERROR);
    }
    const std::string key = impl->by_serial.begin()->second->key;
    return impl->ProcessLocked(key, proc, writable);
  });
}

Status CacheDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  Impl* impl = impl_.get();
  // One lock covers every key, so the batch is atomic.
  return impl->RunOp(writable, [&] {
    Status status;
    for (const auto& pair : key_proc_pairs) {
      status |= impl->ProcessLocked(pair.first, pair.second, writable);
    }
    return status;
  });
}

Status CacheDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  Impl* impl = impl_.get();
  return impl->RunOp(writable, [&] {
    Status status;
    // Steps by serial number, since a change may evict any other record.
    auto it = impl->by_serial.begin();
    while (it != impl->by_serial.end()) {
      const uint64_t serial = it->first;
      Node* node = it->second;
      const std::string_view value = node->value;
      const std::string_view answer = CallProcessor(proc, node->key, &value, writable, &status);
      if (answer.data() == RecordProcessor::REMOVE.data()) {
        impl->Erase(node);
      } else if (answer.data() != RecordProcessor::NOOP.data()) {
        if (!impl->Fits(node->key, answer)) {
          status |= Impl::TooLarge();
        } else {
          std::string new_value(answer);
          impl->mem_size +=
              static_cast<int64_t>(new_value.size()) - static_cast<int64_t>(node->value.size());
          node->value.swap(new_value);
          impl->Touch(node);
          impl->Evict();
        }
      }
      it = impl->by_serial.upper_bound(serial);
    }
    return status;
  });
}

Status CacheDBM::Count(int64_t* count) {
  Impl* impl = impl_.get();
  return impl->RunOp(false, [&] {
    *count = impl->table.size();
    return Status();
  });
}

Status CacheDBM::GetFileSize(int64_t* size) {
  Impl* impl = impl_.get();
  return impl->RunOp(false, [&] { return impl->file.GetFileSize(size); });
}

Status CacheDBM::GetFilePath(std::string* path) {
  Impl* impl = impl_.get();
  return impl->RunOp(false, [&] {
    if (!impl->file.HasFile()) {
      return NoFileStatus();
    }
    *path = impl->file.GetPath();
    return Status();
  });
}

Status CacheDBM::GetTimestamp(double* timestamp) {
  Impl* impl = impl_.get();
  return impl->RunOp(false, [&] { return impl->file.GetTimestamp(timestamp); });
}

Status CacheDBM::Clear() {
  Impl* impl = impl_.get();
  return impl->RunOp(true, [impl] {
    impl->Clear();
    return Status();
  });
}

Status CacheDBM::RebuildAdvanced(const ParamMap& params) {
  Impl* impl = impl_.get();
  // New capacities apply at once, evicting what no longer fits.
  return impl->RunOp(true, [&] {
    int64_t cap_rec_num = impl->cap_rec_num;
    int64_t cap_mem_size = impl->cap_mem_size;
    const Status status = Impl::ParseParams(params, &cap_rec_num, &cap_mem_size);
    if (!status.IsOK()) {
      return status;
    }
    impl->cap_rec_num = cap_rec_num;
    impl->cap_mem_size = cap_mem_size;
    impl->Evict();
    return Status();
  });
}

Status CacheDBM::ShouldBeRebuilt(bool* tobe) {
  return impl_->RunOp(false, [&] {
    *tobe = false;
    return Status();
  });
}

Status CacheDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  Impl* impl = impl_.get();
  return impl->RunOp(false, [&] {
    Status status = CheckNoParams(params);
    if (!status.IsOK()) {
      return status;
    }
    status = impl->file.Save(impl->MakeDumper(), hard);
    if (status.IsOK() && proc != nullptr && impl->file.HasFile()) {
      proc->Process(impl->file.GetPath());
    }
    return status;
  });
}

Status CacheDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  Impl* impl = impl_.get();
  return impl->RunOp(false, [&] {
    return impl->file.CopyTo(dest_path, impl->MakeDumper(), sync_hard);
  });
}

std::vector<std::pair<std::string, std::string>> CacheDBM::Inspect() {
  Impl* impl = impl_.get();
  std::lock_guard lock(impl->mutex);
  std::vector<std::pair<std::string, std::string>> result;
  result.emplace_back("class", "CacheDBM");
  result.emplace_back("path", impl->file.GetPath());
  result.emplace_back("num_records",
                      std::to_string(impl->open ? static_cast<int64_t>(impl->table.size()) : -1));
  result.emplace_back("healthy", impl->open ? "true" : "false");
  result.emplace_back("cap_rec_num", std::to_string(impl->cap_rec_num));
  result.emplace_back("cap_mem_size", std::to_string(impl->cap_mem_size));
  result.emplace_back("mem_size", std::to_string(impl->mem_size));
  return result;
}

bool CacheDBM::IsOpen() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->open;
}

bool CacheDBM::IsWritable() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->open && impl_->writable;
}

bool CacheDBM::IsHealthy() const {
  return IsOpen();
}

bool CacheDBM::IsOrdered() const {
  return false;
}

std::unique_ptr<DBM::Iterator> CacheDBM::MakeIterator() {
  return std::make_unique<CacheIterator>(impl_);
}

std::unique_ptr<DBM> CacheDBM::MakeDBM() const {
  return std::make_unique<CacheDBM>();
}

}  // namespace morvel
