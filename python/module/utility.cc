// The Utility class: a namespace of class methods and constants (platform
// figures, the hashes that place records in buckets and shards, edit distance,
// big-endian number encodings). The hashes are the engine's own placement
// functions, so what Python computes is where the databases put a key. The
// class has no allocation slot, so it cannot be instantiated. No method here
// releases the interpreter lock.
//
// The edit distance fills one flat table of (n + 1) x (m + 1) 32-bit cells,
// on the stack up to kStackCells and on the heap beyond. The cell count is
// computed in 64 bits; a table that cannot be allocated raises MemoryError.

#include "module/utility.h"

#include <algorithm>
#include <memory>
#include <new>

#include "module/convert.h"
#include "module/errors.h"
#include "module/type_util.h"

namespace {

constexpr int64_t kStackCells = 2048;

MORVEL_DEFINE_STATIC_TYPE(type_utility)

// The optional count argument of the hash methods; false with an error pending
// when the count is outside INT64MIN..UINT64MAX.
bool ReadCountArg(PyObject* pyargs, uint64_t* count) {
  *count = 0;
  if (PyTuple_GET_SIZE(pyargs) < 2) return true;
  *count = PyObjToUInt(PyTuple_GET_ITEM(pyargs, 1));
  return !PyErr_Occurred();
}

PyObject* utility_GetMemoryCapacity(PyObject*) {
  return PyLong_FromLongLong(morvel::GetMemoryCapacity());
}

PyObject* utility_GetMemoryUsage(PyObject*) {
  return PyLong_FromLongLong(morvel::GetMemoryUsage());
}

// PrimaryHash and SecondaryHash: the hash of the data's bytes, reduced by the
// optional bucket or shard count.
PyObject* HashWithCount(PyObject* pyargs, uint64_t (*hash)(std::string_view, uint64_t)) {
  if (!CheckArgCount(pyargs, 1, 2)) return nullptr;
  SoftString data(PyTuple_GET_ITEM(pyargs, 0));
  if (PyErr_Occurred()) return nullptr;
  uint64_t count = 0;
  if (!ReadCountArg(pyargs, &count)) return nullptr;
  return PyLong_FromUnsignedLongLong(hash(data.Get(), count));
}

PyObject* utility_PrimaryHash(PyObject*, PyObject* pyargs) {
  return HashWithCount(pyargs, morvel::PrimaryHash);
}

PyObject* utility_SecondaryHash(PyObject*, PyObject* pyargs) {
  return HashWithCount(pyargs, morvel::SecondaryHash);
}

PyObject* utility_EditDistanceLev(PyObject*, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 2, 2)) return nullptr;
  PyObject* pya = PyTuple_GET_ITEM(pyargs, 0);
  PyObject* pyb = PyTuple_GET_ITEM(pyargs, 1);
  if (!PyUnicode_Check(pya) || !PyUnicode_Check(pyb)) {
    ThrowInvalidArguments("not Unicode arguments");
    return nullptr;
  }
  std::vector<uint32_t> a, b;
  try {
    a = PyUnicodeToUCS4(pya);
    b = PyUnicodeToUCS4(pyb);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  const int64_t rows = static_cast<int64_t>(a.size()) + 1;
  const int64_t cols = static_cast<int64_t>(b.size()) + 1;
  // Distances never exceed the longer length; past INT32_MAX they would not
  // fit a cell, and such a table could not be allocated anyway.
  if (rows > INT32_MAX || cols > INT32_MAX || rows > INT64_MAX / cols) {
    return PyErr_NoMemory();
  }
  const int64_t num_cells = rows * cols;
  int32_t stack_table[kStackCells];
  std::unique_ptr<int32_t[]> heap_table;
  int32_t* table = stack_table;
  if (num_cells > kStackCells) {
    if (static_cast<uint64_t>(num_cells) > SIZE_MAX / sizeof(int32_t)) return PyErr_NoMemory();
    heap_table.reset(new (std::nothrow) int32_t[static_cast<size_t>(num_cells)]);
    if (heap_table == nullptr) return PyErr_NoMemory();
    table = heap_table.get();
  }
  for (int64_t i = 0; i < rows; i++) table[i * cols] = static_cast<int32_t>(i);
  for (int64_t j = 0; j < cols; j++) table[j] = static_cast<int32_t>(j);
  for (int64_t i = 1; i < rows; i++) {
    int32_t* row = table + i * cols;
    const int32_t* above = row - cols;
    const uint32_t ca = a[static_cast<size_t>(i - 1)];
    for (int64_t j = 1; j < cols; j++) {
      const int32_t cost = ca == b[static_cast<size_t>(j - 1)] ? 0 : 1;
      row[j] = std::min({row[j - 1] + 1, above[j] + 1, above[j - 1] + cost});
    }
  }
  return PyLong_FromLong(table[num_cells - 1]);
}

PyObject* utility_SerializeInt(PyObject*, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  const uint64_t num = PyObjToUInt(PyTuple_GET_ITEM(pyargs, 0));
  if (PyErr_Occurred()) return nullptr;
  return CreatePyBytes(morvel::IntToStrBigEndian(num, 8));
}

