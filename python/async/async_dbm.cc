// The AsyncDBM class: hands database operations to the engine's asynchronous
// adapter and returns a Future for each.
//
// Every method has the same shape: the destructed check (before the argument
// count), the argument count, the conversions with the interpreter lock held,
// one adapter call (which copies what it needs and returns at once, so the lock
// is kept), and the Future. No method waits; failures of the operation are the
// Status of the Future's result.
//
// Lifetime: the adapter and its queued operations hold a share of the DBM's
// engine database (the DBMCore shared with iterators), and of the destination
// DBM or File of a transfer, so closing or dropping those objects while
// operations are pending never frees what a worker uses; the operations then
// report the closed object's PRECONDITION_ERROR.

#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "async/future.h"
#include "dbm/dbm_common.h"
#include "file/file.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/type_util.h"

namespace {

using morvel::StatusFuture;

struct AsyncDBMObject {
  PyObject_HEAD
  // The engine adapter, owned; null until __init__ succeeds and after Destruct.
  morvel::AsyncDBM* adapter;
  // The concurrent flag of the DBM, handed to every Future.
  bool concurrent;
  // The database the adapter serves, watched for the busy rule (see Future).
  // Constructed in place, since the record is raw memory.
  std::weak_ptr<DBMCore> source;
};

MORVEL_DEFINE_STATIC_TYPE(type_asyncdbm)

// Destroys |adapter|, which runs what is queued and joins the workers. While a
// callable of a callback method runs on the database, a queued operation may
// wait for record locks the callable's caller holds, so joining here would never
// end; the adapter is then destroyed by a thread of its own, which touches no
// Python object.
void DestroyAdapter(morvel::AsyncDBM* adapter, const std::weak_ptr<DBMCore>& source) {
  if (adapter == nullptr) return;
  // The adapter holds a share of the database, so it is still there.
  std::shared_ptr<DBMCore> core = source.lock();
  if (core != nullptr) core->released_calls--;
  if (core != nullptr && IsBusyInCallback(*core)) {
    try {
      std::thread([adapter] { delete adapter; }).detach();
      return;
    } catch (const std::exception&) {
      // No thread: waiting here is all that is left.
    }
  }
  delete adapter;
}

// The adapter of |self|, or null with "destructed object".
morvel::AsyncDBM* GetAdapter(AsyncDBMObject* self) {
  if (self->adapter == nullptr) ThrowInvalidArguments("destructed object");
  return self->adapter;
}

// The Future of an operation just handed over.
PyObject* WrapFuture(AsyncDBMObject* self, StatusFuture future, bool is_str) {
  return CreatePyFuture(std::move(future), self->concurrent, is_str, self->source);
}

// Owned copies of the SoftString bytes of every positional argument, in order.
std::vector<std::string> ExtractKeys(const ArgList& pyargs) {
  const Py_ssize_t num_args = pyargs.size();
  std::vector<std::string> keys;
  keys.reserve(num_args);
  for (Py_ssize_t i = 0; i < num_args; i++) {
    SoftString key(pyargs[i]);
    keys.emplace_back(key.Get());
  }
  return keys;
}

std::vector<std::string_view> ViewsOf(const std::vector<std::string>& strings) {
  return std::vector<std::string_view>(strings.begin(), strings.end());
}

std::map<std::string_view, std::string_view> ViewsOf(const morvel::ParamMap& records) {
  std::map<std::string_view, std::string_view> views;
  for (const auto& [key, value] : records) views.emplace_hint(views.end(), key, value);
  return views;
}

// The keyword arguments as a string map; empty without any. False with the
// error pending when reading them raised.
bool ReadKeywordMap(PyObject* pykwds, morvel::ParamMap* map) {
  if (pykwds != nullptr) *map = ExtractMap(pykwds);
  return !PyErr_Occurred();
}

PyObject* asyncdbm_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  AsyncDBMObject* self = reinterpret_cast<AsyncDBMObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->adapter = nullptr;
  self->concurrent = false;
  new (&self->source) std::weak_ptr<DBMCore>();
  return reinterpret_cast<PyObject*>(self);
}

