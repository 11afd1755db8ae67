// The Iterator class: a cursor over the records of a DBM.
//
// Positioning and writing methods return a Status; reading methods return the
// data or None and copy the status into an optional receiver. An iterator that
// was allocated but never initialised raises TypeError from every method.
// While a callback runs on the database the iterator walks, every method fails
// at once with the busy status by its own convention (__next__ raises
// StatusException with it), and repr/str show "(unlocated)": no call waits on
// an engine lock that the callback's caller holds.
//
// __next__ and Step first ask the engine iterator for a record it read ahead,
// which needs neither a wait nor a read, so the interpreter lock stays held
// and a scan costs the key and value objects of each record (__next__ hands
// them out in its last tuple once the caller dropped it); only when none is at
// hand do they make the usual engine call.
//
// __next__ ends with StopIteration only at the real end, NOT_FOUND_ERROR from
// the engine iterator; any other failure, of the read or of the move before it,
// raises StatusException, since ending early would report a failure as success.

#include "iterator/iterator.h"

#include <string>

#include "module/arg_list.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"
#include "module/type_util.h"

namespace {

MORVEL_DEFINE_STATIC_TYPE(type_iter)

constexpr char kUnlocated[] = "(unlocated)";

// The share of an initialised iterator, or null with TypeError.
std::shared_ptr<IteratorCore> GetCore(IteratorObject* self) {
  if (self->iter == nullptr) {
    ThrowInvalidArguments("not initialized iterator");
    return nullptr;
  }
  return *self->iter;
}

bool IsBusy(const IteratorCore& core) { return IsBusyInCallback(*core.db); }

// Runs |op| on the engine iterator under the native lock and the core's mutex.
template <typename Op>
morvel::Status RunOnIterator(IteratorObject* self, IteratorCore& core, Op op) {
  CoreNativeLock lock(core.db.get(), self->concurrent);
  std::lock_guard<std::mutex> guard(core.mutex);
  return op(core.iter.get());
}

// Whether a status of a move or a read is a failure and not the real end.
bool IsFailureBeforeEnd(const morvel::Status& status) {
  return !status.IsOK() && status != morvel::Status::NOT_FOUND_ERROR;
}

// Makes a new engine iterator over |db_core| under its native lock, placed on
// the first record when |first| (the status of that move into |*first_status|).
// Null with StatusException when the engine gives none.
std::unique_ptr<morvel::DBM::Iterator> MakeEngineIterator(DBMCore& db_core, bool concurrent,
                                                          bool first,
                                                          morvel::Status* first_status) {
  std::unique_ptr<morvel::DBM::Iterator> iter;
  {
    CoreNativeLock lock(&db_core, concurrent);
    iter = db_core.dbm->MakeIterator();
    if (iter != nullptr && first) *first_status = iter->First();
  }
  if (iter == nullptr) {
    ThrowStatusException(
        morvel::Status(morvel::Status::PRECONDITION_ERROR, "no iterator could be made"));
  }
  return iter;
}

// Replaces the engine iterator of |self|; the old one is destroyed before its
// database share is dropped.
void ResetIterator(IteratorObject* self, const std::shared_ptr<DBMCore>& db_core,
                   std::unique_ptr<morvel::DBM::Iterator> iter, bool concurrent) {
  std::shared_ptr<IteratorCore>* old_iter = self->iter;
  self->iter = new std::shared_ptr<IteratorCore>(
      std::make_shared<IteratorCore>(db_core, std::move(iter)));
  self->concurrent = concurrent;
  delete old_iter;
}

PyObject* iter_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  IteratorObject* self = reinterpret_cast<IteratorObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->iter = nullptr;
  self->concurrent = false;
  self->last_pair = nullptr;
  self->last_pair = nullptr;
  return reinterpret_cast<PyObject*>(self);
}

