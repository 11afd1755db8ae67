// ShardDBM: N PolyDBM shards behind one interface.
//
// Shard i of PATH is the file PATH-0000i-of-0000N. A key lives in shard
// SecondaryHash(key, N). Every shard is opened with the caller's parameters,
// "num_shards" dropped and "dbm" set to the class chosen from PATH, so a shard
// file's own name never decides its class.
//
// Atomicity across shards: a single-shard call holds |mutex_| shared and relies
// on the shard's own locks. A ProcessMulti whose keys span several shards holds
// |mutex_| exclusively and then runs each shard's part in the order of the
// pairs, so no other call of this database sees it half done; CompareExchange-
// Multi and Rekey, built on it, stay all-or-nothing. |mutex_| is always taken
// before any shard lock, and only one call holds it exclusively at a time, so
// calls cannot deadlock. Close takes it exclusively too, so it never races a
// call in flight; the shard objects live on (closed) until the next Open.
//
// Iterators of unordered shards visit the shards in turn. Iterators of ordered
// shards keep the current key and, at every move, ask every shard for its
// nearest key and take the best in comparator order (a k-way merge by key).

#include "morvel/shard_dbm.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <mutex>

#include "morvel/file_impl.h"
#include "morvel/hash_dbm.h"
#include "morvel/hash_util.h"
#include "morvel/tree_dbm.h"
#include "param_check.h"

namespace morvel {

namespace {

Status ClosedStatus() {
  return Status(Status::PRECONDITION_ERROR, "not opened database");
}

std::string ShardPath(const std::string& path, int32_t index, int32_t num_shards) {
  if (path.empty()) {
    return path;
  }
  return SPrintF("%s-%05d-of-%05d", path.c_str(), index, num_shards);
}

// Folds the answers of all |shards| into |*result|, starting from |init|:
// |ask(shard, &answer)| gets the answer of one shard and |fold| adds it. Stops
// at the first failure, leaving |*result| as it was.
template <typename T, typename Ask, typename Fold>
Status FoldShards(const std::vector<std::unique_ptr<PolyDBM>>& shards, T init, Ask ask,
                  Fold fold, T* result) {
  T total = init;
  for (const auto& shard : shards) {
    T answer = init;
    const Status status = ask(shard.get(), &answer);
    if (!status.IsOK()) {
      return status;
    }
    total = fold(total, answer);
  }
  *result = total;
  return Status();
}

// Splits a path into its directory ("." when none) and its base name.
void SplitPath(const std::string& path, std::string* dir, std::string* base) {
  const size_t pos = path.rfind('/');
  if (pos == std::string::npos) {
    *dir = ".";
    *base = path;
  } else {
    *dir = pos == 0 ? "/" : path.substr(0, pos);
    *base = path.substr(pos + 1);
  }
}

// The shard counts named by the files "BASE-IIIII-of-NNNNN" beside |path|.
std::vector<int32_t> FindShardCounts(const std::string& path, bool first_only) {
  std::vector<int32_t> counts;
  std::string dir, base;
  SplitPath(path, &dir, &base);
  DIR* dirp = opendir(dir.c_str());
  if (dirp == nullptr) {
    return counts;
  }
  const std::string prefix = base + "-";
  while (struct dirent* entry = readdir(dirp)) {
    const std::string name = entry->d_name;
    if (name.size() != prefix.size() + 14 || name.compare(0, prefix.size(), prefix) != 0) {
      continue;
    }
    const std::string rest = name.substr(prefix.size());
    int index = -1, count = -1;
    char tail = 0;
    if (std::sscanf(rest.c_str(), "%5d-of-%5d%c", &index, &count, &tail) != 2 || count < 1 ||
        index < 0 || index >= count || rest != SPrintF("%05d-of-%05d", index, count)) {
      continue;
    }
    if (first_only && index != 0) {
      continue;
    }
    counts.push_back(count);
  }
  closedir(dirp);
  std::sort(counts.begin(), counts.end());
  counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
  return counts;
}

// Forwards full records only; an empty shard must not reach the caller's
// processor, which sees ProcessEmpty once, when every shard is empty.
class FirstRecordFilter final : public DBM::RecordProcessor {
 public:
  explicit FirstRecordFilter(DBM::RecordProcessor* proc) : proc_(proc) {}
  std::string_view ProcessFull(std::string_view key, std::string_view value) override {
    return proc_->ProcessFull(key, value);
  }
  std::string_view ProcessEmpty(std::string_view) override { return NOOP; }

