// The Status class: one engine status value, settable and comparable from
// Python. Comparisons look at the code only; there is no hash slot, so Status
// objects are unhashable.

#include "module/status.h"

#include <new>
#include <string>

#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/type_util.h"

namespace {

MORVEL_DEFINE_STATIC_TYPE(type_status)

// The code argument: the interpreter's integer conversion cut to 32 bits.
// False with the conversion error pending when it fails.
bool ReadCode(PyObject* pycode, int32_t* code) {
  const long num = PyLong_AsLong(pycode);
  if (num == -1 && PyErr_Occurred()) return false;
  *code = static_cast<int32_t>(num);
  return true;
}

// Sets |status| from () or (code) or (code, message); the steps of __init__ and
// Set. False with an error pending on failure, leaving |status| as it was.
bool SetFromArgs(morvel::Status* status, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 0, 2)) return false;
  const Py_ssize_t argc = PyTuple_GET_SIZE(pyargs);
  int32_t code = morvel::Status::SUCCESS;
  if (argc >= 1 && !ReadCode(PyTuple_GET_ITEM(pyargs, 0), &code)) return false;
  if (argc == 2) {
    SoftString message(PyTuple_GET_ITEM(pyargs, 1));
    if (PyErr_Occurred()) return false;
    if (!status->SetRaw(code, message.data(), static_cast<size_t>(message.size()))) {
      PyErr_NoMemory();
      return false;
    }
  } else {
    status->Set(code);
  }
  return true;
}

// Freed objects of the exact Status class kept for reuse, each with its
// record reset to success: most Status objects live for one call, and reuse
// saves the object's and the record's allocations. Subclass instances are
// never kept. The list is guarded by the interpreter lock, so builds without
// one keep nothing.
#ifdef Py_GIL_DISABLED
constexpr int kStatusPoolCapacity = 0;
#else
constexpr int kStatusPoolCapacity = 64;
#endif
StatusObject* status_pool[kStatusPoolCapacity > 0 ? kStatusPoolCapacity : 1];
int status_pool_size = 0;

// The type's allocation slot: a kept object for the exact class, else a
// zeroed new one. A kept object comes with its success record; a new one has
// none (|status| is null) and the caller adds it.
PyObject* status_alloc(PyTypeObject* pytype, Py_ssize_t nitems) {
  if (pytype == &type_status && status_pool_size > 0) {
    StatusObject* self = status_pool[--status_pool_size];
    return PyObject_Init(reinterpret_cast<PyObject*>(self), pytype);
  }
  return PyType_GenericAlloc(pytype, nitems);
}