void iter_dealloc(IteratorObject* self) {
  Py_XDECREF(self->last_pair);
  delete self->iter;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int iter_init(IteratorObject* self, PyObject* pytuple, PyObject*) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (!CheckArgCount(pyargs, 1, 1)) return -1;
  PyObject* pydbm = pyargs[0];
  if (!PyObject_TypeCheck(pydbm, cls_dbm)) {
    ThrowInvalidArguments("the argument is not a DBM");
    return -1;
  }
  DBMObject* dbm = reinterpret_cast<DBMObject*>(pydbm);
  if (dbm->dbm == nullptr) {
    ThrowInvalidArguments("not opened database");
    return -1;
  }
  std::shared_ptr<DBMCore> db_core = *dbm->dbm;
  if (IsBusyInCallback(*db_core)) {
    ThrowStatusException(BusyCallbackStatus());
    return -1;
  }
  const bool concurrent = dbm->concurrent;
  morvel::Status first_status;
  std::unique_ptr<morvel::DBM::Iterator> iter =
      MakeEngineIterator(*db_core, concurrent, false, &first_status);
  if (iter == nullptr) return -1;
  ResetIterator(self, db_core, std::move(iter), concurrent);
  return 0;
}

// The key of the current record, escaped, or "(unlocated)".
std::string DescribeKey(IteratorObject* self) {
  std::string key = kUnlocated;
  if (self->iter != nullptr) {
    std::shared_ptr<IteratorCore> core = *self->iter;
    if (!IsBusy(*core)) {
      std::string current;
      const morvel::Status status = RunOnIterator(
          self, *core, [&](morvel::DBM::Iterator* iter) { return iter->Get(&current, nullptr); });
      if (status.IsOK()) key = std::move(current);
    }
  }
  return morvel::StrEscapeC(key, true);
}

PyObject* iter_repr(IteratorObject* self) {
  return CreatePyString("<morvel.Iterator: key=" + DescribeKey(self) + ">");
}

PyObject* iter_str(IteratorObject* self) {
  return CreatePyString(DescribeKey(self));
}

// A (key, value) tuple of bytes for __next__, taking over |pykey| and
// |pyvalue| (null when either is null, a failed creation). Reuses the tuple
// last returned when the caller holds it no more, which saves a tuple per
// record of a scan.
PyObject* MakeNextPair(IteratorObject* self, PyObject* pykey, PyObject* pyvalue) {
  if (pykey == nullptr || pyvalue == nullptr) {
    Py_XDECREF(pykey);
    Py_XDECREF(pyvalue);
    return nullptr;
  }
  PyObject* pair = self->last_pair;
  if (pair != nullptr && Py_REFCNT(pair) == 1) {
    PyObject* old_key = PyTuple_GET_ITEM(pair, 0);
    PyObject* old_value = PyTuple_GET_ITEM(pair, 1);
    PyTuple_SET_ITEM(pair, 0, pykey);
    PyTuple_SET_ITEM(pair, 1, pyvalue);
    // Dropped last: freeing bytes runs no Python code, but the tuple is whole
    // before anything is freed.
    Py_DECREF(old_key);
    Py_DECREF(old_value);
    return Py_NewRef(pair);
  }
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) {
    Py_DECREF(pykey);
    Py_DECREF(pyvalue);
    return nullptr;
  }
  PyTuple_SET_ITEM(tuple, 0, pykey);
  PyTuple_SET_ITEM(tuple, 1, pyvalue);
  self->last_pair = Py_NewRef(tuple);
  Py_XDECREF(pair);
  return tuple;
}

// The fast path of __next__ and Step: when the engine iterator holds the
// current record among those it read ahead, takes it without releasing the
// interpreter lock (the engine neither waits nor reads then) and sets |*pair|
// to (key bytes, value bytes), or to null with the error of a failed
// conversion. False, with nothing done, when the engine has no record at hand
// or another thread drives the iterator; the caller then takes the usual path.
// With |as_str|, the pair is of str as CreatePyString makes them; with
// |reuse|, __next__'s tuple may be reused (see MakeNextPair).
bool StepReadAhead(IteratorObject* self, IteratorCore& core, PyObject** pair,
                   bool as_str = false, bool reuse = false) {
  std::unique_lock<std::mutex> guard(core.mutex, std::try_to_lock);
  if (!guard.owns_lock()) return false;
  std::string_view key, value;
  if (!core.iter->StepReadAhead(&key, &value)) return false;
  if (as_str) {
    *pair = CreatePyPair(CreatePyString(key), CreatePyString(value));
    return true;
  }
  // Built directly: this is the inner loop of every scan.
  PyObject* pykey = PyBytes_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
  PyObject* pyvalue =
      PyBytes_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size()));
  guard.unlock();
  *pair = reuse ? MakeNextPair(self, pykey, pyvalue) : CreatePyPair(pykey, pyvalue);
  return true;
}

