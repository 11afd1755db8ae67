// Placeholder bodies until this file is written.

#include "dbm/dbm_methods.h"
#include "module/errors.h"

PyObject* dbm_Count(DBMObject* self) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_GetFileSize(DBMObject* self) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_GetFilePath(DBMObject* self) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_GetTimestamp(DBMObject* self) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Clear(DBMObject* self) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Rebuild(DBMObject* self, PyObject* pyargs, PyObject* pykwds) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_ShouldBeRebuilt(DBMObject* self) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Synchronize(DBMObject* self, PyObject* pyargs, PyObject* pykwds) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_CopyFileData(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Export(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_ExportToFlatRecords(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_ImportFromFlatRecords(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_ExportKeysAsLines(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Inspect(DBMObject* self) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_Search(DBMObject* self, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}

PyObject* dbm_RestoreDatabase(PyObject* cls, PyObject* pyargs) {
  ThrowInvalidArguments("not implemented yet");
  return nullptr;
}
