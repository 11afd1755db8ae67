// The StatusException class: a RuntimeError carrying one Status object.
//
// The module raises it by setting the exception type with a fresh Status as
// the value; the interpreter then calls StatusException(status), so every
// instance it makes goes through expt_init. The base exception's constructor
// fills the base fields and __init__ keeps its args as (status,), so the base
// exception's own code (str, repr, __reduce__, and so copy and pickle) always
// finds a real tuple. __reduce__ rebuilds the exception from the carried
// Status, which pickles and copies by its code and message.
//
// The type takes part in garbage collection with the base fields and the
// carried Status, so a cycle through the Status is collected. Deallocation
// untracks the object before it releases anything: releasing the Status may
// run Python code that collects garbage, which must not see this object.

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

PyTypeObject* BaseType() { return reinterpret_cast<PyTypeObject*>(PyExc_RuntimeError); }

PyObject* expt_new(PyTypeObject* pytype, PyObject* pyargs, PyObject* pykwds) {
  PyObject* pyobj = BaseType()->tp_new(pytype, pyargs, pykwds);
  if (pyobj == nullptr) return nullptr;
  reinterpret_cast<ExceptionObject*>(pyobj)->pystatus = nullptr;
  return pyobj;
}

int expt_traverse(ExceptionObject* self, visitproc visit, void* arg) {
  Py_VISIT(self->pystatus);
  return BaseType()->tp_traverse(reinterpret_cast<PyObject*>(self), visit, arg);
}

int expt_clear(ExceptionObject* self) {
  Py_CLEAR(self->pystatus);
  return BaseType()->tp_clear(reinterpret_cast<PyObject*>(self));
}

void expt_dealloc(ExceptionObject* self) {
  PyObject_GC_UnTrack(self);
  Py_CLEAR(self->pystatus);
  BaseType()->tp_dealloc(reinterpret_cast<PyObject*>(self));
}

int expt_init(ExceptionObject* self, PyObject* pyargs, PyObject*) {
  if (!CheckArgCount(pyargs, 1, 1)) return -1;
  PyObject* pystatus = PyTuple_GET_ITEM(pyargs, 0);
  if (!PyObject_TypeCheck(pystatus, cls_status)) {
    ThrowInvalidArguments("the argument is not a status");
    return -1;
  }
  Py_XSETREF(self->pystatus, Py_NewRef(pystatus));
  Py_XSETREF(self->base.args, Py_NewRef(pyargs));
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

// (type, (status,), attributes): unpickling or copying calls the class with the
// carried Status (itself copied by a deep copy or a pickle). Without a status
// the base exception's arguments stand in.
PyObject* expt_reduce(ExceptionObject* self, PyObject*) {
  PyObject* pyargs = self->pystatus != nullptr  ? PyTuple_Pack(1, self->pystatus)
                     : self->base.args != nullptr ? Py_NewRef(self->base.args)
                                                  : PyTuple_New(0);
  if (pyargs == nullptr) return nullptr;
  PyObject* pytype = reinterpret_cast<PyObject*>(Py_TYPE(self));
  PyObject* pydict = self->base.dict;
  if (pydict != nullptr && PyDict_GET_SIZE(pydict) > 0) {
    return Py_BuildValue("(ONO)", pytype, pyargs, pydict);
  }
  return Py_BuildValue("(ON)", pytype, pyargs);
}

PyMethodDef expt_methods[] = {
    {"GetStatus", AsPyCFunction(expt_GetStatus), METH_NOARGS,
     "Get the status object."},
    {"__reduce__", AsPyCFunction(expt_reduce), METH_NOARGS,
     "Gives what pickling and copying rebuild the exception from."},
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
  type->tp_flags = Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
  type->tp_base = BaseType();
  type->tp_traverse = reinterpret_cast<traverseproc>(expt_traverse);
  type->tp_clear = reinterpret_cast<inquiry>(expt_clear);
  type->tp_new = expt_new;
  type->tp_dealloc = reinterpret_cast<destructor>(expt_dealloc);
  type->tp_init = reinterpret_cast<initproc>(expt_init);
  type->tp_repr = reinterpret_cast<reprfunc>(expt_repr);
  type->tp_str = reinterpret_cast<reprfunc>(expt_str);
  type->tp_methods = expt_methods;
  return type;
}
