// The module's process-wide globals and the setup function of each class.
// The frame (module.cc) readies the types in their fixed order.

#ifndef MORVEL_PYTHON_MODULE_MODULE_H_
#define MORVEL_PYTHON_MODULE_MODULE_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Symbols the module exports besides its entry point.
#define MORVEL_EXPORT __attribute__((visibility("default")))

extern PyObject* mod_morvel;
extern PyTypeObject* cls_utility;
extern PyTypeObject* cls_status;
extern PyTypeObject* cls_expt;
extern PyTypeObject* cls_future;
extern PyTypeObject* cls_dbm;
extern PyTypeObject* cls_iter;
extern PyTypeObject* cls_asyncdbm;
extern PyTypeObject* cls_file;
extern PyTypeObject* cls_index;
extern PyTypeObject* cls_indexiter;
// The bytes object DBM.ANY_DATA, compared against by identity.
extern PyObject* obj_dbm_any_data;

// Each clears its static type object (except the object header) and fills it:
// name, basic size, doc, flags, slots and method table. The frame then readies
// it, stores it in its cls_ global and calls the matching constants function,
// if any.
PyTypeObject* FillUtilityType();
PyTypeObject* FillStatusType();
PyTypeObject* FillStatusExceptionType();
PyTypeObject* FillFutureType();
PyTypeObject* FillDBMType();
PyTypeObject* FillIteratorType();
PyTypeObject* FillAsyncDBMType();
PyTypeObject* FillFileType();
PyTypeObject* FillIndexType();
PyTypeObject* FillIndexIteratorType();

// Class constants, set after readying and before adding the class. True on
// success.
bool SetUtilityConstants(PyTypeObject* type);
bool SetStatusConstants(PyTypeObject* type);
bool SetDBMConstants(PyTypeObject* type);

#endif  // MORVEL_PYTHON_MODULE_MODULE_H_
