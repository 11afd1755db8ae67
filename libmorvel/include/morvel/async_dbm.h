// AsyncDBM: runs database operations on a fixed pool of worker threads and
// hands back a StatusFuture for each result.
//
// Every operation copies its arguments (keys, values, lists, maps, parameter
// maps, selectors) before it returns, so the caller's buffers may go away at
// once. The operations of one producer thread are taken from one FIFO queue in
// the order they were handed over; with several workers, operations that do not
// wait for each other may finish in any order, so a caller that needs one
// operation to follow another waits for the first one's future.
//
// Each operation has the meaning of the DBM operation of the same name. A
// failure is never thrown: it is the Status of the future's result. When the
// database is closed before a queued operation runs, that operation reports
// the database's own answer for a closed database (PRECONDITION_ERROR).

#ifndef MORVEL_ASYNC_DBM_H_
#define MORVEL_ASYNC_DBM_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "morvel/dbm.h"
#include "morvel/file.h"
#include "morvel/status.h"
#include "morvel/str_util.h"

namespace morvel {

// The pending result of one asynchronous operation: a Status, alone or with one
// extra value. Move-only; used by one thread at a time.
//
// The result is taken once, by the fetch that matches its kind (GetExtraType).
// A fetch of another kind, or a second fetch, does not wait and returns
// PRECONDITION_ERROR with an empty extra value, leaving the future as it was.
// Destroying an unfinished future does not wait: the operation still runs and
// its result is dropped.
class StatusFuture final {
 public:
  using StringPair = std::pair<std::string, std::string>;
  using StringVector = std::vector<std::string>;
  using StringMap = std::map<std::string, std::string>;

  // What an operation and its future share: the result once it is there.
  // Thread-safe: one thread fulfils it while another waits.
  class State {
   public:
    explicit State(const std::type_info& extra_type) : extra_type_(extra_type) {}
    State(const State&) = delete;
    State& operator=(const State&) = delete;
    virtual ~State() = default;
    const std::type_info& GetExtraType() const { return extra_type_; }
    // Publishes the result, stored beforehand, and wakes any waiter.
    void MarkDone();
    // As StatusFuture::Wait.
    bool Wait(double timeout);

   private:
    const std::type_info& extra_type_;
    std::atomic<bool> done_{false};
    // Guard the sleep of a waiter; the finished case never takes them.
    std::mutex mutex_;
    std::condition_variable cond_;
    bool waiting_ = false;
  };

  // The result of one kind: Status alone, or a pair of a Status and the extra
  // value of that kind.
  template <typename Result>
  class ResultState : public State {
   public:
    ResultState();
    Result result{};
  };

  // An empty future, holding no operation: Wait answers true at once and every
  // fetch fails with PRECONDITION_ERROR.
  StatusFuture() = default;
  // A future of |state|, which must be a ResultState of one of the six kinds.
  explicit StatusFuture(std::shared_ptr<State> state) : state_(std::move(state)) {}
  StatusFuture(StatusFuture&& rhs) noexcept = default;
  StatusFuture& operator=(StatusFuture&& rhs) noexcept = default;
  StatusFuture(const StatusFuture&) = delete;
  StatusFuture& operator=(const StatusFuture&) = delete;
  ~StatusFuture() = default;

  // Waits until the operation has finished, at most |timeout| seconds; a
  // negative or infinite timeout waits without a limit, zero or NaN only
  // looks. True when the operation has finished (or the result was already
  // taken, or there is none).
  bool Wait(double timeout = -1.0);

  // The type of the extra value: typeid(void) for a Status alone, else
  // std::string, StringPair, StringVector, StringMap or int64_t; typeid(void)
  // also once the result was taken or when there is none.
  const std::type_info& GetExtraType() const;

  // The fetches, one per kind. Each waits until the operation has finished.
  Status Get();
  std::pair<Status, std::string> GetString();
  std::pair<Status, StringPair> GetStringPair();
  std::pair<Status, StringVector> GetStringVector();
  std::pair<Status, StringMap> GetStringMap();
  std::pair<Status, int64_t> GetInteger();

 private:
  template <typename Result>
  Result Take(Result failed);

  // Null when empty and once the result was taken.
  std::shared_ptr<State> state_;
};

class AsyncDBM final {
 public:
  // Starts |num_workers| worker threads (zero or less: one per CPU core) over
  // |dbm|, which the caller keeps alive until this adapter is destroyed. If no
  // thread can be started, every operation runs in the caller's thread before
  // it returns.
  AsyncDBM(DBM* dbm, int32_t num_workers);
  // The same over a shared database: the adapter and its queued operations
  // hold a share of it, so it outlives them whatever the caller does.
  AsyncDBM(std::shared_ptr<DBM> dbm, int32_t num_workers);
  AsyncDBM(const AsyncDBM&) = delete;
  AsyncDBM& operator=(const AsyncDBM&) = delete;
  // Runs every operation still queued, then joins the workers. Must not be
  // called while another thread hands over operations.
  ~AsyncDBM();