 private:
  DBM::RecordProcessor* proc_;
};

class ShardIterator final : public DBM::Iterator {
 public:
  ShardIterator(std::shared_mutex* mutex, const std::vector<PolyDBM*>& shards,
                KeyComparator comparator)
      : mutex_(mutex), comparator_(comparator) {
    for (PolyDBM* shard : shards) {
      iters_.push_back(shard->MakeIterator());
    }
  }

  Status First() override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      current_ = 0;
      if (iters_.empty()) {
        return ClosedStatus();
      }
      const Status status = iters_[0]->First();
      return status.IsOK() ? Settle() : status;
    }
    return Merge([](DBM::Iterator* it) { return it->First(); }, true);
  }

  Status Last() override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      return Unordered();
    }
    return Merge([](DBM::Iterator* it) { return it->Last(); }, false);
  }

  Status Jump(std::string_view key) override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      if (iters_.empty()) {
        return ClosedStatus();
      }
      current_ = SecondaryHash(key, iters_.size());
      return iters_[current_]->Jump(key);
    }
    return Merge([key](DBM::Iterator* it) { return it->Jump(key); }, true);
  }

  Status JumpLower(std::string_view key, bool inclusive) override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      return Unordered();
    }
    return Merge([&](DBM::Iterator* it) { return it->JumpLower(key, inclusive); }, false);
  }

  Status JumpUpper(std::string_view key, bool inclusive) override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      return Unordered();
    }
    return Merge([&](DBM::Iterator* it) { return it->JumpUpper(key, inclusive); }, true);
  }

  Status Next() override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      if (current_ >= iters_.size()) {
        return iters_.empty() ? ClosedStatus() : Status(Status::NOT_FOUND_ERROR);
      }
      const Status status = iters_[current_]->Next();
      return status.IsOK() ? Settle() : status;
    }
    // Moves from the stored key even when its record is gone, so a concurrent
    // removal never makes it skip the following record.
    Status status = CheckPlaced();
    if (!status.IsOK()) {
      return status;
    }
    const std::string key = key_;
    return Merge([&](DBM::Iterator* it) { return it->JumpUpper(key, false); }, true);
  }

  Status Previous() override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      return Unordered();
    }
    Status status = CheckPlaced();
    if (!status.IsOK()) {
      return status;
    }
    const std::string key = key_;
    return Merge([&](DBM::Iterator* it) { return it->JumpLower(key, false); }, false);
  }

  // Unordered: the current shard's records read ahead. A shard run out this
  // way is left behind by the next Get or Next.
  bool StepReadAhead(std::string_view* key, std::string_view* value) override {
    std::shared_lock lock(*mutex_, std::try_to_lock);
    return lock.owns_lock() && comparator_ == nullptr && current_ < iters_.size() &&
           iters_[current_]->StepReadAhead(key, value);
  }

  Status Process(DBM::RecordProcessor* proc, bool writable) override {
    std::shared_lock lock(*mutex_);
    if (comparator_ == nullptr) {
      if (current_ >= iters_.size()) {
        return iters_.empty() ? ClosedStatus() : Status(Status::NOT_FOUND_ERROR);
      }
      Status status = iters_[current_]->Process(proc, writable);
      if (status == Status::NOT_FOUND_ERROR) {
        // This shard ran out meanwhile: the record is the next shard's first.
        const Status settled = Settle();
        if (!settled.IsOK()) {
          return settled;
        }
        if (current_ < iters_.size()) {
          status = iters_[current_]->Process(proc, writable);
        }
      }
      return status;
    }
    // The shard's iterator finds its record again at Process: when another
    // thread removed it after Resolve, the shard hands over its next record,
    // which may follow a lesser key of another shard, or reports its end. Only
    // the merged current key is processed; otherwise the iterator resolves
    // again and retries.
    KeyGuardProcessor guard(proc, comparator_);
    Status status;
    do {
      status = Resolve();
      if (!status.IsOK()) {
        return status;
      }
      guard.Expect(key_);
      status = iters_[current_]->Process(&guard, writable);
    } while ((status.IsOK() && guard.missed()) ||
             (status == Status::NOT_FOUND_ERROR && !guard.called()));
    // After a removal through it the iterator stands on the next record at
    // once. Otherwise it stays on its key: a record removed by another thread
    // after this call must not move it onto a successor not yet handed out,
    // which the next Next would pass over.
    if (guard.removed()) {
      Resolve();
    }
    return status;
  }

 private:
  // Passes a record to |proc| only when its key is the expected one; any
  // other record is left as it is and noted as missed.
  class KeyGuardProcessor final : public DBM::RecordProcessor {
   public:
    KeyGuardProcessor(DBM::RecordProcessor* proc, KeyComparator comparator)
        : proc_(proc), comparator_(comparator) {}
    void Expect(const std::string& key) {
      expected_ = key;
      missed_ = false;
      called_ = false;
      removed_ = false;
    }
    bool missed() const { return missed_; }
    bool called() const { return called_; }
    bool removed() const { return removed_; }
    std::string_view ProcessFull(std::string_view key, std::string_view value) override {
      called_ = true;
      if (comparator_(key, expected_) != 0) {
        missed_ = true;
        return NOOP;
      }
      return Note(proc_->ProcessFull(key, value));
    }
    std::string_view ProcessEmpty(std::string_view key) override {
      called_ = true;
      if (comparator_(key, expected_) != 0) {
        missed_ = true;
        return NOOP;
      }
      return Note(proc_->ProcessEmpty(key));
    }

   private:
    std::string_view Note(std::string_view answer) {
      removed_ = answer.data() == REMOVE.data();
      return answer;
    }

    DBM::RecordProcessor* proc_;
    KeyComparator comparator_;
    std::string expected_;
    bool missed_ = false;
    bool called_ = false;
    bool removed_ = false;
  };

  static Status Unordered() {
    return Status(Status::NOT_IMPLEMENTED_ERROR, "the shards are not ordered");
  }

  // Unordered: moves to the next shard while the current one is at its end.
  Status Settle() {
    while (current_ < iters_.size()) {
      const Status status = iters_[current_]->Get(nullptr, nullptr);
      if (status.IsOK()) {
        return Status();
      }
      if (status != Status::NOT_FOUND_ERROR) {
        return status;
      }
      current_++;
      if (current_ < iters_.size()) {
        const Status first = iters_[current_]->First();
        if (!first.IsOK()) {
          return first;
        }
      }
    }
    return Status();
  }

  // Ordered: places every shard iterator with |place| and stands on the least
  // key (|forward|) or the greatest one.
  template <typename PlaceFunc>
  Status Merge(PlaceFunc place, bool forward) {
    placed_ = false;
    if (iters_.empty()) {
      return ClosedStatus();
    }
    std::string key;
    for (size_t i = 0; i < iters_.size(); i++) {
      Status status = place(iters_[i].get());
      if (!status.IsOK()) {
        return status;
      }
      status = iters_[i]->Get(&key, nullptr);
      if (status == Status::NOT_FOUND_ERROR) {
        continue;
      }
      if (!status.IsOK()) {
        return status;
      }
      const int cmp = placed_ ? comparator_(key, key_) : 0;
      if (!placed_ || (forward ? cmp < 0 : cmp > 0)) {
        placed_ = true;
        key_ = key;
        current_ = i;
      }
    }
    return Status();
  }

  // Ordered: NOT_FOUND_ERROR when unplaced (PRECONDITION_ERROR when closed).
  Status CheckPlaced() {
    if (placed_) {
      return Status();
    }
    for (auto& it : iters_) {
      const Status status = it->Get(nullptr, nullptr);
      if (status != Status::NOT_FOUND_ERROR) {
        return status.IsOK() ? Status(Status::NOT_FOUND_ERROR) : status;
      }
    }
    return iters_.empty() ? ClosedStatus() : Status(Status::NOT_FOUND_ERROR);
  }

  // Ordered: stands on the least key >= the current one, which is the current
  // key itself unless it was removed.
  Status Resolve() {
    Status status = CheckPlaced();
    if (!status.IsOK()) {
      return status;
    }
    const std::string key = key_;
    status = Merge([&](DBM::Iterator* it) { return it->JumpUpper(key, true); }, true);
    if (status.IsOK() && !placed_) {
      status.Set(Status::NOT_FOUND_ERROR);
    }
    return status;
  }

  std::shared_mutex* mutex_;
  KeyComparator comparator_;
  std::vector<std::unique_ptr<DBM::Iterator>> iters_;
  size_t current_ = 0;
  bool placed_ = false;
  std::string key_;
};

}  // namespace

