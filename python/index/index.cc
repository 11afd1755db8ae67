// The Index class: a Python handle over the index store, a multimap from keys
// to values kept in one ordered database.
//
// Every method checks the handle, counts and converts its arguments with the
// interpreter lock held, makes one store call under NativeLock, and builds its
// result with the lock held again. The store is shared (see index.h): a method
// copies the Index's share before it converts its arguments, since converting
// runs Python code that may close the Index; the call then reaches the closed
// database and fails by its own convention, never freed memory.
//
// Open releases the interpreter lock in every mode, since it may wait for
// another process's file lock, and other Python threads must run meanwhile.
// The Index shows the new store only once the open has returned; until then
// other threads see it unopened, and a second Open as already opening.
//
// Named methods report store failures as the store does (a Status, -1, "").
// A read that fails for another reason than absence is raised as
// StatusException by GetValues and by `in`, since a short list or False would
// report the failure as an answer.

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "index/index.h"
#include "module/arg_list.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"
#include "module/type_util.h"

namespace {

using morvel::PolyIndex;

MORVEL_DEFINE_STATIC_TYPE(type_index)
PyMappingMethods index_as_mapping;
PySequenceMethods index_as_sequence;

// Indexes whose Open runs with the interpreter lock released. Read and written
// only with the interpreter lock.
std::unordered_set<const IndexObject*> opening_indexes;

// A share of the open store of |self|, or null after raising "not opened
// index".
std::shared_ptr<PolyIndex> ShareOpenIndex(IndexObject* self) {
  if (self->index == nullptr) {
    ThrowInvalidArguments("not opened index");
    return nullptr;
  }
  return *self->index;
}

// Takes the share out of the Index, leaving it closed.
std::shared_ptr<PolyIndex> DetachIndex(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = std::move(*self->index);
  delete self->index;
  self->index = nullptr;
  return index;
}

// One store call under the native lock, its status as a new Status object.
template <typename StoreCall>
PyObject* CallForStatus(IndexObject* self, PolyIndex* index, StoreCall&& call) {
  morvel::Status status;
  {
    NativeLock lock(self->concurrent);
    status = call(index);
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* index_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  IndexObject* self = reinterpret_cast<IndexObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->index = nullptr;
  self->concurrent = false;
  return reinterpret_cast<PyObject*>(self);
}

void index_dealloc(IndexObject* self) {
  if (self->index != nullptr) {
    std::shared_ptr<PolyIndex> index = DetachIndex(self);
    // Iterators may still hold shares; close now anyway, so that the file lock
    // is released with this object.
    if (index.use_count() > 1) index->Close();
  }
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int index_init(IndexObject*, PyObject* pytuple, PyObject*) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (pyargs.size() != 0) {
    ThrowInvalidArguments("too many arguments");
    return -1;
  }
  return 0;
}

// The escaped path and the count shown by repr and str.
std::string Describe(IndexObject* self) {
  std::string path = "-";
  int64_t count = -1;
  if (self->index != nullptr) {
    std::shared_ptr<PolyIndex> index = *self->index;
    NativeLock lock(self->concurrent);
    path = index->GetFilePath();
    count = index->Count();
  }
  return "path=" + morvel::StrEscapeC(path, true) + " num_records=" + std::to_string(count);
}

PyObject* index_repr(IndexObject* self) {
  return CreatePyString("<morvel.Index: " + Describe(self) + ">");
}

PyObject* index_str(IndexObject* self) { return CreatePyString(Describe(self)); }

Py_ssize_t index_len(IndexObject* self) {
  if (self->index == nullptr) return 0;
  std::shared_ptr<PolyIndex> index = *self->index;
  int64_t count = 0;
  {
    NativeLock lock(self->concurrent);
    count = index->Count();
  }
  if (count < 0) return 0;
  return count > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(count);
}

int index_contains(IndexObject* self, PyObject* pyobj) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return -1;
  if (!PySequence_Check(pyobj)) {
    ThrowInvalidArguments("not sequence argument");
    return -1;
  }
  const Py_ssize_t size = PySequence_Size(pyobj);
  if (size < 0) return -1;
  if (size != 2) {
    ThrowInvalidArguments("not pair argument");
    return -1;
  }
  PyObject* pykey = PySequence_GetItem(pyobj, 0);
  if (pykey == nullptr) return -1;
  PyObject* pyvalue = PySequence_GetItem(pyobj, 1);
  if (pyvalue == nullptr) {
    Py_DECREF(pykey);
    return -1;
  }
  bool found = false;
  morvel::Status status;
  {
    SoftString key(pykey);
    SoftString value(pyvalue);
    if (!PyErr_Occurred()) {
      NativeLock lock(self->concurrent);
      found = index->Contains(key.Get(), value.Get(), &status);
    }
  }
  Py_DECREF(pyvalue);
  Py_DECREF(pykey);
  if (PyErr_Occurred()) return -1;
  if (found) return 1;
  if (status == morvel::Status::NOT_FOUND_ERROR) return 0;
  ThrowStatusException(status);
  return -1;
}

PyObject* index_iter(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  return CreatePyIndexIterator(index, self->concurrent, true);
}

PyObject* index_Open(IndexObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (self->index != nullptr || opening_indexes.count(self) > 0) {
    ThrowInvalidArguments("opened index");
    return nullptr;
  }
  if (!CheckArgCount(pyargs, 2, 2)) return nullptr;
  SoftString path(pyargs[0]);
  bool writable = false;
  if (!ReadFlag(pyargs[1], &writable)) return nullptr;
  morvel::ParamMap params;
  int32_t options = 0;
  bool concurrent = false;
  if (pykwds != nullptr) {
    params = ExtractMap(pykwds);
    TakeOpenOptions(&params, &concurrent, &options);
  }
  if (PyErr_Occurred()) return nullptr;
  morvel::Status path_status = CheckPath(path.Get());
  if (!path_status.IsOK()) {
    self->concurrent = concurrent;
    return CreatePyStatusMove(std::move(path_status));
  }
  // The conversions above may run Python code (str(), __bool__) that opens
  // this Index; check again now that nothing else runs before it is marked.
  if (self->index != nullptr || opening_indexes.count(self) > 0) {
    ThrowInvalidArguments("opened index");
    return nullptr;
  }
  auto index = std::make_shared<PolyIndex>();
  self->concurrent = concurrent;
  const std::string path_str(path.Get());
  opening_indexes.insert(self);
  morvel::Status status;
  {
    NativeLock lock(true);
    status = index->Open(path_str, writable, options, params);
  }
  opening_indexes.erase(self);
  if (status.IsOK()) self->index = new std::shared_ptr<PolyIndex>(std::move(index));
  return CreatePyStatusMove(std::move(status));
}

PyObject* index_Close(IndexObject* self) {
  if (ShareOpenIndex(self) == nullptr) return nullptr;
  // Detached first, so that other threads see a closed Index at once and a
  // second Close racing this one is refused.
  std::shared_ptr<PolyIndex> index = DetachIndex(self);
  return CallForStatus(self, index.get(), [](PolyIndex* store) { return store->Close(); });
}

PyObject* GetValuesImpl(IndexObject* self, const ArgList& pyargs, bool as_str) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  SoftString key(pyargs[0]);
  size_t max = 0;
  if (pyargs.size() > 1) max = ToSearchCapacity(PyObjToInt(pyargs[1]));
  if (PyErr_Occurred()) return nullptr;
  std::vector<std::string> values;
  morvel::Status status;
  {
    NativeLock lock(self->concurrent);
    values = index->GetValues(key.Get(), max, &status);
  }
  if (!status.IsOK()) {
    ThrowStatusException(status);
    return nullptr;
  }
  if (as_str) return CreatePyStringList(values);
  PyObject* pylist = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (pylist == nullptr) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* pyvalue = CreatePyBytes(values[i]);
    if (pyvalue == nullptr) {
      Py_DECREF(pylist);
      return nullptr;
    }
    PyList_SET_ITEM(pylist, static_cast<Py_ssize_t>(i), pyvalue);
  }
  return pylist;
}

