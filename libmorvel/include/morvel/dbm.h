// DBM: the interface every database class implements.
//
// Process, ProcessFirst, ProcessMulti and ProcessEach are the primitives; the
// other record operations have default bodies written once on top of them (a
// class may override a default for speed, never for meaning). Unless a class
// says otherwise, all methods are safe to call from several threads at once,
// and Close may race with calls in flight (they then get PRECONDITION_ERROR).
// Operations on a database that is not open, and on iterators of a closed
// database, return PRECONDITION_ERROR.
//
// Rules every class keeps:
// - ProcessMulti holds the locks of all its keys together, taken in one fixed
//   order, so it is atomic and two calls cannot deadlock.
// - A processor run with |writable| false that answers anything but NOOP
//   changes nothing, and the call returns PRECONDITION_ERROR.
// - Processors are called with the record's lock held: they must not call back
//   into the same database.

#ifndef MORVEL_DBM_H_
#define MORVEL_DBM_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "morvel/status.h"
#include "morvel/str_util.h"

namespace morvel {

class DBM {
 public:
  // The selector "any value" of compare-exchange, recognised by the identity of
  // its data pointer, never by its bytes.
  static const std::string_view ANY_DATA;

  // Decides what happens to one record. The answer is a view: NOOP (leave the
  // record as it is), REMOVE (remove it), or new bytes (set it). The returned
  // view must stay valid until the next call on the processor or its
  // destruction.
  class RecordProcessor {
   public:
    // Markers recognised by the identity of their data pointers.
    static const std::string_view NOOP;
    static const std::string_view REMOVE;

    virtual ~RecordProcessor() = default;
    // For a record that exists.
    virtual std::string_view ProcessFull(std::string_view key, std::string_view value);
    // For a record that does not exist.
    virtual std::string_view ProcessEmpty(std::string_view key);
  };

  // A function object of a processor: key and value in (the value is the NOOP
  // marker for a missing record), answer out.
  using RecordLambdaType = std::function<std::string_view(std::string_view, std::string_view)>;

  // A processor holding one function object. ProcessEmpty calls it with NOOP as
  // the value.
  class RecordProcessorLambda final : public RecordProcessor {
   public:
    explicit RecordProcessorLambda(RecordLambdaType proc_lambda);
    std::string_view ProcessFull(std::string_view key, std::string_view value) override;
    std::string_view ProcessEmpty(std::string_view key) override;

   private:
    RecordLambdaType proc_lambda_;
  };

  // Called by SynchronizeAdvanced with the path of the synchronized file, while
  // the file is consistent and no writer runs.
  class FileProcessor {
   public:
    virtual ~FileProcessor() = default;
    virtual void Process(const std::string& path) = 0;
  };

  // A cursor over the records. Not thread-safe itself (one iterator per thread),
  // but it stays valid while other threads write the database: it remembers its
  // place by key and finds it again at each call. On an ordered database,
  // removing the current record leaves the iterator on the next one. Unordered
  // classes answer Last, JumpLower, JumpUpper and Previous with
  // NOT_IMPLEMENTED_ERROR. A call past the end, or on an unplaced iterator, is
  // NOT_FOUND_ERROR.
  class Iterator {
   public:
    Iterator() = default;
    Iterator(const Iterator&) = delete;
    Iterator& operator=(const Iterator&) = delete;
    virtual ~Iterator() = default;

    // Moves to the first record (an empty database leaves it at the end).
    virtual Status First() = 0;
    // Moves to the last record.
    virtual Status Last() = 0;
    // Moves to |key|; on an ordered database to the first key >= |key|, on an
    // unordered one to |key| itself or NOT_FOUND_ERROR.
    virtual Status Jump(std::string_view key) = 0;
    // Ordered: moves to the last key < |key| (<= when |inclusive|).
    virtual Status JumpLower(std::string_view key, bool inclusive = false) = 0;
    // Ordered: moves to the first key > |key| (>= when |inclusive|).
    virtual Status JumpUpper(std::string_view key, bool inclusive = false) = 0;
    virtual Status Next() = 0;
    virtual Status Previous() = 0;
    // Runs |proc| on the current record. With REMOVE the iterator moves to the
    // next record; otherwise it stays.
    virtual Status Process(RecordProcessor* proc, bool writable) = 0;

