// The markers, the record processors and the default bodies of DBM.
//
// Markers are views over static buffers of their own; only the identity of the
// data pointer matters, so a stored value with the same bytes is never taken
// for a marker. Every default body is written on the four primitives (Process,
// ProcessFirst, ProcessMulti, ProcessEach) and on the iterator's Process.
//
// Multi-record atomic operations (CompareExchangeMulti, Rekey) rely on
// ProcessMulti calling its processors in the order of the pairs, all under one
// hold of the locks: the first processors check, the later ones act on what the
// first ones saw.

#include "morvel/dbm.h"

#include <cmath>
#include <limits>

#include "morvel/lib_common.h"

namespace morvel {

namespace {

// Distinct arrays, so the three markers never share an address.
constexpr char kAnyDataBuffer[] = "\0[ANY]\0";
constexpr char kNoopBuffer[] = "\0[NOOP]\0";
constexpr char kRemoveBuffer[] = "\0[REMOVE]\0";

constexpr const char kReadOnlyMessage[] =
    "the processor tried to change a record in a read-only operation";

bool IsSame(std::string_view a, std::string_view b) {
  return a.data() == b.data();
}

// Checks one expected selector of CompareExchangeMulti.
class RecordProcessorCheck final : public DBM::RecordProcessor {
 public:
  RecordProcessorCheck(bool* noop, std::string_view expected)
      : noop_(noop), expected_(expected) {}
  std::string_view ProcessFull(std::string_view, std::string_view value) override {
    if (expected_.data() == nullptr ||
        (!IsSame(expected_, DBM::ANY_DATA) && expected_ != value)) {
      *noop_ = true;
    }
    return NOOP;
  }
  std::string_view ProcessEmpty(std::string_view) override {
    if (expected_.data() != nullptr) {
      *noop_ = true;
    }
    return NOOP;
  }

 private:
  bool* noop_;
  std::string_view expected_;
};

// Applies one desired selector of CompareExchangeMulti unless a check failed.
class RecordProcessorApply final : public DBM::RecordProcessor {
 public:
  RecordProcessorApply(const bool* noop, std::string_view desired)
      : noop_(noop), desired_(desired) {}
  std::string_view ProcessFull(std::string_view, std::string_view) override {
    return Answer();
  }
  std::string_view ProcessEmpty(std::string_view) override {
    return Answer();
  }

 private:
  std::string_view Answer() const {
    if (*noop_ || IsSame(desired_, DBM::ANY_DATA)) {
      return NOOP;
    }
    if (desired_.data() == nullptr) {
      return REMOVE;
    }
    return desired_;
  }

  const bool* noop_;
  std::string_view desired_;
};

// The three steps of Rekey: read the old record, write the new one, drop the old.
struct RekeyState {
  bool overwrite = true;
  bool copying = false;
  bool found = false;
  bool done = false;
  std::string value;
  Status status;
};

class RekeyReader final : public DBM::RecordProcessor {
 public:
  explicit RekeyReader(RekeyState* state) : state_(state) {}
  std::string_view ProcessFull(std::string_view, std::string_view value) override {
    state_->found = true;
    state_->value.assign(value);
    return NOOP;
  }
  std::string_view ProcessEmpty(std::string_view) override {
    state_->status.Set(Status::NOT_FOUND_ERROR, "the old key does not exist");
    return NOOP;
  }

 private:
  RekeyState* state_;
};

class RekeyWriter final : public DBM::RecordProcessor {
 public:
  explicit RekeyWriter(RekeyState* state) : state_(state) {}
  std::string_view ProcessFull(std::string_view, std::string_view) override {
    if (!state_->found) {
      return NOOP;
    }
    if (!state_->overwrite) {
      state_->status.Set(Status::DUPLICATION_ERROR, "the new key already exists");
      return NOOP;
    }
    state_->done = true;
    return state_->value;
  }
  std::string_view ProcessEmpty(std::string_view) override {
    if (!state_->found) {
      return NOOP;
    }
    state_->done = true;
    return state_->value;
  }

 private:
  RekeyState* state_;
};

class RekeyRemover final : public DBM::RecordProcessor {
 public:
  explicit RekeyRemover(RekeyState* state) : state_(state) {}
  std::string_view ProcessFull(std::string_view, std::string_view) override {
    return (state_->done && !state_->copying) ? REMOVE : NOOP;
  }
  std::string_view ProcessEmpty(std::string_view) override {
    return NOOP;
  }

