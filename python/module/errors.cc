// Raising argument errors and StatusException, and making Status objects.
//
// Status messages are copied with the engine's non-throwing assignment, so an
// allocation failure surfaces as MemoryError instead of a C++ exception
// crossing the interpreter.

#include "module/errors.h"

#include <new>
#include <string>

#include "module/arg_list.h"
#include "module/module.h"
#include "module/status.h"

void ThrowInvalidArguments(std::string_view message) {
  std::string text("invalid arguments: ");
  text.append(message);
  PyErr_SetString(PyExc_TypeError, text.c_str());
}

namespace {

// A new Status object with a success value, through the type's allocation slot
// only (neither __new__ nor __init__ runs). The slot may give a reused object
// that already holds a success record.
StatusObject* AllocPyStatus() {
  PyObject* pyobj = cls_status->tp_alloc(cls_status, 0);
  if (pyobj == nullptr) return nullptr;
  StatusObject* pystatus = reinterpret_cast<StatusObject*>(pyobj);
  if (pystatus->status != nullptr) return pystatus;
  pystatus->status = new (std::nothrow) morvel::Status();
  if (pystatus->status == nullptr) {
    Py_DECREF(pyobj);
    PyErr_NoMemory();
    return nullptr;
  }
  return pystatus;
}

}  // namespace

PyObject* CreatePyStatus(const morvel::Status& status) {
  StatusObject* pystatus = AllocPyStatus();
  if (pystatus == nullptr) return nullptr;
  if (!pystatus->status->Assign(status)) {
    Py_DECREF(pystatus);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(pystatus);
}

PyObject* CreatePyStatusMove(morvel::Status&& status) {
  StatusObject* pystatus = AllocPyStatus();
  if (pystatus == nullptr) return nullptr;
  *pystatus->status = std::move(status);
  return reinterpret_cast<PyObject*>(pystatus);
}

void ThrowStatusException(const morvel::Status& status) {
  PyObject* pystatus = CreatePyStatus(status);
  if (pystatus == nullptr) return;
  PyErr_SetObject(reinterpret_cast<PyObject*>(cls_expt), pystatus);
  Py_DECREF(pystatus);
}

namespace {

bool CheckArgCountOf(Py_ssize_t argc, int32_t min, int32_t max) {
  if (argc < min) {
    ThrowInvalidArguments("too few arguments");
    return false;
  }
  if (argc > max) {
    ThrowInvalidArguments("too many arguments");
    return false;
  }
  return true;
}

}  // namespace

bool CheckArgCount(PyObject* pyargs, int32_t min, int32_t max) {
  return CheckArgCountOf(pyargs == nullptr ? 0 : PyTuple_GET_SIZE(pyargs), min, max);
}

bool CheckArgCount(const ArgList& args, int32_t min, int32_t max) {
  return CheckArgCountOf(args.size(), min, max);
}

bool CheckStatusReceiver(PyObject* obj) {
  if (obj == nullptr || obj == Py_None) return true;
  if (PyObject_TypeCheck(obj, cls_status)) return true;
  ThrowInvalidArguments("not a status object");
  return false;
}

bool SetStatusReceiver(PyObject* obj, const morvel::Status& status) {
  if (obj == nullptr || obj == Py_None) return true;
  StatusObject* pystatus = reinterpret_cast<StatusObject*>(obj);
  if (!pystatus->status->Assign(status)) {
    PyErr_NoMemory();
    return false;
  }
  return true;
}
