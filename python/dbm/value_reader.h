// ValueReader: the one-copy read of a record's value for the single-record
// reads of DBM (Get, GetStr, db[key]). Needs the interpreter lock except where
// said.

#ifndef MORVEL_PYTHON_DBM_VALUE_READER_H_
#define MORVEL_PYTHON_DBM_VALUE_READER_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <string_view>

#include "engine/engine.h"

// Reads the value of one record into a new bytes or str object, copying it
// once: with the interpreter lock held, straight from the engine's view into
// the object; with it released, into a buffer of the thread, which becomes
// the object once the lock is retaken. The engine call may hold a record lock
// while the object is made, which runs no Python code. Destroy it with the
// interpreter lock held.
class ValueReader final : public morvel::DBM::RecordProcessor {
 public:
  explicit ValueReader(bool as_str) : as_str_(as_str) {}
  ValueReader(const ValueReader&) = delete;
  ValueReader& operator=(const ValueReader&) = delete;
  ~ValueReader() override { Py_XDECREF(pyvalue_); }

  // Before each engine call: whether the interpreter lock is held during it.
  void SetLockHeld(bool lock_held) { lock_held_ = lock_held; }

  std::string_view ProcessFull(std::string_view, std::string_view value) override;
  std::string_view ProcessEmpty(std::string_view) override { return NOOP; }

  // The engine status of a read through this reader: NOT_FOUND_ERROR for a
  // missing record, as the engine's Get gives.
  morvel::Status ReadStatus(morvel::Status&& call_status) const;
  // The size of the value read; 0 when none was.
  size_t size() const { return size_; }
  // The new object of the value read, or null with an error set. Call once,
  // after a successful read, with the interpreter lock held.
  PyObject* TakeValue();

 private:
  bool as_str_;
  bool lock_held_ = true;
  bool found_ = false;
  size_t size_ = 0;
  PyObject* pyvalue_ = nullptr;
};

#endif  // MORVEL_PYTHON_DBM_VALUE_READER_H_