  // The number of worker threads running.
  size_t GetNumberOfWorkers() const { return workers_.size(); }

  // The operations are safe to call from several threads at once. The result
  // kind of each is given after the arrow.

  // -> (Status, value).
  StatusFuture Get(std::string_view key);
  // -> Status.
  StatusFuture Set(std::string_view key, std::string_view value, bool overwrite = true);
  // -> Status.
  StatusFuture Remove(std::string_view key);
  // -> Status.
  StatusFuture Append(std::string_view key, std::string_view value, std::string_view delim = "");
  // Selectors as DBM::CompareExchange takes them: data() null is absent,
  // DBM::ANY_DATA any value; the meaning survives the copy. -> Status.
  StatusFuture CompareExchange(std::string_view key, std::string_view expected,
                               std::string_view desired);
  // -> (Status, the value after the increment).
  StatusFuture Increment(std::string_view key, int64_t increment = 1, int64_t initial = 0);
  // -> Status.
  StatusFuture Rekey(std::string_view old_key, std::string_view new_key, bool overwrite = true,
                     bool copying = false);
  // -> (Status, (key, value)).
  StatusFuture PopFirst();
  // -> Status.
  StatusFuture PushLast(std::string_view value, double wtime = -1);
  // -> Status.
  StatusFuture Clear();
  // -> Status.
  StatusFuture Rebuild(const ParamMap& params = {});
  // |proc| (may be null) is called on a worker thread; the caller keeps it
  // alive until the future has finished. -> Status.
  StatusFuture Synchronize(bool hard, DBM::FileProcessor* proc = nullptr,
                           const ParamMap& params = {});
  // -> Status.
  StatusFuture CopyFileData(const std::string& dest_path, bool sync_hard = false);
  // Into |dest|, which the caller keeps alive until the future has finished.
  // -> Status.
  StatusFuture Export(DBM* dest);
  // Into a shared |dest|, kept alive by the operation until it has run.
  StatusFuture Export(std::shared_ptr<DBM> dest);
  // As ExportDBMToFlatRecords; raw |dest| as for Export. -> Status.
  StatusFuture ExportToFlatRecords(File* dest);
  StatusFuture ExportToFlatRecords(std::shared_ptr<File> dest);
  // As ImportDBMFromFlatRecords; raw |src| as for Export. -> Status.
  StatusFuture ImportFromFlatRecords(File* src);
  StatusFuture ImportFromFlatRecords(std::shared_ptr<File> src);
  // As SearchDBMModal. -> (Status, matching keys).
  StatusFuture SearchModal(std::string_view mode, std::string_view pattern,
                           size_t capacity = 0);
  // -> (Status, records found).
  StatusFuture GetMulti(const std::vector<std::string_view>& keys);
  // -> Status.
  StatusFuture SetMulti(const std::map<std::string_view, std::string_view>& records,
                        bool overwrite = true);
  // -> Status.
  StatusFuture AppendMulti(const std::map<std::string_view, std::string_view>& records,
                           std::string_view delim = "");
  // -> Status.
  StatusFuture RemoveMulti(const std::vector<std::string_view>& keys);
  // Selectors as for CompareExchange. -> Status.
  StatusFuture CompareExchangeMulti(
      const std::vector<std::pair<std::string_view, std::string_view>>& expected,
      const std::vector<std::pair<std::string_view, std::string_view>>& desired);

 private:
  class Task {
   public:
    virtual ~Task() = default;
    // Runs the operation, stores its result and releases its arguments, then
    // marks its future done.
    virtual void Run() = 0;
  };
  template <typename Result, typename Op>
  class TaskImpl;

  // Queues |op|, which takes the database and returns a Result.
  template <typename Result, typename Op>
  StatusFuture Submit(Op&& op);
  void StartWorkers(int32_t num_workers);
  // Serves the queue; |num_workers| is the pool's intended size, which sets
  // each worker's share of a batch.
  void WorkerLoop(size_t num_workers);

  std::shared_ptr<DBM> dbm_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::shared_ptr<Task>> queue_;
  // The size of |queue_|, written under |mutex_| and read without it by idle
  // workers deciding whether to sleep.
  std::atomic<size_t> num_queued_{0};
  // Workers blocked on |cond_|; a producer signals only when one is.
  size_t num_idle_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> workers_;
};

}  // namespace morvel

#endif  // MORVEL_ASYNC_DBM_H_
