// The AsyncDBM class. Only its type object and construction slots exist so
// far; __init__ checks its arguments and reports that the adapter is not
// available yet.

#include "dbm/dbm.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/type_util.h"

namespace {

struct AsyncDBMObject {
  PyObject_HEAD
  // The engine adapter; null until __init__ succeeds.
  void* adapter;
  bool concurrent;
};

MORVEL_DEFINE_STATIC_TYPE(type_asyncdbm)

PyObject* asyncdbm_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  AsyncDBMObject* self = reinterpret_cast<AsyncDBMObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->adapter = nullptr;
  self->concurrent = false;
  return reinterpret_cast<PyObject*>(self);
}

void asyncdbm_dealloc(AsyncDBMObject* self) {
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int asyncdbm_init(AsyncDBMObject*, PyObject* pyargs, PyObject*) {
  if (!CheckArgCount(pyargs, 2, 2)) return -1;
  PyObject* pydbm = PyTuple_GET_ITEM(pyargs, 0);
  if (!PyObject_TypeCheck(pydbm, cls_dbm)) {
    ThrowInvalidArguments("the argument is not a DBM");
    return -1;
  }
  if (reinterpret_cast<DBMObject*>(pydbm)->dbm == nullptr) {
    ThrowInvalidArguments("not opened database");
    return -1;
  }
  ThrowStatusException(morvel::Status(morvel::Status::NOT_IMPLEMENTED_ERROR));
  return -1;
}

}  // namespace

PyTypeObject* FillAsyncDBMType() {
  PyTypeObject* type = &type_asyncdbm;
  ClearTypeObject(type);
  type->tp_name = "morvel.AsyncDBM";
  type->tp_basicsize = sizeof(AsyncDBMObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Polymorphic database manager.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = asyncdbm_new;
  type->tp_dealloc = reinterpret_cast<destructor>(asyncdbm_dealloc);
  type->tp_init = reinterpret_cast<initproc>(asyncdbm_init);
  return type;
}
