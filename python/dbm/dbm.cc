// The DBM class: its type object and method table, the lifecycle methods
// (Open, Close, the state queries), MakeIterator and the printable forms.
//
// The handle holds its engine database through a DBMCore share (dbm/dbm.h).
// Open stores the share in the handle only once the engine open has returned:
// until then the engine object is not safe to call, so other threads see the
// handle as not open (and a second Open as already opening).
// Each call copies the share with the interpreter lock held before it releases
// the lock, so a Close racing in another thread cannot free the database under
// it. Close detaches the share from the handle first, so other threads see a
// closed handle at once and never close the engine database twice; it then
// closes the engine database, and what still holds a share gets
// PRECONDITION_ERROR from it. Deallocation closes it the same way.
//
// While a callable of a callback method runs on the database, the calls here
// that would reach the engine fail at once with BusyCallbackStatus() instead
// of waiting on a lock the callable's caller holds.

#include <string>
#include <unordered_set>

#include "dbm/dbm_common.h"
#include "dbm/dbm_methods.h"
#include "iterator/iterator.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"
#include "module/type_util.h"

namespace {

MORVEL_DEFINE_STATIC_TYPE(type_dbm)
PyMappingMethods dbm_as_mapping;
PySequenceMethods dbm_as_sequence;

constexpr char kAnyData[] = "\0[ANY]\0";
// Handles whose Open is running with the interpreter lock released. Read and
// written only with the interpreter lock.
std::unordered_set<const DBMObject*> opening_handles;

// Takes the share out of the handle, leaving it closed.
std::shared_ptr<DBMCore> DetachCore(DBMObject* self) {
  std::shared_ptr<DBMCore> core = std::move(*self->dbm);
  delete self->dbm;
  self->dbm = nullptr;
  return core;
}

// The class name, the path and the record count shown by repr and str.
struct Description {
  std::string class_name = "unknown";
  std::string path = "-";
  int64_t num_records = -1;
};

Description Describe(DBMObject* self) {
  Description desc;
  if (self->dbm != nullptr && IsBusyInCallback(**self->dbm)) {
    // The count needs the engine's locks; the rest is known.
    desc.class_name = (*self->dbm)->state.class_name;
    desc.path = (*self->dbm)->state.path;
  } else if (self->dbm != nullptr) {
    std::shared_ptr<DBMCore> core = *self->dbm;
    std::vector<std::pair<std::string, std::string>> inspection;
    {
      CoreNativeLock lock(core.get(), self->concurrent);
      inspection = core->dbm->Inspect();
      desc.num_records = core->dbm->CountSimple();
    }
    for (const auto& [name, value] : inspection) {
      if (name == "class") {
        desc.class_name = value;
      } else if (name == "path") {
        desc.path = value;
      }
    }
  }
  desc.path = morvel::StrEscapeC(desc.path, true);
  return desc;
}

PyObject* dbm_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  DBMObject* self = reinterpret_cast<DBMObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->dbm = nullptr;
  self->concurrent = false;
  return reinterpret_cast<PyObject*>(self);
}

void dbm_dealloc(DBMObject* self) {
  if (self->dbm != nullptr) {
    std::shared_ptr<DBMCore> core = DetachCore(self);
    core->dbm->Close();
  }
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int dbm_init(DBMObject*, PyObject* pytuple, PyObject*) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (pyargs.size() != 0) {
    ThrowInvalidArguments("too many arguments");
    return -1;
  }
  return 0;
}

PyObject* dbm_repr(DBMObject* self) {
  const Description desc = Describe(self);
  const std::string text = "<morvel.DBM: class=" + desc.class_name + " path=" + desc.path +
                           " num_records=" + std::to_string(desc.num_records) + ">";
  return CreatePyString(text);
}

PyObject* dbm_str(DBMObject* self) {
  const Description desc = Describe(self);
  return CreatePyString(desc.class_name + ":" + desc.path + ":" +
                        std::to_string(desc.num_records));
}