void asyncdbm_dealloc(AsyncDBMObject* self) {
  DestroyAdapter(self->adapter, self->source);
  self->source.~weak_ptr();
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int asyncdbm_init(AsyncDBMObject* self, PyObject* pytuple, PyObject*) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (!CheckArgCount(pyargs, 2, 2)) return -1;
  PyObject* pydbm = pyargs[0];
  if (!PyObject_TypeCheck(pydbm, cls_dbm)) {
    ThrowInvalidArguments("the argument is not a DBM");
    return -1;
  }
  DBMObject* dbm = reinterpret_cast<DBMObject*>(pydbm);
  std::shared_ptr<DBMCore> core = ShareOpenCore(dbm);
  if (core == nullptr) return -1;
  const int32_t num_workers = static_cast<int32_t>(PyObjToInt(pyargs[1]));
  if (PyErr_Occurred()) return -1;
  // The share points at the engine database and owns the core around it.
  std::shared_ptr<morvel::DBM> engine_dbm(core, core->dbm.get());
  morvel::AsyncDBM* adapter = new (std::nothrow) morvel::AsyncDBM(std::move(engine_dbm), num_workers);
  if (adapter == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  // The workers take the database's locks at any time: calls on it in
  // concurrent mode release the interpreter lock while the adapter lives.
  core->released_calls++;
  morvel::AsyncDBM* old_adapter = self->adapter;
  const std::weak_ptr<DBMCore> old_source = self->source;
  self->adapter = adapter;
  self->concurrent = dbm->concurrent;
  self->source = core;
  DestroyAdapter(old_adapter, old_source);
  return 0;
}

PyObject* asyncdbm_repr(AsyncDBMObject* self) {
  return CreatePyString(
      morvel::SPrintF("<morvel.AsyncDBM: %p>", static_cast<void*>(self->adapter)));
}

PyObject* asyncdbm_str(AsyncDBMObject* self) {
  return CreatePyString(morvel::SPrintF("AsyncDBM:%p", static_cast<void*>(self->adapter)));
}

PyObject* asyncdbm_Destruct(AsyncDBMObject* self) {
  if (GetAdapter(self) == nullptr) return nullptr;
  morvel::AsyncDBM* adapter = self->adapter;
  self->adapter = nullptr;
  DestroyAdapter(adapter, self->source);
  Py_RETURN_NONE;
}

PyObject* GetCommon(AsyncDBMObject* self, const ArgList& pyargs, bool is_str) {
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 1)) return nullptr;
  SoftString key(pyargs[0]);
  return WrapFuture(self, adapter->Get(key.Get()), is_str);
}

PyObject* asyncdbm_Get(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetCommon(self, pyargs, false);
}

PyObject* asyncdbm_GetStr(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetCommon(self, pyargs, true);
}

PyObject* GetMultiCommon(AsyncDBMObject* self, const ArgList& pyargs, bool is_str) {
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr) return nullptr;
  const std::vector<std::string> keys = ExtractKeys(pyargs);
  return WrapFuture(self, adapter->GetMulti(ViewsOf(keys)), is_str);
}

PyObject* asyncdbm_GetMulti(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetMultiCommon(self, pyargs, false);
}

PyObject* asyncdbm_GetMultiStr(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return GetMultiCommon(self, pyargs, true);
}

PyObject* asyncdbm_Set(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 2, 3)) return nullptr;
  bool overwrite = true;
  if (!ReadOptionalFlag(pyargs, 2, &overwrite)) return nullptr;
  SoftString key(pyargs[0]);
  SoftString value(pyargs[1]);
  return WrapFuture(self, adapter->Set(key.Get(), value.Get(), overwrite), false);
}

PyObject* asyncdbm_SetMulti(AsyncDBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 0, 1)) return nullptr;
  bool overwrite = true;
  if (!ReadOptionalFlag(pyargs, 0, &overwrite)) return nullptr;
  morvel::ParamMap records;
  if (!ReadKeywordMap(pykwds, &records)) return nullptr;
  return WrapFuture(self, adapter->SetMulti(ViewsOf(records), overwrite), false);
}

PyObject* asyncdbm_Remove(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 1)) return nullptr;
  SoftString key(pyargs[0]);
  return WrapFuture(self, adapter->Remove(key.Get()), false);
}

