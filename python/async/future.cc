// The Future class. Only its type object and construction slots exist so far:
// a Future is made by the asynchronous adapter, never by Future() itself.

#include "module/errors.h"
#include "module/module.h"
#include "module/type_util.h"

namespace {

struct FutureObject {
  PyObject_HEAD
  // The engine future; null in an object made by __new__ alone.
  void* future;
  bool concurrent;
  bool is_str;
};

MORVEL_DEFINE_STATIC_TYPE(type_future)

PyObject* future_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  FutureObject* self = reinterpret_cast<FutureObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->future = nullptr;
  self->concurrent = false;
  self->is_str = false;
  return reinterpret_cast<PyObject*>(self);
}

void future_dealloc(FutureObject* self) {
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int future_init(FutureObject*, PyObject* pyargs, PyObject*) {
  if (PyTuple_GET_SIZE(pyargs) != 0) {
    ThrowInvalidArguments("too many arguments");
    return -1;
  }
  ThrowStatusException(morvel::Status(morvel::Status::NOT_IMPLEMENTED_ERROR));
  return -1;
}

}  // namespace

PyTypeObject* FillFutureType() {
  PyTypeObject* type = &type_future;
  ClearTypeObject(type);
  type->tp_name = "morvel.Future";
  type->tp_basicsize = sizeof(FutureObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Future to monitor the result of asynchronous operations.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = future_new;
  type->tp_dealloc = reinterpret_cast<destructor>(future_dealloc);
  type->tp_init = reinterpret_cast<initproc>(future_init);
  return type;
}