PyObject* utility_DeserializeInt(PyObject*, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  SoftString data(PyTuple_GET_ITEM(pyargs, 0));
  if (PyErr_Occurred()) return nullptr;
  return PyLong_FromLongLong(morvel::StrToIntBigEndian(data.Get()));
}

PyObject* utility_SerializeFloat(PyObject*, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  const double num = PyObjToDouble(PyTuple_GET_ITEM(pyargs, 0));
  if (PyErr_Occurred()) return nullptr;
  return CreatePyBytes(morvel::FloatToStrBigEndian(static_cast<long double>(num), 8));
}

PyObject* utility_DeserializeFloat(PyObject*, PyObject* pyargs) {
  if (!CheckArgCount(pyargs, 1, 1)) return nullptr;
  SoftString data(PyTuple_GET_ITEM(pyargs, 0));
  if (PyErr_Occurred()) return nullptr;
  return PyFloat_FromDouble(static_cast<double>(morvel::StrToFloatBigEndian(data.Get())));
}

PyMethodDef utility_methods[] = {
    {"GetMemoryCapacity", AsPyCFunction(utility_GetMemoryCapacity),
     METH_NOARGS | METH_CLASS, "Gets the memory capacity of the platform."},
    {"GetMemoryUsage", AsPyCFunction(utility_GetMemoryUsage),
     METH_NOARGS | METH_CLASS, "Gets the current memory usage of the process."},
    {"PrimaryHash", AsPyCFunction(utility_PrimaryHash),
     METH_VARARGS | METH_CLASS, "Primary hash function for the hash database."},
    {"SecondaryHash", AsPyCFunction(utility_SecondaryHash),
     METH_VARARGS | METH_CLASS, "Secondary hash function for sharding."},
    {"EditDistanceLev", AsPyCFunction(utility_EditDistanceLev),
     METH_VARARGS | METH_CLASS, "Gets the Levenshtein edit distance of two Unicode strings."},
    {"SerializeInt", AsPyCFunction(utility_SerializeInt),
     METH_VARARGS | METH_CLASS, "Serializes an integer into a big-endian binary sequence."},
    {"DeserializeInt", AsPyCFunction(utility_DeserializeInt),
     METH_VARARGS | METH_CLASS, "Deserializes a big-endian binary sequence into an integer."},
    {"SerializeFloat", AsPyCFunction(utility_SerializeFloat),
     METH_VARARGS | METH_CLASS,
     "Serializes a floating-point number into a big-endian binary sequence."},
    {"DeserializeFloat", AsPyCFunction(utility_DeserializeFloat),
     METH_VARARGS | METH_CLASS,
     "Deserializes a big-endian binary sequence into a floating-point number."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::vector<uint32_t> PyUnicodeToUCS4(PyObject* pyuni) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(pyuni);
  const int kind = PyUnicode_KIND(pyuni);
  const void* data = PyUnicode_DATA(pyuni);
  std::vector<uint32_t> ucs;
  ucs.reserve(static_cast<size_t>(length));
  for (Py_ssize_t i = 0; i < length; i++) {
    ucs.push_back(PyUnicode_READ(kind, data, i));
  }
  return ucs;
}

PyTypeObject* FillUtilityType() {
  PyTypeObject* type = &type_utility;
  ClearTypeObject(type);
  type->tp_name = "morvel.Utility";
  type->tp_basicsize = sizeof(PyObject);
  type->tp_itemsize = 0;
  type->tp_doc = "Library utilities.";
  type->tp_flags = Py_TPFLAGS_BASETYPE;
  type->tp_methods = utility_methods;
  return type;
}

bool SetUtilityConstants(PyTypeObject* type) {
  PyObject* pytype = reinterpret_cast<PyObject*>(type);
  const struct {
    const char* name;
    const char* text;
  } texts[] = {
      {"VERSION", morvel::PACKAGE_VERSION},
      {"OS_NAME", morvel::OS_NAME},
  };
  for (const auto& entry : texts) {
    PyObject* pyname = PyUnicode_FromString(entry.name);
    PyObject* pyvalue = PyUnicode_FromString(entry.text);
    const bool ok = pyname != nullptr && pyvalue != nullptr &&
                    PyObject_GenericSetAttr(pytype, pyname, pyvalue) == 0;
    Py_XDECREF(pyvalue);
    Py_XDECREF(pyname);
    if (!ok) return false;
  }
  PyType_Modified(type);
  return SetConstIntAttr(type, "PAGE_SIZE", static_cast<int64_t>(morvel::PAGE_SIZE)) &&
         SetConstIntAttr(type, "INT32MIN", INT32_MIN) &&
         SetConstIntAttr(type, "INT32MAX", INT32_MAX) &&
         SetConstUIntAttr(type, "UINT32MAX", UINT32_MAX) &&
         SetConstIntAttr(type, "INT64MIN", INT64_MIN) &&
         SetConstIntAttr(type, "INT64MAX", INT64_MAX) &&
         SetConstUIntAttr(type, "UINT64MAX", UINT64_MAX);
}
