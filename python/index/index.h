// The records behind Index and IndexIterator objects.
//
// Lifetime: the index store is shared by the Index with the iterators made
// from it and with every call in flight with the interpreter lock released.
// Close and deallocation close the store at once (releasing its file lock) and
// drop the Index's share; an iterator that still holds one then gets failures
// from the closed database, never freed memory.

#ifndef MORVEL_PYTHON_INDEX_INDEX_H_
#define MORVEL_PYTHON_INDEX_INDEX_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <mutex>

#include "engine/engine.h"
#include "index/poly_index.h"

struct IndexObject {
  PyObject_HEAD
  // The shared open store; null while the index is not open. A heap pointer
  // because the object record is raw memory.
  std::shared_ptr<morvel::PolyIndex>* index;
  // Whether store calls release the interpreter lock.
  bool concurrent;
};

struct IndexIteratorCore {
  IndexIteratorCore(std::shared_ptr<morvel::PolyIndex> store,
                    std::unique_ptr<morvel::PolyIndex::Iterator> cursor)
      : index(std::move(store)), iter(std::move(cursor)) {}
  // Declared before |iter|, so the cursor is destroyed first.
  std::shared_ptr<morvel::PolyIndex> index;
  std::unique_ptr<morvel::PolyIndex::Iterator> iter;
  // Held around each call on |iter|: the cursor is not thread-safe, and two
  // Python threads may drive it at once with the interpreter lock released.
  // Never held while waiting for the interpreter lock.
  std::mutex mutex;
  // The failure of the last advance of __next__, raised by the next __next__
  // instead of ending as at the real end. Cleared by every positioning method.
  // Read and written only with the interpreter lock.
  morvel::Status failed_move;
};

struct IndexIteratorObject {
  PyObject_HEAD
  // Null until the object is initialised. A heap pointer because the object
  // record is raw memory.
  std::shared_ptr<IndexIteratorCore>* iter;
  // The concurrent flag of the Index that made the iterator.
  bool concurrent;
};

// A new IndexIterator over |index|, its cursor made under the native lock of
// |concurrent| and placed on the first pair when |first|. Null with an error
// set on failure.
PyObject* CreatePyIndexIterator(const std::shared_ptr<morvel::PolyIndex>& index, bool concurrent,
                                bool first);

#endif  // MORVEL_PYTHON_INDEX_INDEX_H_