PyObject* status_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  StatusObject* self = reinterpret_cast<StatusObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  if (self->status == nullptr) self->status = new (std::nothrow) morvel::Status();
  if (self->status == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

void status_dealloc(StatusObject* self) {
  if (Py_TYPE(self) == &type_status && self->status != nullptr &&
      status_pool_size < kStatusPoolCapacity) {
    self->status->Set(morvel::Status::SUCCESS);
    status_pool[status_pool_size++] = self;
    return;
  }
  delete self->status;
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int status_init(StatusObject* self, PyObject* pyargs, PyObject*) {
  return SetFromArgs(self->status, pyargs) ? 0 : -1;
}

PyObject* status_repr(StatusObject* self) {
  const std::string text = "<morvel.Status: " + morvel::ToString(*self->status) + ">";
  return CreatePyString(text);
}

PyObject* status_str(StatusObject* self) {
  return CreatePyString(morvel::ToString(*self->status));
}

PyObject* status_richcmp(StatusObject* self, PyObject* pyrhs, int op) {
  const int32_t lhs = self->status->GetCode();
  int32_t rhs = INT32_MAX;
  if (PyObject_TypeCheck(pyrhs, cls_status)) {
    rhs = reinterpret_cast<StatusObject*>(pyrhs)->status->GetCode();
  } else if (PyLong_Check(pyrhs)) {
    if (!ReadCode(pyrhs, &rhs)) return nullptr;
  }
  bool result = false;
  switch (op) {
    case Py_LT: result = lhs < rhs; break;
    case Py_LE: result = lhs <= rhs; break;
    case Py_EQ: result = lhs == rhs; break;
    case Py_NE: result = lhs != rhs; break;
    case Py_GT: result = lhs > rhs; break;
    case Py_GE: result = lhs >= rhs; break;
  }
  return PyBool_FromLong(result);
}

PyObject* status_Set(StatusObject* self, PyObject* pyargs) {
  if (!SetFromArgs(self->status, pyargs)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* status_Join(StatusObject* self, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  PyObject* pyrhs = PyTuple_GET_ITEM(pyargs, 0);
  if (!PyObject_TypeCheck(pyrhs, cls_status)) {
    ThrowInvalidArguments("the argument is not a Status");
    return nullptr;
  }
  const morvel::Status* rhs = reinterpret_cast<StatusObject*>(pyrhs)->status;
  if (rhs == self->status || !self->status->IsOK() || rhs->IsOK()) {
    Py_RETURN_NONE;
  }
  if (!self->status->Assign(*rhs)) return PyErr_NoMemory();
  Py_RETURN_NONE;
}

PyObject* status_GetCode(StatusObject* self) {
  return PyLong_FromLong(self->status->GetCode());
}

PyObject* status_GetMessage(StatusObject* self) {
  const char* message = self->status->GetMessagePtr();
  return PyUnicode_FromString(message == nullptr ? "" : message);
}

PyObject* status_IsOK(StatusObject* self) {
  return PyBool_FromLong(self->status->IsOK());
}

PyObject* status_OrDie(StatusObject* self) {
  if (self->status->IsOK()) Py_RETURN_NONE;
  ThrowStatusException(*self->status);
  return nullptr;
}

PyObject* status_CodeName(PyObject*, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  int32_t code = 0;
  if (!ReadCode(PyTuple_GET_ITEM(pyargs, 0), &code)) return nullptr;
  return PyUnicode_FromString(morvel::StatusCodeName(code));
}

// (type, (code,)) or (type, (code, message bytes)): pickling and copying give
// a Status of the same code and message, an absent message staying absent.
PyObject* status_reduce(StatusObject* self, PyObject*) {
  PyObject* pytype = reinterpret_cast<PyObject*>(Py_TYPE(self));
  const int code = self->status->GetCode();
  const char* message = self->status->GetMessagePtr();
  if (message == nullptr) return Py_BuildValue("(O(i))", pytype, code);
  return Py_BuildValue("(O(iy))", pytype, code, message);
}

PyMethodDef status_methods[] = {
    {"Set", AsPyCFunction(status_Set), METH_VARARGS,
     "Set the code and the message."},
    {"Join", AsPyCFunction(status_Join), METH_VARARGS,
     "Assigns the internal state only if the current state is success."},
    {"GetCode", AsPyCFunction(status_GetCode), METH_NOARGS,
     "Gets the status code.."},
    {"GetMessage", AsPyCFunction(status_GetMessage), METH_NOARGS,
     "Gets the status message."},
    {"IsOK", AsPyCFunction(status_IsOK), METH_NOARGS,
     "Returns true if the status is success."},
    {"OrDie", AsPyCFunction(status_OrDie), METH_NOARGS,
     "Raises a runtime error if the status is not success."},
    {"CodeName", AsPyCFunction(status_CodeName), METH_VARARGS | METH_CLASS,
     "Gets the string name of a status code."},
    {"__reduce__", AsPyCFunction(status_reduce), METH_NOARGS,
     "Gives what pickling and copying rebuild the status from."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* FillStatusType() {
  PyTypeObject* type = &type_status;
  ClearTypeObject(type);
  // Objects kept by an earlier interpreter of the process may be gone with it.
  status_pool_size = 0;
  type->tp_name = "morvel.Status";
  type->tp_basicsize = sizeof(StatusObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Status of operations.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_alloc = status_alloc;
  type->tp_new = status_new;
  type->tp_dealloc = reinterpret_cast<destructor>(status_dealloc);
  type->tp_init = reinterpret_cast<initproc>(status_init);
  type->tp_repr = reinterpret_cast<reprfunc>(status_repr);
  type->tp_str = reinterpret_cast<reprfunc>(status_str);
  type->tp_richcompare = reinterpret_cast<richcmpfunc>(status_richcmp);
  type->tp_methods = status_methods;
  return type;
}

bool SetStatusConstants(PyTypeObject* type) {
  static const struct {
    const char* name;
    int32_t code;
  } kCodes[] = {
      {"SUCCESS", morvel::Status::SUCCESS},
      {"UNKNOWN_ERROR", morvel::Status::UNKNOWN_ERROR},
      {"SYSTEM_ERROR", morvel::Status::SYSTEM_ERROR},
      {"NOT_IMPLEMENTED_ERROR", morvel::Status::NOT_IMPLEMENTED_ERROR},
      {"PRECONDITION_ERROR", morvel::Status::PRECONDITION_ERROR},
      {"INVALID_ARGUMENT_ERROR", morvel::Status::INVALID_ARGUMENT_ERROR},
      {"CANCELED_ERROR", morvel::Status::CANCELED_ERROR},
      {"NOT_FOUND_ERROR", morvel::Status::NOT_FOUND_ERROR},
      {"PERMISSION_ERROR", morvel::Status::PERMISSION_ERROR},
      {"INFEASIBLE_ERROR", morvel::Status::INFEASIBLE_ERROR},
      {"DUPLICATION_ERROR", morvel::Status::DUPLICATION_ERROR},
      {"BROKEN_DATA_ERROR", morvel::Status::BROKEN_DATA_ERROR},
      {"NETWORK_ERROR", morvel::Status::NETWORK_ERROR},
      {"APPLICATION_ERROR", morvel::Status::APPLICATION_ERROR},
  };
  for (const auto& entry : kCodes) {
    if (!SetConstIntAttr(type, entry.name, entry.code)) return false;
  }
  return true;
}