PyObject* iter_iternext(IteratorObject* self) {
  if (self->iter == nullptr) {
    ThrowInvalidArguments("not initialized iterator");
    return nullptr;
  }
  // Borrowed on the fast path, which runs no Python code and keeps the
  // interpreter lock; the slow path takes a share before releasing it.
  IteratorCore* borrowed = self->iter->get();
  if (IsBusy(*borrowed)) {
    ThrowStatusException(BusyCallbackStatus());
    return nullptr;
  }
  if (!borrowed->failed_move.IsOK()) {
    const morvel::Status failed_move = std::move(borrowed->failed_move);
    borrowed->failed_move = morvel::Status();
    ThrowStatusException(failed_move);
    return nullptr;
  }
  PyObject* pair = nullptr;
  if (StepReadAhead(self, *borrowed, &pair, false, true)) return pair;
  const std::shared_ptr<IteratorCore> core = *self->iter;
  std::string key, value;
  const morvel::Status status = RunOnIterator(
      self, *core, [&](morvel::DBM::Iterator* iter) { return iter->Get(&key, &value); });
  if (IsFailureBeforeEnd(status)) {
    ThrowStatusException(status);
    return nullptr;
  }
  if (!status.IsOK()) {
    PyErr_SetString(PyExc_StopIteration, "end of iteration");
    return nullptr;
  }
  pair = MakeNextPair(self, CreatePyBytes(key), CreatePyBytes(value));
  if (pair == nullptr) return nullptr;
  // The advance keeps the interpreter lock, so the mutex is taken with it held;
  // holders of the mutex never wait for the interpreter lock.
  morvel::Status move_status;
  {
    std::lock_guard<std::mutex> guard(core->mutex);
    move_status = core->iter->Next();
  }
  if (IsFailureBeforeEnd(move_status)) core->failed_move = std::move(move_status);
  return pair;
}

// The shape of every positioning and writing method: state check, argument
// conversions by the caller, busy check, one engine call, a new Status.
// Set and Remove use it as it is; the positioning methods through Move.
template <typename Op>
PyObject* MoveOrWrite(IteratorObject* self, const std::shared_ptr<IteratorCore>& core, Op op) {
  if (IsBusy(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  return CreatePyStatusMove(RunOnIterator(self, *core, op));
}

// MoveOrWrite for the methods that place the iterator. A move that fails
// before the end also leaves the engine iterator at its end, so the next
// __next__ raises the failure instead of ending as at the real end.
template <typename Op>
PyObject* Move(IteratorObject* self, const std::shared_ptr<IteratorCore>& core, Op op) {
  if (IsBusy(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  morvel::Status status = RunOnIterator(self, *core, op);
  core->failed_move = IsFailureBeforeEnd(status) ? status : morvel::Status();
  return CreatePyStatusMove(std::move(status));
}

PyObject* iter_First(IteratorObject* self) {
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](morvel::DBM::Iterator* iter) { return iter->First(); });
}

PyObject* iter_Last(IteratorObject* self) {
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](morvel::DBM::Iterator* iter) { return iter->Last(); });
}

