// The IndexIterator class: a cursor over the (key, value) pairs of an Index,
// by key, then by value.
//
// Moving methods return None and drop the store's status; reading methods
// return None when there is no current pair. An object that was allocated but
// never initialised raises TypeError from its methods, shows "(unlocated)" and
// ends iteration at once.
//
// The cursor lives in an IndexIteratorCore with a share of its store, so it
// outlives Index.Close and the Index itself: its calls then fail, never touch
// freed memory. __next__ ends with StopIteration only at the real end
// (NOT_FOUND_ERROR); any other failure of its read, or of the advance before
// it, raises StatusException, since ending early would report a failure as
// the end of the pairs.

#include <string>

#include "index/index.h"
#include "module/arg_list.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"
#include "module/type_util.h"

namespace {

using morvel::PolyIndex;

MORVEL_DEFINE_STATIC_TYPE(type_indexiter)

constexpr char kUnlocated[] = "(unlocated)";

// The share of an initialised iterator, or null with TypeError.
std::shared_ptr<IndexIteratorCore> GetCore(IndexIteratorObject* self) {
  if (self->iter == nullptr) {
    ThrowInvalidArguments("not initialized iterator");
    return nullptr;
  }
  return *self->iter;
}

// Runs |op| on the cursor under the native lock and the core's mutex.
template <typename Op>
auto RunOnCursor(bool concurrent, IndexIteratorCore& core, Op op) {
  NativeLock lock(concurrent);
  std::lock_guard<std::mutex> guard(core.mutex);
  return op(core.iter.get());
}

// Whether a status of a move or a read is a failure and not the real end.
bool IsFailureBeforeEnd(const morvel::Status& status) {
  return !status.IsOK() && status != morvel::Status::NOT_FOUND_ERROR;
}

// Makes a cursor over |index| under its native lock, placed on the first pair
// when |first|, and installs it in |self| in place of any older one.
void ResetCursor(IndexIteratorObject* self, const std::shared_ptr<PolyIndex>& index,
                 bool concurrent, bool first) {
  std::unique_ptr<PolyIndex::Iterator> cursor;
  morvel::Status first_status;
  {
    NativeLock lock(concurrent);
    cursor = index->MakeIterator();
    if (first) first_status = cursor->First();
  }
  std::shared_ptr<IndexIteratorCore>* old_iter = self->iter;
  self->iter = new std::shared_ptr<IndexIteratorCore>(
      std::make_shared<IndexIteratorCore>(index, std::move(cursor)));
  self->concurrent = concurrent;
  if (IsFailureBeforeEnd(first_status)) (*self->iter)->failed_move = std::move(first_status);
  delete old_iter;
}

PyObject* indexiter_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  IndexIteratorObject* self =
      reinterpret_cast<IndexIteratorObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->iter = nullptr;
  self->concurrent = false;
  return reinterpret_cast<PyObject*>(self);
}

void indexiter_dealloc(IndexIteratorObject* self) {
  delete self->iter;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int indexiter_init(IndexIteratorObject* self, PyObject* pytuple, PyObject*) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (!CheckArgCount(pyargs, 1, 1)) return -1;
  PyObject* pyindex = pyargs[0];
  if (!PyObject_TypeCheck(pyindex, cls_index)) {
    ThrowInvalidArguments("the argument is not an Index");
    return -1;
  }
  IndexObject* index = reinterpret_cast<IndexObject*>(pyindex);
  if (index->index == nullptr) {
    ThrowInvalidArguments("not opened index");
    return -1;
  }
  const std::shared_ptr<PolyIndex> store = *index->index;
  ResetCursor(self, store, index->concurrent, false);
  return 0;
}

// The key part of the current pair, escaped, or "(unlocated)".
std::string DescribeKey(IndexIteratorObject* self) {
  std::string key = kUnlocated;
  if (self->iter != nullptr) {
    std::shared_ptr<IndexIteratorCore> core = *self->iter;
    std::string current;
    const bool found = RunOnCursor(self->concurrent, *core, [&](PolyIndex::Iterator* iter) {
      return iter->Get(&current, nullptr);
    });
    if (found) key = std::move(current);
  }
  return morvel::StrEscapeC(key, true);
}

PyObject* indexiter_repr(IndexIteratorObject* self) {
  return CreatePyString("<morvel.IndexIterator: key=" + DescribeKey(self) + ">");
}

PyObject* indexiter_str(IndexIteratorObject* self) { return CreatePyString(DescribeKey(self)); }

PyObject* indexiter_iternext(IndexIteratorObject* self) {
  if (self->iter == nullptr) {
    PyErr_SetString(PyExc_StopIteration, "end of iteration");
    return nullptr;
  }
  std::shared_ptr<IndexIteratorCore> core = *self->iter;
  if (!core->failed_move.IsOK()) {
    const morvel::Status failed_move = std::move(core->failed_move);
    core->failed_move = morvel::Status();
    ThrowStatusException(failed_move);
    return nullptr;
  }
  std::string key, value;
  const morvel::Status status = RunOnCursor(
      self->concurrent, *core, [&](PolyIndex::Iterator* iter) { return iter->Read(&key, &value); });
  if (IsFailureBeforeEnd(status)) {
    ThrowStatusException(status);
    return nullptr;
  }
  if (!status.IsOK()) {
    PyErr_SetString(PyExc_StopIteration, "end of iteration");
    return nullptr;
  }
  PyObject* pair = CreatePyPair(CreatePyBytes(key), CreatePyBytes(value));
  if (pair == nullptr) return nullptr;
  // The advance keeps the interpreter lock, so the mutex is taken with it
  // held; holders of the mutex never wait for the interpreter lock.
  morvel::Status move_status;
  {
    std::lock_guard<std::mutex> guard(core->mutex);
    move_status = core->iter->Next();
  }
  if (IsFailureBeforeEnd(move_status)) core->failed_move = std::move(move_status);
  return pair;
}