ShardDBM::ShardDBM() = default;

ShardDBM::~ShardDBM() {
  if (open_) {
    Close();
  }
}

Status ShardDBM::GetNumberOfShards(const std::string& path, int32_t* num_shards) {
  const std::vector<int32_t> counts = FindShardCounts(path, true);
  if (counts.empty()) {
    return Status(Status::NOT_FOUND_ERROR, "no shard file of " + path);
  }
  *num_shards = counts.back();
  return Status();
}

Status ShardDBM::OpenAdvanced(const std::string& path, bool writable, int32_t options,
                              const ParamMap& params) {
  std::unique_lock lock(mutex_);
  if (open_) {
    return Status(Status::PRECONDITION_ERROR, "opened database");
  }
  std::string class_name;
  Status status = PolyDBM::ChooseClassName(path, params, &class_name);
  if (!status.IsOK()) {
    return status;
  }
  int64_t num_shards = 0;
  const auto shards_it = params.find("num_shards");
  if (shards_it != params.end() &&
      (!ParseIntegerParam(shards_it->second, &num_shards) || num_shards < 0 ||
       num_shards > 99999)) {
    return Status(Status::INVALID_ARGUMENT_ERROR,
                  "invalid parameter num_shards=" + StrEscapeC(shards_it->second, true) +
                      ": an integer of 0 to 99999 is needed");
  }
  const bool truncate = writable && (options & File::OPEN_TRUNCATE);
  int32_t on_disk = 0;
  if (!path.empty() && GetNumberOfShards(path, &on_disk).IsOK() && !truncate) {
    // An existing database keeps its count: rehashing into another would lose
    // records.
    num_shards = on_disk;
  }
  if (num_shards == 0) {
    num_shards = on_disk > 0 ? on_disk : 1;
  }
  if (truncate && !path.empty()) {
    // Drops the shard files of other counts, which would otherwise be found again.
    for (const int32_t count : FindShardCounts(path, false)) {
      if (count == num_shards) {
        continue;
      }
      for (int32_t i = 0; i < count; i++) {
        unlink(ShardPath(path, i, count).c_str());
      }
    }
  }
  ParamMap shard_params = params;
  shard_params.erase("num_shards");
  shard_params["dbm"] = class_name;
  std::vector<std::unique_ptr<PolyDBM>> shards;
  for (int32_t i = 0; i < num_shards; i++) {
    auto shard = std::make_unique<PolyDBM>();
    status = shard->OpenAdvanced(ShardPath(path, i, num_shards), writable, options, shard_params);
    if (!status.IsOK()) {
      for (auto& opened : shards) {
        opened->Close();
      }
      return status;
    }
    shards.push_back(std::move(shard));
  }
  comparator_ = nullptr;
  if (shards.front()->IsOrdered()) {
    comparator_ = LexicalKeyComparator;
    for (const auto& item : shards.front()->Inspect()) {
      if (item.first == "key_comparator") {
        const KeyComparator comp = GetKeyComparatorByName(item.second);
        if (comp != nullptr) {
          comparator_ = comp;
        }
      }
    }
  }
  shards_ = std::move(shards);
  open_path_ = path;
  open_ = true;
  return Status();
}

