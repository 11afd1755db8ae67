// AsyncDBM: a fixed pool of workers draining one FIFO queue of tasks. Each task
// owns copies of its arguments and the state of its result, so nothing it
// reads belongs to the caller once the operation call has returned.

#include "morvel/async_dbm.h"

#include <chrono>
#include <cmath>
#include <new>
#include <optional>
#include <system_error>
#include <type_traits>

#include "morvel/dbm_util.h"

namespace morvel {

namespace {

constexpr char kResultTaken[] = "the result was already taken or is of another kind";

// A copied compare-exchange selector. The absent and ANY_DATA selectors are
// told apart by the identity of their data pointers, which a copy would lose,
// so the kind is kept beside the bytes and the view is made again from it.
class Selector final {
 public:
  explicit Selector(std::string_view view)
      : kind_(view.data() == nullptr              ? Kind::kAbsent
              : view.data() == DBM::ANY_DATA.data() ? Kind::kAny
                                                    : Kind::kData),
        data_(kind_ == Kind::kData ? std::string(view) : std::string()) {}

  std::string_view View() const {
    switch (kind_) {
      case Kind::kAbsent:
        return std::string_view();
      case Kind::kAny:
        return DBM::ANY_DATA;
      case Kind::kData:
        break;
    }
    return data_;
  }

 private:
  enum class Kind { kAbsent, kAny, kData };
  Kind kind_;
  std::string data_;
};

using SelectorPairs = std::vector<std::pair<std::string, Selector>>;

SelectorPairs CopySelectorPairs(
    const std::vector<std::pair<std::string_view, std::string_view>>& pairs) {
  SelectorPairs copied;
  copied.reserve(pairs.size());
  for (const auto& [key, selector] : pairs) copied.emplace_back(std::string(key), selector);
  return copied;
}

std::vector<std::pair<std::string_view, std::string_view>> ViewSelectorPairs(
    const SelectorPairs& pairs) {
  std::vector<std::pair<std::string_view, std::string_view>> views;
  views.reserve(pairs.size());
  for (const auto& [key, selector] : pairs) views.emplace_back(key, selector.View());
  return views;
}

std::vector<std::string> CopyKeys(const std::vector<std::string_view>& keys) {
  return std::vector<std::string>(keys.begin(), keys.end());
}

std::vector<std::string_view> ViewKeys(const std::vector<std::string>& keys) {
  return std::vector<std::string_view>(keys.begin(), keys.end());
}

// Copies keep the map's order, which is the byte order of the keys either way.
std::map<std::string, std::string> CopyRecords(
    const std::map<std::string_view, std::string_view>& records) {
  std::map<std::string, std::string> copied;
  for (const auto& [key, value] : records) copied.emplace_hint(copied.end(), key, value);
  return copied;
}

std::map<std::string_view, std::string_view> ViewRecords(
    const std::map<std::string, std::string>& records) {
  std::map<std::string_view, std::string_view> views;
  for (const auto& [key, value] : records) views.emplace_hint(views.end(), key, value);
  return views;
}

// The result reported when a task cannot produce one (it ran out of memory).
template <typename Result>
Result FailedResult(const char* message) {
  Status status(Status::UNKNOWN_ERROR);
  status.SetRaw(Status::UNKNOWN_ERROR, message, std::char_traits<char>::length(message));
  if constexpr (std::is_same_v<Result, Status>) {
    return status;
  } else {
    Result result{};
    result.first = std::move(status);
    return result;
  }
}

}  // namespace

// The extra value's type of each result kind.
template <typename Result>
struct ExtraTypeOf {
  static const std::type_info& Get() { return typeid(typename Result::second_type); }
};
template <>
struct ExtraTypeOf<Status> {
  static const std::type_info& Get() { return typeid(void); }
};

template <typename Result>
StatusFuture::ResultState<Result>::ResultState() : State(ExtraTypeOf<Result>::Get()) {}

template class StatusFuture::ResultState<Status>;
template class StatusFuture::ResultState<std::pair<Status, std::string>>;
template class StatusFuture::ResultState<std::pair<Status, StatusFuture::StringPair>>;
template class StatusFuture::ResultState<std::pair<Status, StatusFuture::StringVector>>;
template class StatusFuture::ResultState<std::pair<Status, StatusFuture::StringMap>>;
template class StatusFuture::ResultState<std::pair<Status, int64_t>>;

void StatusFuture::State::MarkDone() {
  // The release store publishes the result; a waiter that saw done_ false
  // either sleeps already (and is woken) or rechecks done_ under the mutex.
  std::lock_guard<std::mutex> lock(mutex_);
  done_.store(true, std::memory_order_release);
  if (waiting_) cond_.notify_all();
}

bool StatusFuture::State::Wait(double timeout) {
  if (done_.load(std::memory_order_acquire)) return true;
  // NaN only looks.
  if (std::isnan(timeout) || timeout == 0) return false;
  std::unique_lock<std::mutex> lock(mutex_);
  waiting_ = true;
  auto done = [this] { return done_.load(std::memory_order_acquire); };
  if (timeout < 0 || std::isinf(timeout)) {
    cond_.wait(lock, done);
    return true;
  }
  // Seconds as a double may exceed what the clock's duration holds, so long
  // waits go in steps of a day.
  constexpr double kStep = 86400.0;
  double remaining = timeout;
  while (remaining > 0) {
    const double span = remaining > kStep ? kStep : remaining;
    const auto duration = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(span));
    if (cond_.wait_for(lock, duration, done)) return true;
    remaining -= span;
  }
  return done();
}

