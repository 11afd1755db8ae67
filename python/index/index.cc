// The Index class. Only its type object and construction slots exist so far:
// Index() makes a closed index.

#include "module/errors.h"
#include "module/module.h"
#include "module/type_util.h"

namespace {

struct IndexObject {
  PyObject_HEAD
  // The index store; null while the index is not open.
  void* index;
  bool concurrent;
};

MORVEL_DEFINE_STATIC_TYPE(type_index)

PyObject* index_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  IndexObject* self = reinterpret_cast<IndexObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->index = nullptr;
  self->concurrent = false;
  return reinterpret_cast<PyObject*>(self);
}

void index_dealloc(IndexObject* self) {
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int index_init(IndexObject*, PyObject* pyargs, PyObject*) {
  if (PyTuple_GET_SIZE(pyargs) != 0) {
    ThrowInvalidArguments("too many arguments");
    return -1;
  }
  return 0;
}

}  // namespace

PyTypeObject* FillIndexType() {
  PyTypeObject* type = &type_index;
  ClearTypeObject(type);
  type->tp_name = "morvel.Index";
  type->tp_basicsize = sizeof(IndexObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Secondary index.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_new = index_new;
  type->tp_dealloc = reinterpret_cast<destructor>(index_dealloc);
  type->tp_init = reinterpret_cast<initproc>(index_init);
  return type;
}
