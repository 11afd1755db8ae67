// NativeLock: releases the interpreter lock for the span of engine calls when
// the owning object is in concurrent mode; does nothing otherwise.

#ifndef MORVEL_PYTHON_MODULE_NATIVE_LOCK_H_
#define MORVEL_PYTHON_MODULE_NATIVE_LOCK_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

class NativeLock final {
 public:
  explicit NativeLock(bool concurrent)
      : thstate_(concurrent ? PyEval_SaveThread() : nullptr) {}
  NativeLock(const NativeLock&) = delete;
  NativeLock& operator=(const NativeLock&) = delete;
  ~NativeLock() {
    if (thstate_ != nullptr) PyEval_RestoreThread(thstate_);
  }

 private:
  PyThreadState* thstate_;
};

#endif  // MORVEL_PYTHON_MODULE_NATIVE_LOCK_H_
