// The record behind a DBM object, and what the DBM methods share.
//
// Lifetime: the engine database is held in a DBMCore shared by the DBM with
// what is made from it (iterators, asynchronous adapters) and with every call
// in flight with the interpreter lock released. Close and deallocation close
// the engine database at once (releasing its file lock) and drop the DBM's
// share; whatever still holds a share then gets PRECONDITION_ERROR from the
// closed engine object, never freed memory.

#ifndef MORVEL_PYTHON_DBM_DBM_H_
#define MORVEL_PYTHON_DBM_DBM_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "engine/engine.h"

struct DBMCore {
  explicit DBMCore(std::unique_ptr<morvel::DBM> engine_dbm) : dbm(std::move(engine_dbm)) {}
  // The engine database: a PolyDBM or a ShardDBM.
  std::unique_ptr<morvel::DBM> dbm;
  // Above zero while a Python callable of Process, ProcessMulti or ProcessEach
  // runs on this database. Read and written only with the interpreter lock.
  int callback_depth = 0;
};

struct DBMObject {
  PyObject_HEAD
  // The shared engine database; null while the handle is not open. Held through
  // a heap pointer because the object record is raw memory.
  std::shared_ptr<DBMCore>* dbm;
  // Whether engine calls release the interpreter lock.
  bool concurrent;
};

// The status of a call refused because a callback of the database is running.
morvel::Status BusyCallbackStatus();

// Whether a callable of a callback method is running on |core|.
inline bool IsBusyInCallback(const DBMCore& core) { return core.callback_depth > 0; }

#endif  // MORVEL_PYTHON_DBM_DBM_H_