PyObject* index_GetValues(IndexObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetValuesImpl(self, pyargs, false);
}

PyObject* index_GetValuesStr(IndexObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetValuesImpl(self, pyargs, true);
}

// Add and Remove: a key and a value, one store call, a Status.
template <typename StoreCall>
PyObject* ModifyPair(IndexObject* self, const ArgList& pyargs, StoreCall&& call) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 2)) return nullptr;
  SoftString key(pyargs[0]);
  SoftString value(pyargs[1]);
  if (PyErr_Occurred()) return nullptr;
  return CallForStatus(self, index.get(),
                       [&](PolyIndex* store) { return call(store, key.Get(), value.Get()); });
}

PyObject* index_Add(IndexObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ModifyPair(self, pyargs, [](PolyIndex* store, std::string_view key,
                                     std::string_view value) { return store->Add(key, value); });
}

PyObject* index_Remove(IndexObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return ModifyPair(self, pyargs,
                    [](PolyIndex* store, std::string_view key, std::string_view value) {
                      return store->Remove(key, value);
                    });
}

PyObject* index_Count(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  int64_t count = -1;
  {
    NativeLock lock(self->concurrent);
    count = index->Count();
  }
  return PyLong_FromLongLong(count);
}

PyObject* index_GetFilePath(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  std::string path;
  {
    NativeLock lock(self->concurrent);
    path = index->GetFilePath();
  }
  return CreatePyString(path);
}