PyObject* asyncdbm_RemoveMulti(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr) return nullptr;
  const std::vector<std::string> keys = ExtractKeys(pyargs);
  return WrapFuture(self, adapter->RemoveMulti(ViewsOf(keys)), false);
}

PyObject* asyncdbm_Append(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 2, 3)) return nullptr;
  SoftString key(pyargs[0]);
  SoftString value(pyargs[1]);
  PyObject* pydelim = OptionalArg(pyargs, 2);
  SoftString delim(pydelim == nullptr ? Py_None : pydelim);
  return WrapFuture(self, adapter->Append(key.Get(), value.Get(), delim.Get()), false);
}

PyObject* asyncdbm_AppendMulti(AsyncDBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 0, 1)) return nullptr;
  PyObject* pydelim = OptionalArg(pyargs, 0);
  SoftString delim(pydelim == nullptr ? Py_None : pydelim);
  morvel::ParamMap records;
  if (!ReadKeywordMap(pykwds, &records)) return nullptr;
  return WrapFuture(self, adapter->AppendMulti(ViewsOf(records), delim.Get()), false);
}

PyObject* asyncdbm_CompareExchange(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 3, 3)) return nullptr;
  SoftString key(pyargs[0]);
  std::unique_ptr<SoftString> expected_holder, desired_holder;
  const std::string_view expected = SelectorView(pyargs[1], &expected_holder);
  const std::string_view desired = SelectorView(pyargs[2], &desired_holder);
  return WrapFuture(self, adapter->CompareExchange(key.Get(), expected, desired), false);
}

PyObject* asyncdbm_Increment(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 3)) return nullptr;
  SoftString key(pyargs[0]);
  PyObject* pyincrement = OptionalArg(pyargs, 1);
  const int64_t increment = pyincrement == nullptr ? 1 : PyObjToInt(pyincrement);
  if (PyErr_Occurred()) return nullptr;
  PyObject* pyinitial = OptionalArg(pyargs, 2);
  const int64_t initial = pyinitial == nullptr ? 0 : PyObjToInt(pyinitial);
  if (PyErr_Occurred()) return nullptr;
  return WrapFuture(self, adapter->Increment(key.Get(), increment, initial), false);
}

PyObject* asyncdbm_CompareExchangeMulti(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 2, 2)) return nullptr;
  CompareExchangeMultiArgs args;
  if (!ReadCompareExchangeMultiArgs(pyargs, &args)) return nullptr;
  return WrapFuture(self, adapter->CompareExchangeMulti(args.expected, args.desired), false);
}

PyObject* asyncdbm_Rekey(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 2, 4)) return nullptr;
  bool overwrite = true;
  if (!ReadOptionalFlag(pyargs, 2, &overwrite)) return nullptr;
  bool copying = false;
  if (!ReadOptionalFlag(pyargs, 3, &copying)) return nullptr;
  SoftString old_key(pyargs[0]);
  SoftString new_key(pyargs[1]);
  return WrapFuture(self, adapter->Rekey(old_key.Get(), new_key.Get(), overwrite, copying),
                    false);
}

PyObject* PopFirstCommon(AsyncDBMObject* self, bool is_str) {
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr) return nullptr;
  return WrapFuture(self, adapter->PopFirst(), is_str);
}

PyObject* asyncdbm_PopFirst(AsyncDBMObject* self) { return PopFirstCommon(self, false); }

PyObject* asyncdbm_PopFirstStr(AsyncDBMObject* self) { return PopFirstCommon(self, true); }

PyObject* asyncdbm_PushLast(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 2)) return nullptr;
  PyObject* pywtime = OptionalArg(pyargs, 1);
  const double wtime = pywtime == nullptr ? -1.0 : PyObjToDouble(pywtime);
  if (PyErr_Occurred()) return nullptr;
  SoftString value(pyargs[0]);
  return WrapFuture(self, adapter->PushLast(value.Get(), wtime), false);
}

PyObject* asyncdbm_Clear(AsyncDBMObject* self) {
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr) return nullptr;
  return WrapFuture(self, adapter->Clear(), false);
}

