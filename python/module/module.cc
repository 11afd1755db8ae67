// The module frame: the entry point, the process-wide globals and the
// registration of the ten classes in their fixed order.
//
// The module has no per-module state and no functions of its own; everything
// is reached through the classes. Nothing is torn down: the types, the module
// and DBM.ANY_DATA live until the process ends. The first failure aborts the
// import with the interpreter's error pending; what was built is abandoned.

#include "module/module.h"

PyObject* mod_morvel = nullptr;
PyTypeObject* cls_utility = nullptr;
PyTypeObject* cls_status = nullptr;
PyTypeObject* cls_expt = nullptr;
PyTypeObject* cls_future = nullptr;
PyTypeObject* cls_dbm = nullptr;
PyTypeObject* cls_iter = nullptr;
PyTypeObject* cls_asyncdbm = nullptr;
PyTypeObject* cls_file = nullptr;
PyTypeObject* cls_index = nullptr;
PyTypeObject* cls_indexiter = nullptr;
PyObject* obj_dbm_any_data = nullptr;

namespace {

constexpr int kModuleApiVersion = 1013;

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

_Pragma("GCC diagnostic push")
_Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")
PyModuleDef module_def = {PyModuleDef_HEAD_INIT};
_Pragma("GCC diagnostic pop")

struct ClassEntry {
  const char* name;
  PyTypeObject* (*fill)();
  PyTypeObject** global;
  bool (*set_constants)(PyTypeObject*);
};

const ClassEntry kClasses[] = {
    {"Utility", FillUtilityType, &cls_utility, SetUtilityConstants},
    {"Status", FillStatusType, &cls_status, SetStatusConstants},
    {"StatusException", FillStatusExceptionType, &cls_expt, nullptr},
    {"Future", FillFutureType, &cls_future, nullptr},
    {"DBM", FillDBMType, &cls_dbm, SetDBMConstants},
    {"Iterator", FillIteratorType, &cls_iter, nullptr},
    {"AsyncDBM", FillAsyncDBMType, &cls_asyncdbm, nullptr},
    {"File", FillFileType, &cls_file, nullptr},
    {"Index", FillIndexType, &cls_index, nullptr},
    {"IndexIterator", FillIndexIteratorType, &cls_indexiter, nullptr},
};

bool RegisterClass(const ClassEntry& entry) {
  PyTypeObject* type = entry.fill();
  if (PyType_Ready(type) != 0) return false;
  *entry.global = type;
  // This reference goes to the module when the class is added.
  Py_INCREF(type);
  if (entry.set_constants != nullptr && !entry.set_constants(type)) return false;
  return PyModule_AddObject(mod_morvel, entry.name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

PyMODINIT_FUNC PyInit_morvel() {
  module_def.m_name = "morvel";
  module_def.m_doc = "a set of implementations of DBM";
  module_def.m_size = -1;
  module_def.m_methods = module_methods;
  module_def.m_slots = nullptr;
  module_def.m_traverse = nullptr;
  module_def.m_clear = nullptr;
  module_def.m_free = nullptr;
  mod_morvel = PyModule_Create2(&module_def, kModuleApiVersion);
  if (mod_morvel == nullptr) return nullptr;
  for (const ClassEntry& entry : kClasses) {
    if (!RegisterClass(entry)) return nullptr;
  }
  return mod_morvel;
}
