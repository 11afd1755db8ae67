// The Future class: the pending result of one operation handed to the engine's
// asynchronous adapter. Made only by CreatePyFuture; Future() always fails.
//
// Waiting (Wait, Get, await) releases the interpreter lock only while the
// concurrent flag is set, which is cleared once the operation is known to be
// finished. The workers never touch Python, so waiting with the lock held
// cannot deadlock on them, except when the operation's database is busy in a
// callback: the callable's caller then holds engine locks the operation may
// need, and waiting for an unfinished operation fails at once with the busy
// status instead. A Future without an engine future (made by __new__, or
// after Get) raises TypeError from Wait, Get and await.

#include "async/future.h"

#include <cmath>
#include <initializer_list>
#include <map>
#include <new>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "module/arg_list.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native_lock.h"
#include "module/type_util.h"

namespace {

using morvel::Status;
using morvel::StatusFuture;

MORVEL_DEFINE_STATIC_TYPE(type_future)
PyAsyncMethods future_as_async;
PyMappingMethods future_as_mapping;

// The engine future of |self|, or null with TypeError when there is none.
StatusFuture* GetEngineFuture(FutureObject* self) {
  if (self->future == nullptr) {
    ThrowInvalidArguments("the result was already taken");
  }
  return self->future;
}

// False, with StatusException pending, when the operation is unfinished and
// its database is busy in a callback, so that a wait without a limit could
// never end.
bool CheckWaitable(FutureObject* self) {
  std::shared_ptr<DBMCore> source = self->source.lock();
  if (source == nullptr || !IsBusyInCallback(*source) || self->future->Wait(0)) return true;
  ThrowStatusException(BusyCallbackStatus());
  return false;
}

PyObject* CreatePyTextTuple(const std::vector<std::string>& items, bool is_str) {
  PyObject* pytuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (pytuple == nullptr) return nullptr;
  for (size_t i = 0; i < items.size(); i++) {
    PyObject* pyitem = CreatePyText(items[i], is_str);
    if (pyitem == nullptr) {
      Py_DECREF(pytuple);
      return nullptr;
    }
    PyTuple_SET_ITEM(pytuple, static_cast<Py_ssize_t>(i), pyitem);
  }
  return pytuple;
}

// A new tuple of the status and |pyitems| (new references, any of which may be
// null after a failed creation: then all are released and null is returned).
PyObject* CreatePyResultTuple(Status&& status, std::initializer_list<PyObject*> pyitems) {
  PyObject* pystatus = CreatePyStatusMove(std::move(status));
  bool ok = pystatus != nullptr;
  for (PyObject* pyitem : pyitems) ok = ok && pyitem != nullptr;
  PyObject* pytuple = ok ? PyTuple_New(static_cast<Py_ssize_t>(pyitems.size() + 1)) : nullptr;
  if (pytuple == nullptr) {
    Py_XDECREF(pystatus);
    for (PyObject* pyitem : pyitems) Py_XDECREF(pyitem);
    return nullptr;
  }
  PyTuple_SET_ITEM(pytuple, 0, pystatus);
  Py_ssize_t index = 1;
  for (PyObject* pyitem : pyitems) PyTuple_SET_ITEM(pytuple, index++, pyitem);
  return pytuple;
}

// Whether waiting for |self| should release the interpreter lock: in
// concurrent mode, unless the operation has finished, when the wait cannot
// block and switching the thread state would only cost time.
bool ShouldReleaseLock(FutureObject* self) {
  return self->concurrent && !self->future->Wait(0);
}

// Runs |fetch| on the engine future under the native lock, then destroys the
// engine future before any Python object is made from the result.
template <typename Fetch>
auto TakeResult(FutureObject* self, Fetch fetch) {
  StatusFuture* future = self->future;
  auto result = [&] {
    NativeLock lock(ShouldReleaseLock(self));
    return fetch(future);
  }();
  delete future;
  self->future = nullptr;
  return result;
}

PyObject* future_new(PyTypeObject* pytype, PyObject*, PyObject*) {
  FutureObject* self = reinterpret_cast<FutureObject*>(pytype->tp_alloc(pytype, 0));
  if (self == nullptr) return nullptr;
  self->future = nullptr;
  self->concurrent = false;
  self->is_str = false;
  new (&self->source) std::weak_ptr<DBMCore>();
  return reinterpret_cast<PyObject*>(self);
}

void future_dealloc(FutureObject* self) {
  // Destroying an unfinished engine future does not wait: its operation runs
  // on and its result is dropped.
  delete self->future;
  self->source.~weak_ptr();
  Py_TYPE(self)->tp_free(reinterpret_cast<PyObject*>(self));
}

int future_init(FutureObject*, PyObject* pytuple, PyObject*) {
  const ArgList pyargs(PySequence_Fast_ITEMS(pytuple), PyTuple_GET_SIZE(pytuple));
  if (pyargs.size() != 0) {
    ThrowInvalidArguments("too many arguments");
    return -1;
  }
  ThrowStatusException(Status(Status::NOT_IMPLEMENTED_ERROR));
  return -1;
}

PyObject* future_repr(FutureObject* self) {
  return CreatePyString(morvel::SPrintF("<morvel.Future: %p>", static_cast<void*>(self->future)));
}

PyObject* future_str(FutureObject* self) {
  return CreatePyString(morvel::SPrintF("Future:%p", static_cast<void*>(self->future)));
}

PyObject* future_iter(FutureObject* self) {
  return Py_NewRef(reinterpret_cast<PyObject*>(self));
}

PyObject* future_iternext(FutureObject*) {
  PyErr_SetString(PyExc_StopIteration, "end of iteration");
  return nullptr;
}

PyObject* future_await(FutureObject* self) {
  StatusFuture* future = GetEngineFuture(self);
  if (future == nullptr || !CheckWaitable(self)) return nullptr;
  {
    NativeLock lock(ShouldReleaseLock(self));
    future->Wait(-1.0);
  }
  self->concurrent = false;
  return Py_NewRef(reinterpret_cast<PyObject*>(self));
}

PyObject* future_Wait(FutureObject* self, PyObject* const* pyargv, Py_ssize_t pyargc) {
  const ArgList pyargs(pyargv, pyargc);
  StatusFuture* future = GetEngineFuture(self);
  if (future == nullptr) return nullptr;
  if (!CheckArgCount(pyargs, 0, 1)) return nullptr;
  const double timeout =
      pyargs.size() > 0 ? PyObjToDouble(pyargs[0]) : -1.0;
  if (PyErr_Occurred()) return nullptr;
  // A limited wait ends by itself; only an unlimited one obeys the busy rule.
  if ((timeout < 0 || std::isinf(timeout)) && !CheckWaitable(self)) return nullptr;
  bool done = false;
  {
    NativeLock lock(ShouldReleaseLock(self));
    done = future->Wait(timeout);
  }
  if (!done) Py_RETURN_FALSE;
  self->concurrent = false;
  Py_RETURN_TRUE;
}

PyObject* future_Get(FutureObject* self) {
  StatusFuture* future = GetEngineFuture(self);
  if (future == nullptr) return nullptr;
  const std::type_info& type = future->GetExtraType();
  const bool is_str = self->is_str;
  if (type == typeid(void)) {
    if (!CheckWaitable(self)) return nullptr;
    return CreatePyStatusMove(TakeResult(self, [](StatusFuture* f) { return f->Get(); }));
  }
  if (type == typeid(std::string)) {
    if (!CheckWaitable(self)) return nullptr;
    auto [status, value] = TakeResult(self, [](StatusFuture* f) { return f->GetString(); });
    return CreatePyResultTuple(std::move(status), {CreatePyText(value, is_str)});
  }
  if (type == typeid(StatusFuture::StringPair)) {
    if (!CheckWaitable(self)) return nullptr;
    auto [status, pair] = TakeResult(self, [](StatusFuture* f) { return f->GetStringPair(); });
    PyObject* pyfirst = CreatePyText(pair.first, is_str);
    PyObject* pysecond = CreatePyText(pair.second, is_str);
    return CreatePyResultTuple(std::move(status), {pyfirst, pysecond});
  }
  if (type == typeid(StatusFuture::StringVector)) {
    if (!CheckWaitable(self)) return nullptr;
    auto [status, items] = TakeResult(self, [](StatusFuture* f) { return f->GetStringVector(); });
    return CreatePyResultTuple(std::move(status), {CreatePyTextTuple(items, is_str)});
  }
  if (type == typeid(StatusFuture::StringMap)) {
    if (!CheckWaitable(self)) return nullptr;
    auto [status, records] = TakeResult(self, [](StatusFuture* f) { return f->GetStringMap(); });
    return CreatePyResultTuple(std::move(status), {CreatePyTextDict(records, is_str)});
  }
  if (type == typeid(int64_t)) {
    if (!CheckWaitable(self)) return nullptr;
    auto [status, value] = TakeResult(self, [](StatusFuture* f) { return f->GetInteger(); });
    return CreatePyResultTuple(std::move(status), {PyLong_FromLongLong(value)});
  }
  ThrowStatusException(Status(Status::NOT_IMPLEMENTED_ERROR));
  return nullptr;
}

PyMethodDef future_methods[] = {
    {"Wait", AsPyCFunction(future_Wait), METH_FASTCALL, "Waits for the operation to be done."},
    {"Get", AsPyCFunction(future_Get), METH_NOARGS,
     "Waits for the operation to be done and gets the result status."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* CreatePyFuture(StatusFuture&& future, bool concurrent, bool is_str,
                         const std::weak_ptr<DBMCore>& source) {
  FutureObject* self = reinterpret_cast<FutureObject*>(cls_future->tp_alloc(cls_future, 0));
  if (self == nullptr) return nullptr;
  new (&self->source) std::weak_ptr<DBMCore>(source);
  self->future = new (std::nothrow) StatusFuture(std::move(future));
  self->concurrent = concurrent;
  self->is_str = is_str;
  if (self->future == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  return reinterpret_cast<PyObject*>(self);
}

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
  type->tp_repr = reinterpret_cast<reprfunc>(future_repr);
  type->tp_str = reinterpret_cast<reprfunc>(future_str);
  type->tp_iter = reinterpret_cast<getiterfunc>(future_iter);
  type->tp_iternext = reinterpret_cast<iternextfunc>(future_iternext);
  future_as_async = PyAsyncMethods{};
  future_as_async.am_await = reinterpret_cast<unaryfunc>(future_await);
  type->tp_as_async = &future_as_async;
  future_as_mapping = PyMappingMethods{};
  type->tp_as_mapping = &future_as_mapping;
  type->tp_methods = future_methods;
  return type;
}
