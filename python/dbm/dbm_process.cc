// The callback methods of DBM: Process, ProcessMulti and ProcessEach run Python
// callables inside one engine call.
//
// The engine calls the callables on the calling thread with the record's lock
// (all the keys' locks for ProcessMulti) held, and the interpreter lock stays
// held throughout, so handles in concurrent mode are refused. While the engine
// call runs, DBMCore::callback_depth is above zero and every other call on the
// same database fails at once: a callable calling back into its database, or
// another Python thread running while the callable waits, would otherwise block
// on the record lock while holding the interpreter lock, which the callable
// needs to finish. Other databases stay usable from a callable.
//
// A callable that raises gets the answer NOOP for its record. From then on no
// further callable runs in that engine call (every adapter answers NOOP while a
// Python error is pending), and the method raises the error after the engine
// call instead of returning its status.

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbm/dbm_common.h"
#include "dbm/dbm_methods.h"

namespace {

using morvel::DBM;
using morvel::Status;

constexpr char kConcurrentRefusal[] = "the concurrent mode is not supported";

// The most pairs reserved ahead of reading a sequence.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

// Counts one running callback method on the database for its lifetime.
class CallbackScope final {
 public:
  explicit CallbackScope(DBMCore* core) : core_(core) { core_->callback_depth++; }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  ~CallbackScope() { core_->callback_depth--; }

 private:
  DBMCore* core_;
};

// Calls |pycallable| with (key, value), None in place of either when its flag
// says so, and maps the return value to the engine's answer. Stored bytes are
// kept in |*holder| until the next call. Answers NOOP without calling anything
// while a Python error is pending, and NOOP when the callable raises (the error
// stays pending).
std::string_view CallPyProcessor(PyObject* pycallable, std::string_view key, bool key_is_none,
                                 std::string_view value, bool value_is_none,
                                 std::unique_ptr<SoftString>* holder) {
  if (PyErr_Occurred()) return DBM::RecordProcessor::NOOP;
  PyObject* pyargs = PyTuple_New(2);
  if (pyargs == nullptr) return DBM::RecordProcessor::NOOP;
  PyObject* pykey = key_is_none ? Py_NewRef(Py_None) : CreatePyBytes(key);
  PyObject* pyvalue = value_is_none ? Py_NewRef(Py_None) : CreatePyBytes(value);
  if (pykey == nullptr || pyvalue == nullptr) {
    Py_XDECREF(pykey);
    Py_XDECREF(pyvalue);
    Py_DECREF(pyargs);
    return DBM::RecordProcessor::NOOP;
  }
  PyTuple_SET_ITEM(pyargs, 0, pykey);
  PyTuple_SET_ITEM(pyargs, 1, pyvalue);
  PyObject* pyrv = PyObject_Call(pycallable, pyargs, nullptr);
  Py_DECREF(pyargs);
  if (pyrv == nullptr) return DBM::RecordProcessor::NOOP;
  std::string_view answer;
  if (pyrv == Py_None) {
    answer = DBM::RecordProcessor::NOOP;
  } else if (pyrv == Py_False) {
    answer = DBM::RecordProcessor::REMOVE;
  } else {
    holder->reset(new SoftString(pyrv));
    // A conversion that was interrupted stores nothing.
    answer = PyErr_Occurred() ? DBM::RecordProcessor::NOOP : (*holder)->Get();
  }
  Py_DECREF(pyrv);
  return answer;
}

bool IsNoop(std::string_view view) { return view.data() == DBM::RecordProcessor::NOOP.data(); }

// The processor of one (key, callable) pair of ProcessMulti.
class Processor final : public DBM::RecordProcessor {
 public:
  explicit Processor(PyObject* pycallable) : pycallable_(Py_NewRef(pycallable)) {}
  Processor(const Processor&) = delete;
  Processor& operator=(const Processor&) = delete;
  ~Processor() override { Py_DECREF(pycallable_); }

  std::string_view ProcessFull(std::string_view key, std::string_view value) override {
    return CallPyProcessor(pycallable_, key, false, value, false, &holder_);
  }

  std::string_view ProcessEmpty(std::string_view key) override {
    return CallPyProcessor(pycallable_, key, false, std::string_view(), true, &holder_);
  }