PyObject* index_Clear(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  return CallForStatus(self, index.get(), [](PolyIndex* store) { return store->Clear(); });
}

PyObject* index_Rebuild(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  return CallForStatus(self, index.get(), [](PolyIndex* store) { return store->Rebuild(); });
}

PyObject* index_Synchronize(IndexObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  bool hard = false;
  if (!ReadFlag(pyargs[0], &hard)) return nullptr;
  return CallForStatus(self, index.get(),
                       [hard](PolyIndex* store) { return store->Synchronize(hard); });
}

PyObject* index_IsOpen(IndexObject* self) { return PyBool_FromLong(self->index != nullptr); }

PyObject* index_IsWritable(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  return PyBool_FromLong(index->IsWritable());
}

PyObject* index_MakeIterator(IndexObject* self) {
  std::shared_ptr<PolyIndex> index = ShareOpenIndex(self);
  if (index == nullptr) return nullptr;
  return CreatePyIndexIterator(index, self->concurrent, false);
}

PyObject* index_enter(IndexObject* self) {
  Py_INCREF(self);
  return reinterpret_cast<PyObject*>(self);
}

// Closes the index if it is still open. A failure to close raises unless the
// block's own exception is already propagating, which is never suppressed.
PyObject* index_exit(IndexObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  if (self->index == nullptr) Py_RETURN_FALSE;
  const bool propagating =
      pyargs.size() > 0 && pyargs[0] != Py_None;
  std::shared_ptr<PolyIndex> index = DetachIndex(self);
  morvel::Status status;
  {
    NativeLock lock(self->concurrent);
    status = index->Close();
  }
  if (!status.IsOK() && !propagating) {
    ThrowStatusException(status);
    return nullptr;
  }
  Py_RETURN_FALSE;
}

PyMethodDef index_methods[] = {
    {"Open", AsPyCFunction(index_Open), METH_VARARGS | METH_KEYWORDS, "Opens an index file."},
    {"Close", AsPyCFunction(index_Close), METH_NOARGS, "Closes the index file."},
    {"GetValues", AsPyCFunction(index_GetValues), METH_FASTCALL,
     "Gets all values of records of a key."},
    {"GetValuesStr", AsPyCFunction(index_GetValuesStr), METH_FASTCALL,
     "Gets all values of records of a key, as strings."},
    {"Add", AsPyCFunction(index_Add), METH_FASTCALL, "Adds a record."},
    {"Remove", AsPyCFunction(index_Remove), METH_FASTCALL, "Removes a record."},
    {"Count", AsPyCFunction(index_Count), METH_NOARGS, "Gets the number of records."},
    {"GetFilePath", AsPyCFunction(index_GetFilePath), METH_NOARGS,
     "Gets the path of the index file."},
    {"Clear", AsPyCFunction(index_Clear), METH_NOARGS, "Removes all records."},
    {"Rebuild", AsPyCFunction(index_Rebuild), METH_NOARGS, "Rebuilds the entire index."},
    {"Synchronize", AsPyCFunction(index_Synchronize), METH_FASTCALL,
     "Synchronizes the content of the index to the file system."},
    {"IsOpen", AsPyCFunction(index_IsOpen), METH_NOARGS, "Checks whether the index is open."},
    {"IsWritable", AsPyCFunction(index_IsWritable), METH_NOARGS,
     "Checks whether the index is writable."},
    {"MakeIterator", AsPyCFunction(index_MakeIterator), METH_NOARGS,
     "Makes an iterator for each record."},
    {"__enter__", AsPyCFunction(index_enter), METH_NOARGS, "Enters a with block."},
    {"__exit__", AsPyCFunction(index_exit), METH_FASTCALL,
     "Closes the index file at the end of a with block."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* FillIndexType() {
  PyTypeObject* type = &type_index;
  ClearTypeObject(type);
  std::memset(&index_as_mapping, 0, sizeof(index_as_mapping));
  std::memset(&index_as_sequence, 0, sizeof(index_as_sequence));
  type->tp_name = "morvel.Index";
  type->tp_basicsize = sizeof(IndexObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Secondary index.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = index_new;
  type->tp_dealloc = reinterpret_cast<destructor>(index_dealloc);
  type->tp_init = reinterpret_cast<initproc>(index_init);
  type->tp_repr = reinterpret_cast<reprfunc>(index_repr);
  type->tp_str = reinterpret_cast<reprfunc>(index_str);
  type->tp_iter = reinterpret_cast<getiterfunc>(index_iter);
  type->tp_methods = index_methods;
  index_as_mapping.mp_length = reinterpret_cast<lenfunc>(index_len);
  type->tp_as_mapping = &index_as_mapping;
  index_as_sequence.sq_contains = reinterpret_cast<objobjproc>(index_contains);
  type->tp_as_sequence = &index_as_sequence;
  return type;
}
