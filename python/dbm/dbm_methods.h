// The functions behind the DBM method table, in table order, with the file that
// defines each. The table itself is in dbm.cc.

#ifndef MORVEL_PYTHON_DBM_DBM_METHODS_H_
#define MORVEL_PYTHON_DBM_DBM_METHODS_H_

#include "dbm/dbm.h"

PyObject* dbm_Open(DBMObject* self, PyObject* pyargs, PyObject* pykwds);  // dbm.cc
PyObject* dbm_Close(DBMObject* self);  // dbm.cc
PyObject* dbm_Process(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_process.cc
PyObject* dbm_Get(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_GetStr(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_GetMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_GetMultiStr(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_Set(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_SetMulti(DBMObject* self, PyObject* pyargs, PyObject* pykwds);  // dbm_records.cc
PyObject* dbm_SetAndGet(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_Remove(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_RemoveMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_RemoveAndGet(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_Append(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_AppendMulti(DBMObject* self, PyObject* pyargs, PyObject* pykwds);  // dbm_records.cc
PyObject* dbm_CompareExchange(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_CompareExchangeAndGet(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_Increment(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_ProcessMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_process.cc
PyObject* dbm_CompareExchangeMulti(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_Rekey(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_PopFirst(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_PopFirstStr(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_PushLast(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_records.cc
PyObject* dbm_ProcessEach(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_process.cc
PyObject* dbm_Count(DBMObject* self);  // dbm_maintenance.cc
PyObject* dbm_GetFileSize(DBMObject* self);  // dbm_maintenance.cc
PyObject* dbm_GetFilePath(DBMObject* self);  // dbm_maintenance.cc
PyObject* dbm_GetTimestamp(DBMObject* self);  // dbm_maintenance.cc
PyObject* dbm_Clear(DBMObject* self);  // dbm_maintenance.cc
PyObject* dbm_Rebuild(DBMObject* self, PyObject* pyargs, PyObject* pykwds);  // dbm_maintenance.cc
PyObject* dbm_ShouldBeRebuilt(DBMObject* self);  // dbm_maintenance.cc
PyObject* dbm_Synchronize(DBMObject* self, PyObject* pyargs, PyObject* pykwds);  // dbm_maintenance.cc
PyObject* dbm_CopyFileData(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_maintenance.cc
PyObject* dbm_Export(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_maintenance.cc
PyObject* dbm_ExportToFlatRecords(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_maintenance.cc
PyObject* dbm_ImportFromFlatRecords(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_maintenance.cc
PyObject* dbm_ExportKeysAsLines(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_maintenance.cc
PyObject* dbm_Inspect(DBMObject* self);  // dbm_maintenance.cc
PyObject* dbm_IsOpen(DBMObject* self);  // dbm.cc
PyObject* dbm_enter(DBMObject* self);  // dbm.cc
PyObject* dbm_exit(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm.cc
PyObject* dbm_IsWritable(DBMObject* self);  // dbm.cc
PyObject* dbm_IsHealthy(DBMObject* self);  // dbm.cc
PyObject* dbm_IsOrdered(DBMObject* self);  // dbm.cc
PyObject* dbm_Search(DBMObject* self, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_maintenance.cc
PyObject* dbm_MakeIterator(DBMObject* self);  // dbm.cc
PyObject* dbm_RestoreDatabase(PyObject* cls, PyObject* const* pyargv, Py_ssize_t pyargc);  // dbm_maintenance.cc

// Mapping slots and tp_iter, in dbm_mapping.cc.
Py_ssize_t dbm_len(DBMObject* self);
PyObject* dbm_getitem(DBMObject* self, PyObject* pykey);
int dbm_setitem(DBMObject* self, PyObject* pykey, PyObject* pyvalue);
int dbm_contains(DBMObject* self, PyObject* pykey);
PyObject* dbm_iter(DBMObject* self);

#endif  // MORVEL_PYTHON_DBM_DBM_METHODS_H_
