// Raising argument errors and StatusException, making Status objects, and
// filling status receivers. The one place that maps engine statuses to Python.
// Every function here needs the interpreter lock.

#ifndef MORVEL_PYTHON_MODULE_ERRORS_H_
#define MORVEL_PYTHON_MODULE_ERRORS_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>

#include "engine/engine.h"

// Sets TypeError "invalid arguments: " + |message|. The caller returns null
// (or -1 from an init slot).
void ThrowInvalidArguments(std::string_view message);

// Sets a pending StatusException carrying a new Status copied from |status|.
// The caller returns null. MemoryError when the copy cannot be made.
void ThrowStatusException(const morvel::Status& status);

// A new Status object copying |status|; null with MemoryError on failure.
PyObject* CreatePyStatus(const morvel::Status& status);

// A new Status object taking over |status| (its message pointer is moved).
PyObject* CreatePyStatusMove(morvel::Status&& status);

// Checks the argument count of a method taking from |min| to |max| positional
// arguments; raises "too few arguments" or "too many arguments" and returns
// false when it is outside.
bool CheckArgCount(PyObject* pyargs, int32_t min, int32_t max);

// Whether |obj| may serve as a status receiver: null or None (no receiver) or
// a Status instance. Raises "not a status object" and returns false otherwise.
bool CheckStatusReceiver(PyObject* obj);

// Copies |status| into the receiver |obj| (a Status instance, or null/None for
// none) by status assignment. Returns false with MemoryError pending when the
// message cannot be copied.
bool SetStatusReceiver(PyObject* obj, const morvel::Status& status);

#endif  // MORVEL_PYTHON_MODULE_ERRORS_H_