bool StatusFuture::Wait(double timeout) {
  return state_ == nullptr || state_->Wait(timeout);
}

const std::type_info& StatusFuture::GetExtraType() const {
  return state_ == nullptr ? typeid(void) : state_->GetExtraType();
}

template <typename Result>
Result StatusFuture::Take(Result failed) {
  if (state_ == nullptr || state_->GetExtraType() != ExtraTypeOf<Result>::Get()) return failed;
  state_->Wait(-1);
  Result result = std::move(static_cast<ResultState<Result>*>(state_.get())->result);
  state_.reset();
  return result;
}

Status StatusFuture::Get() { return Take(Status(Status::PRECONDITION_ERROR, kResultTaken)); }

std::pair<Status, std::string> StatusFuture::GetString() {
  return Take(std::pair<Status, std::string>(Status(Status::PRECONDITION_ERROR, kResultTaken), {}));
}

std::pair<Status, StatusFuture::StringPair> StatusFuture::GetStringPair() {
  return Take(std::pair<Status, StringPair>(Status(Status::PRECONDITION_ERROR, kResultTaken), {}));
}

std::pair<Status, StatusFuture::StringVector> StatusFuture::GetStringVector() {
  return Take(
      std::pair<Status, StringVector>(Status(Status::PRECONDITION_ERROR, kResultTaken), {}));
}

std::pair<Status, StatusFuture::StringMap> StatusFuture::GetStringMap() {
  return Take(std::pair<Status, StringMap>(Status(Status::PRECONDITION_ERROR, kResultTaken), {}));
}

std::pair<Status, int64_t> StatusFuture::GetInteger() {
  return Take(std::pair<Status, int64_t>(Status(Status::PRECONDITION_ERROR, kResultTaken), 0));
}

// One queued operation and its result, in one allocation shared by the queue
// and the future.
template <typename Result, typename Op>
class AsyncDBM::TaskImpl final : public StatusFuture::ResultState<Result>, public Task {
 public:
  TaskImpl(std::shared_ptr<DBM> dbm, Op op) : dbm_(std::move(dbm)), op_(std::move(op)) {}

  // A task always fulfils its future, so a waiter is never left hanging.
  void Run() override {
    try {
      this->result = (*op_)(dbm_.get());
    } catch (const std::bad_alloc&) {
      this->result = FailedResult<Result>("out of memory");
    } catch (...) {
      this->result = FailedResult<Result>("the operation failed unexpectedly");
    }
    // The copied arguments and the database share go before the result is
    // published: a caller that has its result holds nothing of the operation.
    op_.reset();
    dbm_.reset();
    this->MarkDone();
  }

 private:
  // Each task holds its own share, so the database outlives the caller's
  // handle and the adapter alike until the task has run.
  std::shared_ptr<DBM> dbm_;
  std::optional<Op> op_;
};

AsyncDBM::AsyncDBM(DBM* dbm, int32_t num_workers)
    // Not owned: the empty control block makes the share a plain pointer.
    : dbm_(std::shared_ptr<DBM>(), dbm) {
  StartWorkers(num_workers);
}

AsyncDBM::AsyncDBM(std::shared_ptr<DBM> dbm, int32_t num_workers) : dbm_(std::move(dbm)) {
  StartWorkers(num_workers);
}

AsyncDBM::~AsyncDBM() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  cond_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

void AsyncDBM::StartWorkers(int32_t num_workers) {
  size_t count = num_workers > 0 ? static_cast<size_t>(num_workers)
                                 : static_cast<size_t>(std::thread::hardware_concurrency());
  if (count == 0) count = 1;
  try {
    workers_.reserve(count);
    for (size_t i = 0; i < count; i++) workers_.emplace_back(&AsyncDBM::WorkerLoop, this, count);
  } catch (const std::exception&) {
    // The system refused more threads: the ones started serve the queue, and
    // with none, Submit runs each task at once.
  }
}