 private:
  PyObject* pycallable_;
  std::unique_ptr<SoftString> holder_;
};

// The common start of the callback methods: the open check, the refusal of a
// handle in concurrent mode, the argument count and the writable flag (the
// last of the |num_args| arguments). False when the method returns
// |*early_result| at once: the refusal Status, or null with an error set.
bool BeginCallbackMethod(DBMObject* self, const ArgList& pyargs, int32_t num_args,
                         std::shared_ptr<DBMCore>* core, bool* writable,
                         PyObject** early_result) {
  *early_result = nullptr;
  *core = ShareOpenCore(self);
  if (*core == nullptr) return false;
  if (self->concurrent) {
    *early_result = CreatePyStatusMove(Status(Status::PRECONDITION_ERROR, kConcurrentRefusal));
    return false;
  }
  if (!CheckArgCount(pyargs, num_args, num_args)) return false;
  return ReadFlag(pyargs[num_args - 1], writable);
}

// Raises "non callable is given" and returns false unless |obj| is callable.
bool CheckCallable(PyObject* obj) {
  if (PyCallable_Check(obj)) return true;
  ThrowInvalidArguments("non callable is given");
  return false;
}

// Runs one engine call that calls Python callables, with the database marked
// busy, or refuses it while another callback runs on the database. Returns the
// method's result: the pending Python error of a callable, or the status.
template <typename EngineCall>
PyObject* RunCallbackCall(DBMCore* core, EngineCall&& call) {
  if (IsBusyInCallback(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  // IsHealthy answers from here while the callables run.
  core->state.healthy = core->dbm->IsHealthy();
  Status status;
  {
    CallbackScope scope(core);
    status = call(core->dbm.get());
  }
  if (PyErr_Occurred()) return nullptr;
  return CreatePyStatusMove(std::move(status));
}

}  // namespace

KFPairs ExtractKFPairs(PyObject* pyseq) {
  const Py_ssize_t num_items = PySequence_Size(pyseq);
  if (num_items < 0) return {};
  KFPairs pairs;
  // A sequence may claim any length; reserve no more than a real one needs.
  pairs.reserve(static_cast<size_t>(std::min<Py_ssize_t>(num_items, kMaxReserve)));
  for (Py_ssize_t i = 0; i < num_items; i++) {
    PyObject* pykey = nullptr;
    PyObject* pycallable = nullptr;
    const PairItem item = ReadPairItem(pyseq, i, &pykey, &pycallable);
    if (item == PairItem::kError) return {};
    if (item == PairItem::kSkipped) continue;
    if (PyCallable_Check(pycallable)) {
      SoftString key(pykey);
      pairs.emplace_back(std::string(key.Get()), std::make_shared<Processor>(pycallable));
    }
    Py_DECREF(pykey);
    Py_DECREF(pycallable);
    if (PyErr_Occurred()) return {};
  }
  return pairs;
}

PyObject* dbm_Process(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core;
  bool writable = false;
  PyObject* early_result = nullptr;
  if (!BeginCallbackMethod(self, pyargs, 3, &core, &writable, &early_result)) return early_result;
  PyObject* pycallable = pyargs[1];
  if (!CheckCallable(pycallable)) return nullptr;
  SoftString key(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  std::unique_ptr<SoftString> holder;
  auto proc = [&](std::string_view rec_key, std::string_view rec_value) {
    return CallPyProcessor(pycallable, rec_key, false, rec_value, IsNoop(rec_value), &holder);
  };
  return RunCallbackCall(core.get(),
                         [&](DBM* dbm) { return dbm->Process(key.Get(), proc, writable); });
}

PyObject* dbm_ProcessMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core;
  bool writable = false;
  PyObject* early_result = nullptr;
  if (!BeginCallbackMethod(self, pyargs, 2, &core, &writable, &early_result)) return early_result;
  PyObject* pypairs = pyargs[0];
  if (!PySequence_Check(pypairs)) {
    ThrowInvalidArguments("parameters must be sequences of tuples and strings and functions");
    return nullptr;
  }
  // The processors release their callables when |pairs| goes, with the
  // interpreter lock held.
  KFPairs pairs = ExtractKFPairs(pypairs);
  if (PyErr_Occurred()) return nullptr;
  std::vector<std::pair<std::string_view, DBM::RecordProcessor*>> key_proc_pairs;
  key_proc_pairs.reserve(pairs.size());
  for (const auto& pair : pairs) key_proc_pairs.emplace_back(pair.first, pair.second.get());
  return RunCallbackCall(
      core.get(), [&](DBM* dbm) { return dbm->ProcessMulti(key_proc_pairs, writable); });
}

PyObject* dbm_ProcessEach(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core;
  bool writable = false;
  PyObject* early_result = nullptr;
  if (!BeginCallbackMethod(self, pyargs, 2, &core, &writable, &early_result)) return early_result;
  PyObject* pycallable = pyargs[0];
  if (!CheckCallable(pycallable)) return nullptr;
  std::unique_ptr<SoftString> holder;
  auto proc = [&](std::string_view rec_key, std::string_view rec_value) {
    return CallPyProcessor(pycallable, rec_key, IsNoop(rec_key), rec_value, IsNoop(rec_value),
                           &holder);
  };
  return RunCallbackCall(core.get(), [&](DBM* dbm) { return dbm->ProcessEach(proc, writable); });
}