 private:
  RekeyState* state_;
};

// Copies the current record of an iterator, or replaces or removes it.
class IteratorRecordProcessor final : public DBM::RecordProcessor {
 public:
  IteratorRecordProcessor(std::string* key, std::string* value, std::string_view answer)
      : key_(key), value_(value), answer_(answer) {}
  std::string_view ProcessFull(std::string_view key, std::string_view value) override {
    if (key_ != nullptr) {
      key_->assign(key);
    }
    if (value_ != nullptr) {
      value_->assign(value);
    }
    return answer_;
  }

 private:
  std::string* key_;
  std::string* value_;
  std::string_view answer_;
};

// Sets every record it sees into another database; keeps the first failure.
class RecordProcessorExport final : public DBM::RecordProcessor {
 public:
  explicit RecordProcessorExport(DBM* dest) : dest_(dest) {}
  std::string_view ProcessFull(std::string_view key, std::string_view value) override {
    status_ |= dest_->Set(key, value, true, nullptr);
    return NOOP;
  }
  const Status& GetStatus() const { return status_; }

 private:
  DBM* dest_;
  Status status_;
};

}  // namespace

const std::string_view DBM::ANY_DATA(kAnyDataBuffer, sizeof(kAnyDataBuffer) - 1);
const std::string_view DBM::RecordProcessor::NOOP(kNoopBuffer, sizeof(kNoopBuffer) - 1);
const std::string_view DBM::RecordProcessor::REMOVE(kRemoveBuffer, sizeof(kRemoveBuffer) - 1);

std::string_view DBM::RecordProcessor::ProcessFull(std::string_view, std::string_view) {
  return NOOP;
}

std::string_view DBM::RecordProcessor::ProcessEmpty(std::string_view) {
  return NOOP;
}

DBM::RecordProcessorLambda::RecordProcessorLambda(RecordLambdaType proc_lambda)
    : proc_lambda_(std::move(proc_lambda)) {}

std::string_view DBM::RecordProcessorLambda::ProcessFull(std::string_view key,
                                                         std::string_view value) {
  return proc_lambda_(key, value);
}

std::string_view DBM::RecordProcessorLambda::ProcessEmpty(std::string_view key) {
  return proc_lambda_(key, NOOP);
}

std::string_view CallProcessor(DBM::RecordProcessor* proc, std::string_view key,
                               const std::string_view* value, bool writable,
                               Status* status) {
  const std::string_view answer =
      value == nullptr ? proc->ProcessEmpty(key) : proc->ProcessFull(key, *value);
  if (!writable && !IsSame(answer, DBM::RecordProcessor::NOOP)) {
    status->Set(Status::PRECONDITION_ERROR, kReadOnlyMessage);
    return DBM::RecordProcessor::NOOP;
  }
  return answer;
}

// Ready-made processors.

RecordProcessorGet::RecordProcessorGet(Status* status, std::string* value)
    : status_(status), value_(value) {}

std::string_view RecordProcessorGet::ProcessFull(std::string_view, std::string_view value) {
  if (value_ != nullptr) {
    value_->assign(value);
  }
  return NOOP;
}

std::string_view RecordProcessorGet::ProcessEmpty(std::string_view) {
  status_->Set(Status::NOT_FOUND_ERROR);
  return NOOP;
}

RecordProcessorSet::RecordProcessorSet(Status* status, std::string_view value, bool overwrite,
                                       std::string* old_value)
    : status_(status), value_(value), overwrite_(overwrite), old_value_(old_value) {}

std::string_view RecordProcessorSet::ProcessFull(std::string_view, std::string_view value) {
  if (old_value_ != nullptr) {
    old_value_->assign(value);
  }
  if (!overwrite_) {
    status_->Set(Status::DUPLICATION_ERROR);
    return NOOP;
  }
  return value_;
}

std::string_view RecordProcessorSet::ProcessEmpty(std::string_view) {
  return value_;
}

RecordProcessorRemove::RecordProcessorRemove(Status* status, std::string* old_value)
    : status_(status), old_value_(old_value) {}

std::string_view RecordProcessorRemove::ProcessFull(std::string_view, std::string_view value) {
  if (old_value_ != nullptr) {
    old_value_->assign(value);
  }
  return REMOVE;
}

std::string_view RecordProcessorRemove::ProcessEmpty(std::string_view) {
  status_->Set(Status::NOT_FOUND_ERROR);
  return NOOP;
}

RecordProcessorAppend::RecordProcessorAppend(std::string_view value, std::string_view delim)
    : value_(value), delim_(delim) {}

std::string_view RecordProcessorAppend::ProcessFull(std::string_view, std::string_view value) {
  new_value_.clear();
  new_value_.reserve(value.size() + delim_.size() + value_.size());
  new_value_.append(value);
  new_value_.append(delim_);
  new_value_.append(value_);
  return new_value_;
}

std::string_view RecordProcessorAppend::ProcessEmpty(std::string_view) {
  return value_;
}

RecordProcessorCompareExchange::RecordProcessorCompareExchange(Status* status,
                                                               std::string_view expected,
                                                               std::string_view desired,
                                                               std::string* actual, bool* found)
    : status_(status), expected_(expected), desired_(desired), actual_(actual), found_(found) {}

std::string_view RecordProcessorCompareExchange::ProcessFull(std::string_view,
                                                             std::string_view value) {
  if (actual_ != nullptr) {
    actual_->assign(value);
  }
  if (found_ != nullptr) {
    *found_ = true;
  }
  if (expected_.data() != nullptr &&
      (IsSame(expected_, DBM::ANY_DATA) || expected_ == value)) {
    if (desired_.data() == nullptr) {
      return REMOVE;
    }
    if (IsSame(desired_, DBM::ANY_DATA)) {
      return NOOP;
    }
    return desired_;
  }
  status_->Set(Status::INFEASIBLE_ERROR, "");
  return NOOP;
}

std::string_view RecordProcessorCompareExchange::ProcessEmpty(std::string_view) {
  if (actual_ != nullptr) {
    actual_->clear();
  }
  if (found_ != nullptr) {
    *found_ = false;
  }
  if (expected_.data() != nullptr) {
    status_->Set(Status::INFEASIBLE_ERROR, "");
    return NOOP;
  }
  if (desired_.data() == nullptr || IsSame(desired_, DBM::ANY_DATA)) {
    return NOOP;
  }
  return desired_;
}

RecordProcessorIncrement::RecordProcessorIncrement(int64_t increment, int64_t* current,
                                                   int64_t initial)
    : increment_(increment), current_(current), initial_(initial) {}

std::string_view RecordProcessorIncrement::ProcessFull(std::string_view,
                                                       std::string_view value) {
  const int64_t stored = StrToIntBigEndian(value);
  if (increment_ == std::numeric_limits<int64_t>::min()) {
    if (current_ != nullptr) {
      *current_ = stored;
    }
    return NOOP;
  }
  // Wrapping addition, done unsigned to stay defined.
  const int64_t sum =
      static_cast<int64_t>(static_cast<uint64_t>(stored) + static_cast<uint64_t>(increment_));
  if (current_ != nullptr) {
    *current_ = sum;
  }
  value_ = IntToStrBigEndian(static_cast<uint64_t>(sum), 8);
  return value_;
}

std::string_view RecordProcessorIncrement::ProcessEmpty(std::string_view) {
  if (increment_ == std::numeric_limits<int64_t>::min()) {
    if (current_ != nullptr) {
      *current_ = initial_;
    }
    return NOOP;
  }
  const int64_t sum =
      static_cast<int64_t>(static_cast<uint64_t>(initial_) + static_cast<uint64_t>(increment_));
  if (current_ != nullptr) {
    *current_ = sum;
  }
  value_ = IntToStrBigEndian(static_cast<uint64_t>(sum), 8);
  return value_;
}

RecordProcessorPopFirst::RecordProcessorPopFirst(std::string* key, std::string* value)
    : key_(key), value_(value) {}

std::string_view RecordProcessorPopFirst::ProcessFull(std::string_view key,
                                                      std::string_view value) {
  if (key_ != nullptr) {
    key_->assign(key);
  }
  if (value_ != nullptr) {
    value_->assign(value);
  }
  return REMOVE;
}

std::string_view RecordProcessorPopFirst::ProcessEmpty(std::string_view) {
  return NOOP;
}

// Iterator default bodies.

Status DBM::Iterator::Get(std::string* key, std::string* value) {
  IteratorRecordProcessor proc(key, value, RecordProcessor::NOOP);
  return Process(&proc, false);
}

Status DBM::Iterator::Set(std::string_view value, std::string* old_key,
                          std::string* old_value) {
  IteratorRecordProcessor proc(old_key, old_value, value);
  return Process(&proc, true);
}

Status DBM::Iterator::Remove(std::string* old_key, std::string* old_value) {
  IteratorRecordProcessor proc(old_key, old_value, RecordProcessor::REMOVE);
  return Process(&proc, true);
}

Status DBM::Iterator::Step(std::string* key, std::string* value) {
  Status status = Get(key, value);
  if (!status.IsOK()) {
    return status;
  }
  status = Next();
  if (status == Status::NOT_FOUND_ERROR) {
    return Status();
  }
  return status;
}

bool DBM::Iterator::StepReadAhead(std::string_view*, std::string_view*) {
  return false;
}

// DBM default bodies.

Status DBM::Process(std::string_view key, RecordLambdaType proc_lambda, bool writable) {
  RecordProcessorLambda proc(std::move(proc_lambda));
  return Process(key, &proc, writable);
}

Status DBM::ProcessEach(RecordLambdaType proc_lambda, bool writable) {
  RecordProcessorLambda proc(std::move(proc_lambda));
  return ProcessEach(&proc, writable);
}

Status DBM::Get(std::string_view key, std::string* value) {
  Status impl_status;
  RecordProcessorGet proc(&impl_status, value);
  const Status status = Process(key, &proc, false);
  if (!status.IsOK()) {
    return status;
  }
  return impl_status;
}

Status DBM::Set(std::string_view key, std::string_view value, bool overwrite,
                std::string* old_value) {
  Status impl_status;
  RecordProcessorSet proc(&impl_status, value, overwrite, old_value);
  const Status status = Process(key, &proc, true);
  if (!status.IsOK()) {
    return status;
  }
  return impl_status;
}

Status DBM::Remove(std::string_view key, std::string* old_value) {
  Status impl_status;
  RecordProcessorRemove proc(&impl_status, old_value);
  const Status status = Process(key, &proc, true);
  if (!status.IsOK()) {
    return status;
  }
  return impl_status;
}

Status DBM::Append(std::string_view key, std::string_view value, std::string_view delim) {
  RecordProcessorAppend proc(value, delim);
  return Process(key, &proc, true);
}

Status DBM::GetMulti(const std::vector<std::string_view>& keys,
                     std::map<std::string, std::string>* records) {
  Status result;
  std::string value;
  for (const auto& key : keys) {
    const Status status = Get(key, &value);
    if (status.IsOK()) {
      records->insert_or_assign(std::string(key), value);
    } else if (status == Status::NOT_FOUND_ERROR) {
      result |= status;
    } else {
      return status;
    }
  }
  return result;
}

Status DBM::SetMulti(const std::map<std::string_view, std::string_view>& records,
                     bool overwrite) {
  Status result;
  for (const auto& record : records) {
    const Status status = Set(record.first, record.second, overwrite, nullptr);
    if (!status.IsOK()) {
      const bool first_failure = result.IsOK();
      result |= status;
      if (first_failure && status != Status::DUPLICATION_ERROR) {
        break;
      }
    }
  }
  return result;
}

Status DBM::RemoveMulti(const std::vector<std::string_view>& keys) {
  Status result;
  for (const auto& key : keys) {
    const Status status = Remove(key, nullptr);
    if (!status.IsOK()) {
      const bool first_failure = result.IsOK();
      result |= status;
      if (first_failure && status != Status::NOT_FOUND_ERROR) {
        break;
      }
    }
  }
  return result;
}

Status DBM::AppendMulti(const std::map<std::string_view, std::string_view>& records,
                        std::string_view delim) {
  for (const auto& record : records) {
    const Status status = Append(record.first, record.second, delim);
    if (!status.IsOK()) {
      return status;
    }
  }
  return Status();
}

Status DBM::CompareExchange(std::string_view key, std::string_view expected,
                            std::string_view desired, std::string* actual, bool* found) {
  Status impl_status;
  RecordProcessorCompareExchange proc(&impl_status, expected, desired, actual, found);
  const Status status = Process(key, &proc, !IsSame(desired, ANY_DATA));
  if (!status.IsOK()) {
    return status;
  }
  return impl_status;
}

Status DBM::Increment(std::string_view key, int64_t increment, int64_t* current,
                      int64_t initial) {
  RecordProcessorIncrement proc(increment, current, initial);
  return Process(key, &proc, increment != std::numeric_limits<int64_t>::min());
}

Status DBM::CompareExchangeMulti(
    const std::vector<std::pair<std::string_view, std::string_view>>& expected,
    const std::vector<std::pair<std::string_view, std::string_view>>& desired) {
  bool noop = false;
  std::vector<RecordProcessorCheck> checkers;
  checkers.reserve(expected.size());
  std::vector<RecordProcessorApply> appliers;
  appliers.reserve(desired.size());
  std::vector<std::pair<std::string_view, RecordProcessor*>> key_proc_pairs;
  key_proc_pairs.reserve(expected.size() + desired.size());
  for (const auto& pair : expected) {
    checkers.emplace_back(&noop, pair.second);
    key_proc_pairs.emplace_back(pair.first, &checkers.back());
  }
  for (const auto& pair : desired) {
    appliers.emplace_back(&noop, pair.second);
    key_proc_pairs.emplace_back(pair.first, &appliers.back());
  }
  const Status status = ProcessMulti(key_proc_pairs, true);
  if (!status.IsOK()) {
    return status;
  }
  if (noop) {
    return Status(Status::INFEASIBLE_ERROR);
  }
  return Status();
}

Status DBM::Rekey(std::string_view old_key, std::string_view new_key, bool overwrite,
                  bool copying, std::string* value) {
  if (old_key == new_key) {
    // Moving a record onto itself changes nothing; the steps below would
    // otherwise remove it after writing it.
    Status status = Get(old_key, value);
    if (status.IsOK() && !overwrite) {
      status.Set(Status::DUPLICATION_ERROR, "the new key already exists");
    }
    return status;
  }
  RekeyState state;
  state.overwrite = overwrite;
  state.copying = copying;
  RekeyReader reader(&state);
  RekeyWriter writer(&state);
  RekeyRemover remover(&state);
  const std::vector<std::pair<std::string_view, RecordProcessor*>> key_proc_pairs = {
      {old_key, &reader}, {new_key, &writer}, {old_key, &remover}};
  const Status status = ProcessMulti(key_proc_pairs, true);
  if (!status.IsOK()) {
    return status;
  }
  if (value != nullptr && state.found) {
    *value = std::move(state.value);
  }
  return state.status;
}

Status DBM::PopFirst(std::string* key, std::string* value) {
  RecordProcessorPopFirst proc(key, value);
  return ProcessFirst(&proc, true);
}

Status DBM::PushLast(std::string_view value, double wtime, std::string* key) {
  Status status;
  std::string key_buf;
  for (int64_t seq = 0;; seq++) {
    const double base = wtime < 0 ? GetWallTime() : wtime;
    const double number = base * 100000000.0;
    int64_t num = 0;
    if (std::isnan(number)) {
      num = 0;
    } else if (number >= 9.2233720368547758e18) {
      num = std::numeric_limits<int64_t>::max();
    } else if (number <= -9.2233720368547758e18) {
      num = std::numeric_limits<int64_t>::min();
    } else {
      num = static_cast<int64_t>(number);
    }
    // The retry count is added in integers: a double near today's key numbers
    // is too coarse to tell n from n + 1. At the largest key there is no next
    // one, so a duplicate there ends the retries instead of looping for ever.
    const bool saturated = num > std::numeric_limits<int64_t>::max() - seq;
    num = saturated ? std::numeric_limits<int64_t>::max() : num + seq;
    key_buf = IntToStrBigEndian(static_cast<uint64_t>(num), 8);
    status = Set(key_buf, value, false, nullptr);
    if (status != Status::DUPLICATION_ERROR || saturated) {
      break;
    }
  }
  if (key != nullptr) {
    *key = std::move(key_buf);
  }
  return status;
}

Status DBM::Export(DBM* dest) {
  if (dest == this) {
    // Every record is already there; walking while setting would self-deadlock.
    return Status();
  }
  RecordProcessorExport proc(dest);
  const Status status = ProcessEach(&proc, false);
  if (!status.IsOK()) {
    return status;
  }
  return proc.GetStatus();
}

int64_t DBM::CountSimple() {
  int64_t count = 0;
  return Count(&count).IsOK() ? count : -1;
}

int64_t DBM::GetFileSizeSimple() {
  int64_t size = 0;
  return GetFileSize(&size).IsOK() ? size : -1;
}

double DBM::GetTimestampSimple() {
  double timestamp = 0;
  return GetTimestamp(&timestamp).IsOK() ? timestamp
                                         : std::numeric_limits<double>::quiet_NaN();
}

bool DBM::ShouldBeRebuiltSimple() {
  bool tobe = false;
  return ShouldBeRebuilt(&tobe).IsOK() && tobe;
}

}  // namespace morvel