Status ShardDBM::Close() {
  std::unique_lock lock(mutex_);
  if (!open_) {
    return ClosedStatus();
  }
  Status status;
  for (auto& shard : shards_) {
    status |= shard->Close();
  }
  open_ = false;
  return status;
}

#define MORVEL_SHARD_OF(key) shards_[SecondaryHash(key, shards_.size())]

#define MORVEL_SHARD_CHECK_OPEN \
  if (!open_) {                 \
    return ClosedStatus();      \
  }

Status ShardDBM::Process(std::string_view key, RecordProcessor* proc, bool writable) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return MORVEL_SHARD_OF(key)->Process(key, proc, writable);
}

Status ShardDBM::Get(std::string_view key, std::string* value) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return MORVEL_SHARD_OF(key)->Get(key, value);
}

Status ShardDBM::Set(std::string_view key, std::string_view value, bool overwrite,
                     std::string* old_value) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return MORVEL_SHARD_OF(key)->Set(key, value, overwrite, old_value);
}

Status ShardDBM::Remove(std::string_view key, std::string* old_value) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return MORVEL_SHARD_OF(key)->Remove(key, old_value);
}

Status ShardDBM::Append(std::string_view key, std::string_view value, std::string_view delim) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return MORVEL_SHARD_OF(key)->Append(key, value, delim);
}