PyObject* asyncdbm_Rebuild(AsyncDBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 0, 0)) return nullptr;
  morvel::ParamMap params;
  if (!ReadKeywordMap(pykwds, &params)) return nullptr;
  return WrapFuture(self, adapter->Rebuild(params), false);
}

PyObject* asyncdbm_Synchronize(AsyncDBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 1)) return nullptr;
  bool hard = false;
  if (!ReadFlag(pyargs[0], &hard)) return nullptr;
  morvel::ParamMap params;
  if (!ReadKeywordMap(pykwds, &params)) return nullptr;
  return WrapFuture(self, adapter->Synchronize(hard, nullptr, params), false);
}

PyObject* asyncdbm_CopyFileData(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 2)) return nullptr;
  bool sync_hard = false;
  if (!ReadOptionalFlag(pyargs, 1, &sync_hard)) return nullptr;
  SoftString dest_path(pyargs[0]);
  const std::string dest_path_str(dest_path.Get());
  return WrapFuture(self, adapter->CopyFileData(dest_path_str, sync_hard), false);
}

PyObject* asyncdbm_Export(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 1)) return nullptr;
  PyObject* pydest = pyargs[0];
  if (!PyObject_TypeCheck(pydest, cls_dbm)) {
    ThrowInvalidArguments("the argument is not a DBM");
    return nullptr;
  }
  std::shared_ptr<DBMCore> dest_core = ShareOpenCore(reinterpret_cast<DBMObject*>(pydest));
  if (dest_core == nullptr) return nullptr;
  std::shared_ptr<morvel::DBM> dest(dest_core, dest_core->dbm.get());
  return WrapFuture(self, adapter->Export(std::move(dest)), false);
}

// The shared engine file of a File argument, or null with TypeError.
std::shared_ptr<morvel::File> ShareOpenFile(PyObject* pyfile) {
  if (!PyObject_TypeCheck(pyfile, cls_file)) {
    ThrowInvalidArguments("the argument is not a File");
    return nullptr;
  }
  FileObject* file_obj = reinterpret_cast<FileObject*>(pyfile);
  if (file_obj->file == nullptr || *file_obj->file == nullptr) {
    ThrowInvalidArguments("not opened file");
    return nullptr;
  }
  return *file_obj->file;
}

PyObject* asyncdbm_ExportToFlatRecords(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 1)) return nullptr;
  std::shared_ptr<morvel::File> file = ShareOpenFile(pyargs[0]);
  if (file == nullptr) return nullptr;
  return WrapFuture(self, adapter->ExportToFlatRecords(std::move(file)), false);
}

PyObject* asyncdbm_ImportFromFlatRecords(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 1, 1)) return nullptr;
  std::shared_ptr<morvel::File> file = ShareOpenFile(pyargs[0]);
  if (file == nullptr) return nullptr;
  return WrapFuture(self, adapter->ImportFromFlatRecords(std::move(file)), false);
}

PyObject* asyncdbm_Search(AsyncDBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  morvel::AsyncDBM* adapter = GetAdapter(self);
  if (adapter == nullptr || !CheckArgCount(pyargs, 2, 3)) return nullptr;
  PyObject* pycapacity = OptionalArg(pyargs, 2);
  const size_t capacity = pycapacity == nullptr ? 0 : ToSearchCapacity(PyObjToInt(pycapacity));
  if (PyErr_Occurred()) return nullptr;
  SoftString pattern(pyargs[1]);
  SoftString mode(pyargs[0]);
  return WrapFuture(self, adapter->SearchModal(mode.Get(), pattern.Get(), capacity), true);
}

