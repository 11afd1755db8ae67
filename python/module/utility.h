// What the Utility class exports to other native code.

#ifndef MORVEL_PYTHON_MODULE_UTILITY_H_
#define MORVEL_PYTHON_MODULE_UTILITY_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <vector>

#include "module/module.h"

// The code points of a str, one per character, read at the string's own
// storage width. Strings of any length are handled. Needs the interpreter
// lock; |pyuni| must be a str.
MORVEL_EXPORT std::vector<uint32_t> PyUnicodeToUCS4(PyObject* pyuni);

#endif  // MORVEL_PYTHON_MODULE_UTILITY_H_