Status ShardDBM::ProcessFirst(RecordProcessor* proc, bool writable) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  FirstRecordFilter filter(proc);
  for (auto& shard : shards_) {
    const Status status = shard->ProcessFirst(&filter, writable);
    if (status != Status::NOT_FOUND_ERROR) {
      return status;
    }
  }
  Status status;
  CallProcessor(proc, "", nullptr, false, &status);
  return Status(Status::NOT_FOUND_ERROR);
}

Status ShardDBM::PopFirst(std::string* key, std::string* value) {
  std::unique_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  if (comparator_ == nullptr) {
    lock.unlock();
    return DBM::PopFirst(key, value);
  }
  // Ordered shards: the first record is the least first key of all shards.
  bool found = false;
  size_t best = 0;
  std::string best_key, shard_key;
  for (size_t i = 0; i < shards_.size(); i++) {
    auto iter = shards_[i]->MakeIterator();
    Status status = iter->First();
    if (status.IsOK()) {
      status = iter->Get(&shard_key, nullptr);
    }
    if (status == Status::NOT_FOUND_ERROR) {
      continue;
    }
    if (!status.IsOK()) {
      return status;
    }
    if (!found || comparator_(shard_key, best_key) < 0) {
      found = true;
      best = i;
      best_key = shard_key;
    }
  }
  if (!found) {
    return Status(Status::NOT_FOUND_ERROR);
  }
  std::string best_value;
  const Status status = shards_[best]->Remove(best_key, &best_value);
  if (status.IsOK()) {
    if (key != nullptr) {
      *key = std::move(best_key);
    }
    if (value != nullptr) {
      *value = std::move(best_value);
    }
  }
  return status;
}