void AsyncDBM::WorkerLoop(size_t num_workers) {
  // Tasks are taken a few at a time, a fair share of what is queued, so one
  // lock round serves several operations without starving the other workers.
  constexpr size_t kMaxBatch = 64;
  // Before sleeping, an idle worker looks at the queue a few times, yielding
  // its core in between: a producer handing over operations in a row then
  // rarely has to wake it with a system call.
  constexpr int kIdleLooks = 64;
  std::vector<std::shared_ptr<Task>> batch;
  batch.reserve(kMaxBatch);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    if (!queue_.empty()) {
      size_t count = (queue_.size() + num_workers - 1) / num_workers;
      if (count > kMaxBatch) count = kMaxBatch;
      for (size_t i = 0; i < count; i++) {
        batch.emplace_back(std::move(queue_.front()));
        queue_.pop_front();
      }
      num_queued_.store(queue_.size(), std::memory_order_relaxed);
      lock.unlock();
      for (auto& task : batch) {
        task->Run();
        // The task's arguments and its database share go as soon as it has
        // run, outside the lock.
        task.reset();
      }
      batch.clear();
      lock.lock();
      continue;
    }
    // Stopping only once the queue is drained: destruction finishes the work.
    if (stopping_) break;
    lock.unlock();
    for (int i = 0; i < kIdleLooks && num_queued_.load(std::memory_order_relaxed) == 0; i++) {
      std::this_thread::yield();
    }
    lock.lock();
    if (!queue_.empty() || stopping_) continue;
    num_idle_++;
    cond_.wait(lock);
    num_idle_--;
  }
}

template <typename Result, typename Op>
StatusFuture AsyncDBM::Submit(Op&& op) {
  try {
    auto task = std::make_shared<TaskImpl<Result, std::decay_t<Op>>>(dbm_, std::forward<Op>(op));
    StatusFuture future(task);
    if (workers_.empty()) {
      task->Run();
      return future;
    }
    bool wake = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.emplace_back(std::move(task));
      num_queued_.store(queue_.size(), std::memory_order_relaxed);
      wake = num_idle_ > 0;
    }
    // Busy workers come back to the queue by themselves; waking one only when
    // some sleep saves a system call per operation under load.
    if (wake) cond_.notify_one();
    return future;
  } catch (const std::exception&) {
    // Copying the arguments or queueing failed: the failure is the result.
    // Should even that allocation fail, the future is empty and its fetches
    // report PRECONDITION_ERROR.
    try {
      auto state = std::make_shared<StatusFuture::ResultState<Result>>();
      state->result = FailedResult<Result>("out of memory");
      state->MarkDone();
      return StatusFuture(std::move(state));
    } catch (const std::exception&) {
      return StatusFuture();
    }
  }
}

StatusFuture AsyncDBM::Get(std::string_view key) {
  return Submit<std::pair<Status, std::string>>([key = std::string(key)](DBM* dbm) {
    std::pair<Status, std::string> result;
    result.first = dbm->Get(key, &result.second);
    return result;
  });
}

StatusFuture AsyncDBM::Set(std::string_view key, std::string_view value, bool overwrite) {
  return Submit<Status>([key = std::string(key), value = std::string(value), overwrite](DBM* dbm) {
    return dbm->Set(key, value, overwrite);
  });
}

StatusFuture AsyncDBM::Remove(std::string_view key) {
  return Submit<Status>([key = std::string(key)](DBM* dbm) { return dbm->Remove(key); });
}

StatusFuture AsyncDBM::Append(std::string_view key, std::string_view value,
                              std::string_view delim) {
  return Submit<Status>([key = std::string(key), value = std::string(value),
                         delim = std::string(delim)](DBM* dbm) {
    return dbm->Append(key, value, delim);
  });
}

StatusFuture AsyncDBM::CompareExchange(std::string_view key, std::string_view expected,
                                       std::string_view desired) {
  return Submit<Status>([key = std::string(key), expected = Selector(expected),
                         desired = Selector(desired)](DBM* dbm) {
    return dbm->CompareExchange(key, expected.View(), desired.View());
  });
}

StatusFuture AsyncDBM::Increment(std::string_view key, int64_t increment, int64_t initial) {
  return Submit<std::pair<Status, int64_t>>(
      [key = std::string(key), increment, initial](DBM* dbm) {
        std::pair<Status, int64_t> result(Status(), 0);
        result.first = dbm->Increment(key, increment, &result.second, initial);
        return result;
      });
}

StatusFuture AsyncDBM::Rekey(std::string_view old_key, std::string_view new_key, bool overwrite,
                             bool copying) {
  return Submit<Status>([old_key = std::string(old_key), new_key = std::string(new_key),
                         overwrite, copying](DBM* dbm) {
    return dbm->Rekey(old_key, new_key, overwrite, copying);
  });
}

