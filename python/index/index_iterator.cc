// The IndexIterator class. Only its type object and construction slots exist
// so far; no Index can be opened yet, so __init__ never succeeds.

#include "module/errors.h"
#include "module/module.h"
#include "module/type_util.h"

namespace {

struct IndexIteratorObject {
  PyObject_HEAD
  // The index cursor; null until the object is initialised.
  void* iter;
  bool concurrent;
};

MORVEL_DEFINE_STATIC_TYPE(type_indexiter)

PyObject* indexiter_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  IndexIteratorObject* self =
      reinterpret_cast<IndexIteratorObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->iter = nullptr;
  self->concurrent = false;
  return reinterpret_cast<PyObject*>(self);
}

void indexiter_dealloc(IndexIteratorObject* self) {
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int indexiter_init(IndexIteratorObject*, PyObject* pyargs, PyObject*) {
  if (!CheckArgCount(pyargs, 1, 1)) return -1;
  if (!PyObject_TypeCheck(PyTuple_GET_ITEM(pyargs, 0), cls_index)) {
    ThrowInvalidArguments("the argument is not an Index");
    return -1;
  }
  ThrowInvalidArguments("not opened index");
  return -1;
}

}  // namespace

PyTypeObject* FillIndexIteratorType() {
  PyTypeObject* type = &type_indexiter;
  ClearTypeObject(type);
  type->tp_name = "morvel.IndexIterator";
  type->tp_basicsize = sizeof(IndexIteratorObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Iterator for each record of the secondary index.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = indexiter_new;
  type->tp_dealloc = reinterpret_cast<destructor>(indexiter_dealloc);
  type->tp_init = reinterpret_cast<initproc>(indexiter_init);
  return type;
}
