// The StatusException class: a RuntimeError carrying one Status object.
//
// The module raises it by setting the exception type with a fresh Status as
// the value; the interpreter then calls StatusException(status), so every
// instance it makes goes through expt_init. The base exception's fields are
// left to the base type: readying inherits its garbage-collection support,
// and deallocation runs the base's, which clears the traceback, context and
// the rest that the interpreter attaches on raising.

#include <string>

#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/status.h"
#include "module/type_util.h"

namespace {

struct ExceptionObject {
  PyBaseExceptionObject base;
  // The carried Status object; null until __init__ has run.
  PyObject* pystatus;
};

MORVEL_DEFINE_STATIC_TYPE(type_expt)

// The printed form of the carried status, or "" when there is none.
std::string CarriedStatusText(ExceptionObject* self) {
  if (self->pystatus == nullptr) return "";
  return morvel::ToString(*reinterpret_cast<StatusObject*>(self->pystatus)->status);
}

PyObject* expt_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  ExceptionObject* self = reinterpret_cast<ExceptionObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->pystatus = nullptr;
  return reinterpret_cast<PyObject*>(self);
}

void expt_dealloc(ExceptionObject* self) {
  Py_CLEAR(self->pystatus);
  reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError)->tp_dealloc(
      reinterpret_cast<PyObject*>(self));
}

int expt_init(ExceptionObject* self, PyObject* pyargs, PyObject*) {
  if (!CheckArgCount(pyargs, 1, 1)) return -1;
  PyObject* pystatus = PyTuple_GET_ITEM(pyargs, 0);
  if (!PyObject_TypeCheck(pystatus, cls_status)) {
    ThrowInvalidArguments("the argument is not a status");
    return -1;
  }
  Py_INCREF(pystatus);
  Py_XSETREF(self->pystatus, pystatus);
  return 0;
}

PyObject* expt_repr(ExceptionObject* self) {
  return CreatePyString("<morvel.StatusException: " + CarriedStatusText(self) + ">");
}

PyObject* expt_str(ExceptionObject* self) {
  return CreatePyString(CarriedStatusText(self));
}

PyObject* expt_GetStatus(ExceptionObject* self) {
  if (self->pystatus == nullptr) Py_RETURN_NONE;
  Py_INCREF(self->pystatus);
  return self->pystatus;
}

PyMethodDef expt_methods[] = {
    {"GetStatus", AsPyCFunction(expt_GetStatus), METH_NOARGS,
     "Get the status object."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* FillStatusExceptionType() {
  PyTypeObject* type = &type_expt;
  ClearTypeObject(type);
  type->tp_name = "morvel.StatusException";
  type->tp_basicsize = sizeof(ExceptionObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Exception to convey the status of operations.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_base = reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError);
  type->tp_new = expt_new;
  type->tp_dealloc = reinterpret_cast<destructor>(expt_dealloc);
  type->tp_init = reinterpret_cast<initproc>(expt_init);
  type->tp_repr = reinterpret_cast<reprfunc>(expt_repr);
  type->tp_str = reinterpret_cast<reprfunc>(expt_str);
  type->tp_methods = expt_methods;
  return type;
}