// The shape of every moving method: one cursor call, its status dropped (a
// failure shows in the next read), None.
template <typename Op>
PyObject* Move(IndexIteratorObject* self, const std::shared_ptr<IndexIteratorCore>& core, Op op) {
  RunOnCursor(self->concurrent, *core, op);
  core->failed_move = morvel::Status();
  Py_RETURN_NONE;
}

PyObject* indexiter_First(IndexIteratorObject* self) {
  std::shared_ptr<IndexIteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](PolyIndex::Iterator* iter) { return iter->First(); });
}

PyObject* indexiter_Last(IndexIteratorObject* self) {
  std::shared_ptr<IndexIteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](PolyIndex::Iterator* iter) { return iter->Last(); });
}

PyObject* indexiter_Jump(IndexIteratorObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<IndexIteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  SoftString key(pyargs[0]);
  SoftString value(pyargs.size() > 1 ? pyargs[1] : Py_None);
  if (PyErr_Occurred()) return nullptr;
  return Move(self, core,
              [&](PolyIndex::Iterator* iter) { return iter->Jump(key.Get(), value.Get()); });
}

PyObject* indexiter_Next(IndexIteratorObject* self) {
  std::shared_ptr<IndexIteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](PolyIndex::Iterator* iter) { return iter->Next(); });
}

PyObject* indexiter_Previous(IndexIteratorObject* self) {
  std::shared_ptr<IndexIteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  return Move(self, core, [](PolyIndex::Iterator* iter) { return iter->Previous(); });
}

// Get and GetStr: the current pair as a tuple, or None.
PyObject* ReadPair(IndexIteratorObject* self, bool as_str) {
  std::shared_ptr<IndexIteratorCore> core = GetCore(self);
  if (core == nullptr) return nullptr;
  std::string key, value;
  const bool found = RunOnCursor(self->concurrent, *core,
                                 [&](PolyIndex::Iterator* iter) { return iter->Get(&key, &value); });
  if (!found) Py_RETURN_NONE;
  if (as_str) return CreatePyPair(CreatePyString(key), CreatePyString(value));
  return CreatePyPair(CreatePyBytes(key), CreatePyBytes(value));
}

PyObject* indexiter_Get(IndexIteratorObject* self) { return ReadPair(self, false); }

PyObject* indexiter_GetStr(IndexIteratorObject* self) { return ReadPair(self, true); }

PyMethodDef indexiter_methods[] = {
    {"First", AsPyCFunction(indexiter_First), METH_NOARGS,
     "Initializes the iterator to indicate the first record."},
    {"Last", AsPyCFunction(indexiter_Last), METH_NOARGS,
     "Initializes the iterator to indicate the last record."},
    {"Jump", AsPyCFunction(indexiter_Jump), METH_FASTCALL,
     "Initializes the iterator to indicate a specific range."},
    {"Next", AsPyCFunction(indexiter_Next), METH_NOARGS, "Moves the iterator to the next record."},
    {"Previous", AsPyCFunction(indexiter_Previous), METH_NOARGS,
     "Moves the iterator to the previous record."},
    {"Get", AsPyCFunction(indexiter_Get), METH_NOARGS,
     "Gets the key and the value of the current record of the iterator."},
    {"GetStr", AsPyCFunction(indexiter_GetStr), METH_NOARGS,
     "Gets the key and the value of the current record of the iterator, as strings."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* CreatePyIndexIterator(const std::shared_ptr<PolyIndex>& index, bool concurrent,
                                bool first) {
  PyObject* pyobj = cls_indexiter->tp_alloc(cls_indexiter, 0);
  if (pyobj == nullptr) return nullptr;
  IndexIteratorObject* self = reinterpret_cast<IndexIteratorObject*>(pyobj);
  self->iter = nullptr;
  self->concurrent = false;
  ResetCursor(self, index, concurrent, first);
  return pyobj;
}

PyTypeObject* FillIndexIteratorType() {
  PyTypeObject* type = &type_indexiter;
  ClearTypeObject(type);
  type->tp_name = "morvel.IndexIterator";
  type->tp_basicsize = sizeof(IndexIteratorObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Iterator for each record of the secondary index.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = indexiter_new;
  type->tp_dealloc = reinterpret_cast<destructor>(indexiter_dealloc);
  type->tp_init = reinterpret_cast<initproc>(indexiter_init);
  type->tp_repr = reinterpret_cast<reprfunc>(indexiter_repr);
  type->tp_str = reinterpret_cast<reprfunc>(indexiter_str);
  type->tp_iternext = reinterpret_cast<iternextfunc>(indexiter_iternext);
  type->tp_methods = indexiter_methods;
  return type;
}
