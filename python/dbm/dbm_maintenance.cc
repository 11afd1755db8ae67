// The DBM methods that act on the database as a whole: counts and queries,
// maintenance, transfer to another database or a File, key search, and the
// restore class method.
//
// Each method checks the handle, counts and converts its arguments, refuses a
// database busy in a callback by its own failure convention, makes one engine
// call under NativeLock, and builds its result with the interpreter lock held.
// The shares of the engine database (and of a destination database or File)
// are copied with the interpreter lock held before it is released, so a Close
// on another thread while the call runs leaves a closed engine object behind,
// never a freed one.

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dbm/dbm_methods.h"
#include "file/file.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"

using morvel::Status;

namespace {

// A share of the engine database of an open DBM, or null after raising "not
// opened database". Taken before the arguments are converted, since converting
// them runs Python code that may close the DBM: the call then reaches the
// closed engine object and fails by its own convention.
std::shared_ptr<DBMCore> ShareDBMCore(DBMObject* self) {
  if (self->dbm == nullptr) {
    ThrowInvalidArguments("not opened database");
    return nullptr;
  }
  return *self->dbm;
}

// The truth value of |obj| into |value|; false with the error pending when the
// truth test raises.
bool GetTruth(PyObject* obj, bool* value) {
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  *value = truth != 0;
  return true;
}

// The search capacity: the low 32 bits of the value, widened with their sign,
// so that -1 means no practical limit.
size_t ToSearchCapacity(int64_t value) {
  const int32_t capacity = static_cast<int32_t>(static_cast<uint32_t>(value));
  return static_cast<size_t>(static_cast<int64_t>(capacity));
}

// A new list of str decoded from |items|; null with an error set on failure.
PyObject* CreatePyStringList(const std::vector<std::string>& items) {
  PyObject* pylist = PyList_New(static_cast<Py_ssize_t>(items.size()));
  if (pylist == nullptr) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* pyitem = CreatePyString(items[i]);
    if (pyitem == nullptr) {
      Py_DECREF(pylist);
      return nullptr;
    }
    PyList_SET_ITEM(pylist, static_cast<Py_ssize_t>(i), pyitem);
  }
  return pylist;
}

// The engine functions that move records between a database and a file.
using FileTransfer = Status (*)(morvel::DBM*, morvel::File*);

// ExportToFlatRecords, ImportFromFlatRecords and ExportKeysAsLines: one open
// File argument, one engine transfer.
PyObject* TransferWithFile(DBMObject* self, PyObject* pyargs, FileTransfer transfer) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  PyObject* pyfile = PyTuple_GET_ITEM(pyargs, 0);
  if (!PyObject_TypeCheck(pyfile, cls_file)) {
    ThrowInvalidArguments("the argument is not a File");
    return nullptr;
  }
  FileObject* file_obj = reinterpret_cast<FileObject*>(pyfile);
  if (file_obj->file == nullptr) {
    ThrowInvalidArguments("not opened file");
    return nullptr;
  }
  if (IsBusyInCallback(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  std::shared_ptr<GuardedFile> file = *file_obj->file;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = transfer(core->dbm.get(), file.get());
  }
  return CreatePyStatusMove(std::move(status));
}

}  // namespace

PyObject* dbm_Count(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_NONE;
  int64_t count = -1;
  {
    NativeLock lock(self->concurrent);
    count = core->dbm->CountSimple();
  }
  if (count < 0) Py_RETURN_NONE;
  return PyLong_FromLongLong(count);
}

PyObject* dbm_GetFileSize(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_NONE;
  int64_t size = -1;
  {
    NativeLock lock(self->concurrent);
    size = core->dbm->GetFileSizeSimple();
  }
  if (size < 0) Py_RETURN_NONE;
  return PyLong_FromLongLong(size);
}

PyObject* dbm_GetFilePath(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_NONE;
  std::string path;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = core->dbm->GetFilePath(&path);
  }
  if (!status.IsOK()) Py_RETURN_NONE;
  return CreatePyString(path);
}

PyObject* dbm_GetTimestamp(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_NONE;
  double timestamp = std::nan("");
  {
    NativeLock lock(self->concurrent);
    timestamp = core->dbm->GetTimestampSimple();
  }
  // NaN, the failure answer, fails this comparison too.
  if (!(timestamp >= 0.0)) Py_RETURN_NONE;
  return PyFloat_FromDouble(timestamp);
}