Status ShardDBM::ProcessMulti(
    const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
    bool writable) {
  std::vector<size_t> indices;
  indices.reserve(key_proc_pairs.size());
  {
    std::shared_lock lock(mutex_);
    MORVEL_SHARD_CHECK_OPEN;
    for (const auto& pair : key_proc_pairs) {
      indices.push_back(SecondaryHash(pair.first, shards_.size()));
    }
    if (indices.empty() ||
        std::all_of(indices.begin(), indices.end(), [&](size_t i) { return i == indices[0]; })) {
      return indices.empty() ? Status()
                             : shards_[indices[0]]->ProcessMulti(key_proc_pairs, writable);
    }
  }
  std::unique_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  // Runs of consecutive pairs of one shard, in the order of the pairs.
  Status status;
  size_t begin = 0;
  while (begin < key_proc_pairs.size()) {
    size_t end = begin + 1;
    while (end < key_proc_pairs.size() && indices[end] == indices[begin]) {
      end++;
    }
    const std::vector<std::pair<std::string_view, RecordProcessor*>> run(
        key_proc_pairs.begin() + begin, key_proc_pairs.begin() + end);
    status |= shards_[indices[begin]]->ProcessMulti(run, writable);
    begin = end;
  }
  return status;
}

Status ShardDBM::ProcessEach(RecordProcessor* proc, bool writable) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  for (auto& shard : shards_) {
    const Status status = shard->ProcessEach(proc, writable);
    if (!status.IsOK()) {
      return status;
    }
  }
  return Status();
}

Status ShardDBM::Export(DBM* dest) {
  if (dest == this) {
    return Status();
  }
  return DBM::Export(dest);
}

Status ShardDBM::Count(int64_t* count) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return FoldShards(
      shards_, int64_t{0}, [](PolyDBM* shard, int64_t* n) { return shard->Count(n); },
      std::plus<int64_t>(), count);
}

Status ShardDBM::GetFileSize(int64_t* size) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return FoldShards(
      shards_, int64_t{0}, [](PolyDBM* shard, int64_t* n) { return shard->GetFileSize(n); },
      std::plus<int64_t>(), size);
}

Status ShardDBM::GetFilePath(std::string* path) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  if (open_path_.empty()) {
    return Status(Status::PRECONDITION_ERROR, "the database has no file");
  }
  *path = open_path_;
  return Status();
}

Status ShardDBM::GetTimestamp(double* timestamp) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  return FoldShards(
      shards_, 0.0, [](PolyDBM* shard, double* t) { return shard->GetTimestamp(t); },
      [](double a, double b) { return std::max(a, b); }, timestamp);
}

Status ShardDBM::Clear() {
  std::unique_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  Status status;
  for (auto& shard : shards_) {
    status |= shard->Clear();
  }
  return status;
}

Status ShardDBM::RebuildAdvanced(const ParamMap& params) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  ParamMap shard_params = params;
  shard_params.erase("num_shards");
  Status status;
  for (auto& shard : shards_) {
    status |= shard->RebuildAdvanced(shard_params);
  }
  return status;
}

Status ShardDBM::ShouldBeRebuilt(bool* tobe) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  *tobe = false;
  for (auto& shard : shards_) {
    bool shard_tobe = false;
    const Status status = shard->ShouldBeRebuilt(&shard_tobe);
    if (!status.IsOK()) {
      return status;
    }
    *tobe = *tobe || shard_tobe;
  }
  return Status();
}

Status ShardDBM::SynchronizeAdvanced(bool hard, FileProcessor* proc, const ParamMap& params) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  Status status;
  for (auto& shard : shards_) {
    status |= shard->SynchronizeAdvanced(hard, proc, params);
  }
  return status;
}

Status ShardDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  std::shared_lock lock(mutex_);
  MORVEL_SHARD_CHECK_OPEN;
  const int32_t num_shards = shards_.size();
  Status status;
  for (int32_t i = 0; i < num_shards; i++) {
    status |= shards_[i]->CopyFileData(ShardPath(dest_path, i, num_shards), sync_hard);
  }
  return status;
}