StatusFuture AsyncDBM::PopFirst() {
  return Submit<std::pair<Status, StatusFuture::StringPair>>([](DBM* dbm) {
    std::pair<Status, StatusFuture::StringPair> result;
    result.first = dbm->PopFirst(&result.second.first, &result.second.second);
    return result;
  });
}

StatusFuture AsyncDBM::PushLast(std::string_view value, double wtime) {
  return Submit<Status>(
      [value = std::string(value), wtime](DBM* dbm) { return dbm->PushLast(value, wtime); });
}

StatusFuture AsyncDBM::Clear() {
  return Submit<Status>([](DBM* dbm) { return dbm->Clear(); });
}

StatusFuture AsyncDBM::Rebuild(const ParamMap& params) {
  return Submit<Status>([params](DBM* dbm) { return dbm->RebuildAdvanced(params); });
}

StatusFuture AsyncDBM::Synchronize(bool hard, DBM::FileProcessor* proc, const ParamMap& params) {
  return Submit<Status>([hard, proc, params](DBM* dbm) {
    return dbm->SynchronizeAdvanced(hard, proc, params);
  });
}

StatusFuture AsyncDBM::CopyFileData(const std::string& dest_path, bool sync_hard) {
  return Submit<Status>(
      [dest_path, sync_hard](DBM* dbm) { return dbm->CopyFileData(dest_path, sync_hard); });
}

StatusFuture AsyncDBM::Export(DBM* dest) {
  return Export(std::shared_ptr<DBM>(std::shared_ptr<DBM>(), dest));
}

StatusFuture AsyncDBM::Export(std::shared_ptr<DBM> dest) {
  return Submit<Status>([dest = std::move(dest)](DBM* dbm) { return dbm->Export(dest.get()); });
}

StatusFuture AsyncDBM::ExportToFlatRecords(File* dest) {
  return ExportToFlatRecords(std::shared_ptr<File>(std::shared_ptr<File>(), dest));
}

StatusFuture AsyncDBM::ExportToFlatRecords(std::shared_ptr<File> dest) {
  return Submit<Status>(
      [dest = std::move(dest)](DBM* dbm) { return ExportDBMToFlatRecords(dbm, dest.get()); });
}

StatusFuture AsyncDBM::ImportFromFlatRecords(File* src) {
  return ImportFromFlatRecords(std::shared_ptr<File>(std::shared_ptr<File>(), src));
}

StatusFuture AsyncDBM::ImportFromFlatRecords(std::shared_ptr<File> src) {
  return Submit<Status>(
      [src = std::move(src)](DBM* dbm) { return ImportDBMFromFlatRecords(dbm, src.get()); });
}

StatusFuture AsyncDBM::SearchModal(std::string_view mode, std::string_view pattern,
                                   size_t capacity) {
  return Submit<std::pair<Status, StatusFuture::StringVector>>(
      [mode = std::string(mode), pattern = std::string(pattern), capacity](DBM* dbm) {
        std::pair<Status, StatusFuture::StringVector> result;
        result.first = SearchDBMModal(dbm, mode, pattern, &result.second, capacity);
        return result;
      });
}

StatusFuture AsyncDBM::GetMulti(const std::vector<std::string_view>& keys) {
  return Submit<std::pair<Status, StatusFuture::StringMap>>([keys = CopyKeys(keys)](DBM* dbm) {
    std::pair<Status, StatusFuture::StringMap> result;
    result.first = dbm->GetMulti(ViewKeys(keys), &result.second);
    return result;
  });
}

StatusFuture AsyncDBM::SetMulti(const std::map<std::string_view, std::string_view>& records,
                                bool overwrite) {
  return Submit<Status>([records = CopyRecords(records), overwrite](DBM* dbm) {
    return dbm->SetMulti(ViewRecords(records), overwrite);
  });
}

StatusFuture AsyncDBM::AppendMulti(const std::map<std::string_view, std::string_view>& records,
                                   std::string_view delim) {
  return Submit<Status>(
      [records = CopyRecords(records), delim = std::string(delim)](DBM* dbm) {
        return dbm->AppendMulti(ViewRecords(records), delim);
      });
}

StatusFuture AsyncDBM::RemoveMulti(const std::vector<std::string_view>& keys) {
  return Submit<Status>(
      [keys = CopyKeys(keys)](DBM* dbm) { return dbm->RemoveMulti(ViewKeys(keys)); });
}

StatusFuture AsyncDBM::CompareExchangeMulti(
    const std::vector<std::pair<std::string_view, std::string_view>>& expected,
    const std::vector<std::pair<std::string_view, std::string_view>>& desired) {
  return Submit<Status>([expected = CopySelectorPairs(expected),
                         desired = CopySelectorPairs(desired)](DBM* dbm) {
    return dbm->CompareExchangeMulti(ViewSelectorPairs(expected), ViewSelectorPairs(desired));
  });
}

}  // namespace morvel
