// Steps shared by the record methods of DBM, and the two converters of pair
// sequences (shared with the asynchronous adapter; ExtractKFPairs is exported).
//
// Every function here needs the interpreter lock.

#ifndef MORVEL_PYTHON_DBM_DBM_COMMON_H_
#define MORVEL_PYTHON_DBM_DBM_COMMON_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dbm/dbm.h"
#include "dbm/value_reader.h"
#include "engine/engine.h"
#include "module/arg_list.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"

// A share of the open engine database of |self|, or null after raising
// "not opened database". The share keeps the engine object alive across an
// engine call made with the interpreter lock released, even if another thread
// closes the handle meanwhile.
inline std::shared_ptr<DBMCore> ShareOpenCore(DBMObject* self) {
  if (self->dbm == nullptr || *self->dbm == nullptr) {
    ThrowInvalidArguments("not opened database");
    return nullptr;
  }
  return *self->dbm;
}

// Raises StatusException with the busy status and returns false while a
// callable of a callback method runs on the database.
inline bool CheckNotBusy(const DBMCore& core) {
  if (!IsBusyInCallback(core)) return true;
  ThrowStatusException(BusyCallbackStatus());
  return false;
}

// The truth value of positional argument |index| into |*flag|, which keeps its
// value when the argument is not given. False, with the error pending, when
// the truth test raises.
inline bool ReadOptionalFlag(const ArgList& pyargs, Py_ssize_t index, bool* flag) {
  PyObject* pyflag = OptionalArg(pyargs, index);
  return pyflag == nullptr || ReadFlag(pyflag, flag);
}

// Runs one engine call on |core| with the interpreter lock released in
// concurrent mode, or refuses it at once while a callable of a callback method
// runs on the same database (the callable may hold the engine's record locks).
template <typename EngineCall>
morvel::Status CallEngine(const DBMObject* self, DBMCore* core, EngineCall&& call) {
  if (IsBusyInCallback(*core)) return BusyCallbackStatus();
  CoreNativeLock lock(core, self->concurrent);
  return call(core->dbm.get());
}

// CallEngine, returning its status as a new Status object.
template <typename EngineCall>
PyObject* CallEngineForStatus(const DBMObject* self, DBMCore* core, EngineCall&& call) {
  return CreatePyStatusMove(CallEngine(self, core, std::forward<EngineCall>(call)));
}

// Whether converting |obj| to bytes, a number or a truth value runs no Python
// code: exact bytes, str, int and bool, and None.
inline bool IsPlainArg(PyObject* obj) {
  return obj == nullptr || PyBytes_CheckExact(obj) || PyUnicode_CheckExact(obj) ||
         PyLong_CheckExact(obj) || PyBool_Check(obj) || obj == Py_None;
}

// Whether IsPlainArg holds for every argument.
inline bool ArePlainArgs(const ArgList& pyargs) {
  for (Py_ssize_t i = 0; i < pyargs.size(); i++) {
    if (!IsPlainArg(pyargs[i])) return false;
  }
  return true;
}

// The hold of a single-record method on the open database of its handle. When
// the method's argument conversions run no Python code, the database is
// borrowed (nothing can close it before the engine call, and a share is taken
// only to release the interpreter lock); otherwise a share is taken at once,
// as a conversion may close the handle.
class CoreHold final {
 public:
  // Takes the database of |self|, or raises "not opened database" and returns
  // false. |plain| tells that no argument conversion runs Python code.
  bool Take(DBMObject* self, bool plain) {
    if (self->dbm == nullptr || *self->dbm == nullptr) {
      ThrowInvalidArguments("not opened database");
      return false;
    }
    self_ = self;
    core_ = self->dbm->get();
    if (!plain) share_ = *self->dbm;
    return true;
  }
  DBMCore* core() const { return core_; }
  // A share to hold across a call made with the interpreter lock released.
  std::shared_ptr<DBMCore> Share() const { return share_ != nullptr ? share_ : *self_->dbm; }

 private:
  DBMObject* self_ = nullptr;
  DBMCore* core_ = nullptr;
  std::shared_ptr<DBMCore> share_;
};

// Whether a single-record call on |core| handling |data_size| bytes of input
// releases the interpreter lock: only in concurrent mode, and then only when
// the call may take long, either for its size or because another thread may
// hold the record's lock for long (see DBMCore::released_calls). Holding the
// interpreter lock for the short calls spares two thread switches per call,
// which cost more than the call itself, and lets threads share the
// interpreter lock at its usual switch interval instead of at every call.
inline bool ReleasesForRecord(const DBMObject* self, const DBMCore& core, size_t data_size) {
  return self->concurrent && (core.released_calls > 0 || data_size >= kLongRecordBytes);
}

