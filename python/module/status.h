// The record behind a Status object.

#ifndef MORVEL_PYTHON_MODULE_STATUS_H_
#define MORVEL_PYTHON_MODULE_STATUS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "engine/engine.h"

struct StatusObject {
  PyObject_HEAD
  // Set whenever the object exists; freed with it.
  morvel::Status* status;
};

#endif  // MORVEL_PYTHON_MODULE_STATUS_H_