PyMethodDef asyncdbm_methods[] = {
    {"Destruct", AsPyCFunction(asyncdbm_Destruct), METH_NOARGS,
     "Destructs the asynchronous database adapter."},
    {"Get", AsPyCFunction(asyncdbm_Get), METH_FASTCALL, "Gets the value of a record of a key."},
    {"GetStr", AsPyCFunction(asyncdbm_GetStr), METH_FASTCALL,
     "Gets the value of a record of a key, as a string."},
    {"GetMulti", AsPyCFunction(asyncdbm_GetMulti), METH_FASTCALL,
     "Gets the values of multiple records of keys."},
    {"GetMultiStr", AsPyCFunction(asyncdbm_GetMultiStr), METH_FASTCALL,
     "Gets the values of multiple records of keys, as strings."},
    {"Set", AsPyCFunction(asyncdbm_Set), METH_FASTCALL, "Sets a record of a key and a value."},
    {"SetMulti", AsPyCFunction(asyncdbm_SetMulti), METH_VARARGS | METH_KEYWORDS,
     "Sets multiple records specified by an initializer list of pairs of strings."},
    {"Remove", AsPyCFunction(asyncdbm_Remove), METH_FASTCALL, "Removes a record of a key."},
    {"RemoveMulti", AsPyCFunction(asyncdbm_RemoveMulti), METH_FASTCALL,
     "Removes records of keys."},
    {"Append", AsPyCFunction(asyncdbm_Append), METH_FASTCALL,
     "Appends data at the end of a record of a key."},
    {"AppendMulti", AsPyCFunction(asyncdbm_AppendMulti), METH_VARARGS | METH_KEYWORDS,
     "Appends data to multiple records of the keyword arguments."},
    {"CompareExchange", AsPyCFunction(asyncdbm_CompareExchange), METH_FASTCALL,
     "Compares the value of a record and exchanges if the condition meets."},
    {"Increment", AsPyCFunction(asyncdbm_Increment), METH_FASTCALL,
     "Increments the numeric value of a record."},
    {"CompareExchangeMulti", AsPyCFunction(asyncdbm_CompareExchangeMulti), METH_FASTCALL,
     "Compares the values of records and exchanges if the condition meets."},
    {"Rekey", AsPyCFunction(asyncdbm_Rekey), METH_FASTCALL, "Changes the key of a record."},
    {"PopFirst", AsPyCFunction(asyncdbm_PopFirst), METH_NOARGS,
     "Gets the first record and removes it."},
    {"PopFirstStr", AsPyCFunction(asyncdbm_PopFirstStr), METH_NOARGS,
     "Gets the first record as strings and removes it."},
    {"PushLast", AsPyCFunction(asyncdbm_PushLast), METH_FASTCALL,
     "Adds a record with a key of the current timestamp."},
    {"Clear", AsPyCFunction(asyncdbm_Clear), METH_NOARGS, "Removes all records."},
    {"Rebuild", AsPyCFunction(asyncdbm_Rebuild), METH_VARARGS | METH_KEYWORDS,
     "Rebuilds the entire database."},
    {"Synchronize", AsPyCFunction(asyncdbm_Synchronize), METH_VARARGS | METH_KEYWORDS,
     "Synchronizes the content of the database to the file system."},
    {"CopyFileData", AsPyCFunction(asyncdbm_CopyFileData), METH_FASTCALL,
     "Copies the content of the database file to another file."},
    {"Export", AsPyCFunction(asyncdbm_Export), METH_FASTCALL,
     "Exports all records to another database."},
    {"ExportToFlatRecords", AsPyCFunction(asyncdbm_ExportToFlatRecords), METH_FASTCALL,
     "Exports all records of a database to a flat record file."},
    {"ImportFromFlatRecords", AsPyCFunction(asyncdbm_ImportFromFlatRecords), METH_FASTCALL,
     "Imports records to a database from a flat record file."},
    {"Search", AsPyCFunction(asyncdbm_Search), METH_FASTCALL,
     "Searches the database and get keys which match a pattern."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* FillAsyncDBMType() {
  PyTypeObject* type = &type_asyncdbm;
  ClearTypeObject(type);
  type->tp_name = "morvel.AsyncDBM";
  type->tp_basicsize = sizeof(AsyncDBMObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Polymorphic database manager.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = asyncdbm_new;
  type->tp_dealloc = reinterpret_cast<destructor>(asyncdbm_dealloc);
  type->tp_init = reinterpret_cast<initproc>(asyncdbm_init);
  type->tp_repr = reinterpret_cast<reprfunc>(asyncdbm_repr);
  type->tp_str = reinterpret_cast<reprfunc>(asyncdbm_str);
  type->tp_methods = asyncdbm_methods;
  return type;
}