// Runs one single-record engine call on the database of |hold|, refused at
// once while a callable of a callback method runs on it, with the interpreter
// lock released only when ReleasesForRecord says so; then |after| with the
// interpreter lock held and the database still alive.
template <typename EngineCall, typename AfterCall>
morvel::Status CallEngineForRecord(const DBMObject* self, const CoreHold& hold,
                                   size_t data_size, EngineCall&& call, AfterCall&& after) {
  DBMCore* core = hold.core();
  if (IsBusyInCallback(*core)) return BusyCallbackStatus();
  if (!ReleasesForRecord(self, *core, data_size)) {
    morvel::Status status = call(core->dbm.get(), true);
    after(core);
    return status;
  }
  const std::shared_ptr<DBMCore> share = hold.Share();
  morvel::Status status;
  {
    CoreNativeLock lock(core, true);
    status = call(core->dbm.get(), false);
  }
  after(core);
  return status;
}

// CallEngineForRecord with nothing to do after the call. |call| takes the
// engine database only.
template <typename EngineCall>
morvel::Status CallEngineForRecord(const DBMObject* self, const CoreHold& hold,
                                   size_t data_size, EngineCall&& call) {
  return CallEngineForRecord(
      self, hold, data_size, [&](morvel::DBM* dbm, bool) { return call(dbm); }, [](DBMCore*) {});
}


// The value selector of compare-exchange: None is absent (a null view), the
// DBM.ANY_DATA object itself is the engine's ANY_DATA view, anything else is
// its SoftString bytes, kept alive by |*holder|.
inline std::string_view SelectorView(PyObject* obj, std::unique_ptr<SoftString>* holder) {
  if (obj == Py_None) return std::string_view();
  if (obj == obj_dbm_any_data) return morvel::DBM::ANY_DATA;
  holder->reset(new SoftString(obj));
  return (*holder)->Get();
}

// What ReadPairItem found at one index of a sequence.
enum class PairItem { kError, kSkipped, kPair };

// Reads item |index| of |pyseq|. An item that is a sequence of two or more
// elements gives its first two as new references in |*first| and |*second|
// (kPair); any other item is kSkipped. kError, with the Python error pending,
// when the sequence or the item cannot be read.
PairItem ReadPairItem(PyObject* pyseq, Py_ssize_t index, PyObject** first, PyObject** second);

// (key, selector) pairs with selectors as SelectorView makes them.
using SelectorPairs = std::vector<std::pair<std::string_view, std::string_view>>;

// Converts a Python sequence of (key, selector) pairs. Items that are not
// sequences of at least two elements are skipped; elements after the second are
// ignored. Keys and byte selectors are copied into |*storage|, which the views
// point into: the caller keeps it alive, unchanged and in place, as long as the
// result (moving the vector moves the bytes of short strings with it).
// When the sequence or an item cannot be read, returns an empty list with the
// Python error pending (check PyErr_Occurred()).
// Shared with the asynchronous adapter inside the module; not exported.
SelectorPairs ExtractSelectorPairs(PyObject* pyseq, std::vector<std::string>* storage);

// The expected and desired selector sequences of CompareExchangeMulti, with the
// storage their views point into. Kept in place while the selectors are used.
struct CompareExchangeMultiArgs {
  std::vector<std::string> expected_storage;
  std::vector<std::string> desired_storage;
  SelectorPairs expected;
  SelectorPairs desired;
};

// Reads the two positional arguments of CompareExchangeMulti (the count is
// checked by the caller) into |*args|. False with the Python error set when
// either is not a sequence or an item cannot be read.
bool ReadCompareExchangeMultiArgs(const ArgList& pyargs, CompareExchangeMultiArgs* args);

// (key, processor) pairs, each processor calling one Python callable.
using KFPairs = std::vector<std::pair<std::string, std::shared_ptr<morvel::DBM::RecordProcessor>>>;

// Converts a Python sequence of (key, callable) pairs. Items that are not
// sequences of at least two elements whose second is callable are skipped.
// Each processor holds a strong reference to its callable; it must be run and
// destroyed with the interpreter lock held. A processor calls its callable with
// (key bytes, value bytes or None) and answers: None leaves the record, False
// removes it, anything else is stored as its SoftString bytes. Once a Python
// error is pending (a callable raised), every processor answers NOOP without
// calling anything. When the sequence or an item cannot be read, returns an
// empty list with the Python error pending.
MORVEL_EXPORT KFPairs ExtractKFPairs(PyObject* pyseq);

#endif  // MORVEL_PYTHON_DBM_DBM_COMMON_H_