PyMethodDef dbm_methods[] = {
    {"Open", AsPyCFunction(dbm_Open), METH_VARARGS | METH_KEYWORDS,
     "Opens a database file."},
    {"Close", AsPyCFunction(dbm_Close), METH_NOARGS,
     "Closes the database file."},
    {"Process", AsPyCFunction(dbm_Process), METH_FASTCALL,
     "Processes a record with an arbitrary function."},
    {"Get", AsPyCFunction(dbm_Get), METH_FASTCALL,
     "Gets the value of a record of a key."},
    {"GetStr", AsPyCFunction(dbm_GetStr), METH_FASTCALL,
     "Gets the value of a record of a key, as a string."},
    {"GetMulti", AsPyCFunction(dbm_GetMulti), METH_FASTCALL,
     "Gets the values of multiple records of keys."},
    {"GetMultiStr", AsPyCFunction(dbm_GetMultiStr), METH_FASTCALL,
     "Gets the values of multiple records of keys, as strings."},
    {"Set", AsPyCFunction(dbm_Set), METH_FASTCALL,
     "Sets a record of a key and a value."},
    {"SetMulti", AsPyCFunction(dbm_SetMulti), METH_VARARGS | METH_KEYWORDS,
     "Sets multiple records specified by an initializer list of pairs of strings."},
    {"SetAndGet", AsPyCFunction(dbm_SetAndGet), METH_FASTCALL,
     "Sets a record and get the old value."},
    {"Remove", AsPyCFunction(dbm_Remove), METH_FASTCALL,
     "Removes a record of a key."},
    {"RemoveMulti", AsPyCFunction(dbm_RemoveMulti), METH_FASTCALL,
     "Removes records of keys."},
    {"RemoveAndGet", AsPyCFunction(dbm_RemoveAndGet), METH_FASTCALL,
     "Removes a record and get the value."},
    {"Append", AsPyCFunction(dbm_Append), METH_FASTCALL,
     "Appends data at the end of a record of a key."},
    {"AppendMulti", AsPyCFunction(dbm_AppendMulti),
     METH_VARARGS | METH_KEYWORDS, "Appends data to multiple records of the keyword arguments."},
    {"CompareExchange", AsPyCFunction(dbm_CompareExchange), METH_FASTCALL,
     "Compares the value of a record and exchanges if the condition meets."},
    {"CompareExchangeAndGet", AsPyCFunction(dbm_CompareExchangeAndGet),
     METH_FASTCALL, "Does compare-and-exchange and/or gets the old value of the record."},
    {"Increment", AsPyCFunction(dbm_Increment), METH_FASTCALL,
     "Increments the numeric value of a record."},
    {"ProcessMulti", AsPyCFunction(dbm_ProcessMulti), METH_FASTCALL,
     "Processes multiple records with arbitrary functions."},
    {"CompareExchangeMulti", AsPyCFunction(dbm_CompareExchangeMulti),
     METH_FASTCALL, "Compares the values of records and exchanges if the condition meets."},
    {"Rekey", AsPyCFunction(dbm_Rekey), METH_FASTCALL,
     "Changes the key of a record."},
    {"PopFirst", AsPyCFunction(dbm_PopFirst), METH_FASTCALL,
     "Gets the first record and removes it."},
    {"PopFirstStr", AsPyCFunction(dbm_PopFirstStr), METH_FASTCALL,
     "Gets the first record as strings and removes it."},
    {"PushLast", AsPyCFunction(dbm_PushLast), METH_FASTCALL,
     "Adds a record with a key of the current timestamp."},
    {"ProcessEach", AsPyCFunction(dbm_ProcessEach), METH_FASTCALL,
     "Processes each and every record in the database with an arbitrary function."},
    {"Count", AsPyCFunction(dbm_Count), METH_NOARGS,
     "Gets the number of records."},
    {"GetFileSize", AsPyCFunction(dbm_GetFileSize), METH_NOARGS,
     "Gets the current file size of the database."},
    {"GetFilePath", AsPyCFunction(dbm_GetFilePath), METH_NOARGS,
     "Gets the path of the database file."},
    {"GetTimestamp", AsPyCFunction(dbm_GetTimestamp), METH_NOARGS,
     "Gets the timestamp in seconds of the last modified time."},
    {"Clear", AsPyCFunction(dbm_Clear), METH_NOARGS, "Removes all records."},
    {"Rebuild", AsPyCFunction(dbm_Rebuild), METH_VARARGS | METH_KEYWORDS,
     "Rebuilds the entire database."},
    {"ShouldBeRebuilt", AsPyCFunction(dbm_ShouldBeRebuilt), METH_NOARGS,
     "Checks whether the database should be rebuilt."},
    {"Synchronize", AsPyCFunction(dbm_Synchronize),
     METH_VARARGS | METH_KEYWORDS,
     "Synchronizes the content of the database to the file system."},
    {"CopyFileData", AsPyCFunction(dbm_CopyFileData), METH_FASTCALL,
     "Copies the content of the database file to another file."},
    {"Export", AsPyCFunction(dbm_Export), METH_FASTCALL,
     "Exports all records to another database."},
    {"ExportToFlatRecords", AsPyCFunction(dbm_ExportToFlatRecords),
     METH_FASTCALL, "Exports all records of a database to a flat record file."},
    {"ImportFromFlatRecords", AsPyCFunction(dbm_ImportFromFlatRecords),
     METH_FASTCALL, "Imports records to a database from a flat record file."},
    {"ExportKeysAsLines", AsPyCFunction(dbm_ExportKeysAsLines), METH_FASTCALL,
     "Exports the keys of all records as lines to a text file."},
    {"Inspect", AsPyCFunction(dbm_Inspect), METH_NOARGS,
     "Inspects the database."},
    {"IsOpen", AsPyCFunction(dbm_IsOpen), METH_NOARGS,
     "Checks whether the database is open."},
    {"IsWritable", AsPyCFunction(dbm_IsWritable), METH_NOARGS,
     "Checks whether the database is writable."},
    {"IsHealthy", AsPyCFunction(dbm_IsHealthy), METH_NOARGS,
     "Checks whether the database condition is healthy."},
    {"IsOrdered", AsPyCFunction(dbm_IsOrdered), METH_NOARGS,
     "Checks whether ordered operations are supported."},
    {"Search", AsPyCFunction(dbm_Search), METH_FASTCALL,
     "Searches the database and get keys which match a pattern."},
    {"MakeIterator", AsPyCFunction(dbm_MakeIterator), METH_NOARGS,
     "Makes an iterator for each record."},
    {"RestoreDatabase", AsPyCFunction(dbm_RestoreDatabase),
     METH_FASTCALL | METH_CLASS,
     "Restores a broken database as a new healthy database. The arguments are the path of "
     "the old database, the path of the new database, the class name (empty to detect it "
     "from the file), the end offset (-1 to read to the end) and the tuning parameters of "
     "the new database (\"name=value,name=value\", or empty)."},
    {"__enter__", AsPyCFunction(dbm_enter), METH_NOARGS, "Enters a with block."},
    {"__exit__", AsPyCFunction(dbm_exit), METH_FASTCALL,
     "Closes the database file at the end of a with block."},
    {nullptr, nullptr, 0, nullptr},
};

