// The mapping forms of a DBM: len(db), key in db, db[key], db[key] = value,
// del db[key] and iter(db). Unlike the named methods, they report engine
// failures by raising StatusException; len() gives 0 instead, and raises only
// while a callback runs on the database.

#include <string>

#include "dbm/dbm_common.h"
#include "dbm/dbm_methods.h"
#include "iterator/iterator.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/native_lock.h"

Py_ssize_t dbm_len(DBMObject* self) {
  if (self->dbm == nullptr) return 0;
  std::shared_ptr<DBMCore> core = *self->dbm;
  // Counting needs the engine's locks; a count of 0 for a database that has
  // records would be a failure reported as success, so len() raises the busy
  // status as the other mapping forms do.
  if (!CheckNotBusy(*core)) return -1;
  int64_t count = 0;
  {
    CoreNativeLock lock(core.get(), self->concurrent);
    count = core->dbm->CountSimple();
  }
  if (count < 0) return 0;
  return count > PY_SSIZE_T_MAX ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(count);
}

int dbm_contains(DBMObject* self, PyObject* pykey) {
  CoreHold hold;
  if (!hold.Take(self, IsPlainArg(pykey))) return -1;
  SoftString key(pykey);
  if (PyErr_Occurred()) return -1;
  if (!CheckNotBusy(*hold.core())) return -1;
  const morvel::Status status = CallEngineForRecord(
      self, hold, key.Get().size(), [&](morvel::DBM* dbm) { return dbm->Get(key.Get(), nullptr); });
  if (status.IsOK()) return 1;
  if (status == morvel::Status::NOT_FOUND_ERROR) return 0;
  ThrowStatusException(status);
  return -1;
}

PyObject* dbm_getitem(DBMObject* self, PyObject* pykey) {
  CoreHold hold;
  if (!hold.Take(self, IsPlainArg(pykey))) return nullptr;
  const bool is_str = PyUnicode_Check(pykey);
  SoftString key(pykey);
  if (PyErr_Occurred()) return nullptr;
  if (!CheckNotBusy(*hold.core())) return nullptr;
  ValueReader reader(is_str);
  const size_t data_size = hold.core()->long_values ? kLongRecordBytes : key.Get().size();
  const morvel::Status status = CallEngineForRecord(
      self, hold, data_size,
      [&](morvel::DBM* dbm, bool lock_held) {
        reader.SetLockHeld(lock_held);
        return reader.ReadStatus(dbm->Process(key.Get(), &reader, false));
      },
      [&](DBMCore* core) {
        if (self->concurrent) core->long_values = reader.size() >= kLongRecordBytes;
      });
  if (!status.IsOK()) {
    ThrowStatusException(status);
    return nullptr;
  }
  return reader.TakeValue();
}

int dbm_setitem(DBMObject* self, PyObject* pykey, PyObject* pyvalue) {
  CoreHold hold;
  if (!hold.Take(self, IsPlainArg(pykey) && IsPlainArg(pyvalue))) return -1;
  SoftString key(pykey);
  morvel::Status status;
  if (pyvalue == nullptr) {
    if (PyErr_Occurred() || !CheckNotBusy(*hold.core())) return -1;
    status = CallEngineForRecord(self, hold, key.Get().size(), [&](morvel::DBM* dbm) {
      return dbm->Remove(key.Get(), nullptr);
    });
  } else {
    SoftString value(pyvalue);
    if (PyErr_Occurred() || !CheckNotBusy(*hold.core())) return -1;
    status = CallEngineForRecord(self, hold, key.Get().size() + value.Get().size(),
                                 [&](morvel::DBM* dbm) {
                                   return dbm->Set(key.Get(), value.Get(), true, nullptr);
                                 });
  }
  if (!status.IsOK()) {
    ThrowStatusException(status);
    return -1;
  }
  return 0;
}

PyObject* dbm_iter(DBMObject* self) {
  std::shared_ptr<DBMCore> core = ShareOpenCore(self);
  if (core == nullptr) return nullptr;
  if (!CheckNotBusy(*core)) return nullptr;
  return CreatePyIterator(core, self->concurrent, true);
}