PyObject* dbm_Clear(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = core->dbm->Clear();
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* dbm_Rebuild(DBMObject* self, PyObject* pyargs, PyObject* pykwds) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 0, 0)) return nullptr;
  morvel::ParamMap params;
  if (pykwds != nullptr) params = ExtractMap(pykwds);
  if (PyErr_Occurred()) return nullptr;
  if (IsBusyInCallback(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = core->dbm->RebuildAdvanced(params);
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* dbm_ShouldBeRebuilt(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_FALSE;
  bool tobe = false;
  {
    NativeLock lock(self->concurrent);
    tobe = core->dbm->ShouldBeRebuiltSimple();
  }
  return PyBool_FromLong(tobe);
}

PyObject* dbm_Synchronize(DBMObject* self, PyObject* pyargs, PyObject* pykwds) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  bool hard = false;
  if (!GetTruth(PyTuple_GET_ITEM(pyargs, 0), &hard)) return nullptr;
  morvel::ParamMap params;
  if (pykwds != nullptr) params = ExtractMap(pykwds);
  if (PyErr_Occurred()) return nullptr;
  if (IsBusyInCallback(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = core->dbm->SynchronizeAdvanced(hard, nullptr, params);
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* dbm_CopyFileData(DBMObject* self, PyObject* pyargs) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  SoftString dest_path(PyTuple_GET_ITEM(pyargs, 0));
  bool sync_hard = false;
  if (PyTuple_GET_SIZE(pyargs) > 1 && !GetTruth(PyTuple_GET_ITEM(pyargs, 1), &sync_hard)) {
    return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  if (IsBusyInCallback(*core)) return CreatePyStatusMove(BusyCallbackStatus());
  const std::string dest_path_str(dest_path.Get());
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = core->dbm->CopyFileData(dest_path_str, sync_hard);
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* dbm_Export(DBMObject* self, PyObject* pyargs) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  PyObject* pydest = PyTuple_GET_ITEM(pyargs, 0);
  if (!PyObject_TypeCheck(pydest, cls_dbm)) {
    ThrowInvalidArguments("the argument is not a DBM");
    return nullptr;
  }
  std::shared_ptr<DBMCore> dest_core = ShareDBMCore(reinterpret_cast<DBMObject*>(pydest));
  if (dest_core == nullptr) return nullptr;
  // The export sets records into the destination from inside the walk of the
  // source; either one running a callable would make it wait for itself.
  if (IsBusyInCallback(*core) || IsBusyInCallback(*dest_core)) {
    return CreatePyStatusMove(BusyCallbackStatus());
  }
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = core->dbm->Export(dest_core->dbm.get());
  }
  return CreatePyStatusMove(std::move(status));
}

PyObject* dbm_ExportToFlatRecords(DBMObject* self, PyObject* pyargs) {
  return TransferWithFile(self, pyargs, morvel::ExportDBMToFlatRecords);
}

PyObject* dbm_ImportFromFlatRecords(DBMObject* self, PyObject* pyargs) {
  return TransferWithFile(self, pyargs, morvel::ImportDBMFromFlatRecords);
}

PyObject* dbm_ExportKeysAsLines(DBMObject* self, PyObject* pyargs) {
  return TransferWithFile(self, pyargs, morvel::ExportDBMKeysAsLines);
}

PyObject* dbm_Inspect(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  std::vector<std::pair<std::string, std::string>> items;
  if (!IsBusyInCallback(*core)) {
    NativeLock lock(self->concurrent);
    items = core->dbm->Inspect();
  }
  PyObject* pydict = PyDict_New();
  if (pydict == nullptr) return nullptr;
  for (const auto& [name, value] : items) {
    PyObject* pyname = CreatePyString(name);
    PyObject* pyvalue = pyname == nullptr ? nullptr : CreatePyString(value);
    const bool ok = pyvalue != nullptr && PyDict_SetItem(pydict, pyname, pyvalue) == 0;
    Py_XDECREF(pyvalue);
    Py_XDECREF(pyname);
    if (!ok) {
      Py_DECREF(pydict);
      return nullptr;
    }
  }
  return pydict;
}

PyObject* dbm_Search(DBMObject* self, PyObject* pyargs) {
  std::shared_ptr<DBMCore> core = ShareDBMCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 3)) return nullptr;
  const size_t capacity = PyTuple_GET_SIZE(pyargs) > 2
                              ? ToSearchCapacity(PyObjToInt(PyTuple_GET_ITEM(pyargs, 2)))
                              : 0;
  SoftString pattern(PyTuple_GET_ITEM(pyargs, 1));
  SoftString mode(PyTuple_GET_ITEM(pyargs, 0));
  if (PyErr_Occurred()) return nullptr;
  if (IsBusyInCallback(*core)) {
    ThrowStatusException(BusyCallbackStatus());
    return nullptr;
  }
  std::vector<std::string> keys;
  Status status;
  {
    NativeLock lock(self->concurrent);
    status = morvel::SearchDBMModal(core->dbm.get(), mode.Get(), pattern.Get(), &keys, capacity);
  }
  if (!status.IsOK()) {
    ThrowStatusException(status);
    return nullptr;
  }
  return CreatePyStringList(keys);
}

PyObject* dbm_RestoreDatabase(PyObject*, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 2, 5)) return nullptr;
  const Py_ssize_t argc = PyTuple_GET_SIZE(pyargs);
  SoftString old_path(PyTuple_GET_ITEM(pyargs, 0));
  SoftString new_path(PyTuple_GET_ITEM(pyargs, 1));
  std::unique_ptr<SoftString> class_name;
  if (argc > 2) class_name = std::make_unique<SoftString>(PyTuple_GET_ITEM(pyargs, 2));
  const int64_t end_offset = argc > 3 ? PyObjToInt(PyTuple_GET_ITEM(pyargs, 3)) : -1;
  std::unique_ptr<SoftString> params;
  if (argc > 4) params = std::make_unique<SoftString>(PyTuple_GET_ITEM(pyargs, 4));
  if (PyErr_Occurred()) return nullptr;
  const std::string old_path_str(old_path.Get());
  const std::string new_path_str(new_path.Get());
  const std::string class_name_str(class_name == nullptr ? "" : class_name->Get());
  const std::string params_str(params == nullptr ? "" : params->Get());
  // Only whether shard files exist matters, not how many.
  int32_t num_shards = 0;
  const bool sharded = morvel::ShardDBM::GetNumberOfShards(old_path_str, &num_shards).IsOK();
  Status status;
  {
    NativeLock lock(true);
    if (sharded) {
      status = morvel::ShardDBM::RestoreDatabase(old_path_str, new_path_str, class_name_str,
                                                 end_offset, params_str);
    } else {
      status = morvel::PolyDBM::RestoreDatabase(old_path_str, new_path_str, class_name_str,
                                                end_offset, params_str);
    }
  }
  return CreatePyStatusMove(std::move(status));
}
