// Placeholder bodies until this file is written.

#include "dbm/dbm_methods.h"
#include "module/errors.h"

PyObject* dbm_Get(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_GetStr(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_GetMulti(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_GetMultiStr(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Set(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_SetMulti(DBMObject* self, PyObject* pyargs, PyObject* pykwds) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_SetAndGet(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Remove(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_RemoveMulti(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_RemoveAndGet(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Append(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_AppendMulti(DBMObject* self, PyObject* pyargs, PyObject* pykwds) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_CompareExchange(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_CompareExchangeAndGet(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Increment(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_CompareExchangeMulti(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Rekey(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_PopFirst(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_PopFirstStr(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_PushLast(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}