// The state queries share one shape: open check, then one engine call with the
// interpreter lock held, or, while a callback runs, the state kept for it.
PyObject* QueryState(DBMObject* self, bool (morvel::DBM::*query)() const,
                     bool DBMState::*kept) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) return PyBool_FromLong(core->state.*kept);
  return PyBool_FromLong(((*core->dbm).*query)());
}

}  // namespace

void ReadFixedState(DBMCore* core) {
  for (const auto& [name, value] : core->dbm->Inspect()) {
    if (name == "class") {
      core->state.class_name = value;
    } else if (name == "path") {
      core->state.path = value;
    }
  }
  core->state.writable = core->dbm->IsWritable();
  core->state.ordered = core->dbm->IsOrdered();
  core->state.healthy = core->dbm->IsHealthy();
}

morvel::Status BusyCallbackStatus() {
  return morvel::Status(morvel::Status::PRECONDITION_ERROR, "the database is busy in a callback");
}

PyObject* dbm_Open(DBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (self->dbm != nullptr || opening_handles.count(self) > 0) {
    ThrowInvalidArguments("opened database");
    return nullptr;
  }
  if (!CheckArgCount(pyargs, 2, 2)) return nullptr;
  SoftString path(pyargs[0]);
  bool writable = false;
  if (!ReadFlag(pyargs[1], &writable)) return nullptr;
  morvel::ParamMap params;
  int32_t options = 0;
  bool concurrent = false;
  int32_t num_shards = -1;
  if (pykwds != nullptr) {
    params = ExtractMap(pykwds);
    num_shards =
        static_cast<int32_t>(morvel::StrToInt(morvel::SearchMap(params, "num_shards", "-1"), 0));
    TakeOpenOptions(&params, &concurrent, &options);
  }
  if (PyErr_Occurred()) return nullptr;
  morvel::Status path_status = CheckPath(path.Get());
  if (!path_status.IsOK()) {
    self->concurrent = concurrent;
    return CreatePyStatusMove(std::move(path_status));
  }
  // The conversions above may run Python code (str(), __bool__) that opens
  // this handle; check again now that nothing else runs before the handle is
  // marked as opening.
  if (self->dbm != nullptr || opening_handles.count(self) > 0) {
    ThrowInvalidArguments("opened database");
    return nullptr;
  }
  std::unique_ptr<morvel::DBM> engine_dbm;
  if (num_shards >= 0) {
    engine_dbm = std::make_unique<morvel::ShardDBM>();
  } else {
    engine_dbm = std::make_unique<morvel::PolyDBM>();
  }
  std::shared_ptr<DBMCore> core = std::make_shared<DBMCore>(std::move(engine_dbm));
  self->concurrent = concurrent;
  const std::string path_str(path.Get());
  opening_handles.insert(self);
  morvel::Status status;
  {
    // Released in every mode: the open may wait for another process's file
    // lock, and other Python threads must run meanwhile.
    NativeLock lock(true);
    status = core->dbm->OpenAdvanced(path_str, writable, options, params);
    if (status.IsOK()) ReadFixedState(core.get());
  }
  opening_handles.erase(self);
  if (status.IsOK()) {
    self->dbm = new std::shared_ptr<DBMCore>(std::move(core));
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* dbm_Close(DBMObject* self) {
  if (ShareOpenCore(self) == nullptr) return nullptr;
  if (IsBusyInCallback(**self->dbm)) return CreatePyStatusMove(BusyCallbackStatus());
  std::shared_ptr<DBMCore> core = DetachCore(self);
  morvel::Status status;
  {
    CoreNativeLock lock(core.get(), self->concurrent);
    status = core->dbm->Close();
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* dbm_IsOpen(DBMObject* self) {
  return PyBool_FromLong(self->dbm != nullptr);
}

PyObject* dbm_enter(DBMObject* self) {
  Py_INCREF(self);
  return reinterpret_cast<PyObject*>(self);
}

// Closes the database if it is still open. A failure to close raises
// StatusException, unless an exception of the block is already propagating:
// that one is the cause the caller needs to see. Never suppresses it.
PyObject* dbm_exit(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  if (self->dbm == nullptr) Py_RETURN_FALSE;
  const bool propagating =
      pyargs.size() > 0 && pyargs[0] != Py_None;
  morvel::Status status;
  if (IsBusyInCallback(**self->dbm)) {
    status = BusyCallbackStatus();
  } else {
    std::shared_ptr<DBMCore> core = DetachCore(self);
    CoreNativeLock lock(core.get(), self->concurrent);
    status = core->dbm->Close();
  }
  if (!status.IsOK() && !propagating) {
    ThrowStatusException(status);
    return nullptr;
  }
  Py_RETURN_FALSE;
}

PyObject* dbm_IsWritable(DBMObject* self) {
  return QueryState(self, &morvel::DBM::IsWritable, &DBMState::writable);
}

PyObject* dbm_IsHealthy(DBMObject* self) {
  return QueryState(self, &morvel::DBM::IsHealthy, &DBMState::healthy);
}

PyObject* dbm_IsOrdered(DBMObject* self) {
  return QueryState(self, &morvel::DBM::IsOrdered, &DBMState::ordered);
}

PyObject* dbm_MakeIterator(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckNotBusy(*core)) return nullptr;
  return CreatePyIterator(core, self->concurrent, false);
}

PyTypeObject* FillDBMType() {
  PyTypeObject* type = &type_dbm;
  ClearTypeObject(type);
  std::memset(&dbm_as_mapping, 0, sizeof(dbm_as_mapping));
  std::memset(&dbm_as_sequence, 0, sizeof(dbm_as_sequence));
  type->tp_name = "morvel.DBM";
  type->tp_basicsize = sizeof(DBMObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Polymorphic database manager.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = dbm_new;
  type->tp_dealloc = reinterpret_cast<destructor>(dbm_dealloc);
  type->tp_init = reinterpret_cast<initproc>(dbm_init);
  type->tp_repr = reinterpret_cast<reprfunc>(dbm_repr);
  type->tp_str = reinterpret_cast<reprfunc>(dbm_str);
  type->tp_methods = dbm_methods;
  dbm_as_mapping.mp_length = reinterpret_cast<lenfunc>(dbm_len);
  dbm_as_mapping.mp_subscript = reinterpret_cast<binaryfunc>(dbm_getitem);
  dbm_as_mapping.mp_ass_subscript = reinterpret_cast<objobjargproc>(dbm_setitem);
  type->tp_as_mapping = &dbm_as_mapping;
  dbm_as_sequence.sq_contains = reinterpret_cast<objobjproc>(dbm_contains);
  type->tp_as_sequence = &dbm_as_sequence;
  type->tp_iter = reinterpret_cast<getiterfunc>(dbm_iter);
  return type;
}

bool SetDBMConstants(PyTypeObject* type) {
  obj_dbm_any_data = PyBytes_FromStringAndSize(kAnyData, sizeof(kAnyData) - 1);
  if (obj_dbm_any_data == nullptr) return false;
  PyObject* pyname = PyUnicode_FromString("ANY_DATA");
  if (pyname == nullptr) return false;
  const int rv =
      PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(type), pyname, obj_dbm_any_data);
  Py_DECREF(pyname);
  if (rv != 0) return false;
  PyType_Modified(type);
  return true;
}