    // Default bodies over Process. Get gives the current key and/or value.
    virtual Status Get(std::string* key = nullptr, std::string* value = nullptr);
    // Sets the current record's value; the old key and value are given if asked.
    virtual Status Set(std::string_view value, std::string* old_key = nullptr,
                       std::string* old_value = nullptr);
    // Removes the current record; the old key and value are given if asked.
    virtual Status Remove(std::string* old_key = nullptr, std::string* old_value = nullptr);
    // Gets the current record and moves to the next one. A class that reads
    // records ahead may give the record as it was when read ahead: a write or
    // removal after that acts as if it came just after the Step.
    virtual Status Step(std::string* key = nullptr, std::string* value = nullptr);
    // A Step that never waits and never reads the database: when the iterator
    // holds the current record among records it read ahead, gives views of it,
    // valid until the next call on the iterator, moves past it and returns
    // true. Otherwise returns false and does nothing; the caller then uses
    // Step or Get and Next. The record is as it was when read ahead. The
    // default reads nothing ahead.
    virtual bool StepReadAhead(std::string_view* key, std::string_view* value);
  };

  DBM() = default;
  DBM(const DBM&) = delete;
  DBM& operator=(const DBM&) = delete;
  virtual ~DBM() = default;

  // Opens the database at |path| with tuning |params| (unknown keys are
  // ignored). |options| is the word of File::OpenOption. Opening an open
  // database is PRECONDITION_ERROR.
  virtual Status OpenAdvanced(const std::string& path, bool writable, int32_t options,
                              const ParamMap& params) = 0;
  Status Open(const std::string& path, bool writable, int32_t options = 0) {
    return OpenAdvanced(path, writable, options, {});
  }
  virtual Status Close() = 0;

  // Runs |proc| once for |key|, under the key's lock, and applies its answer.
  virtual Status Process(std::string_view key, RecordProcessor* proc, bool writable) = 0;
  Status Process(std::string_view key, RecordLambdaType proc_lambda, bool writable);

  // Gets the value of a record. NOT_FOUND_ERROR when the key is absent. |value|
  // may be null to test existence only.
  virtual Status Get(std::string_view key, std::string* value = nullptr);
  // Sets a record. With |overwrite| false, an existing key is DUPLICATION_ERROR
  // and left unchanged. |old_value| gets the previous value if there was one.
  virtual Status Set(std::string_view key, std::string_view value, bool overwrite = true,
                     std::string* old_value = nullptr);
  // Removes a record. NOT_FOUND_ERROR when absent.
  virtual Status Remove(std::string_view key, std::string* old_value = nullptr);
  // Appends |value| to a record, with |delim| between when the record exists;
  // a missing record is created with |value|.
  virtual Status Append(std::string_view key, std::string_view value,
                        std::string_view delim = "");

  // Runs |proc| on the first record (ProcessEmpty with "" when there is none,
  // and the call then returns NOT_FOUND_ERROR).
  virtual Status ProcessFirst(RecordProcessor* proc, bool writable) = 0;
  // Runs each processor once for its key, all keys locked together, in the order
  // of the pairs; a later pair sees what the earlier ones did (CompareExchangeMulti
  // and Rekey rely on it). A key may appear more than once.
  virtual Status ProcessMulti(
      const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs,
      bool writable) = 0;
  // Runs |proc| for every record, one call at a time. Only real records are
  // passed: never a marker as the key.
  virtual Status ProcessEach(RecordProcessor* proc, bool writable) = 0;
  Status ProcessEach(RecordLambdaType proc_lambda, bool writable);

  // Fills |records| with the records found among |keys|. NOT_FOUND_ERROR when
  // any key was missing (the others are still filled).
  virtual Status GetMulti(const std::vector<std::string_view>& keys,
                          std::map<std::string, std::string>* records);
  // Set of each record in order; the first failure is kept; stops early unless
  // that failure is DUPLICATION_ERROR.
  virtual Status SetMulti(const std::map<std::string_view, std::string_view>& records,
                          bool overwrite = true);
  // Remove of each key in order; the first failure is kept; stops early unless
  // that failure is NOT_FOUND_ERROR.
  virtual Status RemoveMulti(const std::vector<std::string_view>& keys);
  // Append of each record in order; stops at the first failure.
  virtual Status AppendMulti(const std::map<std::string_view, std::string_view>& records,
                             std::string_view delim = "");