PyObject* iter_Jump(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  SoftString key(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  return Move(self, core, [&](morvel::DBM::Iterator* iter) { return iter->Jump(key.Get()); });
}

// JumpLower and JumpUpper: a key and an optional inclusive flag.
template <typename Op>
PyObject* JumpBounded(IteratorObject* self, const ArgList& pyargs, Op op) {
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  // The key is converted before the flag is evaluated.
  SoftString key(pyargs[0]);
  bool inclusive = false;
  if (pyargs.size() > 1 && !ReadFlag(pyargs[1], &inclusive)) {
    return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  return Move(self, core,
              [&](morvel::DBM::Iterator* iter) { return op(iter, key.Get(), inclusive); });
}

PyObject* iter_JumpLower(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return JumpBounded(self, pyargs,
                     [](morvel::DBM::Iterator* iter, std::string_view key, bool inclusive) {
                       return iter->JumpLower(key, inclusive);
                     });
}

PyObject* iter_JumpUpper(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return JumpBounded(self, pyargs,
                     [](morvel::DBM::Iterator* iter, std::string_view key, bool inclusive) {
                       return iter->JumpUpper(key, inclusive);
                     });
}

PyObject* iter_Next(IteratorObject* self) {
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](morvel::DBM::Iterator* iter) { return iter->Next(); });
}

PyObject* iter_Previous(IteratorObject* self) {
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](morvel::DBM::Iterator* iter) { return iter->Previous(); });
}

PyObject* iter_Set(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  SoftString value(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  return MoveOrWrite(self, core, [&](morvel::DBM::Iterator* iter) {
    return iter->Set(value.Get(), nullptr, nullptr);
  });
}

PyObject* iter_Remove(IteratorObject* self) {
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return MoveOrWrite(self, core,
                     [](morvel::DBM::Iterator* iter) { return iter->Remove(nullptr, nullptr); });
}

enum class ReadPart { kKey, kValue, kBoth };

// The shape of every reading method: state check, receiver check, busy check,
// one engine call (Get, or Step when |step|), the receiver filled, then the
// data or None.
PyObject* ReadCurrent(IteratorObject* self, const ArgList& pyargs, ReadPart part, bool as_str,
                      bool step) {
  std::shared_ptr<IteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 0, 1)) return nullptr;
  PyObject* pyreceiver = pyargs.size() > 0 ? pyargs[0] : nullptr;
  if (!CheckStatusReceiver(pyreceiver)) return nullptr;
  std::string key, value;
  std::string* key_ptr = part == ReadPart::kValue ? nullptr : &key;
  std::string* value_ptr = part == ReadPart::kKey ? nullptr : &value;
  morvel::Status status;
  if (IsBusy(*core)) {
    status = BusyCallbackStatus();
  } else {
    PyObject* pair = nullptr;
    if (step && part == ReadPart::kBoth && StepReadAhead(self, *core, &pair, as_str)) {
      // A record read ahead: the status is success.
      if (pair != nullptr && !SetStatusReceiver(pyreceiver, status)) {
        Py_DECREF(pair);
        return nullptr;
      }
      return pair;
    }
    status = RunOnIterator(self, *core, [&](morvel::DBM::Iterator* iter) {
      return step ? iter->Step(key_ptr, value_ptr) : iter->Get(key_ptr, value_ptr);
    });
  }
  if (!SetStatusReceiver(pyreceiver, status)) return nullptr;
  if (!status.IsOK()) Py_RETURN_NONE;
  auto convert = [as_str](const std::string& data) {
    return as_str ? CreatePyString(data) : CreatePyBytes(data);
  };
  if (part == ReadPart::kKey) return convert(key);
  if (part == ReadPart::kValue) return convert(value);
  return CreatePyPair(convert(key), convert(value));
}

PyObject* iter_Get(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kBoth, false, false);
}

PyObject* iter_GetStr(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kBoth, true, false);
}

PyObject* iter_GetKey(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kKey, false, false);
}

PyObject* iter_GetKeyStr(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kKey, true, false);
}

PyObject* iter_GetValue(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kValue, false, false);
}

PyObject* iter_GetValueStr(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kValue, true, false);
}

PyObject* iter_Step(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kBoth, false, true);
}

PyObject* iter_StepStr(IteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ReadCurrent(self, pyargs, ReadPart::kBoth, true, true);
}

