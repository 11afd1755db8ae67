// Placeholder bodies until this file is written.

#include "dbm/dbm_methods.h"
#include "module/errors.h"

PyObject* dbm_Process(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_ProcessMulti(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_ProcessEach(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}