  // Compares the record with |expected| and, if it matches, replaces it with
  // |desired|. A selector's data() null means absent; ANY_DATA means any value.
  // A mismatch is INFEASIBLE_ERROR. |actual| and |found| get the value seen.
  virtual Status CompareExchange(std::string_view key, std::string_view expected,
                                 std::string_view desired, std::string* actual = nullptr,
                                 bool* found = nullptr);
  // Adds |increment| to the 8-byte big-endian number of the record (|initial|
  // for a missing one) and stores the sum; INT64MIN only reads.
  virtual Status Increment(std::string_view key, int64_t increment = 1,
                           int64_t* current = nullptr, int64_t initial = 0);
  // All-or-nothing: checks every expected pair and applies every desired pair
  // under one hold of the locks, or changes nothing and returns
  // INFEASIBLE_ERROR. Selectors as in CompareExchange.
  virtual Status CompareExchangeMulti(
      const std::vector<std::pair<std::string_view, std::string_view>>& expected,
      const std::vector<std::pair<std::string_view, std::string_view>>& desired);
  // Moves the record of |old_key| to |new_key|, atomically. With |overwrite|
  // false an existing |new_key| is DUPLICATION_ERROR; with |copying| the old
  // record stays. |value| gets the value moved. A missing |old_key| is
  // NOT_FOUND_ERROR.
  virtual Status Rekey(std::string_view old_key, std::string_view new_key,
                       bool overwrite = true, bool copying = false,
                       std::string* value = nullptr);
  // Gets the first record and removes it. NOT_FOUND_ERROR when empty.
  virtual Status PopFirst(std::string* key = nullptr, std::string* value = nullptr);
  // Adds a record whose key is the 8-byte big-endian time in 10 ns units
  // (|wtime| seconds, or now when negative), bumped past existing keys.
  virtual Status PushLast(std::string_view value, double wtime = -1,
                          std::string* key = nullptr);
  // Sets every record of this database into |dest|; keeps the first failure.
  virtual Status Export(DBM* dest);

  // The number of records.
  virtual Status Count(int64_t* count) = 0;
  int64_t CountSimple();
  // The size of the database file (memory classes: of their file if any).
  virtual Status GetFileSize(int64_t* size) = 0;
  int64_t GetFileSizeSimple();
  virtual Status GetFilePath(std::string* path) = 0;
  // Seconds since the epoch of the last update stored in the file.
  virtual Status GetTimestamp(double* timestamp) = 0;
  // The timestamp, or NaN on failure.
  double GetTimestampSimple();
  // Removes every record.
  virtual Status Clear() = 0;
  // Compacts and re-tunes the database with |params|.
  virtual Status RebuildAdvanced(const ParamMap& params) = 0;
  Status Rebuild() { return RebuildAdvanced({}); }
  virtual Status ShouldBeRebuilt(bool* tobe) = 0;
  bool ShouldBeRebuiltSimple();
  // Writes what is buffered to the file (with |hard|, to the device), then calls
  // |proc| if given.
  virtual Status SynchronizeAdvanced(bool hard, FileProcessor* proc,
                                     const ParamMap& params) = 0;
  Status Synchronize(bool hard, FileProcessor* proc = nullptr) {
    return SynchronizeAdvanced(hard, proc, {});
  }
  // Copies a consistent image of the database file to |dest_path|.
  virtual Status CopyFileData(const std::string& dest_path, bool sync_hard = false) = 0;
  // At least "class", "path", "num_records" and "healthy".
  virtual std::vector<std::pair<std::string, std::string>> Inspect() = 0;

  virtual bool IsOpen() const = 0;
  virtual bool IsWritable() const = 0;
  virtual bool IsHealthy() const = 0;
  virtual bool IsOrdered() const = 0;