std::vector<std::pair<std::string, std::string>> ShardDBM::Inspect() {
  std::shared_lock lock(mutex_);
  std::vector<std::pair<std::string, std::string>> result;
  int64_t count = 0;
  bool healthy = open_;
  std::string shard_class;
  for (auto& shard : shards_) {
    int64_t shard_count = 0;
    if (open_ && shard->Count(&shard_count).IsOK()) {
      count += shard_count;
    }
    healthy = healthy && shard->IsHealthy();
    if (shard_class.empty()) {
      for (const auto& item : shard->Inspect()) {
        if (item.first == "class") {
          shard_class = item.second;
        }
      }
    }
  }
  result.emplace_back("class", "ShardDBM");
  result.emplace_back("path", open_path_);
  result.emplace_back("num_records", std::to_string(open_ ? count : -1));
  result.emplace_back("healthy", healthy ? "true" : "false");
  result.emplace_back("num_shards", std::to_string(open_ ? shards_.size() : 0));
  result.emplace_back("shard_class", shard_class);
  return result;
}

bool ShardDBM::IsOpen() const {
  std::shared_lock lock(mutex_);
  return open_;
}

bool ShardDBM::IsWritable() const {
  std::shared_lock lock(mutex_);
  return open_ && shards_.front()->IsWritable();
}

bool ShardDBM::IsHealthy() const {
  std::shared_lock lock(mutex_);
  if (!open_) {
    return false;
  }
  for (const auto& shard : shards_) {
    if (!shard->IsHealthy()) {
      return false;
    }
  }
  return true;
}

bool ShardDBM::IsOrdered() const {
  std::shared_lock lock(mutex_);
  return open_ && comparator_ != nullptr;
}

int32_t ShardDBM::GetNumShards() const {
  std::shared_lock lock(mutex_);
  return open_ ? shards_.size() : 0;
}

std::vector<PolyDBM*> ShardDBM::GetInternalDBMs() const {
  std::shared_lock lock(mutex_);
  std::vector<PolyDBM*> result;
  if (open_) {
    for (const auto& shard : shards_) {
      result.push_back(shard.get());
    }
  }
  return result;
}

std::unique_ptr<DBM::Iterator> ShardDBM::MakeIterator() {
  std::shared_lock lock(mutex_);
  std::vector<PolyDBM*> shards;
  for (const auto& shard : shards_) {
    shards.push_back(shard.get());
  }
  return std::make_unique<ShardIterator>(&mutex_, shards, open_ ? comparator_ : nullptr);
}

std::unique_ptr<DBM> ShardDBM::MakeDBM() const {
  return std::make_unique<ShardDBM>();
}

Status ShardDBM::RestoreDatabase(const std::string& old_path, const std::string& new_path,
                                 const std::string& class_name, int64_t end_offset,
                                 std::string_view params) {
  int32_t num_shards = 0;
  Status status = GetNumberOfShards(old_path, &num_shards);
  if (!status.IsOK()) {
    return status;
  }
  for (int32_t i = 0; i < num_shards; i++) {
    const std::string old_shard = ShardPath(old_path, i, num_shards);
    std::string shard_class = class_name;
    if (shard_class.empty()) {
      // A shard file's own name has no extension: detect by the head, else by
      // the extension of the base path.
      PositionalParallelFile file;
      status = file.Open(old_shard, false, File::OPEN_NO_LOCK);
      if (!status.IsOK()) {
        return status;
      }
      const int64_t size = file.GetSizeSimple();
      const std::string head = file.ReadSimple(0, size < 0 ? 0 : std::min<int64_t>(size, 64));
      file.Close();
      if (HashDBM::IsHashDBMFileHead(head)) {
        shard_class = TreeDBM::IsTreeDBMFile(old_shard) ? "TreeDBM" : "HashDBM";
      } else {
        status = PolyDBM::ChooseClassName(old_path, {}, &shard_class);
        if (!status.IsOK()) {
          return status;
        }
      }
    }
    status = PolyDBM::RestoreDatabase(old_shard, ShardPath(new_path, i, num_shards), shard_class,
                                      end_offset, params);
    if (!status.IsOK()) {
      return status;
    }
  }
  return Status();
}

#undef MORVEL_SHARD_OF
#undef MORVEL_SHARD_CHECK_OPEN

}  // namespace morvel
