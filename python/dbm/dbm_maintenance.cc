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

#include "dbm/dbm_common.h"
#include "dbm/dbm_methods.h"
#include "file/file.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"

using morvel::Status;

namespace {

// Count and GetFileSize: an engine figure, None when it is negative (a
// failure) or while a callback runs on the database.
PyObject* QueryFigure(DBMObject* self, int64_t (morvel::DBM::*query)()) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_NONE;
  int64_t figure = -1;
  {
    CoreNativeLock lock(core.get(), self->concurrent);
    figure = ((*core->dbm).*query)();
  }
  if (figure < 0) Py_RETURN_NONE;
  return PyLong_FromLongLong(figure);
}

// The engine functions that move records between a database and a file.
using FileTransfer = Status (*)(morvel::DBM*, morvel::File*);

// ExportToFlatRecords, ImportFromFlatRecords and ExportKeysAsLines: one open
// File argument, one engine transfer.
PyObject* TransferWithFile(DBMObject* self, const ArgList& pyargs, FileTransfer transfer) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  PyObject* pyfile = pyargs[0];
  if (!PyObject_TypeCheck(pyfile, cls_file)) {
    ThrowInvalidArguments("the argument is not a File");
    return nullptr;
  }
  FileObject* file_obj = reinterpret_cast<FileObject*>(pyfile);
  if (file_obj->file == nullptr) {
    ThrowInvalidArguments("not opened file");
    return nullptr;
  }
  std::shared_ptr<GuardedFile> file = *file_obj->file;
  return CallEngineForStatus(self, core.get(),
                             [&](morvel::DBM* dbm) { return transfer(dbm, file.get()); });
}

}  // namespace

PyObject* dbm_Count(DBMObject* self) { return QueryFigure(self, &morvel::DBM::CountSimple); }

PyObject* dbm_GetFileSize(DBMObject* self) {
  return QueryFigure(self, &morvel::DBM::GetFileSizeSimple);
}

PyObject* dbm_GetFilePath(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_NONE;
  std::string path;
  Status status;
  {
    CoreNativeLock lock(core.get(), self->concurrent);
    status = core->dbm->GetFilePath(&path);
  }
  if (!status.IsOK()) Py_RETURN_NONE;
  return CreatePyString(path);
}

PyObject* dbm_GetTimestamp(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_NONE;
  double timestamp = std::nan("");
  {
    CoreNativeLock lock(core.get(), self->concurrent);
    timestamp = core->dbm->GetTimestampSimple();
  }
  // NaN, the failure answer, fails this comparison too.
  if (!(timestamp >= 0.0)) Py_RETURN_NONE;
  return PyFloat_FromDouble(timestamp);
}

PyObject* dbm_Clear(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  return CallEngineForStatus(self, core.get(), [&](morvel::DBM* dbm) {
    return dbm->Clear();
  });
}

PyObject* dbm_Rebuild(DBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 0, 0)) return nullptr;
  morvel::ParamMap params;
  if (pykwds != nullptr) params = ExtractMap(pykwds);
  if (PyErr_Occurred()) return nullptr;
  return CallEngineForStatus(self, core.get(), [&](morvel::DBM* dbm) {
    return dbm->RebuildAdvanced(params);
  });
}

PyObject* dbm_ShouldBeRebuilt(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (IsBusyInCallback(*core)) Py_RETURN_FALSE;
  bool tobe = false;
  {
    CoreNativeLock lock(core.get(), self->concurrent);
    tobe = core->dbm->ShouldBeRebuiltSimple();
  }
  return PyBool_FromLong(tobe);
}

PyObject* dbm_Synchronize(DBMObject* self, PyObject* pytuple, PyObject* pykwds) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  bool hard = false;
  if (!ReadFlag(pyargs[0], &hard)) return nullptr;
  morvel::ParamMap params;
  if (pykwds != nullptr) params = ExtractMap(pykwds);
  if (PyErr_Occurred()) return nullptr;
  return CallEngineForStatus(self, core.get(), [&](morvel::DBM* dbm) {
    return dbm->SynchronizeAdvanced(hard, nullptr, params);
  });
}

