// The record behind an Iterator object.
//
// The engine iterator lives in an IteratorCore together with a share of the
// database it walks, so the database object outlives the iterator even after
// DBM.Close or deallocation of the DBM (the engine then answers
// PRECONDITION_ERROR). Every call copies the IteratorCore share before it
// releases the interpreter lock, so re-initialising or deallocating the
// Python object cannot free the engine iterator under a call in flight, and
// the core's mutex keeps two threads from driving one engine iterator at once.

#ifndef MORVEL_PYTHON_ITERATOR_ITERATOR_H_
#define MORVEL_PYTHON_ITERATOR_ITERATOR_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <mutex>

#include "dbm/dbm.h"
#include "engine/engine.h"

struct IteratorCore {
  IteratorCore(std::shared_ptr<DBMCore> db_core, std::unique_ptr<morvel::DBM::Iterator> it)
      : db(std::move(db_core)), iter(std::move(it)) {}
  // Declared before |iter|, so the engine iterator is destroyed first.
  std::shared_ptr<DBMCore> db;
  std::unique_ptr<morvel::DBM::Iterator> iter;
  // Held around each engine call on |iter|, taken with the interpreter lock
  // released and dropped before it is retaken.
  std::mutex mutex;
  // The failure of the last move (the advance of __next__ after a read, the
  // First of iter(db), or a positioning method), raised by the next __next__:
  // the engine iterator then stands at its end, and iteration must not end as
  // if it were the real one. Cleared when raised and replaced by every
  // positioning call. Read and written only with the interpreter lock.
  morvel::Status failed_move;
};

struct IteratorObject {
  PyObject_HEAD
  // Null from allocation until the object is initialised. A heap pointer
  // because the object record is raw memory.
  std::shared_ptr<IteratorCore>* iter;
  // The concurrent flag of the DBM that made the iterator.
  bool concurrent;
  // The (key, value) tuple last returned by __next__, or null. When the caller
  // has dropped it (this is the only reference), the next record is handed out
  // in it instead of a new tuple, as `for key, value in db` does at once.
  PyObject* last_pair;
};

// A new Iterator over |db_core|, made under the native lock of |concurrent|,
// placed on the first record when |first| (its status ignored). Null with an
// error set on failure. The caller has checked that the database is open and
// not busy in a callback.
PyObject* CreatePyIterator(const std::shared_ptr<DBMCore>& db_core, bool concurrent, bool first);

#endif  // MORVEL_PYTHON_ITERATOR_ITERATOR_H_