PyMethodDef iter_methods[] = {
    {"First", AsPyCFunction(iter_First), METH_NOARGS,
     "Initializes the iterator to indicate the first record."},
    {"Last", AsPyCFunction(iter_Last), METH_NOARGS,
     "Initializes the iterator to indicate the last record."},
    {"Jump", AsPyCFunction(iter_Jump), METH_FASTCALL,
     "Initializes the iterator to indicate a specific record."},
    {"JumpLower", AsPyCFunction(iter_JumpLower), METH_FASTCALL,
     "Initializes the iterator to indicate the last record whose key is lower."},
    {"JumpUpper", AsPyCFunction(iter_JumpUpper), METH_FASTCALL,
     "Initializes the iterator to indicate the first record whose key is upper."},
    {"Next", AsPyCFunction(iter_Next), METH_NOARGS,
     "Moves the iterator to the next record."},
    {"Previous", AsPyCFunction(iter_Previous), METH_NOARGS,
     "Moves the iterator to the previous record."},
    {"Get", AsPyCFunction(iter_Get), METH_FASTCALL,
     "Gets the key and the value of the current record of the iterator."},
    {"GetStr", AsPyCFunction(iter_GetStr), METH_FASTCALL,
     "Gets the key and the value of the current record of the iterator, as strings."},
    {"GetKey", AsPyCFunction(iter_GetKey), METH_FASTCALL,
     "Gets the key of the current record."},
    {"GetKeyStr", AsPyCFunction(iter_GetKeyStr), METH_FASTCALL,
     "Gets the key of the current record, as a string."},
    {"GetValue", AsPyCFunction(iter_GetValue), METH_FASTCALL,
     "Gets the value of the current record."},
    {"GetValueStr", AsPyCFunction(iter_GetValueStr), METH_FASTCALL,
     "Gets the value of the current record, as a string."},
    {"Set", AsPyCFunction(iter_Set), METH_FASTCALL,
     "Sets the value of the current record."},
    {"Remove", AsPyCFunction(iter_Remove), METH_NOARGS,
     "Removes the current record."},
    {"Step", AsPyCFunction(iter_Step), METH_FASTCALL,
     "Gets the current record and moves the iterator to the next record."},
    {"StepStr", AsPyCFunction(iter_StepStr), METH_FASTCALL,
     "Gets the current record and moves the iterator to the next record, as strings."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* CreatePyIterator(const std::shared_ptr<DBMCore>& db_core, bool concurrent, bool first) {
  PyObject* pyobj = cls_iter->tp_alloc(cls_iter, 0);
  if (pyobj == nullptr) return nullptr;
  IteratorObject* self = reinterpret_cast<IteratorObject*>(pyobj);
  self->iter = nullptr;
  self->concurrent = false;
  self->last_pair = nullptr;
  morvel::Status first_status;
  std::unique_ptr<morvel::DBM::Iterator> iter =
      MakeEngineIterator(*db_core, concurrent, first, &first_status);
  if (iter == nullptr) {
    Py_DECREF(pyobj);
    return nullptr;
  }
  ResetIterator(self, db_core, std::move(iter), concurrent);
  if (IsFailureBeforeEnd(first_status)) (*self->iter)->failed_move = std::move(first_status);
  return pyobj;
}

PyTypeObject* FillIteratorType() {
  PyTypeObject* type = &type_iter;
  ClearTypeObject(type);
  type->tp_name = "morvel.Iterator";
  type->tp_basicsize = sizeof(IteratorObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Iterator for each record.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = iter_new;
  type->tp_dealloc = reinterpret_cast<destructor>(iter_dealloc);
  type->tp_init = reinterpret_cast<initproc>(iter_init);
  type->tp_repr = reinterpret_cast<reprfunc>(iter_repr);
  type->tp_str = reinterpret_cast<reprfunc>(iter_str);
  type->tp_iternext = reinterpret_cast<iternextfunc>(iter_iternext);
  type->tp_methods = iter_methods;
  return type;
}
