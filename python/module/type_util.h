// Helpers for the module's static type objects.

#ifndef MORVEL_PYTHON_MODULE_TYPE_UTIL_H_
#define MORVEL_PYTHON_MODULE_TYPE_UTIL_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>

// Defines a static type object with only its object header set: immortal, so
// nothing ever deallocates it. The other fields are filled at initialisation.
#define MORVEL_DEFINE_STATIC_TYPE(name)                                  \
  _Pragma("GCC diagnostic push")                                         \
  _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")     \
  PyTypeObject name = {PyVarObject_HEAD_INIT(nullptr, 0)};               \
  _Pragma("GCC diagnostic pop")

// A method function of any record type as a method-table entry. The detour
// through a generic function pointer is the interpreter's documented idiom for
// functions that take fewer parameters than the calling convention passes.
template <typename Function>
PyCFunction AsPyCFunction(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Clears every field of a static type object except its object header.
inline void ClearTypeObject(PyTypeObject* type) {
  std::memset(reinterpret_cast<char*>(type) + sizeof(PyObject), 0,
              sizeof(PyTypeObject) - sizeof(PyObject));
}

#endif  // MORVEL_PYTHON_MODULE_TYPE_UTIL_H_
