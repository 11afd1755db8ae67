// The record behind a Future object, and the function that makes one from an
// engine future.

#ifndef MORVEL_PYTHON_ASYNC_FUTURE_H_
#define MORVEL_PYTHON_ASYNC_FUTURE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "dbm/dbm.h"
#include "engine/engine.h"

struct FutureObject {
  PyObject_HEAD
  // The engine future, owned; null before one is given and after Get.
  morvel::StatusFuture* future;
  // Whether waiting releases the interpreter lock; cleared once the operation
  // is known to be finished.
  bool concurrent;
  // Whether Get delivers texts as str rather than bytes.
  bool is_str;
  // The database the operation runs on, watched without holding it: while a
  // callable of a callback method runs on it, waiting for an unfinished
  // operation could wait for the callable's own record locks, so it fails at
  // once instead. Constructed in place, since the record is raw memory.
  std::weak_ptr<DBMCore> source;
};

// A new Future taking over |future| (left empty), with the flags given and
// |source| watched for the busy rule. Null with an error set on failure; the
// caller then destroys |future| as usual.
PyObject* CreatePyFuture(morvel::StatusFuture&& future, bool concurrent, bool is_str,
                         const std::weak_ptr<DBMCore>& source);

#endif  // MORVEL_PYTHON_ASYNC_FUTURE_H_