PyObject* dbm_CopyFileData(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  SoftString dest_path(pyargs[0]);
  bool sync_hard = false;
  if (pyargs.size() > 1 && !ReadFlag(pyargs[1], &sync_hard)) {
    return nullptr;
  }
  if (PyErr_Occurred()) return nullptr;
  Status path_status = CheckPath(dest_path.Get());
  if (!path_status.IsOK()) return CreatePyStatusMove(std::move(path_status));
  const std::string dest_path_str(dest_path.Get());
  return CallEngineForStatus(self, core.get(), [&](morvel::DBM* dbm) {
    return dbm->CopyFileData(dest_path_str, sync_hard);
  });
}

PyObject* dbm_Export(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  PyObject* pydest = pyargs[0];
  if (!PyObject_TypeCheck(pydest, cls_dbm)) {
    ThrowInvalidArguments("the argument is not a DBM");
    return nullptr;
  }
  std::shared_ptr<DBMCore> dest_core = ShareOpenCore(reinterpret_cast<DBMObject*>(pydest));
  if (dest_core == nullptr) return nullptr;
  // The export sets records into the destination from inside the walk of the
  // source; either one running a callable would make it wait for itself.
  if (IsBusyInCallback(*dest_core)) return CreatePyStatusMove(BusyCallbackStatus());
  return CallEngineForStatus(self, core.get(),
                             [&](morvel::DBM* dbm) { return dbm->Export(dest_core->dbm.get()); });
}

PyObject* dbm_ExportToFlatRecords(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return TransferWithFile(self, pyargs, morvel::ExportDBMToFlatRecords);
}

PyObject* dbm_ImportFromFlatRecords(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return TransferWithFile(self, pyargs, morvel::ImportDBMFromFlatRecords);
}

PyObject* dbm_ExportKeysAsLines(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  return TransferWithFile(self, pyargs, morvel::ExportDBMKeysAsLines);
}

PyObject* dbm_Inspect(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  std::vector<std::pair<std::string, std::string>> items;
  if (!IsBusyInCallback(*core)) {
    CoreNativeLock lock(core.get(), self->concurrent);
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

PyObject* dbm_Search(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 2, 3)) return nullptr;
  const size_t capacity = pyargs.size() > 2
                              ? ToSearchCapacity(PyObjToInt(pyargs[2]))
                              : 0;
  SoftString pattern(pyargs[1]);
  SoftString mode(pyargs[0]);
  if (PyErr_Occurred()) return nullptr;
  if (IsBusyInCallback(*core)) {
    ThrowStatusException(BusyCallbackStatus());
    return nullptr;
  }
  std::vector<std::string> keys;
  Status status;
  {
    CoreNativeLock lock(core.get(), self->concurrent);
    status = morvel::SearchDBMModal(core->dbm.get(), mode.Get(), pattern.Get(), &keys, capacity);
  }
  if (!status.IsOK()) {
    ThrowStatusException(status);
    return nullptr;
  }
  return CreatePyStringList(keys);
}

PyObject* dbm_RestoreDatabase(PyObject*, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  if (!CheckArgCount(pyargs, 2, 5)) return nullptr;
  const Py_ssize_t argc = pyargs.size();
  SoftString old_path(pyargs[0]);
  SoftString new_path(pyargs[1]);
  std::unique_ptr<SoftString> class_name;
  if (argc > 2) class_name = std::make_unique<SoftString>(pyargs[2]);
  const int64_t end_offset = argc > 3 ? PyObjToInt(pyargs[3]) : -1;
  std::unique_ptr<SoftString> params;
  if (argc > 4) params = std::make_unique<SoftString>(pyargs[4]);
  if (PyErr_Occurred()) return nullptr;
  Status path_status = CheckPath(old_path.Get());
  path_status |= CheckPath(new_path.Get());
  if (!path_status.IsOK()) return CreatePyStatusMove(std::move(path_status));
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