  // A new iterator, unplaced (call First or Jump). Owned by the caller; it must
  // be destroyed before the database object (it may outlive Close).
  virtual std::unique_ptr<Iterator> MakeIterator() = 0;
  // A new unopened database of the same class.
  virtual std::unique_ptr<DBM> MakeDBM() const = 0;
};

// Declares the overrides of every pure virtual method of DBM, for the headers of
// the concrete classes.
#define MORVEL_DBM_OVERRIDES                                                             \
  Status OpenAdvanced(const std::string& path, bool writable, int32_t options,          \
                      const ParamMap& params) override;                                 \
  Status Close() override;                                                              \
  Status Process(std::string_view key, RecordProcessor* proc, bool writable) override;  \
  Status ProcessFirst(RecordProcessor* proc, bool writable) override;                   \
  Status ProcessMulti(                                                                  \
      const std::vector<std::pair<std::string_view, RecordProcessor*>>& key_proc_pairs, \
      bool writable) override;                                                          \
  Status ProcessEach(RecordProcessor* proc, bool writable) override;                    \
  Status Count(int64_t* count) override;                                                \
  Status GetFileSize(int64_t* size) override;                                           \
  Status GetFilePath(std::string* path) override;                                       \
  Status GetTimestamp(double* timestamp) override;                                      \
  Status Clear() override;                                                              \
  Status RebuildAdvanced(const ParamMap& params) override;                              \
  Status ShouldBeRebuilt(bool* tobe) override;                                          \
  Status SynchronizeAdvanced(bool hard, FileProcessor* proc,                            \
                             const ParamMap& params) override;                          \
  Status CopyFileData(const std::string& dest_path, bool sync_hard = false) override;   \
  std::vector<std::pair<std::string, std::string>> Inspect() override;                  \
  bool IsOpen() const override;                                                         \
  bool IsWritable() const override;                                                     \
  bool IsHealthy() const override;                                                      \
  bool IsOrdered() const override;                                                      \
  std::unique_ptr<Iterator> MakeIterator() override;                                    \
  std::unique_ptr<DBM> MakeDBM() const override;

// Ready-made processors used by the default bodies; public so that classes
// overriding a default can reuse them.

class RecordProcessorGet final : public DBM::RecordProcessor {
 public:
  RecordProcessorGet(Status* status, std::string* value);
  std::string_view ProcessFull(std::string_view key, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view key) override;

 private:
  Status* status_;
  std::string* value_;
};

class RecordProcessorSet final : public DBM::RecordProcessor {
 public:
  RecordProcessorSet(Status* status, std::string_view value, bool overwrite,
                     std::string* old_value);
  std::string_view ProcessFull(std::string_view key, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view key) override;

 private:
  Status* status_;
  std::string_view value_;
  bool overwrite_;
  std::string* old_value_;
};

class RecordProcessorRemove final : public DBM::RecordProcessor {
 public:
  RecordProcessorRemove(Status* status, std::string* old_value);
  std::string_view ProcessFull(std::string_view key, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view key) override;

 private:
  Status* status_;
  std::string* old_value_;
};

class RecordProcessorAppend final : public DBM::RecordProcessor {
 public:
  RecordProcessorAppend(std::string_view value, std::string_view delim);
  std::string_view ProcessFull(std::string_view key, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view key) override;

 private:
  std::string_view value_;
  std::string_view delim_;
  std::string new_value_;
};

class RecordProcessorCompareExchange final : public DBM::RecordProcessor {
 public:
  RecordProcessorCompareExchange(Status* status, std::string_view expected,
                                 std::string_view desired, std::string* actual,
                                 bool* found);
  std::string_view ProcessFull(std::string_view key, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view key) override;

 private:
  Status* status_;
  std::string_view expected_;
  std::string_view desired_;
  std::string* actual_;
  bool* found_;
};

class RecordProcessorIncrement final : public DBM::RecordProcessor {
 public:
  RecordProcessorIncrement(int64_t increment, int64_t* current, int64_t initial);
  std::string_view ProcessFull(std::string_view key, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view key) override;

 private:
  int64_t increment_;
  int64_t* current_;
  int64_t initial_;
  std::string value_;
};

class RecordProcessorPopFirst final : public DBM::RecordProcessor {
 public:
  RecordProcessorPopFirst(std::string* key, std::string* value);
  std::string_view ProcessFull(std::string_view key, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view key) override;

 private:
  std::string* key_;
  std::string* value_;
};

// Calls ProcessFull/ProcessEmpty of |proc| and enforces the read-only rule:
// when |writable| is false and the answer is not NOOP, the answer becomes NOOP
// and |*status| becomes PRECONDITION_ERROR. Every class calls processors
// through this.
std::string_view CallProcessor(DBM::RecordProcessor* proc, std::string_view key,
                               const std::string_view* value, bool writable,
                               Status* status);

}  // namespace morvel

#endif  // MORVEL_DBM_H_
