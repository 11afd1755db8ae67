// The positional arguments of a method called through the fast calling
// convention (METH_FASTCALL): a view of the caller's argument array, so a call
// builds no tuple. Needs the interpreter lock, like the arguments it views.

#ifndef MORVEL_PYTHON_MODULE_ARG_LIST_H_
#define MORVEL_PYTHON_MODULE_ARG_LIST_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

class ArgList final {
 public:
  ArgList(PyObject* const* items, Py_ssize_t size) : items_(items), size_(size) {}

  Py_ssize_t size() const { return size_; }
  // Borrowed; |index| must be below size().
  PyObject* operator[](Py_ssize_t index) const { return items_[index]; }

 private:
  PyObject* const* items_;
  Py_ssize_t size_;
};

// Checks the argument count of a method taking from |min| to |max| positional
// arguments; raises "too few arguments" or "too many arguments" and returns
// false when it is outside.
bool CheckArgCount(const ArgList& args, int32_t min, int32_t max);

// Positional argument |index| of the call, or null when not given.
inline PyObject* OptionalArg(const ArgList& args, Py_ssize_t index) {
  return index < args.size() ? args[index] : nullptr;
}

// A new tuple of the arguments, for the few methods that hand them on whole.
inline PyObject* ArgTuple(const ArgList& args) {
  PyObject* tuple = PyTuple_New(args.size());
  if (tuple == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < args.size(); i++) PyTuple_SET_ITEM(tuple, i, Py_NewRef(args[i]));
  return tuple;
}

#endif  // MORVEL_PYTHON_MODULE_ARG_LIST_H_
